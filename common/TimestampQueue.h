#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <utility>

#include "common/PoolBufferPtr.h"

namespace plenova {

// Pool blocks in ascending order of a media position (a sample index, a
// 90 kHz stamp), each held by a handle that gives it back to its pool when
// the queue lets it go. The input queue of every mixed stream, audio and
// video, is one of these behind the stream's own lock: the queue itself is
// not synchronised. `Before` orders two keys (strictly).
template <typename Key, typename Before = std::less<Key>>
class TimestampQueue {
 public:
  struct Entry {
    PoolBufferPtr block;
    Key key{};
    // How far the block reaches past `key`, in key units; 0 where the
    // holder does not track it.
    int64_t length = 0;
    int64_t end() const { return static_cast<int64_t>(key) + length; }
  };

  TimestampQueue() = default;
  // Frees what is still queued (storage and record) instead of giving it
  // back, so that tearing a queue down never depends on its pool.
  ~TimestampQueue() { DestroyBack(entries_.size()); }
  TimestampQueue(const TimestampQueue&) = delete;
  TimestampQueue& operator=(const TimestampQueue&) = delete;

  // Queues `block` after every entry whose key is not after `key`: equal
  // keys keep their arrival order. Returns the entry's index.
  size_t Insert(PoolBufferPtr block, Key key, int64_t length = 0) {
    const auto at =
        std::upper_bound(entries_.begin(), entries_.end(), key,
                         [](const Key& k, const Entry& e) { return Before{}(k, e.key); });
    const auto index = static_cast<size_t>(at - entries_.begin());
    entries_.insert(at, Entry{std::move(block), key, length});
    return index;
  }

  // Frees (storage and record) every entry beyond the first `max`, the
  // ones furthest ahead; returns how many.
  size_t DestroyBeyond(size_t max) {
    const size_t over = entries_.size() > max ? entries_.size() - max : 0;
    DestroyBack(over);
    return over;
  }

  // How many leading entries have a key not after `key`.
  size_t CountUpTo(const Key& key) const {
    size_t n = 0;
    while (n < entries_.size() && !Before{}(key, entries_[n].key)) ++n;
    return n;
  }

  // Gives the first `n` entries back.
  void DropFront(size_t n) {
    n = std::min(n, entries_.size());
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<ptrdiff_t>(n));
  }

  // Gives back every entry `drop(entry)` is true for; returns how many.
  template <typename Pred>
  size_t DropIf(Pred drop) {
    return std::erase_if(entries_, [&](const Entry& e) { return drop(e); });
  }

  void Clear() { entries_.clear(); }

  // The first entry's block, removed. The queue must not be empty.
  PoolBufferPtr TakeFront() {
    PoolBufferPtr block = std::move(entries_.front().block);
    entries_.pop_front();
    return block;
  }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Entry& operator[](size_t i) const { return entries_[i]; }
  const Entry& front() const { return entries_.front(); }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

  // Sum of the queued blocks' capacities, bytes.
  int64_t TotalCapacity() const {
    int64_t total = 0;
    for (const Entry& e : entries_) total += e.block->capacity;
    return total;
  }

 private:
  void DestroyBack(size_t n) {
    for (; n > 0 && !entries_.empty(); --n) {
      DestroyPoolBuffer(entries_.back().block.release());
      entries_.pop_back();
    }
  }

  std::deque<Entry> entries_;  // ascending key, head = earliest
};

}  // namespace plenova
