#pragma once

// Contract of the A/V sync buffer as the encoders and the controller use it.
// The class itself is completed by its implementation.

#include <cstdint>

#include "common/MemoryPool.h"

namespace plenova {

// Result of AVSynBuffer::GetData; created on the heap, deleted by the caller.
struct SynGetResult;

class AVSynBuffer {
 public:
  AVSynBuffer();
  ~AVSynBuffer();

  bool InitBuffer(MemoryPool* pool);

  // Copies one encoded sample into a pool block and queues it. streamType 0
  // video (fps, spsPpsLen, spsPps, isKeyFrame used), 1 audio (channels,
  // sampling_per_bits, sampling_rate, audioFps used). Producer threads.
  bool PutData(const uint8_t* data, int32_t len, uint64_t timestamp, int32_t streamType,
               uint32_t fps, int32_t spsPpsLen, const uint8_t* spsPps, uint8_t isKeyFrame,
               uint32_t channels, uint32_t sampling_per_bits, uint32_t sampling_rate,
               uint32_t audioFps, uint32_t tick);

  SynGetResult* GetData(uint8_t peekOnly, int32_t channels, int32_t duration,
                        int32_t sampling_per_bits, int32_t sampling_rate, uint64_t target,
                        int32_t fps, uint8_t audioStalled);
};

}  // namespace plenova
