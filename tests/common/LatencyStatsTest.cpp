#include "common/LatencyStats.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace plenova {
namespace {

// Arrival ticks just before the 32-bit wrap, so that a difference taken in
// the wrong width shows.
constexpr uint32_t kBase = 0xFFFFFFFFu - 1000u;

LatencyStats* Fill(LatencyStats& stats, const std::vector<uint32_t>& latencies) {
  for (uint32_t ms : latencies) stats.Add(kBase, kBase + ms);
  return &stats;
}

struct PercentileCase {
  std::vector<uint32_t> latencies;
  uint32_t p50, p99, max;
};

class LatencyPercentileTest : public ::testing::TestWithParam<PercentileCase> {};

TEST_P(LatencyPercentileTest, NearestRankOverOneMillisecondBuckets) {
  LatencyStats stats;
  Fill(stats, GetParam().latencies);
  EXPECT_EQ(stats.Count(), GetParam().latencies.size());
  EXPECT_EQ(stats.Percentile(50), GetParam().p50);
  EXPECT_EQ(stats.Percentile(99), GetParam().p99);
  EXPECT_EQ(stats.Max(), GetParam().max);
}

std::vector<uint32_t> Ramp(uint32_t n) {
  std::vector<uint32_t> v;
  for (uint32_t i = 1; i <= n; ++i) v.push_back(i);
  return v;
}

INSTANTIATE_TEST_SUITE_P(
    Distributions, LatencyPercentileTest,
    ::testing::Values(PercentileCase{{}, 0, 0, 0},                 // nothing recorded
                      PercentileCase{{70}, 70, 70, 70},            // one sample
                      PercentileCase{Ramp(100), 50, 99, 100},      // 1..100 ms
                      PercentileCase{Ramp(1000), 500, 990, 1000},  // 1..1000 ms
                      // One slow sample in a hundred shows at p99 only.
                      PercentileCase{[] {
                                       std::vector<uint32_t> v(99, 40);
                                       v.push_back(900);
                                       return v;
                                     }(),
                                     40, 40, 900},
                      // Beyond the histogram the overflow bucket reports the maximum.
                      PercentileCase{{10, 20, 7000, 9000}, 20, 9000, 9000}));

TEST(ArrivalTickTest, OlderTickFollowsTheWrapAndSkipsUnknown) {
  EXPECT_EQ(OlderTick(kBase, kBase + 2000), kBase);  // kBase + 2000 has wrapped past zero
  EXPECT_EQ(OlderTick(kBase + 2000, kBase), kBase);
  EXPECT_EQ(OlderTick(kUnknownTick, 7), 7u);
  EXPECT_EQ(OlderTick(7, kUnknownTick), 7u);
  EXPECT_EQ(OlderTick(kUnknownTick, kUnknownTick), kUnknownTick);
  EXPECT_EQ(ArrivalTick(0), 1u);  // a real arrival is never "unknown"
  EXPECT_EQ(ArrivalTick(kBase), kBase);

  PoolBuffer a, b, c;
  a.tick = kBase + 30;
  b.tick = kUnknownTick;
  c.tick = kBase + 10;
  const PoolBuffer* blocks[] = {&a, nullptr, &b, &c};
  EXPECT_EQ(OldestTick(blocks, 4), kBase + 10);
  EXPECT_EQ(OldestTick(blocks, 3), kBase + 30);
  EXPECT_EQ(OldestTick(blocks + 1, 2), kUnknownTick);
}

// The recent window forgets what is older than ten seconds, so a spell of
// high latency leaves it once it is over.
TEST(LatencyStatsTest, RecentPercentilesCoverTheLastTenSeconds) {
  LatencyStats stats;
  const uint32_t start = 0xFFFF'F000u;  // the window crosses the timer's wrap
  for (uint32_t ms = 0; ms < 5000; ms += 10) stats.Add(start + ms - 40, start + ms);
  for (uint32_t ms = 5000; ms < 6000; ms += 10) stats.Add(start + ms - 400, start + ms);  // a burst
  EXPECT_EQ(stats.RecentPercentile(50, start + 6000), 40u);
  EXPECT_EQ(stats.RecentPercentile(99, start + 6000), 400u);
  for (uint32_t ms = 6000; ms < 17000; ms += 10) stats.Add(start + ms - 40, start + ms);
  EXPECT_EQ(stats.RecentPercentile(99, start + 17000), 40u);
  EXPECT_EQ(stats.RecentPercentile(50, start + 40000), 0u);  // nothing recent
  EXPECT_EQ(stats.Percentile(99), 400u);                     // the whole run keeps it
}

}  // namespace
}  // namespace plenova
