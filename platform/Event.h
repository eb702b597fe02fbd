#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace plenova::platform {

// A Win32-style event: signalled by Set, cleared by Reset (manual reset) or
// by the wait that consumes it (auto reset). Wait and WaitFor wait in real
// time; a paced thread waits through its clock (platform::WaitForEvent),
// which Set also tells.
class Event {
 public:
  explicit Event(bool manual_reset = false, bool initially_set = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Whether the event is signalled now; clears nothing.
  bool IsSet();
  // Waits without time limit.
  void Wait();
  // Waits up to `timeout_ms` of real time; returns true when signalled.
  bool WaitFor(uint32_t timeout_ms);

 private:
  const bool manual_reset_;
  // Guards `signalled_`; taken by every thread that sets or waits.
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_;
};

}  // namespace plenova::platform
