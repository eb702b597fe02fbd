#pragma once

// RTMP and RTMPS through libavformat's protocols. libavformat rather than
// librtmp: it is already a dependency of the engine's outputs, its RTMPS
// uses the system TLS library, and its interrupt callback lets every connect
// and write end on a deadline or on request from another thread.

#include <atomic>
#include <chrono>
#include <memory>

#include "libavptr/LibavPtr.h"
#include "wendrel/RtmpTransport.h"

namespace plenova {

class AvioRtmpTransport final : public RtmpTransport {
 public:
  AvioRtmpTransport();
  ~AvioRtmpTransport() override;

  bool Connect(const std::string& url, int timeout_ms, std::string* error) override;
  bool Write(const uint8_t* data, size_t size, int timeout_ms, std::string* error) override;
  void Close(int timeout_ms) override;
  void Interrupt() override;

 private:
  static int InterruptCallback(void* opaque);
  void SetDeadline(int timeout_ms);

  libavptr::OpenedIoPtr io_;
  // Read by libavformat's interrupt callback on the calling thread; the flag
  // is also set by other threads.
  std::atomic<bool> interrupted_{false};
  std::atomic<int64_t> deadline_ns_{0};
};

}  // namespace plenova
