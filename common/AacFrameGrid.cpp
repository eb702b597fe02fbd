#include "common/AacFrameGrid.h"

namespace plenova {

int64_t AacFrameGrid::Place(int64_t samples) {
  if (!started_) {
    started_ = true;
    first_ = samples;
    frames_ = 0;
    return first_;
  }
  int64_t frame = frames_ + 1;
  const int64_t expected = first_ + frame * kFrameSamples;
  if (samples - expected > kFrameSamples * 3 / 4) {
    frame = (samples - first_ + kFrameSamples / 2) / kFrameSamples;
  }
  frames_ = frame;
  return first_ + frame * kFrameSamples;
}

}  // namespace plenova
