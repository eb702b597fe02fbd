#include <gtest/gtest.h>

#include <atomic>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace plenova::platform {
namespace {

TEST(EventTest, AutoResetEventWakesOneWaitAndClears) {
  Event event;
  Thread thread;
  std::atomic<int> woken{0};
  ASSERT_TRUE(thread.Start([&] {
    event.Wait();
    ++woken;
  }));
  event.Set();
  thread.Join();
  EXPECT_EQ(woken, 1);
  EXPECT_FALSE(event.WaitFor(0));  // consumed by the wait
}

TEST(ThreadTest, DestructorJoinsARunningThreadAndStartRefusesASecondThread) {
  std::atomic<bool> run{true};
  std::atomic<bool> finished{false};
  {
    Thread thread;
    ASSERT_TRUE(thread.Start([&] {
      while (run) std::this_thread::yield();
      finished = true;
    }));
    EXPECT_FALSE(thread.Start([] {}));
    run = false;
  }
  EXPECT_TRUE(finished);
}

}  // namespace
}  // namespace plenova::platform
