#pragma once

// Who takes part and where each one shows, turned into the engine's layout
// records. Media files come first, then the synthetic participants; a
// participant whose camera is off becomes a picture slot; only the first five
// participants are heard (the engine mixes at most five audio streams).

#include <memory>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "tools/plenova-record/Layout.h"
#include "tools/plenova-record/Options.h"

namespace plenova::record {

constexpr int kMaxAudioStreams = 5;
// The engine's camera-off picture is 640 x 360.
constexpr int kPictureWidth = 640;
constexpr int kPictureHeight = 360;

struct Participant {
  int number = 0;  // 1-based
  std::string stream_id;
  std::string input;  // media file; empty: synthetic
  bool camera_on = true;
  bool heard = true;
  Rect rect;
};

// Owns the records and the strings they point to; not copyable, since the
// records point into it.
class MeetingPlan {
 public:
  explicit MeetingPlan(const RecordOptions& options);
  MeetingPlan(const MeetingPlan&) = delete;
  MeetingPlan& operator=(const MeetingPlan&) = delete;

  const std::vector<Participant>& participants() const { return participants_; }
  AudioStreamInfoUpdate* audio() { return &audio_; }
  VideoStreamInfoUpdate* video() { return &video_; }
  // Null when every camera is on.
  PictureStreamInfoUpdate* pictures() { return pictures_info_.empty() ? nullptr : &pictures_; }

 private:
  std::vector<Participant> participants_;
  std::vector<AudioStreamInfo> audio_info_;
  std::vector<VideoStreamInfo> video_info_;
  std::vector<PictureStreamInfo> pictures_info_;
  AudioStreamInfoUpdate audio_{};
  VideoStreamInfoUpdate video_{};
  PictureStreamInfoUpdate pictures_{};
};

}  // namespace plenova::record
