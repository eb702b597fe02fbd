#pragma once

// Places the samples of one recording on the file's timelines, counted from
// the first sample of either kind. Audio lies on the grid of whole AAC
// frames from the first audio frame, so that every frame lasts exactly 1024
// samples although its millisecond stamp is rounded; a stamp a frame or
// more beyond the previous one opens a gap. Video is placed by its stamp in
// 90 kHz units. Every track's positions are strictly increasing.

#include <cstdint>

namespace plenova {

class Mp4Timeline {
 public:
  static constexpr int kAacFrameSamples = 1024;
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
  int64_t first_audio_ = 0;    // samples
  int64_t next_audio_ = 0;     // samples
  bool has_video_ = false;
  int64_t last_video_ = 0;     // 90 kHz ticks
  int audio_gaps_ = 0;
};

}  // namespace plenova
