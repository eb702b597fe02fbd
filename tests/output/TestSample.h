#pragma once

#include <cstring>

#include "common/MemoryPool.h"
#include "output/AVSample.h"

namespace plenova::testing {

// An 8-byte sample that looks like H.264 (start code, key or non-key NAL
// header) in a block of `pool`, stamped `stamp`; the block goes back to the
// pool with the sample.
class TestSample {
 public:
  TestSample(MemoryPool& pool, bool audio, bool key, uint64_t stamp, uint32_t tick = 0)
      : pool_(pool) {
    PoolBuffer* buffer = pool.GetEmptyBuffer(8);
    const uint8_t bytes[8] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41), 1, 2, 3};
    std::memcpy(buffer->data, bytes, sizeof(bytes));
    buffer->len = sizeof(bytes);
    buffer->timestamp = stamp;
    buffer->tick = tick;
    sample_ = {audio ? kStreamTypeAudio : kStreamTypeVideo, static_cast<uint8_t>(key ? 1 : 0),
               buffer};
  }
  ~TestSample() { pool_.PutEmptyBuffer(sample_.buffer); }
  TestSample(const TestSample&) = delete;
  TestSample& operator=(const TestSample&) = delete;

  const AVSample& get() const { return sample_; }

 private:
  MemoryPool& pool_;
  AVSample sample_;
};

}  // namespace plenova::testing
