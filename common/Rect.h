#pragma once

#include <cstdint>

namespace plenova {

// A rectangle on a canvas, in pixels: top-left corner (x, y), width w and
// height h. Sums are taken in 64 bits, so corners near the int32 limits
// never wrap.
struct Rect {
  int32_t x = 0;
  int32_t y = 0;
  int32_t w = 0;
  int32_t h = 0;

  int64_t Right() const { return int64_t{x} + w; }
  int64_t Bottom() const { return int64_t{y} + h; }

  friend bool operator==(const Rect&, const Rect&) = default;
};

// Whether two rectangles share at least one pixel.
inline bool Overlap(const Rect& a, const Rect& b) {
  return a.x < b.Right() && b.x < a.Right() && a.y < b.Bottom() && b.y < a.Bottom();
}

}  // namespace plenova
