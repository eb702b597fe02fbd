#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Clock.h"

namespace plenova::testing {

// A clock that moves only when told. Two modes:
//  - auto-advance (default): SleepMs(ms) moves time on by ms and returns at
//    once, so a paced loop runs as fast as the CPU allows in fake time;
//  - stepped: SleepMs(ms) blocks until Advance() has moved time past the
//    sleeper's deadline, so a test can hold a thread between cycles.
// Starts near the 32-bit wrap so that a time mistaken for a duration shows.
class ManualClock : public platform::Clock {
 public:
  static constexpr uint32_t kDefaultStart = 0xFFFFFFFFu - 60000u;

  explicit ManualClock(uint32_t start_ms = kDefaultStart, bool auto_advance = true);

  uint32_t NowMs() override;
  void SleepMs(uint32_t ms) override;
  // Auto-advance: waits up to `pollMs` of real time for the event and moves
  // no time, so that a thread idling for an event does not run the clock
  // away from a test that is about to push. Stepped: sleeps `pollMs` as
  // SleepMs does.
  bool WaitForEvent(platform::Event& wake, uint32_t pollMs) override;

  void Advance(uint32_t ms);
  void Set(uint32_t now_ms);
  void SetAutoAdvance(bool on);

  // Stepped mode: waits (in real time, at most `limit`) until at least
  // `count` threads are blocked in SleepMs. Returns false on time-out.
  bool WaitForSleepers(int count, std::chrono::milliseconds limit = std::chrono::seconds(10));

  // Every duration passed to SleepMs, in call order.
  std::vector<uint32_t> Sleeps();
  void ClearSleeps();

 private:
  // Guards every member; taken by the test thread and by sleeping threads.
  std::mutex mutex_;
  std::condition_variable cv_;
  uint32_t now_;
  bool auto_advance_;
  int sleepers_ = 0;
  std::vector<uint32_t> sleeps_;
};

// Installs a clock as the process-wide clock for the lifetime of the scope.
class ScopedClock {
 public:
  explicit ScopedClock(platform::Clock* clock) { platform::InstallClock(clock); }
  ~ScopedClock() { platform::InstallClock(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace plenova::testing
