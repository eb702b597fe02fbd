#pragma once

#include <functional>
#include <thread>

namespace plenova::platform {

// An engine thread. The owner starts it once and joins it; the destructor
// joins a thread that is still running, so nothing is ever detached. The
// thread function must watch its owner's run flag to end.
class Thread {
 public:
  Thread() = default;
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts `body` on a new thread. Returns false when a thread is already
  // held (joined or not) or the system refuses to create one.
  bool Start(std::function<void()> body);

  // Waits without time limit for the thread to end. Harmless when there is
  // no thread or when called from the thread itself (it is then left to the
  // destructor of a later owner).
  void Join();

  bool Joinable() const { return thread_.joinable(); }

 private:
  std::thread thread_;
};

}  // namespace plenova::platform
