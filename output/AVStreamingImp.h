#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/LatencyStats.h"
#include "output/IAVStreaming.h"
#include "output/RtmpStreaming.h"
#include "platform/Mutex.h"
#include "tarvane/Tarvane.h"
#include "wendrel/RtmpPublishParam.h"

namespace plenova {

class MemoryPool;

// The MP4 recorder library's two entry points. The recorder object hands in
// the real library's functions; tests hand in a fake. Null functions mean no
// MP4 recording is available.
struct Mp4RecorderApi {
  using CreateFn = ITarvaneRecord* (*)(const char* path, const Mp4VideoDesc* video,
                                       const Mp4AudioDesc* audio);
  using DestroyFn = void (*)(ITarvaneRecord* record);
  CreateFn CreateRecord = nullptr;
  DestroyFn DestroyRecord = nullptr;
};

// Fills `out` with the AudioSpecificConfig announced for AAC LC at `rate`
// (channel configuration 1). An unknown rate is logged and uses index 8.
void MakeAacConfig(int32_t rate, uint8_t out[2]);

// Where encoded samples leave the engine: every sample from the sync stage
// is copied to up to two RTMP publishers and to the MP4 recorder. MP4 video
// time is kept on a millisecond clock held in step with MP4 audio time.
class AVStreamingImp : public IAVStreaming {
 public:
  // Strings are refused when they do not fit their 256-byte fields.
  static constexpr size_t kMaxText = 256;
  // Waits for parameter sets in a StartRecord on a running engine.
  static constexpr int kSpsPpsWaits = 10;
  static constexpr uint32_t kSpsPpsWaitMs = 200;
  // MP4 video is pulled to audio time beyond this lag, and non-key frames
  // are dropped beyond this lead (ms).
  static constexpr uint64_t kMp4VideoLagLimitMs = 200;
  static constexpr uint64_t kMp4VideoLeadLimitMs = 500;
  // MP4 audio time per AAC frame at 16 kHz (ms).
  static constexpr uint64_t kMp4AudioStep16kMs = 64;
  // The second publisher's failures are logged once per this many.
  static constexpr int32_t kRtmp2VideoFailureLogEvery = 100;
  static constexpr int32_t kRtmp2AudioFailureLogEvery = 200;

  // `rtmpLibraryName` is the RTMP library both publishers load.
  explicit AVStreamingImp(Mp4RecorderApi mp4,
                          const std::string& rtmpLibraryName = kWendrelLibraryName);
  ~AVStreamingImp() override;
  AVStreamingImp(const AVStreamingImp&) = delete;
  AVStreamingImp& operator=(const AVStreamingImp&) = delete;

  // `pool` is borrowed; the recorder keeps it alive while the dispatcher
  // lives.
  void IAVStreamInit(const AVStreamInitParam* param, MemoryPool* pool, void* p2, void* p3,
                     uint8_t reinit) override;
  bool UninitIAVStreaming() override;
  int StartMp4Record(const char* path) override;
  int StopMp4Record() override;
  int SetMp4Url(const char* path) override;
  int SetMp4RecordCallback(int32_t streamid, Mp4RecordStateCallback callback) override;
  // On a running engine waits up to 2 s for the first parameter sets.
  int StartRecord(const char* url) override;
  int StopRecord() override;
  int SetRecordUrl(const char* url) override;
  bool WriteData(const AVSample* sample) override;
  void IAVStreamUpdata(const uint8_t* spsPps, int32_t len, int32_t channels,
                       int32_t sampling_per_bits, int32_t sampling_rate, int32_t fps) override;
  // Also completes a start of publishing that waited for parameter sets.
  void AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len) override;

  // The state reports of every recorder object in the process go to the
  // callback registered last. Recorder library thread.
  static void Mp4StateCallback(uint32_t a, uint32_t b);

 private:
  // `deferred`: called while the engine starts, before any encoder runs.
  // Without parameter sets the start is then completed by
  // AVStreamingSetSpsPpsInfo instead of waiting. A start while publishing
  // restarts both destinations; a failed start leaves them disconnected.
  int StartRecordImpl(const char* url, bool deferred);
  // Gives the parameter sets to the connected publishers and starts their
  // send threads. Caller holds m_rtmpMutex.
  int StartPublishersLocked();
  // Stops the send threads and disconnects both publishers. Caller holds
  // m_rtmpMutex.
  void StopPublishersLocked();
  int32_t StoredSpsPpsLen();
  void FillPublishParamLocked();
  PoolBuffer* CopyLocked(const PoolBuffer& in);
  // Writes the latency summary lines of the MP4 recording to the log.
  void LogMp4LatencyLocked();

  const Mp4RecorderApi m_mp4Api;
  std::unique_ptr<RtmpStreaming> m_RtmpStreaming_1;
  std::unique_ptr<RtmpStreaming> m_RtmpStreaming_2;

  // Serialises StartRecord, StopRecord and the completion of a deferred
  // start, and guards the members up to the dispatcher mutex. Client
  // threads and the encoder's parameter-set thread. Taken before
  // m_mutex; may be held through the 2 s wait.
  platform::Mutex m_rtmpMutex;
  bool m_recordUrlSet = false;
  char m_recordUrl[kMaxText] = {};
  bool m_rtmpStartPending = false;  // connected, waiting for parameter sets
  bool m_publishing = false;        // parameter sets given, send threads started
  bool m_rtmp1Initialised = false;
  bool m_rtmp2Initialised = false;

  // The dispatcher mutex: guards every member below. Taken by the sync
  // thread (WriteData, IAVStreamUpdata), client threads (init, MP4 start and
  // stop, settings) and the encoder's parameter-set thread. Never held
  // across a publisher's connection.
  platform::Mutex m_mutex;
  AVStreamInitParam m_param{};
  RtmpPublishParam m_publishParam{};
  MemoryPool* m_pool = nullptr;  // borrowed
  void* m_p2 = nullptr;
  void* m_p3 = nullptr;
  bool m_mp4Active = false;
  bool m_mp4Requested = false;
  bool m_firstSps = true;
  uint8_t m_videoSpsPps[kMaxText] = {};
  int32_t m_videoSpsPpsLen = -1;
  char m_mp4Path[kMaxText] = {};
  bool m_mp4UrlSet = false;
  char m_mp4Url[kMaxText] = {};
  bool m_keyFrameWait = true;
  uint64_t m_mp4Zero = 0;  // stamp of the recording's first key frame
  bool m_audioPacing = false;
  uint64_t m_mp4VideoTime = 0;
  uint64_t m_mp4AudioTime = 0;
  // The last MP4 audio sample's 90 kHz stamp, and the video frame from whose
  // stamp later video times are counted.
  bool m_mp4AudioSeen = false;
  uint64_t m_mp4LastAudioStamp = 0;
  bool m_mp4VideoAnchored = false;
  uint64_t m_mp4VideoAnchorStamp = 0;
  uint64_t m_mp4VideoAnchorTime = 0;
  uint32_t m_mp4StartTime = 0;
  int32_t m_rtmp2VideoFailures = 0;
  int32_t m_rtmp2AudioFailures = 0;
  // Time from arrival to the MP4 recorder's write call, since the last
  // StartMp4Record; written by the sync thread.
  LatencyStats m_mp4AudioLatency;
  LatencyStats m_mp4VideoLatency;
  Mp4RecordStateCallback m_stateCallback = nullptr;
  int32_t m_callbackStreamId = 0;
  // Owned; created by StartMp4Record, destroyed in UninitIAVStreaming.
  ITarvaneRecord* m_Mp4_korvo = nullptr;

  // Read by WriteData without m_rtmpMutex.
  std::atomic<bool> m_rtmpActive{false};
};

}  // namespace plenova
