#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Event.h"

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

TEST(ClockTest, AWaitForAnEventEndsAtItsLimitOrAtOnceWhenTheEventIsSet) {
  ManualClock clock;
  Event event;
  const uint32_t start = clock.NowMs();
  EXPECT_FALSE(clock.WaitForEvent(event, 30));
  EXPECT_EQ(static_cast<uint32_t>(clock.NowMs() - start), 30u);
  event.Set();
  EXPECT_TRUE(clock.WaitForEvent(event, 30));
  EXPECT_EQ(static_cast<uint32_t>(clock.NowMs() - start), 30u);  // no time passed
  EXPECT_FALSE(event.IsSet());                                   // consumed
  EXPECT_EQ(clock.Sleeps(), (std::vector<uint32_t>{30, 30}));

  // The system clock takes the same calls.
  event.Set();
  EXPECT_TRUE(SystemClock().WaitForEvent(event, kWaitForever));
  EXPECT_FALSE(SystemClock().WaitForEvent(event, 0));
}

}  // namespace
}  // namespace plenova::platform
