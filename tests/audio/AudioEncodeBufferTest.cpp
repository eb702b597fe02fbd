#include "audio/AudioEncodeBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "common/LatencyStats.h"
#include "tests/audio/AudioFakes.h"

namespace plenova::testing {
namespace {

// 48000 Hz stereo 16-bit: 1024 samples per channel make 4096-byte elements.
class AudioEncodeBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(buffer_.InitBuffer(&pool_));
    buffer_.SetElementFrames(1024);
  }

  // Puts a frame of `bytes` bytes whose 16-bit samples count on from `first`.
  // The frame's arrival tick is its stamp unless given.
  bool Put(int32_t bytes, uint64_t stamp, int16_t first, int32_t channels = 2, int32_t rate = 48000,
           std::optional<uint32_t> tick = std::nullopt) {
    std::vector<int16_t> samples(static_cast<size_t>(bytes / 2));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(first + i);
    return buffer_.PutData(
        PcmBlock(pool_, samples, stamp, tick.value_or(static_cast<uint32_t>(stamp))), channels,
        rate, 16);
  }

  // Takes the head element, checking the state the buffer answers.
  std::unique_ptr<PoolBuffer, void (*)(PoolBuffer*)> Take(AudioEncodeBufferData::State expected,
                                                          int32_t channels = 2,
                                                          int32_t rate = 48000) {
    std::unique_ptr<AudioEncodeBufferData> r = buffer_.GetData(channels, rate, 16);
    EXPECT_NE(r, nullptr);
    EXPECT_EQ(r ? r->state : -1, expected);
    return {r ? r->buffer : nullptr, DestroyPoolBuffer};
  }

  static int16_t SampleAt(const PoolBuffer& b, int i) {
    int16_t s;
    std::memcpy(&s, b.data + i * 2, 2);
    return s;
  }

  MemoryPool pool_;
  AudioEncodeBuffer buffer_;
};

TEST_F(AudioEncodeBufferTest, MixerFramesFillElementsBackToBack) {
  // 3840-byte frames (1920 samples each, counting on) into 4096-byte elements:
  // 3840, then 256 + 3584, then 512 + 3328.
  const uint64_t stamps[] = {90000, 91800, 93600, 95400};
  for (int f = 0; f < 4; ++f) ASSERT_TRUE(Put(3840, stamps[f], static_cast<int16_t>(f * 1920)));
  ASSERT_EQ(buffer_.ElementCount(), 4);

  for (int e = 0; e < 3; ++e) {
    auto element = Take(AudioEncodeBufferData::kReady);
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(element->len, 4096);
    // Consecutive audio: element e holds samples 2048 e onward.
    for (int i = 0; i < 2048; i += 511)
      EXPECT_EQ(SampleAt(*element, i), static_cast<int16_t>(2048 * e + i));
    // An element carries the time of its first sample and the tick of the
    // frame that began it.
    EXPECT_EQ(element->timestamp, 90000u + 1920u * static_cast<uint64_t>(e));
    EXPECT_EQ(element->tick, static_cast<uint32_t>(stamps[e]));
  }
  // The tail stays until it is complete.
  Take(AudioEncodeBufferData::kNotReady);
}

TEST_F(AudioEncodeBufferTest, AFrameThatDoesNotContinueTheTailBeginsAnElementOfItsOwn) {
  ASSERT_TRUE(Put(3840, 90000, 100));
  // Nothing was mixed for 60 ms: the tail is completed with silence and the
  // next frame's element carries its own stamp.
  ASSERT_TRUE(Put(3840, 90000 + 4 * 1800, 5000));
  auto first = Take(AudioEncodeBufferData::kReady);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->timestamp, 90000u);
  EXPECT_EQ(SampleAt(*first, 1919), 100 + 1919);
  EXPECT_EQ(SampleAt(*first, 1920), 0);
  ASSERT_TRUE(Put(3840, 90000 + 5 * 1800, 5000 + 1920));
  auto second = Take(AudioEncodeBufferData::kReady);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->timestamp, 90000u + 4 * 1800);
  EXPECT_EQ(SampleAt(*second, 0), 5000);
}

// An element carries the oldest arrival tick of the frames it holds, also
// when a later frame (from a mix of older input) arrived first.
TEST_F(AudioEncodeBufferTest, ElementCarriesTheOldestTickOfItsFrames) {
  ASSERT_TRUE(Put(2048, 1000, 0, 2, 48000, 500u));
  ASSERT_TRUE(Put(2048, 1960, 1024, 2, 48000, 420u));
  ASSERT_TRUE(Put(2048, 2920, 2048, 2, 48000, kUnknownTick));
  ASSERT_TRUE(Put(2048, 3880, 3072, 2, 48000, 610u));
  ASSERT_TRUE(Put(2048, 4840, 4096, 2, 48000, 700u));
  auto first = Take(AudioEncodeBufferData::kReady);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->tick, 420u);
  auto second = Take(AudioEncodeBufferData::kReady);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->tick, 610u);  // the unknown tick of its first half is skipped
}

TEST_F(AudioEncodeBufferTest, AnElementIsHandedOutOnceComplete) {
  ASSERT_TRUE(Put(2048, 1000, 0));
  Take(AudioEncodeBufferData::kNotReady);
  ASSERT_TRUE(Put(2048, 1000 + 960, 1024));
  EXPECT_EQ(buffer_.ElementCount(), 1);
  auto first = Take(AudioEncodeBufferData::kReady);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(SampleAt(*first, 2047), 2047);
  EXPECT_EQ(buffer_.ElementCount(), 0);
}

TEST_F(AudioEncodeBufferTest, FrameLongerThanAnElementIsSplitWithAdvancingStamps) {
  // 25 frames a second: 7680 bytes span two elements; each element carries
  // the time of its first sample, 1920 ticks after the one before.
  ASSERT_TRUE(Put(7680, 90000, 0));
  ASSERT_TRUE(Put(7680, 93600, 3840));
  ASSERT_EQ(buffer_.ElementCount(), 4);
  const uint64_t expected[] = {90000, 91920, 93840};
  for (uint64_t stamp : expected) {
    auto e = Take(AudioEncodeBufferData::kReady);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->timestamp, stamp);
  }
}

TEST_F(AudioEncodeBufferTest, FormatChangeCompletesTheOldTailWithSilence) {
  ASSERT_TRUE(Put(3840, 90000, 100));
  // 16000 Hz mono: 1024 samples make 2048-byte elements.
  ASSERT_TRUE(Put(640, 91800, 5, 1, 16000));
  ASSERT_EQ(buffer_.ElementCount(), 2);

  // Asked for the new format, the buffer answers with the head's old format
  // and keeps it.
  std::unique_ptr<AudioEncodeBufferData> r = buffer_.GetData(1, 16000, 16);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->state, AudioEncodeBufferData::kFormatDiffers);
  EXPECT_EQ(r->channels, 2);
  EXPECT_EQ(r->sampling_rate, 48000);
  EXPECT_EQ(buffer_.ElementCount(), 2);

  auto old = Take(AudioEncodeBufferData::kReady);
  ASSERT_NE(old, nullptr);
  EXPECT_EQ(old->len, 4096);
  EXPECT_EQ(SampleAt(*old, 1919), 100 + 1919);
  EXPECT_EQ(SampleAt(*old, 1920), 0);
  EXPECT_EQ(SampleAt(*old, 2047), 0);

  // The new format's element is 2048 bytes and fills from its start.
  ASSERT_TRUE(Put(2048 - 640, 91800 + 1800, 325, 1, 16000));
  auto fresh = Take(AudioEncodeBufferData::kReady, 1, 16000);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(fresh->len, 2048);
  EXPECT_EQ(fresh->timestamp, 91800u);
  EXPECT_EQ(SampleAt(*fresh, 0), 5);
  EXPECT_EQ(SampleAt(*fresh, 320), 325);
}

}  // namespace
}  // namespace plenova::testing
