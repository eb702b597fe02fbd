#include "audio/ManageInUseBuffer_ForAudioMix.h"

#include <algorithm>
#include <cstring>

#include "common/LatencyStats.h"
#include "common/MemoryPool.h"

namespace plenova {

namespace {

void GiveBack(PoolBuffer* buffer, MemoryPool* pool) {
  if (pool != nullptr) {
    pool->PutEmptyBuffer(buffer);
  } else {
    DestroyPoolBuffer(buffer);
  }
}

}  // namespace

ManageInUseBuffer_ForAudioMix::~ManageInUseBuffer_ForAudioMix() {
  platform::MutexLock lock(m_mutex);
  for (Frame& frame : m_frames) DestroyPoolBuffer(frame.buffer);
  m_frames.clear();
}

bool ManageInUseBuffer_ForAudioMix::pushdata(PoolBuffer* buffer, int64_t position, int32_t frames) {
  if (buffer == nullptr) return false;
  platform::MutexLock lock(m_mutex);
  // After the last frame that does not begin later: equal positions keep
  // their arrival order.
  const auto at =
      std::upper_bound(m_frames.begin(), m_frames.end(), position,
                       [](int64_t p, const Frame& queued) { return p < queued.position; });
  m_frames.insert(at, Frame{buffer, position, frames});
  if (static_cast<int>(m_frames.size()) <= kMaxFrames) return true;
  DestroyPoolBuffer(m_frames.back().buffer);
  m_frames.pop_back();
  return false;
}

bool ManageInUseBuffer_ForAudioMix::TakeSpan(int64_t from, int32_t count, int32_t channels,
                                             int16_t* out, MemoryPool* pool, uint32_t* tick) {
  platform::MutexLock lock(m_mutex);
  const int64_t until = from + count;
  bool copied = false;
  uint32_t oldest = 0;
  for (const Frame& frame : m_frames) {
    if (frame.position >= until) break;
    const int64_t first = std::max(frame.position, from);
    const int64_t last = std::min(frame.end(), until);
    if (first >= last) continue;
    const size_t bytes = static_cast<size_t>(last - first) * static_cast<size_t>(channels) * 2;
    std::memcpy(out + (first - from) * channels,
                frame.buffer->data + (first - frame.position) * channels * 2, bytes);
    oldest = OlderTick(oldest, frame.buffer->tick);
    copied = true;
  }
  if (tick != nullptr) *tick = oldest;
  // A frame reaching beyond the span stays for the next one.
  std::erase_if(m_frames, [&](const Frame& frame) {
    if (frame.end() > until) return false;
    GiveBack(frame.buffer, pool);
    return true;
  });
  return copied;
}

int ManageInUseBuffer_ForAudioMix::DropBefore(int64_t position, MemoryPool* pool) {
  platform::MutexLock lock(m_mutex);
  const auto before = m_frames.size();
  std::erase_if(m_frames, [&](const Frame& frame) {
    if (frame.end() > position) return false;
    GiveBack(frame.buffer, pool);
    return true;
  });
  return static_cast<int>(before - m_frames.size());
}

std::optional<uint64_t> ManageInUseBuffer_ForAudioMix::peekstamp() {
  platform::MutexLock lock(m_mutex);
  if (m_frames.empty()) return std::nullopt;
  return m_frames.front().buffer->timestamp;
}

int ManageInUseBuffer_ForAudioMix::Count() {
  platform::MutexLock lock(m_mutex);
  return static_cast<int>(m_frames.size());
}

int64_t ManageInUseBuffer_ForAudioMix::TotalCapacity() {
  platform::MutexLock lock(m_mutex);
  int64_t total = 0;
  for (const Frame& frame : m_frames) total += frame.buffer->capacity;
  return total;
}

}  // namespace plenova
