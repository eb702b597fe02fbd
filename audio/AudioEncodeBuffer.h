#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "common/MemoryPool.h"
#include "common/PoolBuffer.h"
#include "common/PoolBufferPtr.h"
#include "platform/Mutex.h"

namespace plenova {

// Format of a stretch of PCM.
struct AudioFormat {
  int32_t channels = 0;
  int32_t sampling_rate = 0;
  int32_t sampling_per_bits = 0;
  bool operator==(const AudioFormat&) const = default;
};

// Answer of AudioEncodeBuffer::GetData.
struct AudioEncodeBufferData {
  enum State : int32_t { kFormatDiffers = 0, kNotReady = 1, kReady = 2 };
  PoolBufferPtr buffer;  // the head element's block with kReady
  int32_t channels = 0;  // format of the head element (kFormatDiffers, kReady)
  int32_t sampling_per_bits = 0;
  int32_t sampling_rate = 0;
  State state = kNotReady;
};

// Re-cuts mixed PCM frames into elements of exactly one AAC input frame.
// Every element but the tail is complete and holds consecutive audio of one
// format; an element carries the timestamp of its first sample and the
// oldest arrival tick of what it holds. A frame that does not continue the
// tail in time (a stretch the mix produced nothing for) completes the tail
// with silence and begins a new element.
class AudioEncodeBuffer {
 public:
  // Stamps this close to where the tail ends continue it (90 kHz).
  static constexpr int64_t kJoinTolerance = 90;

  AudioEncodeBuffer();
  // Destroys the queued elements (storage and record).
  ~AudioEncodeBuffer();
  AudioEncodeBuffer(const AudioEncodeBuffer&) = delete;
  AudioEncodeBuffer& operator=(const AudioEncodeBuffer&) = delete;

  // `pool` outlives the buffer. False for null.
  bool InitBuffer(MemoryPool* pool);
  // Samples per channel of one element, as the encoder takes them (1024 for
  // AAC-LC); an element of a format holds that many samples of each of its
  // channels. Set when the encoder opens; queued elements keep their size.
  void SetElementFrames(int32_t frames);
  // Bytes of one element of `format`; 0 before SetElementFrames.
  int32_t ElementBytes(const AudioFormat& format);

  // Appends the frame's `len` bytes of the given format. A partly filled
  // tail of another format is completed with silence first. The frame goes
  // back to its pool in every case. False when refused for its arguments,
  // before InitBuffer, or when the pool has no block (what was appended
  // before stays). Mixing thread.
  bool PutData(PoolBufferPtr frame, int32_t channels, int32_t sampling_rate,
               int32_t sampling_per_bits);

  // The head element once it is complete and its format is the one asked
  // for; null for bad arguments. Mixing thread.
  std::unique_ptr<AudioEncodeBufferData> GetData(int32_t channels, int32_t sampling_rate,
                                                 int32_t sampling_per_bits);

  // Elements queued, the partly filled tail included.
  int ElementCount();

 private:
  struct Element {
    PoolBufferPtr buffer;  // `len` is the element's size
    AudioFormat format;
    int32_t used = 0;  // bytes written
  };

  int32_t ElementBytesLocked(const AudioFormat& format) const;
  // Begins an element of `bytes` for `frame`; false when the pool has none.
  bool BeginElementLocked(const PoolBuffer* frame, uint64_t timestamp, const AudioFormat& format,
                          int32_t bytes);

  MemoryPool* m_pool = nullptr;  // borrowed; outlives the buffer
  // Guards every member below; taken by the mixing thread and by the encoder's
  // initialisation on the control thread.
  platform::Mutex m_mutex;
  int32_t m_element_frames = 0;
  std::deque<Element> m_elements;
  uint64_t m_get_count = 0;
};

}  // namespace plenova
