// A layout that keeps changing while several threads push frames.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer slows the encoder well below real time on two cores; there
// the test looks for races and a steady flow, not the full rate.
constexpr double kMinCanvasRate = 15;
#else
constexpr double kMinCanvasRate = 23.5;
#endif

std::atomic<uint64_t> g_canvases{0};
void OnCanvas(unsigned char* /*canvas*/, int /*size*/) { ++g_canvases; }

constexpr int kChurnStreams = 6;

// Pushes stream `index`'s video (and audio for the first three) in real time
// until `stop`, whether or not the stream is in the layout at the moment.
void PushChurnStream(IPlenova* recorder, int index, const std::atomic<bool>& stop,
                     std::atomic<uint64_t>& accepted) {
  const std::string id = "p" + std::to_string(index);
  const std::string voice = "a" + std::to_string(index);
  std::vector<uint8_t> frame(640 * 360 * 3 / 2, static_cast<uint8_t>(40 + 30 * index));
  std::vector<int16_t> pcm(960 * 2, static_cast<int16_t>(1000 * (index + 1)));
  const auto start = Clock::now();
  for (uint64_t tick = 0; !stop; ++tick) {  // 20 ms ticks
    std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * tick));
    if (index < 3 &&
        recorder->PushAudioFrame(2, 16, 48000, pcm.data(), static_cast<int>(pcm.size() * 2),
                                 tick * 1800, voice.c_str()) == 0)
      ++accepted;
    if (tick % 2 == 0 &&
        recorder->PushVideoFrame(640, 360, id.c_str(), 25, frame.data(),
                                 static_cast<int>(frame.size()), tick * 1800, 0) == 0)
      ++accepted;
  }
}

// Layout number `step`: a rotating window of one to six video streams and one
// to three voices.
void DeclareChurnLayout(IPlenova* recorder, int step) {
  static const std::string kIds[] = {"p0", "p1", "p2", "p3", "p4", "p5"};
  static const std::string kVoices[] = {"a0", "a1", "a2"};
  std::vector<VideoStreamInfo> video;
  const int count = 1 + step % kChurnStreams;
  for (int i = 0; i < count; ++i) {
    const int s = (step + i) % kChurnStreams;
    video.push_back({25, 360, 640, kIds[s].c_str(), 240, 426, (i % 3) * 426, (i / 3) * 240, i % 2});
  }
  std::vector<AudioStreamInfo> audio;
  for (int i = 0; i < 1 + step % 3; ++i)
    audio.push_back({2, 16, 48000, kVoices[(step + i) % 3].c_str()});
  IUpdateStreamInterface* layout = recorder->GetUpdateStreamInterface();
  AudioStreamInfoUpdate a{audio.data(), static_cast<int32_t>(audio.size()), 50, 2, 48000, 16};
  VideoStreamInfoUpdate v{static_cast<int32_t>(video.size()), video.data()};
  layout->UpdateAudioStreamInfo(&a);
  layout->UpdateVideoStreamInfo(&v);
}

TEST(MeetingFaultTest, LayoutChurnUnderSixPushingThreadsKeepsCanvasesComing) {
  const std::string folder = TempFolder("fault_churn");
  const double seconds = FaultSeconds(8, 60);
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  ASSERT_EQ(recorder->PlenovaInit(reinterpret_cast<void*>(&OnCanvas), nullptr, nullptr), 0);
  Meeting m;
  m.canvas_w = 1280;
  m.canvas_h = 480;
  MeetingClient settings(recorder);
  settings.Configure(m);
  const std::string mp4 = folder + "/churn.mp4";
  ASSERT_EQ(recorder->StartMp4Record(mp4.c_str()), 0);
  DeclareChurnLayout(recorder, 0);

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> accepted{0};
  std::vector<std::thread> pushers;
  for (int i = 0; i < kChurnStreams; ++i)
    pushers.emplace_back([&, i] { PushChurnStream(recorder, i, stop, accepted); });
  const auto start = Clock::now();
  uint64_t canvases_at_two = 0;
  for (int step = 1; Clock::now() - start < std::chrono::duration<double>(seconds); ++step) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(200 * step));
    DeclareChurnLayout(recorder, step);
    if (step == 10) canvases_at_two = g_canvases;
  }
  const uint64_t canvases_at_end = g_canvases;
  stop = true;
  for (auto& t : pushers) t.join();
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);

  const double rate = static_cast<double>(canvases_at_end - canvases_at_two) / (seconds - 2);
  std::printf("[ measured ] %.2f canvases a second under layout churn, %llu frames accepted\n",
              rate, static_cast<unsigned long long>(accepted.load()));
  EXPECT_GT(accepted.load(), 0u);
  EXPECT_GE(rate, kMinCanvasRate);
  EXPECT_LE(rate, 26.5);
  const ProbeResult probe = Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_GT(probe.duration, seconds - 2.5);
}

}  // namespace
}  // namespace plenova::testing
