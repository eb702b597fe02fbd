#include "video/ManageInUseBuffer_ForVideoMix.h"

#include <cassert>
#include <utility>

namespace plenova {

ManageInUseBuffer_ForVideoMix::Push ManageInUseBuffer_ForVideoMix::pushdata(
    PoolBufferPtr frame, std::optional<uint64_t> due, int* superseded) {
  if (superseded != nullptr) *superseded = 0;
  // The mixer hands on only records with a frame.
  assert(frame != nullptr);
  if (frame == nullptr) return Push::kSuperseded;
  const uint64_t stamp = frame->timestamp;

  platform::MutexLock lock(mutex_);
  // After every frame whose stamp is not greater: equal stamps keep their
  // arrival order, and the later of two equal ones is the one shown.
  const size_t pushed = nodes_.Insert(std::move(frame), stamp);

  Push result = Push::kQueued;
  if (due.has_value()) {
    // Only the newest frame at or before the last canvas can still show.
    const size_t shown = nodes_.CountUpTo(*due);
    const size_t stale = shown > 1 ? shown - 1 : 0;
    if (pushed < stale) result = Push::kSuperseded;
    nodes_.DropFront(stale);
    if (superseded != nullptr) *superseded = static_cast<int>(stale);
  }
  // Over the bound the newest frame goes: under steady overload that is the
  // incoming one, so what is shown stays continuous.
  if (nodes_.DestroyBeyond(kMaxFrames) > 0 && result == Push::kQueued) result = Push::kFull;
  return result;
}

PoolBufferPtr ManageInUseBuffer_ForVideoMix::TakeDue(uint64_t stamp, int* skipped) {
  if (skipped != nullptr) *skipped = 0;
  platform::MutexLock lock(mutex_);
  const size_t due = nodes_.CountUpTo(stamp);
  if (due == 0) return nullptr;
  nodes_.DropFront(due - 1);
  if (skipped != nullptr) *skipped = static_cast<int>(due - 1);
  return nodes_.TakeFront();
}

int ManageInUseBuffer_ForVideoMix::DropSuperseded(uint64_t stamp) {
  platform::MutexLock lock(mutex_);
  const size_t due = nodes_.CountUpTo(stamp);
  if (due < 2) return 0;
  nodes_.DropFront(due - 1);
  return static_cast<int>(due - 1);
}

void ManageInUseBuffer_ForVideoMix::Clear() {
  platform::MutexLock lock(mutex_);
  nodes_.Clear();
}

std::optional<uint64_t> ManageInUseBuffer_ForVideoMix::peekstamp() {
  platform::MutexLock lock(mutex_);
  if (nodes_.empty()) return std::nullopt;
  return nodes_.front().key;
}

int ManageInUseBuffer_ForVideoMix::Count() {
  platform::MutexLock lock(mutex_);
  return static_cast<int>(nodes_.size());
}

int64_t ManageInUseBuffer_ForVideoMix::TotalCapacity() {
  platform::MutexLock lock(mutex_);
  return nodes_.TotalCapacity();
}

}  // namespace plenova
