#include "video/FFmpeg_Sws_cale.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "tests/video/VideoTestSupport.h"

namespace plenova {
namespace {

using testing::CanvasView;
using testing::kBlack;
using testing::kGreen;
using testing::kRed;
using testing::SolidPicture;
using testing::Yuv;

struct Geometry {
  int src_w, src_h;
  Rect target;
  int type;
  Rect placed;
  int crop_w, crop_h;  // checked in crop mode only
};

class ScalerGeometryTest : public ::testing::TestWithParam<Geometry> {};

TEST_P(ScalerGeometryTest, PaintedRectangleAndCrop) {
  const Geometry& g = GetParam();
  FFmpeg_Sws_cale scaler;
  scaler.init(g.src_w, g.src_h, g.target, 1920, 1080, g.type);
  EXPECT_EQ(scaler.placed(), g.placed);
  if (g.type != 1) {
    EXPECT_EQ(scaler.crop_width(), g.crop_w);
    EXPECT_EQ(scaler.crop_height(), g.crop_h);
  }
  EXPECT_TRUE(scaler.HasContext());
}

INSTANTIATE_TEST_SUITE_P(
    FitAndCrop, ScalerGeometryTest,
    ::testing::Values(
        // 4:3 into 16:9, fitted: 240 wide, 40 in from the left.
        Geometry{640, 480, {100, 50, 320, 180}, 1, {140, 50, 240, 180}, 0, 0},
        // Portrait into landscape, fitted: 135 wide, centred.
        Geometry{480, 640, {0, 0, 320, 180}, 1, {92, 0, 135, 180}, 0, 0},
        // Wide into a taller box, fitted: 180 high, 30 down.
        Geometry{640, 360, {10, 20, 320, 240}, 1, {10, 50, 320, 180}, 0, 0},
        // Exact aspect: the whole target.
        Geometry{640, 360, {8, 8, 320, 180}, 1, {8, 8, 320, 180}, 0, 0},
        // 4:3 cropped to 16:9: 60 rows off each side.
        Geometry{640, 480, {100, 50, 320, 180}, 0, {100, 50, 320, 180}, 640, 360},
        // CIF cropped: 198 rounded to 196 so each side loses an even count.
        Geometry{352, 288, {0, 0, 320, 180}, 0, {0, 0, 320, 180}, 352, 196},
        // Wide source cropped to a square: 720 columns of 1280.
        Geometry{1280, 720, {0, 0, 320, 320}, 0, {0, 0, 320, 320}, 720, 720},
        // Wide source, width rounding: 675 becomes 672.
        Geometry{1280, 720, {0, 0, 300, 320}, 0, {0, 0, 300, 320}, 672, 720},
        // Same aspect: nothing cropped.
        Geometry{1280, 720, {0, 0, 640, 360}, 0, {0, 0, 640, 360}, 1280, 720}));

// A scaler and a canvas of cw x ch filled with 0x55 (to see the first paint
// blank it).
class ScalerPaintTest : public ::testing::Test {
 protected:
  void SetUpCanvas(int cw, int ch) {
    cw_ = cw;
    ch_ = ch;
    canvas_.assign(static_cast<size_t>(cw) * ch * 3 / 2, 0x55);
  }
  void Draw(const std::vector<uint8_t>& src, int sw, int sh, const Rect& target, int type,
            uint32_t orientation = FFmpeg_Sws_cale::kTopDown) {
    scaler_.ScaleAndDraw(src.data(), canvas_.data(), sw, sh, target, type, orientation);
  }
  CanvasView View() const { return CanvasView(canvas_.data(), cw_, ch_); }
  // The rectangle is `c` and everything else black.
  bool OnlyRectPainted(const Rect& r, Yuv c = kRed) const {
    const CanvasView v = View();
    if (!v.RectIs(r.x, r.y, r.w, r.h, c)) return false;
    for (int y = 0; y < ch_; ++y) {
      for (int x = 0; x < cw_; ++x) {
        const bool inside = x >= r.x && x < r.Right() && y >= r.y && y < r.Bottom();
        const Yuv p = v.At(x, y);
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

// A green source whose `kept` part is red: the fit keeps all of it, a crop
// only the centred part, and nothing of the green reaches the canvas.
struct PaintCase {
  const char* name;
  int sw, sh;
  Rect kept;  // of the source
  Rect target;
  int type;
  Rect painted;
};
class ScalerPaintCaseTest : public ScalerPaintTest,
                            public ::testing::WithParamInterface<PaintCase> {};

TEST_P(ScalerPaintCaseTest, OnlyTheKeptPartLandsInThePaintedRectangle) {
  const PaintCase& c = GetParam();
  SetUpCanvas(640, 360);
  std::vector<uint8_t> src = SolidPicture(c.sw, c.sh, kGreen);
  testing::PaintRect(src, c.sw, c.sh, c.kept, kRed);
  scaler_.init(c.sw, c.sh, c.target, 640, 360, c.type);
  Draw(src, c.sw, c.sh, c.target, c.type);
  EXPECT_EQ(View().BoxOf(kRed.y), c.painted);
  EXPECT_TRUE(OnlyRectPainted(c.painted));
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ScalerPaintCaseTest,
    ::testing::Values(
        PaintCase{
            "Letterbox", 640, 480, {0, 0, 640, 480}, {100, 50, 320, 180}, 1, {140, 50, 240, 180}},
        PaintCase{
            "CropDropsRows", 640, 480, {0, 60, 640, 360}, {0, 0, 320, 180}, 0, {0, 0, 320, 180}},
        PaintCase{"CropDropsColumns",
                  1280,
                  720,
                  {280, 0, 720, 720},
                  {0, 0, 180, 180},
                  0,
                  {0, 0, 180, 180}}),
    [](const auto& info) { return std::string(info.param.name); });

class ScalerClipTest : public ScalerPaintTest, public ::testing::WithParamInterface<Rect> {};

// Run under ASan: the canvas is sized exactly, so any write past it shows.
TEST_P(ScalerClipTest, OnlyTheVisiblePartIsPainted) {
  const Rect& t = GetParam();
  SetUpCanvas(320, 180);
  scaler_.init(160, 90, t, 320, 180, 0);
  const Rect visible{t.x, t.y, std::max(0, std::min(t.x + t.w, 320) - t.x),
                     std::max(0, std::min(t.y + t.h, 180) - t.y)};
  for (uint32_t orientation : {FFmpeg_Sws_cale::kTopDown, FFmpeg_Sws_cale::kBottomUp}) {
    Draw(SolidPicture(160, 90, kRed), 160, 90, t, 0, orientation);
    EXPECT_TRUE(OnlyRectPainted(visible)) << orientation;
  }
}

INSTANTIATE_TEST_SUITE_P(PastTheEdges, ScalerClipTest,
                         ::testing::Values(Rect{200, 40, 160, 90},    // past the right edge
                                           Rect{40, 120, 160, 90},    // past the bottom
                                           Rect{240, 130, 160, 90},   // past both
                                           Rect{400, 40, 160, 90},    // entirely right of it
                                           Rect{40, 200, 160, 90}));  // entirely below it

TEST_F(ScalerPaintTest, MovingKeepsTheCanvasResizingBlanksIt) {
  SetUpCanvas(640, 360);
  const std::vector<uint8_t> red = SolidPicture(320, 180, kRed);
  scaler_.init(320, 180, {0, 0, 160, 90}, 640, 360, 0);
  Draw(red, 320, 180, {0, 0, 160, 90}, 0);
  Draw(red, 320, 180, {200, 0, 160, 90}, 0);  // moved: the old picture stays
  EXPECT_TRUE(View().RectIs(0, 0, 160, 90, kRed));
  EXPECT_TRUE(View().RectIs(200, 0, 160, 90, kRed));

  Draw(red, 320, 180, {200, 100, 80, 44}, 0);  // resized: the canvas is blanked once
  EXPECT_TRUE(OnlyRectPainted({200, 100, 80, 44}));
}

}  // namespace
}  // namespace plenova
