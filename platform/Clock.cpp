#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Event.h"

namespace plenova::platform {
namespace {

class SteadyClock final : public Clock {
 public:
  uint32_t NowMs() override {
    const auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(since_boot).count());
  }
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  bool WaitForEvent(Event& event, uint32_t ms) override {
    if (ms != kWaitForever) return event.WaitFor(ms);
    event.Wait();
    return true;
  }
};

std::atomic<Clock*> g_installed{nullptr};

}  // namespace

Clock& SystemClock() {
  static SteadyClock clock;
  return clock;
}

void InstallClock(Clock* clock) { g_installed.store(clock, std::memory_order_release); }

Clock& CurrentClock() {
  Clock* clock = g_installed.load(std::memory_order_acquire);
  return clock != nullptr ? *clock : SystemClock();
}

uint32_t TimeGetTime() { return CurrentClock().NowMs(); }

void SleepMs(uint32_t ms) { CurrentClock().SleepMs(ms); }

bool WaitForEvent(Event& event, uint32_t ms) { return CurrentClock().WaitForEvent(event, ms); }

}  // namespace plenova::platform
