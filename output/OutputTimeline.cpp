#include "output/OutputTimeline.h"

namespace plenova {

void OutputTimeline::Anchor(uint64_t stamp) {
  anchored_ = true;
  zero_ = stamp;
  // The first key frame is the file's zero; a later timeline goes on one
  // frame after the last picture.
  base_ms_ = has_video_ ? last_video_ms_ + kFrameMs : 0;
  has_audio_ = false;
}

OutputTimeline::Verdict OutputTimeline::Video(uint64_t stamp, bool key) {
  // After the key frame that placed it, a timeline's pictures come later,
  // and not by more than kMaxJumpMs.
  const bool fits =
      anchored_ && stamp > last_video_ && stamp - last_video_ <= kMaxJumpMs * kTicksPerMs;
  if (!fits) {
    // A key frame starts the next timeline; any other picture waits for it.
    if (!key) return Verdict::kDrop;
    Anchor(stamp);
  }
  has_video_ = true;
  last_video_ = stamp;
  last_video_ms_ = Ms(stamp);
  return Verdict::kWrite;
}

OutputTimeline::Verdict OutputTimeline::Audio(uint64_t stamp) {
  if (!anchored_) return Verdict::kHold;
  if (stamp < zero_) return Verdict::kDrop;
  if (has_audio_ && stamp <= last_audio_) return Verdict::kDrop;
  // Far ahead of the pictures: not on this timeline either.
  if (stamp > last_video_ && stamp - last_video_ > kMaxJumpMs * kTicksPerMs) return Verdict::kDrop;
  has_audio_ = true;
  last_audio_ = stamp;
  return Verdict::kWrite;
}

uint64_t OutputTimeline::Ms(uint64_t stamp) const {
  return base_ms_ + (stamp >= zero_ ? (stamp - zero_) / kTicksPerMs : 0);
}

void OutputTimeline::Restart() { anchored_ = false; }

}  // namespace plenova
