#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "platform/Mutex.h"
#include "video/IVideoMix.h"
#include "video/PoolBufferPtr.h"

namespace plenova {

class VideoMix;

// The input queue of one video stream: frames ordered by timestamp, at most
// kMaxFrames of them. Client threads push, the compositing thread pops.
class ManageInUseBuffer_ForVideoMix {
 public:
  static constexpr int kMaxFrames = 11;

  // `owner` is the mixer holding this queue; it outlives the queue.
  explicit ManageInUseBuffer_ForVideoMix(VideoMix* owner) : owner_(owner) {}
  // Frees every queued frame.
  ~ManageInUseBuffer_ForVideoMix() = default;
  ManageInUseBuffer_ForVideoMix(const ManageInUseBuffer_ForVideoMix&) = delete;
  ManageInUseBuffer_ForVideoMix& operator=(const ManageInUseBuffer_ForVideoMix&) = delete;

  // Queues the record's frame by its timestamp and takes ownership of it.
  // When the queue would exceed kMaxFrames the newest frame is freed (not
  // returned to the pool). False for a null record or frame (nothing taken).
  bool pushdata(const VideoMixFrame* record);

  // Removes and returns the oldest frame (owned by the caller), or nullptr.
  PoolBuffer* popdata();

  // Timestamp of the oldest frame, without removing it.
  std::optional<uint64_t> peekstamp();

  // Queued frames and the sum of their block capacities in bytes.
  int Count();
  int64_t TotalCapacity();

  VideoMix* owner() const { return owner_; }

 private:
  struct Node {
    PoolBufferPtr frame;
    int32_t height = 0;
    int32_t width = 0;
    std::string streamId;
    int32_t fps = 0;
  };

  VideoMix* const owner_;  // borrowed; not used for anything but identity
  // Guards `nodes_`; taken by client threads (push) and the compositing
  // thread (pop, peek, statistics), inside the mixer's mutex when both are held.
  platform::Mutex mutex_;
  std::deque<Node> nodes_;  // ascending timestamp, head = oldest
};

}  // namespace plenova
