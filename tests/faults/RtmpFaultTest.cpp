// Network faults while a meeting is published and recorded: the server dies
// and comes back, or accepts the connection and never reads.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
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
  m.video = {Participant("red", kRed, 0, 0, 640, 720),
             Participant("blue", kBlue, 640, 0, 640, 720)};
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

// The events of one recorder, with the time each came.
class EventLog {
 public:
  struct Entry {
    int output, kind, attempt, delay_ms;
    std::string text;
    Clock::time_point at;
  };

  static void On(const PlenovaEvent* e, void* user) {
    auto* log = static_cast<EventLog*>(user);
    std::lock_guard<std::mutex> lock(log->mutex_);
    log->entries_.push_back({e->output, e->kind, e->attempt, e->delay_ms, e->text, Clock::now()});
  }

  std::vector<Entry> Of(int output) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Entry> out;
    for (const Entry& e : entries_)
      if (e.output == output) out.push_back(e);
    return out;
  }

 private:
  std::mutex mutex_;  // guards entries_; taken by engine threads and the test
  std::vector<Entry> entries_;
};

PlenovaStatistics Statistics(IPlenova* recorder) {
  PlenovaStatistics s{};
  s.size = sizeof s;
  EXPECT_EQ(recorder->GetStatistics(&s), 0);
  return s;
}

std::string KindName(int kind) {
  switch (kind) {
    case PLENOVA_EVENT_CONNECTING: return "connecting";
    case PLENOVA_EVENT_PUBLISHING: return "publishing";
    case PLENOVA_EVENT_RECONNECTING: return "reconnecting";
    case PLENOVA_EVENT_FAILED: return "failed";
    case PLENOVA_EVENT_STOPPED: return "stopped";
    default: return "kind " + std::to_string(kind);
  }
}

// The server dies and comes back while a meeting is published and recorded.
// Publishing resumes by itself from a key frame and the MP4 goes on without a
// hole. The host sees the outage: the publisher's events go publishing ->
// reconnecting (with its attempt and delay) -> publishing, and its statistics
// count the reconnect, measure the outage and send bytes again after it.
TEST(RtmpFaultTest, PublishingResumesByItselfAfterTheServerIsKilledAndRestarted) {
  const std::string folder = TempFolder("fault_server_killed");
  RtmpServer server(19371, folder + "/records");
  ASSERT_TRUE(server.Start()) << "cannot start nginx on 127.0.0.1:19371";
  const std::string stream = "killed-key";
  const double before = FaultSeconds(4, 20), down = FaultSeconds(3, 5), after = FaultSeconds(6, 20);
  const double total = before + down + after;

  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  EventLog events;
  ASSERT_EQ(recorder->SetEventCallback(&EventLog::On, &events), 0);
  MeetingClient client(recorder);
  const std::string mp4 = folder + "/killed.mp4";
  ASSERT_TRUE(client.Start(TwoWindows(), mp4, server.Url(stream)));
  const auto started = Clock::now();
  std::thread pusher([&] { client.Run(total); });

  std::this_thread::sleep_for(std::chrono::duration<double>(before));
  EXPECT_GT(FileSize(server.Recording(stream)), 10000) << "nothing published before the kill";
  // Taken before the kill: the publisher may notice the loss while Kill
  // still waits for the server's processes to go.
  const auto killed = Clock::now();
  server.Kill();
  std::remove(server.Recording(stream).c_str());
  std::this_thread::sleep_for(std::chrono::duration<double>(down));
  const bool restarted = server.Start();
  const auto back = Clock::now();
  const double downtime_ms = std::chrono::duration<double, std::milli>(back - killed).count();
  double resume = -1, left = 0;  // seconds of the meeting left when publishing resumed
  while (restarted && Since(started) < total - 0.5) {
    if (FileSize(server.Recording(stream)) > 4096) {
      resume = Since(back);
      left = total - Since(started);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const PlenovaStatistics resumed = Statistics(recorder);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const PlenovaStatistics later = Statistics(recorder);
  std::printf("[ measured ] publishing resumed %.2f s after the server came back\n", resume);
  pusher.join();
  EXPECT_EQ(client.refused(), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  EXPECT_EQ(recorder->StopRecord(), 0);
  DeletePlenova(recorder);
  server.Stop();
  ASSERT_TRUE(restarted) << "cannot start nginx again on 127.0.0.1:19371";
  EXPECT_GE(resume, 0) << "publishing never resumed";
  EXPECT_LE(resume, 3.0);

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
      << "the recording after the restart spans " << replay.picture_times.size()
      << " pictures from " << replay.picture_times.front() << " s to "
      << replay.picture_times.back() << " s";

  // The events: publishing, then reconnecting with attempts counted up from 1
  // and a delay after each failed try, then publishing again; no failure; the
  // key never shown.
  std::vector<std::string> sequence;
  int attempts = 0;
  int longest_delay_ms = 0;
  for (const EventLog::Entry& e : events.Of(PLENOVA_OUTPUT_RTMP_1)) {
    EXPECT_EQ(e.text.find(stream), std::string::npos) << "a stream key in an event: " << e.text;
    if (e.kind == PLENOVA_EVENT_RECONNECTING) {
      EXPECT_EQ(e.attempt, ++attempts) << "attempts count up from 1 during one outage";
      // A lost connection is tried again at once; a failed try waits.
      if (e.attempt > 1) {
        EXPECT_GT(e.delay_ms, 0);
      }
      longest_delay_ms = std::max(longest_delay_ms, e.delay_ms);
      EXPECT_GE(e.at, killed);
    }
    if (e.kind == PLENOVA_EVENT_CONNECTING) continue;
    const std::string kind = KindName(e.kind);
    if (sequence.empty() || sequence.back() != kind) sequence.push_back(kind);
  }
  EXPECT_EQ(sequence,
            (std::vector<std::string>{"publishing", "reconnecting", "publishing", "stopped"}));
  EXPECT_GE(attempts, 1);
  EXPECT_TRUE(events.Of(PLENOVA_OUTPUT_RTMP_2).empty());

  // The statistics: one reconnect at least, an outage about as long as the
  // server was away (at most a retry delay and a key frame more), and bytes
  // flowing again afterwards.
  const PlenovaOutputStatistics& a = resumed.outputs[PLENOVA_OUTPUT_RTMP_1];
  const PlenovaOutputStatistics& b = later.outputs[PLENOVA_OUTPUT_RTMP_1];
  std::printf(
      "[ measured ] server away %.0f ms; outage %llu ms, %u reconnects, longest retry delay %d ms; "
      "%llu bytes sent in the 2 s after publishing again\n",
      downtime_ms, static_cast<unsigned long long>(b.outage_ms), b.reconnects, longest_delay_ms,
      static_cast<unsigned long long>(b.bytes_sent - a.bytes_sent));
  EXPECT_EQ(a.state, PLENOVA_EVENT_PUBLISHING);
  EXPECT_GE(b.reconnects, 1u);
  EXPECT_GE(static_cast<double>(b.outage_ms), downtime_ms - 1000);
  EXPECT_LE(static_cast<double>(b.outage_ms), downtime_ms + longest_delay_ms + 3000);
  // Two seconds of pictures and AAC frames (about 140 packets; the flat
  // pictures of this meeting make small ones) flow after the outage.
  EXPECT_GT(b.packets_sent, a.packets_sent + 50);
  EXPECT_GT(b.bytes_sent, a.bytes_sent + 10000);
  EXPECT_GT(b.latency_p99_ms, 0u);
}

// A server that takes the connection and never answers: starting and
// stopping publishing on a running engine return at once all the same, and
// the recording goes on without the engine holding raw canvases for it.
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
  ASSERT_TRUE(client.Start(TwoWindows(), mp4));
  client.Run(1);
  for (int round = 0; round < 3; ++round) {
    const auto starting = Clock::now();
    ASSERT_EQ(recorder->StartRecord(url.c_str()), 0);
    const double start_s = Since(starting);
    client.Run(1);
    const auto stopping = Clock::now();
    EXPECT_EQ(recorder->StopRecord(), 0);
    const double stop_s = Since(stopping);
    std::printf("[ measured ] StartRecord %.3f s, StopRecord %.3f s\n", start_s, stop_s);
    EXPECT_LT(start_s, 1.0);
    EXPECT_LT(stop_s, 1.0);
  }
  ASSERT_EQ(recorder->StartRecord(url.c_str()), 0);
  client.Run(3);
  const long rss_early = ResidentKib();
  client.Run(seconds - 7);
  const long rss_late = ResidentKib();
  std::printf("[ measured ] resident set %ld KiB after 7 s, %ld KiB after %.0f s\n", rss_early,
              rss_late, seconds);
  EXPECT_EQ(client.refused(), 0);
  EXPECT_GE(deaf.accepted(), 4) << "the publisher never tried the server";
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
