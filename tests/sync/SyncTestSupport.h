#pragma once

// Shared set-up of the sync buffer and controller tests: a pool on a manual
// clock, a sync buffer on it, and one-line puts of encoded samples.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "common/MemoryPool.h"
#include "sync/AVSynBuffer.h"
#include "sync/IAVSynCtl.h"
#include "tests/support/ManualClock.h"

namespace plenova::testing {

using Ticks = std::vector<uint64_t>;

constexpr int32_t kChannels = 2;
constexpr int32_t kBits = 16;
constexpr int32_t kRate = 48000;
constexpr uint32_t kD = 1920;  // one AAC frame at 48 kHz, 90 kHz units

// The parameter sets a frame of rate `fps` carries: distinct per rate.
inline std::vector<uint8_t> SpsPpsFor(int32_t fps) {
  return {0, 0, 0, 1, 0x67, static_cast<uint8_t>(fps), 0, 0, 0, 1, 0x68, 0xCE};
}

// Controller settings that fetch from `buffer` and write to `streaming`.
inline AVSynCtlParam SyncParam(AVSynBuffer* buffer, IAVStreaming* streaming, int32_t fps = 25,
                               int32_t waitMaxTime = 10) {
  AVSynCtlParam param;
  param.channels = kChannels;
  param.sampling_per_bits = kBits;
  param.sampling_rate = kRate;
  param.fps = fps;
  param.video_frame_duration = 90000 / fps;
  param.synBuffer = buffer;
  param.streaming = streaming;
  param.waitMaxTime = waitMaxTime;
  return param;
}

class SyncBufferFixture : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(buffer_.InitBuffer(&pool_)); }

  // Payload: the timestamp's bytes, so a written sample can be told apart.
  bool PutAudio(uint64_t ts) {
    EncodedAudioSample sample;
    sample.data = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&ts), sizeof ts);
    sample.timestamp = ts;
    sample.channels = kChannels;
    sample.bitsPerSample = kBits;
    sample.samplingRate = kRate;
    sample.framesPerSecond = 25;
    return buffer_.PutAudio(sample);
  }
  bool PutVideo(uint64_t ts, int32_t fps = 25, bool key = false) {
    const std::vector<uint8_t> sps = SpsPpsFor(fps);
    EncodedVideoSample sample;
    sample.data = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(&ts), sizeof ts);
    sample.timestamp = ts;
    sample.fps = fps;
    sample.isKeyFrame = key;
    sample.parameterSets = sps;
    return buffer_.PutVideo(sample);
  }
  std::unique_ptr<SynGetResult> Fetch(int32_t fps = 25, uint8_t stalled = 0, uint8_t peek = 0) {
    return buffer_.GetData(peek, kChannels, kD, kBits, kRate, 0, fps, stalled);
  }

  // Timestamps and states of the queued video frames, oldest first.
  Ticks QueuedVideo() {
    Ticks out;
    for (const VideoSampleNode* node : Nodes()) out.push_back(node->buffer->timestamp);
    return out;
  }
  std::vector<uint32_t> VideoStates() {
    std::vector<uint32_t> out;
    for (const VideoSampleNode* node : Nodes()) out.push_back(node->state);
    return out;
  }

  ManualClock clock_;
  ScopedClock scoped_{&clock_};
  MemoryPool pool_;
  AVSynBuffer buffer_;

 private:
  std::vector<const VideoSampleNode*> Nodes() {
    std::vector<const VideoSampleNode*> out;
    const int n = buffer_.VideoQueue()->Count();
    const VideoSampleNode* node = buffer_.VideoQueue()->Head();
    for (int i = 0; i < n && node != nullptr; ++i, node = node->next) out.push_back(node);
    return out;
  }
};

}  // namespace plenova::testing
