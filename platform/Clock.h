#pragma once

#include <cstdint>

namespace plenova::platform {

class Event;

// The millisecond time source of the engine. Every paced loop reads time and
// sleeps through the installed clock, so tests can replace it with a manual
// clock and drive the loops without real waiting.
class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds of a free-running 32-bit counter; wraps after ~49.7 days like
  // the multimedia timer. Only differences taken in uint32_t are meaningful.
  virtual uint32_t NowMs() = 0;

  // Blocks the calling thread for about `ms` milliseconds of this clock.
  virtual void SleepMs(uint32_t ms) = 0;

  // Blocks until `wake` is signalled; true when woken. The real clock waits
  // on the event (at most kLongestEventWaitMs, a safeguard: a waiter looks
  // again then). A clock that cannot watch an event in real time (a test's
  // manual clock) sleeps `pollMs` of its own time instead and returns false,
  // so that the caller looks again as a polling loop would.
  static constexpr uint32_t kLongestEventWaitMs = 1000;
  virtual bool WaitForEvent(Event& wake, uint32_t pollMs) {
    (void)wake;
    SleepMs(pollMs);
    return false;
  }
};

// The steady system clock (CLOCK_MONOTONIC truncated to 32 bits).
Clock& SystemClock();

// Installs `clock` as the process-wide clock; nullptr restores the system
// clock. The caller keeps ownership and must keep it alive until replaced.
void InstallClock(Clock* clock);

// The process-wide clock.
Clock& CurrentClock();

// Shorthands through the process-wide clock.
uint32_t TimeGetTime();
void SleepMs(uint32_t ms);
bool WaitForEvent(Event& wake, uint32_t pollMs);

}  // namespace plenova::platform
