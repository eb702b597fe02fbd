#pragma once

// The settings record as the engine fills it for a publisher: H.264 at 25 fps
// with the given parameter sets, 16-bit AAC at the given rate and layout.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "wendrel/RtmpPublishParam.h"

namespace plenova::testing {

inline RtmpPublishParam MakePublishParam(int width, int height, const std::vector<uint8_t>& sps_pps,
                                         int rate, int channels) {
  RtmpPublishParam param{};
  param.video_width = width;
  param.video_height = height;
  param.fps = 25;
  param.video_bitrate = 800000;
  param.video_kind = 3;
  const size_t length = std::min(sps_pps.size(), sizeof(param.sps_pps));
  std::copy(sps_pps.begin(), sps_pps.begin() + static_cast<std::ptrdiff_t>(length), param.sps_pps);
  param.sps_pps_len = static_cast<int32_t>(length);
  param.channels = channels;
  param.sampling_per_bits = 16;
  param.sampling_rate = rate;
  param.audio_kind = 2;
  param.audio_bitrate = 64000;
  param.audio_format = 2;
  return param;
}

}  // namespace plenova::testing
