#include "video/FFmpeg_Sws_cale.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/video/VideoTestSupport.h"

namespace plenova {
namespace {

using testing::CanvasView;
using testing::kBlack;
using testing::kBlue;
using testing::kGreen;
using testing::kRed;
using testing::SolidPicture;
using testing::Yuv;

struct Geometry {
  int src_w, src_h, tw, th, x, y, type;
  int real_x, real_y, real_w, real_h;
  int crop_w, crop_h;  // checked in crop mode only
};

class ScalerGeometryTest : public ::testing::TestWithParam<Geometry> {};

TEST_P(ScalerGeometryTest, PaintedRectangleAndCrop) {
  const Geometry& g = GetParam();
  FFmpeg_Sws_cale scaler;
  scaler.init(g.src_w, g.src_h, Rect{g.x, g.y, g.tw, g.th}, 1920, 1080, g.type);
  EXPECT_EQ(scaler.placed(), (Rect{g.real_x, g.real_y, g.real_w, g.real_h}));
  if (g.type != 1) {
    EXPECT_EQ(scaler.crop_width(), g.crop_w);
    EXPECT_EQ(scaler.crop_height(), g.crop_h);
  }
  EXPECT_TRUE(scaler.HasContext());
}

INSTANTIATE_TEST_SUITE_P(FitAndCrop, ScalerGeometryTest,
                         ::testing::Values(
                             // 4:3 into 16:9, fitted: 240 wide, 40 in from the left.
                             Geometry{640, 480, 320, 180, 100, 50, 1, 140, 50, 240, 180, 0, 0},
                             // Portrait into landscape, fitted: 135 wide, centred.
                             Geometry{480, 640, 320, 180, 0, 0, 1, 92, 0, 135, 180, 0, 0},
                             // Wide into a taller box, fitted: 180 high, 30 down.
                             Geometry{640, 360, 320, 240, 10, 20, 1, 10, 50, 320, 180, 0, 0},
                             // Exact aspect: the whole target.
                             Geometry{640, 360, 320, 180, 8, 8, 1, 8, 8, 320, 180, 0, 0},
                             // 4:3 cropped to 16:9: 60 rows off each side.
                             Geometry{640, 480, 320, 180, 100, 50, 0, 100, 50, 320, 180, 640, 360},
                             // CIF cropped: 198 rounded to 196 so each side loses an even count.
                             Geometry{352, 288, 320, 180, 0, 0, 0, 0, 0, 320, 180, 352, 196},
                             // Wide source cropped to a square: 720 columns of 1280.
                             Geometry{1280, 720, 320, 320, 0, 0, 0, 0, 0, 320, 320, 720, 720},
                             // Wide source, width rounding: 675 becomes 672.
                             Geometry{1280, 720, 300, 320, 0, 0, 0, 0, 0, 300, 320, 672, 720},
                             // Same aspect: nothing cropped.
                             Geometry{1280, 720, 640, 360, 0, 0, 0, 0, 0, 640, 360, 1280, 720}));

// A scaler and a canvas of cw x ch filled with `fill` (to see the first
// paint blank it).
class ScalerPaintTest : public ::testing::Test {
 protected:
  void SetUpCanvas(int cw, int ch) {
    cw_ = cw;
    ch_ = ch;
    canvas_.assign(static_cast<size_t>(cw) * ch * 3 / 2, 0x55);
  }
  void Draw(const std::vector<uint8_t>& src, int sw, int sh, int x, int y, int tw, int th, int type,
            uint32_t orientation = FFmpeg_Sws_cale::kTopDown) {
    scaler_.ScaleAndDraw(src.data(), canvas_.data(), sw, sh, Rect{x, y, tw, th}, type, orientation);
  }
  CanvasView View() const { return CanvasView(canvas_.data(), cw_, ch_); }
  // Everything but the rectangle is black.
  bool OnlyRectPainted(int x, int y, int w, int h) const {
    const CanvasView v = View();
    for (int r = 0; r < ch_; ++r) {
      for (int c = 0; c < cw_; ++c) {
        const bool inside = c >= x && c < x + w && r >= y && r < y + h;
        const Yuv p = v.At(c, r);
        if (!inside && (p.y != kBlack.y || p.u != kBlack.u || p.v != kBlack.v)) return false;
      }
    }
    return true;
  }

  FFmpeg_Sws_cale scaler_;
  std::vector<uint8_t> canvas_;
  int cw_ = 0;
  int ch_ = 0;
};

TEST_F(ScalerPaintTest, FitPaintsLetterboxedRectangleOnly) {
  SetUpCanvas(640, 360);
  scaler_.init(640, 480, Rect{100, 50, 320, 180}, 640, 360, 1);
  Draw(SolidPicture(640, 480, kRed), 640, 480, 100, 50, 320, 180, 1);
  EXPECT_EQ(View().BoxOf(kRed.y), (std::vector<int>{140, 50, 240, 180}));
  EXPECT_TRUE(View().RectIs(140, 50, 240, 180, kRed));
  EXPECT_TRUE(OnlyRectPainted(140, 50, 240, 180));
}

TEST_F(ScalerPaintTest, CropKeepsTheCentredRegion) {
  SetUpCanvas(640, 360);
  // Bands the crop must drop: 60 rows at the top and 60 at the bottom.
  std::vector<uint8_t> src = SolidPicture(640, 480, kRed);
  testing::PaintRows(src, 640, 480, 0, 60, kGreen);
  testing::PaintRows(src, 640, 480, 420, 480, kBlue);
  scaler_.init(640, 480, Rect{0, 0, 320, 180}, 640, 360, 0);
  Draw(src, 640, 480, 0, 0, 320, 180, 0);
  EXPECT_TRUE(View().RectIs(0, 0, 320, 180, kRed));
  EXPECT_TRUE(OnlyRectPainted(0, 0, 320, 180));
}

TEST_F(ScalerPaintTest, CropOfAWideSourceDropsSideColumns) {
  SetUpCanvas(640, 360);
  // 1280 x 720 into a square keeps columns 280..999.
  std::vector<uint8_t> src = SolidPicture(1280, 720, kGreen);
  for (int r = 0; r < 720; ++r) std::memset(src.data() + r * 1280 + 280, kRed.y, 720);
  for (int r = 0; r < 360; ++r) {
    std::memset(src.data() + 1280 * 720 + r * 640 + 140, kRed.u, 360);
    std::memset(src.data() + 1280 * 720 * 5 / 4 + r * 640 + 140, kRed.v, 360);
  }
  scaler_.init(1280, 720, Rect{0, 0, 180, 180}, 640, 360, 0);
  Draw(src, 1280, 720, 0, 0, 180, 180, 0);
  EXPECT_TRUE(View().RectIs(0, 0, 180, 180, kRed));
}

struct OrientationCase {
  uint32_t orientation;
  bool top_is_red;
};

class ScalerOrientationTest : public ScalerPaintTest,
                              public ::testing::WithParamInterface<OrientationCase> {};

TEST_P(ScalerOrientationTest, RowOrder) {
  SetUpCanvas(320, 180);
  std::vector<uint8_t> src = SolidPicture(320, 180, kBlue);
  testing::PaintRows(src, 320, 180, 0, 90, kRed);
  scaler_.init(320, 180, Rect{0, 0, 320, 180}, 320, 180, 0);
  Draw(src, 320, 180, 0, 0, 320, 180, 0, GetParam().orientation);
  const Yuv top = GetParam().top_is_red ? kRed : kBlue;
  const Yuv bottom = GetParam().top_is_red ? kBlue : kRed;
  EXPECT_TRUE(View().RectIs(0, 0, 320, 80, top, 1));
  EXPECT_TRUE(View().RectIs(0, 100, 320, 80, bottom, 1));
}

// Unknown row orders are painted top-down rather than dropped.
INSTANTIATE_TEST_SUITE_P(Orders, ScalerOrientationTest,
                         ::testing::Values(OrientationCase{0, true}, OrientationCase{2, false},
                                           OrientationCase{1, true}, OrientationCase{7, true}));

struct CutOutCase {
  uint32_t orientation;
  bool corner_left_alone;
};

class ScalerCutOutTest : public ScalerPaintTest,
                         public ::testing::WithParamInterface<CutOutCase> {};

TEST_P(ScalerCutOutTest, BottomUpLeavesTopRightCornerAlone) {
  SetUpCanvas(640, 360);
  scaler_.init(640, 360, Rect{0, 0, 640, 360}, 640, 360, 0);
  scaler_.SetDrawLimitParam(480, 120, true);
  Draw(SolidPicture(640, 360, kRed), 640, 360, 0, 0, 640, 360, 0, GetParam().orientation);
  if (GetParam().corner_left_alone) {
    EXPECT_TRUE(View().RectIs(480, 0, 160, 120, kBlack));
    EXPECT_TRUE(View().RectIs(0, 0, 480, 120, kRed));
    EXPECT_TRUE(View().RectIs(0, 120, 640, 240, kRed));
  } else {
    EXPECT_TRUE(View().RectIs(0, 0, 640, 360, kRed));
  }
}

INSTANTIATE_TEST_SUITE_P(Orders, ScalerCutOutTest,
                         ::testing::Values(CutOutCase{FFmpeg_Sws_cale::kBottomUp, true},
                                           CutOutCase{FFmpeg_Sws_cale::kTopDown, false}));

TEST_F(ScalerPaintTest, CutOutBoundAboveTheRectangleLeavesNoBand) {
  SetUpCanvas(640, 360);
  // Fitted 640x360 into 640x480 at y 0: painted from row 60; bound at row 30.
  scaler_.init(640, 360, Rect{0, 0, 640, 480}, 640, 360, 1);
  ASSERT_EQ(scaler_.placed().y, 60);
  scaler_.SetDrawLimitParam(320, 30, true);
  // The fitted rectangle is taller than the canvas allows below row 60: the
  // rows past the bottom are clipped.
  Draw(SolidPicture(640, 360, kRed), 640, 360, 0, 0, 640, 480, 1, FFmpeg_Sws_cale::kBottomUp);
  EXPECT_TRUE(View().RectIs(0, 60, 640, 300, kRed));
  EXPECT_TRUE(OnlyRectPainted(0, 60, 640, 300));
}

struct ClipCase {
  int x, y, w, h;  // target rectangle (crop mode, so also the painted one)
};

class ScalerClipTest : public ScalerPaintTest, public ::testing::WithParamInterface<ClipCase> {};

// Run under ASan: the canvas is sized exactly, so any write past it shows.
TEST_P(ScalerClipTest, OnlyTheVisiblePartIsPainted) {
  const ClipCase& c = GetParam();
  SetUpCanvas(320, 180);
  scaler_.init(160, 90, Rect{c.x, c.y, c.w, c.h}, 320, 180, 0);
  for (uint32_t orientation : {FFmpeg_Sws_cale::kTopDown, FFmpeg_Sws_cale::kBottomUp}) {
    Draw(SolidPicture(160, 90, kRed), 160, 90, c.x, c.y, c.w, c.h, 0, orientation);
    const int vis_w = std::max(0, std::min(c.x + c.w, 320) - c.x);
    const int vis_h = std::max(0, std::min(c.y + c.h, 180) - c.y);
    EXPECT_TRUE(View().RectIs(c.x, c.y, vis_w, vis_h, kRed));
    EXPECT_TRUE(OnlyRectPainted(c.x, c.y, vis_w, vis_h));
  }
}

INSTANTIATE_TEST_SUITE_P(PastTheEdges, ScalerClipTest,
                         ::testing::Values(ClipCase{200, 40, 160, 90},    // past the right edge
                                           ClipCase{40, 120, 160, 90},    // past the bottom
                                           ClipCase{240, 130, 160, 90},   // past both
                                           ClipCase{400, 40, 160, 90},    // entirely right of it
                                           ClipCase{40, 200, 160, 90}));  // entirely below it

TEST_F(ScalerPaintTest, MovingKeepsTheCanvasResizingBlanksIt) {
  SetUpCanvas(640, 360);
  const std::vector<uint8_t> red = SolidPicture(320, 180, kRed);
  scaler_.init(320, 180, Rect{0, 0, 160, 90}, 640, 360, 0);
  Draw(red, 320, 180, 0, 0, 160, 90, 0);
  Draw(red, 320, 180, 200, 0, 160, 90, 0);  // moved: the old picture stays
  EXPECT_TRUE(View().RectIs(0, 0, 160, 90, kRed));
  EXPECT_TRUE(View().RectIs(200, 0, 160, 90, kRed));

  Draw(red, 320, 180, 200, 100, 80, 44, 0);  // resized: the canvas is blanked once
  EXPECT_TRUE(View().RectIs(200, 100, 80, 44, kRed));
  EXPECT_TRUE(OnlyRectPainted(200, 100, 80, 44));
}

TEST_F(ScalerPaintTest, RefusedSetUpChangesNothing) {
  scaler_.init(640, 480, Rect{100, 50, 320, 180}, 640, 360, 1);
  scaler_.init(640, 480, Rect{-4, 50, 320, 180}, 640, 360, 1);
  scaler_.init(640, 480, Rect{10, 50, 0, 180}, 640, 360, 1);
  scaler_.Pictureinit(640, 360, Rect{10, 50, 320, 180}, 0, 360, 1);
  EXPECT_EQ(scaler_.placed().x, 140);
  EXPECT_EQ(scaler_.placed().w, 240);
  scaler_.SetDrawLimitParam(-1, 10, true);
  EXPECT_EQ(scaler_.draw_limit_y(), 0);
}

TEST(ScalerLibraryTest, MissingLibraryBlanksButNeverPaints) {
  FFmpeg_Sws_cale scaler("libswscale-missing.so.0");
  scaler.init(320, 180, Rect{0, 0, 320, 180}, 320, 180, 0);
  EXPECT_FALSE(scaler.HasContext());
  std::vector<uint8_t> canvas(320 * 180 * 3 / 2, 0x55);
  const std::vector<uint8_t> red = SolidPicture(320, 180, kRed);
  scaler.ScaleAndDraw(red.data(), canvas.data(), 320, 180, Rect{0, 0, 320, 180}, 0, 0);
  EXPECT_TRUE(CanvasView(canvas.data(), 320, 180).RectIs(0, 0, 320, 180, kBlack));
}

TEST(ScalerLibraryTest, LoadsTheInstalledVersionByFileName) {
  EXPECT_EQ(FFmpeg_Sws_cale::DefaultLibraryName().rfind("libswscale.so.", 0), 0u);
  FFmpeg_Sws_cale scaler;
  scaler.init(320, 180, Rect{0, 0, 160, 90}, 320, 180, 0);
  EXPECT_TRUE(scaler.HasContext());
}

}  // namespace
}  // namespace plenova
