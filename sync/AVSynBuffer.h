#pragma once

// Contract of the A/V sync buffer as the encoders and the controller use it.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <utility>

#include "common/MemoryPool.h"
#include "common/PoolBuffer.h"
#include "common/PoolBufferPtr.h"
#include "output/AVSample.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "sync/EncodedSample.h"

namespace plenova {

// States of a queued sample and of the audio queue's current record.
constexpr uint32_t kSampleQueued = 3;      // queued; for the current record: reset
constexpr uint32_t kSampleReleased = 2;    // released by this fetch
constexpr uint32_t kSampleNoneNow = 1;     // audio: the queue was empty when asked
constexpr uint32_t kSampleRateChange = 0;  // video: other frame rate, the walk stopped here

// Status of a fetch (SynGetResult::status).
constexpr uint32_t kSynNoAudio = 1;        // no audio sample now
constexpr uint32_t kSynAudioReleased = 2;  // an audio sample was released
constexpr uint32_t kSynNeverFilled = 4;    // nothing was ever put

// One queued AAC frame, and the audio queue's current record.
struct AudioSampleNode {
  uint32_t state = kSampleQueued;
  PoolBufferPtr buffer;  // null in the current record once a fetch handed it on
  int32_t channels = 0;
  int32_t fps = 0;  // mixer frames per second
  int32_t sampling_per_bits = 0;
  int32_t sampling_rate = 0;
  AudioSampleNode* next = nullptr;  // towards newer; always null in the current record
};

// One queued H.264 access unit with the parameter sets it came with.
struct VideoSampleNode {
  static constexpr int32_t kSpsPpsCapacity = 256;

  PoolBufferPtr buffer;
  int32_t fps = 0;  // rate at which the encoder produced the frame
  uint8_t isKeyFrame = 0;
  uint32_t state = kSampleQueued;
  int32_t spsPpsLen = 0;
  std::array<uint8_t, kSpsPpsCapacity> spsPps{};
  VideoSampleNode* next = nullptr;  // towards newer; null at the tail
};

class AVSynBuffer;
struct SynGetResult;

// Gives a released audio block back to the sync buffer's pool.
struct ReleasedAudioDeleter {
  AVSynBuffer* owner = nullptr;  // borrowed; outlives every block it hands out
  void operator()(PoolBuffer* block) const;
};
// An audio sample's block released by a fetch; back to the pool when dropped.
using ReleasedAudioBlock = std::unique_ptr<PoolBuffer, ReleasedAudioDeleter>;

class ReleasedVideo;

// The meeting point of the two encoders and the sync controller: two bounded
// FIFO queues of encoded samples copied into pool blocks. Audio leads: each
// fetch releases one audio sample together with every queued video frame of
// the controller's frame rate stamped before that sample's end. Each put
// wakes the controller's thread.
class AVSynBuffer {
 public:
  // Encoded AAC frames. A put into a full queue discards the incoming sample.
  class ManageInUseBuffer_A {
   public:
    static constexpr int kCapacity = 51;

    ManageInUseBuffer_A() = default;
    // Destroys the queued blocks and one left in the current record (storage
    // and record, not back to the pool).
    ~ManageInUseBuffer_A();
    ManageInUseBuffer_A(const ManageInUseBuffer_A&) = delete;
    ManageInUseBuffer_A& operator=(const ManageInUseBuffer_A&) = delete;

    // Queues `buffer`. A sample with bad parameters is logged and its block
    // goes back to its pool; a sample beyond the capacity is destroyed.
    void putdata(PoolBufferPtr buffer, int32_t channels, int32_t sampling_per_bits,
                 int32_t sampling_rate, int32_t fps);

    // Moves the oldest sample, block and all, into the current record
    // (state 2); false with the record's state 1 when the queue is empty.
    // `timestamp` is logged only.
    bool getdata(uint64_t timestamp);

    // The record that receives the sample taken last.
    AudioSampleNode* Current() { return &m_current; }
    // Empties the current record; a block still in it goes back to its pool.
    void ResetCurrent();

    bool Empty();
    int Count();
    // Timestamp of the oldest sample; the queue must not be empty.
    uint64_t HeadTimestamp();
    // Gives back every queued sample.
    void Clear();

   private:
    // Guards m_nodes and m_getCount; taken by the producers (through
    // PutData) and the controller thread, inside the buffer mutex.
    platform::Mutex m_mutex;
    // Oldest first; each node's `next` links to the one behind it.
    std::deque<std::unique_ptr<AudioSampleNode>> m_nodes;
    // Written only by the controller's fetch, under the buffer mutex.
    AudioSampleNode m_current;
    uint64_t m_getCount = 0;
  };

  // Encoded H.264 frames. A put into a full queue discards the incoming frame.
  class ManageInUseBuffer_V {
   public:
    static constexpr int kCapacity = 21;
    // Frames kept by trimdata while audio is missing.
    static constexpr int kStalledKeep = 15;

    ManageInUseBuffer_V() = default;
    // Destroys the queued blocks (storage and record, not back to the pool).
    ~ManageInUseBuffer_V();
    ManageInUseBuffer_V(const ManageInUseBuffer_V&) = delete;
    ManageInUseBuffer_V& operator=(const ManageInUseBuffer_V&) = delete;

    // Queues `buffer` and copies `spsPpsLen` bytes of `spsPps`. A frame
    // without parameter sets or frame rate is logged and its block goes back
    // to its pool; a frame beyond the capacity is destroyed.
    void putdata(PoolBufferPtr buffer, int32_t fps, uint8_t isKeyFrame, int32_t spsPpsLen,
                 const uint8_t* spsPps);

    // Marks 2 every frame of rate `fps` stamped before `limit`, from the head
    // up to the first frame at or after the limit (left as it is) or of
    // another rate (marked 0); either ends the walk. Returns the frames
    // marked 2 (from the head on), given back when the handle is dropped.
    ReleasedVideo getdata(int32_t fps, uint64_t limit);

    // Gives the first `n` frames back to their pool and unlinks them; n <= 0
    // does nothing. Controller thread.
    void releasedata(int n);
    // Keeps only the newest kStalledKeep frames. Controller thread.
    void trimdata();
    // Gives back every queued frame.
    void Clear();

    int Count();
    // The oldest frame, or null. Stays valid until the controller removes it.
    VideoSampleNode* Head();

   private:
    void ReleaseFrontLocked(int n);

    // Guards m_nodes and the counters; taken by the encoding thread (through
    // PutData) and the controller thread.
    platform::Mutex m_mutex;
    // Oldest first; each node's `next` links to the one behind it.
    std::deque<std::unique_ptr<VideoSampleNode>> m_nodes;
    uint64_t m_getCount = 0;
    uint64_t m_putCount = 0;
  };

  AVSynBuffer();
  ~AVSynBuffer();
  AVSynBuffer(const AVSynBuffer&) = delete;
  AVSynBuffer& operator=(const AVSynBuffer&) = delete;

  bool InitBuffer(MemoryPool* pool);

  // Copy one encoded sample into a pool block, queue it and wake the
  // controller's WaitForData. False (logged, nothing taken) for empty data,
  // parameter sets longer than VideoSampleNode::kSpsPpsCapacity, before
  // InitBuffer or when the pool has no block; a sample the queue refuses
  // (no parameter sets, a rate or format below 1) or has no room for is
  // logged or dropped there and still counts as put. PutVideo: the video
  // encoding thread; PutAudio: the audio mixing thread.
  bool PutVideo(const EncodedVideoSample& sample);
  bool PutAudio(const EncodedAudioSample& sample);

  // One fetch of the controller (the only caller; its settings are valid).
  // Peek: the oldest audio timestamp, nothing taken. Otherwise the oldest
  // audio sample and the video frames of rate `fps` stamped before its end
  // (its stamp + `duration`); without audio, a stalled fetch keeps only the
  // newest kStalledKeep frames. What it releases travels in the result's
  // handles. Null only when no memory is left.
  std::unique_ptr<SynGetResult> GetData(uint8_t peekOnly, int32_t channels, int32_t duration,
                                        int32_t sampling_per_bits, int32_t sampling_rate,
                                        uint64_t target, int32_t fps, uint8_t audioStalled);

  // Waits until a sample is put or Wake is called (either since the last
  // wait), or until `ms` of the installed clock have passed
  // (platform::kWaitForever: no limit). Controller thread.
  void WaitForData(uint32_t ms);
  // Ends the current or the next WaitForData at once (the controller stops).
  // Any thread.
  void Wake();

  // Gives a released audio block back to the pool under the buffer mutex,
  // so that it never interleaves with a put. Called by the block's handle
  // (ReleasedAudioBlock). Controller thread.
  void GiveBackAudio(PoolBuffer* block);

  // Gives back what an engine run left queued when it stopped: its samples
  // belong to that run's encoders (another canvas, perhaps) and must not
  // reach the next run's outputs. Only while no thread puts or gets.
  void Clear();

  // The queues, for the controller's releasedata/trimdata.
  ManageInUseBuffer_A* AudioQueue() { return &m_audio; }
  ManageInUseBuffer_V* VideoQueue() { return &m_video; }

 private:
  // The common path of PutVideo and PutAudio: refuses `data` when empty or
  // when `parameterSets` bytes would not fit a node, copies it into a block
  // stamped `timestamp` and `tick` and hands the block to `queue` under
  // m_mutex.
  bool PutData(std::span<const uint8_t> data, uint64_t timestamp, uint32_t tick,
               size_t parameterSets, const std::function<void(PoolBufferPtr)>& queue);

  ManageInUseBuffer_A m_audio;
  ManageInUseBuffer_V m_video;
  // Written under m_mutex; read there too.
  bool m_neverFilled = true;
  MemoryPool* m_pool = nullptr;  // borrowed; the recorder's pool outlives the buffer
  // Serialises the puts, GetData and GiveBackAudio;
  // taken by the producer threads and the controller thread, before a queue
  // mutex and the pool mutex.
  platform::Mutex m_mutex;
  // Set by each accepted put (after m_mutex) and by Wake; the controller's
  // thread waits on it (auto reset: each wait consumes what came before it).
  platform::Event m_work;
};

// The video frames one fetch released: the first `count()` frames of the
// video queue, still linked there. Dropping the handle gives them back to
// the pool and unlinks them. Walk by the count: the `next` of the last one
// may be written by a put. Drop it before the next fetch. Controller thread.
class ReleasedVideo {
 public:
  ReleasedVideo() = default;
  ReleasedVideo(AVSynBuffer::ManageInUseBuffer_V* queue, VideoSampleNode* first, int32_t count)
      : m_queue(queue), m_first(first), m_count(count) {}
  ~ReleasedVideo() { reset(); }
  ReleasedVideo(ReleasedVideo&& other) noexcept { *this = std::move(other); }
  ReleasedVideo& operator=(ReleasedVideo&& other) noexcept;
  ReleasedVideo(const ReleasedVideo&) = delete;
  ReleasedVideo& operator=(const ReleasedVideo&) = delete;

  VideoSampleNode* first() const { return m_first; }
  int32_t count() const { return m_count; }
  bool empty() const { return m_count == 0; }
  // Gives the frames back now.
  void reset();

 private:
  AVSynBuffer::ManageInUseBuffer_V* m_queue = nullptr;  // borrowed; outlives the handle
  VideoSampleNode* m_first = nullptr;
  int32_t m_count = 0;
};

// Result of AVSynBuffer::GetData. `audio` points to the audio queue's
// current record (its format), valid until the next fetch; the sample's
// block and the released video travel in the owning handles.
struct SynGetResult {
  AudioSampleNode* audio = nullptr;  // the audio queue's current record, or null
  ReleasedAudioBlock audioBlock{nullptr, ReleasedAudioDeleter{}};  // with `audio`
  ReleasedVideo video;         // frames released behind the audio sample
  uint64_t headTimestamp = 0;  // peek only: oldest queued audio timestamp
  uint8_t hasTimestamp = 0;    // peek only: headTimestamp is valid
  uint32_t status = kSynNoAudio;
};

}  // namespace plenova
