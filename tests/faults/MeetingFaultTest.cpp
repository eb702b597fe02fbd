// Faults of the meeting itself: a layout that keeps changing under pushing
// threads, and a participant whose audio stops for a while.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

using Clock = std::chrono::steady_clock;

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
        recorder->PushAudioFrame(2, 16, 48000, pcm.data(), static_cast<int>(pcm.size() * 2), tick * 1800,
                                 voice.c_str()) == 0)
      ++accepted;
    if (tick % 2 == 0 && recorder->PushVideoFrame(640, 360, id.c_str(), 25, frame.data(),
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
  for (int i = 0; i < 1 + step % 3; ++i) audio.push_back({2, 16, 48000, kVoices[(step + i) % 3].c_str()});
  IUpdateStreamInterface* layout = recorder->GetUpdateStreamInterface();
  AudioStreamInfoUpdate a{audio.data(), static_cast<int32_t>(audio.size()), 50, 2, 48000, 16};
  VideoStreamInfoUpdate v{static_cast<int32_t>(video.size()), video.data()};
  layout->UpdateAudioStreamInfo(&a);
  layout->UpdateVideoStreamInfo(&v);
}

TEST(MeetingFaultTest, LayoutChurnUnderSixPushingThreadsKeepsCanvasesComing) {
  const std::string folder = FaultFolder("churn");
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
  std::printf("[ measured ] %.2f canvases a second under layout churn, %llu frames accepted\n", rate,
              static_cast<unsigned long long>(accepted.load()));
  EXPECT_GT(accepted.load(), 0u);
  EXPECT_NEAR(rate, 25, 1.5);
  const ProbeResult probe = Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_GT(probe.duration, seconds - 2.5);
}

// A meeting where one voice of two (or the only voice) stops for a while and
// then comes back; returns the MP4 path.
struct StallRun {
  std::string mp4;
  double before = 4, stall = 0, after = 0;
};

StallRun RecordStall(bool other_voice) {
  StallRun run;
  run.stall = FaultSeconds(3, 5);
  run.after = FaultSeconds(6, 20);
  const std::string folder = FaultFolder(other_voice ? "stall_one_of_two" : "stall_only_voice");
  Meeting m;
  VideoParticipant flash = Window("flash", 60, 128, 128, 0, 0, 640, 720);
  flash.flash = true;
  m.video = {flash, Window("blue", 41, 240, 110, 640, 0, 640, 720)};
  m.audio = {Voice("beep", 0, /*beep=*/true)};
  if (other_voice) m.audio.push_back(Voice("voice", 440));
  IPlenova* recorder = CreatePlenova(folder.c_str());
  if (recorder == nullptr) return run;
  MeetingClient client(recorder);
  client.Configure(m);
  run.mp4 = folder + "/stall.mp4";
  recorder->StartMp4Record(run.mp4.c_str());
  client.DeclareLayout();
  client.Run(run.before);
  // The stalled voice's frames go to a stream the layout does not hold: the
  // mixer hears nothing from the voice, and the voice's clock runs on.
  client.meeting().audio[0].id = "beep-stalled";
  client.Run(run.stall);
  client.meeting().audio[0].id = "beep";
  client.Run(run.after);
  recorder->StopMp4Record();
  DeletePlenova(recorder);
  return run;
}

// Flashes and beeps in the part after the stall are no more than 40 ms apart.
void ExpectSyncAfterStall(const StallRun& run, double duration) {
  const double worst = WorstFlashBeepDistance(run.mp4, 200, 200, 240, 240, duration - run.after + 1, 3);
  std::printf("[ measured ] worst flash-to-beep distance after the stall: %.3f s\n", worst);
  EXPECT_GE(worst, 0) << "too few flashes after the stall";
  EXPECT_LE(worst, 0.040) << "out of sync after the stall";
}

class AudioStallTest : public ::testing::TestWithParam<bool> {};

TEST_P(AudioStallTest, VideoFlowsAsTheStallRulesSay) {
  const bool other_voice = GetParam();
  const StallRun run = RecordStall(other_voice);
  ASSERT_FALSE(run.mp4.empty());
  const ProbeResult probe = Probe(run.mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  DecodeOptions options;
  options.audio = false;
  const Decoded decoded = Decode(run.mp4, options);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  // While another voice goes on nothing is held; with the only voice gone
  // the video is held too, and flows again once the voice is back.
  const double flowing_from = other_voice ? 0 : probe.duration - run.after + 1;
  double gap = 0;
  for (size_t i = 1; i < decoded.picture_times.size(); ++i)
    if (decoded.picture_times[i - 1] >= flowing_from)
      gap = std::max(gap, decoded.picture_times[i] - decoded.picture_times[i - 1]);
  EXPECT_LT(gap, 0.2);
  EXPECT_NEAR(probe.duration, run.before + run.stall + run.after, 0.6);
  if (other_voice) ExpectSyncAfterStall(run, probe.duration);
}

INSTANTIATE_TEST_SUITE_P(Voices, AudioStallTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "OneOfTwo" : "OnlyVoice"; });

// Known fault: after the only voice stalls, the video held during the stall
// stays about 300 ms behind the audio for the rest of the recording.
TEST(AudioStallSyncTest, DISABLED_SyncHoldsAfterTheOnlyVoiceStalls) {
  const StallRun run = RecordStall(false);
  ASSERT_FALSE(run.mp4.empty());
  const ProbeResult probe = Probe(run.mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  ExpectSyncAfterStall(run, probe.duration);
}

}  // namespace
}  // namespace plenova::testing
