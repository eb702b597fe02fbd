#pragma once

#include <mutex>

namespace plenova::platform {

// The engine's locks behave like Win32 mutexes: recursive for the owning
// thread, waited for without time limit.
using Mutex = std::recursive_mutex;
using MutexLock = std::lock_guard<Mutex>;

}  // namespace plenova::platform
