#include "wendrel/AvioRtmpTransport.h"

#include <mutex>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

namespace plenova {
namespace {

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

AvioRtmpTransport::AvioRtmpTransport() {
  static std::once_flag network;
  std::call_once(network, [] { avformat_network_init(); });
}

AvioRtmpTransport::~AvioRtmpTransport() {
  Interrupt();
  io_.reset();
}

int AvioRtmpTransport::InterruptCallback(void* opaque) {
  auto* self = static_cast<AvioRtmpTransport*>(opaque);
  return self->interrupted_.load() || NowNs() > self->deadline_ns_.load() ? 1 : 0;
}

void AvioRtmpTransport::SetDeadline(int timeout_ms) {
  deadline_ns_ = NowNs() + int64_t{timeout_ms} * 1000000;
}

void AvioRtmpTransport::Interrupt() { interrupted_ = true; }

bool AvioRtmpTransport::Connect(const std::string& url, int timeout_ms, std::string* error) {
  io_.reset();
  interrupted_ = false;
  SetDeadline(timeout_ms);
  const AVIOInterruptCB callback = {&AvioRtmpTransport::InterruptCallback, this};
  AVDictionary* options = nullptr;
  av_dict_set_int(&options, "rw_timeout", int64_t{timeout_ms} * 1000, 0);
  av_dict_set(&options, "tcp_nodelay", "1", 0);
  AVIOContext* io = nullptr;
  const int result = avio_open2(&io, url.c_str(), AVIO_FLAG_WRITE, &callback, &options);
  av_dict_free(&options);
  if (result < 0) {
    *error = interrupted_ ? "interrupted" : libavptr::ErrorText(result);
    return false;
  }
  io_.reset(io);
  return true;
}

bool AvioRtmpTransport::Write(const uint8_t* data, size_t size, int timeout_ms,
                              std::string* error) {
  if (io_ == nullptr) {
    *error = "not connected";
    return false;
  }
  if (io_->error < 0) {
    *error = libavptr::ErrorText(io_->error);
    return false;
  }
  SetDeadline(timeout_ms);
  avio_write(io_.get(), data, static_cast<int>(size));
  avio_flush(io_.get());
  if (io_->error < 0) {
    *error = interrupted_ ? "interrupted" : libavptr::ErrorText(io_->error);
    return false;
  }
  return true;
}

void AvioRtmpTransport::Close(int timeout_ms) {
  if (io_ == nullptr) return;
  interrupted_ = false;
  SetDeadline(timeout_ms);
  io_.reset();
}

}  // namespace plenova
