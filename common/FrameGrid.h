#pragma once

#include <cstdint>

namespace plenova {

// Puts frames of a fixed length on their grid: the first frame where its
// time says, every later one exactly one frame after the previous, unless
// its time lies more than 3/4 of a frame beyond that slot: then the nearest
// slot, so that a gap in the times stays a gap of whole frames. Times that
// jitter, run a little slow or come too close together keep the frames back
// to back, and every frame lasts exactly one frame length. Both outputs (the
// MP4 file and the RTMP stream) place their AAC frames (1024 samples) and
// their pictures (40 ms) with it.
class FrameGrid {
 public:
  // Samples in an AAC frame.
  static constexpr int64_t kAacFrame = 1024;
  // A picture at 25 frames a second, in 90 kHz ticks.
  static constexpr int64_t kVideoFrame90k = 3600;

  // `frame`: the frame length in the unit of the positions (at least 1).
  explicit FrameGrid(int64_t frame) : frame_(frame > 0 ? frame : 1) {}

  // The position of a frame whose time is `time` (in the unit of the
  // positions, from the output's zero).
  int64_t Place(int64_t time);
  bool started() const { return started_; }
  // The position of the last frame placed.
  int64_t last() const { return first_ + frames_ * frame_; }
  // Forgets every frame placed: the next one starts the grid again.
  void Reset() { started_ = false; }

 private:
  int64_t frame_;
  bool started_ = false;
  int64_t first_ = 0;   // position of the first frame: the grid's origin
  int64_t frames_ = 0;  // frames after the first one, of the last placed
};

}  // namespace plenova
