#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/MemoryPool.h"
#include "tests/support/LogCapture.h"
#include "video/ManageInUseBuffer_ForVideoMix.h"
#include "video/VideoEncodeBuffer.h"

namespace plenova {
namespace {

PoolBuffer* Stamped(MemoryPool& pool, uint64_t stamp) {
  PoolBuffer* b = pool.GetEmptyBuffer(1000);
  b->timestamp = stamp;
  return b;
}

// Pushes frames with `stamps` into a stream queue and returns the stamps it
// gives back, oldest first.
std::vector<uint64_t> PushAndDrain(const std::vector<uint64_t>& stamps) {
  MemoryPool pool;
  ManageInUseBuffer_ForVideoMix queue(nullptr);
  for (uint64_t s : stamps) {
    VideoMixFrame frame;
    frame.frame = Stamped(pool, s);
    frame.width = 16;
    frame.height = 16;
    frame.streamId = "cam";
    frame.fps = 25;
    EXPECT_TRUE(queue.pushdata(&frame));
  }
  std::vector<uint64_t> out;
  EXPECT_EQ(queue.peekstamp().value_or(0), stamps.empty() ? 0 : *std::min_element(stamps.begin(), stamps.end()));
  while (PoolBuffer* b = queue.popdata()) {
    out.push_back(b->timestamp);
    pool.PutEmptyBuffer(b);
  }
  EXPECT_FALSE(queue.peekstamp().has_value());
  return out;
}

TEST(StreamQueueTest, OrdersFramesByStamp) {
  EXPECT_EQ(PushAndDrain({3600, 0, 7200, 1800, 1800}), (std::vector<uint64_t>{0, 1800, 1800, 3600, 7200}));
}

TEST(StreamQueueTest, TwelfthFrameDropsTheNewestStamp) {
  std::vector<uint64_t> stamps;
  for (uint64_t i = 0; i < 12; ++i) stamps.push_back(i * 3000);
  std::vector<uint64_t> kept(stamps.begin(), stamps.begin() + 11);
  EXPECT_EQ(PushAndDrain(stamps), kept);
}

TEST(StreamQueueTest, LateFrameInsertedWhenFullPushesOutTheNewest) {
  std::vector<uint64_t> stamps;
  for (uint64_t i = 0; i < 11; ++i) stamps.push_back(i * 3000);
  stamps.push_back(4500);  // late: belongs between 3000 and 6000
  EXPECT_EQ(PushAndDrain(stamps),
            (std::vector<uint64_t>{0, 3000, 4500, 6000, 9000, 12000, 15000, 18000, 21000, 24000, 27000}));
}

class EncodeBufferTest : public ::testing::Test {
 protected:
  std::vector<uint64_t> Drain(int32_t rate = 25) {
    std::vector<uint64_t> out;
    for (;;) {
      VideoEncodeBuffer::Result r = buffer_.GetData(rate);
      if (r.state != VideoEncodeBuffer::kTaken) break;
      out.push_back(r.canvas->timestamp);
      pool_.PutEmptyBuffer(r.canvas);
    }
    return out;
  }

  MemoryPool pool_;
  VideoEncodeBuffer buffer_;
};

TEST_F(EncodeBufferTest, TwentySixthCanvasDropsTheOldestWithAWarning) {
  testing::LogCapture log;
  for (uint64_t i = 1; i <= 26; ++i) ASSERT_TRUE(buffer_.PutData(Stamped(pool_, i * 3600), 25));
  EXPECT_EQ(log.Count("_Plenova_ VideoEncodeBuffer is Full,discard frames:1"), 1);
  const std::vector<uint64_t> out = Drain();
  ASSERT_EQ(out.size(), 25u);
  EXPECT_EQ(out.front(), 2u * 3600);
  EXPECT_EQ(out.back(), 26u * 3600);
}

TEST_F(EncodeBufferTest, EqualStampsKeepArrivalOrderAndLateOnesAreSorted) {
  PoolBuffer* first = Stamped(pool_, 7200);
  PoolBuffer* second = Stamped(pool_, 7200);
  ASSERT_TRUE(buffer_.PutData(first, 25));
  ASSERT_TRUE(buffer_.PutData(Stamped(pool_, 10800), 25));
  ASSERT_TRUE(buffer_.PutData(second, 25));
  ASSERT_TRUE(buffer_.PutData(Stamped(pool_, 3600), 25));
  VideoEncodeBuffer::Result r = buffer_.GetData(25);
  EXPECT_EQ(r.canvas->timestamp, 3600u);
  pool_.PutEmptyBuffer(r.canvas);
  r = buffer_.GetData(25);
  EXPECT_EQ(r.canvas, first);
  pool_.PutEmptyBuffer(r.canvas);
  r = buffer_.GetData(25);
  EXPECT_EQ(r.canvas, second);
  pool_.PutEmptyBuffer(r.canvas);
  EXPECT_EQ(Drain(), (std::vector<uint64_t>{10800}));
}

TEST_F(EncodeBufferTest, RateMismatchReportsTheHeadRateAndKeepsIt) {
  ASSERT_TRUE(buffer_.PutData(Stamped(pool_, 3600), 25));
  VideoEncodeBuffer::Result r = buffer_.GetData(15);
  EXPECT_EQ(r.state, VideoEncodeBuffer::kRateDiffers);
  EXPECT_EQ(r.rate, 25);
  EXPECT_EQ(r.canvas, nullptr);
  EXPECT_EQ(buffer_.Count(), 1);
  EXPECT_EQ(Drain(25).size(), 1u);
  EXPECT_EQ(buffer_.GetData(25).state, VideoEncodeBuffer::kEmpty);
}

TEST_F(EncodeBufferTest, RefusedCanvasStaysWithTheCaller) {
  testing::LogCapture log;
  PoolBuffer* canvas = Stamped(pool_, 3600);
  EXPECT_FALSE(buffer_.PutData(canvas, 0));
  EXPECT_FALSE(buffer_.PutData(nullptr, 25));
  EXPECT_EQ(log.Count("VideoEncodeBuffer::PutData 's value is illegall"), 2);
  EXPECT_EQ(buffer_.Count(), 0);
  pool_.PutEmptyBuffer(canvas);  // still ours: ASan reports a double free otherwise
}

}  // namespace
}  // namespace plenova
