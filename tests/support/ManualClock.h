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
// WaitForEvent returns at once when the event is set. Otherwise it waits
// like SleepMs with a limit, and until the event is set without one (in
// either mode: only the event ends it).
// Starts near the 32-bit wrap so that a time mistaken for a duration shows.
class ManualClock : public platform::Clock {
 public:
  static constexpr uint32_t kDefaultStart = 0xFFFFFFFFu - 60000u;

  explicit ManualClock(uint32_t start_ms = kDefaultStart, bool auto_advance = true);

  uint32_t NowMs() override;
  void SleepMs(uint32_t ms) override;
  bool WaitForEvent(platform::Event& event, uint32_t ms) override;
  void EventSet() override;

  void Advance(uint32_t ms);
  void Set(uint32_t now_ms);
  void SetAutoAdvance(bool on);

  // Waits (in real time, at most `limit`) until at least `count` threads
  // are blocked in SleepMs (stepped mode) or WaitForEvent. Returns false on
  // time-out.
  bool WaitForSleepers(int count, std::chrono::milliseconds limit = std::chrono::seconds(10));

  // Every duration passed to SleepMs or WaitForEvent, in call order.
  std::vector<uint32_t> Sleeps();

 private:
  // Guards every member; taken by the test thread, by sleeping threads and
  // by EventSet. Taken before an event's lock, never inside it.
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
