#pragma once

#include <cstdint>

namespace plenova {

// Where the samples of one output (an MP4 file, an RTMP connection) go,
// from their own 90 kHz stamps: the output's zero is the stamp of the first
// video key frame written to it; a sample's time is (stamp - zero) / 90
// milliseconds. Video before that key frame and audio stamped before the
// zero are not written; audio that comes before the key frame (the sync
// stage sends audio ahead) is held until the key frame tells whether it
// falls after the zero. Pure bookkeeping: the caller keeps the samples. The
// MP4 file and the RTMP stream count their times the same way, so they
// agree.
//
// When the engine's timeline starts again (an engine restart while the
// output runs, or stamps that jump back or more than kMaxJumpMs ahead), the
// output goes on: the next video key frame continues it one frame after the
// last video written, and everything after is counted from there.
class OutputTimeline {
 public:
  // What to do with a sample.
  enum class Verdict {
    kWrite,  // at Ms(stamp)
    kHold,   // audio before the key frame that places it; ask again then
    kDrop,
  };

  static constexpr uint64_t kTicksPerMs = 90;
  // One video frame at the output rate.
  static constexpr uint64_t kFrameMs = 40;
  // Stamps further ahead of the last video than this are a new timeline.
  static constexpr uint64_t kMaxJumpMs = 60 * 1000;

  Verdict Video(uint64_t stamp, bool key);
  Verdict Audio(uint64_t stamp);
  // The time of a sample that got kWrite, in milliseconds of the file.
  uint64_t Ms(uint64_t stamp) const;

  // The engine's timeline starts again: hold audio and wait for a key frame.
  void Restart();

  bool anchored() const { return anchored_; }

 private:
  void Anchor(uint64_t stamp);

  bool anchored_ = false;    // a key frame placed the current timeline
  bool has_video_ = false;   // video was written to the file
  uint64_t zero_ = 0;        // stamp of the key frame that placed the timeline
  uint64_t base_ms_ = 0;     // its time in the file
  uint64_t last_video_ = 0;  // stamp of the last video written
  uint64_t last_video_ms_ = 0;
  bool has_audio_ = false;   // audio written since the timeline was placed
  uint64_t last_audio_ = 0;  // its stamp
};

}  // namespace plenova
