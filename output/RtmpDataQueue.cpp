#include "output/RtmpDataQueue.h"

#include <cassert>
#include <cstring>

#include "common/MemoryPool.h"
#include "log/PlenovaLog.h"
#include "output/OutputLog.h"

namespace plenova {

RtmpDataQueue::~RtmpDataQueue() {
  platform::MutexLock lock(mutex_);
  units_.clear();  // the blocks free their storage
}

void RtmpDataQueue::GiveBackLocked(RtmpDataUnit& unit) {
  if (pool_ != nullptr) pool_->PutEmptyBuffer(unit.buffer.release());
  unit.buffer.reset();
}

void RtmpDataQueue::SetPool(MemoryPool* pool) {
  platform::MutexLock lock(mutex_);
  pool_ = pool;
}

bool RtmpDataQueue::PutData(const uint8_t* data, int32_t len, uint64_t timestamp,
                            uint8_t isKeyFrame, uint32_t tick, bool keepNewest) {
  // The publisher checked the sample.
  assert(data != nullptr && len > 0);
  if (data == nullptr || len < 1) return false;
  platform::MutexLock lock(mutex_);
  if (units_.size() >= kMaxUnits && keepNewest) {
    GiveBackLocked(units_.front());
    units_.pop_front();
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
  if (units_.size() >= kMaxUnits) {
    // The send side is not keeping up (or not sending yet): the newest sample
    // goes, so what is queued stays in order.
    if (dropped_.fetch_add(1, std::memory_order_relaxed) % kDropLogEvery == 0)
      PLN_RAW_ERROR("delete audio data");
    return true;
  }
  PoolBufferPtr buffer(pool_ != nullptr ? pool_->GetEmptyBuffer(len) : nullptr);
  if (buffer == nullptr || buffer->data == nullptr) {
    if (buffer != nullptr) pool_->PutEmptyBuffer(buffer.release());
    PLN_LOG_ERROR("Get memory failed");
    return false;
  }
  buffer->len = len;
  buffer->timestamp = timestamp;
  buffer->tick = tick;
  std::memcpy(buffer->data, data, static_cast<size_t>(len));
  units_.push_back(RtmpDataUnit{std::move(buffer), isKeyFrame});
  depth_.store(units_.size(), std::memory_order_relaxed);
  return true;
}

std::unique_ptr<RtmpDataUnit> RtmpDataQueue::GetData(uint8_t sending) {
  if (sending == 0) {
    if (refused_ % kRefusedLogEvery == 0) {
      refused_ = 0;
      PLN_FILE_LINE_ERROR("File:%s,Line=%05d  Function: 当前不是发送状态，取数据失败");
    }
    ++refused_;
    return nullptr;
  }
  platform::MutexLock lock(mutex_);
  if (units_.empty()) return nullptr;
  auto unit = std::make_unique<RtmpDataUnit>(std::move(units_.front()));
  units_.pop_front();
  depth_.store(units_.size(), std::memory_order_relaxed);
  return unit;
}

bool RtmpDataQueue::NewestKeyStamp(uint64_t* stamp) const {
  platform::MutexLock lock(mutex_);
  for (auto it = units_.rbegin(); it != units_.rend(); ++it) {
    if (it->isKeyFrame != 0) {
      *stamp = it->buffer->timestamp;
      return true;
    }
  }
  return false;
}

void RtmpDataQueue::DropBefore(uint64_t stamp) {
  platform::MutexLock lock(mutex_);
  while (!units_.empty() && units_.front().buffer->timestamp < stamp) {
    GiveBackLocked(units_.front());
    units_.pop_front();
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
  depth_.store(units_.size(), std::memory_order_relaxed);
}

size_t RtmpDataQueue::Size() const {
  platform::MutexLock lock(mutex_);
  return units_.size();
}

}  // namespace plenova
