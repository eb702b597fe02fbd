#include "tarvane/Mp4Timeline.h"

namespace plenova {

Mp4Timeline::Mp4Timeline(int audio_rate) : audio_rate_(audio_rate > 0 ? audio_rate : 48000) {}

void Mp4Timeline::SetAudioRate(int audio_rate) {
  if (!audio_.started() && audio_rate > 0) audio_rate_ = audio_rate;
}

void Mp4Timeline::SetZero(uint64_t ms) {
  if (has_zero_) return;
  has_zero_ = true;
  zero_ms_ = ms;
}

bool Mp4Timeline::PlaceVideo(uint64_t ms, int64_t* position) {
  if (!has_zero_ || ms < zero_ms_) return false;
  const uint64_t relative_ms = ms - zero_ms_;
  const int64_t last_ms = video_.started() ? video_.last() / (kVideoClock / 1000) : 0;
  if (relative_ms > static_cast<uint64_t>(last_ms + kMaxStepMs)) return false;
  *position = video_.Place(static_cast<int64_t>(relative_ms) * (kVideoClock / 1000));
  return true;
}

bool Mp4Timeline::PlaceAudio(uint64_t ms, int64_t* position) {
  if (!has_zero_ || ms < zero_ms_) return false;
  const uint64_t relative_ms = ms - zero_ms_;
  const int64_t last_ms = audio_.started() ? audio_.last() * 1000 / audio_rate_ : 0;
  if (relative_ms > static_cast<uint64_t>(last_ms + kMaxStepMs)) return false;
  // Rounded to the nearest sample.
  const auto samples =
      static_cast<int64_t>((relative_ms * static_cast<uint64_t>(audio_rate_) + 500) / 1000);
  *position = audio_.Place(samples);
  return true;
}

}  // namespace plenova
