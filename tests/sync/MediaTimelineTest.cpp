#include "sync/MediaTimeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace plenova {
namespace {

// Machine time of the first frame: the 32-bit timer wraps a few seconds in.
constexpr uint32_t kStart = 0xFFFF'F000u;
constexpr uint64_t kOrigin = 9'000'000'000ull;  // media stamps far beyond 32 bits

TEST(MediaTimelineTest, TheFirstFrameAnchorsAndTimeIsDueAfterTheDelay) {
  MediaTimeline t(60);
  EXPECT_FALSE(t.Anchored());
  const int s = t.OpenStream("a");
  // 20 ms of audio stamped kOrigin, pushed once captured.
  const MediaTimeline::Placement p = t.Place(s, kOrigin, 1800, kStart);
  EXPECT_TRUE(t.Anchored());
  EXPECT_EQ(p.stamp, kOrigin);
  EXPECT_EQ(p.origin, kOrigin);
  EXPECT_EQ(t.Origin(), kOrigin);
  // Its end arrived on time at kStart: the span is due 60 ms later.
  EXPECT_EQ(t.MsUntil(kOrigin + 1800, kStart), 60u);
  EXPECT_EQ(t.MsUntil(kOrigin + 1800, kStart + 60), 0u);
  EXPECT_EQ(t.DueAt(kStart + 60), kOrigin + 1800);
  // Across the wrap of the timer.
  EXPECT_EQ(t.DueAt(kStart + 0x2000u), kOrigin + 1800 + (0x2000u - 60) * 90);
}

// A client whose media clock runs `rate` times as fast as the machine's,
// sending 20 ms frames of audio and 40 ms frames of video with up to
// `jitter` ms of random delay. Returns, for every frame after the first
// `settle` seconds, how far its end arrived ahead of the timeline's "now"
// (negative: later), in ms.
std::vector<double> Leads(double rate, int seconds, int jitter, int settle) {
  MediaTimeline t(60);
  const int audio = t.OpenStream("voice");
  const int video = t.OpenStream("camera");
  std::vector<double> leads;
  uint32_t seed = 12345;
  auto random = [&] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>((seed >> 16) % static_cast<uint32_t>(jitter + 1));
  };
  for (int n = 0; n < seconds * 50; ++n) {
    // Audio frame n covers [20n, 20n + 20) ms of media time and leaves the
    // client when captured; every other frame a video frame leaves too.
    const double media_end_ms = 20.0 * (n + 1);
    const auto tick = static_cast<uint32_t>(
        kStart + static_cast<int64_t>(std::llround(media_end_ms / rate)) + random());
    const uint64_t stamp = kOrigin + 1800ull * static_cast<uint64_t>(n);
    t.Place(audio, stamp, 1800, tick);
    if (n % 2 == 1) t.Place(video, stamp + 1800, 0, tick);
    if (n >= settle * 50) {
      const double due_end = static_cast<double>(t.DueAt(tick) - kOrigin) / 90.0 + 60.0;
      leads.push_back(media_end_ms - due_end);
    }
  }
  return leads;
}

struct DriftCase {
  const char* name;
  double rate;
};
class MediaClockDriftTest : public ::testing::TestWithParam<DriftCase> {};

// Ten minutes of a client clock 0.1 % fast or slow: the timeline follows,
// so a frame neither waits longer and longer (a growing queue) nor arrives
// later and later (starving the mixers).
TEST_P(MediaClockDriftTest, TheTimelineFollowsTheMediaClock) {
  const std::vector<double> leads = Leads(GetParam().rate, 600, 5, 10);
  const auto [low, high] = std::minmax_element(leads.begin(), leads.end());
  EXPECT_GT(*low, -10.0);
  EXPECT_LT(*high, 10.0);
  // Without following, the drift alone would have reached 600 ms.
}

INSTANTIATE_TEST_SUITE_P(Clocks, MediaClockDriftTest,
                         ::testing::Values(DriftCase{"Fast", 1.001}, DriftCase{"Slow", 0.999},
                                           DriftCase{"Same", 1.0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MediaTimelineTest, StreamsFarFromTheTimelineArePlacedAnewOnTheirOwn) {
  MediaTimeline t(60);
  const int voice = t.OpenStream("voice");
  const int late_joiner = t.OpenStream("counts from zero");
  const int jumper = t.OpenStream("jumps ahead");
  for (int n = 0; n < 100; ++n) {
    const uint32_t tick = kStart + static_cast<uint32_t>(20 * (n + 1));
    const uint64_t stamp = kOrigin + 1800ull * static_cast<uint64_t>(n);
    t.Place(voice, stamp, 1800, tick);
    t.Place(jumper, stamp, 1800, tick);
  }
  // A stream whose stamps start from 0 lands at the meeting's present.
  const uint32_t now = kStart + 2000;
  const MediaTimeline::Placement joined = t.Place(late_joiner, 0, 1800, now);
  EXPECT_TRUE(joined.replaced);
  EXPECT_EQ(joined.stamp, kOrigin + 100 * 1800 - 1800);
  EXPECT_FALSE(t.Place(late_joiner, 1800, 1800, now + 20).replaced);
  // A stream that jumps an hour ahead goes on at the present too.
  const MediaTimeline::Placement jumped = t.Place(jumper, kOrigin + 3600ull * 90000, 1800, now);
  EXPECT_TRUE(jumped.replaced);
  EXPECT_EQ(jumped.stamp, kOrigin + 100 * 1800 - 1800);
  // The others never moved.
  EXPECT_EQ(t.Place(voice, kOrigin + 1800ull * 100, 1800, now + 20).stamp, kOrigin + 1800ull * 100);
}

TEST(MediaTimelineTest, ALongBurstIsLateButAStreamThatStaysBehindIsPlacedAnew) {
  MediaTimeline t(60);
  const int s = t.OpenStream("s");
  const int other = t.OpenStream("other");
  uint32_t tick = kStart;
  uint64_t stamp = kOrigin;
  auto on_time = [&](int frames) {
    for (int i = 0; i < frames; ++i) {
      tick += 20;
      EXPECT_FALSE(t.Place(s, stamp, 1800, tick).replaced);
      EXPECT_FALSE(t.Place(other, stamp, 1800, tick).replaced);
      stamp += 1800;
    }
  };
  on_time(100);
  // 1.5 s of frames held back, then sent at once and followed by on-time
  // frames: late, but the meeting's place stays.
  tick += 1500;
  for (int i = 0; i < 75; ++i) {
    EXPECT_FALSE(t.Place(s, stamp, 1800, tick).replaced) << i;
    EXPECT_FALSE(t.Place(other, stamp, 1800, tick).replaced) << i;
    stamp += 1800;
  }
  on_time(10);
  // A stream that stays two seconds behind while the other is on time is
  // placed anew after a while; the other stays.
  bool replaced = false;
  int frames = 0;
  while (!replaced && frames < 100) {
    tick += 20;
    replaced = t.Place(s, stamp - 2 * 90000, 1800, tick).replaced;
    EXPECT_FALSE(t.Place(other, stamp, 1800, tick).replaced);
    stamp += 1800;
    ++frames;
  }
  EXPECT_TRUE(replaced);
  EXPECT_NEAR(frames * 20, MediaTimeline::kBehindPatienceMs, 40);
}

// A client that stalls as a whole and goes on where it stopped: after a
// short patience every stream is placed later by the same amount, so they
// keep their distance and the frames after it are on time again.
TEST(MediaTimelineTest, AMeetingThatComesLateAsAWholeIsPlacedLaterTogether) {
  for (const uint32_t stallMs : {300u, 700u, 2500u}) {
    SCOPED_TRACE(stallMs);
    MediaTimeline t(60);
    const int voice = t.OpenStream("voice");
    const int camera = t.OpenStream("camera");
    uint32_t tick = kStart;
    uint64_t stamp = kOrigin;
    for (int i = 0; i < 50; ++i, stamp += 1800) {
      tick += 20;
      t.Place(voice, stamp, 1800, tick);
      t.Place(camera, stamp + 900, 0, tick);
    }
    tick += stallMs;
    int frames = 0;
    MediaTimeline::Placement moved;
    while (!moved.replaced && frames < 50) {
      tick += 20;
      moved = t.Place(voice, stamp, 1800, tick);
      t.Place(camera, stamp + 900, 0, tick);
      stamp += 1800;
      ++frames;
    }
    ASSERT_TRUE(moved.replaced);
    EXPECT_NEAR(frames * 20, MediaTimeline::kMeetingLatePatienceMs, 40);
    // Both streams moved alike, by what the frames lacked in whole pictures.
    const int64_t by = MediaTimeline::Distance(moved.stamp, stamp - 1800);
    EXPECT_EQ(by % MediaTimeline::kMeetingMoveStep, 0);
    EXPECT_GE(by, stallMs * 90 - 900);
    EXPECT_LT(by, stallMs * 90 + MediaTimeline::kMeetingMoveStep);
    const MediaTimeline::Placement picture = t.Place(camera, stamp + 900, 0, tick + 20);
    const MediaTimeline::Placement voiceNext = t.Place(voice, stamp, 1800, tick + 20);
    EXPECT_FALSE(voiceNext.replaced);
    EXPECT_EQ(MediaTimeline::Distance(picture.stamp, voiceNext.stamp), 900);
    // The frames that follow come in time to be used, with the target
    // delay to spare, as the first frame of the meeting did.
    const uint32_t toSpare = t.MsUntil(voiceNext.stamp + 1800, tick + 20);
    EXPECT_GT(toSpare, 50u);
    EXPECT_LE(toSpare, 100u);
  }
}

TEST(MediaTimelineTest, ARestartGoesOnWhereTheOutputEnded) {
  MediaTimeline t(60);
  const int s = t.OpenStream("s");
  t.Place(s, kOrigin, 1800, kStart);
  t.NoteProduced(kOrigin + 90000);
  t.NoteProduced(kOrigin + 3600);  // an older end changes nothing
  t.Restart();
  EXPECT_FALSE(t.Anchored());
  // The client's clock went on by a minute meanwhile, or started again.
  for (const uint64_t stamp : std::vector<uint64_t>{kOrigin + 90000ull * 61, 5}) {
    t.Restart();
    const MediaTimeline::Placement p = t.Place(s, stamp, 1800, kStart + 61000);
    EXPECT_EQ(p.stamp, kOrigin + 90000);
    EXPECT_EQ(t.Origin(), kOrigin + 90000);
    EXPECT_FALSE(p.replaced);
  }
  const uint64_t epoch = t.Epoch();
  t.Restart();
  t.Place(s, 7, 0, kStart + 62000);
  EXPECT_EQ(t.Epoch(), epoch + 1);
}

}  // namespace
}  // namespace plenova
