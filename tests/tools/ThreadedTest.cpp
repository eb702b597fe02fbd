// The parts of plenova-record that other threads reach: the engine's callbacks
// run on the compositing thread.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/tools/ToolTestSupport.h"
#include "tools/plenova-record/EngineEvents.h"

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

}  // namespace
}  // namespace plenova::record
