#pragma once

#include <cstdint>

#include "api/Plenova.h"
#include "log/PlenovaLog.h"
#include "output/AVStreamInitParam.h"

namespace plenova {

// The settings a client gives the recorder, written to the engine log as
// accepted, one field a line, so that a support case can be read back from
// the log. URLs and stream names are masked. Control threads.
void LogAudioParam(const AudioParam& a);
void LogVideoParam(const VideoParam& v);
void LogAudioLayout(const AudioStreamInfoUpdate& u);
void LogStreamInitParam(const AVStreamInitParam& p);

// A video or picture layout (VideoStreamInfo or PictureStreamInfo entries).
template <class Entry>
void LogVideoEntries(const char* title, const Entry* entries, int32_t count) {
  PLN_LOG_ERROR("%s", title);
  PLN_RAW_ERROR("video->InUseStreamCount=%d", count);
  for (int i = 0; i < count; ++i) {
    const Entry& e = entries[i];
    PLN_RAW_ERROR("video->vstreaminfo[%d].fps=%d", i, e.fps);
    PLN_RAW_ERROR("video->vstreaminfo[%d].source_w=%d", i, e.source_w);
    PLN_RAW_ERROR("video->vstreaminfo[%d].source_h=%d", i, e.source_h);
    PLN_RAW_ERROR("video->vstreaminfo[%d].target_w=%d", i, e.target_w);
    PLN_RAW_ERROR("video->vstreaminfo[%d].target_h=%d", i, e.target_h);
    PLN_RAW_ERROR("video->vstreaminfo[%d].x_position_in_target_frame=%d", i,
                  e.x_position_in_target_frame);
    PLN_RAW_ERROR("video->vstreaminfo[%d].y_position_in_target_frame=%d", i,
                  e.y_position_in_target_frame);
    PLN_RAW_ERROR("video->vstreaminfo[%d].videoType=%d", i, e.videoType);
  }
}

}  // namespace plenova
