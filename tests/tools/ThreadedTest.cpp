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

// Stops the run loop after a number of video pushes.
class StoppingEngine : public testing::FakeEngine {
 public:
  std::atomic<bool> stop{false};
  size_t stop_after_video = 0;
  int PushVideoFrame(int w, int h, const char* id, int fps, void* buffer, int len, uint64_t stamp,
                     uint32_t extra) override {
    const int rc = FakeEngine::PushVideoFrame(w, h, id, fps, buffer, len, stamp, extra);
    if (static_cast<size_t>(std::count_if(pushes.begin(), pushes.end(), [](const Push& p) {
          return p.video;
        })) >= stop_after_video)
      stop.store(true);
    return rc;
  }
};

TEST(RecorderThreads, PusherOnItsOwnThreadPacesOnTheClockAndKeepsAnUnbrokenTimeline) {
  plenova::testing::ManualClock clock(1'000'000);
  plenova::testing::ScopedClock installed(&clock);
  StoppingEngine engine;
  engine.stop_after_video = 50;  // two seconds
  PushCounters counters;
  const SourceFormat format = testing::Format(64, 36, 16000, 1);
  ParticipantPusher pusher(&engine, std::make_unique<SyntheticSource>(0, format, true), format,
                           "participant-1", true, true, &counters);
  platform::Thread thread;
  // The shared start lies 100 ms back: the first step catches up on it.
  ASSERT_TRUE(thread.Start([&] { pusher.Run(engine.stop, 1'000'000 - 100); }));
  while (counters.video_pushed.load() < 50) std::this_thread::yield();
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
  EXPECT_EQ(counters.video_pushed.load(), 50u);
  EXPECT_GE(counters.audio_pushed.load(), 98u);
  EXPECT_LE(counters.audio_pushed.load(), 100u);
  EXPECT_EQ(counters.skipped.load(), 0u);
  // Fake time advanced only by sleeping, in steps no longer than a frame.
  const uint32_t elapsed = clock.NowMs() - 1'000'000;
  EXPECT_GE(elapsed, 1960u - 100u);
  EXPECT_LE(elapsed, 1960u);
  for (uint32_t sleep : clock.Sleeps()) EXPECT_LE(sleep, 20u);
}

}  // namespace
}  // namespace plenova::record
