#include "sync/AVSynBuffer.h"

#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "tests/sync/SyncTestSupport.h"

namespace plenova::testing {
namespace {

constexpr int32_t kClass = MemoryPool::kClassStep;

using AVSynBufferTest = SyncBufferFixture;
auto Named = [](const auto& info) { return std::string(info.param.name); };

struct CapacityCase {
  const char* name;
  bool audio;
  int capacity;
};
class CapacityTest : public SyncBufferFixture,
                     public ::testing::WithParamInterface<CapacityCase> {};

TEST_P(CapacityTest, PutIntoAFullQueueDiscardsTheIncomingSampleAndDestroysIt) {
  const CapacityCase& c = GetParam();
  auto put = [&](uint64_t ts) { return c.audio ? PutAudio(ts) : PutVideo(ts); };
  Ticks expected;
  for (int i = 0; i < c.capacity; ++i) {
    ASSERT_TRUE(put(1000 + i));
    expected.push_back(1000 + i);
  }
  EXPECT_TRUE(put(99999));
  // The discarded block is destroyed, not handed back to the pool.
  EXPECT_EQ(pool_.IdleCount(kClass), 0);
  Ticks queued;
  if (c.audio) {
    while (buffer_.AudioQueue()->getdata(0)) {
      PoolBuffer* block = buffer_.AudioQueue()->Current()->buffer.release();
      queued.push_back(block->timestamp);
      buffer_.GiveBackAudio(block);
    }
  } else {
    queued = QueuedVideo();
  }
  EXPECT_EQ(queued, expected);
}

INSTANTIATE_TEST_SUITE_P(Queues, CapacityTest,
                         ::testing::Values(CapacityCase{"Audio", true, 51},
                                           CapacityCase{"Video", false, 21}),
                         Named);

// Audio leads: video waits for it, and one audio sample releases the frames
// of the rate stamped before its end. Both travel in handles that give the
// blocks back when the result is dropped.
TEST_F(AVSynBufferTest, OneAudioSampleReleasesTheFramesStampedBeforeItsEnd) {
  EXPECT_EQ(Fetch()->status, kSynNeverFilled);
  for (uint64_t ts : {3600, 7200, 10800, 14400}) ASSERT_TRUE(PutVideo(ts, 25, ts == 3600));
  std::unique_ptr<SynGetResult> result = Fetch();
  EXPECT_EQ(result->status, kSynNoAudio);
  EXPECT_EQ(result->audio, nullptr);
  EXPECT_TRUE(result->video.empty());

  ASSERT_TRUE(PutAudio(10800));  // reaches 10800 + 1920: the frame at 14400 waits
  result = Fetch(25);
  ASSERT_EQ(result->status, kSynAudioReleased);
  EXPECT_EQ(result->audio->state, kSampleReleased);
  EXPECT_EQ(result->audio->channels, kChannels);
  EXPECT_EQ(result->audio->sampling_rate, kRate);
  ASSERT_NE(result->audioBlock, nullptr);
  EXPECT_EQ(result->audioBlock->timestamp, 10800u);
  EXPECT_EQ(result->video.count(), 3);
  EXPECT_EQ(result->video.first(), buffer_.VideoQueue()->Head());
  EXPECT_EQ(result->video.first()->isKeyFrame, 1);
  EXPECT_EQ(VideoStates(), (std::vector<uint32_t>{2, 2, 2, 3}));
  EXPECT_EQ(pool_.IdleCount(kClass), 0);

  result.reset();
  EXPECT_EQ(QueuedVideo(), (Ticks{14400}));
  EXPECT_EQ(pool_.IdleCount(kClass), 4);
}

struct StallCase {
  const char* name;
  uint8_t stalled;
  bool withAudio;
  int remaining;
};
class StalledFetchTest : public SyncBufferFixture,
                         public ::testing::WithParamInterface<StallCase> {};

TEST_P(StalledFetchTest, OnlyAStalledFetchWithoutAudioTrimsVideoToTheNewest15) {
  Ticks all;
  for (int i = 0; i < 21; ++i) {
    all.push_back(3600 * (i + 1));
    ASSERT_TRUE(PutVideo(all.back()));
  }
  if (GetParam().withAudio) {
    ASSERT_TRUE(PutAudio(1920));
  }
  const std::unique_ptr<SynGetResult> result = Fetch(25, GetParam().stalled);
  EXPECT_EQ(QueuedVideo(), Ticks(all.end() - GetParam().remaining, all.end()));
}

INSTANTIATE_TEST_SUITE_P(Stall, StalledFetchTest,
                         ::testing::Values(StallCase{"Stalled", 1, false, 15},
                                           StallCase{"NotStalled", 0, false, 21},
                                           StallCase{"StalledButAudioCame", 1, true, 21}),
                         Named);

}  // namespace
}  // namespace plenova::testing
