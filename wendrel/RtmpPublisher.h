#pragma once

// One RTMP publication: the object behind a Wendrel handle. It turns the
// engine's samples into FLV tags (metadata and sequence headers first, on
// millisecond timestamps rebased to the start of the connection) and sends
// them over an RtmpTransport. Every call may block at most kIoTimeoutMs;
// Stop (or Abort) from another thread ends a blocked call. A stopped
// publisher publishes no more: a later Start fails at once, so a Stop that
// comes just before a Start on another thread still ends it. Calls that send
// are serialised; Abort may come from any thread at any time.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "wendrel/RtmpPublishParam.h"
#include "wendrel/RtmpTransport.h"

namespace plenova {

class RtmpPublisher {
 public:
  using TransportFactory = std::function<std::unique_ptr<RtmpTransport>()>;
  static constexpr int kConnectTimeoutMs = 5000;
  static constexpr int kIoTimeoutMs = 5000;
  // Closing sends the end of the publication; a server that does not read
  // it gets this long.
  static constexpr int kCloseTimeoutMs = 300;

  // `factory` makes the connection of each Start (libavformat's when empty).
  explicit RtmpPublisher(TransportFactory factory = {});
  ~RtmpPublisher();

  bool Initialize();
  // `local_ip` is an IPv4 text or empty; it is recorded with `port` and
  // reported, but not bound: libavformat's TCP protocol offers no local
  // address. False for anything but a dotted IPv4 address or empty.
  bool SetLocalIP(const char* local_ip, uint16_t port);
  // Takes the media description; sends metadata and sequence headers at once
  // when connected, else before the first sample. False for an unusable
  // record (nothing changes) or a failed send.
  bool SetMediaType(const RtmpPublishParam* param);
  // Connects and publishes `url` + "/" + `stream_name` (the name is not
  // appended when the URL already ends with it). Replaces a running
  // connection; fails after Stop.
  bool Start(const char* url, const char* stream_name);
  // Ends the publication for good; a call blocked on another thread
  // returns.
  void Stop();
  // Interrupts a blocked call without waiting for it.
  void Abort();
  // One sample: raw AAC (an ADTS header is dropped) or an Annex B access
  // unit, at `timestamp` in 100-ns units. False when not publishing, for bad
  // input, or when the send failed (the connection then stays failed until
  // the next Start).
  bool PushMediaSample(const uint8_t* data, uint32_t length, uint64_t timestamp, uint64_t kind,
                       uint32_t is_audio, uint8_t key_frame);

  // The URL a Start publishes to.
  static std::string JoinUrl(const std::string& url, const std::string& stream_name);
  static bool ValidLocalIp(const char* local_ip);

 private:
  struct Media {
    bool has_audio = false;
    bool has_video = false;
    int width = 0;
    int height = 0;
    int fps = 0;
    int video_bitrate = 0;
    int audio_bitrate = 0;
    int sample_rate = 0;
    int channels = 0;
    std::array<uint8_t, 2> aac_config{};
    std::vector<uint8_t> avc_config;  // empty until SPS/PPS are known
  };

  bool SendHeadersLocked();
  bool SendLocked(const std::vector<uint8_t>& bytes);
  uint32_t TimestampLocked(uint64_t timestamp_100ns, bool audio);
  void CloseLocked();

  const TransportFactory factory_;
  // Guards everything below and serialises the calls that use the
  // connection; taken by every call but Abort.
  std::mutex mutex_;
  // The running connection; Abort reaches it through `abortable_`.
  std::unique_ptr<RtmpTransport> transport_;
  // Guards `abortable_`, the connection a blocked call may be using; taken
  // by Abort from any thread and by the calls that set it, never around I/O.
  std::mutex abort_mutex_;
  RtmpTransport* abortable_ = nullptr;  // borrowed from transport_
  bool stopped_ = false;                // Stop was called; guarded by abort_mutex_
  bool failed_ = false;
  bool headers_sent_ = false;
  bool has_media_ = false;
  Media media_;
  std::string local_ip_;
  uint16_t local_port_ = 0;
  std::string url_;  // as the log shows it: keys masked
  bool has_base_ = false;
  uint64_t base_100ns_ = 0;  // timestamp of the connection's first sample
  uint32_t last_audio_ms_ = 0;
  uint32_t last_video_ms_ = 0;
  uint64_t refused_ = 0;
};

}  // namespace plenova
