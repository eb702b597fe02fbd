#include "video/ManageInUseBuffer_ForVideoMix.h"

#include <algorithm>

#include "log/PlenovaLog.h"

namespace plenova {

bool ManageInUseBuffer_ForVideoMix::pushdata(const VideoMixFrame* record) {
  if (record == nullptr || record->frame == nullptr) {
    PLN_LOG_ERROR("'s value is illegall");
    return false;
  }
  Node node;
  node.frame.reset(record->frame);
  node.height = record->height;
  node.width = record->width;
  node.streamId = record->streamId != nullptr ? record->streamId : "";
  node.fps = record->fps;
  const uint64_t stamp = node.frame->timestamp;

  platform::MutexLock lock(mutex_);
  if (nodes_.empty() || stamp >= nodes_.back().frame->timestamp) {
    nodes_.push_back(std::move(node));
  } else {
    // Before the first frame whose stamp is greater than or equal.
    auto at = std::find_if(nodes_.begin(), nodes_.end(),
                           [stamp](const Node& n) { return n.frame->timestamp >= stamp; });
    nodes_.insert(at, std::move(node));
  }
  // Over the bound the newest frame goes: under steady overload that is the
  // incoming one, so what is shown stays continuous.
  if (static_cast<int>(nodes_.size()) > kMaxFrames) nodes_.pop_back();
  return true;
}

PoolBuffer* ManageInUseBuffer_ForVideoMix::popdata() {
  platform::MutexLock lock(mutex_);
  if (nodes_.empty()) return nullptr;
  PoolBuffer* frame = nodes_.front().frame.release();
  nodes_.pop_front();
  return frame;
}

std::optional<uint64_t> ManageInUseBuffer_ForVideoMix::peekstamp() {
  platform::MutexLock lock(mutex_);
  if (nodes_.empty()) return std::nullopt;
  return nodes_.front().frame->timestamp;
}

int ManageInUseBuffer_ForVideoMix::Count() {
  platform::MutexLock lock(mutex_);
  return static_cast<int>(nodes_.size());
}

int64_t ManageInUseBuffer_ForVideoMix::TotalCapacity() {
  platform::MutexLock lock(mutex_);
  int64_t total = 0;
  for (const Node& n : nodes_) total += n.frame->capacity;
  return total;
}

}  // namespace plenova
