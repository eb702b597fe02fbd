#pragma once

#include <cstdint>

namespace plenova {

// One block of frame storage from the MemoryPool, and the record that carries
// every frame and sample through the engine. A block travels in a
// PoolBufferPtr (common/PoolBufferPtr.h), which gives it back to its pool
// when dropped; a raw block is owned by its holder until it gives it back
// (MemoryPool::PutEmptyBuffer) or destroys it (DestroyPoolBuffer).
struct PoolBuffer {
  uint8_t* data = nullptr;  // `capacity` bytes, not initialised; null only without storage
  int32_t len = 0;          // bytes in use; written by the holder
  int32_t capacity = 0;     // size of `data`; the block's capacity class, never changes
  uint64_t timestamp = 0;   // media timestamp of the data (90 kHz after the mixers)
  uint32_t tick = 0;        // arrival: timer ms when the oldest input in the data was
                            // pushed; 0 = unknown (see common/LatencyStats.h)
  uint32_t extra = 0;       // one more word for the holder (video: row order, 0 or 2)
};

// Frees the block's storage, then the record. Harmless for nullptr.
void DestroyPoolBuffer(PoolBuffer* block);

}  // namespace plenova
