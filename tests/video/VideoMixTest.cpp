#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/video/VideoTestSupport.h"
#include "video/CameraOffPicture.h"

namespace plenova {
namespace {

using testing::CanvasView;
using testing::g_canvas_calls;
using testing::kBlack;
using testing::kBlue;
using testing::kGreen;
using testing::kPlaceholderGround;
using testing::kRed;
using testing::StreamInfo;
using testing::Yuv;

const VideoMixStreamInfo kLeft = StreamInfo("left", 320, 180, 0, 0, 320, 180);
const VideoMixStreamInfo kRight = StreamInfo("right", 640, 480, 320, 90, 320, 180, 25, 1);
constexpr Rect kLeftRect{0, 0, 320, 180};
constexpr Rect kRightFitted{360, 90, 240, 180};  // 4:3 letterboxed into 320x180

using MixTest = testing::MixFixture;

// Each stream in its rectangle; a stream that stops keeps its last picture,
// also through the blanks of a joining stream's first paint and of a
// picture update.
TEST_F(MixTest, EachStreamInItsRectangleKeepsItsLastPicture) {
  Layout({kLeft, kRight});
  ASSERT_TRUE(Push(kLeft, kRed, 1000));
  ASSERT_TRUE(Push(kRight, kBlue, 1000));
  Compose();
  EXPECT_TRUE(Shows(kLeftRect, kRed));
  EXPECT_TRUE(Shows(kRightFitted, kBlue));
  EXPECT_TRUE(Shows({320, 90, 40, 180}, kBlack));
  EXPECT_TRUE(Shows({0, 180, 320, 180}, kBlack));

  ASSERT_TRUE(Push(kRight, kGreen, 4600));
  Compose();
  Compose();
  EXPECT_TRUE(Shows(kLeftRect, kRed));
  EXPECT_TRUE(Shows(kRightFitted, kGreen));

  const VideoMixStreamInfo joining = StreamInfo("joining", 320, 180, 0, 180, 320, 180);
  const std::vector<VideoMixStreamInfo> layout{kLeft, kRight, joining};
  mix_.UpdataVideoStreamInfo(layout.data(), 3);
  ASSERT_TRUE(Push(joining, kBlue, 8200));
  Compose();
  EXPECT_TRUE(Shows(kLeftRect, kRed));
  EXPECT_TRUE(Shows({0, 180, 320, 180}, kBlue));

  const VideoMixStreamInfo pic = StreamInfo("", 640, 360, 400, 300, 64, 36);
  ASSERT_TRUE(mix_.PictureMixInit(&pic, 1, kCanvasW, kCanvasH));
  mix_.UpdataPictureStreamInfo(&pic, 1);
  Compose();
  EXPECT_TRUE(Shows(kLeftRect, kRed));
  EXPECT_TRUE(Shows(kRightFitted, kGreen));
  EXPECT_EQ(Drain().size(), 5u);
}

TEST_F(MixTest, ALayoutUpdateChangesNothingInTiming) {
  Layout({kLeft});
  ASSERT_TRUE(Push(kLeft, kRed, 90000));
  RunFor(kDelayMs + 100);
  Drain();
  const uint64_t pending = mix_.next_stamp();
  // A 30 fps stream in the layout: the canvas rate stays 25 and the grid
  // goes on without a hole or a repeat.
  const VideoMixStreamInfo fast = StreamInfo("left", 320, 180, 0, 0, 320, 180, 30);
  mix_.UpdataVideoStreamInfo(&fast, 1);
  EXPECT_EQ(mix_.rate(), 25);
  RunFor(200);
  const auto out = Drain();
  ASSERT_EQ(out.size(), 5u);
  for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].stamp, pending + 3600 * i);
}

// A camera at `fps` (num/den) pushing each frame at its capture time: every
// canvas shows the newest frame stamped at or before its own time, and the
// queue never stands.
struct RateCase {
  int num, den;
  const char* name;
};
class MixRateTest : public testing::MixFixture, public ::testing::WithParamInterface<RateCase> {};

TEST_P(MixRateTest, EachCanvasShowsTheNewestFrameDueByItsStamp) {
  const RateCase c = GetParam();
  const VideoMixStreamInfo cam = StreamInfo("cam", 320, 180, 0, 0, 320, 180, c.num / c.den);
  Layout({cam});
  const uint32_t t0 = clock_.NowMs();
  const uint64_t origin = 5'000'000'000ull;
  // Frame n is stamped at n x den / num seconds and carries luma 20 + n % 200.
  auto frame_stamp = [&](uint64_t n) {
    return origin + n * 90000 * static_cast<uint64_t>(c.den) / static_cast<uint64_t>(c.num);
  };
  uint64_t pushed = 0;
  int most = 0;
  int canvases = 0;
  uint64_t last = 0;
  for (uint32_t ms = 0; ms < 4000; ++ms) {
    clock_.Set(t0 + ms);
    while (frame_stamp(pushed) - origin <= uint64_t{ms} * 90) {
      const auto luma = static_cast<uint8_t>(20 + pushed % 200);
      ASSERT_TRUE(Push(cam, Yuv{luma, 128, 128}, frame_stamp(pushed)));
      ++pushed;
    }
    most = std::max(most, Queued(cam));
    mix_.VideoMixStep(clock_.NowMs());
    const std::vector<Out> out = Drain();
    if (out.empty()) continue;
    ASSERT_EQ(out.size(), 1u);
    if (canvases++ > 0) {
      ASSERT_EQ(out[0].stamp - last, 3600u);
    }
    last = out[0].stamp;
    uint64_t due = 0;
    while (frame_stamp(due + 1) <= out[0].stamp) ++due;
    ASSERT_EQ(Canvas().Luma(160, 90), static_cast<uint8_t>(20 + due % 200))
        << "canvas " << canvases;
  }
  EXPECT_GE(canvases, 95);
  // Frames wait the target delay and no longer.
  EXPECT_LE(most, static_cast<int>(kDelayMs * c.num / c.den / 1000) + 2);
  EXPECT_EQ(mix_.Counters().droppedLate.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Rates, MixRateTest,
                         ::testing::Values(RateCase{15, 1, "15"}, RateCase{24, 1, "24"},
                                           RateCase{25, 1, "25"}, RateCase{30000, 1001, "29_97"},
                                           RateCase{30, 1, "30"}),
                         [](const auto& info) { return std::string(info.param.name) + "fps"; });

TEST_F(MixTest, RemovedStreamsFramesReturnToThePoolAndAMovedWindowsAreDiscarded) {
  Layout({kLeft, kRight});
  ASSERT_TRUE(Push(kRight, kBlue, 1000));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Push(kLeft, kRed, 1000 + i * 3600));
  const VideoMixStreamInfo moved = StreamInfo("left", 320, 180, 100, 0, 320, 180);
  mix_.UpdataVideoStreamInfo(&moved, 1);
  EXPECT_EQ(Queued(moved), 0);
  EXPECT_TRUE(mix_.IsStreamActive("left", 320, 180, 25));
  EXPECT_EQ(Queued(kRight), -1);
  const int32_t frame_class = 8 * MemoryPool::kClassStep;  // 640x480 frames
  const int idle = pool_.IdleCount(frame_class);
  EXPECT_TRUE(Push(kRight, kBlue, 4600));
  EXPECT_EQ(Queued(kRight), -1);
  EXPECT_EQ(pool_.IdleCount(frame_class), idle + 1);
}

class MixCutOutTest : public testing::MixFixture, public ::testing::WithParamInterface<uint32_t> {};

// A full-canvas window with an inset along its top-right corner: the inset
// and a picture stay on top when only the window under them sends, whatever
// the order of the window's rows.
TEST_P(MixCutOutTest, AnInsetStaysOnTopOfAWindowThatUpdatesMoreOften) {
  const VideoMixStreamInfo main = StreamInfo("main", 640, 360, 0, 0, 640, 360);
  const VideoMixStreamInfo inset = StreamInfo("inset", 320, 240, 480, 0, 160, 120);
  const VideoMixStreamInfo pic = StreamInfo("", 640, 360, 0, 300, 64, 36);
  Layout({main, inset});
  ASSERT_TRUE(mix_.PictureMixInit(&pic, 1, kCanvasW, kCanvasH));
  mix_.UpdataPictureStreamInfo(&pic, 1);
  ASSERT_TRUE(Push(main, kRed, 1000, GetParam()));
  ASSERT_TRUE(Push(inset, kBlue, 1000));
  Compose();
  ASSERT_TRUE(Shows({480, 0, 160, 120}, kBlue));
  for (uint64_t stamp : {4600, 8200}) {
    ASSERT_TRUE(Push(main, kGreen, stamp, GetParam()));  // the inset sends nothing
    Compose();
    EXPECT_TRUE(Shows({480, 0, 160, 120}, kBlue));
    EXPECT_TRUE(Shows({0, 0, 480, 300}, kGreen));
    EXPECT_TRUE(Shows({480, 120, 160, 240}, kGreen));
    EXPECT_NEAR(Canvas().Luma(2, 302), kPlaceholderGround, 4);
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, MixCutOutTest,
                         ::testing::Values(FFmpeg_Sws_cale::kBottomUp, FFmpeg_Sws_cale::kTopDown));

// --- Camera-off pictures ---------------------------------------------------

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
  EXPECT_EQ(v.BoxOf(kRed.y), Rect{});  // the video is covered
  // At (160, 89) the small picture shows its disc, the big one its ground.
  EXPECT_NEAR(v.Luma(160, 89), small_on_top ? 27 : 34, 2);
  EXPECT_EQ(v.Luma(321, 178), 27);  // the big picture's own disc, outside the small one
}

INSTANTIATE_TEST_SUITE_P(Orders, PictureOrderTest, ::testing::Bool());

}  // namespace
}  // namespace plenova
