#include "video/ManageInUseBuffer_ForVideoMix.h"

#include <algorithm>

#include "common/MemoryPool.h"
#include "log/PlenovaLog.h"
#include "sync/MediaTimeline.h"

namespace plenova {

namespace {

// Stamps wrap modulo 2^64; their order is that of their signed distance.
bool Before(uint64_t a, uint64_t b) { return MediaTimeline::Distance(a, b) < 0; }

}  // namespace

void ManageInUseBuffer_ForVideoMix::GiveBackFrontLocked(size_t n) {
  for (; n > 0 && !nodes_.empty(); --n) {
    PoolBuffer* frame = nodes_.front().release();
    nodes_.pop_front();
    if (pool_ != nullptr) {
      pool_->PutEmptyBuffer(frame);
    } else {
      DestroyPoolBuffer(frame);
    }
  }
}

ManageInUseBuffer_ForVideoMix::Push ManageInUseBuffer_ForVideoMix::pushdata(
    const VideoMixFrame* record, std::optional<uint64_t> due, int* superseded) {
  if (superseded != nullptr) *superseded = 0;
  if (record == nullptr || record->frame == nullptr) {
    PLN_LOG_ERROR("'s value is illegall");
    return Push::kSuperseded;
  }
  PoolBufferPtr frame(record->frame);
  const uint64_t stamp = frame->timestamp;
  const PoolBuffer* pushed = frame.get();

  platform::MutexLock lock(mutex_);
  // After every frame whose stamp is not greater: equal stamps keep their
  // arrival order, and the later of two equal ones is the one shown.
  const auto at =
      std::upper_bound(nodes_.begin(), nodes_.end(), stamp,
                       [](uint64_t s, const PoolBufferPtr& n) { return Before(s, n->timestamp); });
  nodes_.insert(at, std::move(frame));

  Push result = Push::kQueued;
  if (due.has_value()) {
    // Only the newest frame at or before the last canvas can still show.
    size_t stale = 0;
    for (size_t i = 1; i < nodes_.size() && !Before(*due, nodes_[i]->timestamp); ++i) stale = i;
    for (size_t i = 0; i < stale; ++i) {
      if (nodes_[i].get() == pushed) result = Push::kSuperseded;
    }
    GiveBackFrontLocked(stale);
    if (superseded != nullptr) *superseded = static_cast<int>(stale);
  }
  // Over the bound the newest frame goes: under steady overload that is the
  // incoming one, so what is shown stays continuous.
  if (static_cast<int>(nodes_.size()) > kMaxFrames) {
    nodes_.pop_back();
    if (result == Push::kQueued) result = Push::kFull;
  }
  return result;
}

PoolBuffer* ManageInUseBuffer_ForVideoMix::TakeDue(uint64_t stamp, int* skipped) {
  if (skipped != nullptr) *skipped = 0;
  platform::MutexLock lock(mutex_);
  size_t due = 0;
  while (due < nodes_.size() && !Before(stamp, nodes_[due]->timestamp)) ++due;
  if (due == 0) return nullptr;
  GiveBackFrontLocked(due - 1);
  if (skipped != nullptr) *skipped = static_cast<int>(due - 1);
  PoolBuffer* frame = nodes_.front().release();
  nodes_.pop_front();
  return frame;
}

int ManageInUseBuffer_ForVideoMix::DropSuperseded(uint64_t stamp) {
  platform::MutexLock lock(mutex_);
  size_t due = 0;
  while (due < nodes_.size() && !Before(stamp, nodes_[due]->timestamp)) ++due;
  if (due < 2) return 0;
  GiveBackFrontLocked(due - 1);
  return static_cast<int>(due - 1);
}

void ManageInUseBuffer_ForVideoMix::Clear() {
  platform::MutexLock lock(mutex_);
  GiveBackFrontLocked(nodes_.size());
}

std::optional<uint64_t> ManageInUseBuffer_ForVideoMix::peekstamp() {
  platform::MutexLock lock(mutex_);
  if (nodes_.empty()) return std::nullopt;
  return nodes_.front()->timestamp;
}

int ManageInUseBuffer_ForVideoMix::Count() {
  platform::MutexLock lock(mutex_);
  return static_cast<int>(nodes_.size());
}

int64_t ManageInUseBuffer_ForVideoMix::TotalCapacity() {
  platform::MutexLock lock(mutex_);
  int64_t total = 0;
  for (const PoolBufferPtr& n : nodes_) total += n->capacity;
  return total;
}

}  // namespace plenova
