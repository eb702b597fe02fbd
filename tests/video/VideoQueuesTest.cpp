#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "common/MemoryPool.h"
#include "video/ManageInUseBuffer_ForVideoMix.h"
#include "video/VideoEncodeBuffer.h"

namespace plenova {
namespace {

PoolBuffer* Stamped(MemoryPool& pool, uint64_t stamp) {
  PoolBuffer* b = pool.GetEmptyBuffer(1000);
  b->timestamp = stamp;
  return b;
}

// A stream queue fed with frames stamped `stamps`; `due` is the stamp of the
// last canvas composed when they arrive.
class StreamQueueTest : public ::testing::Test {
 protected:
  ManageInUseBuffer_ForVideoMix::Push Push(uint64_t stamp,
                                           std::optional<uint64_t> due = std::nullopt,
                                           int* superseded = nullptr) {
    return queue_.pushdata(AdoptPoolBuffer(Stamped(pool_, stamp), &pool_), due, superseded);
  }
  // Takes, canvas by canvas, the frame due at each of `canvases`; 0 when none.
  std::vector<uint64_t> Take(const std::vector<uint64_t>& canvases) {
    std::vector<uint64_t> shown;
    for (uint64_t c : canvases) {
      const PoolBufferPtr b = queue_.TakeDue(c, nullptr);
      shown.push_back(b != nullptr ? b->timestamp : 0);
    }
    return shown;
  }

  MemoryPool pool_;
  ManageInUseBuffer_ForVideoMix queue_{nullptr};
};

TEST_F(StreamQueueTest, EachCanvasTakesTheNewestFrameDueAndOlderOnesGo) {
  for (uint64_t s : {3600, 100, 7200, 1800, 1800}) Push(s);
  EXPECT_EQ(queue_.peekstamp().value_or(0), 100u);
  int skipped = 0;
  const PoolBufferPtr b = queue_.TakeDue(3599, &skipped);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->timestamp, 1800u);  // the later of the two equal stamps
  EXPECT_EQ(skipped, 2);
  EXPECT_EQ(Take({3599, 3600, 5000, 7200}), (std::vector<uint64_t>{0, 3600, 0, 7200}));
}

TEST_F(StreamQueueTest, TwelfthFrameDropsTheOneFurthestAhead) {
  for (uint64_t i = 0; i < 11; ++i)
    EXPECT_EQ(Push(i * 3000), ManageInUseBuffer_ForVideoMix::Push::kQueued);
  EXPECT_EQ(Push(4500), ManageInUseBuffer_ForVideoMix::Push::kFull);  // 30000 goes
  EXPECT_EQ(queue_.Count(), 11);
  EXPECT_EQ(Take({4500, 27000, 30000}), (std::vector<uint64_t>{4500, 27000, 0}));
}

TEST_F(StreamQueueTest, FramesThatCanNoLongerShowGoAtOnce) {
  // The canvas at 10000 is composed: of the frames due by it only the
  // newest can still show, whenever it comes.
  int superseded = 0;
  EXPECT_EQ(Push(4000, 10000, &superseded), ManageInUseBuffer_ForVideoMix::Push::kQueued);
  EXPECT_EQ(Push(8000, 10000, &superseded), ManageInUseBuffer_ForVideoMix::Push::kQueued);
  EXPECT_EQ(superseded, 1);
  EXPECT_EQ(Push(6000, 10000, &superseded), ManageInUseBuffer_ForVideoMix::Push::kSuperseded);
  EXPECT_EQ(Push(12000, 10000, &superseded), ManageInUseBuffer_ForVideoMix::Push::kQueued);
  EXPECT_EQ(superseded, 0);
  EXPECT_EQ(Take({10000, 13000}), (std::vector<uint64_t>{8000, 12000}));
}

class EncodeBufferTest : public ::testing::Test {
 protected:
  std::vector<uint64_t> Drain(int32_t rate = 25) {
    std::vector<uint64_t> out;
    for (;;) {
      VideoEncodeBuffer::Result r = buffer_.GetData(rate);
      if (r.state != VideoEncodeBuffer::kTaken) break;
      out.push_back(r.canvas->timestamp);
    }
    return out;
  }

  MemoryPool pool_;
  VideoEncodeBuffer buffer_;
};

TEST_F(EncodeBufferTest, TwentySixthCanvasDropsTheOldest) {
  for (uint64_t i = 1; i <= 26; ++i)
    ASSERT_TRUE(buffer_.PutData(AdoptPoolBuffer(Stamped(pool_, i * 3600), &pool_), 25));
  const std::vector<uint64_t> out = Drain();
  ASSERT_EQ(out.size(), 25u);
  EXPECT_EQ(out.front(), 2u * 3600);
  EXPECT_EQ(out.back(), 26u * 3600);
}

}  // namespace
}  // namespace plenova
