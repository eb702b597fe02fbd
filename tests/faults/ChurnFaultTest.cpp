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

constexpr int kChurnStreams = 6;

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

// Six cameras and three voices push from their own threads, each whether or
// not its stream is in the layout at the moment, while the layout changes
// five times a second: the file has a picture every 40 ms throughout.
TEST(MeetingFaultTest, LayoutChurnUnderSixPushingThreadsKeepsCanvasesComing) {
  const std::string folder = TempFolder("fault_churn");
  const double seconds = FaultSeconds(8, 60);
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  Meeting m;
  m.canvas_w = 1280;
  m.canvas_h = 480;
  for (int i = 0; i < kChurnStreams; ++i) {
    const auto luma = static_cast<uint8_t>(40 + 30 * i);
    m.video.push_back(Participant("p" + std::to_string(i), Colour{luma, 128, 128}, 0, 0, 426, 240));
  }
  for (int i = 0; i < 3; ++i) m.audio.push_back(Voice("a" + std::to_string(i), 300 + 200 * i));
  MeetingClient client(recorder);
  const std::string mp4 = folder + "/churn.mp4";
  ASSERT_TRUE(client.Start(m, mp4));
  DeclareChurnLayout(recorder, 0);
  std::atomic<bool> over{false};
  std::thread pushers([&] {
    client.Run(seconds);
    over = true;
  });
  for (int step = 1; !over; ++step) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    DeclareChurnLayout(recorder, step);
  }
  pushers.join();
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);

  EXPECT_GT(client.pushed(), 0u);
  const ProbeResult probe = Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_GT(probe.duration, seconds - 2.5);
  DecodeOptions options;
  options.audio = false;
  const Decoded decoded = Decode(mp4, options);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  const double gap = LargestPictureGap(decoded);
  std::printf("[ measured ] largest gap between pictures under layout churn: %.3f s\n", gap);
  EXPECT_LT(gap, 0.2);
}

}  // namespace
}  // namespace plenova::testing
