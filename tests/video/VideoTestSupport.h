#pragma once

// Shared pieces of the video tests: solid I420 pictures and a canvas reader
// for the scaler and the mixer, and a compositor on a manual clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/MemoryPool.h"
#include "sync/MediaTimeline.h"
#include "tests/support/ManualClock.h"
#include "video/VideoEncodeBuffer.h"
#include "video/VideoMix.h"
#include "video/VideoMixStreamInfo.h"

namespace plenova::testing {

struct Yuv {
  uint8_t y, u, v;
};

inline constexpr Yuv kBlack{16, 128, 128};
inline constexpr Yuv kRed{81, 90, 240};
inline constexpr Yuv kGreen{145, 54, 34};
// Luma of the camera-off placeholder's ground.
inline constexpr uint8_t kPlaceholderGround = 34;
inline constexpr Yuv kBlue{41, 240, 110};

// A w x h I420 picture of one colour.
inline std::vector<uint8_t> SolidPicture(int w, int h, Yuv c) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2);
  std::memset(p.data(), c.y, static_cast<size_t>(w) * h);
  std::memset(p.data() + w * h, c.u, static_cast<size_t>(w) * h / 4);
  std::memset(p.data() + w * h * 5 / 4, c.v, static_cast<size_t>(w) * h / 4);
  return p;
}

// Paints the rectangle `r` (even corners and sizes) of a w x h I420 picture.
inline void PaintRect(std::vector<uint8_t>& p, int w, int h, const Rect& r, Yuv c) {
  for (int y = r.y; y < r.Bottom(); ++y) std::memset(p.data() + y * w + r.x, c.y, r.w);
  for (int y = r.y / 2; y < r.Bottom() / 2; ++y) {
    std::memset(p.data() + w * h + y * (w / 2) + r.x / 2, c.u, r.w / 2);
    std::memset(p.data() + w * h * 5 / 4 + y * (w / 2) + r.x / 2, c.v, r.w / 2);
  }
}

// A pool block holding `picture`, stamped and oriented.
inline PoolBuffer* PoolFrame(MemoryPool& pool, const std::vector<uint8_t>& picture, uint64_t stamp,
                             uint32_t extra = 0, uint32_t tick = 0) {
  PoolBuffer* b = pool.GetEmptyBuffer(static_cast<int32_t>(picture.size()));
  std::memcpy(b->data, picture.data(), picture.size());
  b->len = static_cast<int32_t>(picture.size());
  b->timestamp = stamp;
  b->extra = extra;
  b->tick = tick;
  return b;
}

// Reads back an I420 canvas.
class CanvasView {
 public:
  CanvasView(const uint8_t* data, int w, int h) : data_(data), w_(w), h_(h) {}
  Yuv At(int x, int y) const {
    return Yuv{data_[y * w_ + x], data_[w_ * h_ + (y / 2) * (w_ / 2) + x / 2],
               data_[w_ * h_ * 5 / 4 + (y / 2) * (w_ / 2) + x / 2]};
  }
  uint8_t Luma(int x, int y) const { return data_[y * w_ + x]; }
  // Whether every luma sample of the rectangle (and its chroma) is `c`
  // within `tolerance`. The default allows the scaler's rounding: a box
  // filter at a ratio that is not a whole number may land a level or two
  // off a flat colour.
  static constexpr int kScalerRounding = 2;
  bool RectIs(int x, int y, int w, int h, Yuv c, int tolerance = kScalerRounding) const {
    for (int r = y; r < y + h; ++r) {
      for (int col = x; col < x + w; ++col) {
        const Yuv p = At(col, r);
        if (std::abs(p.y - c.y) > tolerance || std::abs(p.u - c.u) > tolerance ||
            std::abs(p.v - c.v) > tolerance) {
          return false;
        }
      }
    }
    return true;
  }
  // The bounding box of the luma samples within the scaler's rounding of
  // `luma`; all zero when none.
  Rect BoxOf(uint8_t luma) const {
    int x0 = w_, y0 = h_, x1 = -1, y1 = -1;
    for (int r = 0; r < h_; ++r) {
      for (int c = 0; c < w_; ++c) {
        if (std::abs(data_[r * w_ + c] - luma) > kScalerRounding) continue;
        x0 = std::min(x0, c);
        y0 = std::min(y0, r);
        x1 = std::max(x1, c);
        y1 = std::max(y1, r);
      }
    }
    if (x1 < 0) return Rect{};
    return Rect{x0, y0, x1 - x0 + 1, y1 - y0 + 1};
  }

 private:
  const uint8_t* data_;
  int w_;
  int h_;
};

inline VideoMixStreamInfo StreamInfo(const std::string& id, int src_w, int src_h, int x, int y,
                                     int tw, int th, int fps = 25, int videoType = 0) {
  VideoMixStreamInfo info;
  info.source_w = src_w;
  info.source_h = src_h;
  info.target = Rect{x, y, tw, th};
  info.fps = fps;
  info.videoType = videoType;
  std::strncpy(info.streamId, id.c_str(), sizeof(info.streamId) - 1);
  return info;
}

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
    frame.frame = AdoptPoolBuffer(
        PoolFrame(pool_, SolidPicture(w, h, colour), stamp, extra, tick.value_or(clock_.NowMs())),
        &pool_);
    frame.width = w;
    frame.height = h;
    frame.streamId = id;
    frame.fps = fps;
    return mix_.PushYuvBeforeMixedData(std::move(frame));
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
