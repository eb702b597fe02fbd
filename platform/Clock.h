#pragma once

#include <cstdint>

namespace plenova::platform {

class Event;

// The wait limit of WaitForEvent that means none: only the event ends it.
constexpr uint32_t kWaitForever = UINT32_MAX;

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

  // Blocks the calling thread until `event` is set or `ms` milliseconds of
  // this clock have passed (kWaitForever: until it is set). True when the
  // event ended the wait; an auto-reset event is then cleared.
  virtual bool WaitForEvent(Event& event, uint32_t ms) = 0;

  // Told by Event::Set once the event is set, so that a clock that holds
  // its waits on its own time (a test's manual clock) ends the ones that
  // wait for that event. Any thread; takes no lock of the event.
  virtual void EventSet() {}
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
bool WaitForEvent(Event& event, uint32_t ms);

}  // namespace plenova::platform
