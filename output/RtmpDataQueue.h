#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "common/PoolBufferPtr.h"
#include "platform/Mutex.h"

namespace plenova {

class MemoryPool;

// One queued sample. Whoever takes a unit from the queue owns it and its
// buffer: it hands the buffer back to the pool once the sample is pushed
// (release() into MemoryPool::PutEmptyBuffer); a unit dropped otherwise
// frees its storage.
struct RtmpDataUnit {
  PoolBufferPtr buffer;  // bytes (`data`, `len`), `timestamp` and `tick`
  uint8_t isKeyFrame = 0;
};

// The bounded first-in-first-out queue between the dispatcher, which puts
// samples into a publisher, and that publisher's send thread. A put copies
// the sample into a pool block so the caller keeps its storage; a full queue
// discards the incoming sample.
class RtmpDataQueue {
 public:
  // Units held at most; a put into a full queue is discarded.
  static constexpr size_t kMaxUnits = 41;
  // Refused takes are logged on the first and then on every 30th.
  static constexpr int32_t kRefusedLogEvery = 30;
  // Discarded puts are logged on the first and then on every 50th.
  static constexpr uint64_t kDropLogEvery = 50;

  RtmpDataQueue() = default;
  // Remaining units' storage is destroyed, not returned to the pool.
  ~RtmpDataQueue();
  RtmpDataQueue(const RtmpDataQueue&) = delete;
  RtmpDataQueue& operator=(const RtmpDataQueue&) = delete;

  // The pool the copies come from; borrowed, the owner of the publisher keeps
  // it alive. Set before the first put.
  void SetPool(MemoryPool* pool);

  // Copies `len` (> 0) bytes of `data` (not null) into a pool block and
  // appends them. A full queue
  // discards the incoming sample ("delete audio data"), or with
  // `keepNewest` its oldest one (for a publisher that is not sending yet,
  // whose connection should begin with what is recent). False when no
  // storage is available (or for bad arguments, which the publisher never
  // gives); true also when a sample was
  // discarded. Sync thread.
  bool PutData(const uint8_t* data, int32_t len, uint64_t timestamp, uint8_t isKeyFrame,
               uint32_t tick, bool keepNewest = false);

  // The oldest unit, now owned by the caller, or null when the queue is
  // empty or `sending` is 0 (the publisher does not send yet). Send thread.
  std::unique_ptr<RtmpDataUnit> GetData(uint8_t sending);

  size_t Size() const;

  // The stamp of the newest key unit queued; false when none is.
  bool NewestKeyStamp(uint64_t* stamp) const;
  // Gives back every unit stamped before `stamp` (counted as dropped).
  void DropBefore(uint64_t stamp);
  // Samples dropped so far for want of room, and the units queued now;
  // read without the lock (statistics).
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  size_t Depth() const { return depth_.load(std::memory_order_relaxed); }

 private:
  // Gives a unit's block back to the pool, or frees it without one. Caller
  // holds mutex_.
  void GiveBackLocked(RtmpDataUnit& unit);

  // Guards `pool_` and `units_`; taken by the sync thread (put), the send
  // thread (take) and the owner (SetPool, destruction).
  mutable platform::Mutex mutex_;
  MemoryPool* pool_ = nullptr;  // borrowed
  std::deque<RtmpDataUnit> units_;
  std::atomic<uint64_t> dropped_{0};  // samples dropped for want of room
  std::atomic<size_t> depth_{0};      // units_.size(), for readers without the lock
  // Refused takes since the last log line; send thread only.
  int32_t refused_ = 0;
};

}  // namespace plenova
