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

// --- Capacity -------------------------------------------------------------

struct CapacityCase {
  const char* name;
  uint32_t streamType;
  int capacity;
};

class CapacityTest : public SyncBufferFixture, public ::testing::WithParamInterface<CapacityCase> {
 protected:
  bool Put(uint64_t ts) {
    return GetParam().streamType == kStreamTypeAudio ? PutAudio(ts) : PutVideo(ts);
  }
  int Count() {
    return GetParam().streamType == kStreamTypeAudio ? buffer_.AudioQueue()->Count()
                                                     : buffer_.VideoQueue()->Count();
  }
  // Drains the audio queue through the queue itself, oldest first.
  std::vector<uint64_t> QueuedAudio() {
    std::vector<uint64_t> out;
    while (buffer_.AudioQueue()->getdata(0)) {
      PoolBuffer* block = buffer_.AudioQueue()->Current()->buffer;
      out.push_back(block->timestamp);
      pool_.PutEmptyBuffer(block);
    }
    return out;
  }
};

TEST_P(CapacityTest, PutIntoAFullQueueDiscardsTheIncomingSampleAndDestroysIt) {
  const int capacity = GetParam().capacity;
  std::vector<uint64_t> expected;
  for (int i = 0; i < capacity; ++i) {
    ASSERT_TRUE(Put(1000 + i));
    expected.push_back(1000 + i);
  }
  ASSERT_EQ(pool_.IdleCount(kClass), 0);

  EXPECT_TRUE(Put(99999));
  EXPECT_EQ(Count(), capacity);
  // The discarded block is destroyed, not handed back to the pool.
  EXPECT_EQ(pool_.IdleCount(kClass), 0);
  if (GetParam().streamType == kStreamTypeAudio) {
    EXPECT_EQ(QueuedAudio(), expected);
  } else {
    EXPECT_EQ(QueuedVideo(), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Queues, CapacityTest,
                         ::testing::Values(CapacityCase{"Audio", kStreamTypeAudio, 51},
                                           CapacityCase{"Video", kStreamTypeVideo, 21}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Refused puts ---------------------------------------------------------

struct PutCase {
  const char* name;
  bool nullData = false;
  size_t len = 8;
  uint32_t streamType = kStreamTypeVideo;
  int32_t fps = 25;
  size_t spsPpsLen = 4;
  bool nullSpsPps = false;
  int32_t channels = 2;
  int32_t rate = 48000;
  // The put refuses (false, no block taken) or the queue drops the sample
  // (true, its block back in the pool).
  bool result = false;
};

class RefusedPutTest : public SyncBufferFixture, public ::testing::WithParamInterface<PutCase> {};

TEST_P(RefusedPutTest, QueuesNothingAndLeaksNothing) {
  const PutCase& c = GetParam();
  const uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  const uint8_t sps[300] = {0, 0, 0, 1, 0x67};
  const std::span<const uint8_t> bytes =
      c.nullData ? std::span<const uint8_t>() : std::span<const uint8_t>(data, c.len);
  bool result;
  if (c.streamType == kStreamTypeAudio) {
    EncodedAudioSample sample;
    sample.data = bytes;
    sample.timestamp = 5000;
    sample.channels = c.channels;
    sample.bitsPerSample = 16;
    sample.samplingRate = c.rate;
    sample.framesPerSecond = 25;
    result = buffer_.PutAudio(sample);
  } else {
    EncodedVideoSample sample;
    sample.data = bytes;
    sample.timestamp = 5000;
    sample.fps = c.fps;
    sample.parameterSets =
        c.nullSpsPps ? std::span<const uint8_t>() : std::span<const uint8_t>(sps, c.spsPpsLen);
    result = buffer_.PutVideo(sample);
  }
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(buffer_.AudioQueue()->Count(), 0);
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 0);
  if (c.result) {
    EXPECT_EQ(pool_.IdleCount(kClass), 1);
  } else {
    EXPECT_TRUE(pool_.Classes().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, RefusedPutTest,
    ::testing::Values(
        PutCase{.name = "NullData", .nullData = true}, PutCase{.name = "ZeroLength", .len = 0},
        PutCase{.name = "AudioZeroLength", .len = 0, .streamType = kStreamTypeAudio},
        PutCase{.name = "SpsPpsLongerThanItsArea", .spsPpsLen = 257},
        PutCase{.name = "VideoWithoutSpsPps", .spsPpsLen = 0, .result = true},
        PutCase{.name = "VideoNullSpsPps", .nullSpsPps = true, .result = true},
        PutCase{.name = "VideoRate0", .fps = 0, .result = true},
        PutCase{.name = "AudioChannels0",
                .streamType = kStreamTypeAudio,
                .channels = 0,
                .result = true},
        PutCase{.name = "AudioRate0", .streamType = kStreamTypeAudio, .rate = 0, .result = true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVSynBufferTest, PutBeforeInitBufferIsRefused) {
  AVSynBuffer fresh;
  const uint8_t data[4] = {1, 2, 3, 4};
  EncodedAudioSample sample;
  sample.data = data;
  sample.channels = 2;
  sample.bitsPerSample = 16;
  sample.samplingRate = 48000;
  sample.framesPerSecond = 25;
  EXPECT_FALSE(fresh.PutAudio(sample));
  EXPECT_FALSE(fresh.InitBuffer(nullptr));
}

// --- Fetching -------------------------------------------------------------

TEST_F(AVSynBufferTest, StatusIsNeverFilledBeforeAnyPutAndNoAudioAfterAVideoOnlyPut) {
  EXPECT_EQ(Fetch()->status, kSynNeverFilled);

  ASSERT_TRUE(PutVideo(3600));
  SyncResult result = Fetch();
  EXPECT_EQ(result->status, kSynNoAudio);
  EXPECT_EQ(result->audio, nullptr);
  EXPECT_TRUE(result->video.empty());
  EXPECT_EQ(QueuedVideo(), (std::vector<uint64_t>{3600}));  // video waits for audio

  ASSERT_TRUE(PutAudio(1920));
  result = Fetch();
  EXPECT_EQ(result->status, kSynAudioReleased);
  ASSERT_NE(result->audio, nullptr);
  EXPECT_EQ(result->audioBlock->timestamp, 1920u);
}

TEST_F(AVSynBufferTest, OneAudioSampleReleasesTheFramesOfTheRateStampedBeforeItsEnd) {
  for (uint64_t ts : {3600, 7200, 10800, 14400}) {
    ASSERT_TRUE(PutVideo(ts, 25, ts == 3600));
  }
  // The audio sample reaches 10800 + 1920: the frame at 14400 waits.
  ASSERT_TRUE(PutAudio(10800));

  SyncResult result = Fetch(25);
  ASSERT_EQ(result->status, kSynAudioReleased);
  EXPECT_EQ(result->audio->state, kSampleReleased);
  EXPECT_EQ(result->audio->channels, kChannels);
  EXPECT_EQ(result->audio->sampling_rate, kRate);
  ASSERT_FALSE(result->video.empty());
  EXPECT_EQ(result->video.count(), 3);
  EXPECT_EQ(result->video.first(), buffer_.VideoQueue()->Head());
  EXPECT_EQ(result->video.first()->isKeyFrame, 1);
  EXPECT_EQ(VideoStates(), (std::vector<uint32_t>{2, 2, 2, 3}));
  EXPECT_EQ(QueuedVideo(), (std::vector<uint64_t>{3600, 7200, 10800, 14400}));
  EXPECT_EQ(buffer_.AudioQueue()->Count(), 0);

  // The frames stay queued until the result's handles are dropped.
  result.reset();
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 1);
  EXPECT_EQ(pool_.IdleCount(kClass), 4);
}

struct WalkCase {
  const char* name;
  std::vector<int32_t> rates;  // of the queued frames, oldest first
  std::vector<uint32_t> states;
  int32_t released;
};

class RateWalkTest : public SyncBufferFixture, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(RateWalkTest, AFrameOfAnotherRateStopsTheWalk) {
  uint64_t ts = 3600;
  for (int32_t rate : GetParam().rates) {
    ASSERT_TRUE(PutVideo(ts += 3600, rate));
  }
  ASSERT_TRUE(PutAudio(ts));
  SyncResult result = Fetch(25);
  ASSERT_EQ(result->status, kSynAudioReleased);
  EXPECT_EQ(result->video.count(), GetParam().released);
  EXPECT_EQ(result->video.first(), GetParam().released > 0 ? buffer_.VideoQueue()->Head() : nullptr);
  EXPECT_EQ(VideoStates(), GetParam().states);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RateWalkTest,
    ::testing::Values(WalkCase{"ChangeInTheMiddle", {25, 25, 30, 25}, {2, 2, 0, 3}, 2},
                      WalkCase{"ChangeAtTheHead", {30, 25}, {0, 3}, 0},
                      WalkCase{"AllOfTheRate", {25, 25}, {2, 2}, 2}),
    [](const auto& info) { return std::string(info.param.name); });

struct StallCase {
  const char* name;
  uint8_t stalled;
  bool withAudio;
  int remaining;
};

class StalledFetchTest : public SyncBufferFixture,
                         public ::testing::WithParamInterface<StallCase> {};

TEST_P(StalledFetchTest, OnlyAStalledFetchWithoutAudioTrimsVideoToTheNewest15) {
  std::vector<uint64_t> all;
  for (int i = 0; i < 21; ++i) {
    ASSERT_TRUE(PutVideo(3600 * (i + 1)));
    all.push_back(3600 * (i + 1));
  }
  if (GetParam().withAudio) {
    ASSERT_TRUE(PutAudio(1920));
  }
  SyncResult result = Fetch(25, GetParam().stalled);
  const std::vector<uint64_t> newest(all.end() - GetParam().remaining, all.end());
  EXPECT_EQ(QueuedVideo(), newest);
}

INSTANTIATE_TEST_SUITE_P(Stall, StalledFetchTest,
                         ::testing::Values(StallCase{"Stalled", 1, false, 15},
                                           StallCase{"NotStalled", 0, false, 21},
                                           StallCase{"StalledButAudioCame", 1, true, 21}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVSynBufferTest, PeekGivesTheOldestAudioTimestampAndRemovesNothing) {
  SyncResult peek = buffer_.GetData(1, kChannels, kD, kBits, kRate, 0, 25, 0);
  EXPECT_EQ(peek->hasTimestamp, 0);

  ASSERT_TRUE(PutAudio(500000));
  ASSERT_TRUE(PutAudio(501920));
  ASSERT_TRUE(PutVideo(500000));
  peek = buffer_.GetData(1, kChannels, kD, kBits, kRate, 0, 25, 0);
  EXPECT_EQ(peek->hasTimestamp, 1);
  EXPECT_EQ(peek->headTimestamp, 500000u);
  EXPECT_EQ(peek->audio, nullptr);
  EXPECT_TRUE(peek->video.empty());
  EXPECT_EQ(buffer_.AudioQueue()->Count(), 2);
  EXPECT_EQ(VideoStates(), (std::vector<uint32_t>{kSampleQueued}));
}

TEST_F(AVSynBufferTest, ReleasedataGivesTheFirstFramesBackToThePool) {
  for (uint64_t ts : {3600, 7200, 10800}) {
    ASSERT_TRUE(PutVideo(ts));
  }
  buffer_.VideoQueue()->releasedata(0);
  buffer_.VideoQueue()->releasedata(-1);
  EXPECT_EQ(QueuedVideo(), (std::vector<uint64_t>{3600, 7200, 10800}));

  buffer_.VideoQueue()->releasedata(2);
  EXPECT_EQ(QueuedVideo(), (std::vector<uint64_t>{10800}));
  EXPECT_EQ(pool_.IdleCount(kClass), 2);

  buffer_.VideoQueue()->releasedata(5);  // more than queued
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 0);
  EXPECT_EQ(buffer_.VideoQueue()->Head(), nullptr);
  // The queue links new frames again after running empty.
  ASSERT_TRUE(PutVideo(14400));
  ASSERT_TRUE(PutVideo(18000));
  EXPECT_EQ(QueuedVideo(), (std::vector<uint64_t>{14400, 18000}));
}

// What a stopped engine run left queued goes back to the pool, so the next
// run's outputs begin with the next run's samples.
TEST_F(AVSynBufferTest, ClearGivesEverySampleBackAndTheQueuesWorkOn) {
  for (uint64_t ts : {3600, 7200}) ASSERT_TRUE(PutVideo(ts));
  for (uint64_t ts : {1000, 2920, 4840}) ASSERT_TRUE(PutAudio(ts));
  buffer_.Clear();
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 0);
  EXPECT_EQ(buffer_.AudioQueue()->Count(), 0);
  EXPECT_EQ(pool_.IdleCount(kClass), 5);
  ASSERT_TRUE(PutVideo(90000));
  EXPECT_EQ(QueuedVideo(), (std::vector<uint64_t>{90000}));
}

}  // namespace
}  // namespace plenova::testing
