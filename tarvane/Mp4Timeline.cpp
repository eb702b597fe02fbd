#include "tarvane/Mp4Timeline.h"

namespace plenova {

Mp4Timeline::Mp4Timeline(int audio_rate) : audio_rate_(audio_rate > 0 ? audio_rate : 48000) {}

void Mp4Timeline::SetAudioRate(int audio_rate) {
  if (!has_audio_ && audio_rate > 0) audio_rate_ = audio_rate;
}

void Mp4Timeline::SetZero(uint64_t ms) {
  if (has_zero_) return;
  has_zero_ = true;
  zero_ms_ = ms;
}

bool Mp4Timeline::PlaceVideo(uint64_t ms, int64_t* position) {
  if (!has_zero_ || ms < zero_ms_) return false;
  const uint64_t relative_ms = ms - zero_ms_;
  const int64_t last_ms = has_video_ ? last_video_ / (kVideoClock / 1000) : 0;
  if (relative_ms > static_cast<uint64_t>(last_ms + kMaxStepMs)) return false;
  int64_t placed = static_cast<int64_t>(relative_ms) * (kVideoClock / 1000);
  // At least one millisecond after the previous access unit.
  if (has_video_ && placed <= last_video_) placed = last_video_ + kVideoClock / 1000;
  has_video_ = true;
  last_video_ = placed;
  *position = placed;
  return true;
}

bool Mp4Timeline::PlaceAudio(uint64_t ms, int64_t* position) {
  if (!has_zero_ || ms < zero_ms_) return false;
  const uint64_t relative_ms = ms - zero_ms_;
  // Rounded to the nearest sample.
  const auto to_samples = [this](uint64_t value_ms) {
    return static_cast<int64_t>((value_ms * static_cast<uint64_t>(audio_rate_) + 500) / 1000);
  };
  if (!has_audio_) {
    if (relative_ms > static_cast<uint64_t>(kMaxStepMs)) return false;
    has_audio_ = true;
    first_audio_ = to_samples(relative_ms);
    last_frame_ = 0;
    *position = first_audio_;
    return true;
  }
  const int64_t last_position = first_audio_ + last_frame_ * kAacFrameSamples;
  const int64_t last_ms = last_position * 1000 / audio_rate_;
  if (relative_ms > static_cast<uint64_t>(last_ms + kMaxStepMs)) return false;
  const int64_t samples = to_samples(relative_ms);
  // The next slot of the grid, unless the time lies clearly beyond it: then
  // the nearest slot, and the frames in between stay empty. Times that
  // jitter by less than that keep the frames back to back.
  int64_t frame = last_frame_ + 1;
  const int64_t expected = first_audio_ + frame * kAacFrameSamples;
  if (samples - expected > kAacFrameSamples * 3 / 4) {
    frame = (samples - first_audio_ + kAacFrameSamples / 2) / kAacFrameSamples;
  }
  last_frame_ = frame;
  *position = first_audio_ + frame * kAacFrameSamples;
  return true;
}

}  // namespace plenova
