#include "output/OutputReporter.h"

#include <algorithm>
#include <cstdio>

#include "common/EventSink.h"
#include "common/LatencyStats.h"

namespace plenova {
namespace {

constexpr uint32_t kRateWindowMs = 1000;
// No sample for this long: the bit rate is 0, whatever the last window said.
constexpr uint32_t kRateStaleMs = 2000;
constexpr double kRecentP50 = 50;
constexpr double kRecentP99 = 99;

}  // namespace

void OutputReporter::Report(PlenovaEventKind kind, const std::string& text, int32_t attempt,
                            int32_t delay_ms, uint64_t bytes) {
  state_.store(kind);
  if (kind == PLENOVA_EVENT_FAILED || kind == PLENOVA_EVENT_WRITE_ERROR) SetLastError(text);
  EventSink* sink = sink_.load();
  if (sink == nullptr) return;
  PlenovaEvent event{};
  event.size = sizeof event;
  event.output = output_.load();
  event.kind = kind;
  event.attempt = attempt;
  event.delay_ms = delay_ms;
  event.bytes = bytes;
  event.text = text.c_str();
  sink->Report(event);
}

void OutputReporter::SetLastError(const std::string& text) {
  std::lock_guard lock(error_mutex_);
  last_error_ = text;
}

void OutputReporter::CountSent(size_t bytes, uint32_t now_ms) {
  bytes_.fetch_add(bytes, std::memory_order_relaxed);
  packets_.fetch_add(1, std::memory_order_relaxed);
  last_sent_ms_.store(now_ms, std::memory_order_relaxed);
  if (!window_open_.load(std::memory_order_relaxed)) {
    window_open_.store(true, std::memory_order_relaxed);
    window_start_ms_.store(now_ms, std::memory_order_relaxed);
    window_bytes_.store(0, std::memory_order_relaxed);
  }
  const uint32_t elapsed = now_ms - window_start_ms_.load(std::memory_order_relaxed);
  const uint64_t window = window_bytes_.load(std::memory_order_relaxed) + bytes;
  if (elapsed >= kRateWindowMs) {
    bitrate_.store(
        static_cast<uint32_t>(std::min<uint64_t>(window * 8 * 1000 / elapsed, UINT32_MAX)),
        std::memory_order_relaxed);
    window_start_ms_.store(now_ms, std::memory_order_relaxed);
    window_bytes_.store(0, std::memory_order_relaxed);
  } else {
    window_bytes_.store(window, std::memory_order_relaxed);
  }
}

void OutputReporter::ResetRate() {
  window_open_.store(false, std::memory_order_relaxed);
  bitrate_.store(0, std::memory_order_relaxed);
}

void OutputReporter::OutageBegins(uint32_t now_ms) {
  if (in_outage_.load()) return;
  outage_since_ms_.store(now_ms);
  in_outage_.store(true);
}

void OutputReporter::OutageEnds(uint32_t now_ms) {
  if (!in_outage_.exchange(false)) return;
  outage_total_ms_.fetch_add(now_ms - outage_since_ms_.load());
}

void OutputReporter::Fill(PlenovaOutputStatistics* out, uint32_t now_ms,
                          const LatencyStats* video_latency) const {
  out->state = state_.load();
  out->reconnects = reconnects_.load(std::memory_order_relaxed);
  out->bytes_sent = bytes_.load(std::memory_order_relaxed);
  out->packets_sent = packets_.load(std::memory_order_relaxed);
  out->dropped = dropped_.load(std::memory_order_relaxed);
  out->queue_depth = queue_depth_.load(std::memory_order_relaxed);
  const bool fresh = out->packets_sent > 0 &&
                     now_ms - last_sent_ms_.load(std::memory_order_relaxed) <= kRateStaleMs;
  out->bitrate = fresh ? bitrate_.load(std::memory_order_relaxed) : 0;
  out->outage_ms = outage_total_ms_.load();
  if (in_outage_.load()) out->outage_ms += now_ms - outage_since_ms_.load();
  if (video_latency != nullptr) {
    out->latency_p50_ms = video_latency->RecentPercentile(kRecentP50, now_ms);
    out->latency_p99_ms = video_latency->RecentPercentile(kRecentP99, now_ms);
  }
  std::lock_guard lock(error_mutex_);
  std::snprintf(out->last_error, sizeof out->last_error, "%s", last_error_.c_str());
}

}  // namespace plenova
