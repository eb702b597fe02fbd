// The first audio layout and the first video layout arriving on two threads
// at the same moment, while two more threads change the settings and start
// the outputs: the engine starts every time, and (under ThreadSanitizer)
// no two of them touch the stored settings unguarded.

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
  const std::string mp4 = folder + "/race.mp4";
  const std::string url = "rtmp://127.0.0.1:1/live/race";  // nobody listens there
  int stopped = 0;
  for (int n = 0; n < 200; ++n) {
    std::atomic<int> ready{0};
    const auto at_once = [&ready] {
      ++ready;
      while (ready < 4) std::this_thread::yield();
    };
    std::thread audio_thread([&] {
      at_once();
      layout->UpdateAudioStreamInfo(&audio);
    });
    std::thread video_thread([&] {
      at_once();
      layout->UpdateVideoStreamInfo(&video);
    });
    std::thread settings_thread([&] {
      at_once();
      settings.Configure(m);
    });
    std::thread outputs_thread([&] {
      at_once();
      recorder->StartMp4Record(mp4.c_str());
      recorder->StartRecord(url.c_str());
    });
    for (std::thread* t : {&audio_thread, &video_thread, &settings_thread, &outputs_thread})
      t->join();
    // Pushes are taken only by a running engine.
    if (recorder->PushAudioFrame(2, 16, 48000, pcm.data(), static_cast<int>(pcm.size() * 2), 0,
                                 "voice") != 0)
      ++stopped;
    EXPECT_EQ(recorder->StopMp4Record(), 0) << n;
    EXPECT_EQ(recorder->StopRecord(), 0) << n;
    ASSERT_EQ(recorder->PlenovaUnint(), 0);
  }
  DeletePlenova(recorder);
  EXPECT_EQ(stopped, 0) << "engines that never started, of 200";
}

}  // namespace
}  // namespace plenova::testing
