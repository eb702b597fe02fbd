#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "audio/IAudioMix.h"
#include "common/PoolBuffer.h"
#include "platform/Mutex.h"

namespace plenova {

// The input queue of one audio stream: frames in ascending timestamp order,
// at most kMaxFrames of them; when a push makes one too many, the frame with
// the greatest timestamp is destroyed.
class ManageInUseBuffer_ForAudioMix {
 public:
  static constexpr int kMaxFrames = 20;

  ManageInUseBuffer_ForAudioMix() = default;
  // Destroys every queued frame (storage and record).
  ~ManageInUseBuffer_ForAudioMix();
  ManageInUseBuffer_ForAudioMix(const ManageInUseBuffer_ForAudioMix&) = delete;
  ManageInUseBuffer_ForAudioMix& operator=(const ManageInUseBuffer_ForAudioMix&) = delete;

  // Queues the frame's buffer (ownership passes) after every frame whose
  // timestamp is not greater. False for a missing frame or buffer, which
  // leaves the queue unchanged. Client thread.
  bool pushdata(const AudioMixFrame* frame);
  // The oldest frame, removed (the caller owns it), or null. Mixing thread.
  PoolBuffer* popdata();
  // Timestamp of the oldest frame without removing it.
  std::optional<uint64_t> peekstamp();

  int Count();
  // Sum of the queued frames' capacities, bytes.
  int64_t TotalCapacity();

 private:
  // Guards m_frames; taken by the client thread (push) and the mixing thread.
  platform::Mutex m_mutex;
  std::deque<PoolBuffer*> m_frames;
};

}  // namespace plenova
