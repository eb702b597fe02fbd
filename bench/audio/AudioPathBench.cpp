#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "audio/AudioMixImp.h"
#include "sync/AVSynBuffer.h"

namespace plenova {
namespace {

void BM_AudioPathOneSecond(benchmark::State& state) {
  const int streams = static_cast<int>(state.range(0));
  const int32_t fps = 50, channels = 2, rate = 48000;
  MemoryPool pool;
  AVSynBuffer syn;
  syn.InitBuffer(&pool);
  AudioMixImp imp;
  std::vector<std::string> ids;
  std::vector<AudioStreamInfo> infos;
  for (int i = 0; i < streams; ++i) ids.push_back("talker" + std::to_string(i));
  for (const std::string& id : ids)
    infos.push_back(AudioStreamInfo{channels, 16, rate, id.c_str()});
  AudioMixInitParam p;
  p.streams = infos.data();
  p.streamCount = streams;
  p.pool = &pool;
  p.synBuffer = &syn;
  p.target_audio_frames_per_seconds = fps;
  p.target_audio_channels = channels;
  p.target_audio_sampling_rate = rate;
  p.target_audio_sampling_per_bits = 16;
  imp.IAudioMixInit(&p);
  AudioMixUpdateParam u{infos.data(), streams, channels, rate, 16};
  imp.UpdataAudioMixImp(&u);

  // Speech-like levels: each talker a tone of its own.
  const int samples = rate / fps * channels;
  std::vector<std::vector<int16_t>> pcm(static_cast<size_t>(streams),
                                        std::vector<int16_t>(static_cast<size_t>(samples)));
  for (int s = 0; s < streams; ++s) {
    for (int i = 0; i < samples; ++i) {
      const int frame = i / channels;  // both channels of a frame carry the same sample
      pcm[static_cast<size_t>(s)][static_cast<size_t>(i)] =
          static_cast<int16_t>(8000 * std::sin(0.01 * (s + 1) * static_cast<double>(frame)));
    }
  }
  uint64_t stamp = 90000;
  uint32_t now = 0x7000'0000u;
  for (auto _ : state) {
    for (int k = 0; k < fps; ++k) {
      for (int s = 0; s < streams; ++s) {
        PoolBuffer* block = pool.GetEmptyBuffer(samples * 2);
        std::memcpy(block->data, pcm[static_cast<size_t>(s)].data(),
                    static_cast<size_t>(samples) * 2);
        block->len = samples * 2;
        block->timestamp = stamp;
        imp.IAudioMixPushData(AudioMixFrame{AdoptPoolBuffer(block, &pool),
                                            ids[static_cast<size_t>(s)].c_str(), channels, 16, rate,
                                            0});
      }
      stamp += 90000 / fps;
      imp.Mixer().AudioMixStep(now);
      now += 1000 / fps;
    }
    // Take the AAC frames out as the sync controller would.
    while (syn.AudioQueue()->getdata(0)) {
      syn.GiveBackAudio(syn.AudioQueue()->Current()->buffer.release());
      syn.AudioQueue()->ResetCurrent();
    }
  }
  state.SetLabel("per second of audio");
}
BENCHMARK(BM_AudioPathOneSecond)->Arg(1)->Arg(5)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace plenova

BENCHMARK_MAIN();
