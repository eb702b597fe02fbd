#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

#include "platform/Mutex.h"
#include "common/PoolBufferPtr.h"

namespace plenova {

// The queue of finished canvases between the compositing thread and the
// encoding thread, ordered by timestamp and bounded to one second of video:
// when it overflows the oldest canvases are dropped, so the encoder always
// works on recent pictures.
class VideoEncodeBuffer {
 public:
  static constexpr int kCapacity = 25;

  // Result states of GetData.
  static constexpr int32_t kRateDiffers = 0;
  static constexpr int32_t kEmpty = 1;
  static constexpr int32_t kTaken = 2;

  struct Result {
    PoolBufferPtr canvas;  // the head canvas when state is kTaken
    int32_t rate = 0;      // rate of the head canvas (0 when empty)
    int32_t state = kEmpty;
  };

  VideoEncodeBuffer() = default;
  // Frees every queued canvas (storage and record, not back to the pool).
  ~VideoEncodeBuffer();
  VideoEncodeBuffer(const VideoEncodeBuffer&) = delete;
  VideoEncodeBuffer& operator=(const VideoEncodeBuffer&) = delete;

  // Queues `canvas`, composed at `rate` canvases per second; canvases the
  // bound drops are freed (storage and record, not back to the pool). The
  // canvas must not be null and the rate at least 1 (asserted; otherwise
  // false and the canvas goes back to its pool). Compositing thread.
  bool PutData(PoolBufferPtr canvas, int32_t rate);

  // Takes the oldest canvas when it was composed at `expected_rate`;
  // otherwise reports its rate and leaves it queued. Encoding thread.
  Result GetData(int32_t expected_rate);

  int Count();

  // Waits until a canvas is queued, Wake is called or `timeout_ms` passes;
  // true when a canvas waits. Encoding thread.
  bool WaitForData(uint32_t timeout_ms);
  // Ends a WaitForData at once (the encoder stops).
  void Wake();

 private:
  struct Node {
    PoolBufferPtr canvas;
    int32_t rate = 0;
  };

  // Guards every member; taken by the compositing and encoding threads for
  // one list operation, never while encoding.
  platform::Mutex mutex_;
  std::deque<Node> nodes_;  // ascending timestamp, head = oldest
  uint64_t get_calls_ = 0;
  uint64_t stat_counts_ = 0;

  // Wakes the encoding thread: guards `queued_` and `woken_`, which mirror
  // the queue for the wait (the queue's own lock is recursive).
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  size_t queued_ = 0;
  bool woken_ = false;
};

}  // namespace plenova
