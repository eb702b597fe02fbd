#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/AudioMix.h"
#include "audio/ManageInUseBuffer_ForAudioMix.h"
#include "tests/audio/AudioFakes.h"

namespace plenova::testing {
namespace {

class AudioStreamTableTest : public ::testing::Test {
 protected:
  void Init(const std::vector<AudioStreamInfo>& streams) {
    const AudioMixSetup setup = MixerSetup(streams, &pool_, nullptr, 50, 2, 48000);
    ASSERT_TRUE(mix_.AudioMixInit(&setup));
  }
  void Update(std::vector<AudioStreamInfo> streams) {
    AudioMixUpdateParam p{streams.data(), static_cast<int32_t>(streams.size()), 2, 48000, 16};
    mix_.UpdataAudioMix(&p);
  }
  bool Push(const char* id, uint64_t stamp, int32_t bits = 16) {
    const AudioMixFrame f = MixFrame(PcmBlock(pool_, {1, 2, 3, 4}, stamp), id, 2, 48000, bits);
    return mix_.AudioMixPushdata(&f);
  }
  static AudioStreamInfo S(const char* id, int32_t bits = 16) {
    return AudioStreamInfo{2, bits, 48000, id};
  }

  MemoryPool pool_;
  AudioMix mix_;
};

TEST_F(AudioStreamTableTest, UpdateFreesARemovedStreamAndDropsItsLateFrames) {
  Init({S("one"), S("two")});
  Update({S("one"), S("two")});
  ASSERT_TRUE(Push("one", 10));
  ASSERT_TRUE(Push("one", 20));

  Update({S("two"), S("three")});
  EXPECT_FALSE(mix_.Slot(0).streamId.has_value());
  EXPECT_EQ(mix_.Slot(0).channel, 0);
  EXPECT_EQ(mix_.Slot(0).queued, -1) << "the queue went with its frames";
  EXPECT_EQ(mix_.Slot(2).streamId, "three");  // first slot free while the list was handled
  EXPECT_TRUE(mix_.Slot(2).isWork);
  const auto old = mix_.OldStreams();
  EXPECT_EQ(old[0].streamId, "one");
  EXPECT_FALSE(old[1].streamId.has_value());

  // A late frame of "one" is dropped and its block goes back to the pool.
  PoolBuffer* block = PcmBlock(pool_, {1}, 30);
  const int idle = pool_.IdleCount(block->capacity);
  const AudioMixFrame late = MixFrame(block, "one");
  EXPECT_TRUE(mix_.AudioMixPushdata(&late));
  EXPECT_EQ(pool_.IdleCount(block->capacity), idle + 1);
  EXPECT_FALSE(mix_.Slot(0).streamId.has_value());
}

TEST_F(AudioStreamTableTest, SameIdInAnotherFormatIsAnotherStream) {
  Init({});
  Update({S("cam", 16), S("cam", 8)});
  EXPECT_EQ(mix_.Slot(0).sampling_per_bits, 16);
  EXPECT_EQ(mix_.Slot(1).sampling_per_bits, 8);
  ASSERT_TRUE(Push("cam", 1, 8));
  EXPECT_EQ(mix_.Slot(1).queued, 1);
  EXPECT_EQ(mix_.Slot(0).queued, 0);
}

TEST_F(AudioStreamTableTest, SixthStreamIsRefused) {
  Init({});
  Update({S("a"), S("b"), S("c"), S("d"), S("e"), S("f")});
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(mix_.Slot(i).isWork) << i;

  // Pushed by itself, a sixth stream is refused and its block goes back.
  PoolBuffer* block = PcmBlock(pool_, {1}, 30);
  const int idle = pool_.IdleCount(block->capacity);
  const AudioMixFrame stranger = MixFrame(block, "g");
  EXPECT_FALSE(mix_.AudioMixPushdata(&stranger));
  EXPECT_EQ(pool_.IdleCount(block->capacity), idle + 1);
}

struct SizeCase {
  int32_t channels, rate, bits, fps, bytes;
};
class AudioFrameSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(AudioFrameSizeTest, FrameBytes) {
  const SizeCase c = GetParam();
  EXPECT_EQ(AudioMix::FrameSize(c.channels, c.rate, c.bits, c.fps), c.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AudioFrameSizeTest,
    ::testing::Values(SizeCase{2, 48000, 16, 50, 3840}, SizeCase{2, 48000, 16, 25, 7680},
                      SizeCase{1, 16000, 16, 50, 640}, SizeCase{2, 44100, 16, 50, 3528},
                      SizeCase{1, 8000, 16, 25, 640},
                      // Degenerate formats get fixed sizes.
                      SizeCase{1, 8000, 16, 0, 320}, SizeCase{1, 16000, 16, 0, 640},
                      SizeCase{1, 48000, 16, 0, 1920}, SizeCase{1, 11025, 16, 0, 320}));

// The queue: position order, 20 frames at most, the one furthest ahead
// destroyed; spans are read across frame boundaries, and the frames read
// to their end go back to the pool.
TEST(AudioInputQueueTest, KeepsPositionOrderAndDropsTheFurthestAheadBeyondTwenty) {
  MemoryPool pool;
  ManageInUseBuffer_ForAudioMix queue(&pool);
  // One-channel frames of two samples, both holding `tag`.
  auto push = [&](int64_t position, int16_t tag) {
    return queue.pushdata(PcmBlock(pool, {tag, tag}, 0), position, 2);
  };
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(push(100 + 2 * i, static_cast<int16_t>(i)));
  ASSERT_FALSE(push(0, 100));    // a new head: the frame at 138 goes
  ASSERT_FALSE(push(500, 101));  // furthest ahead itself: dropped
  EXPECT_EQ(queue.Count(), 20);

  std::vector<int16_t> span(8, -1);
  uint32_t tick = 0;
  const int idle = pool.IdleCount(MemoryPool::kClassStep);
  ASSERT_TRUE(queue.TakeSpan(99, 8, 1, span.data(), &tick));
  // Nothing covers sample 99; 100..106 come from three frames.
  const std::vector<int16_t> expected = {-1, 0, 0, 1, 1, 2, 2, 3};
  EXPECT_EQ(span, expected);
  // Every frame ending within the span went, the stale head (0..1) too;
  // the one reaching beyond it stays.
  EXPECT_EQ(queue.Count(), 20 - 4);
  EXPECT_EQ(pool.IdleCount(MemoryPool::kClassStep), idle + 4) << "given back to the pool";
  EXPECT_EQ(queue.DropBefore(106), 0);
  std::vector<int16_t> tail(2, -1);
  ASSERT_TRUE(queue.TakeSpan(107, 2, 1, tail.data(), &tick));
  EXPECT_EQ(tail, (std::vector<int16_t>{3, 4}));
}

}  // namespace
}  // namespace plenova::testing
