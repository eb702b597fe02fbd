#include "audio/ManageInUseBuffer_ForAudioMix.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/LatencyStats.h"

namespace plenova {

bool ManageInUseBuffer_ForAudioMix::pushdata(PoolBufferPtr buffer, int64_t position,
                                             int32_t frames) {
  if (buffer == nullptr) return false;
  platform::MutexLock lock(m_mutex);
  m_frames.Insert(std::move(buffer), position, frames);
  return m_frames.DestroyBeyond(kMaxFrames) == 0;
}

bool ManageInUseBuffer_ForAudioMix::TakeSpan(int64_t from, int32_t count, int32_t channels,
                                             int16_t* out, uint32_t* tick) {
  platform::MutexLock lock(m_mutex);
  const int64_t until = from + count;
  bool copied = false;
  uint32_t oldest = 0;
  for (const auto& frame : m_frames) {
    if (frame.key >= until) break;
    const int64_t first = std::max(frame.key, from);
    const int64_t last = std::min(frame.end(), until);
    if (first >= last) continue;
    const size_t bytes = static_cast<size_t>(last - first) * static_cast<size_t>(channels) * 2;
    std::memcpy(out + (first - from) * channels,
                frame.block->data + (first - frame.key) * channels * 2, bytes);
    oldest = OlderTick(oldest, frame.block->tick);
    copied = true;
  }
  if (tick != nullptr) *tick = oldest;
  // A frame reaching beyond the span stays for the next one.
  m_frames.DropIf([&](const auto& frame) { return frame.end() <= until; });
  return copied;
}

int ManageInUseBuffer_ForAudioMix::DropBefore(int64_t position) {
  platform::MutexLock lock(m_mutex);
  return static_cast<int>(
      m_frames.DropIf([&](const auto& frame) { return frame.end() <= position; }));
}

std::optional<uint64_t> ManageInUseBuffer_ForAudioMix::peekstamp() {
  platform::MutexLock lock(m_mutex);
  if (m_frames.empty()) return std::nullopt;
  return m_frames.front().block->timestamp;
}

int ManageInUseBuffer_ForAudioMix::Count() {
  platform::MutexLock lock(m_mutex);
  return static_cast<int>(m_frames.size());
}

int64_t ManageInUseBuffer_ForAudioMix::TotalCapacity() {
  platform::MutexLock lock(m_mutex);
  return m_frames.TotalCapacity();
}

}  // namespace plenova
