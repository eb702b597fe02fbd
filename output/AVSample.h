#pragma once

#include <cstdint>

#include "common/PoolBuffer.h"

namespace plenova {

// Stream types of encoded samples.
constexpr uint32_t kStreamTypeVideo = 0;
constexpr uint32_t kStreamTypeAudio = 1;

// One encoded sample on its way from the sync stage to the outputs. The
// buffer carries the bytes (`data`, `len`), the 90 kHz `timestamp` and the
// arrival `tick`.
struct AVSample {
  uint32_t streamType = kStreamTypeVideo;  // kStreamTypeVideo or kStreamTypeAudio
  uint8_t isKeyFrame = 0;                  // H.264 key frame; meaningless for audio
  PoolBuffer* buffer = nullptr;
};

}  // namespace plenova
