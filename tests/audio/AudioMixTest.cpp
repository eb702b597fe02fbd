#include "audio/AudioMix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "audio/ManageInUseBuffer_ForAudioMix.h"
#include "sync/MediaTimeline.h"
#include "tests/audio/AudioFakes.h"

namespace plenova::testing {
namespace {

// Machine time of the first frame; near the 32-bit timer's wrap, so that a
// time mistaken for a duration shows.
constexpr uint32_t kStart = 0xFFFF'F000u;
constexpr uint32_t kDelayMs = 60;
constexpr int kRate = 48000;
constexpr int kChannels = 2;
// 90 kHz ticks of n samples at 48 kHz.
constexpr uint64_t Ticks(uint64_t samples) { return samples * 90000 / kRate; }

AudioStreamInfo S(const char* id, int32_t bits = 16) {
  return AudioStreamInfo{kChannels, bits, kRate, id};
}

// A mixer on a real timeline, fed by the test thread and stepped by hand on
// a manual clock. Mixed frames land in an encode buffer whose elements are
// exactly one mixer frame long, so each element is one mixed frame; no
// encoder drains it.
class MixerHarness {
 public:
  explicit MixerHarness(const std::vector<AudioStreamInfo>& streams, int32_t fps = 50)
      : timeline_(kDelayMs) {
    buffer_.InitBuffer(&pool_);
    AudioMixSetup setup = MixerSetup(streams, &pool_, &buffer_, fps, kChannels, kRate);
    setup.timeline = &timeline_;
    EXPECT_TRUE(mix_.AudioMixInit(&setup));
    buffer_.SetElementFrames(mix_.AudioFrameSize() / (2 * kChannels));
    Update(streams);
  }

  void Update(std::vector<AudioStreamInfo> streams) {
    AudioMixUpdateParam p{streams.data(), static_cast<int32_t>(streams.size()), kChannels, kRate,
                          16};
    mix_.UpdataAudioMix(&p);
  }

  // Pushes interleaved stereo `samples` stamped `stamp`, arriving at `ms`
  // after kStart.
  bool Push(const char* id, const std::vector<int16_t>& samples, uint64_t stamp, uint32_t ms,
            int32_t bits = 16) {
    PoolBuffer* block = PcmBlock(pool_, samples, stamp, kStart + ms);
    return mix_.AudioMixPushdata(
        MixFrame(AdoptPoolBuffer(block, &pool_), id, kChannels, kRate, bits));
  }

  // Runs the mixing loop on the manual clock until `ms` after kStart.
  void RunUntil(uint32_t ms) {
    while (static_cast<int32_t>(now_ - (kStart + ms)) < 0) {
      const AudioMixCycle cycle = mix_.AudioMixStep(now_);
      const uint32_t sleep =
          cycle.wait == AudioMixCycle::kPoll ? AudioMix::kPollSleepMs : cycle.sleepMs;
      now_ += std::min(sleep, kStart + ms - now_);
    }
    mix_.AudioMixStep(now_);
  }

  struct Mixed {
    std::vector<int16_t> samples;
    uint64_t timestamp;
    uint32_t tick;
  };
  std::vector<Mixed> Take() {
    std::vector<Mixed> out;
    for (;;) {
      std::unique_ptr<AudioEncodeBufferData> r = buffer_.GetData(kChannels, kRate, 16);
      if (!r || r->state != AudioEncodeBufferData::kReady) return out;
      Mixed m{std::vector<int16_t>(static_cast<size_t>(r->buffer->len / 2)), r->buffer->timestamp,
              r->buffer->tick};
      std::memcpy(m.samples.data(), r->buffer->data, m.samples.size() * 2);
      out.push_back(std::move(m));
    }
  }

  MemoryPool pool_;
  MediaTimeline timeline_;
  AudioEncodeBuffer buffer_;
  AudioMix mix_;

 private:
  uint32_t now_ = kStart;
};

// `n` stereo samples whose left channel counts up from `first` (both
// channels the same).
std::vector<int16_t> Ramp(int n, int first) {
  std::vector<int16_t> s(static_cast<size_t>(n) * kChannels);
  for (int i = 0; i < n; ++i)
    s[static_cast<size_t>(i) * 2] = s[static_cast<size_t>(i) * 2 + 1] =
        static_cast<int16_t>((first + i) % 30000);
  return s;
}

std::vector<int16_t> Constant(int n, int16_t value) {
  return std::vector<int16_t>(static_cast<size_t>(n) * kChannels, value);
}

// --- Placement by timestamps ---------------------------------------------------

// Constant frames pushed on arrival (the loop runs up to each arrival
// first); the mixed frames' stamps, first samples and (where not 0) ticks.
struct Pushed {
  const char* id;
  int16_t value;
  int samples;
  uint64_t stamp;
  uint32_t ms;
};
struct Out {
  uint64_t stamp;
  int16_t first;
  uint32_t tick = 0;  // after kStart
};
struct SpanCase {
  const char* name;
  std::vector<Pushed> pushes;
  uint32_t until;
  std::vector<Out> expected;
  uint64_t late = 0, silent = 0;  // at least `silent` spans without input
};
class AudioSpanTest : public ::testing::TestWithParam<SpanCase> {};

TEST_P(AudioSpanTest, EachSpanMixesWhatTheListedStreamsDeliveredForIt) {
  const SpanCase& c = GetParam();
  MixerHarness h({S("a"), S("b"), S("c")});
  for (const Pushed& p : c.pushes) {
    h.RunUntil(p.ms);
    h.Push(p.id, Constant(p.samples, p.value), p.stamp, p.ms);
  }
  h.RunUntil(c.until);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), c.expected.size());
  for (size_t k = 0; k < mixed.size(); ++k) {
    EXPECT_EQ(mixed[k].timestamp, c.expected[k].stamp) << k;
    EXPECT_EQ(mixed[k].samples[0], c.expected[k].first) << k;
    EXPECT_EQ(mixed[k].samples[101], c.expected[k].first) << k;
    if (c.expected[k].tick != 0) {
      EXPECT_EQ(mixed[k].tick, kStart + c.expected[k].tick) << k;
    }
  }
  EXPECT_EQ(h.mix_.Counters().droppedLate.load(), c.late);
  EXPECT_GE(h.mix_.Counters().silentSpans.load(), c.silent);
}

INSTANTIATE_TEST_SUITE_P(
    Spans, AudioSpanTest,
    ::testing::Values(
        // a delivers 0-40 ms, b 20-40 ms, c 0-20 ms, in frames of any count;
        // a mixed frame carries the oldest arrival among its inputs.
        SpanCase{"WhatEachStreamDelivered",
                 {{"a", 100, 1920, 0, 40}, {"b", 7, 960, Ticks(960), 40}, {"c", -30, 960, 0, 40}},
                 100,
                 {{0, 70, 40}, {1800, 107, 40}}},
        SpanCase{"OldestArrivalTick",
                 {{"a", 1, 960, 0, 30}, {"b", 2, 960, 0, 20}, {"c", 4, 960, 0, 25}},
                 100,
                 {{0, 7, 20}}},
        // b's frame for 0-20 ms comes after that span was mixed: dropped and
        // counted; its frame for 20-60 ms still gives 40-60 ms.
        SpanCase{"LateFramesAreDropped",
                 {{"a", 1, 960, 0, 20},
                  {"b", 2, 960, 0, 20},
                  {"a", 10, 1920, Ticks(960), 60},
                  {"b", 3, 960, 0, 100},
                  {"b", 4, 1920, Ticks(960), 100}},
                 200,
                 {{0, 3}, {1800, 10}, {3600, 14}},
                 1},
        // Spans nobody delivered for produce nothing.
        SpanCase{"SilenceProducesNothing",
                 {{"a", 5, 960, 0, 20}, {"a", 6, 960, Ticks(960 * 15), 300}},
                 400,
                 {{0, 5}, {15 * 1800, 6}},
                 0,
                 13},
        // A stream no layout lists is taken but never mixed.
        SpanCase{"OnlyListedStreams",
                 {{"stranger", 5000, 960, 0, 20}, {"a", 300, 960, 0, 20}},
                 100,
                 {{0, 300}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioMixPlacementTest, JitteredStampsStillJoinButARealGapIsSilence) {
  MixerHarness h({S("a")});
  // Each stamp is off by up to 2 ms, within the joining tolerance.
  const int jitter_ms[] = {0, 2, -1, 1, -2, 0, 1, -2};
  for (int k = 0; k < 8; ++k) {
    const int64_t stamp = k * 1800 + jitter_ms[k] * 90;
    h.Push("a", Ramp(960, k * 960), static_cast<uint64_t>(stamp + 90000),
           static_cast<uint32_t>((k + 1) * 20));
  }
  // Then 10 ms of nothing and two more frames.
  h.Push("a", Ramp(960, 20000), 90000 + 8 * 1800 + 900, 190);
  h.Push("a", Ramp(960, 20960), 90000 + 9 * 1800 + 900, 210);
  h.RunUntil(400);
  std::vector<int16_t> left;  // one channel, frame after frame
  for (const auto& m : h.Take()) {
    for (size_t i = 0; i < m.samples.size(); i += kChannels) left.push_back(m.samples[i]);
  }
  ASSERT_GE(left.size(), 10u * 960);
  for (int i = 0; i < 8 * 960; ++i) ASSERT_EQ(left[static_cast<size_t>(i)], i) << "sample " << i;
  for (int i = 8 * 960; i < 8 * 960 + 480; ++i)
    ASSERT_EQ(left[static_cast<size_t>(i)], 0) << "sample " << i;
  EXPECT_EQ(left[8 * 960 + 480], 20000);
}

TEST(AudioMixPlacementTest, AMixerHeldUpForLongSkipsToThePresent) {
  MixerHarness h({S("a")});
  h.Push("a", Constant(960, 1), 0, 20);
  h.RunUntil(100);
  h.Take();
  // Five seconds without a cycle: the missed spans are given up.
  h.mix_.AudioMixStep(kStart + 5000);
  EXPECT_GT(h.mix_.NextStamp(), 4u * 90000);
  h.Push("a", Constant(960, 9), Ticks(static_cast<uint64_t>(kRate) * 5), 5020);
  h.RunUntil(5200);
  const auto mixed = h.Take();
  ASSERT_FALSE(mixed.empty());
  EXPECT_EQ(mixed.back().samples[0], 9);
}

// --- The stream table -----------------------------------------------------------

TEST(AudioStreamTableTest, AnUpdateRemovesUnlistedStreamsAndDropsTheirLateFrames) {
  MixerHarness h({S("one"), S("two")});
  ASSERT_TRUE(h.Push("one", Constant(2, 1), 10, 0));
  h.Update({S("two"), S("three")});
  EXPECT_FALSE(h.mix_.Slot(0).streamId.has_value());
  EXPECT_EQ(h.mix_.Slot(0).queued, -1) << "the queue went with its frames";
  EXPECT_EQ(h.mix_.Slot(2).streamId, "three");  // first slot free while the list was handled
  EXPECT_TRUE(h.mix_.Slot(2).isWork);
  EXPECT_EQ(h.mix_.OldStreams()[0].streamId, "one");

  // A late frame of "one" is dropped, a sixth stream's refused: both blocks
  // go back to the pool.
  auto push = [&](const char* id) {
    PoolBuffer* block = PcmBlock(h.pool_, {1}, 30);
    const int32_t capacity = block->capacity;
    const int idle = h.pool_.IdleCount(capacity);
    const bool taken = h.mix_.AudioMixPushdata(MixFrame(AdoptPoolBuffer(block, &h.pool_), id));
    EXPECT_EQ(h.pool_.IdleCount(capacity), idle + 1) << id;
    return taken;
  };
  EXPECT_TRUE(push("one"));
  EXPECT_FALSE(h.mix_.Slot(0).streamId.has_value());
  h.Update({S("a"), S("b"), S("c"), S("d"), S("e")});
  EXPECT_FALSE(push("f"));
}

// The queue: position order, 20 frames at most, the one furthest ahead
// destroyed; spans are read across frame boundaries, and the frames read
// to their end go back to the pool.
TEST(AudioInputQueueTest, KeepsPositionOrderAndDropsTheFurthestAheadBeyondTwenty) {
  MemoryPool pool;
  ManageInUseBuffer_ForAudioMix queue;
  // One-channel frames of two samples, both holding `tag`.
  auto push = [&](int64_t position, int16_t tag) {
    return queue.pushdata(AdoptPoolBuffer(PcmBlock(pool, {tag, tag}, 0), &pool), position, 2);
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
  EXPECT_EQ(span, (std::vector<int16_t>{-1, 0, 0, 1, 1, 2, 2, 3}));
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
