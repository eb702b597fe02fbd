#include "audio/AudioMix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/LatencyStats.h"
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

// A mixer on a real timeline, fed by the test thread and stepped by hand on
// a manual clock. Mixed frames land in an encode buffer whose elements are
// exactly one mixer frame long, so each element is one mixed frame; no
// encoder drains it.
class MixerHarness {
 public:
  explicit MixerHarness(std::vector<std::string> ids, int32_t fps = 50)
      : timeline_(kDelayMs), ids_(std::move(ids)) {
    for (const std::string& id : ids_)
      infos_.push_back(AudioStreamInfo{kChannels, 16, kRate, id.c_str()});
    buffer_.InitBuffer(&pool_);
    AudioMixSetup setup = MixerSetup(infos_, &pool_, &buffer_, fps, kChannels, kRate);
    setup.timeline = &timeline_;
    EXPECT_TRUE(mix_.AudioMixInit(&setup));
    buffer_.SetElementFrames(mix_.AudioFrameSize() / (2 * kChannels));
    Update(ids_);
  }

  void Update(const std::vector<std::string>& ids, int32_t target_bits = 16) {
    std::vector<AudioStreamInfo> infos;
    for (const std::string& id : ids)
      infos.push_back(AudioStreamInfo{kChannels, 16, kRate, id.c_str()});
    AudioMixUpdateParam p{infos.data(), static_cast<int32_t>(infos.size()), kChannels, kRate,
                          target_bits};
    mix_.UpdataAudioMix(&p);
  }

  // Pushes interleaved stereo `samples` stamped `stamp`, arriving at `ms`
  // after kStart.
  bool Push(const std::string& id, const std::vector<int16_t>& samples, uint64_t stamp,
            uint32_t ms) {
    const AudioMixFrame f =
        MixFrame(PcmBlock(pool_, samples, stamp, kStart + ms), id.c_str(), kChannels, kRate);
    return mix_.AudioMixPushdata(&f);
  }

  // Runs the mixing loop on the manual clock until `ms` after kStart.
  void RunUntil(uint32_t ms) {
    while (static_cast<int32_t>(now_ - (kStart + ms)) < 0) {
      const AudioMixCycle cycle = mix_.AudioMixStep(now_);
      const uint32_t sleep =
          cycle.wait == AudioMixCycle::kPoll ? AudioMix::kPollSleepMs : cycle.sleepMs;
      now_ += std::min(sleep == 0 ? 0u : sleep, kStart + ms - now_);
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
      pool_.PutEmptyBuffer(r->buffer);
    }
  }
  // The mixed samples of one channel, frame after frame.
  std::vector<int16_t> Left() {
    std::vector<int16_t> left;
    for (const Mixed& m : Take()) {
      for (size_t i = 0; i < m.samples.size(); i += kChannels) left.push_back(m.samples[i]);
    }
    return left;
  }

  MemoryPool pool_;
  MediaTimeline timeline_;
  AudioEncodeBuffer buffer_;
  AudioMix mix_;

 private:
  std::vector<std::string> ids_;
  std::vector<AudioStreamInfo> infos_;
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

// Frames of any length, stamped by their sample count and arriving as they
// are captured, come out as one continuous signal on the mixer's 20 ms grid.
class AudioFrameLengthTest : public ::testing::TestWithParam<int> {};

TEST_P(AudioFrameLengthTest, FramesOfAnyLengthAreCutAndJoinedByTimestamp) {
  const int n = GetParam();  // samples per pushed frame
  MixerHarness h({"a"});
  const uint64_t origin = 7'000'000'000ull;  // beyond 32 bits
  const int total = kRate;                   // one second
  int pushed = 0;
  for (; pushed < total; pushed += n) {
    const uint32_t arrival = static_cast<uint32_t>((pushed + n) * 1000 / kRate);  // when captured
    h.RunUntil(arrival);
    h.Push("a", Ramp(n, pushed), origin + Ticks(static_cast<uint64_t>(pushed)), arrival);
  }
  h.RunUntil(1000 + kDelayMs + 100);
  const std::vector<MixerHarness::Mixed> mixed = h.Take();
  ASSERT_GE(mixed.size(), 49u);
  for (size_t k = 0; k < mixed.size(); ++k) {
    ASSERT_EQ(mixed[k].timestamp, origin + k * 1800) << "frame " << k;
  }
  std::vector<int16_t> joined;
  for (const MixerHarness::Mixed& m : mixed) {
    for (size_t i = 0; i < m.samples.size(); i += kChannels) joined.push_back(m.samples[i]);
  }
  ASSERT_GE(joined.size(), static_cast<size_t>(total));
  for (size_t i = 0; i < static_cast<size_t>(pushed); ++i) {
    ASSERT_EQ(joined[i], static_cast<int16_t>(i % 30000)) << "sample " << i;
  }
  EXPECT_EQ(h.mix_.Counters().droppedLate.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, AudioFrameLengthTest,
                         ::testing::Values(480 /* 10 ms */, 960 /* 20 ms */, 1920 /* 40 ms */, 1024,
                                           441),
                         [](const auto& info) { return std::to_string(info.param) + "samples"; });

TEST(AudioMixPlacementTest, ATwoStreamMeetingMixesWhatEachDeliveredForTheSpan) {
  MixerHarness h({"a", "b"});
  // a delivers 0-40 ms, b only 20-40 ms: the first span is a alone, the
  // second the sum; neither stream's frame count matters.
  h.Push("a", Constant(1920, 100), 0, 40);
  h.Push("b", Constant(960, 7), Ticks(960), 40);
  h.RunUntil(40 + kDelayMs);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[0].samples[10], 100);
  EXPECT_EQ(mixed[1].samples[10], 107);
}

TEST(AudioMixPlacementTest, JitteredStampsStillJoinButARealGapIsSilence) {
  MixerHarness h({"a"});
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
  const std::vector<int16_t> left = h.Left();
  ASSERT_GE(left.size(), 10u * 960);
  for (int i = 0; i < 8 * 960; ++i) ASSERT_EQ(left[static_cast<size_t>(i)], i) << "sample " << i;
  for (int i = 8 * 960; i < 8 * 960 + 480; ++i)
    ASSERT_EQ(left[static_cast<size_t>(i)], 0) << "sample " << i;
  EXPECT_EQ(left[8 * 960 + 480], 20000);
}

TEST(AudioMixPlacementTest, FramesWhoseSpanWasMixedAreDroppedAndCounted) {
  MixerHarness h({"a", "b"});
  h.Push("a", Constant(960, 1), 0, 20);
  h.Push("b", Constant(960, 2), 0, 20);
  h.Push("a", Constant(1920, 10), Ticks(960), 60);
  h.RunUntil(20 + kDelayMs + 20);  // spans 0-20 and 20-40 ms are mixed
  // b's frame for 0-20 ms comes 80 ms late; its frame for 20-60 ms reaches
  // into a span still to come and is used for that part.
  EXPECT_TRUE(h.Push("b", Constant(960, 3), 0, 100));
  h.Push("b", Constant(1920, 4), Ticks(960), 100);
  h.RunUntil(200);
  const auto mixed = h.Take();
  ASSERT_GE(mixed.size(), 3u);
  EXPECT_EQ(mixed[0].samples[0], 3);   // 1 + 2
  EXPECT_EQ(mixed[1].samples[0], 10);  // a alone: b's part came too late
  EXPECT_EQ(mixed[2].samples[0], 14);  // both
  EXPECT_EQ(h.mix_.Counters().droppedLate.load(), 1u);
}

TEST(AudioMixPlacementTest, SpansNoStreamDeliveredProduceNothing) {
  MixerHarness h({"a"});
  h.Push("a", Constant(960, 5), 0, 20);
  h.RunUntil(300);
  h.Push("a", Constant(960, 6), Ticks(960 * 15), 300);
  h.RunUntil(400);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[0].timestamp, 0u);
  EXPECT_EQ(mixed[1].timestamp, 15u * 1800);
  EXPECT_GE(h.mix_.Counters().silentSpans.load(), 13u);
}

TEST(AudioMixPlacementTest, NothingIsMixedBeforeTheTargetDelayHasPassed) {
  MixerHarness h({"a"});
  EXPECT_EQ(h.mix_.AudioMixStep(kStart).wait, AudioMixCycle::kPoll);  // nothing anchored
  h.Push("a", Constant(960, 1), 0, 20);
  h.Push("a", Constant(960, 1), Ticks(960), 20);
  // The first span [0, 20 ms) ends when the frame arrived: it is due the
  // target delay later.
  const AudioMixCycle first = h.mix_.AudioMixStep(kStart + 20);
  EXPECT_EQ(first.wait, AudioMixCycle::kPace);
  EXPECT_EQ(first.sleepMs, kDelayMs);
  EXPECT_EQ(h.buffer_.ElementCount(), 0);
  h.mix_.AudioMixStep(kStart + 20 + kDelayMs);
  EXPECT_EQ(h.Take().size(), 1u);
}

TEST(AudioMixPlacementTest, MixedFrameCarriesTheOldestArrivalTick) {
  MixerHarness h({"a", "b", "c"});
  h.Push("a", Constant(960, 0), 0, 30);
  h.Push("b", Constant(960, 0), 0, 20);
  h.Push("c", Constant(960, 0), 0, 25);
  h.RunUntil(100);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 1u);
  EXPECT_EQ(mixed[0].tick, kStart + 20);
}

TEST(AudioMixPlacementTest, OnlyListedStreamsAreMixed) {
  MixerHarness h({"a", "b"});
  h.Push("stranger", Constant(960, 5000), 0, 20);  // not listed: taken, never mixed
  h.Push("a", Constant(960, 300), 0, 20);
  h.RunUntil(100);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 1u);
  EXPECT_EQ(mixed[0].samples[100], 300);
  const AudioMix::SlotView stranger = h.mix_.Slot(2);
  EXPECT_EQ(stranger.streamId, "stranger");
  EXPECT_TRUE(stranger.streamExist);
  EXPECT_FALSE(stranger.isWork);
}

TEST(AudioMixPlacementTest, OtherSampleSizesAreNotMixed) {
  MixerHarness h({"a"});
  h.Update({"a"}, 8);
  h.Push("a", Constant(960, 5), 0, 20);
  h.RunUntil(100);
  EXPECT_EQ(h.buffer_.ElementCount(), 0);
}

TEST(AudioMixPlacementTest, AMixerHeldUpForLongSkipsToThePresent) {
  MixerHarness h({"a"});
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

// Stamps of the mixed frames at other mixer rates: frame k after the origin
// carries origin + ceil(k x samples per frame x 90000 / rate).
struct StampCase {
  int32_t fps;
  std::vector<uint64_t> offsets;  // of frames 1, 2, 3
};
class AudioMixStampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(AudioMixStampTest, StampsFollowTheSampleCount) {
  const StampCase c = GetParam();
  MixerHarness h({"a"}, c.fps);
  const uint64_t origin = 5'000'000'000ull;
  const int n = h.mix_.AudioFrameSize() / 4;
  for (int k = 0; k < 4; ++k)
    h.Push("a", Constant(n, static_cast<int16_t>(k)), origin + Ticks(static_cast<uint64_t>(k * n)),
           0);
  h.RunUntil(4000);
  const auto mixed = h.Take();
  ASSERT_GE(mixed.size(), 4u);
  EXPECT_EQ(mixed[0].timestamp, origin);
  for (size_t k = 1; k < 4; ++k) {
    EXPECT_EQ(mixed[k].timestamp, origin + c.offsets[k - 1]) << "frame " << k;
    EXPECT_EQ(mixed[k].samples[0], static_cast<int16_t>(k));
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioMixStampTest,
                         ::testing::Values(StampCase{50, {1800, 3600, 5400}},
                                           StampCase{30, {3000, 6000, 9000}},
                                           StampCase{25, {3600, 7200, 10800}},
                                           // 6857 samples a frame at 48 kHz
                                           StampCase{7, {12857, 25714, 38571}}),
                         [](const auto& info) { return std::to_string(info.param.fps) + "fps"; });

}  // namespace
}  // namespace plenova::testing
