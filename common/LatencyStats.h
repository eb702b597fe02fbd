#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "common/PoolBuffer.h"

namespace plenova {

// Arrival ticks are millisecond timer values (platform::TimeGetTime) of the
// moment a frame was accepted; 0 stands for "unknown" (a repeated picture, a
// camera-off picture, silence the engine made itself).
constexpr uint32_t kUnknownTick = 0;

// The tick to stamp on a frame accepted now: the timer value, moved off the
// unknown value in the one millisecond of each wrap where the timer reads 0.
uint32_t ArrivalTick(uint32_t now_ms);

// The earlier of two arrival ticks on the wrapping timer; an unknown tick
// yields the other one.
uint32_t OlderTick(uint32_t a, uint32_t b);

// The oldest arrival tick of `count` blocks; null blocks are skipped.
uint32_t OldestTick(const PoolBuffer* const* blocks, size_t count);

// Distribution of the time from a frame's arrival to its sample leaving the
// engine, for one output and one medium. A fixed histogram of 1 ms buckets
// (plus one overflow bucket) so that recording a sample never allocates.
// One thread records (Add); any thread may read a summary at the same time
// and sees a consistent-enough snapshot. Reset only while nobody records.
class LatencyStats {
 public:
  static constexpr uint32_t kBucketCount = 5000;  // 0..4999 ms; more goes to overflow

  LatencyStats() = default;
  LatencyStats(const LatencyStats&) = delete;
  LatencyStats& operator=(const LatencyStats&) = delete;

  // Counts the sample that arrived at `tick` and leaves at `now_ms`. An
  // unknown tick, or one later than `now_ms` (a clock mix-up), is ignored.
  void Add(uint32_t tick, uint32_t now_ms);

  void Reset();

  uint64_t Count() const;
  // The smallest latency (ms) at or below which `percent` of the samples lie
  // (0 without samples). Samples in the overflow bucket count as the maximum.
  uint32_t Percentile(double percent) const;
  uint32_t Max() const;

  // "<output> <media>: n=<count> p50=<ms> p99=<ms> max=<ms> ms".
  std::string Summary(const char* output, const char* media) const;

  // The same percentile over the samples added in the last kRecentSeconds
  // whole seconds up to `now_ms` (2 ms resolution); 0 without samples.
  uint32_t RecentPercentile(double percent, uint32_t now_ms) const;

  static constexpr uint32_t kRecentSeconds = 10;
  static constexpr uint32_t kRecentStepMs = 2;
  static constexpr uint32_t kRecentBuckets = 1000;  // 0..1998 ms; more goes to overflow

 private:
  // One second's samples for the recent window; the writer reuses the slot
  // of the second ten seconds back.
  struct Second {
    std::atomic<uint32_t> second{0};  // ms / 1000 of the samples held, + 1; 0 = empty
    std::array<std::atomic<uint32_t>, kRecentBuckets + 1> buckets{};
  };

  // Relaxed atomics: the single writer does load + store, readers only load.
  std::array<std::atomic<uint32_t>, kBucketCount + 1> buckets_{};
  std::atomic<uint64_t> count_{0};
  std::atomic<uint32_t> max_{0};
  std::array<Second, kRecentSeconds> recent_{};
  // Seconds of the recent window count from the first sample's time, so
  // that they run on across the wrap of the 32-bit timer.
  std::atomic<bool> epoch_set_{false};
  std::atomic<uint32_t> epoch_ms_{0};
};

}  // namespace plenova
