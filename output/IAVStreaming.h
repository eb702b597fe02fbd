#pragma once

#include <cstdint>
#include <span>

#include "api/Plenova.h"
#include "common/EventSink.h"
#include "common/IVideoEncoderOutputs.h"
#include "output/AVSample.h"
#include "output/AVStreamInitParam.h"

namespace plenova {

class MemoryPool;

// The output dispatcher: where encoded samples leave the engine for the RTMP
// publishers and the MP4 recorder. Operations in virtual-table order, after
// those of the encoder's view of the outputs.
class IAVStreaming : public IVideoEncoderOutputs {
 public:
  ~IAVStreaming() override = default;
  // Stores the output description and starts outputs requested earlier.
  // `param` and `pool` are never null.
  // `p2`/`p3` are the client's sample hook and message callback. `reinit`
  // marks a re-initialisation after a URL change.
  virtual void IAVStreamInit(const AVStreamInitParam* param, MemoryPool* pool, void* p2, void* p3,
                             uint8_t reinit) = 0;
  virtual bool UninitIAVStreaming() = 0;
  virtual int StartMp4Record(const char* path) = 0;
  virtual int StopMp4Record() = 0;
  virtual int SetMp4Url(const char* path) = 0;
  virtual int SetMp4RecordCallback(int32_t streamid, Mp4RecordStateCallback callback) = 0;
  virtual int StartRecord(const char* url) = 0;
  virtual int StopRecord() = 0;
  virtual int SetRecordUrl(const char* url) = 0;
  // Routes one sample (never null, with its buffer) to every active output;
  // the caller keeps the sample and its buffer. Refused (false) without
  // bytes. Sync controller thread.
  virtual bool WriteData(const AVSample* sample) = 0;
  // A change of the video parameter sets or rates. Sync controller thread.
  virtual void IAVStreamUpdata(const uint8_t* spsPps, int32_t len, int32_t channels,
                               int32_t sampling_per_bits, int32_t sampling_rate, int32_t fps) = 0;
  // The first SPS/PPS of the H.264 stream (Annex B, with start codes).
  virtual void AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len) = 0;
  // The encoder's parameter sets, as AVStreamingSetSpsPpsInfo.
  void OnParameterSets(std::span<const uint8_t> spsPps) final {
    AVStreamingSetSpsPpsInfo(spsPps.data(), static_cast<int32_t>(spsPps.size()));
  }
  // True while an MP4 recording is asked for and not over: waiting for the
  // engine to start, or recording. A recording whose file could not be
  // opened or written is over. Any thread.
  virtual bool Mp4RecordRequested() = 0;
  // True from a successful StartRecord (or SetRecordUrl) until StopRecord,
  // whether the publishers are connected, connecting or retrying. Any thread.
  virtual bool RtmpRequested() = 0;
  // See IVideoEncoderOutputs.
  bool TakeKeyFrameRequest() override = 0;
  // Where the outputs report their events (borrowed; outlives the
  // dispatcher; null: nowhere). Before the outputs start.
  virtual void SetEventSink(EventSink* sink) { (void)sink; }
  // Fills the statistics of the `count` outputs (MP4, RTMP 1, RTMP 2). Any
  // thread.
  virtual void CollectStatistics(PlenovaOutputStatistics* outputs, int count) {
    (void)outputs;
    (void)count;
  }
};

}  // namespace plenova
