#pragma once

// The connection a publisher sends its FLV bytes over. One implementation
// talks RTMP through libavformat; tests put a scripted one in its place.

#include <cstddef>
#include <cstdint>
#include <string>

namespace plenova {

class RtmpTransport {
 public:
  virtual ~RtmpTransport() = default;
  // Connects to `url` (rtmp:// or rtmps://, the stream name included) and
  // publishes; gives up after `timeout_ms` or when interrupted. False with
  // the library's text in `error`.
  virtual bool Connect(const std::string& url, int timeout_ms, std::string* error) = 0;
  // Sends all of `data` within `timeout_ms`; false with the text in `error`.
  virtual bool Write(const uint8_t* data, size_t size, int timeout_ms, std::string* error) = 0;
  // Ends the publication and disconnects, waiting at most `timeout_ms`.
  virtual void Close(int timeout_ms) = 0;
  // Makes a blocked Connect or Write on another thread return false soon.
  // Safe from any thread; cleared by the next Connect or Close.
  virtual void Interrupt() = 0;
};

}  // namespace plenova
