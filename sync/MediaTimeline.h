#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/Mutex.h"

namespace plenova {

// The meeting's one media timeline. Clients stamp every stream from one
// 90 kHz media clock. The first frame of the meeting maps that clock onto
// the machine's millisecond clock; from then on a mixer produces output time
// T once the media of time T has had the target delay to arrive. Output
// stamps are the frames' own stamps (shifted only so that a restarted engine
// goes on after what it produced before), so where a frame lands depends on
// its stamp, never on when it came.
//
// The mapping follows the media clock when it runs faster or slower than
// the machine's: once a second it measures how late the best-placed frames
// of the slowest stream arrived and moves the mapping a little towards it.
// Only the moment a cycle runs changes, never what it contains.
//
// A stream whose stamps lie more than a second away from the timeline (a
// client that counts each stream from 0, a jump) is placed anew on its own
// and logged; the rest of the meeting does not move. When the whole meeting
// comes late (the client stalled and goes on where it was), all of it is
// placed later at once, so the streams keep their places to each other.
//
// Thread-safe: frame intake on client threads places frames, the mixing
// and compositing threads ask what is due.
class MediaTimeline {
 public:
  static constexpr int64_t kTicksPerMs = 90;
  static constexpr int64_t kTicksPerSecond = 90000;
  static constexpr uint32_t kDefaultDelayMs = 60;
  static constexpr uint32_t kMaxDelayMs = 1000;
  // Stamps further than this from the timeline are placed anew (90 kHz).
  static constexpr int64_t kReplaceDistance = kTicksPerSecond;
  // A stream that stays more than a second behind for this long is placed
  // anew; a shorter spell is a burst of late frames, which are dropped.
  static constexpr int64_t kBehindPatienceMs = 500;
  // When every frame of the meeting has come after its time for this long
  // (the client fell behind as a whole, after a stall of its own), all its
  // streams are placed later at once by what the last frame lacked: output
  // time skips the stall and the meeting goes on from its next frames,
  // streams in their places to each other, instead of dropping them all.
  static constexpr int64_t kMeetingLatePatienceMs = 200;
  // ... and by whole pictures of the 25 fps canvas, so that every picture
  // keeps its place on the canvas's grid relative to the audio.
  static constexpr int64_t kMeetingMoveStep = kTicksPerSecond / 25;
  // The clock follower: one measurement per window, the mapping moved by
  // half the measured lateness, at most these amounts per window.
  static constexpr int64_t kWindowMs = 1000;
  static constexpr int64_t kMaxLaterPerWindow = 10 * kTicksPerMs;
  static constexpr int64_t kMaxEarlierPerWindow = 2 * kTicksPerMs;
  static constexpr int kMaxStreams = 64;

  // What placing a frame tells the stream's owner.
  struct Placement {
    uint64_t stamp = 0;     // output time of the frame's start, 90 kHz
    bool replaced = false;  // the stream was placed anew with this frame
    uint64_t epoch = 0;     // the anchoring the stamp belongs to
    uint64_t origin = 0;    // output time of that anchoring's first frame
  };

  explicit MediaTimeline(uint32_t delayMs = kDefaultDelayMs);
  MediaTimeline(const MediaTimeline&) = delete;
  MediaTimeline& operator=(const MediaTimeline&) = delete;

  // The target delay: how late a frame may arrive and still be used. Taken
  // by the next anchoring. False (nothing changed) beyond kMaxDelayMs.
  bool SetDelayMs(uint32_t delayMs);
  uint32_t DelayMs() const;

  // Forgets the anchor: the next frame anchors the timeline again, and
  // output time goes on from the end of what was produced so far. Every
  // stream is placed again by its next frame. Control thread, while no
  // mixer runs.
  void Restart();

  // A stream's registration; -1 when the table is full (its frames are
  // then placed with the meeting's shift and not measured).
  int OpenStream(const std::string& name);
  void CloseStream(int stream);

  // Places a frame of `stream` stamped `stamp` (the client's media clock)
  // that covers `duration` ticks and arrived at machine time `tick` (ms).
  // The first frame of the meeting anchors the timeline. Client threads.
  Placement Place(int stream, uint64_t stamp, uint64_t duration, uint32_t tick);

  // Whether a frame has anchored the timeline, and the output time of that
  // first frame: the origin of the mixers' grids. The epoch counts the
  // anchorings, so that a mixer sees a restart.
  bool Anchored() const;
  uint64_t Origin() const;
  uint64_t Epoch() const;

  // Output time that is due at machine time `tick`: everything before it
  // has had its target delay. Meaningful once anchored.
  uint64_t DueAt(uint32_t tick);
  // Milliseconds from `tick` until output time `stamp` is due; 0 when due.
  uint32_t MsUntil(uint64_t stamp, uint32_t tick);

  // The end of what a mixer has produced, in output time; the next anchor
  // after a restart begins there. Mixing and compositing threads.
  void NoteProduced(uint64_t end);

  // Signed distance a - b of two stamps; stamps wrap modulo 2^64.
  static int64_t Distance(uint64_t a, uint64_t b) { return static_cast<int64_t>(a - b); }

  // Events set whenever a frame anchors the timeline, so that the mixers
  // waiting for the first frame wake at once instead of polling. The owner
  // of `wake` removes it before destroying it. Any thread.
  void AddAnchorWaiter(platform::Event* wake);
  void RemoveAnchorWaiter(platform::Event* wake);

  // Observers for statistics and tests: the current mapping offset
  // (machine ticks x 90 minus output time) and how often it was moved.
  int64_t MappingOffset();
  uint64_t Adjustments() const { return m_adjustments.load(std::memory_order_relaxed); }

 private:
  struct Stream {
    bool open = false;
    bool placed = false;      // `offset` set by a frame since the last anchor
    uint64_t offset = 0;      // output time minus media time (wrapping)
    bool behind = false;      // more than a second behind since `behindSince`
    int64_t behindSince = 0;  // ms
    bool measured = false;    // `windowMin` holds a value
    int64_t windowMin = 0;    // least lateness in the current window, ticks
    std::string name;
  };

  // Machine time in ms as a 64-bit count from the first reading; readings
  // from several threads may come slightly out of order. Caller holds the
  // mutex.
  int64_t UnwrapLocked(uint32_t tick);
  // Output time of media that arrives on time at machine time `wallMs`.
  uint64_t NowLocked(int64_t wallMs) const {
    return static_cast<uint64_t>(wallMs * kTicksPerMs) - m_offset;
  }
  void ReplaceLocked(Stream& s, uint64_t stamp, uint64_t duration, uint64_t now, const char* why);
  void MeasureLocked(Stream& s, int64_t lateness, int64_t wallMs);
  // Follows a meeting that comes late as a whole; true when it moved the
  // mapping (by `lateness`, ticks).
  bool FollowLateMeetingLocked(int64_t lateness, int64_t wallMs);

  // Guards everything below; taken briefly by client threads (Place), the
  // mixing and compositing threads (DueAt, MsUntil) and the control thread.
  mutable platform::Mutex m_mutex;
  uint32_t m_delayMs;
  uint32_t m_activeDelayMs;
  bool m_wallKnown = false;
  uint32_t m_lastTick = 0;
  int64_t m_lastWall = 0;
  bool m_anchored = false;
  uint64_t m_epoch = 0;
  uint64_t m_origin = 0;
  uint64_t m_shift = 0;   // output time minus media time for streams in step
  uint64_t m_offset = 0;  // machine ticks (ms x 90) minus output time "now"
  bool m_produced = false;
  uint64_t m_producedEnd = 0;
  int64_t m_windowStart = 0;  // ms
  bool m_late = false;        // every frame since `m_lateSince` came after its time
  int64_t m_lateSince = 0;    // ms
  std::array<Stream, kMaxStreams> m_streams;
  std::vector<platform::Event*> m_anchorWaiters;  // borrowed, see AddAnchorWaiter
  std::atomic<uint64_t> m_adjustments{0};
};

// A stream's registration on a timeline, closed when the holder drops it.
// The timeline outlives every registration.
class TimelineStream {
 public:
  TimelineStream() = default;
  TimelineStream(MediaTimeline* timeline, const std::string& name);
  ~TimelineStream();
  TimelineStream(TimelineStream&& other) noexcept;
  TimelineStream& operator=(TimelineStream&& other) noexcept;
  TimelineStream(const TimelineStream&) = delete;
  TimelineStream& operator=(const TimelineStream&) = delete;

  // Places a frame of this stream (see MediaTimeline::Place).
  MediaTimeline::Placement Place(uint64_t stamp, uint64_t duration, uint32_t tick) const;
  bool valid() const { return m_timeline != nullptr; }

 private:
  MediaTimeline* m_timeline = nullptr;  // borrowed
  int m_id = -1;
};

}  // namespace plenova
