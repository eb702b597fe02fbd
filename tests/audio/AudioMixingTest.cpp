#include "audio/AudioMixing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace plenova::testing {
namespace {

using Pcm = std::vector<int16_t>;

// Mixes `inputs` into a frame of `samples` (each input at least that long).
Pcm Mix(const std::vector<Pcm>& inputs, size_t samples, int* lowered = nullptr) {
  std::vector<std::span<const int16_t>> spans(inputs.begin(), inputs.end());
  Pcm out(samples, 12345);  // every sample must be written
  const int n = MixPcm16Frame(spans, out);
  if (lowered != nullptr) *lowered = n;
  return out;
}

// Random PCM in [-limit, limit].
Pcm Random(std::mt19937& random, size_t n, int limit) {
  std::uniform_int_distribution<int> d(-limit, limit);
  Pcm pcm(n);
  for (int16_t& s : pcm) s = static_cast<int16_t>(d(random));
  return pcm;
}

// Streams x samples per frame: 10 ms mono at 16 kHz, 10 ms at 44.1 kHz,
// 20 ms mono and stereo at 48 kHz, and odd sizes.
struct MixCase {
  int streams;
  size_t samples;
};
class MixPcm16FrameTest : public ::testing::TestWithParam<MixCase> {};

TEST_P(MixPcm16FrameTest, SilenceOneStreamAndSumsWithinRangeAreExact) {
  const MixCase c = GetParam();
  std::mt19937 random(static_cast<unsigned>(c.streams * 7919 + c.samples));
  int lowered = -1;
  EXPECT_EQ(Mix({}, c.samples, &lowered), Pcm(c.samples, 0)) << "no stream is silence";
  EXPECT_EQ(lowered, 0);

  // One stream passes unchanged, full scale included.
  Pcm one = Random(random, c.samples + 3, 32768);
  one[0] = 32767;
  one[c.samples - 1] = -32768;
  EXPECT_EQ(Mix({one}, c.samples, &lowered), Pcm(one.begin(), one.begin() + c.samples));
  EXPECT_EQ(lowered, 0);

  // Streams whose sum stays in range add up exactly; a silent stream (one
  // that delivered nothing for the span) changes nothing.
  std::vector<Pcm> inputs;
  for (int s = 0; s < c.streams; ++s)
    inputs.push_back(Random(random, c.samples, 32767 / c.streams));
  Pcm sum(c.samples);
  for (size_t i = 0; i < c.samples; ++i) {
    int total = 0;
    for (const Pcm& in : inputs) total += in[i];
    sum[i] = static_cast<int16_t>(total);
  }
  EXPECT_EQ(Mix(inputs, c.samples, &lowered), sum);
  EXPECT_EQ(lowered, 0);
  inputs.push_back(Pcm(c.samples, 0));
  EXPECT_EQ(Mix(inputs, c.samples), sum);
}

TEST_P(MixPcm16FrameTest, OverloadClipsAtBothEndsAndTheGainOnlyEverScalesDown) {
  const MixCase c = GetParam();
  std::mt19937 random(static_cast<unsigned>(c.streams * 104729 + c.samples));
  // Full-scale streams: every sum may overload either way.
  std::vector<Pcm> inputs;
  for (int s = 0; s < c.streams; ++s) inputs.push_back(Random(random, c.samples, 32767));
  int lowered = 0;
  const Pcm out = Mix(inputs, c.samples, &lowered);
  int at_limit = 0;
  for (size_t i = 0; i < c.samples; ++i) {
    int sum = 0;
    for (const Pcm& in : inputs) sum += in[i];
    // Same sign as the sum, never louder than it, never beyond 16 bits.
    EXPECT_LE(std::abs(out[i]), std::abs(sum)) << i;
    EXPECT_GE(out[i] * static_cast<long>(sum), 0) << i;
    at_limit += out[i] == 32767 || out[i] == -32768;
  }
  EXPECT_LE(lowered, at_limit);

  // A sum beyond either end on every sample: each one clips to that end
  // exactly, and each lowers the gain.
  for (const int16_t level : {int16_t{20000}, int16_t{-20000}}) {
    const Pcm loud = Mix(std::vector<Pcm>(2, Pcm(c.samples, level)), c.samples, &lowered);
    EXPECT_EQ(loud, Pcm(c.samples, level > 0 ? 32767 : -32768));
    EXPECT_EQ(lowered, static_cast<int>(c.samples));
  }
}

INSTANTIATE_TEST_SUITE_P(Frames, MixPcm16FrameTest,
                         ::testing::Values(MixCase{2, 1}, MixCase{2, 160}, MixCase{3, 441},
                                           MixCase{5, 960}, MixCase{2, 1920}, MixCase{4, 1920},
                                           MixCase{5, 3840}, MixCase{3, 6857}),
                         [](const auto& info) {
                           return std::to_string(info.param.streams) + "streams" +
                                  std::to_string(info.param.samples);
                         });

// After an overload the gain recovers by 1/32 of its distance to 1 per
// sample, and each frame starts again at 1.
TEST(MixPcm16FrameGainTest, RecoversByOneThirtySecondPerSampleAndEachFrameStartsAtOne) {
  // 30000 + 10000 clips to 32767: gain 32767/40000, then one recovery step;
  // the following 20000s are scaled by the recovering gain.
  EXPECT_EQ(Mix({{30000, 10000, 10000, 0}, {10000, 10000, 10000, 0}}, 4),
            (Pcm{32767, 16496, 16605, 0}));
  // -20000 twice: -32768 and gain 0.8192, 0.82485 after the same sample's
  // step; 1000 + 1000 then gives 1649.
  EXPECT_EQ(Mix({{-20000, 1000}, {-20000, 1000}}, 2), (Pcm{-32768, 1649}));

  // Constant sums after one overload come back to full level, never
  // overshooting, within a few hundred samples.
  Pcm a(400, 10000), b(400, 10000);
  a[0] = 32767;
  const Pcm out = Mix({a, b}, 400);
  for (size_t i = 2; i < out.size(); ++i) ASSERT_GE(out[i], out[i - 1]) << i;
  EXPECT_LE(out.back(), 20000);
  EXPECT_GE(out.back(), 19999);
  // The next frame is not scaled by what the last one did.
  EXPECT_EQ(Mix({Pcm(4, 10000), Pcm(4, 10000)}, 4), Pcm(4, 20000));
}

}  // namespace
}  // namespace plenova::testing
