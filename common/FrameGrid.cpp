#include "common/FrameGrid.h"

namespace plenova {

int64_t FrameGrid::Place(int64_t time) {
  if (!started_) {
    started_ = true;
    first_ = time;
    frames_ = 0;
    return first_;
  }
  int64_t frame = frames_ + 1;
  const int64_t expected = first_ + frame * frame_;
  if (time - expected > frame_ * 3 / 4) frame = (time - first_ + frame_ / 2) / frame_;
  frames_ = frame;
  return first_ + frame * frame_;
}

}  // namespace plenova
