#include "audio/AudioMix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/LatencyStats.h"
#include "tests/audio/AudioFakes.h"
#include "tests/support/LogCapture.h"

namespace plenova::testing {
namespace {

constexpr uint32_t kStart = 0x7000'0000u;  // timer value of the first cycle

// A mixer fed by the test thread and stepped by hand. Mixed frames land in
// an encode buffer whose elements are exactly one mixer frame long, so each
// element is one mixed frame; no encoder drains it.
class MixerHarness {
 public:
  explicit MixerHarness(std::vector<std::string> ids, int32_t fps = 50, int32_t channels = 2,
                        int32_t rate = 48000)
      : ids_(std::move(ids)), channels_(channels), rate_(rate) {
    for (const std::string& id : ids_) infos_.push_back(AudioStreamInfo{channels, 16, rate, id.c_str()});
    buffer_.InitBuffer(&pool_);
    const AudioMixSetup setup = MixerSetup(infos_, &pool_, &buffer_, fps, channels, rate);
    EXPECT_TRUE(mix_.AudioMixInit(&setup));
    buffer_.SetElementFrames(mix_.AudioFrameSize() / (2 * channels));
    Update(ids_);
  }

  void Update(const std::vector<std::string>& ids, int32_t target_bits = 16) {
    std::vector<AudioStreamInfo> infos;
    for (const std::string& id : ids) infos.push_back(AudioStreamInfo{channels_, 16, rate_, id.c_str()});
    AudioMixUpdateParam p{infos.data(), static_cast<int32_t>(infos.size()), channels_, rate_, target_bits};
    mix_.UpdataAudioMix(&p);
  }

  bool Push(const std::string& id, const std::vector<int16_t>& samples, uint64_t stamp, uint32_t tick = 0) {
    const AudioMixFrame f = MixFrame(PcmBlock(pool_, samples, stamp, tick), id.c_str(), channels_, rate_);
    return mix_.AudioMixPushdata(&f);
  }

  // Anchors the timeline (the first pass), then runs `cycles` mixing passes.
  void Run(int cycles) {
    if (!anchored_) {
      ASSERT_EQ(mix_.AudioMixStep(kStart).wait, AudioMixCycle::kPace);
      anchored_ = true;
    }
    for (int i = 0; i < cycles; ++i) mix_.AudioMixStep(kStart);
  }

  // Mixed frames handed out so far, as samples with their stamps (the last
  // one stays in the buffer until another follows it).
  struct Mixed {
    std::vector<int16_t> samples;
    uint64_t timestamp;
    uint32_t tick;
  };
  std::vector<Mixed> Take() {
    std::vector<Mixed> out;
    for (;;) {
      std::unique_ptr<AudioEncodeBufferData> r = buffer_.GetData(channels_, rate_, 16);
      if (!r || r->state != AudioEncodeBufferData::kReady) return out;
      Mixed m{std::vector<int16_t>(static_cast<size_t>(r->buffer->len / 2)), r->buffer->timestamp,
              r->buffer->tick};
      std::memcpy(m.samples.data(), r->buffer->data, m.samples.size() * 2);
      out.push_back(std::move(m));
      pool_.PutEmptyBuffer(r->buffer);
    }
  }

  int FrameSamples() { return mix_.AudioFrameSize() / 2; }

  MemoryPool pool_;
  AudioEncodeBuffer buffer_;
  AudioMix mix_;

 private:
  std::vector<std::string> ids_;
  std::vector<AudioStreamInfo> infos_;
  int32_t channels_, rate_;
  bool anchored_ = false;
};

// A frame of `n` samples, `head` first and `fill` after.
std::vector<int16_t> Frame(int n, std::vector<int16_t> head, int16_t fill = 0) {
  head.resize(static_cast<size_t>(n), fill);
  return head;
}

// Mixes one frame per stream (stamped 1000) and a second cycle after it, and
// returns the first mixed frame.
std::vector<int16_t> MixOnce(const std::vector<std::vector<int16_t>>& inputs) {
  std::vector<std::string> ids;
  for (size_t i = 0; i < inputs.size(); ++i) ids.push_back("s" + std::to_string(i));
  MixerHarness h(ids);
  for (size_t i = 0; i < inputs.size(); ++i) {
    h.Push(ids[i], inputs[i], 1000);
    h.Push(ids[i], Frame(h.FrameSamples(), {}), 2000);
  }
  h.Run(2);
  std::vector<MixerHarness::Mixed> mixed = h.Take();
  return mixed.empty() ? std::vector<int16_t>{} : mixed[0].samples;
}

TEST(AudioMixFunctionTest, OneStreamPassesByteForByte) {
  std::vector<int16_t> in(1920);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(i * 37 - 30000);
  in[5] = 32767;
  in[6] = -32768;
  EXPECT_EQ(MixOnce({in}), in);
}

// Each mixed frame carries the oldest arrival tick of the frames it consumed;
// a stream with an unknown tick does not hide the others.
TEST(AudioMixFunctionTest, MixedFrameCarriesTheOldestArrivalTick) {
  MixerHarness h({"a", "b", "c"});
  const int n = h.FrameSamples();
  const uint32_t late = 0xFFFFFFF0u;  // the ticks straddle the timer's wrap
  h.Push("a", Frame(n, {}), 1000, late + 30);
  h.Push("b", Frame(n, {}), 1000, late);
  h.Push("c", Frame(n, {}), 1000, kUnknownTick);
  h.Push("a", Frame(n, {}), 2000, 44);
  h.Push("c", Frame(n, {}), 2000, kUnknownTick);
  h.Push("a", Frame(n, {}), 3000, 90);
  h.Run(3);
  const std::vector<MixerHarness::Mixed> mixed = h.Take();
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[0].tick, late);
  EXPECT_EQ(mixed[1].tick, 44u);
}

TEST(AudioMixFunctionTest, OverloadClipsAndTheGainRecoversByOneThirtySecond) {
  // 30000 + 10000: clipped to 32767, gain 32767/40000 then one recovery
  // step; the next samples (10000 + 10000) are scaled by the recovering gain.
  const std::vector<int16_t> out =
      MixOnce({Frame(1920, {30000, 10000, 10000}), Frame(1920, {10000, 10000, 10000})});
  ASSERT_EQ(out.size(), 1920u);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], 16496);  // 20000 x 0.8248258
  EXPECT_EQ(out[2], 16605);  // 20000 x 0.8302999
  EXPECT_EQ(out[3], 0);
}

TEST(AudioMixFunctionTest, NegativeOverloadClipsAndRecovers) {
  // -20000 twice: -32768 and gain 0.8192, 0.82485 after the same sample's
  // recovery step; 1000 + 1000 then gives 1649.
  const std::vector<int16_t> out = MixOnce({Frame(1920, {-20000, 1000}), Frame(1920, {-20000, 1000})});
  ASSERT_EQ(out.size(), 1920u);
  EXPECT_EQ(out[0], -32768);
  EXPECT_EQ(out[1], 1649);
}

TEST(AudioMixFunctionTest, ShortFrameCountsAsSilenceBeyondItsLength) {
  // The second stream's frame holds 4 samples; its block's storage beyond
  // them holds leftovers of an earlier, longer frame.
  MixerHarness h({"a", "b"});
  PoolBuffer* block = PcmBlock(h.pool_, Frame(1920, {}, 9999), 0);
  h.pool_.PutEmptyBuffer(block);
  h.Push("b", {1, 2, 3, 4}, 1000);
  h.Push("a", Frame(1920, {}, 10), 1000);
  h.Push("a", Frame(1920, {}), 2000);
  h.Run(2);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 1u);
  EXPECT_EQ(mixed[0].samples[3], 14);
  EXPECT_EQ(mixed[0].samples[4], 10);
  EXPECT_EQ(mixed[0].samples[1919], 10);
}

TEST(AudioMixFunctionTest, OneStreamFrameLongerThanTheMixerBufferIsCut) {
  // Three mixer frames in one push: the mixer's buffer holds two.
  MixerHarness h({"a"});
  std::vector<int16_t> in(1920 * 3);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(i % 1000);
  h.Push("a", in, 1000);
  h.Push("a", Frame(1920, {}), 2000);
  h.Run(2);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 2u);  // the two kept frames of the first cycle
  EXPECT_EQ(mixed[1].samples.back(), static_cast<int16_t>((1920 * 2 - 1) % 1000));
  EXPECT_EQ(mixed[1].timestamp, mixed[0].timestamp + 1800);
}

TEST(AudioMixFunctionTest, OnlyStreamsWithFramesAreMixedAndUnlistedStreamsWait) {
  MixerHarness h({"a", "b"});
  h.Push("stranger", Frame(1920, {}, 5000), 1000);  // never listed: queued, not mixed
  h.Push("a", Frame(1920, {}, 300), 1000);
  h.Run(1);
  h.Push("b", Frame(1920, {}, 1), 2000);
  h.Run(1);
  h.Push("a", Frame(1920, {}), 3000);
  h.Run(1);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[0].samples[100], 300);  // a alone
  EXPECT_EQ(mixed[1].samples[100], 1);    // b alone
  const AudioMix::SlotView stranger = h.mix_.Slot(2);
  EXPECT_EQ(stranger.streamId, "stranger");
  EXPECT_EQ(stranger.queued, 1);
  EXPECT_TRUE(stranger.streamExist);
  EXPECT_FALSE(stranger.isWork);
}

TEST(AudioMixFunctionTest, OtherSampleSizesAreNotMixed) {
  LogCapture log;
  MixerHarness h({"a"});
  h.Update({"a"}, 8);
  h.Push("a", Frame(1920, {}, 5), 1000);
  h.Run(1);
  EXPECT_TRUE(log.Contains("no deal"));
  EXPECT_EQ(h.buffer_.ElementCount(), 0);
}

// Stamps: frame k after the origin carries origin + ceil(k x 90000 / fps).
struct StampCase {
  int32_t fps;
  std::vector<uint64_t> offsets;  // of frames 1, 2, 3
  std::vector<uint32_t> due;      // timer offsets of cycles 1, 2, 3
};

class AudioMixStampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(AudioMixStampTest, TimelineAndPacingFollowFrameCounts) {
  const StampCase c = GetParam();
  MixerHarness h({"a"}, c.fps);
  const uint64_t origin = 5'000'000'000ull;  // beyond 32 bits
  for (int k = 0; k < 4; ++k) h.Push("a", Frame(h.FrameSamples(), {static_cast<int16_t>(k)}), origin + k);

  const AudioMixCycle anchor = h.mix_.AudioMixStep(kStart);
  EXPECT_EQ(anchor.due, kStart + c.due[0]);
  EXPECT_EQ(h.mix_.NextStamp(), origin + c.offsets[0]);
  for (int k = 1; k < 3; ++k) {
    const AudioMixCycle cycle = h.mix_.AudioMixStep(kStart + 1);
    EXPECT_EQ(cycle.due, kStart + c.due[static_cast<size_t>(k)]);
    EXPECT_EQ(h.mix_.NextStamp(), origin + c.offsets[static_cast<size_t>(k)]);
  }
  h.mix_.AudioMixStep(kStart + 2);
  // The mixed frames carried the stamps of frames 1 and 2.
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[0].timestamp, origin + c.offsets[0]);
  EXPECT_EQ(mixed[1].timestamp, origin + c.offsets[1]);
  EXPECT_EQ(mixed[1].samples[0], 1);
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioMixStampTest,
                         ::testing::Values(StampCase{50, {1800, 3600, 5400}, {20, 40, 60}},
                                           StampCase{30, {3000, 6000, 9000}, {33, 66, 100}},
                                           StampCase{25, {3600, 7200, 10800}, {40, 80, 120}},
                                           StampCase{7, {12858, 25715, 38572}, {142, 285, 428}}),
                         [](const auto& info) { return std::to_string(info.param.fps) + "fps"; });

TEST(AudioMixTimelineTest, PeriodWithoutFramesProducesNothingButTheStampAdvances) {
  LogCapture log;
  MixerHarness h({"a"});
  h.Push("a", Frame(1920, {7}), 90000);
  h.Run(1);
  const int elements = h.buffer_.ElementCount();
  h.Run(2);  // nothing queued
  EXPECT_EQ(h.buffer_.ElementCount(), elements);
  EXPECT_TRUE(log.Contains("audio data is null"));
  EXPECT_EQ(h.mix_.NextStamp(), 90000u + 4 * 1800);
  h.Push("a", Frame(1920, {8}), 99000);
  h.Run(1);
  h.Push("a", Frame(1920, {9}), 99001);
  h.Run(1);
  const auto mixed = h.Take();
  ASSERT_EQ(mixed.size(), 2u);
  EXPECT_EQ(mixed[1].timestamp, 90000u + 4 * 1800);
  EXPECT_EQ(mixed[1].samples[0], 8);
}

TEST(AudioMixTimelineTest, PollsUntilAnActiveStreamHasAFrame) {
  MixerHarness h({"a"});
  EXPECT_EQ(h.mix_.AudioMixStep(kStart).wait, AudioMixCycle::kPoll);
  h.Push("stranger", Frame(1920, {}), 5);  // not mixed, so not an origin
  EXPECT_EQ(h.mix_.AudioMixStep(kStart).wait, AudioMixCycle::kPoll);
  h.Push("a", Frame(1920, {}), 7000);
  h.Push("a", Frame(1920, {}), 6000);
  EXPECT_EQ(h.mix_.AudioMixStep(kStart).wait, AudioMixCycle::kPace);
  EXPECT_EQ(h.mix_.NextStamp(), 6000u + 1800);
}

struct PaceCase {
  uint32_t due, now, sleep;
};
class AudioMixPacingTest : public ::testing::TestWithParam<PaceCase> {};

TEST_P(AudioMixPacingTest, SleepsUntilJustAfterTheDueTime) {
  const PaceCase c = GetParam();
  EXPECT_EQ(AudioMix::PacingSleepMs(c.due, c.now), c.sleep);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioMixPacingTest,
    ::testing::Values(PaceCase{kStart + 200, kStart, 205},           // early: wake 5 ms after due
                      PaceCase{kStart + 500, kStart, 505},           //
                      PaceCase{kStart + 501, kStart, 50},            // far ahead: a short nap
                      PaceCase{kStart + 600, kStart, 50},            //
                      PaceCase{kStart, kStart, 0},                   // due now
                      PaceCase{kStart, kStart + 30, 0},              // late: no sleep
                      PaceCase{10u, 0xFFFFFFF0u, 31u},               // across the timer's wrap
                      PaceCase{0xFFFFFFF0u, 10u, 0u}));              // late across the wrap

}  // namespace
}  // namespace plenova::testing
