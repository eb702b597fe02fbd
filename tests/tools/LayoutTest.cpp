#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <vector>

#include "tools/plenova-record/Layout.h"
#include "tools/plenova-record/MeetingPlan.h"

namespace plenova::record {
namespace {

bool Overlap(const Rect& a, const Rect& b) {
  return a.x < b.x + b.w && b.x < a.x + a.w && a.y < b.y + b.h && b.y < a.y + a.h;
}

// Every rectangle inside the canvas, with even position and size.
void ExpectInsideAndEven(const std::vector<Rect>& rects, int w, int h) {
  for (size_t i = 0; i < rects.size(); ++i) {
    const Rect& r = rects[i];
    SCOPED_TRACE("rectangle " + std::to_string(i));
    EXPECT_GT(r.w, 0);
    EXPECT_GT(r.h, 0);
    EXPECT_GE(r.x, 0);
    EXPECT_GE(r.y, 0);
    EXPECT_LE(r.x + r.w, w);
    EXPECT_LE(r.y + r.h, h);
    EXPECT_EQ(r.x % 2, 0);
    EXPECT_EQ(r.y % 2, 0);
    EXPECT_EQ(r.w % 2, 0);
    EXPECT_EQ(r.h % 2, 0);
  }
}

void ExpectDisjoint(const std::vector<Rect>& rects, size_t from) {
  for (size_t i = from; i < rects.size(); ++i) {
    for (size_t j = i + 1; j < rects.size(); ++j)
      EXPECT_FALSE(Overlap(rects[i], rects[j])) << i << " and " << j;
  }
}

using Geometry = std::tuple<int, std::pair<int, int>>;  // participants, canvas

class LayoutGeometry : public ::testing::TestWithParam<Geometry> {
 protected:
  int n() const { return std::get<0>(GetParam()); }
  int w() const { return std::get<1>(GetParam()).first; }
  int h() const { return std::get<1>(GetParam()).second; }
};

TEST_P(LayoutGeometry, GridCellsAreEqualDisjointAndFillMostOfTheCanvas) {
  const std::vector<Rect> rects = GridLayout(n(), w(), h());
  ASSERT_EQ(rects.size(), static_cast<size_t>(n()));
  ExpectInsideAndEven(rects, w(), h());
  ExpectDisjoint(rects, 0);
  for (const Rect& r : rects) {
    EXPECT_EQ(r.w, rects[0].w);
    EXPECT_EQ(r.h, rects[0].h);
  }
  // No empty row or column, and cells as large as the grid allows.
  std::set<int> row_tops;
  int cols = 0;
  for (const Rect& r : rects) {
    row_tops.insert(r.y);
    if (r.y == rects[0].y) ++cols;
  }
  const int rows = static_cast<int>(row_tops.size());
  EXPECT_GE(cols * rows, n());
  EXPECT_LT((cols - 1) * rows, n());
  EXPECT_LT(cols * (rows - 1), n());
  EXPECT_GE(rects[0].w, w() / cols - 2);
  EXPECT_GE(rects[0].h, h() / rows - 2);
}

TEST_P(LayoutGeometry, SpeakerFillsTheCanvasWithInsetsAlongTheTopRightCorner) {
  const std::vector<Rect> rects = SpeakerLayout(n(), w(), h());
  ASSERT_EQ(rects.size(), static_cast<size_t>(n()));
  ExpectInsideAndEven(rects, w(), h());
  EXPECT_EQ(rects[0].x, 0);
  EXPECT_EQ(rects[0].y, 0);
  EXPECT_EQ(rects[0].w, w());
  EXPECT_EQ(rects[0].h, h());
  ExpectDisjoint(rects, 1);
  for (size_t i = 1; i < rects.size(); ++i) {
    EXPECT_LE(rects[i].w, w() / 6);
    EXPECT_LE(rects[i].h, h() / 6 + 2);
    // The insets stay in the right half, clear of the speaker's face.
    EXPECT_GE(rects[i].x, w() / 2) << i;
  }
  if (n() > 1) {
    // The first inset sits in the corner itself.
    EXPECT_GE(rects[1].x + rects[1].w, w() - w() / 40 - 2);
    EXPECT_LE(rects[1].y, h() / 40 + 2);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutGeometry,
    ::testing::Combine(::testing::Range(1, 21),
                       ::testing::Values(std::make_pair(1280, 720), std::make_pair(640, 360),
                                         std::make_pair(1920, 1080), std::make_pair(720, 1280),
                                         std::make_pair(202, 98))));

TEST(Layout, GridCentresAShortLastRow) {
  // Five participants: 3 columns, 2 rows; the second row of two is centred.
  const std::vector<Rect> rects = GridLayout(5, 1200, 600);
  ASSERT_EQ(rects.size(), 5u);
  EXPECT_EQ(rects[0].x, 0);
  EXPECT_EQ(rects[3].x, 200);
  EXPECT_EQ(rects[4].x, 600);
  EXPECT_EQ(rects[3].y, 300);
}

RecordOptions SevenParticipants() {
  RecordOptions o;
  o.participants = 6;
  o.inputs = {"talk.mkv"};
  o.camera_off = {3};
  o.crop = true;
  return o;
}

TEST(MeetingPlan, CameraOffParticipantsBecomePicturesOfThePlaceholderSize) {
  MeetingPlan plan(SevenParticipants());
  ASSERT_EQ(plan.video()->InUseStreamCount, 6);
  ASSERT_NE(plan.pictures(), nullptr);
  ASSERT_EQ(plan.pictures()->InUseStreamCount, 1);
  const PictureStreamInfo& picture = plan.pictures()->vstreaminfo[0];
  EXPECT_STREQ(picture.streamId, "participant-3");
  EXPECT_EQ(picture.source_w, kPictureWidth);
  EXPECT_EQ(picture.source_h, kPictureHeight);
  const Rect expected = GridLayout(7, 1280, 720)[2];
  EXPECT_EQ(picture.x_position_in_target_frame, expected.x);
  EXPECT_EQ(picture.y_position_in_target_frame, expected.y);
  EXPECT_EQ(picture.target_w, expected.w);
  EXPECT_EQ(picture.target_h, expected.h);
  for (int i = 0; i < plan.video()->InUseStreamCount; ++i) {
    EXPECT_STRNE(plan.video()->vstreaminfo[i].streamId, "participant-3");
    EXPECT_EQ(plan.video()->vstreaminfo[i].videoType, 0) << "--crop";
    EXPECT_EQ(plan.video()->vstreaminfo[i].source_w, 640);
  }
  EXPECT_EQ(plan.participants()[0].input, "talk.mkv");
  EXPECT_TRUE(plan.participants()[1].input.empty());
}

TEST(MeetingPlan, OnlyTheFirstFiveParticipantsAreHeardAtFiftyFramesASecond) {
  RecordOptions o = SevenParticipants();
  o.sample_rate = 44100;
  o.channels = 1;
  MeetingPlan plan(o);
  const AudioStreamInfoUpdate& audio = *plan.audio();
  ASSERT_EQ(audio.audioStreamCount, kMaxAudioStreams);
  EXPECT_EQ(audio.target_audio_frames_per_seconds, 50);
  EXPECT_EQ(audio.target_audio_sampling_rate, 44100);
  EXPECT_EQ(audio.target_audio_channels, 1);
  EXPECT_EQ(audio.target_audio_sampling_per_bits, 16);
  EXPECT_STREQ(audio.astreamInfo[4].streamId, "participant-5");
  EXPECT_FALSE(plan.participants()[5].heard);
  EXPECT_TRUE(plan.participants()[2].heard) << "a camera-off participant is still heard";
}

TEST(MeetingPlan, AllCamerasOnMeansNoPictureUpdateAndLetterboxByDefault) {
  RecordOptions o;
  MeetingPlan plan(o);
  EXPECT_EQ(plan.pictures(), nullptr);
  EXPECT_EQ(plan.video()->vstreaminfo[0].videoType, 1);
}

}  // namespace
}  // namespace plenova::record
