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

}  // namespace
}  // namespace plenova
