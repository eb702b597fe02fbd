// The parts of plenova-record that other threads reach: the engine's callbacks
// run on the compositing thread, each participant pushes from its own thread.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/support/ManualClock.h"
#include "tests/tools/ToolTestSupport.h"
#include "tools/plenova-record/EngineEvents.h"
#include "tools/plenova-record/ParticipantPusher.h"
#include "tools/plenova-record/SyntheticSource.h"

namespace plenova::record {
namespace {

TEST(RecorderThreads, RequestedCanvasArrivesWholeWhileTheCompositorKeepsPainting) {
  constexpr int kBytes = 64 * 32 * 3 / 2;
  EngineEvents& events = EngineEvents::Instance();
  events.Reset(kBytes);
  std::atomic<bool> stop{false};
  platform::Thread compositor;
  ASSERT_TRUE(compositor.Start([&] {
    std::vector<unsigned char> canvas(kBytes);
    unsigned char value = 0;
    while (!stop.load()) {
      std::fill(canvas.begin(), canvas.end(), ++value);
      EngineEvents::OnCanvas(canvas.data(), kBytes);
    }
  }));
  for (int i = 0; i < 30; ++i) {
    events.RequestCanvas();
    std::vector<uint8_t> out;
    while (!events.TakeCanvas(&out)) std::this_thread::yield();
    ASSERT_EQ(out.size(), static_cast<size_t>(kBytes));
    // A copy torn between two canvases would hold two values.
    ASSERT_TRUE(std::all_of(out.begin(), out.end(), [&](uint8_t b) { return b == out[0]; }));
  }
  stop.store(true);
  compositor.Join();
  EXPECT_GE(events.canvases(), 30u);
}

TEST(RecorderThreads, PusherOnItsOwnThreadKeepsAnUnbrokenTimelineUntilStopped) {
  plenova::testing::ManualClock clock(5'000'000);
  plenova::testing::ScopedClock installed(&clock);
  testing::FakeEngine engine;
  PushCounters counters;
  SourceFormat format;
  format.width = 64;
  format.height = 36;
  ParticipantPusher pusher(&engine, std::make_unique<SyntheticSource>(0, format, true), format,
                           "participant-1", true, true, &counters);
  std::atomic<bool> stop{false};
  platform::Thread thread;
  ASSERT_TRUE(thread.Start([&] { pusher.Run(stop, 5'000'000); }));
  while (counters.video_pushed.load() < 100) std::this_thread::yield();
  stop.store(true);
  thread.Join();
  uint64_t next_video = 0;
  uint64_t next_audio = 0;
  for (const auto& p : engine.pushes) {
    if (p.video) {
      ASSERT_EQ(p.stamptime, next_video);
      next_video += 3600;
    } else {
      ASSERT_EQ(p.stamptime, next_audio);
      next_audio += 1800;
    }
  }
  EXPECT_EQ(counters.skipped.load(), 0u);
  EXPECT_GE(next_video / 3600, 100u);
}

}  // namespace
}  // namespace plenova::record
