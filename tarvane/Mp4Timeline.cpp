#include "tarvane/Mp4Timeline.h"

#include <algorithm>

namespace plenova {

Mp4Timeline::Mp4Timeline(int audio_rate) : audio_rate_(audio_rate > 0 ? audio_rate : 48000) {}

void Mp4Timeline::SetAudioRate(int audio_rate) {
  if (!has_audio_ && audio_rate > 0) audio_rate_ = audio_rate;
}

int64_t Mp4Timeline::Relative(uint64_t stamp_ms) {
  if (!has_origin_) {
    has_origin_ = true;
    origin_ms_ = stamp_ms;
  }
  return stamp_ms > origin_ms_ ? static_cast<int64_t>(stamp_ms - origin_ms_) : 0;
}

int64_t Mp4Timeline::PlaceAudio(uint64_t stamp_ms) {
  const int64_t stamp_samples = Relative(stamp_ms) * audio_rate_ / 1000;
  if (!has_audio_) {
    has_audio_ = true;
    first_audio_ = stamp_samples;
    next_audio_ = stamp_samples + kAacFrameSamples;
    return stamp_samples;
  }
  // The millisecond stamp is rounded; the frame lies on the grid of whole
  // frames from the first one, never before the end of the previous one.
  const int64_t frames = (stamp_samples - first_audio_ + kAacFrameSamples / 2) / kAacFrameSamples;
  int64_t position = first_audio_ + std::max<int64_t>(frames, 0) * kAacFrameSamples;
  if (position > next_audio_) ++audio_gaps_;
  position = std::max(position, next_audio_);
  next_audio_ = position + kAacFrameSamples;
  return position;
}

int64_t Mp4Timeline::PlaceVideo(uint64_t stamp_ms) {
  int64_t position = Relative(stamp_ms) * (kVideoClock / 1000);
  // At least one millisecond after the previous access unit.
  if (has_video_ && position < last_video_ + kVideoClock / 1000) {
    position = last_video_ + kVideoClock / 1000;
  }
  has_video_ = true;
  last_video_ = position;
  return position;
}

}  // namespace plenova
