#include "video/VideoEncodeBuffer.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <utility>

#include "log/PlenovaLog.h"

namespace plenova {

namespace {

// Frees the canvas of `node` instead of giving it back.
template <typename Node>
void Destroy(Node& node) {
  DestroyPoolBuffer(node.canvas.release());
}

}  // namespace

VideoEncodeBuffer::~VideoEncodeBuffer() {
  platform::MutexLock lock(mutex_);
  for (Node& node : nodes_) Destroy(node);
}

bool VideoEncodeBuffer::PutData(PoolBufferPtr canvas, int32_t rate) {
  // The compositor puts only canvases it holds, at the rate it runs at.
  assert(canvas != nullptr && rate >= 1);
  if (canvas == nullptr || rate < 1) return false;
  const uint64_t stamp = canvas->timestamp;
  Node node{std::move(canvas), rate};

  platform::MutexLock lock(mutex_);
  if (nodes_.empty() || stamp >= nodes_.back().canvas->timestamp) {
    nodes_.push_back(std::move(node));
  } else {
    // Before the first greater stamp: equal stamps keep their arrival order.
    auto at = std::find_if(nodes_.begin(), nodes_.end(),
                           [stamp](const Node& n) { return n.canvas->timestamp > stamp; });
    nodes_.insert(at, std::move(node));
  }
  const int excess = static_cast<int>(nodes_.size()) - kCapacity;
  if (excess > 0) {
    PLN_RAW_WARNING("_Plenova_ VideoEncodeBuffer is Full,discard frames:%d", excess);
    std::for_each(nodes_.begin(), nodes_.begin() + excess, Destroy<Node>);
    nodes_.erase(nodes_.begin(), nodes_.begin() + excess);
  }
  {
    std::lock_guard wake(wake_mutex_);
    queued_ = nodes_.size();
  }
  wake_.notify_one();
  return true;
}

VideoEncodeBuffer::Result VideoEncodeBuffer::GetData(int32_t expected_rate) {
  platform::MutexLock lock(mutex_);
  ++get_calls_;
  if (get_calls_ % 50 == 0 && !nodes_.empty()) {
    ++stat_counts_;
    if (stat_counts_ % 25 == 0) {
      int64_t total = 0;
      for (const Node& n : nodes_) total += n.canvas->capacity;
      PLN_RAW_MESSAGE("VideoEncodeBuffer GetData Start,Total ElementsNums=%d  TotalSize=%f KB",
                      static_cast<int>(nodes_.size()), static_cast<double>(total) / 1024);
    }
  }
  Result result;
  if (nodes_.empty()) return result;
  result.rate = nodes_.front().rate;
  if (result.rate != expected_rate) {
    result.state = kRateDiffers;
    return result;
  }
  result.canvas = std::move(nodes_.front().canvas);
  result.state = kTaken;
  nodes_.pop_front();
  std::lock_guard wake(wake_mutex_);
  queued_ = nodes_.size();
  return result;
}

int VideoEncodeBuffer::Count() {
  platform::MutexLock lock(mutex_);
  return static_cast<int>(nodes_.size());
}

bool VideoEncodeBuffer::WaitForData(uint32_t timeout_ms) {
  std::unique_lock lock(wake_mutex_);
  wake_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                 [this] { return queued_ > 0 || woken_; });
  woken_ = false;
  return queued_ > 0;
}

void VideoEncodeBuffer::Wake() {
  {
    std::lock_guard lock(wake_mutex_);
    woken_ = true;
  }
  wake_.notify_all();
}

}  // namespace plenova
