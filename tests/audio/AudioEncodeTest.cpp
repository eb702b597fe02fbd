#include "audio/AudioEncode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/AudioMixImp.h"
#include "common/LatencyStats.h"
#include "tests/audio/AudioFakes.h"

namespace plenova::testing {
namespace {

// The encode buffer (48000 Hz stereo 16-bit: 1024 samples per channel make
// 4096-byte elements) and the encoder on the fake AAC library, feeding a
// real sync buffer.
class AudioEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFakeAac();
    syn_.InitBuffer(&pool_);
    ASSERT_TRUE(buffer_.InitBuffer(&pool_));
    buffer_.SetElementFrames(1024);
  }

  // Puts a frame of `bytes` bytes whose 16-bit samples count on from `first`.
  // The frame's arrival tick is its stamp unless given.
  bool Put(int32_t bytes, uint64_t stamp, int16_t first, int32_t channels = 2, int32_t rate = 48000,
           std::optional<uint32_t> tick = std::nullopt) {
    std::vector<int16_t> samples(static_cast<size_t>(bytes / 2));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(first + i);
    PoolBuffer* block =
        PcmBlock(pool_, samples, stamp, tick.value_or(static_cast<uint32_t>(stamp)));
    return buffer_.PutData(AdoptPoolBuffer(block, &pool_), channels, rate, 16);
  }

  // Takes the head element, checking the state the buffer answers.
  std::unique_ptr<PoolBuffer, void (*)(PoolBuffer*)> Take(AudioEncodeBufferData::State expected,
                                                          int32_t channels = 2,
                                                          int32_t rate = 48000) {
    std::unique_ptr<AudioEncodeBufferData> r = buffer_.GetData(channels, rate, 16);
    EXPECT_NE(r, nullptr);
    EXPECT_EQ(r ? r->state : -1, expected);
    return {r ? r->buffer.release() : nullptr, DestroyPoolBuffer};
  }

  static int16_t SampleAt(const PoolBuffer& b, int i) {
    int16_t s;
    std::memcpy(&s, b.data + i * 2, 2);
    return s;
  }

  PoolBuffer* Element(int16_t first, uint64_t stamp, uint32_t tick) {
    return PcmBlock(pool_, std::vector<int16_t>(2048, first), stamp, tick);
  }

  MemoryPool pool_;
  AVSynBuffer syn_;
  SynRecord record_{&syn_};
  AudioEncodeBuffer buffer_;
  FakeSynCtl ctl_;
};

// --- The encode buffer: mixed frames re-cut into AAC input elements ----------

// --- The encoder ---------------------------------------------------------------

// Opening tells the sync controller the frame length and the buffer the
// element size (other formats: AudioPathAacTest); frames then carry the
// time of the audio in them.
TEST_F(AudioEncodeTest, FramesAreStampedWithTheTimeOfTheAudioTheyCarry) {
  AudioEncode enc(&FakeAacLibrary());
  ASSERT_EQ(enc.aac_encode_init(&ctl_, &buffer_, &syn_, 2, 48000, 16), 0);
  EXPECT_EQ(ctl_.durations, std::vector<int32_t>{1920});
  EXPECT_EQ(buffer_.ElementBytes(AudioFormat{2, 48000, 16}), 4096);
  EXPECT_EQ(FakeAac().config.aacObjectType, kAacLcLow);
  EXPECT_EQ(FakeAac().config.inputFormat, kAacLcInput16Bit);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(
        enc.aac_encode_frame(
            AdoptPoolBuffer(Element(static_cast<int16_t>(i), 100000 + 1920 * i, 500 + i), &pool_),
            50),
        0);
  }
  // Four frames out of five inputs: the priming one frame before the first
  // element, then elements 0, 1 and 2, each with its own stamp and tick.
  const std::vector<SynAudioFrame> frames = record_.Frames();
  ASSERT_EQ(frames.size(), 4u);
  for (int j = 0; j < 4; ++j) {
    const SynAudioFrame& f = frames[static_cast<size_t>(j)];
    const int input = j - 1;
    EXPECT_EQ(PayloadIndex(f), input);
    EXPECT_EQ(f.timestamp, static_cast<uint64_t>(100000 + 1920 * input));
    EXPECT_EQ(f.tick, 500u + static_cast<uint32_t>(std::max(input, 0)));
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.bits, 16);
    EXPECT_EQ(f.rate, 48000);
    EXPECT_EQ(f.fps, 50);
  }
  EXPECT_EQ(FakeAac().encoded_samples, std::vector<uint32_t>(5, 2048));
}

// The whole path stepped by hand on the fake encoder, its format changed
// midway: one mixer frame is pushed as it is captured and mixed at once
// (no target delay).
TEST_F(AudioEncodeTest, APathFormatChangeDrainsOldElementsThenFollowsTheNewFormat) {
  MediaTimeline timeline(0);
  AudioMixImp imp(&FakeAacLibrary());
  AudioStreamInfo info{2, 16, 48000, "a"};
  ASSERT_TRUE(InitOneStreamPath(imp, &info, &pool_, &syn_, &ctl_, &timeline, 50));
  uint64_t stamp = 100000;
  uint32_t tick = 0xFFFF'FF00u;
  auto cycle = [&](int32_t channels, int32_t rate, int16_t tag) {
    const auto samples = static_cast<size_t>(imp.Mixer().AudioFrameSize() / 2);
    tick += 20;
    PoolBuffer* block = PcmBlock(pool_, std::vector<int16_t>(samples, tag), stamp, tick);
    stamp += 1800;
    ASSERT_TRUE(
        imp.IAudioMixPushData(MixFrame(AdoptPoolBuffer(block, &pool_), "a", channels, rate)));
    imp.Mixer().AudioMixStep(tick);
    record_.Drain();
  };
  for (int i = 0; i < 10; ++i) cycle(2, 48000, static_cast<int16_t>(i + 1));
  info = AudioStreamInfo{1, 16, 16000, "a"};
  const AudioMixUpdateParam update{&info, 1, 1, 16000, 16};
  imp.UpdataAudioMixImp(&update);
  for (int i = 0; i < 20; ++i) cycle(1, 16000, static_cast<int16_t>(100 + i));

  const FakeAacState& fake = FakeAac();
  ASSERT_EQ(fake.open_rates, (std::vector<uint32_t>{48000, 16000}));
  EXPECT_EQ(fake.open_channels, (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(fake.open_handles, 1);
  // Ten stereo frames were mixed: 38400 bytes make 9 full elements and a
  // tail completed with silence, and all ten went through the stereo encoder.
  size_t stereo_calls = 0;
  while (stereo_calls < fake.encoded_samples.size() && fake.encoded_samples[stereo_calls] == 2048)
    ++stereo_calls;
  EXPECT_EQ(stereo_calls, 10u);
  // 20 mono frames of 640 bytes make 6 complete elements of 2048 bytes.
  EXPECT_EQ(fake.encoded_samples.size() - stereo_calls, 6u);

  // Each encoder puts out its priming and all but its last input.
  std::vector<SynAudioFrame> frames = record_.Frames();
  ASSERT_EQ(frames.size(), 10u + 5u - 1u);
  EXPECT_EQ(frames[8].channels, 2);
  EXPECT_EQ(frames[9].channels, 1);
  EXPECT_EQ(frames[9].rate, 16000);
  EXPECT_EQ(PayloadFirstSample(frames[10]), 100);
  // The sync controller keeps the length it was told at initialisation.
  EXPECT_EQ(ctl_.durations, std::vector<int32_t>{1920});
}

}  // namespace
}  // namespace plenova::testing
