#include "common/MemoryPool.h"

#include <limits>
#include <new>

#include "log/PlenovaLog.h"
#include "platform/Clock.h"

namespace plenova {

void DestroyPoolBuffer(PoolBuffer* block) {
  if (block == nullptr) return;
  delete[] block->data;
  delete block;
}

namespace {

// Creates a block of `len` bytes in class `capacity`; nullptr when the record
// or its storage cannot be allocated.
PoolBuffer* NewBlock(int32_t len, int32_t capacity) {
  auto* block = new (std::nothrow) PoolBuffer;
  if (block == nullptr) return nullptr;
  if (capacity >= 1 && capacity >= len) {
    block->data = new (std::nothrow) uint8_t[static_cast<size_t>(capacity)];
    if (block->data == nullptr) {
      delete block;
      return nullptr;
    }
    block->len = len;
    block->capacity = capacity;
  }
  return block;
}

}  // namespace

MemoryPool::MemoryPool() = default;

MemoryPool::~MemoryPool() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start ");
  {
    platform::MutexLock lock(mutex_);
    for (auto& [capacity, list] : free_lists_) {
      for (PoolBuffer* block : list) DestroyPoolBuffer(block);
    }
    free_lists_.clear();
    snapshot_.clear();
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

PoolBuffer* MemoryPool::GetEmptyBuffer(int32_t n) {
  if (n < 0) n = 10;
  // A class is a multiple of 65536 that fits in int32_t.
  constexpr int32_t kLargest = std::numeric_limits<int32_t>::max() / kClassStep * kClassStep;
  if (n > kLargest) return nullptr;

  platform::MutexLock lock(mutex_);
  TrimLocked();
  ReleaseCheckLocked();

  int32_t chosen;
  const auto nearest = free_lists_.lower_bound(n);
  if (nearest != free_lists_.end() &&
      static_cast<int64_t>(nearest->first) <= static_cast<int64_t>(n) + kClassStep) {
    chosen = nearest->first;
  } else if (nearest == free_lists_.end() && n < kClassStep) {
    chosen = kClassStep;
  } else {
    chosen = (n % kClassStep == 0) ? n : (n / kClassStep + 1) * kClassStep;
  }
  std::deque<PoolBuffer*>& list = free_lists_[chosen];

  while (!list.empty()) {
    PoolBuffer* block = list.front();
    list.pop_front();
    if (block->data != nullptr && block->len > 0) return block;
    DestroyPoolBuffer(block);
  }
  return NewBlock(n, chosen);
}

void MemoryPool::PutEmptyBuffer(PoolBuffer* block) {
  if (block == nullptr) return;
  platform::MutexLock lock(mutex_);
  free_lists_[block->capacity].push_back(block);
}

int MemoryPool::IdleCount(int32_t capacity_class) const {
  platform::MutexLock lock(mutex_);
  const auto it = free_lists_.find(capacity_class);
  return it == free_lists_.end() ? 0 : static_cast<int>(it->second.size());
}

std::vector<int32_t> MemoryPool::Classes() const {
  platform::MutexLock lock(mutex_);
  std::vector<int32_t> classes;
  for (const auto& entry : free_lists_) classes.push_back(entry.first);
  return classes;
}

void MemoryPool::TrimLocked() {
  for (auto& [capacity, list] : free_lists_) {
    while (list.size() > static_cast<size_t>(kMaxIdlePerClass)) {
      DestroyPoolBuffer(list.back());
      list.pop_back();
    }
  }
}

void MemoryPool::ReleaseCheckLocked() {
  const uint32_t now = platform::TimeGetTime();
  if (first_use_) {
    last_release_ms_ = now;
    first_use_ = false;
    return;
  }
  if (static_cast<uint32_t>(now - last_release_ms_) < kReleasePeriodMs) return;
  last_release_ms_ = now;
  for (auto it = free_lists_.begin(); it != free_lists_.end();) {
    const int32_t capacity = it->first;
    const auto count = static_cast<int32_t>(it->second.size());
    const auto snap = snapshot_.find(capacity);
    if (snap == snapshot_.end() || snap->second != count) {
      snapshot_[capacity] = count;
      ++it;
      continue;
    }
    for (PoolBuffer* block : it->second) DestroyPoolBuffer(block);
    snapshot_.erase(snap);
    it = free_lists_.erase(it);
  }
}

}  // namespace plenova
