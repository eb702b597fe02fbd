#include "sync/MediaTimeline.h"

#include <algorithm>
#include <cstdint>

#include "log/PlenovaLog.h"

namespace plenova {

MediaTimeline::MediaTimeline(uint32_t delayMs)
    : m_delayMs(std::min(delayMs, kMaxDelayMs)), m_activeDelayMs(m_delayMs) {}

bool MediaTimeline::SetDelayMs(uint32_t delayMs) {
  if (delayMs > kMaxDelayMs) return false;
  platform::MutexLock lock(m_mutex);
  m_delayMs = delayMs;
  return true;
}

uint32_t MediaTimeline::DelayMs() const {
  platform::MutexLock lock(m_mutex);
  return m_delayMs;
}

void MediaTimeline::Restart() {
  platform::MutexLock lock(m_mutex);
  m_anchored = false;
}

void MediaTimeline::AddAnchorWaiter(platform::Event* wake) {
  platform::MutexLock lock(m_mutex);
  if (wake != nullptr &&
      std::find(m_anchorWaiters.begin(), m_anchorWaiters.end(), wake) == m_anchorWaiters.end())
    m_anchorWaiters.push_back(wake);
}

void MediaTimeline::RemoveAnchorWaiter(platform::Event* wake) {
  platform::MutexLock lock(m_mutex);
  m_anchorWaiters.erase(std::remove(m_anchorWaiters.begin(), m_anchorWaiters.end(), wake),
                        m_anchorWaiters.end());
}

int MediaTimeline::OpenStream(const std::string& name) {
  platform::MutexLock lock(m_mutex);
  for (int i = 0; i < kMaxStreams; ++i) {
    Stream& s = m_streams[static_cast<size_t>(i)];
    if (s.open) continue;
    s = Stream{};
    s.open = true;
    s.name = name;
    return i;
  }
  return -1;
}

void MediaTimeline::CloseStream(int stream) {
  if (stream < 0 || stream >= kMaxStreams) return;
  platform::MutexLock lock(m_mutex);
  m_streams[static_cast<size_t>(stream)] = Stream{};
}

int64_t MediaTimeline::UnwrapLocked(uint32_t tick) {
  if (!m_wallKnown) {
    m_wallKnown = true;
    m_lastTick = tick;
    m_lastWall = 0;
    return 0;
  }
  // Differences of the wrapping 32-bit timer; a reading a little older than
  // the newest one (another thread's) counts backwards.
  const int32_t delta = static_cast<int32_t>(tick - m_lastTick);
  const int64_t wall = m_lastWall + delta;
  if (delta > 0) {
    m_lastTick = tick;
    m_lastWall = wall;
  }
  return wall;
}

MediaTimeline::Placement MediaTimeline::Place(int stream, uint64_t stamp, uint64_t duration,
                                              uint32_t tick) {
  platform::MutexLock lock(m_mutex);
  const int64_t wall = UnwrapLocked(tick);
  if (!m_anchored) {
    // Output time goes on from what an earlier run produced; the first run
    // carries the client's stamps as they are.
    m_shift = m_produced ? m_producedEnd - stamp : 0;
    m_origin = stamp + m_shift;
    // This frame's end arrives exactly on time.
    m_offset = static_cast<uint64_t>(wall * kTicksPerMs) - (m_origin + duration);
    m_activeDelayMs = m_delayMs;
    m_anchored = true;
    ++m_epoch;
    for (platform::Event* wake : m_anchorWaiters) wake->Set();
    m_windowStart = wall;
    m_late = false;
    for (Stream& s : m_streams) {
      s.placed = false;
      s.behind = false;
      s.measured = false;
    }
    PLN_LOG_MESSAGE("_Plenova_ media timeline anchored at stamp %llu, output %llu, delay %u ms",
                    static_cast<unsigned long long>(stamp),
                    static_cast<unsigned long long>(m_origin), m_activeDelayMs);
  }
  Placement placement;
  placement.epoch = m_epoch;
  placement.origin = m_origin;
  if (stream < 0 || stream >= kMaxStreams || !m_streams[static_cast<size_t>(stream)].open) {
    placement.stamp = stamp + m_shift;
    return placement;
  }

  Stream& s = m_streams[static_cast<size_t>(stream)];
  const bool first = !s.placed;
  if (first) {
    s.offset = m_shift;
    s.placed = true;
  }
  const uint64_t now = NowLocked(wall);
  const int64_t ahead = Distance(stamp + s.offset + duration, now);
  if (first && (ahead > kReplaceDistance || ahead < -kReplaceDistance)) {
    ReplaceLocked(s, stamp, duration, now, "its first frame");
    placement.replaced = true;
  } else if (ahead > kReplaceDistance) {
    ReplaceLocked(s, stamp, duration, now, "ahead");
    placement.replaced = true;
  } else if (ahead < -kReplaceDistance) {
    if (!s.behind) {
      s.behind = true;
      s.behindSince = wall;
    } else if (wall - s.behindSince >= kBehindPatienceMs) {
      ReplaceLocked(s, stamp, duration, now, "behind");
      placement.replaced = true;
    }
  } else {
    s.behind = false;
  }
  placement.stamp = stamp + s.offset;
  // Frames more than a second late are a burst or a stream about to be
  // placed anew: they say nothing about the clocks.
  const int64_t lateness = Distance(now, placement.stamp + duration);
  if (FollowLateMeetingLocked(lateness, wall)) {
    placement.stamp = stamp + s.offset;
    placement.replaced = true;
    return placement;
  }
  if (lateness <= kReplaceDistance) MeasureLocked(s, lateness, wall);
  return placement;
}

void MediaTimeline::ReplaceLocked(Stream& s, uint64_t stamp, uint64_t duration, uint64_t now,
                                  const char* why) {
  const int64_t distance = Distance(stamp + s.offset + duration, now);
  s.offset = now - stamp - duration;
  s.behind = false;
  s.measured = false;
  PLN_LOG_WARNING(
      "_Plenova_ stream %s placed anew on the media timeline (%s): its stamps lay %lld ms "
      "from the timeline",
      s.name.c_str(), why, static_cast<long long>(distance / kTicksPerMs));
}

bool MediaTimeline::FollowLateMeetingLocked(int64_t lateness, int64_t wallMs) {
  if (lateness <= static_cast<int64_t>(m_activeDelayMs) * kTicksPerMs) {
    m_late = false;
    return false;
  }
  if (!m_late) {
    m_late = true;
    m_lateSince = wallMs;
    return false;
  }
  if (wallMs - m_lateSince < kMeetingLatePatienceMs) return false;
  // Every stream moves by the same amount, so they keep their places to
  // each other; this frame now arrives in time, as the anchoring frame did.
  const auto by = static_cast<uint64_t>((lateness + kMeetingMoveStep - 1) / kMeetingMoveStep *
                                        kMeetingMoveStep);
  m_shift += by;
  for (Stream& s : m_streams) {
    if (s.placed) s.offset += by;
    s.behind = false;
    s.measured = false;
  }
  m_late = false;
  m_windowStart = wallMs;
  m_adjustments.fetch_add(1, std::memory_order_relaxed);
  PLN_LOG_WARNING(
      "_Plenova_ meeting placed %lld ms later on the media timeline: all of it came late",
      static_cast<long long>(by / kTicksPerMs));
  return true;
}

void MediaTimeline::MeasureLocked(Stream& s, int64_t lateness, int64_t wallMs) {
  if (!s.measured || lateness < s.windowMin) s.windowMin = lateness;
  s.measured = true;
  if (wallMs - m_windowStart < kWindowMs) return;
  // The slowest stream's best frames set how late the timeline must run.
  bool any = false;
  int64_t latest = 0;
  for (Stream& other : m_streams) {
    if (!other.open || !other.measured) continue;
    latest = any ? std::max(latest, other.windowMin) : other.windowMin;
    any = true;
    other.measured = false;
  }
  m_windowStart = wallMs;
  if (!any) return;
  const int64_t step = std::clamp<int64_t>(latest / 2, -kMaxEarlierPerWindow, kMaxLaterPerWindow);
  if (step == 0) return;
  m_offset += static_cast<uint64_t>(step);
  m_adjustments.fetch_add(1, std::memory_order_relaxed);
}

bool MediaTimeline::Anchored() const {
  platform::MutexLock lock(m_mutex);
  return m_anchored;
}

uint64_t MediaTimeline::Origin() const {
  platform::MutexLock lock(m_mutex);
  return m_origin;
}

uint64_t MediaTimeline::Epoch() const {
  platform::MutexLock lock(m_mutex);
  return m_epoch;
}

uint64_t MediaTimeline::DueAt(uint32_t tick) {
  platform::MutexLock lock(m_mutex);
  return NowLocked(UnwrapLocked(tick)) - static_cast<uint64_t>(m_activeDelayMs) * kTicksPerMs;
}

uint32_t MediaTimeline::MsUntil(uint64_t stamp, uint32_t tick) {
  const int64_t wait = Distance(stamp, DueAt(tick));
  if (wait <= 0) return 0;
  const int64_t ms = (wait + kTicksPerMs - 1) / kTicksPerMs;
  return static_cast<uint32_t>(std::min<int64_t>(ms, UINT32_MAX));
}

void MediaTimeline::NoteProduced(uint64_t end) {
  platform::MutexLock lock(m_mutex);
  if (!m_produced || Distance(end, m_producedEnd) > 0) m_producedEnd = end;
  m_produced = true;
}

int64_t MediaTimeline::MappingOffset() {
  platform::MutexLock lock(m_mutex);
  return static_cast<int64_t>(m_offset);
}

TimelineStream::TimelineStream(MediaTimeline* timeline, const std::string& name)
    : m_timeline(timeline), m_id(timeline != nullptr ? timeline->OpenStream(name) : -1) {}

TimelineStream::~TimelineStream() {
  if (m_timeline != nullptr) m_timeline->CloseStream(m_id);
}

TimelineStream::TimelineStream(TimelineStream&& other) noexcept
    : m_timeline(other.m_timeline), m_id(other.m_id) {
  other.m_timeline = nullptr;
  other.m_id = -1;
}

TimelineStream& TimelineStream::operator=(TimelineStream&& other) noexcept {
  if (this != &other) {
    if (m_timeline != nullptr) m_timeline->CloseStream(m_id);
    m_timeline = other.m_timeline;
    m_id = other.m_id;
    other.m_timeline = nullptr;
    other.m_id = -1;
  }
  return *this;
}

MediaTimeline::Placement TimelineStream::Place(uint64_t stamp, uint64_t duration,
                                               uint32_t tick) const {
  if (m_timeline == nullptr) return MediaTimeline::Placement{stamp};
  return m_timeline->Place(m_id, stamp, duration, tick);
}

}  // namespace plenova
