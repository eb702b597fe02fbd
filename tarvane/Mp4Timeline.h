#pragma once

// Places the samples of one recording on the file's tracks from their
// millisecond times. The file's zero is the time of its first video key
// frame (of its first audio frame when it has no video): nothing is placed
// before it, so the muxer never sees a negative timestamp. Both tracks go on
// their frame grids (FrameGrid): video on the 40 ms grid from the zero,
// audio on the AAC frame grid counted from the file's first audio frame, so
// every picture lasts exactly 40 ms and every AAC frame exactly 1024
// samples; a real gap in the times stays a gap of whole frames.
// Each track's positions strictly increase. A sample further than
// kMaxStepMs after the previous one of its track is not placed: the muxer
// counts a sample's duration in 32 bits.

#include <cstdint>

#include "common/FrameGrid.h"

namespace plenova {

class Mp4Timeline {
 public:
  static constexpr int kAacFrameSamples = static_cast<int>(FrameGrid::kAacFrame);
  static constexpr int kVideoClock = 90000;
  // One hour.
  static constexpr int64_t kMaxStepMs = 3600 * 1000;

  // `audio_rate` in Hz; anything below 1 counts as 48000.
  explicit Mp4Timeline(int audio_rate);

  // Changes the audio rate; only before the first audio frame is placed.
  void SetAudioRate(int audio_rate);

  // Makes `ms` the file's zero; only the first call counts.
  void SetZero(uint64_t ms);
  bool has_zero() const { return has_zero_; }

  // The position of a video access unit at `ms`, in 90 kHz ticks from the
  // zero. False when it cannot be placed: no zero yet, before the zero, or
  // too far after the previous one.
  bool PlaceVideo(uint64_t ms, int64_t* position);
  // The position of an AAC frame at `ms`, in samples of the audio rate from
  // the zero; false as for video.
  bool PlaceAudio(uint64_t ms, int64_t* position);

 private:
  int audio_rate_;
  bool has_zero_ = false;
  uint64_t zero_ms_ = 0;
  FrameGrid video_{FrameGrid::kVideoFrame90k};  // 90 kHz ticks
  FrameGrid audio_{FrameGrid::kAacFrame};       // samples
};

}  // namespace plenova
