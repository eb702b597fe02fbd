#pragma once

// Where each participant goes on the canvas. Every rectangle lies inside the
// canvas and has even position and size, so I420 chroma lines up.

#include <vector>

#include "tools/plenova-record/Options.h"

namespace plenova::record {

struct Rect {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
};

// Rows and columns of equal cells (columns = ceil(sqrt(n))), the grid centred
// on the canvas and a short last row centred within it. n from 1 to 20.
std::vector<Rect> GridLayout(int n, int canvas_w, int canvas_h);

// Participant 1 fills the canvas; the others are insets of the canvas's
// shape stacked down the right edge from the top-right corner, column beside
// column, shrunk until the block fits in the right half. n from 1 to 20.
std::vector<Rect> SpeakerLayout(int n, int canvas_w, int canvas_h);

std::vector<Rect> ComputeLayout(LayoutKind kind, int n, int canvas_w, int canvas_h);

}  // namespace plenova::record
