// Time per frame and bitrate of the encoder library at 1280x720 and
// 1920x1080, beside libavcodec's libx264 wrapper encoding the same frames
// with the same settings (veryfast, zerolatency, no B-frames, two-second
// GOP without scene cuts, ABR with a one-second VBV at the bitrate).
//
// Each run encodes ten seconds of a moving scene at 25 fps. Counters:
// frames per second achieved, the bitrate reached, the target and their
// ratio; real time needs fps >= 25. Run from a Release build without
// sanitizers: build-bench/bin/pavanel_bench.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "libavptr/LibavPtr.h"
#include "pavanel/VideoEncodeGeneric.h"
#include "tests/pavanel/TestPictures.h"

namespace {

constexpr int kFps = 25;
constexpr int kFrames = kFps * 10;
constexpr int kDistinctPictures = 16;

// Pictures of the moving scene, made once per size outside the timing.
const std::vector<std::vector<uint8_t>>& Pictures(int width, int height) {
  static std::map<std::pair<int, int>, std::vector<std::vector<uint8_t>>> cache;
  auto& pictures = cache[{width, height}];
  if (pictures.empty()) {
    pictures.resize(kDistinctPictures);
    for (int i = 0; i < kDistinctPictures; ++i) {
      pavanel_test::MovingPicture(width, height, i, &pictures[static_cast<size_t>(i)]);
    }
  }
  return pictures;
}

void Report(benchmark::State& state, int64_t bytes, int bitrate) {
  const double frames = static_cast<double>(state.iterations());
  const double reached = frames > 0 ? static_cast<double>(bytes) * 8.0 * kFps / frames : 0.0;
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["kbit/s"] = reached / 1000.0;
  state.counters["target_kbit/s"] = bitrate / 1000.0;
  state.counters["bitrate/target"] = reached / bitrate;
}

void BM_Pavanel(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const int bitrate = static_cast<int>(state.range(2));
  const auto& pictures = Pictures(width, height);
  std::unique_ptr<VideoEncodeGeneric> encoder(VideoEncodeGeneric::Create());
  const VideoEncoderParam param{kFps, 1, width, height, bitrate, 0};
  if (!encoder || encoder->Open(&param, 0) != 0) {
    state.SkipWithError("the encoder did not open");
    return;
  }
  int64_t bytes = 0;
  size_t next = 0;
  for (auto _ : state) {
    VideoEncoderOutput output{nullptr, 0, 0};
    if (encoder->Encode(pictures[next].data(), &output, 1) < 0) {
      state.SkipWithError("encode failed");
      break;
    }
    bytes += output.length;
    next = (next + 1) % pictures.size();
  }
  Report(state, bytes, bitrate);
}

void BM_FFmpegLibx264(benchmark::State& state) {
  const int width = static_cast<int>(state.range(0));
  const int height = static_cast<int>(state.range(1));
  const int bitrate = static_cast<int>(state.range(2));
  const auto& pictures = Pictures(width, height);
  av_log_set_level(AV_LOG_ERROR);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) {
    state.SkipWithError("libavcodec has no libx264 encoder");
    return;
  }
  libavptr::CodecContextPtr context(avcodec_alloc_context3(codec));
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->time_base = AVRational{1, kFps};
  context->framerate = AVRational{kFps, 1};
  context->bit_rate = bitrate;
  context->rc_max_rate = bitrate;
  context->rc_buffer_size = bitrate;
  context->gop_size = kFps * 2;
  context->keyint_min = kFps * 2;
  context->max_b_frames = 0;
  context->thread_count = 0;
  context->thread_type = FF_THREAD_SLICE;  // as zerolatency: no frame delay
  av_opt_set(context->priv_data, "preset", "veryfast", 0);
  av_opt_set(context->priv_data, "tune", "zerolatency", 0);
  av_opt_set(context->priv_data, "profile", "high", 0);
  av_opt_set(context->priv_data, "x264-params", "scenecut=0:open-gop=0:log-level=error", 0);
  if (avcodec_open2(context.get(), codec, nullptr) < 0) {
    state.SkipWithError("libx264 did not open");
    return;
  }
  libavptr::FramePtr frame(av_frame_alloc());
  libavptr::PacketPtr packet(av_packet_alloc());
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(height);
  int64_t bytes = 0;
  int64_t pts = 0;
  size_t next = 0;
  for (auto _ : state) {
    uint8_t* base = const_cast<uint8_t*>(pictures[next].data());
    frame->data[0] = base;
    frame->data[1] = base + luma;
    frame->data[2] = base + luma + luma / 4;
    frame->linesize[0] = width;
    frame->linesize[1] = width / 2;
    frame->linesize[2] = width / 2;
    frame->pts = pts++;
    if (avcodec_send_frame(context.get(), frame.get()) < 0) {
      state.SkipWithError("encode failed");
      break;
    }
    while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
      bytes += packet->size;
      av_packet_unref(packet.get());
    }
    next = (next + 1) % pictures.size();
  }
  Report(state, bytes, bitrate);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Args({1280, 720, 2500000})->Args({1920, 1080, 4000000});
  b->Iterations(kFrames)->UseRealTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_Pavanel)->Apply(Sizes);
BENCHMARK(BM_FFmpegLibx264)->Apply(Sizes);

}  // namespace

BENCHMARK_MAIN();
