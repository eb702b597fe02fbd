#include "platform/Event.h"

#include <chrono>

#include "platform/Clock.h"

namespace plenova::platform {

Event::Event(bool manual_reset, bool initially_set)
    : manual_reset_(manual_reset), signalled_(initially_set) {}

void Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
  }
  cv_.notify_all();
  // Outside the event's lock: a manual clock looks at the event under its own.
  CurrentClock().EventSet();
}

void Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = false;
}

bool Event::IsSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalled_;
}

void Event::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return signalled_; });
  if (!manual_reset_) signalled_ = false;
}

bool Event::WaitFor(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return signalled_; }))
    return false;
  if (!manual_reset_) signalled_ = false;
  return true;
}

}  // namespace plenova::platform
