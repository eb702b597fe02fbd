// One compositing tick: every stream has a new frame, the canvas is painted,
// copied into a pool block and queued for the encoder (which the benchmark
// drains). The budget of a tick at 25 fps is 40 ms.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/MemoryPool.h"
#include "video/VideoEncodeBuffer.h"
#include "video/VideoMix.h"

namespace plenova {
namespace {

void CompositingTick(benchmark::State& state) {
  const int streams = static_cast<int>(state.range(0));
  const int canvas_w = static_cast<int>(state.range(1));
  const int canvas_h = canvas_w * 9 / 16;
  const int columns = streams <= 9 ? 3 : 5;
  const int rows = (streams + columns - 1) / columns;
  const int cell_w = canvas_w / columns / 2 * 2;
  const int cell_h = canvas_h / rows / 2 * 2;
  constexpr int kSrcW = 640;
  constexpr int kSrcH = 360;
  constexpr int kFrameSize = kSrcW * kSrcH * 3 / 2;

  MemoryPool pool;
  VideoEncodeBuffer encode;
  VideoMix mix;
  std::vector<VideoMixStreamInfo> layout(static_cast<size_t>(streams));
  std::vector<std::string> ids;
  for (int i = 0; i < streams; ++i) {
    VideoMixStreamInfo& s = layout[static_cast<size_t>(i)];
    s.source_w = kSrcW;
    s.source_h = kSrcH;
    s.target = Rect{(i % columns) * cell_w, (i / columns) * cell_h, cell_w, cell_h};
    s.fps = 25;
    s.videoType = i % 2;  // half fitted, half cropped
    ids.push_back("stream" + std::to_string(i));
    std::strncpy(s.streamId, ids.back().c_str(), sizeof(s.streamId) - 1);
  }
  mix.VideoMixInit(layout.data(), streams, &pool, &encode, canvas_w, canvas_h, nullptr);
  mix.UpdataVideoStreamInfo(layout.data(), streams);

  // Frames with some detail; reused pool blocks keep their content, so each
  // tick after the first pushes without copying.
  std::vector<uint8_t> picture(kFrameSize);
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<uint8_t>(i * 7 + i / kSrcW);

  uint64_t stamp = 90000;
  for (auto _ : state) {
    for (int i = 0; i < streams; ++i) {
      VideoMixFrame frame;
      frame.frame = AdoptPoolBuffer(pool.GetEmptyBuffer(kFrameSize), &pool);
      if (stamp == 90000) std::memcpy(frame.frame->data, picture.data(), picture.size());
      frame.frame->len = kFrameSize;
      frame.frame->timestamp = stamp;
      frame.frame->extra = 0;
      frame.width = kSrcW;
      frame.height = kSrcH;
      frame.streamId = ids[static_cast<size_t>(i)].c_str();
      frame.fps = 25;
      mix.PushYuvBeforeMixedData(std::move(frame));
    }
    mix.GetMixedData(stamp);
    // A taken canvas goes back to the pool as its handle drops.
    encode.GetData(VideoMix::kOutputRate);
    stamp += 3600;
  }
}

// 9 streams of 640x360 into 1280x720; 20 streams into 1920x1080.
BENCHMARK(CompositingTick)->Args({9, 1280})->Args({20, 1920})->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace plenova

BENCHMARK_MAIN();
