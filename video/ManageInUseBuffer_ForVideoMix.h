#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/PoolBufferPtr.h"
#include "common/TimestampQueue.h"
#include "platform/Mutex.h"
#include "sync/MediaTimeline.h"

namespace plenova {

class VideoMix;

// The input queue of one video stream: frames ordered by their output
// stamps, at most kMaxFrames of them. Client threads push, the compositing
// thread takes for each canvas the newest frame due by its stamp. Frames
// that can no longer be shown go back to their pool.
class ManageInUseBuffer_ForVideoMix {
 public:
  static constexpr int kMaxFrames = 11;

  // What became of a pushed frame.
  enum class Push { kQueued, kSuperseded, kFull };

  // `owner` is the mixer holding this queue; it outlives the queue.
  explicit ManageInUseBuffer_ForVideoMix(VideoMix* owner) : owner_(owner) {}
  // Destroys every queued frame (storage and record).
  ~ManageInUseBuffer_ForVideoMix() = default;
  ManageInUseBuffer_ForVideoMix(const ManageInUseBuffer_ForVideoMix&) = delete;
  ManageInUseBuffer_ForVideoMix& operator=(const ManageInUseBuffer_ForVideoMix&) = delete;

  // Queues `frame` by its timestamp. With `due` (the stamp of the last
  // canvas composed), only the newest frame stamped at or before it is
  // kept: the older ones could never be shown again and go back to their
  // pool (`*superseded` counts them, the pushed one included). Over
  // kMaxFrames the frame furthest ahead is destroyed. kSuperseded when the
  // pushed frame itself was dropped as stale, kFull when the bound dropped a
  // frame. A null frame answers kSuperseded.
  Push pushdata(PoolBufferPtr frame, std::optional<uint64_t> due, int* superseded);

  // The newest frame stamped at or before `stamp`, removed, or null; the
  // older ones go back to their pool (`*skipped` counts them). Compositing
  // thread.
  PoolBufferPtr TakeDue(uint64_t stamp, int* skipped);

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

  VideoMix* const owner_;  // borrowed; not used for anything but identity
  // Guards `nodes_`; taken by client threads (push) and the compositing
  // thread (take, peek, statistics), inside the mixer's queue lock when both
  // are held.
  platform::Mutex mutex_;
  TimestampQueue<uint64_t, StampBefore> nodes_;  // keyed by stamp
};

}  // namespace plenova
