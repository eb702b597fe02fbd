#include "common/MemoryPool.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/ManualClock.h"

namespace plenova {
namespace {

using testing::ManualClock;
using testing::ScopedClock;

class MemoryPoolTest : public ::testing::Test {
 protected:
  ManualClock clock_;
  ScopedClock scoped_{&clock_};
  MemoryPool pool_;
};

TEST_F(MemoryPoolTest, SmallRequestOpensClass64KReuseKeepsTheOldLenAndOddSizesAreServed) {
  PoolBuffer* block = pool_.GetEmptyBuffer(1000);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->capacity, 65536);
  EXPECT_EQ(block->len, 1000);
  EXPECT_EQ(block->timestamp, 0u);
  block->timestamp = 77;
  pool_.PutEmptyBuffer(block);

  PoolBuffer* again = pool_.GetEmptyBuffer(60000);
  EXPECT_EQ(again, block);
  EXPECT_EQ(again->len, 1000);  // left as the last holder set it
  EXPECT_EQ(again->timestamp, 77u);
  DestroyPoolBuffer(again);
  // A new block for a negative request holds ten bytes; none is beyond the largest class.
  PoolBuffer* negative = pool_.GetEmptyBuffer(-5);
  ASSERT_NE(negative, nullptr);
  EXPECT_EQ(negative->len, 10);
  DestroyPoolBuffer(negative);
  EXPECT_EQ(pool_.GetEmptyBuffer(0x7FFFFFFF), nullptr);
}

struct ClassCase {
  std::vector<int32_t> existing;  // classes opened before
  int32_t request;
  int32_t expected_class;
};

class ClassChoiceTest : public MemoryPoolTest, public ::testing::WithParamInterface<ClassCase> {};

TEST_P(ClassChoiceTest, ChoosesNearestClassWithin64KElseOpensARoundedOne) {
  for (int32_t capacity : GetParam().existing) {
    PoolBuffer* b = pool_.GetEmptyBuffer(capacity);
    ASSERT_EQ(b->capacity, capacity);
    pool_.PutEmptyBuffer(b);
  }
  PoolBuffer* block = pool_.GetEmptyBuffer(GetParam().request);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->capacity, GetParam().expected_class);
  EXPECT_GE(block->capacity, GetParam().request);
  DestroyPoolBuffer(block);
}

INSTANTIATE_TEST_SUITE_P(Classes, ClassChoiceTest,
                         ::testing::Values(ClassCase{{65536}, 70000, 131072},
                                           ClassCase{{65536, 131072}, 65537, 131072},
                                           ClassCase{{327680}, 200000, 262144},
                                           ClassCase{{}, 131072, 131072}, ClassCase{{}, 1, 65536},
                                           ClassCase{{}, 0, 65536}, ClassCase{{}, -5, 65536}));

TEST_F(MemoryPoolTest, IdleBlocksAreTrimmedToTheLimitPerClass) {
  constexpr int kGiven = MemoryPool::kMaxIdlePerClass + 3;
  std::vector<PoolBuffer*> blocks;
  for (int i = 0; i < kGiven; ++i) blocks.push_back(pool_.GetEmptyBuffer(100));
  for (PoolBuffer* b : blocks) pool_.PutEmptyBuffer(b);
  EXPECT_EQ(pool_.IdleCount(65536), kGiven);
  PoolBuffer* taken = pool_.GetEmptyBuffer(100);
  EXPECT_EQ(taken, blocks[0]);  // the longest idle block first
  EXPECT_EQ(pool_.IdleCount(65536), MemoryPool::kMaxIdlePerClass - 1);
  DestroyPoolBuffer(taken);
}

TEST_F(MemoryPoolTest, UnchangedClassIsReleasedAtTheSecondPassChangedClassIsKept) {
  PoolBuffer* keep = pool_.GetEmptyBuffer(200000);  // first use, class 262144
  PoolBuffer* idle = pool_.GetEmptyBuffer(100);     // class 65536
  pool_.PutEmptyBuffer(idle);
  pool_.PutEmptyBuffer(keep);

  clock_.Advance(30000);
  PoolBuffer* probe = pool_.GetEmptyBuffer(1 << 20);  // first pass: snapshots 1 and 1
  pool_.PutEmptyBuffer(probe);
  // Change the count of class 262144 only.
  PoolBuffer* k1 = pool_.GetEmptyBuffer(200000);
  PoolBuffer* k2 = pool_.GetEmptyBuffer(200000);
  pool_.PutEmptyBuffer(k1);
  pool_.PutEmptyBuffer(k2);

  clock_.Advance(30000);
  PoolBuffer* last = pool_.GetEmptyBuffer(3 << 20);  // second pass
  EXPECT_EQ(pool_.IdleCount(65536), 0);
  EXPECT_EQ(pool_.IdleCount(262144), 2);
  const auto classes = pool_.Classes();
  EXPECT_EQ(std::count(classes.begin(), classes.end(), 65536), 0);
  DestroyPoolBuffer(last);
}

TEST_F(MemoryPoolTest, ReleasePeriodSurvivesTheTimerWrap) {
  clock_.Set(0xFFFFFFFFu - 10000u);
  pool_.PutEmptyBuffer(pool_.GetEmptyBuffer(100));  // period starts 10 s before the wrap
  clock_.Advance(29999);
  pool_.PutEmptyBuffer(pool_.GetEmptyBuffer(5 << 20));  // no pass yet
  clock_.Advance(1);
  PoolBuffer* b = pool_.GetEmptyBuffer(7 << 20);  // first pass: snapshots only
  EXPECT_EQ(pool_.IdleCount(65536), 1);
  clock_.Advance(30000);
  PoolBuffer* c = pool_.GetEmptyBuffer(9 << 20);  // second pass: 65536 unchanged
  EXPECT_EQ(pool_.IdleCount(65536), 0);
  DestroyPoolBuffer(b);
  DestroyPoolBuffer(c);
}

}  // namespace
}  // namespace plenova
