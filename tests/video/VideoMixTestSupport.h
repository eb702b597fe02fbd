#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "common/MemoryPool.h"
#include "sync/MediaTimeline.h"
#include "tests/support/ManualClock.h"
#include "tests/video/VideoTestSupport.h"
#include "video/VideoEncodeBuffer.h"
#include "video/VideoMix.h"

namespace plenova::testing {

// Canvases seen by the canvas callback (a plain function pointer, so the
// count is global).
inline std::atomic<int> g_canvas_calls{0};
inline std::atomic<int> g_canvas_size{0};
inline void CountCanvas(unsigned char*, int size) {
  g_canvas_size.store(size);
  g_canvas_calls.fetch_add(1);
}

// A compositor on a manual clock with a real pool, encoder buffer and
// timeline (target delay kDelayMs). Frames arrive at the clock's time
// unless a test says otherwise.
class MixFixture : public ::testing::Test {
 protected:
  static constexpr int kCanvasW = 640;
  static constexpr int kCanvasH = 360;
  static constexpr uint32_t kDelayMs = 60;

  void SetUp() override {
    g_canvas_calls.store(0);
    g_canvas_size.store(0);
    mix_.SetTimeline(&timeline_);
  }

  void Layout(const std::vector<VideoMixStreamInfo>& streams) {
    ASSERT_TRUE(mix_.VideoMixInit(streams.data(), static_cast<int32_t>(streams.size()), &pool_,
                                  &encode_, kCanvasW, kCanvasH, &CountCanvas));
    mix_.UpdataVideoStreamInfo(streams.data(), static_cast<int32_t>(streams.size()));
  }

  bool Push(const VideoMixStreamInfo& s, Yuv colour, uint64_t stamp, uint32_t extra = 0,
            std::optional<uint32_t> tick = std::nullopt) {
    return PushSized(s.streamId, s.source_w, s.source_h, s.fps, colour, stamp, extra, tick);
  }
  bool PushSized(const char* id, int w, int h, int fps, Yuv colour, uint64_t stamp,
                 uint32_t extra = 0, std::optional<uint32_t> tick = std::nullopt) {
    VideoMixFrame frame;
    frame.frame =
        PoolFrame(pool_, SolidPicture(w, h, colour), stamp, extra, tick.value_or(clock_.NowMs()));
    frame.width = w;
    frame.height = h;
    frame.streamId = id;
    frame.fps = fps;
    return mix_.PushYuvBeforeMixedData(&frame);
  }
  int Queued(const VideoMixStreamInfo& s) {
    return mix_.QueuedFrames(s.streamId, s.source_w, s.source_h, s.fps);
  }

  void Compose() {
    mix_.GetMixedData(stamp_);
    stamp_ += 3600;
  }
  // Runs the compositing loop on the manual clock for `ms`.
  void RunFor(uint32_t ms) {
    const uint32_t end = clock_.NowMs() + ms;
    while (static_cast<int32_t>(clock_.NowMs() - end) < 0) {
      const uint32_t wait = mix_.VideoMixStep(clock_.NowMs());
      clock_.Advance(std::min(std::max(wait, 1u), end - clock_.NowMs()));
    }
  }
  CanvasView Canvas() {
    canvas_ = mix_.CanvasCopy();
    return CanvasView(canvas_.data(), kCanvasW, kCanvasH);
  }
  // Whether the canvas shows `c` all over `r`.
  bool Shows(const Rect& r, Yuv c) { return Canvas().RectIs(r.x, r.y, r.w, r.h, c); }

  struct Out {
    uint64_t stamp;
    uint32_t tick;
  };
  // Takes every canvas out of the encoder buffer.
  std::vector<Out> Drain() {
    std::vector<Out> out;
    for (;;) {
      VideoEncodeBuffer::Result r = encode_.GetData(VideoMix::kOutputRate);
      if (r.state != VideoEncodeBuffer::kTaken) break;
      out.push_back({r.canvas->timestamp, r.canvas->tick});
      pool_.PutEmptyBuffer(r.canvas);
    }
    return out;
  }

  ManualClock clock_;
  ScopedClock scoped_{&clock_};
  MemoryPool pool_;
  MediaTimeline timeline_{kDelayMs};
  VideoEncodeBuffer encode_;
  VideoMix mix_;
  uint64_t stamp_ = 3600;
  std::vector<uint8_t> canvas_;
};

}  // namespace plenova::testing
