#pragma once

// Places the samples of one recording on the file's timelines. The audio
// track follows the AAC frame count, so it stays continuous whatever jitter
// the millisecond stamps carry; a stamp far ahead of the frame count is a
// real gap and moves the audio on. Video is placed by its stamp, corrected by
// the smoothed distance between the audio timeline and the audio stamps, so
// it stays against the audio it was captured with. Every track's positions
// are strictly increasing.

#include <cstdint>

namespace plenova {

class Mp4Timeline {
 public:
  static constexpr int kAacFrameSamples = 1024;
  // Audio stamps this far ahead of the frame count open a gap.
  static constexpr int64_t kAudioGapMs = 300;
  static constexpr int kVideoClock = 90000;

  // `audio_rate` in Hz (> 0).
  explicit Mp4Timeline(int audio_rate);

  // Changes the audio rate; only before the first audio frame is placed.
  void SetAudioRate(int audio_rate);

  // The position, in samples of the audio rate, of an AAC frame stamped
  // `stamp_ms`.
  int64_t PlaceAudio(uint64_t stamp_ms);
  // The position, in 90 kHz ticks, of a video access unit stamped `stamp_ms`.
  int64_t PlaceVideo(uint64_t stamp_ms);

  // Gaps opened in the audio track.
  int audio_gaps() const { return audio_gaps_; }

 private:
  int64_t Relative(uint64_t stamp_ms);

  int audio_rate_;
  bool has_origin_ = false;
  uint64_t origin_ms_ = 0;     // stamp of the first sample of either kind
  bool has_audio_ = false;
  int64_t next_audio_ = 0;     // samples
  double audio_offset_ms_ = 0;  // smoothed audio timeline minus audio stamp
  bool has_video_ = false;
  int64_t last_video_ = 0;     // 90 kHz ticks
  int audio_gaps_ = 0;
};

}  // namespace plenova
