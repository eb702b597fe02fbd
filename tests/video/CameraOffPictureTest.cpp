#include "video/CameraOffPicture.h"

#include <gtest/gtest.h>

#include "tests/video/VideoMixTestSupport.h"

namespace plenova {
namespace {

using testing::CanvasView;
using testing::kBlack;
using testing::kRed;
using testing::StreamInfo;
using testing::Yuv;

TEST(CameraOffPictureTest, GroundDiscAndIconWhereDescribed) {
  const CanvasView p(CameraOffPicture::Data(), 640, 360);
  EXPECT_TRUE(p.RectIs(0, 0, 640, 100, Yuv{34, 132, 124}));
  EXPECT_TRUE(p.RectIs(0, 260, 640, 100, Yuv{34, 132, 124}));
  // The disc's extent, and darker ground inside it around the icon.
  EXPECT_EQ(p.BoxOf(27), (std::vector<int>{254, 111, 136, 136}));
  EXPECT_TRUE(p.RectIs(260, 180, 20, 20, Yuv{27, 132, 125}));
  // The icon's outline spans columns 291-352 and rows 143-216.
  EXPECT_EQ(p.BoxOf(70), (std::vector<int>{291, 143, 62, 74}));
  EXPECT_EQ(p.Luma(321, 144), 70);  // top of the lens ring
  EXPECT_EQ(p.Luma(321, 173), 27);  // lens centre
  EXPECT_EQ(p.Luma(321, 215), 70);  // bottom of the stand
  EXPECT_EQ(p.At(321, 144).u, 135);
  EXPECT_EQ(p.At(321, 144).v, 121);
}

using PictureTest = testing::MixFixture;

// Lays out pictures on `mix` and returns its first composed canvas.
std::vector<uint8_t> ComposePictures(VideoMix& mix, const std::vector<VideoMixStreamInfo>& pics) {
  EXPECT_TRUE(mix.PictureMixInit(pics.data(), static_cast<int32_t>(pics.size()), 640, 360));
  mix.UpdataPictureStreamInfo(pics.data(), static_cast<int32_t>(pics.size()));
  mix.GetMixedData(3600);
  return mix.CanvasCopy();
}

class PictureOrderTest : public testing::MixFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(PictureOrderTest, HigherSlotOnTopAndBothAboveVideo) {
  const VideoMixStreamInfo video = StreamInfo("cam", 640, 360, 0, 0, 640, 360);
  Layout({video});
  ASSERT_TRUE(Push(video, kRed, 1000));
  const VideoMixStreamInfo big = StreamInfo("", 640, 360, 0, 0, 640, 360);
  const VideoMixStreamInfo small = StreamInfo("", 640, 360, 0, 0, 320, 180);
  const bool small_on_top = GetParam();
  const std::vector<uint8_t> canvas =
      ComposePictures(mix_, small_on_top ? std::vector{big, small} : std::vector{small, big});
  const CanvasView v(canvas.data(), 640, 360);
  EXPECT_EQ(v.BoxOf(kRed.y), (std::vector<int>{0, 0, 0, 0}));  // the video is covered
  // At (160, 89) the small picture shows its disc, the big one its ground.
  EXPECT_NEAR(v.Luma(160, 89), small_on_top ? 27 : 34, 2);
  EXPECT_EQ(v.Luma(321, 178), 27);  // the big picture's own disc, outside the small one
}

INSTANTIATE_TEST_SUITE_P(Orders, PictureOrderTest, ::testing::Bool());

TEST_F(PictureTest, RecordSizeIsNotTrustedForReading) {
  const VideoMixStreamInfo video = StreamInfo("cam", 64, 36, 0, 0, 64, 36);
  Layout({video});
  const std::vector<uint8_t> declared =
      ComposePictures(mix_, {StreamInfo("", 640, 360, 40, 20, 320, 180)});
  for (auto [w, h] : {std::pair{1280, 720}, std::pair{320, 180}, std::pair{0, 0}}) {
    VideoMix other;
    ASSERT_TRUE(other.VideoMixInit(&video, 1, &pool_, &encode_, 640, 360, nullptr));
    other.UpdataVideoStreamInfo(&video, 1);
    EXPECT_EQ(ComposePictures(other, {StreamInfo("", w, h, 40, 20, 320, 180)}), declared) << w;
  }
}

TEST_F(PictureTest, ListedButNotUpdatedIsNotPaintedAndAnEmptyUpdateBlanks) {
  const VideoMixStreamInfo video = StreamInfo("cam", 64, 36, 0, 0, 64, 36);
  Layout({video});
  const VideoMixStreamInfo pic = StreamInfo("", 640, 360, 0, 0, 640, 360);
  ASSERT_TRUE(mix_.PictureMixInit(&pic, 1, 640, 360));
  mix_.GetMixedData(3600);
  EXPECT_NE(Canvas().Luma(10, 10), 34);
  mix_.UpdataPictureStreamInfo(&pic, 1);
  mix_.GetMixedData(7200);
  EXPECT_EQ(Canvas().Luma(10, 10), 34);
  mix_.UpdataPictureStreamInfo(&pic, 0);
  EXPECT_TRUE(Canvas().RectIs(0, 0, 640, 360, kBlack));
  mix_.GetMixedData(10800);
  EXPECT_TRUE(Canvas().RectIs(0, 0, 640, 360, kBlack));
}

TEST_F(PictureTest, ActivePictureShowsWithoutVideoOnceTheMeetingRuns) {
  const VideoMixStreamInfo video = StreamInfo("cam", 64, 36, 0, 0, 64, 36);
  Layout({video});
  const VideoMixStreamInfo pic = StreamInfo("", 640, 360, 0, 0, 320, 180);
  ASSERT_TRUE(mix_.PictureMixInit(&pic, 1, 640, 360));
  mix_.UpdataPictureStreamInfo(&pic, 1);
  EXPECT_EQ(mix_.VideoMixStep(clock_.NowMs()), VideoMix::kIdleSleepMs);
  // Audio alone starts the meeting's timeline.
  timeline_.Place(-1, 450000, 1800, clock_.NowMs());
  clock_.Advance(mix_.VideoMixStep(clock_.NowMs()));
  mix_.VideoMixStep(clock_.NowMs());
  EXPECT_EQ(Drain().size(), 1u);
  EXPECT_EQ(testing::g_canvas_calls.load(), 1);
  EXPECT_EQ(Canvas().Luma(10, 10), 34);
}

}  // namespace
}  // namespace plenova
