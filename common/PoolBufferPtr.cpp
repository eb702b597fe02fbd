#include "common/PoolBufferPtr.h"

#include "common/MemoryPool.h"

namespace plenova {

void PoolBufferDeleter::operator()(PoolBuffer* block) const {
  if (block == nullptr) return;
  if (pool != nullptr) {
    pool->PutEmptyBuffer(block);
  } else {
    DestroyPoolBuffer(block);
  }
}

}  // namespace plenova
