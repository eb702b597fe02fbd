#pragma once

#include <memory>

#include "common/PoolBuffer.h"

namespace plenova {

class MemoryPool;

// Gives a dropped pool block back to its pool, or destroys it (storage and
// record) when it has none.
struct PoolBufferDeleter {
  MemoryPool* pool = nullptr;  // borrowed; outlives every handle naming it
  void operator()(PoolBuffer* block) const;
};

// An owned pool block that gives itself back when dropped; release() when
// handing it on as a raw block.
using PoolBufferPtr = std::unique_ptr<PoolBuffer, PoolBufferDeleter>;

// Takes ownership of `block`, which goes back to `pool` when dropped (is
// destroyed when `pool` is null).
inline PoolBufferPtr AdoptPoolBuffer(PoolBuffer* block, MemoryPool* pool) {
  return PoolBufferPtr(block, PoolBufferDeleter{pool});
}

}  // namespace plenova
