#include "audio/ManageInUseBuffer_ForAudioMix.h"

#include <algorithm>

#include "log/PlenovaLog.h"

namespace plenova {

ManageInUseBuffer_ForAudioMix::~ManageInUseBuffer_ForAudioMix() {
  platform::MutexLock lock(m_mutex);
  for (PoolBuffer* frame : m_frames) DestroyPoolBuffer(frame);
  m_frames.clear();
}

bool ManageInUseBuffer_ForAudioMix::pushdata(const AudioMixFrame* frame) {
  if (frame == nullptr || frame->buffer == nullptr) {
    PLN_LOG_ERROR("'s value is illegall");
    return false;
  }
  platform::MutexLock lock(m_mutex);
  PoolBuffer* buffer = frame->buffer;
  // After the last frame whose timestamp is not greater: equal stamps keep
  // their arrival order.
  const auto at = std::upper_bound(
      m_frames.begin(), m_frames.end(), buffer->timestamp,
      [](uint64_t stamp, const PoolBuffer* queued) { return stamp < queued->timestamp; });
  m_frames.insert(at, buffer);
  if (static_cast<int>(m_frames.size()) > kMaxFrames) {
    DestroyPoolBuffer(m_frames.back());
    m_frames.pop_back();
  }
  return true;
}

PoolBuffer* ManageInUseBuffer_ForAudioMix::popdata() {
  platform::MutexLock lock(m_mutex);
  if (m_frames.empty()) return nullptr;
  PoolBuffer* head = m_frames.front();
  m_frames.pop_front();
  return head;
}

std::optional<uint64_t> ManageInUseBuffer_ForAudioMix::peekstamp() {
  platform::MutexLock lock(m_mutex);
  if (m_frames.empty()) return std::nullopt;
  return m_frames.front()->timestamp;
}

int ManageInUseBuffer_ForAudioMix::Count() {
  platform::MutexLock lock(m_mutex);
  return static_cast<int>(m_frames.size());
}

int64_t ManageInUseBuffer_ForAudioMix::TotalCapacity() {
  platform::MutexLock lock(m_mutex);
  int64_t total = 0;
  for (const PoolBuffer* frame : m_frames) total += frame->capacity;
  return total;
}

}  // namespace plenova
