#pragma once

#include <cstdint>

#include "common/Rect.h"

namespace plenova {

// One element of a video or picture layout as the compositor takes it: the
// stream's source size and rate and its rectangle on the canvas. Pictures
// carry no id (streamId stays empty).
struct VideoMixStreamInfo {
  static constexpr int kStreamIdSize = 256;

  int32_t source_h = 0;
  int32_t source_w = 0;
  Rect target;                        // on the canvas
  char streamId[kStreamIdSize] = {};  // NUL-terminated, at most 255 characters
  int32_t fps = 0;
  int32_t videoType = 0;  // 1 letterbox fit, otherwise centred crop
};

}  // namespace plenova
