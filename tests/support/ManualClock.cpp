#include "tests/support/ManualClock.h"

#include "platform/Event.h"

namespace plenova::testing {

ManualClock::ManualClock(uint32_t start_ms, bool auto_advance)
    : now_(start_ms), auto_advance_(auto_advance) {}

uint32_t ManualClock::NowMs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return now_;
}

void ManualClock::SleepMs(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  sleeps_.push_back(ms);
  if (auto_advance_) {
    now_ += ms;
    return;
  }
  // Deadline as elapsed time from now, so the 32-bit wrap is harmless.
  const uint32_t start = now_;
  ++sleepers_;
  cv_.notify_all();
  cv_.wait(lock, [&] { return auto_advance_ || static_cast<uint32_t>(now_ - start) >= ms; });
  --sleepers_;
}

bool ManualClock::WaitForEvent(platform::Event& event, uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  sleeps_.push_back(ms);
  if (event.WaitFor(0)) return true;
  const bool limited = ms != platform::kWaitForever;
  if (limited && auto_advance_) {
    now_ += ms;
    return false;
  }
  // Deadline as elapsed time from now, so the 32-bit wrap is harmless.
  const uint32_t start = now_;
  ++sleepers_;
  cv_.notify_all();
  cv_.wait(lock, [&] {
    return event.IsSet() ||
           (limited && (auto_advance_ || static_cast<uint32_t>(now_ - start) >= ms));
  });
  --sleepers_;
  return event.WaitFor(0);
}

void ManualClock::EventSet() {
  // Taken and released so that a waiter between its look at the event and
  // its wait cannot miss this.
  { std::lock_guard<std::mutex> lock(mutex_); }
  cv_.notify_all();
}

void ManualClock::Advance(uint32_t ms) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ += ms;
  }
  cv_.notify_all();
}

void ManualClock::Set(uint32_t now_ms) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = now_ms;
  }
  cv_.notify_all();
}

void ManualClock::SetAutoAdvance(bool on) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto_advance_ = on;
  }
  cv_.notify_all();
}

bool ManualClock::WaitForSleepers(int count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return sleepers_ >= count; });
}

std::vector<uint32_t> ManualClock::Sleeps() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_;
}

}  // namespace plenova::testing
