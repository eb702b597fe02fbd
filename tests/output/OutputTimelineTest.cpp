#include "output/OutputTimeline.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace plenova {
namespace {

using Verdict = OutputTimeline::Verdict;

// Stamps of a meeting far from zero; video every 3600 ticks, AAC every 1920
// (48 kHz).
constexpr uint64_t kStart = 7'000'000'000ull;

// One sample in arrival order: 'a' audio, 'v' video, 'k' key frame, 'R' a
// restart of the engine's timeline (no sample).
struct Event {
  char kind;
  uint64_t stamp;
};

// What the output does with each sample: "w<ms>", "h" (held) or "d".
std::vector<std::string> Place(const std::vector<Event>& events) {
  OutputTimeline timeline;
  std::vector<std::string> out;
  for (const Event& e : events) {
    if (e.kind == 'R') {
      timeline.Restart();
      continue;
    }
    const Verdict verdict =
        e.kind == 'a' ? timeline.Audio(e.stamp) : timeline.Video(e.stamp, e.kind == 'k');
    switch (verdict) {
      case Verdict::kWrite: out.push_back("w" + std::to_string(timeline.Ms(e.stamp))); break;
      case Verdict::kHold: out.push_back("h"); break;
      case Verdict::kDrop: out.push_back("d"); break;
    }
  }
  return out;
}

using V = std::vector<std::string>;

TEST(OutputTimeline, SamplesGoingBackAreDroppedUntilAKeyFrameStartsANewTimeline) {
  EXPECT_EQ(Place({{'k', kStart},
                   {'v', kStart + 3600},
                   {'v', kStart + 3600},
                   {'v', kStart},
                   {'a', kStart + 1920},
                   {'a', kStart + 1920},
                   {'a', kStart - 1},
                   // the engine started again with stamps from the beginning
                   {'k', 90},
                   {'v', 3690}}),
            (V{"w0", "w40", "d", "d", "w21", "d", "d", "w80", "w120"}));
}

TEST(OutputTimeline, ARestartHoldsAudioAndGoesOnOneFrameAfterTheLastPicture) {
  EXPECT_EQ(Place({{'k', kStart},
                   {'v', kStart + 3600},
                   {'R', 0},
                   {'a', 500},
                   {'v', 3600},
                   {'k', 7200},
                   {'a', 7200 + 1920},
                   {'v', 10800}}),
            (V{"w0", "w40", "h", "d", "w80", "w101", "w120"}));
}

}  // namespace
}  // namespace plenova
