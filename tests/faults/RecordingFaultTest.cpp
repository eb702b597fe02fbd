// Faults of the MP4 recording: the recording process is killed, the disk
// fills up.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

// Forks a child that records FlashAndBeep(true) into `mp4` and kills it with
// SIGKILL `after` seconds after it started pushing. Returns false when the
// child could not be run.
bool RecordAndKill(const std::string& folder, const std::string& mp4, double after) {
  int ready[2];
  if (::pipe(ready) != 0) return false;
  const pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    ::close(ready[0]);
    IPlenova* recorder = CreatePlenova(folder.c_str());
    if (recorder == nullptr) ::_exit(2);
    MeetingClient client(recorder);
    client.Configure(FlashAndBeep(true));
    if (recorder->StartMp4Record(mp4.c_str()) != 0) ::_exit(3);
    client.DeclareLayout();
    const char go = 1;
    if (::write(ready[1], &go, 1) != 1) ::_exit(4);
    client.Run(after + 30);
    ::_exit(5);  // killed long before
  }
  ::close(ready[1]);
  char go = 0;
  const bool started = ::read(ready[0], &go, 1) == 1;
  ::close(ready[0]);
  if (started) std::this_thread::sleep_for(std::chrono::duration<double>(after));
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  return started && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

class KilledRecordingTest : public ::testing::TestWithParam<double> {};

TEST_P(KilledRecordingTest, FileOpensAndDecodesUpToTheKill) {
  const double after = GetParam();
  const std::string folder =
      TempFolder("fault_killed_" + std::to_string(static_cast<int>(after * 10)));
  const std::string mp4 = folder + "/killed.mp4";
  ASSERT_TRUE(RecordAndKill(folder, mp4, after)) << "the recording child did not run";

  const ProbeResult probe = Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  ASSERT_NE(probe.Stream("video"), nullptr);
  ASSERT_NE(probe.Stream("audio"), nullptr);
  const Decoded decoded = Decode(mp4, DecodeOptions{});
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  // Within the first second of a recording nothing need be written yet.
  if (after >= 1) {
    ASSERT_FALSE(decoded.picture_times.empty());
  }
  const double video_end = decoded.picture_times.empty() ? 0 : decoded.picture_times.back();
  const Sound& sound = decoded.sound;
  const double audio_end = sound.samples.empty()
                               ? 0
                               : sound.start_time + static_cast<double>(sound.samples.size()) /
                                                        (sound.rate * sound.channels);
  std::printf("[ measured ] killed after %.1f s: video to %.2f s, audio to %.2f s\n", after,
              video_end, audio_end);
  EXPECT_GE(video_end, after - 1.0);
  EXPECT_GE(audio_end, after - 1.0);
  if (after >= 3) {
    const double worst =
        WorstFlashBeepDistance(mp4, MeetingClient::kBeepHz, 200, 200, 240, 240, 0, 2);
    EXPECT_GE(worst, 0) << "no flashes in the recording";
    EXPECT_LE(worst, 0.040);
  }
}

std::vector<double> KillPoints() {
  if (FullFaults()) return {0.7, 1.5, 3.2, 6.5, 12.3, 25.1};
  return {1.5, 4.1};
}

INSTANTIATE_TEST_SUITE_P(AtSeveralPoints, KilledRecordingTest, ::testing::ValuesIn(KillPoints()));

std::atomic<int> g_mp4_state{0};
std::atomic<int> g_mp4_write_errors{0};

void OnMp4State(int /*stream*/, int state) {
  g_mp4_state = state;
  if (state == 3) ++g_mp4_write_errors;
}

TEST(RecordingFaultTest, DiskFullStopsTheFileCleanlyAndPublishingGoesOn) {
  const std::string folder = TempFolder("fault_disk_full");
  const std::string disk = folder + "/disk";
  std::filesystem::create_directories(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=160k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): disk-full fault not run";
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{disk};

  RtmpServer server(19372, folder + "/records");
  ASSERT_TRUE(server.Start()) << "cannot start nginx on 127.0.0.1:19372";
  const std::string url = server.Url("diskfull");
  const double seconds = FaultSeconds(12, 40);

  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  ASSERT_EQ(recorder->SetMp4RecordCallback(7, OnMp4State), 0);
  MeetingClient client(recorder);
  const std::string mp4 = disk + "/full.mp4";
  ASSERT_TRUE(client.Start(FlashAndBeep(true), mp4, url));
  client.Run(seconds);
  EXPECT_EQ(client.refused(), 0);
  EXPECT_EQ(g_mp4_write_errors.load(), 1) << "the write error is reported once";
  recorder->StopMp4Record();
  EXPECT_EQ(recorder->StopRecord(), 0);
  DeletePlenova(recorder);
  server.Stop();

  // The file holds what fitted, and plays.
  const ProbeResult probe = Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_GT(probe.duration, 0.5);
  EXPECT_LT(probe.duration, seconds - 1) << "the disk never filled up: make it smaller";
  const Decoded decoded = Decode(mp4, DecodeOptions{});
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  // The stream went on to the end.
  const ProbeResult live = Probe(server.Recording("diskfull"));
  ASSERT_TRUE(live.ok) << live.error;
  EXPECT_NEAR(live.duration, seconds, 1.0);
}

}  // namespace
}  // namespace plenova::testing
