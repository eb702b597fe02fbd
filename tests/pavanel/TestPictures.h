#pragma once

// I420 pictures for the encoder tests and benchmarks.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pavanel_test {

inline size_t I420Size(int width, int height) {
  return static_cast<size_t>(width) * static_cast<size_t>(height) * 3 / 2;
}

// One colour over the whole picture.
inline std::vector<uint8_t> SolidPicture(int width, int height, uint8_t y, uint8_t u, uint8_t v) {
  const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
  std::vector<uint8_t> picture(I420Size(width, height));
  std::fill(picture.begin(), picture.begin() + static_cast<ptrdiff_t>(luma), y);
  std::fill(picture.begin() + static_cast<ptrdiff_t>(luma),
            picture.begin() + static_cast<ptrdiff_t>(luma + luma / 4), u);
  std::fill(picture.begin() + static_cast<ptrdiff_t>(luma + luma / 4), picture.end(), v);
  return picture;
}

// Picture `frame` of a moving scene that keeps an encoder busy: a texture
// drifting across the canvas, a bright bar sweeping it, and grain that
// changes every frame, so that every picture needs fresh bits.
inline void MovingPicture(int width, int height, int frame, std::vector<uint8_t>* picture) {
  picture->resize(I420Size(width, height));
  uint8_t* y_plane = picture->data();
  uint32_t seed = 0x9e3779b9u * static_cast<uint32_t>(frame + 1);
  const int bar = (frame * 7) % width;
  for (int row = 0; row < height; ++row) {
    for (int col = 0; col < width; ++col) {
      seed = seed * 1664525u + 1013904223u;
      const int texture = (((col + 3 * frame) ^ (row + 2 * frame)) & 0x3f) * 2 + 48;
      const int grain = static_cast<int>(seed >> 28) - 8;
      const int lit = (col >= bar && col < bar + width / 16) ? 60 : 0;
      const int value = texture + grain + lit;
      y_plane[static_cast<size_t>(row) * width + col] =
          static_cast<uint8_t>(value < 16 ? 16 : (value > 235 ? 235 : value));
    }
  }
  const int cw = width / 2;
  const int ch = height / 2;
  uint8_t* u_plane = y_plane + static_cast<size_t>(width) * height;
  uint8_t* v_plane = u_plane + static_cast<size_t>(cw) * ch;
  for (int row = 0; row < ch; ++row) {
    for (int col = 0; col < cw; ++col) {
      u_plane[static_cast<size_t>(row) * cw + col] =
          static_cast<uint8_t>(96 + ((col + frame) & 0x3f));
      v_plane[static_cast<size_t>(row) * cw + col] =
          static_cast<uint8_t>(96 + ((row + frame) & 0x3f));
    }
  }
}

}  // namespace pavanel_test
