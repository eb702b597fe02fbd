// The outputs' states and outages as the engine's events describe them, on
// explicit times near the wrap of the millisecond clock.

#include "tools/plenova-record/OutputTracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plenova::record {
namespace {

constexpr uint32_t kStart = 0xFFFFFFFFu - 3000u;  // the clock wraps during the outages

struct Step {
  uint32_t at_ms;  // after kStart
  int output;
  int kind;
  int attempt = 0;
  int delay_ms = 0;
  uint64_t bytes = 0;
  const char* text = "";
};

void Feed(OutputTracker& tracker, const std::vector<Step>& steps) {
  for (const Step& s : steps) {
    PlenovaEvent e{};
    e.size = sizeof e;
    e.output = s.output;
    e.kind = s.kind;
    e.attempt = s.attempt;
    e.delay_ms = s.delay_ms;
    e.bytes = s.bytes;
    e.text = s.text;
    tracker.Report(e, kStart + s.at_ms);
  }
}

constexpr int kRtmp1 = PLENOVA_OUTPUT_RTMP_1;

TEST(OutputTracker, AnOutageRunsFromTheFirstReconnectToPublishingAgain) {
  OutputTracker tracker;
  Feed(tracker, {{0, kRtmp1, PLENOVA_EVENT_CONNECTING, 1, 0, 0, "rtmp://h/live/****"},
                 {200, kRtmp1, PLENOVA_EVENT_PUBLISHING},
                 {2000, kRtmp1, PLENOVA_EVENT_RECONNECTING, 1, 1000, 0, "connection reset"},
                 {3100, kRtmp1, PLENOVA_EVENT_RECONNECTING, 2, 2000, 0, "connection refused"}});
  OutputView v = tracker.View(kRtmp1, kStart + 4000);
  EXPECT_EQ(OutputStateText(v), "reconnecting (attempt 2, next in 2000 ms)");
  EXPECT_EQ(OutputStateWord(v, "waiting"), "reconnecting");
  EXPECT_TRUE(v.in_outage);
  EXPECT_EQ(v.outages, 1);
  EXPECT_EQ(v.outage_ms, 2000u) << "the outage under way counts up to the view's time";

  Feed(tracker, {{5300, kRtmp1, PLENOVA_EVENT_PUBLISHING},
                 {9000, kRtmp1, PLENOVA_EVENT_FAILED, 0, 0, 0, "server gone"},
                 {9500, kRtmp1, PLENOVA_EVENT_STOPPED}});
  v = tracker.View(kRtmp1, kStart + 20000);
  EXPECT_EQ(v.outages, 2);
  EXPECT_EQ(v.outage_ms, 3300u + 500u) << "a stop ends an outage";
  EXPECT_TRUE(v.published);
  EXPECT_FALSE(v.in_outage);
  EXPECT_EQ(OutputStateText(v), "stopped");
  EXPECT_EQ(tracker.TakeLines(),
            (std::vector<std::string>{
                "RTMP 1: connecting to rtmp://h/live/****", "RTMP 1: publishing",
                "RTMP 1: reconnecting (attempt 1, next in 1000 ms): connection reset",
                "RTMP 1: reconnecting (attempt 2, next in 2000 ms): connection refused",
                "RTMP 1: publishing again after an outage of 3.3 s", "RTMP 1: failed: server gone",
                "RTMP 1: stopped"}));
  EXPECT_TRUE(tracker.TakeLines().empty());
}

}  // namespace
}  // namespace plenova::record
