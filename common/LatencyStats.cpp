#include "common/LatencyStats.h"

#include <cmath>
#include <cstdio>

namespace plenova {
namespace {

// Ticks further apart than this are taken as "b before a" on the wrapping
// timer (half its range, ~24.8 days).
constexpr uint32_t kHalfRange = 0x80000000u;

template <typename T>
void Bump(std::atomic<T>& counter) {
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

}  // namespace

uint32_t ArrivalTick(uint32_t now_ms) { return now_ms == kUnknownTick ? 1u : now_ms; }

uint32_t OlderTick(uint32_t a, uint32_t b) {
  if (a == kUnknownTick) return b;
  if (b == kUnknownTick) return a;
  return static_cast<uint32_t>(b - a) < kHalfRange ? a : b;
}

uint32_t OldestTick(const PoolBuffer* const* blocks, size_t count) {
  uint32_t oldest = kUnknownTick;
  for (size_t i = 0; i < count; ++i) {
    if (blocks[i] != nullptr) oldest = OlderTick(oldest, blocks[i]->tick);
  }
  return oldest;
}

void LatencyStats::Add(uint32_t tick, uint32_t now_ms) {
  if (tick == kUnknownTick) return;
  const uint32_t latency = now_ms - tick;
  if (latency >= kHalfRange) return;
  Bump(buckets_[latency < kBucketCount ? latency : kBucketCount]);
  Bump(count_);
  if (latency > max_.load(std::memory_order_relaxed))
    max_.store(latency, std::memory_order_relaxed);

  if (!epoch_set_.load(std::memory_order_acquire)) {
    epoch_ms_.store(now_ms, std::memory_order_relaxed);
    epoch_set_.store(true, std::memory_order_release);
  }
  const uint32_t second = (now_ms - epoch_ms_.load(std::memory_order_relaxed)) / 1000 + 1;
  Second& slot = recent_[second % kRecentSeconds];
  if (slot.second.load(std::memory_order_relaxed) != second) {
    for (std::atomic<uint32_t>& bucket : slot.buckets) bucket.store(0, std::memory_order_relaxed);
    slot.second.store(second, std::memory_order_relaxed);
  }
  const uint32_t step = latency / kRecentStepMs;
  Bump(slot.buckets[step < kRecentBuckets ? step : kRecentBuckets]);
}

uint32_t LatencyStats::RecentPercentile(double percent, uint32_t now_ms) const {
  if (!epoch_set_.load(std::memory_order_acquire)) return 0;
  const uint32_t now = (now_ms - epoch_ms_.load(std::memory_order_relaxed)) / 1000 + 1;
  std::array<uint64_t, kRecentBuckets + 1> merged{};
  uint64_t total = 0;
  for (const Second& slot : recent_) {
    const uint32_t second = slot.second.load(std::memory_order_relaxed);
    // Within the last kRecentSeconds seconds, differences taken as on the
    // wrapping timer.
    if (second == 0 || now - second >= kRecentSeconds) continue;
    for (uint32_t i = 0; i <= kRecentBuckets; ++i) {
      const uint32_t n = slot.buckets[i].load(std::memory_order_relaxed);
      merged[i] += n;
      total += n;
    }
  }
  if (total == 0) return 0;
  const double clamped = percent < 0.0 ? 0.0 : (percent > 100.0 ? 100.0 : percent);
  uint64_t rank = static_cast<uint64_t>(std::ceil(clamped / 100.0 * static_cast<double>(total)));
  if (rank < 1) rank = 1;
  uint64_t seen = 0;
  for (uint32_t i = 0; i <= kRecentBuckets; ++i) {
    seen += merged[i];
    if (seen >= rank) return i * kRecentStepMs;
  }
  return kRecentBuckets * kRecentStepMs;
}

void LatencyStats::Reset() {
  for (std::atomic<uint32_t>& bucket : buckets_) bucket.store(0, std::memory_order_relaxed);
  for (Second& slot : recent_) slot.second.store(0, std::memory_order_relaxed);
  epoch_set_.store(false, std::memory_order_relaxed);
  count_.store(0, std::memory_order_relaxed);
  max_.store(0, std::memory_order_relaxed);
}

uint64_t LatencyStats::Count() const { return count_.load(std::memory_order_relaxed); }

uint32_t LatencyStats::Max() const { return max_.load(std::memory_order_relaxed); }

uint32_t LatencyStats::Percentile(double percent) const {
  // Summed from the buckets themselves, so that a sample being added while
  // this runs cannot push the rank past the end.
  uint64_t total = 0;
  for (const std::atomic<uint32_t>& bucket : buckets_)
    total += bucket.load(std::memory_order_relaxed);
  if (total == 0) return 0;
  const double clamped = percent < 0.0 ? 0.0 : (percent > 100.0 ? 100.0 : percent);
  // Nearest rank: the ceil(p/100 * n)-th smallest sample, at least the first.
  uint64_t rank = static_cast<uint64_t>(std::ceil(clamped / 100.0 * static_cast<double>(total)));
  if (rank < 1) rank = 1;
  uint64_t seen = 0;
  for (uint32_t i = 0; i < kBucketCount; ++i) {
    seen += buckets_[i].load(std::memory_order_relaxed);
    if (seen >= rank) return i;
  }
  return Max();
}

std::string LatencyStats::Summary(const char* output, const char* media) const {
  char line[160];
  std::snprintf(line, sizeof line, "%s %s: n=%llu p50=%u p99=%u max=%u ms", output, media,
                static_cast<unsigned long long>(Count()), Percentile(50.0), Percentile(99.0),
                Max());
  return line;
}

}  // namespace plenova
