#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "api/Plenova.h"
#include "output/AVSample.h"
#include "output/AVStreamInitParam.h"
#include "output/RtmpStreaming.h"
#include "platform/Mutex.h"
#include "wendrel/RtmpPublishParam.h"

namespace plenova {

class EventSink;
class MemoryPool;

// Fills `out` with the AudioSpecificConfig announced for AAC LC at `rate`
// (channel configuration 1). An unknown rate is logged and uses index 8.
void MakeAacConfig(int32_t rate, uint8_t out[2]);

// The RTMP half of the output dispatcher: the two publishers, the URL they
// publish to and the session that runs them. The dispatcher checks what its
// callers hand in; this class takes it as given.
class RtmpOutput {
 public:
  // The second publisher's failures are logged once per this many.
  static constexpr int32_t kRtmp2VideoFailureLogEvery = 100;
  static constexpr int32_t kRtmp2AudioFailureLogEvery = 200;

  RtmpOutput(const std::string& libraryName, RtmpStreaming::Mode mode);
  // The publishers' destructors join their threads and disconnect.
  ~RtmpOutput();
  RtmpOutput(const RtmpOutput&) = delete;
  RtmpOutput& operator=(const RtmpOutput&) = delete;

  // Stores the output description (text fields NUL-terminated), the pool
  // (borrowed; outlives the dispatcher) and the client's hooks, then starts
  // publishing asked for before the engine ran (reinit 0), keeps a running
  // session going on the new timeline (reinit 0) or restarts it on the new
  // URLs (reinit 1). Client threads.
  void Init(const AVStreamInitParam& param, MemoryPool* pool, void* p2, void* p3, uint8_t reinit);
  // Starts publishing to `url` (an RTMP URL that fits its field); a running
  // session is replaced. -1 before Init.
  int Start(const char* url);
  // Stops both publishers (at the same time) and forgets the URL.
  int Stop();
  // Publishing to `url` begins when the engine starts (Init with reinit 0).
  void SetUrl(const char* url);
  // From Start or SetUrl until Stop. Any thread.
  bool Requested() const { return m_rtmpRequested; }
  // The publishers' threads run. Any thread.
  bool Active() const { return m_rtmpActive; }

  // Queues the sample for both publishers. False when the second one is not
  // configured or refuses it; true when no session runs. Sync thread.
  bool Write(const AVSample& sample);
  // New parameter sets and rates (checked by the dispatcher), announced on
  // the connections. Sync thread.
  void Update(const uint8_t* spsPps, int32_t len, int32_t channels, int32_t sampling_per_bits,
              int32_t sampling_rate, int32_t fps);
  // The stream's parameter sets (1 to 256 bytes), kept for later sessions
  // and announced now.
  void SetParameterSets(const uint8_t* spsPps, int32_t len);
  // Takes both publishers' requests, so that each sees its key frame.
  bool TakeKeyFrameRequest();

  void SetEventSink(EventSink* sink);
  // Fills RTMP 1 and RTMP 2 of the `count` outputs.
  void CollectStatistics(PlenovaOutputStatistics* outputs, int count);

  // `index` 1 or 2.
  RtmpStreaming& Publisher(int index) {
    return index == 1 ? *m_RtmpStreaming_1 : *m_RtmpStreaming_2;
  }

 private:
  // Configures and starts the publishers for `url`; a running session is
  // stopped first. Caller holds m_rtmpMutex.
  void StartPublishersLocked(const char* url);
  // Stops both publishers' threads (at the same time) and disconnects them.
  // Caller holds m_rtmpMutex.
  void StopPublishersLocked();
  void FillPublishParamLocked();

  std::unique_ptr<RtmpStreaming> m_RtmpStreaming_1;
  std::unique_ptr<RtmpStreaming> m_RtmpStreaming_2;

  // Serialises Start, Stop, SetUrl and Init, and guards the members up to
  // m_mutex. Client threads. Taken before m_mutex; held while publishers
  // stop (at most about a second), never while one connects.
  platform::Mutex m_rtmpMutex;
  bool m_recordUrlSet = false;
  char m_recordUrl[256] = {};
  bool m_publishing = false;  // the publishers' threads run

  // Guards every member below it. Taken briefly by the sync thread
  // (Update), client threads and the encoding thread (SetParameterSets);
  // never held around a publisher's work.
  platform::Mutex m_mutex;
  AVStreamInitParam m_param{};
  RtmpPublishParam m_publishParam{};
  MemoryPool* m_pool = nullptr;  // borrowed
  void* m_p2 = nullptr;
  void* m_p3 = nullptr;
  uint8_t m_videoSpsPps[256] = {};
  int32_t m_videoSpsPpsLen = -1;

  // Sync thread only.
  int32_t m_rtmp2VideoFailures = 0;
  int32_t m_rtmp2AudioFailures = 0;

  // Read without the locks: Write routes by it, the recorder asks it.
  std::atomic<bool> m_rtmpActive{false};
  std::atomic<bool> m_rtmpRequested{false};
};

}  // namespace plenova
