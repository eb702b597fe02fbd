#include "tarvane/Mp4Timeline.h"

#include <gtest/gtest.h>

namespace plenova {
namespace {

// Millisecond stamps far from zero, as a recording's first key frame has.
constexpr uint64_t kStart = 4'000'000'000ull;

double FrameMs(int rate) { return 1024.0 * 1000.0 / rate; }

class AudioTimelineTest : public ::testing::TestWithParam<int> {};

TEST_P(AudioTimelineTest, RoundedStampsLieOnTheFrameGrid) {
  const int rate = GetParam();
  Mp4Timeline timeline(rate);
  EXPECT_EQ(timeline.PlaceVideo(kStart), 0);
  for (int n = 0; n < 2000; ++n) {
    // The engine's stamps are exact; the millisecond stamp rounds them down.
    const auto stamp = static_cast<uint64_t>(kStart + 7 + n * FrameMs(rate));
    ASSERT_EQ(timeline.PlaceAudio(stamp), int64_t{7} * rate / 1000 + int64_t{n} * 1024) << "frame " << n;
  }
  EXPECT_EQ(timeline.audio_gaps(), 0);
}

TEST_P(AudioTimelineTest, AGapInTheStampsStaysAGap) {
  const int rate = GetParam();
  Mp4Timeline timeline(rate);
  for (int n = 0; n < 10; ++n) timeline.PlaceAudio(kStart + static_cast<uint64_t>(n * FrameMs(rate)));
  // Two seconds of nothing, then frames again: the audio resumes where its
  // stamps say, on the frame grid.
  const uint64_t resume = kStart + static_cast<uint64_t>(10 * FrameMs(rate)) + 2000;
  const int64_t after_gap = timeline.PlaceAudio(resume);
  EXPECT_EQ(after_gap % 1024, 0);
  EXPECT_NEAR(static_cast<double>(after_gap) / rate * 1000.0, 10 * FrameMs(rate) + 2000, FrameMs(rate));
  EXPECT_EQ(timeline.PlaceAudio(resume + static_cast<uint64_t>(FrameMs(rate)) + 1), after_gap + 1024);
  EXPECT_EQ(timeline.audio_gaps(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioTimelineTest, ::testing::Values(8000, 16000, 44100, 48000));

TEST(Mp4Timeline, VideoLiesOnItsStampsAndIsStrictlyIncreasing) {
  Mp4Timeline timeline(48000);
  const uint64_t stamps[] = {0, 40, 40, 80, 60, 120, 120, 120, 160, 10};
  int64_t last = -1;
  for (uint64_t stamp : stamps) {
    const int64_t position = timeline.PlaceVideo(kStart + stamp);
    EXPECT_GT(position, last) << "stamp " << stamp;
    last = position;
  }
  EXPECT_EQ(timeline.PlaceVideo(kStart + 400), 400 * 90);
  EXPECT_EQ(timeline.PlaceVideo(kStart + 440), 440 * 90);
}

TEST(Mp4Timeline, AudioNeverOverlapsItsPreviousFrame) {
  Mp4Timeline timeline(48000);
  EXPECT_EQ(timeline.PlaceAudio(kStart), 0);
  // A stamp that repeats or goes back still moves the track on by a frame.
  EXPECT_EQ(timeline.PlaceAudio(kStart), 1024);
  EXPECT_EQ(timeline.PlaceAudio(kStart + 10), 2048);
}

}  // namespace
}  // namespace plenova
