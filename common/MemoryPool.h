#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "common/PoolBuffer.h"
#include "platform/Mutex.h"

namespace plenova {

// The one shared store of frame storage. Blocks are handed out in capacity
// classes of whole multiples of 65536 bytes so that frames of a few recurring
// sizes are not allocated at frame rate; at most 24 idle blocks are kept per
// class (the compositor gives back one block per window, up to 20, in one
// tick, and a smaller limit would free and reallocate them at frame rate),
// and a class whose idle count stays unchanged over a whole 30 s period
// is released.
//
// Thread-safe. Its mutex is always the innermost lock of the engine: the pool
// calls nothing but the heap while holding it.
class MemoryPool {
 public:
  static constexpr int32_t kClassStep = 65536;
  static constexpr int32_t kMaxIdlePerClass = 24;
  static constexpr uint32_t kReleasePeriodMs = 30000;

  MemoryPool();
  ~MemoryPool();
  MemoryPool(const MemoryPool&) = delete;
  MemoryPool& operator=(const MemoryPool&) = delete;

  // A block whose capacity is at least `n` bytes (a negative `n` counts as
  // 10), or nullptr when the record or its storage cannot be allocated. A new
  // block has `len` = n and zero timestamp, tick and extra; a reused block
  // keeps every field as its last holder left it. Any thread.
  PoolBuffer* GetEmptyBuffer(int32_t n);

  // Takes `block` back into the free list of its capacity; its fields are
  // left untouched. `block` must not be null. Any thread.
  void PutEmptyBuffer(PoolBuffer* block);

  // Idle blocks held for `capacity_class` (0 when the class does not exist).
  int IdleCount(int32_t capacity_class) const;
  // The capacity classes in ascending order.
  std::vector<int32_t> Classes() const;

 private:
  void TrimLocked();
  void ReleaseCheckLocked();

  // Guards every member below; taken by every engine thread for list
  // operations only.
  mutable platform::Mutex mutex_;
  std::map<int32_t, std::deque<PoolBuffer*>> free_lists_;
  uint32_t last_release_ms_ = 0;
  std::map<int32_t, int32_t> snapshot_;
  bool first_use_ = true;
};

}  // namespace plenova
