#include "tarvane/Mp4Timeline.h"

#include <algorithm>
#include <cmath>

namespace plenova {
namespace {

// Weight of a new audio offset in the smoothed one: enough to follow clock
// drift within a second, little enough to ignore the jitter of one stamp.
constexpr double kOffsetSmoothing = 1.0 / 16;

}  // namespace

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
  const int64_t relative_ms = Relative(stamp_ms);
  const int64_t stamp_samples = relative_ms * audio_rate_ / 1000;
  const int64_t gap_samples = kAudioGapMs * audio_rate_ / 1000;
  bool reset_offset = !has_audio_;
  if (stamp_samples - next_audio_ > gap_samples) {
    if (has_audio_) ++audio_gaps_;
    next_audio_ = stamp_samples;
    reset_offset = true;
  }
  has_audio_ = true;
  const int64_t position = next_audio_;
  next_audio_ += kAacFrameSamples;

  const double offset_ms = static_cast<double>(position) * 1000.0 / audio_rate_ -
                           static_cast<double>(relative_ms);
  if (reset_offset) {
    audio_offset_ms_ = offset_ms;
  } else {
    audio_offset_ms_ += (offset_ms - audio_offset_ms_) * kOffsetSmoothing;
  }
  return position;
}

int64_t Mp4Timeline::PlaceVideo(uint64_t stamp_ms) {
  const double placed_ms =
      static_cast<double>(Relative(stamp_ms)) + (has_audio_ ? audio_offset_ms_ : 0.0);
  int64_t position = std::llround(std::max(0.0, placed_ms) * (kVideoClock / 1000));
  // At least one millisecond after the previous access unit.
  if (has_video_ && position < last_video_ + kVideoClock / 1000) {
    position = last_video_ + kVideoClock / 1000;
  }
  has_video_ = true;
  last_video_ = position;
  return position;
}

}  // namespace plenova
