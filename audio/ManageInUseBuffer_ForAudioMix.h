#pragma once

#include <cstdint>
#include <optional>

#include "common/PoolBufferPtr.h"
#include "common/TimestampQueue.h"
#include "platform/Mutex.h"

namespace plenova {

// The input queue of one audio stream: frames placed on the mixer's sample
// timeline, in ascending position, at most kMaxFrames of them; when a push
// makes one too many, the frame that lies furthest ahead is destroyed.
// Frames leaving the queue otherwise go back to their pool. The
// mixer reads any span of the timeline out of it, whatever the frames'
// lengths.
class ManageInUseBuffer_ForAudioMix {
 public:
  static constexpr int kMaxFrames = 20;

  ManageInUseBuffer_ForAudioMix() = default;
  // Destroys every queued frame (storage and record).
  ~ManageInUseBuffer_ForAudioMix() = default;
  ManageInUseBuffer_ForAudioMix(const ManageInUseBuffer_ForAudioMix&) = delete;
  ManageInUseBuffer_ForAudioMix& operator=(const ManageInUseBuffer_ForAudioMix&) = delete;

  // Queues `buffer`, whose first sample lies at `position` and which holds
  // `frames` samples per channel. False for a null buffer, or when the queue
  // was full (a frame was destroyed: this one or one further ahead). Client
  // thread, under the mixer's lock.
  bool pushdata(PoolBufferPtr buffer, int64_t position, int32_t frames);

  // Copies the samples of [from, from + count) that the queued frames hold
  // into `out` (count x channels samples, left as they are where no frame
  // covers them), then gives every frame that ends by from + count back.
  // Returns whether any sample was copied; `*tick` receives the oldest
  // arrival tick among the frames read. Where frames overlap, the later one
  // in the queue wins. Mixing thread.
  bool TakeSpan(int64_t from, int32_t count, int32_t channels, int16_t* out, uint32_t* tick);

  // Gives back every frame that ends by `position`; returns how many.
  int DropBefore(int64_t position);

  // Timestamp (output time) of the first queued frame.
  std::optional<uint64_t> peekstamp();
  int Count();
  // Sum of the queued frames' capacities, bytes.
  int64_t TotalCapacity();

 private:
  // Guards m_frames; taken by client threads (push) and the mixing thread.
  platform::Mutex m_mutex;
  TimestampQueue<int64_t> m_frames;  // keyed by position, length in samples per channel
};

}  // namespace plenova
