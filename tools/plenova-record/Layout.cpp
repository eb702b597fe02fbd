#include "tools/plenova-record/Layout.h"

#include <algorithm>
#include <cmath>

namespace plenova::record {
namespace {

int Even(int v) { return v - v % 2; }

}  // namespace

std::vector<Rect> GridLayout(int n, int canvas_w, int canvas_h) {
  std::vector<Rect> rects;
  if (n < 1) return rects;
  const int cols = static_cast<int>(std::ceil(std::sqrt(static_cast<double>(n))));
  const int rows = (n + cols - 1) / cols;
  const int cell_w = Even(canvas_w / cols);
  const int cell_h = Even(canvas_h / rows);
  const int y0 = Even((canvas_h - rows * cell_h) / 2);
  for (int i = 0; i < n; ++i) {
    const int row = i / cols;
    const int col = i % cols;
    const int in_row = std::min(cols, n - row * cols);
    const int x0 = Even((canvas_w - in_row * cell_w) / 2);
    rects.push_back({x0 + col * cell_w, y0 + row * cell_h, cell_w, cell_h});
  }
  return rects;
}

std::vector<Rect> SpeakerLayout(int n, int canvas_w, int canvas_h) {
  std::vector<Rect> rects;
  if (n < 1) return rects;
  rects.push_back({0, 0, Even(canvas_w), Even(canvas_h)});
  const int insets = n - 1;
  if (insets == 0) return rects;
  const int margin = std::max(2, Even(canvas_w / 80));
  // Columns from the right edge leftwards, each filled from the top down.
  // Start at a sixth of the canvas width and shrink until the block of
  // columns fits in the right half, so the speaker's face stays free.
  for (int w = Even(canvas_w / 6); w >= 2; w -= 2) {
    const int h = std::max(2, Even(w * canvas_h / canvas_w));
    const int per_column = (canvas_h - margin) / (h + margin);
    if (per_column < 1) continue;
    const int columns = (insets + per_column - 1) / per_column;
    if (margin + columns * (w + margin) > canvas_w / 2) continue;
    for (int i = 0; i < insets; ++i) {
      const int column = i / per_column;
      const int row = i % per_column;
      rects.push_back({canvas_w - (column + 1) * (w + margin), margin + row * (h + margin), w, h});
    }
    return rects;
  }
  return rects;
}

std::vector<Rect> ComputeLayout(LayoutKind kind, int n, int canvas_w, int canvas_h) {
  return kind == LayoutKind::kSpeaker ? SpeakerLayout(n, canvas_w, canvas_h)
                                      : GridLayout(n, canvas_w, canvas_h);
}

}  // namespace plenova::record
