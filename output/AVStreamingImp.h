#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "output/IAVStreaming.h"
#include "output/Mp4Writer.h"
#include "output/RtmpStreaming.h"
#include "platform/Mutex.h"
#include "tarvane/Tarvane.h"
#include "wendrel/RtmpPublishParam.h"

namespace plenova {

class MemoryPool;

// Fills `out` with the AudioSpecificConfig announced for AAC LC at `rate`
// (channel configuration 1). An unknown rate is logged and uses index 8.
void MakeAacConfig(int32_t rate, uint8_t out[2]);

// Where encoded samples leave the engine: every sample from the sync stage
// goes to up to two RTMP publishers and to the MP4 writer, each of which
// works on its own thread and places the sample by its own 90 kHz stamp.
// Starting and stopping an output never waits for a server or a disk.
class AVStreamingImp : public IAVStreaming {
 public:
  // Strings are refused when they do not fit their 256-byte fields.
  static constexpr size_t kMaxText = 256;
  // The second publisher's failures are logged once per this many.
  static constexpr int32_t kRtmp2VideoFailureLogEvery = 100;
  static constexpr int32_t kRtmp2AudioFailureLogEvery = 200;

  // Whether the publishers and the MP4 writer work on threads of their own,
  // or a test drives them (PublisherForTest, Mp4WriterForTest).
  enum class Threads { kOwn, kCallerDrives };

  // `rtmpLibraryName` is the RTMP library both publishers load.
  explicit AVStreamingImp(Mp4RecorderApi mp4,
                          const std::string& rtmpLibraryName = kWendrelLibraryName,
                          Threads threads = Threads::kOwn);
  ~AVStreamingImp() override;
  AVStreamingImp(const AVStreamingImp&) = delete;
  AVStreamingImp& operator=(const AVStreamingImp&) = delete;

  // `pool` is borrowed; the recorder keeps it alive while the dispatcher
  // lives. An engine start (reinit 0) begins the outputs asked for before
  // it and keeps running ones going on the new timeline; a running MP4
  // recording whose canvas differs from the new one is finished first. A
  // URL change (reinit 1) restarts publishing on the new URLs.
  void IAVStreamInit(const AVStreamInitParam* param, MemoryPool* pool, void* p2, void* p3,
                     uint8_t reinit) override;
  bool UninitIAVStreaming() override;
  // Opens the file at once (state 4 and -1 when it cannot be opened).
  int StartMp4Record(const char* path) override;
  // Also cancels a start that waits for the engine. Returns at once; the
  // file is finished behind its queued samples.
  int StopMp4Record() override;
  int SetMp4Url(const char* path) override;
  int SetMp4RecordCallback(int32_t streamid, Mp4RecordStateCallback callback) override;
  // Starts publishing (connecting on the publishers' threads) and returns
  // at once; -1 only for a URL that is not an RTMP URL or does not fit.
  int StartRecord(const char* url) override;
  // Returns within about a second whatever the servers do.
  int StopRecord() override;
  int SetRecordUrl(const char* url) override;
  bool WriteData(const AVSample* sample) override;
  // New parameter sets or rates: announced to the publishers on their
  // connections, and to the MP4 writer.
  void IAVStreamUpdata(const uint8_t* spsPps, int32_t len, int32_t channels,
                       int32_t sampling_per_bits, int32_t sampling_rate, int32_t fps) override;
  void AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len) override;
  bool Mp4RecordRequested() override;
  void SetEventSink(EventSink* sink) override;
  void CollectStatistics(PlenovaOutputStatistics* outputs, int count) override;
  bool RtmpRequested() override;
  bool TakeKeyFrameRequest() override;

  // For tests that drive the outputs (Threads::kCallerDrives); `index` 1 or 2.
  Mp4Writer& Mp4WriterForTest() { return *m_mp4Writer; }
  RtmpStreaming& PublisherForTest(int index) {
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

  // Serialises StartRecord, StopRecord, SetRecordUrl and the starts made by
  // IAVStreamInit, and guards the members up to the dispatcher mutex.
  // Client threads. Taken before m_mutex; held while publishers stop (at
  // most about a second), never while one connects.
  platform::Mutex m_rtmpMutex;
  bool m_recordUrlSet = false;
  char m_recordUrl[kMaxText] = {};
  bool m_publishing = false;  // the publishers' threads run

  // The dispatcher mutex: guards every member below. Taken briefly by the
  // sync thread (WriteData, IAVStreamUpdata), client threads and the
  // encoding thread (AVStreamingSetSpsPpsInfo, under the encoder's lock);
  // never held around a publisher's or the writer's work.
  platform::Mutex m_mutex;
  AVStreamInitParam m_param{};
  RtmpPublishParam m_publishParam{};
  MemoryPool* m_pool = nullptr;  // borrowed
  void* m_p2 = nullptr;
  void* m_p3 = nullptr;
  bool m_firstSps = true;
  uint8_t m_videoSpsPps[kMaxText] = {};
  int32_t m_videoSpsPpsLen = -1;
  char m_mp4Path[kMaxText] = {};
  bool m_mp4UrlSet = false;  // a start waits for the engine
  char m_mp4Url[kMaxText] = {};

  // Sync thread only.
  int32_t m_rtmp2VideoFailures = 0;
  int32_t m_rtmp2AudioFailures = 0;

  // Read without the locks: WriteData routes by it, the recorder asks it.
  std::atomic<bool> m_rtmpActive{false};
  std::atomic<bool> m_rtmpRequested{false};
  std::atomic<bool> m_mp4Pending{false};      // mirrors m_mp4UrlSet
  std::atomic<bool> m_keyFrameWanted{false};  // a new MP4 file starts

  // Declared last: destroyed first, finishing its files while the pool and
  // everything above still stand.
  std::unique_ptr<Mp4Writer> m_mp4Writer;
};

}  // namespace plenova
