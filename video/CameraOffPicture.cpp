#include "video/CameraOffPicture.h"

#include <array>

namespace plenova {
namespace {

struct Colour {
  uint8_t y, u, v;
};

constexpr Colour kGround{34, 132, 124};   // dark blue-grey
constexpr Colour kDisc{27, 132, 125};     // slightly darker disc
constexpr Colour kOutline{70, 135, 121};  // light grey-blue icon lines

// Geometry in pixel coordinates of the 640 x 360 picture (pixel centres at
// integer coordinates). The disc spans columns 254-389 and rows 111-246; the
// icon (lens ring over a small oval stand) columns 291-352 and rows 143-216.
constexpr double kCentreX = 321.5;
constexpr double kDiscCentreY = 178.5;
constexpr double kDiscRadius = 68.0;
constexpr double kLensCentreY = 173.5;
constexpr double kLensOuter = 31.0;
constexpr double kLensInner = 27.0;
constexpr double kPupilOuter = 12.5;
constexpr double kPupilInner = 9.5;
constexpr double kStandCentreY = 212.5;
constexpr double kStandRadiusX = 18.0;
constexpr double kStandRadiusY = 4.0;

bool InEllipse(double dx, double dy, double rx, double ry) {
  return (dx * dx) / (rx * rx) + (dy * dy) / (ry * ry) <= 1.0;
}

Colour ColourAt(double x, double y) {
  const double dx = x - kCentreX;
  const double lens_dy = y - kLensCentreY;
  const double lens_d2 = dx * dx + lens_dy * lens_dy;
  const bool lens_ring = lens_d2 <= kLensOuter * kLensOuter && lens_d2 >= kLensInner * kLensInner;
  const bool pupil_ring =
      lens_d2 <= kPupilOuter * kPupilOuter && lens_d2 >= kPupilInner * kPupilInner;
  const bool neck =
      dx >= -2.5 && dx <= 2.5 && y > kLensCentreY + kLensOuter && y < kStandCentreY - 3.5;
  const double stand_dy = y - kStandCentreY;
  const bool stand = InEllipse(dx, stand_dy, kStandRadiusX, kStandRadiusY) &&
                     !InEllipse(dx, stand_dy, kStandRadiusX - 3.0, kStandRadiusY - 2.0);
  if (lens_ring || pupil_ring || neck || stand) return kOutline;
  const double disc_dy = y - kDiscCentreY;
  if (dx * dx + disc_dy * disc_dy <= kDiscRadius * kDiscRadius) return kDisc;
  return kGround;
}

using Picture = std::array<uint8_t, CameraOffPicture::kSize>;

Picture Draw() {
  Picture picture{};
  constexpr int32_t w = CameraOffPicture::kWidth;
  constexpr int32_t h = CameraOffPicture::kHeight;
  uint8_t* const y_plane = picture.data();
  uint8_t* const u_plane = y_plane + w * h;
  uint8_t* const v_plane = u_plane + w * h / 4;
  for (int32_t row = 0; row < h; ++row) {
    for (int32_t col = 0; col < w; ++col) y_plane[row * w + col] = ColourAt(col, row).y;
  }
  // Each chroma sample takes the colour at the centre of its 2 x 2 block.
  for (int32_t row = 0; row < h / 2; ++row) {
    for (int32_t col = 0; col < w / 2; ++col) {
      const Colour c = ColourAt(col * 2 + 0.5, row * 2 + 0.5);
      u_plane[row * (w / 2) + col] = c.u;
      v_plane[row * (w / 2) + col] = c.v;
    }
  }
  return picture;
}

}  // namespace

const uint8_t* CameraOffPicture::Data() {
  static const Picture picture = Draw();
  return picture.data();
}

}  // namespace plenova
