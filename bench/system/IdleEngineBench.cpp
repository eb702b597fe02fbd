// The CPU an engine costs while it is started (outputs on, layout of nine
// participants and five voices declared) and receives no frames: its paced
// threads should sleep, not spin.

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void StartedEngineWithoutFrames(benchmark::State& state) {
  const std::string folder = "/tmp/plenova_idle_bench_" + std::to_string(::getpid());
  IPlenova* recorder = CreatePlenova(folder.c_str());
  if (recorder == nullptr) {
    state.SkipWithError("CreatePlenova failed");
    return;
  }
  AudioParam audio{};
  audio.audio_bitrate = 96000;
  audio.waitMaxTime = 25;
  audio.local_port = 40000;
  std::strcpy(audio.local_Ip, "127.0.0.1");
  audio.Enable_write_mp4 = true;
  recorder->SetAuidoParam(&audio);
  VideoParam video{1500000, 720, 1280, 0};
  recorder->SetVideoParam(&video);
  const std::string mp4 = folder + "/idle.mp4";
  recorder->StartMp4Record(mp4.c_str());

  std::vector<std::string> ids;
  for (int i = 0; i < 9; ++i) ids.push_back("p" + std::to_string(i));
  std::vector<AudioStreamInfo> voices;
  for (int i = 0; i < 5; ++i) voices.push_back({2, 16, 48000, ids[i].c_str()});
  std::vector<VideoStreamInfo> windows;
  for (int i = 0; i < 9; ++i)
    windows.push_back({25, 360, 640, ids[i].c_str(), 240, 426, (i % 3) * 426, (i / 3) * 240, 0});
  AudioStreamInfoUpdate a{voices.data(), 5, 50, 2, 48000, 16};
  VideoStreamInfoUpdate v{9, windows.data()};
  recorder->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&a);
  recorder->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&v);

  const double seconds = static_cast<double>(state.range(0));
  double cpu = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::seconds(1));  // threads settle
    const double before = CpuSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    cpu = CpuSeconds() - before;
    state.SetIterationTime(seconds);
  }
  state.counters["core_percent"] = 100 * cpu / seconds;
  recorder->StopMp4Record();
  DeletePlenova(recorder);
}

BENCHMARK(StartedEngineWithoutFrames)
    ->Arg(10)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
