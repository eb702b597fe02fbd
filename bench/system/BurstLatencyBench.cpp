// Push-to-output latency around a burst, through libplenova.so in real
// time. Two participants (a window and a voice each) send 25 fps and 20 ms
// audio frames stamped from one media clock; at 10 s the second one's media
// stop for 600 ms and then arrive all at once, as after a network hiccup.
//
// Every picture carries its sequence number in a row of black and white
// blocks, and its window is as large as the picture, so the canvas shows
// the number unscaled: the canvas callback reads it back and gives, for
// each picture, the time from its push to the canvas that first shows it.
// The engine's own statistics add the MP4 output's latency (push to the
// file's write) over the ten seconds before the burst and the ten after.
//
// Prints p50 / p99 of the canvas latency before the burst and in 250 ms
// slices after it, and how long after the burst p99 was back at its
// baseline (target: within one second).
//
//   burst_latency_bench [SECONDS_AFTER_BURST]   default 10

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "api/Plenova.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 320;
constexpr int kHeight = 176;
constexpr int kCanvasWidth = 640;
constexpr int kCanvasHeight = 176;
constexpr int kBits = 16;
constexpr int kBlock = 16;  // one bit: a 16x16 block, black or white
constexpr int kStreams = 2;
constexpr double kBurstAt = 10.0;
constexpr double kPause = 0.6;
constexpr uint64_t kStamp0 = 3'000'000'000ull;

Clock::time_point g_start;
double Now() { return std::chrono::duration<double>(Clock::now() - g_start).count(); }

struct Sample {
  double at;       // when the canvas showed it (s from the start)
  double latency;  // s from push to that canvas
};

// Push times of every picture, per stream, and what the canvas showed.
struct Record {
  std::array<std::vector<std::atomic<double>>, kStreams> pushed;
  std::array<int, kStreams> last_seen{-1, -1};
  std::mutex mutex;             // guards samples; the compositing thread and the end
  std::vector<Sample> samples;  // stream 1 only: the one that bursts
  std::vector<Sample> steady;   // stream 0
};
Record* g_record = nullptr;

void PaintNumber(std::vector<uint8_t>* picture, int number) {
  std::fill(picture->begin(), picture->begin() + kWidth * kHeight, 128);
  std::fill(picture->begin() + kWidth * kHeight, picture->end(), 128);
  for (int bit = 0; bit < kBits; ++bit) {
    const uint8_t y = (number >> bit) & 1 ? 235 : 16;
    for (int row = 0; row < kBlock; ++row)
      std::memset(picture->data() + row * kWidth + bit * kBlock + 8, y, kBlock);
  }
}

int ReadNumber(const unsigned char* canvas, int x0) {
  int number = 0;
  for (int bit = 0; bit < kBits; ++bit) {
    const unsigned char y =
        canvas[(kBlock / 2) * kCanvasWidth + x0 + bit * kBlock + 8 + kBlock / 2];
    if (y > 128) number |= 1 << bit;
  }
  return number;
}

void OnCanvas(unsigned char* canvas, int size) {
  if (g_record == nullptr || size < kCanvasWidth * kCanvasHeight) return;
  const double now = Now();
  for (int s = 0; s < kStreams; ++s) {
    const int number = ReadNumber(canvas, s * kWidth);
    auto& pushed = g_record->pushed[s];
    if (number <= g_record->last_seen[s] || number >= static_cast<int>(pushed.size())) continue;
    const double at = pushed[number].load();
    if (at <= 0) continue;
    g_record->last_seen[s] = number;
    std::lock_guard lock(g_record->mutex);
    (s == 1 ? g_record->samples : g_record->steady).push_back({now, now - at});
  }
}

double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index =
      std::min(values.size() - 1, static_cast<size_t>(std::ceil(p / 100 * values.size())) - 1);
  return values[index];
}

std::vector<double> Between(const std::vector<Sample>& samples, double from, double to) {
  std::vector<double> out;
  for (const Sample& s : samples)
    if (s.at >= from && s.at < to) out.push_back(s.latency * 1000);
  return out;
}

PlenovaOutputStatistics Mp4Statistics(IPlenova* recorder) {
  PlenovaStatistics s{};
  s.size = sizeof s;
  recorder->GetStatistics(&s);
  return s.outputs[PLENOVA_OUTPUT_MP4];
}

}  // namespace

int main(int argc, char** argv) {
  const double after = argc > 1 ? std::max(3.0, std::atof(argv[1])) : 10.0;
  const double seconds = kBurstAt + kPause + after;
  const int frames = static_cast<int>(seconds * 25) + 50;
  Record record;
  for (auto& pushed : record.pushed) {
    pushed = std::vector<std::atomic<double>>(static_cast<size_t>(frames));
  }
  g_record = &record;

  const std::string folder = "/tmp/plenova_burst_bench_" + std::to_string(::getpid());
  IPlenova* recorder = CreatePlenova(folder.c_str());
  if (recorder == nullptr) return 1;
  recorder->PlenovaInit(reinterpret_cast<void*>(&OnCanvas), nullptr, nullptr);
  AudioParam audio{};
  audio.audio_bitrate = 64000;
  audio.waitMaxTime = 25;
  audio.local_port = 40000;
  std::strcpy(audio.local_Ip, "127.0.0.1");
  audio.Enable_write_mp4 = true;
  recorder->SetAuidoParam(&audio);
  VideoParam video{600000, kCanvasHeight, kCanvasWidth, 0};
  recorder->SetVideoParam(&video);
  const std::string mp4 = folder + "/burst.mp4";
  recorder->StartMp4Record(mp4.c_str());
  const char* ids[kStreams] = {"steady", "bursty"};
  std::vector<AudioStreamInfo> voices;
  std::vector<VideoStreamInfo> windows;
  for (int s = 0; s < kStreams; ++s) {
    voices.push_back({2, 16, 48000, ids[s]});
    windows.push_back({25, kHeight, kWidth, ids[s], kHeight, kWidth, s * kWidth, 0, 0});
  }
  AudioStreamInfoUpdate a{voices.data(), kStreams, 50, 2, 48000, 16};
  VideoStreamInfoUpdate v{kStreams, windows.data()};

  std::vector<uint8_t> picture(kWidth * kHeight * 3 / 2);
  std::vector<int16_t> pcm(960 * 2, 0);
  g_start = Clock::now();
  bool layout = false;
  // Media time runs with the wall clock; the bursting participant's media
  // of the pause are pushed at its end.
  int next_picture[kStreams] = {0, 0};
  int next_audio[kStreams] = {0, 0};
  PlenovaOutputStatistics before{}, later{};
  bool polled_before = false;
  while (true) {
    const double now = Now();
    if (now >= seconds) break;
    for (int s = 0; s < kStreams; ++s) {
      const bool paused = s == 1 && now >= kBurstAt && now < kBurstAt + kPause;
      if (paused) continue;
      while (next_audio[s] * 0.02 <= now) {
        const uint64_t stamp = kStamp0 + static_cast<uint64_t>(next_audio[s]) * 1800;
        recorder->PushAudioFrame(2, 16, 48000, pcm.data(), static_cast<int>(pcm.size() * 2), stamp,
                                 ids[s]);
        ++next_audio[s];
      }
      while (next_picture[s] * 0.04 <= now && next_picture[s] < frames) {
        const int n = next_picture[s];
        PaintNumber(&picture, n);
        record.pushed[s][n].store(Now());
        const uint64_t stamp = kStamp0 + static_cast<uint64_t>(n) * 3600;
        recorder->PushVideoFrame(kWidth, kHeight, ids[s], 25, picture.data(),
                                 static_cast<int>(picture.size()), stamp, 0);
        ++next_picture[s];
      }
    }
    if (!layout) {
      recorder->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&a);
      recorder->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&v);
      layout = true;
    }
    if (!polled_before && now >= kBurstAt) {
      before = Mp4Statistics(recorder);
      polled_before = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  later = Mp4Statistics(recorder);
  recorder->StopMp4Record();
  DeletePlenova(recorder);
  g_record = nullptr;

  const double burst_end = kBurstAt + kPause;
  const std::vector<double> baseline = Between(record.samples, 2, kBurstAt);
  const double base_p50 = Percentile(baseline, 50);
  const double base_p99 = Percentile(baseline, 99);
  std::printf("push -> canvas latency of the bursting participant's pictures, ms\n");
  std::printf("  before the burst (2-10 s): p50 %.1f  p99 %.1f  (%zu pictures)\n", base_p50,
              base_p99, baseline.size());
  std::printf("  the steady participant, whole run: p50 %.1f  p99 %.1f\n",
              Percentile(Between(record.steady, 2, seconds), 50),
              Percentile(Between(record.steady, 2, seconds), 99));
  double recovered = -1;
  constexpr double kSlice = 0.25;
  constexpr double kMarginMs = 5;
  for (double from = burst_end; from + kSlice <= seconds; from += kSlice) {
    const std::vector<double> slice = Between(record.samples, from, from + kSlice);
    const double p99 = Percentile(slice, 99);
    if (from < burst_end + 2) {
      std::printf("  %.2f-%.2f s after the burst: p50 %.1f  p99 %.1f  (%zu pictures)\n",
                  from - burst_end, from - burst_end + kSlice, Percentile(slice, 50), p99,
                  slice.size());
    }
    const bool back = !slice.empty() && p99 <= base_p99 + kMarginMs;
    if (back && recovered < 0) recovered = from - burst_end;
    if (!back) recovered = -1;
  }
  const std::vector<double> rest = Between(record.samples, burst_end + 1, seconds);
  std::printf("  from 1 s after the burst to the end: p50 %.1f  p99 %.1f\n", Percentile(rest, 50),
              Percentile(rest, 99));
  std::printf(
      "push -> MP4 write latency (engine statistics, last 10 s): before the burst p50 %u p99 %u; "
      "at the end p50 %u p99 %u\n",
      before.latency_p50_ms, before.latency_p99_ms, later.latency_p50_ms, later.latency_p99_ms);
  if (recovered < 0) {
    std::printf("p99 never came back within %.0f ms of its baseline\n", kMarginMs);
    return 1;
  }
  std::printf("p99 back at its baseline (+%.0f ms) %.2f s after the burst (target: within 1 s)\n",
              kMarginMs, recovered);
  return recovered <= 1.0 ? 0 : 1;
}
