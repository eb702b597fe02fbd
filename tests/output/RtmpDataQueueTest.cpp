#include "output/RtmpDataQueue.h"

#include <gtest/gtest.h>

#include "common/MemoryPool.h"

namespace plenova {
namespace {

class RtmpDataQueueTest : public ::testing::Test {
 protected:
  RtmpDataQueueTest() { queue_.SetPool(&pool_); }

  // Puts one byte `value` stamped `value`.
  bool Put(uint8_t value, uint8_t key = 0) { return queue_.PutData(&value, 1, value, key, 7); }

  // Takes every unit (sending) and returns their first bytes.
  std::vector<uint8_t> Drain() {
    std::vector<uint8_t> out;
    while (auto unit = queue_.GetData(1)) {
      out.push_back(unit->buffer->data[0]);
      EXPECT_EQ(unit->buffer->timestamp, unit->buffer->data[0]);
      pool_.PutEmptyBuffer(unit->buffer.release());
    }
    return out;
  }

  MemoryPool pool_;
  RtmpDataQueue queue_;
};

TEST_F(RtmpDataQueueTest, FortySecondPutIsDiscardedAndTheOlderStayInOrder) {
  for (int i = 0; i < 41; ++i) ASSERT_TRUE(Put(static_cast<uint8_t>(i)));
  EXPECT_TRUE(Put(41));  // accepted by the interface, but dropped
  std::vector<uint8_t> expected;
  for (int i = 0; i < 41; ++i) expected.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(Drain(), expected);
  // Room again after a take.
  EXPECT_TRUE(Put(99));
  EXPECT_EQ(Drain(), std::vector<uint8_t>{99});
}

// A publisher still waiting for its connection keeps the newest samples.
TEST_F(RtmpDataQueueTest, KeepingTheNewestDropsTheOldestOfAFullQueue) {
  for (int i = 0; i < 60; ++i) {
    const uint8_t value = static_cast<uint8_t>(i);
    ASSERT_TRUE(queue_.PutData(&value, 1, value, 0, 7, /*keepNewest=*/true));
  }
  std::vector<uint8_t> expected;
  for (int i = 19; i < 60; ++i) expected.push_back(static_cast<uint8_t>(i));
  EXPECT_EQ(Drain(), expected);
}

TEST_F(RtmpDataQueueTest, TakesWhileNotSendingAreRefusedAndLoseNothing) {
  ASSERT_TRUE(Put(1));
  for (int take = 1; take <= 70; ++take) EXPECT_EQ(queue_.GetData(0), nullptr);
  EXPECT_EQ(Drain(), std::vector<uint8_t>{1});
}

TEST_F(RtmpDataQueueTest, CopiesTheCallersBytesWithKeyFlagAndTick) {
  uint8_t bytes[3] = {9, 8, 7};
  ASSERT_TRUE(queue_.PutData(bytes, 3, 1234, 1, 55));
  bytes[0] = 0;  // the caller's storage is its own again
  auto unit = queue_.GetData(1);
  ASSERT_NE(unit, nullptr);
  EXPECT_EQ(unit->buffer->len, 3);
  EXPECT_EQ(unit->buffer->data[0], 9);
  EXPECT_EQ(unit->buffer->timestamp, 1234u);
  EXPECT_EQ(unit->buffer->tick, 55u);
  EXPECT_EQ(unit->isKeyFrame, 1);
  pool_.PutEmptyBuffer(unit->buffer.release());
}

TEST(RtmpDataQueueNoPoolTest, PutWithoutPoolFailsAndQueueDestroysLeftovers) {
  {
    RtmpDataQueue queue;
    const uint8_t byte = 1;
    EXPECT_FALSE(queue.PutData(&byte, 1, 0, 0, 0));
  }
  // Units left at destruction are freed (the sanitizer reports a leak
  // otherwise).
  MemoryPool pool;
  RtmpDataQueue queue;
  queue.SetPool(&pool);
  const uint8_t byte = 2;
  EXPECT_TRUE(queue.PutData(&byte, 1, 0, 0, 0));
}

}  // namespace
}  // namespace plenova
