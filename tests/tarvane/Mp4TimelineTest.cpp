#include "tarvane/Mp4Timeline.h"

#include <gtest/gtest.h>

#include <cmath>

namespace plenova {
namespace {

// Stamps as the engine's wall clock gives them: far from zero, with jitter.
constexpr uint64_t kStart = 4'000'000'000ull;

double FrameMs(int rate) { return 1024.0 * 1000.0 / rate; }

class AudioTimelineTest : public ::testing::TestWithParam<int> {};

TEST_P(AudioTimelineTest, JitteryStampsKeepTheTrackContinuous) {
  const int rate = GetParam();
  Mp4Timeline timeline(rate);
  const int jitter[] = {0, 9, -7, 25, -3, 40, -12, 5};
  for (int n = 0; n < 2000; ++n) {
    const auto stamp = static_cast<uint64_t>(kStart + n * FrameMs(rate) + 50 + jitter[n % 8]);
    ASSERT_EQ(timeline.PlaceAudio(stamp), int64_t{n} * 1024) << "frame " << n;
  }
  EXPECT_EQ(timeline.audio_gaps(), 0);
}

TEST_P(AudioTimelineTest, ARealGapMovesTheAudioOnOnce) {
  const int rate = GetParam();
  Mp4Timeline timeline(rate);
  for (int n = 0; n < 10; ++n) timeline.PlaceAudio(kStart + static_cast<uint64_t>(n * FrameMs(rate)));
  // Two seconds of nothing, then frames again.
  const uint64_t resume = kStart + static_cast<uint64_t>(10 * FrameMs(rate)) + 2000;
  const int64_t after_gap = timeline.PlaceAudio(resume);
  EXPECT_NEAR(static_cast<double>(after_gap) / rate * 1000.0, 10 * FrameMs(rate) + 2000, 1.0);
  EXPECT_EQ(timeline.PlaceAudio(resume + static_cast<uint64_t>(FrameMs(rate))), after_gap + 1024);
  EXPECT_EQ(timeline.audio_gaps(), 1);
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioTimelineTest, ::testing::Values(8000, 16000, 44100, 48000));

TEST(Mp4Timeline, VideoIsStrictlyIncreasingWhateverItsStamps) {
  Mp4Timeline timeline(48000);
  const uint64_t stamps[] = {0, 40, 40, 80, 60, 120, 120, 120, 160, 10};
  int64_t last = -1;
  for (uint64_t stamp : stamps) {
    const int64_t position = timeline.PlaceVideo(kStart + stamp);
    EXPECT_GT(position, last) << "stamp " << stamp;
    last = position;
  }
  // Back on the grid once stamps move ahead again.
  EXPECT_EQ(timeline.PlaceVideo(kStart + 400), 400 * 90);
}

TEST(Mp4Timeline, VideoFollowsTheAudioTimelineWhenTheAudioClockDrifts) {
  // Audio frames come 1 % slower than their nominal length: after 53 s the
  // frame count is 530 ms behind the wall clock, and video must follow it.
  Mp4Timeline timeline(48000);
  const double frame_ms = FrameMs(48000);
  int64_t video = 0;
  double audio_ms = 0;
  for (int n = 0; n < 2500; ++n) {  // about 53 s of audio
    const double wall = n * frame_ms * 1.01;
    audio_ms = timeline.PlaceAudio(kStart + static_cast<uint64_t>(wall)) * 1000.0 / 48000;
    if (n % 2 == 0) video = timeline.PlaceVideo(kStart + static_cast<uint64_t>(wall));
  }
  EXPECT_EQ(timeline.audio_gaps(), 1);  // the drift grew past the gap limit once
  EXPECT_NEAR(video / 90.0, audio_ms, 60.0);
}

TEST(Mp4Timeline, TheFirstSampleOfEitherKindIsTheOrigin) {
  Mp4Timeline timeline(16000);
  EXPECT_EQ(timeline.PlaceVideo(kStart + 1000), 0);
  // Audio stamped before the origin starts the track at zero.
  EXPECT_EQ(timeline.PlaceAudio(kStart + 990), 0);
  EXPECT_EQ(timeline.PlaceAudio(kStart + 1054), 1024);
  EXPECT_NEAR(timeline.PlaceVideo(kStart + 1040) / 90.0, 40.0, 11.0);
}

}  // namespace
}  // namespace plenova
