#include "tarvane/Mp4Timeline.h"

#include <gtest/gtest.h>

#include <vector>

namespace plenova {
namespace {

// Millisecond times as the engine gives them: far from zero.
constexpr uint64_t kZero = 4'000'000'000ull;

// The engine's time of AAC frame n after the zero: whole milliseconds of
// the exact frame time.
uint64_t FrameMs(int rate, int n) { return kZero + uint64_t{1024} * 1000 * n / rate; }

int64_t Audio(Mp4Timeline& timeline, uint64_t ms) {
  int64_t position = -1;
  EXPECT_TRUE(timeline.PlaceAudio(ms, &position)) << "at " << ms - kZero << " ms";
  return position;
}

int64_t Video(Mp4Timeline& timeline, uint64_t ms) {
  int64_t position = -1;
  EXPECT_TRUE(timeline.PlaceVideo(ms, &position)) << "at " << ms - kZero << " ms";
  return position;
}

class AudioGridTest : public ::testing::TestWithParam<int> {};

TEST_P(AudioGridTest, JitterOfLessThanAFrameKeepsFramesBackToBack) {
  const int rate = GetParam();
  const int64_t frame_ms = 1024 * 1000 / rate;
  Mp4Timeline timeline(rate);
  timeline.SetZero(kZero);
  const int64_t jitter[] = {0, frame_ms * 2 / 3, -frame_ms / 2, frame_ms / 3, 0, -frame_ms * 2 / 3};
  const int64_t first = Audio(timeline, FrameMs(rate, 1));
  for (int n = 2; n < 600; ++n) {
    const int64_t ms = static_cast<int64_t>(FrameMs(rate, n)) + jitter[n % 6];
    ASSERT_EQ(Audio(timeline, static_cast<uint64_t>(ms)), first + int64_t{n - 1} * 1024) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioGridTest, ::testing::Values(8000, 16000, 44100, 48000, 96000));

// Pictures whose times come too close together (20 ms steps among the 40 ms
// ones) still last 40 ms each, and a real gap stays whole pictures.
TEST(Mp4Timeline, VideoStaysOnThe40MsGridWhateverItsSteps) {
  Mp4Timeline timeline(48000);
  timeline.SetZero(kZero);
  uint64_t ms = 0;
  for (int n = 0; n < 100; ++n, ms += n % 2 ? 20 : 40) {
    ASSERT_EQ(Video(timeline, kZero + ms), int64_t{n} * 3600) << "picture " << n;
  }
  // 100 pictures placed up to 3960 ms; the next arrives after a 2 s hole.
  EXPECT_EQ(Video(timeline, kZero + 6000 + 10), 6000 * 90);
  EXPECT_EQ(Video(timeline, kZero + 6030), 6040 * 90);
}

TEST(Mp4Timeline, EachTrackStrictlyIncreasesWhateverItsTimes) {
  Mp4Timeline timeline(48000);
  timeline.SetZero(kZero);
  int64_t last_video = -1, last_audio = -1;
  for (uint64_t ms : {0, 40, 40, 80, 60, 120, 120, 120, 160, 10}) {
    const int64_t video = Video(timeline, kZero + ms);
    EXPECT_GT(video, last_video) << ms;
    last_video = video;
    const int64_t audio = Audio(timeline, kZero + ms);
    EXPECT_GT(audio, last_audio) << ms;
    last_audio = audio;
  }
  // Back on time once the times move ahead again.
  EXPECT_EQ(Video(timeline, kZero + 400), 400 * 90);
}

}  // namespace
}  // namespace plenova
