#pragma once

#include <memory>

#include "common/PoolBuffer.h"

namespace plenova {

// Destroys a pool block (storage and record) that its holder drops.
struct PoolBufferDeleter {
  void operator()(PoolBuffer* block) const { DestroyPoolBuffer(block); }
};

// An owned pool block; released to the pool with release() when handed on.
using PoolBufferPtr = std::unique_ptr<PoolBuffer, PoolBufferDeleter>;

}  // namespace plenova
