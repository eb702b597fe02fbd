#include "audio/AudioEncode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "audio/AudioMixImp.h"
#include "tests/audio/AudioFakes.h"

namespace plenova::testing {
namespace {

class AudioEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFakeAac();
    syn_.InitBuffer(&pool_);
    buffer_.InitBuffer(&pool_);
  }

  PoolBuffer* Element(int16_t first, uint64_t stamp, uint32_t tick) {
    PoolBuffer* b = PcmBlock(pool_, std::vector<int16_t>(2048, first), stamp, tick);
    return b;
  }

  MemoryPool pool_;
  AVSynBuffer syn_;
  SynRecord record_{&syn_, &pool_};
  AudioEncodeBuffer buffer_;
  FakeSynCtl ctl_;
};

struct OpenCase {
  int32_t channels, rate;
  int32_t duration;       // 90 kHz units
  int32_t element_bytes;  // 16-bit
};
class AudioEncodeOpenTest : public AudioEncodeTest,
                            public ::testing::WithParamInterface<OpenCase> {};

TEST_P(AudioEncodeOpenTest, TellsFrameLengthAndElementSize) {
  const OpenCase c = GetParam();
  AudioEncode enc(&FakeAacLibrary());
  ASSERT_EQ(enc.aac_encode_init(&ctl_, &buffer_, &syn_, &pool_, c.channels, c.rate, 16), 0);
  EXPECT_EQ(ctl_.durations, std::vector<int32_t>{c.duration});
  EXPECT_EQ(buffer_.ElementBytes(AudioFormat{c.channels, c.rate, 16}), c.element_bytes);
  EXPECT_EQ(FakeAac().config.aacObjectType, kAacLcLow);
  EXPECT_EQ(FakeAac().config.inputFormat, kAacLcInput16Bit);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioEncodeOpenTest,
                         ::testing::Values(OpenCase{2, 48000, 1920, 4096},
                                           OpenCase{1, 48000, 1920, 2048},
                                           OpenCase{1, 16000, 5760, 2048},
                                           OpenCase{2, 44100, 2089, 4096},
                                           OpenCase{1, 8000, 11520, 2048}));

TEST_F(AudioEncodeTest, FramesAreStampedWithTheTimeOfTheAudioTheyCarry) {
  AudioEncode enc(&FakeAacLibrary());
  ASSERT_EQ(enc.aac_encode_init(&ctl_, &buffer_, &syn_, &pool_, 2, 48000, 16), 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(
        enc.aac_encode_frame(Element(static_cast<int16_t>(i), 100000 + 1920 * i, 500 + i), 50), 0);
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

TEST_F(AudioEncodeTest, RefusedFormatLeavesTheEncoderClosedAndElementsAreDropped) {
  FakeAac().refuse_open = true;
  AudioEncode enc(&FakeAacLibrary());
  EXPECT_EQ(enc.aac_encode_init(&ctl_, &buffer_, &syn_, &pool_, 2, 22222, 16), -1);
  EXPECT_TRUE(ctl_.durations.empty());
  PoolBuffer* element = Element(1, 1, 1);
  const int idle = pool_.IdleCount(element->capacity);
  EXPECT_EQ(enc.aac_encode_frame(element, 50), 0);
  EXPECT_EQ(pool_.IdleCount(element->capacity), idle + 1);
  EXPECT_EQ(record_.Count(), 0u);
}

// The whole path stepped by hand, on the fake encoder: one mixer frame is
// pushed as it is captured and mixed at once (no target delay).
class AudioPathStepTest : public AudioEncodeTest {
 protected:
  void Init(int32_t fps, int32_t channels, int32_t rate) {
    fps_ = fps;
    info_ = AudioStreamInfo{channels, 16, rate, "a"};
    ASSERT_TRUE(InitOneStreamPath(imp_, &info_, &pool_, &syn_, &ctl_, &timeline_, fps));
  }
  void Update(int32_t channels, int32_t rate) {
    info_ = AudioStreamInfo{channels, 16, rate, "a"};
    AudioMixUpdateParam u{&info_, 1, channels, rate, 16};
    imp_.UpdataAudioMixImp(&u);
  }
  // Pushes one mixer frame of stream "a" and runs the pass that mixes it.
  void Cycle(int32_t channels, int32_t rate, int16_t tag) {
    const int32_t bytes = imp_.Mixer().AudioFrameSize();
    const uint32_t ms = 1000 / static_cast<uint32_t>(fps_);
    tick_ += ms;
    const AudioMixFrame f = MixFrame(
        PcmBlock(pool_, std::vector<int16_t>(static_cast<size_t>(bytes / 2), tag), stamp_, tick_),
        "a", channels, rate);
    stamp_ += 90000 / static_cast<uint64_t>(fps_);
    ASSERT_TRUE(imp_.IAudioMixPushData(&f));
    imp_.Mixer().AudioMixStep(tick_);
    record_.Drain();
  }

  AudioStreamInfo info_{};
  MediaTimeline timeline_{0};
  AudioMixImp imp_{&FakeAacLibrary()};
  int32_t fps_ = 50;
  uint64_t stamp_ = 100000;
  uint32_t tick_ = 0xFFFF'FF00u;
};

TEST_F(AudioPathStepTest, AtTwentyFiveFramesASecondTheEncodeBufferStaysBounded) {
  // 7680-byte mixer frames into 4096-byte elements: almost two elements a
  // cycle, all encoded in the cycle that completes them.
  Init(25, 2, 48000);
  int most = 0;
  const int cycles = 25 * 60;
  for (int i = 0; i < cycles; ++i) {
    Cycle(2, 48000, static_cast<int16_t>(i));
    most = std::max(most, imp_.EncodeBuffer().ElementCount());
  }
  EXPECT_LE(most, 2);
  // Every element but the tail was encoded; the fake holds one in its delay.
  const int elements = (cycles - 1) * 7680 / 4096;
  EXPECT_GE(static_cast<int>(record_.Count()), elements - 2);
  const std::vector<SynAudioFrame> frames = record_.Frames();
  for (size_t i = 1; i < frames.size(); ++i)
    ASSERT_GT(frames[i].timestamp, frames[i - 1].timestamp) << i;
}

TEST_F(AudioPathStepTest, FormatChangeDrainsOldElementsThenFollowsTheNewFormat) {
  Init(50, 2, 48000);
  for (int i = 0; i < 10; ++i) Cycle(2, 48000, static_cast<int16_t>(i + 1));
  Update(1, 16000);
  for (int i = 0; i < 20; ++i) Cycle(1, 16000, static_cast<int16_t>(100 + i));

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

TEST_F(AudioPathStepTest, WithTheEncoderClosedElementsAreDroppedAndNothingPilesUp) {
  FakeAac().refuse_open = true;
  Init(50, 2, 48000);
  for (int i = 0; i < 20; ++i) Cycle(2, 48000, 1);
  EXPECT_LE(imp_.EncodeBuffer().ElementCount(), 2);
  EXPECT_EQ(record_.Count(), 0u);
}

}  // namespace
}  // namespace plenova::testing
