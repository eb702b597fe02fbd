#include "tools/plenova-record/MeetingPlan.h"

#include <algorithm>

#include "tools/plenova-record/ParticipantSource.h"

namespace plenova::record {

MeetingPlan::MeetingPlan(const RecordOptions& o) {
  const int total = o.TotalParticipants();
  const std::vector<Rect> rects = ComputeLayout(o.layout, total, o.canvas_w, o.canvas_h);
  for (int i = 0; i < total; ++i) {
    Participant p;
    p.number = i + 1;
    p.stream_id = "participant-" + std::to_string(p.number);
    if (i < static_cast<int>(o.inputs.size())) p.input = o.inputs[i];
    p.camera_on =
        std::find(o.camera_off.begin(), o.camera_off.end(), p.number) == o.camera_off.end();
    p.heard = i < kMaxAudioStreams;
    p.rect = rects[i];
    participants_.push_back(p);
  }
  // The records point at the stream ids above, which no longer move.
  const int video_type = o.crop ? 0 : 1;
  for (const Participant& p : participants_) {
    if (p.heard) audio_info_.push_back({o.channels, 16, o.sample_rate, p.stream_id.c_str()});
    if (p.camera_on) {
      video_info_.push_back({kVideoFps, o.source_h, o.source_w, p.stream_id.c_str(), p.rect.h,
                             p.rect.w, p.rect.x, p.rect.y, video_type});
    } else {
      pictures_info_.push_back({kVideoFps, kPictureHeight, kPictureWidth, p.stream_id.c_str(),
                                p.rect.h, p.rect.w, p.rect.x, p.rect.y, video_type});
    }
  }
  audio_ = {audio_info_.data(),    static_cast<int32_t>(audio_info_.size()),
            kAudioFramesPerSecond, o.channels,
            o.sample_rate,         16};
  video_ = {static_cast<int32_t>(video_info_.size()), video_info_.data()};
  pictures_ = {static_cast<int32_t>(pictures_info_.size()), pictures_info_.data()};
}

}  // namespace plenova::record
