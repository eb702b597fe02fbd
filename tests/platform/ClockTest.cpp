#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <thread>

#include "tests/support/ManualClock.h"

namespace plenova::platform {
namespace {

using plenova::testing::ManualClock;
using plenova::testing::ScopedClock;

TEST(ClockTest, InstalledClockServesTheShorthandsAndWrapsLikeTheTimer) {
  ManualClock clock(0xFFFFFFF0u);
  {
    ScopedClock scoped(&clock);
    const uint32_t start = TimeGetTime();
    SleepMs(40);
    const uint32_t now = TimeGetTime();
    EXPECT_EQ(now, 0x18u);  // wrapped past zero
    EXPECT_EQ(static_cast<uint32_t>(now - start), 40u);
  }
  EXPECT_EQ(&CurrentClock(), &SystemClock());
}

TEST(ClockTest, SteppedSleepReturnsOnlyOnceTimeReachesTheDeadline) {
  ManualClock clock(ManualClock::kDefaultStart, /*auto_advance=*/false);
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    clock.SleepMs(100);
    woke = true;
  });
  ASSERT_TRUE(clock.WaitForSleepers(1));
  clock.Advance(99);
  ASSERT_TRUE(clock.WaitForSleepers(1));
  EXPECT_FALSE(woke);
  clock.Advance(1);
  sleeper.join();
  EXPECT_TRUE(woke);
  EXPECT_EQ(clock.Sleeps(), std::vector<uint32_t>{100});
}

}  // namespace
}  // namespace plenova::platform
