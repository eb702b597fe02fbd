#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "api/Plenova.h"

namespace plenova {

class EventSink;
class LatencyStats;

// What one output (the MP4 writer or an RTMP publisher) tells the host: its
// events, through the recorder's EventSink, and the counters of its
// statistics. The output's working thread counts with relaxed atomics; a
// host polling the statistics reads them without taking any lock that a
// frame waits for (the last error alone sits behind a small lock of its own,
// taken when an error happens).
class OutputReporter {
 public:
  OutputReporter() = default;
  OutputReporter(const OutputReporter&) = delete;
  OutputReporter& operator=(const OutputReporter&) = delete;

  // Where events go (borrowed; outlives the output; null: nowhere) and the
  // output they name. Before the output starts.
  void SetSink(EventSink* sink, PlenovaOutput output) {
    output_.store(output);
    sink_.store(sink);
  }

  // Records `kind` as the output's state and reports it. `text` is a path,
  // a masked URL or a reason; FAILED and WRITE_ERROR also keep it as the
  // last error. The caller holds no lock that a call back into the recorder
  // could need.
  void Report(PlenovaEventKind kind, const std::string& text, int32_t attempt = 0,
              int32_t delay_ms = 0, uint64_t bytes = 0);

  // A sample handed to the server or the file at `now_ms`.
  void CountSent(size_t bytes, uint32_t now_ms);
  void CountDropped(uint64_t samples = 1) {
    dropped_.fetch_add(samples, std::memory_order_relaxed);
  }
  void CountReconnect() { reconnects_.fetch_add(1, std::memory_order_relaxed); }
  void SetQueueDepth(size_t depth) {
    queue_depth_.store(static_cast<uint32_t>(depth), std::memory_order_relaxed);
  }
  void SetLastError(const std::string& text);

  // Publishing is asked for and not happening from `now_ms` (outage
  // begins), or happens again (outage ends). Repeated calls change nothing.
  void OutageBegins(uint32_t now_ms);
  void OutageEnds(uint32_t now_ms);

  // A new run of the output: counters stay (they count the recorder's
  // life), the bit rate starts again.
  void ResetRate();

  // Fills `out` at `now_ms`, with the latencies of the last ten seconds
  // from `video_latency` (may be null). Any thread.
  void Fill(PlenovaOutputStatistics* out, uint32_t now_ms, const LatencyStats* video_latency) const;

  PlenovaEventKind state() const { return static_cast<PlenovaEventKind>(state_.load()); }

 private:
  std::atomic<int32_t> output_{PLENOVA_OUTPUT_MP4};
  std::atomic<EventSink*> sink_{nullptr};
  std::atomic<int32_t> state_{0};
  std::atomic<uint32_t> reconnects_{0};
  std::atomic<uint64_t> bytes_{0};
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint32_t> queue_depth_{0};

  // Bit rate: bytes of the current one-second window, the rate of the last
  // whole one. Written by the output's working thread alone.
  std::atomic<uint32_t> window_start_ms_{0};
  std::atomic<uint64_t> window_bytes_{0};
  std::atomic<bool> window_open_{false};
  std::atomic<uint32_t> bitrate_{0};
  std::atomic<uint32_t> last_sent_ms_{0};

  // Outage: the time of those that ended, and when the current one began.
  std::atomic<uint64_t> outage_total_ms_{0};
  std::atomic<bool> in_outage_{false};
  std::atomic<uint32_t> outage_since_ms_{0};

  mutable std::mutex error_mutex_;  // guards last_error_
  std::string last_error_;
};

}  // namespace plenova
