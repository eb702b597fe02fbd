#pragma once

#include <cstdint>

namespace plenova {

// Puts AAC frames on their frame grid: the first frame where its time says,
// every later one exactly one frame (1024 samples) after the previous,
// unless its time lies more than 3/4 of a frame beyond that slot: then the
// nearest slot, so that a gap in the times stays a gap of whole frames.
// Times that jitter, or run a little slow, keep the frames back to back,
// and every frame lasts exactly 1024 samples. Both outputs (the MP4 file
// and the RTMP stream) place their audio with it.
class AacFrameGrid {
 public:
  static constexpr int kFrameSamples = 1024;

  // The position of a frame whose time is `samples` (at the output's rate,
  // from the output's zero).
  int64_t Place(int64_t samples);
  bool started() const { return started_; }
  // The position of the last frame placed.
  int64_t last() const { return first_ + frames_ * kFrameSamples; }

 private:
  bool started_ = false;
  int64_t first_ = 0;   // position of the first frame: the grid's origin
  int64_t frames_ = 0;  // frames after the first one, of the last placed
};

}  // namespace plenova
