#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/TimestampQueue.h"
#include "platform/Mutex.h"
#include "sync/MediaTimeline.h"
#include "video/IVideoMix.h"

namespace plenova {

class MemoryPool;
class VideoMix;

// The input queue of one video stream: frames ordered by their output
// stamps, at most kMaxFrames of them. Client threads push, the compositing
// thread takes for each canvas the newest frame due by its stamp. Frames
// that can no longer be shown go back to the pool.
class ManageInUseBuffer_ForVideoMix {
 public:
  static constexpr int kMaxFrames = 11;

  // What became of a pushed frame.
  enum class Push { kQueued, kSuperseded, kFull };

  // `owner` is the mixer holding this queue and `pool` the one its frames
  // come from; both outlive the queue (`pool` may be null: frames are then
  // freed).
  ManageInUseBuffer_ForVideoMix(VideoMix* owner, MemoryPool* pool) : owner_(owner), pool_(pool) {}
  // Destroys every queued frame (storage and record).
  ~ManageInUseBuffer_ForVideoMix() = default;
  ManageInUseBuffer_ForVideoMix(const ManageInUseBuffer_ForVideoMix&) = delete;
  ManageInUseBuffer_ForVideoMix& operator=(const ManageInUseBuffer_ForVideoMix&) = delete;

  // Queues the record's frame by its stamp and takes ownership of it. With
  // `due` (the stamp of the last canvas composed), only the newest frame
  // stamped at or before it is kept: the older ones could never be shown
  // again and go back to the pool (`*superseded` counts them, the pushed
  // one included). Over kMaxFrames the frame furthest ahead is dropped.
  // kSuperseded when the pushed frame itself was dropped as stale, kFull
  // when the bound dropped a frame. A null record or frame takes nothing and
  // answers kSuperseded.
  Push pushdata(const VideoMixFrame* record, std::optional<uint64_t> due, int* superseded);

  // The newest frame stamped at or before `stamp`, removed (the caller owns
  // it), or null; the older ones go back to the pool (`*skipped` counts
  // them). Compositing thread.
  PoolBuffer* TakeDue(uint64_t stamp, int* skipped);

  // Gives back the frames that a newer one stamped at or before `stamp`
  // replaces; returns how many.
  int DropSuperseded(uint64_t stamp);

  // Gives back every queued frame.
  void Clear();

  // Stamp of the oldest frame, without removing it.
  std::optional<uint64_t> peekstamp();

  // Queued frames and the sum of their block capacities in bytes.
  int Count();
  int64_t TotalCapacity();

  VideoMix* owner() const { return owner_; }

 private:
  // Stamps wrap modulo 2^64; their order is that of their signed distance.
  struct StampBefore {
    bool operator()(uint64_t a, uint64_t b) const { return MediaTimeline::Distance(a, b) < 0; }
  };

  VideoMix* const owner_;   // borrowed; not used for anything but identity
  MemoryPool* const pool_;  // borrowed
  // Guards `nodes_`; taken by client threads (push) and the compositing
  // thread (take, peek, statistics), inside the mixer's queue lock when both
  // are held.
  platform::Mutex mutex_;
  TimestampQueue<uint64_t, StampBefore> nodes_;  // keyed by stamp
};

}  // namespace plenova
