#pragma once

#include <cstdint>

namespace plenova {

// The built-in "camera off" placeholder shown in picture slots: a 640 x 360
// I420 picture, drawn once on first use and constant for the life of the
// program.
struct CameraOffPicture {
  static constexpr int32_t kWidth = 640;
  static constexpr int32_t kHeight = 360;
  static constexpr int32_t kSize = kWidth * kHeight * 3 / 2;

  // The picture's kSize bytes (Y, then U, then V). Safe from any thread.
  static const uint8_t* Data();
};

}  // namespace plenova
