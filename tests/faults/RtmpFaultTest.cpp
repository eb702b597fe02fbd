// Network faults while a meeting is published and recorded: the server dies
// and comes back, or accepts the connection and never reads.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

Meeting TwoWindows() {
  Meeting m;
  m.video = {Participant("red", kRed, 0, 0, 640, 720), Participant("blue", kBlue, 640, 0, 640, 720)};
  m.audio = {Voice("voice", 440)};
  return m;
}

// The MP4 went on in real time for the whole meeting, without holes.
void ExpectContinuousMp4(const std::string& path, double seconds) {
  SCOPED_TRACE(path);
  const ProbeResult probe = Probe(path);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_NEAR(probe.duration, seconds, 0.5);
  DecodeOptions options;
  options.audio = false;
  const Decoded decoded = Decode(path, options);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  EXPECT_LT(LargestPictureGap(decoded), 0.2);
}

TEST(RtmpFaultTest, PublishingResumesByItselfAfterTheServerIsKilledAndRestarted) {
  const std::string folder = TempFolder("fault_server_killed");
  RtmpServer server(19371, folder + "/records");
  ASSERT_TRUE(server.Start()) << "cannot start nginx on 127.0.0.1:19371";
  const std::string stream = "killed";
  const std::string url = server.Url(stream);
  const double before = FaultSeconds(4, 20), down = FaultSeconds(3, 5), after = FaultSeconds(6, 20);
  const double total = before + down + after;

  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient client(recorder);
  const std::string mp4 = folder + "/killed.mp4";
  ASSERT_TRUE(client.Start(TwoWindows(), mp4, url));
  const auto started = Clock::now();
  std::thread pusher([&] { client.Run(total); });

  std::this_thread::sleep_for(std::chrono::duration<double>(before));
  EXPECT_GT(FileSize(server.Recording(stream)), 10000) << "nothing published before the kill";
  server.Kill();
  std::remove(server.Recording(stream).c_str());
  std::this_thread::sleep_for(std::chrono::duration<double>(down));
  ASSERT_TRUE(server.Start());
  const auto back = Clock::now();
  double resume = -1, left = 0;  // seconds of the meeting left when publishing resumed
  while (Since(started) < total - 0.5) {
    if (FileSize(server.Recording(stream)) > 4096) {
      resume = Since(back);
      left = total - Since(started);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("[ measured ] publishing resumed %.2f s after the server came back\n", resume);
  pusher.join();
  EXPECT_GE(resume, 0) << "publishing never resumed";
  EXPECT_LE(resume, 3.0);
  EXPECT_EQ(client.refused(), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  EXPECT_EQ(recorder->StopRecord(), 0);
  DeletePlenova(recorder);
  server.Stop();

  ExpectContinuousMp4(mp4, total);
  // What the server recorded after it came back plays from its first byte:
  // sequence headers, then a key frame, then the two windows.
  DecodeOptions options;
  options.pictures_at = {0};
  const Decoded replay = Decode(server.Recording(stream), options);
  ASSERT_TRUE(replay.ok) << replay.error;
  EXPECT_EQ(replay.decode_errors, 0);
  ASSERT_FALSE(replay.pictures.empty());
  EXPECT_NEAR(replay.pictures[0].Y(320, 360), 81, 12);
  EXPECT_NEAR(replay.pictures[0].Y(960, 360), 41, 12);
  // Resumed publishing keeps the real-time pace to the end.
  EXPECT_GT(replay.picture_times.size(), static_cast<size_t>((left - 0.5) * 25))
      << "the recording after the restart spans " << replay.picture_times.size() << " pictures from "
      << replay.picture_times.front() << " s to " << replay.picture_times.back() << " s";
}

TEST(RtmpFaultTest, AServerThatNeverReadsDoesNotHoldUpTheRecording) {
  const std::string folder = TempFolder("fault_deaf_server");
  DeafServer deaf;
  ASSERT_GT(deaf.port(), 0);
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(deaf.port()) + "/live/deaf";
  const double seconds = FaultSeconds(14, 60);

  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient client(recorder);
  const std::string mp4 = folder + "/deaf.mp4";
  ASSERT_TRUE(client.Start(TwoWindows(), mp4, url));
  client.Run(3);
  const long rss_early = ResidentKib();
  client.Run(seconds - 3);
  const long rss_late = ResidentKib();
  std::printf("[ measured ] resident set %ld KiB after 3 s, %ld KiB after %.0f s\n", rss_early, rss_late,
              seconds);
  EXPECT_EQ(client.refused(), 0);
  EXPECT_GE(deaf.accepted(), 1) << "the publisher never tried the server";
  // Raw canvases queued behind a stuck publisher would grow by tens of MB a
  // second.
  EXPECT_LT(rss_late - rss_early, 150 * 1024);
  const auto stopping = Clock::now();
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  const auto stopping_rtmp = Clock::now();
  EXPECT_EQ(recorder->StopRecord(), 0);
  // A publisher waits for the server on its own thread: the stop ends that.
  const double rtmp_stop = Since(stopping_rtmp);
  std::printf("[ measured ] StopRecord returned after %.3f s\n", rtmp_stop);
  EXPECT_LT(rtmp_stop, 1.0) << "StopRecord waits on the deaf server";
  DeletePlenova(recorder);
  EXPECT_LT(Since(stopping), 12.0) << "stopping waits on the deaf server";

  ExpectContinuousMp4(mp4, seconds);
}

}  // namespace
}  // namespace plenova::testing
