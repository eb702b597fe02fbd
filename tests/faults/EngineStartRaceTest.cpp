// The first audio layout and the first video layout arriving on two threads
// at the same moment: the engine starts every time. Runs under
// ThreadSanitizer too.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"

namespace plenova::testing {
namespace {

TEST(EngineStartRaceTest, FirstLayoutsOnTwoThreadsAtOnceAlwaysStartTheEngine) {
  const std::string folder = TempFolder("fault_start_race");
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient settings(recorder);
  Meeting m;
  m.canvas_w = 64;
  m.canvas_h = 64;
  m.video_bitrate = 100000;
  settings.Configure(m);
  AudioStreamInfo voice{2, 16, 48000, "voice"};
  AudioStreamInfoUpdate audio{&voice, 1, 50, 2, 48000, 16};
  VideoStreamInfo camera{25, 64, 64, "cam", 64, 64, 0, 0, 0};
  VideoStreamInfoUpdate video{1, &camera};
  IUpdateStreamInterface* layout = recorder->GetUpdateStreamInterface();
  std::vector<int16_t> pcm(960 * 2, 0);
  int stopped = 0;
  for (int n = 0; n < 200; ++n) {
    std::atomic<int> ready{0};
    const auto at_once = [&ready] {
      ++ready;
      while (ready < 2) std::this_thread::yield();
    };
    std::thread audio_thread([&] {
      at_once();
      layout->UpdateAudioStreamInfo(&audio);
    });
    std::thread video_thread([&] {
      at_once();
      layout->UpdateVideoStreamInfo(&video);
    });
    audio_thread.join();
    video_thread.join();
    // Pushes are taken only by a running engine.
    if (recorder->PushAudioFrame(2, 16, 48000, pcm.data(), static_cast<int>(pcm.size() * 2), 0,
                                 "voice") != 0)
      ++stopped;
    ASSERT_EQ(recorder->PlenovaUnint(), 0);
  }
  DeletePlenova(recorder);
  EXPECT_EQ(stopped, 0) << "engines that never started, of 200";
}

}  // namespace
}  // namespace plenova::testing
