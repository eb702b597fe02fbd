#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "output/IAVStreaming.h"

namespace plenova::testing {

// A dispatcher that records every sample written to it and every parameter
// update, in call order. Thread-safe: the writing thread and the test thread
// may use it at once. The other operations succeed and do nothing.
class RecordingStreaming : public IAVStreaming {
 public:
  enum class Kind { kWrite, kUpdate };

  // One call, copied at the time of the call.
  struct Event {
    Kind kind = Kind::kWrite;
    // kWrite: the sample as it was handed over.
    uint32_t streamType = 0;
    uint8_t isKeyFrame = 0;
    uint64_t timestamp = 0;
    uint32_t tick = 0;
    std::vector<uint8_t> data;
    // kUpdate: the arguments of IAVStreamUpdata.
    std::vector<uint8_t> spsPps;
    int32_t channels = 0;
    int32_t sampling_per_bits = 0;
    int32_t sampling_rate = 0;
    int32_t fps = 0;
  };

  void IAVStreamInit(const AVStreamInitParam*, MemoryPool*, void*, void*, uint8_t) override {}
  bool UninitIAVStreaming() override { return true; }
  int StartMp4Record(const char*) override { return 0; }
  int StopMp4Record() override { return 0; }
  int SetMp4Url(const char*) override { return 0; }
  int SetMp4RecordCallback(int32_t, Mp4RecordStateCallback) override { return 0; }
  int StartRecord(const char*) override { return 0; }
  int StopRecord() override { return 0; }
  int SetRecordUrl(const char*) override { return 0; }
  bool WriteData(const AVSample* sample) override;
  void IAVStreamUpdata(const uint8_t* spsPps, int32_t len, int32_t channels,
                       int32_t sampling_per_bits, int32_t sampling_rate, int32_t fps) override;
  void AVStreamingSetSpsPpsInfo(const uint8_t*, int32_t) override {}
  bool Mp4RecordRequested() override { return false; }
  bool RtmpRequested() override { return false; }
  bool TakeKeyFrameRequest() override { return false; }

  std::vector<Event> Events();
  // Only the written samples, or only those of one stream type.
  std::vector<Event> Writes();
  std::vector<Event> Writes(uint32_t streamType);
  // Timestamps of the written samples of one stream type.
  std::vector<uint64_t> Timestamps(uint32_t streamType);
  int UpdateCount();
  // Call order as a string: 'A' audio write, 'V' video write, 'U' update.
  std::string Order();

  // Waits (in real time, at most `limit`) until `count` samples were written.
  bool WaitForWrites(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  // Guards events_ and writes_; taken by the writing thread and the test.
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  size_t writes_ = 0;
};

}  // namespace plenova::testing
