// The recording controls under the calls a client gets wrong or makes at
// awkward moments, through libplenova.so with the real encoders and files:
// short recordings, starts and stops out of order, canvas changes, streams
// of unknown rate, several recorders in one process.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

namespace fs = std::filesystem;

// A small meeting: one camera over the whole canvas, one voice.
Meeting SmallMeeting(int canvas_w = 320, int canvas_h = 240) {
  Meeting m;
  m.canvas_w = canvas_w;
  m.canvas_h = canvas_h;
  m.video_bitrate = 400000;
  m.video = {Participant("cam", kRed, 0, 0, canvas_w, canvas_h, 320, 240)};
  m.audio = {Voice("voice", 440)};
  return m;
}

// The MP4 states each recorder reported, by the stream id it registered.
struct States {
  static inline std::mutex mutex;  // guards `seen`; the engine's threads and the test
  static inline std::vector<std::pair<int, int>> seen;
  static void Callback(int id, int state) {
    std::lock_guard lock(mutex);
    seen.emplace_back(id, state);
  }
  // A second client function: what reaches it is recorded under id + 1000.
  static void OtherCallback(int id, int state) { Callback(1000 + id, state); }
  static void Clear() {
    std::lock_guard lock(mutex);
    seen.clear();
  }
  static int Count(int id, int state) {
    std::lock_guard lock(mutex);
    return static_cast<int>(std::count(seen.begin(), seen.end(), std::make_pair(id, state)));
  }
  static std::vector<std::pair<int, int>> Of(int id) {
    std::lock_guard lock(mutex);
    std::vector<std::pair<int, int>> out;
    for (const auto& s : seen)
      if (s.first == id) out.push_back(s);
    return out;
  }
};

constexpr int kStarted = 1, kStopped = 2, kWriteError = 3, kOpenFailed = 4, kNothingRecorded = 5;

void ExpectPlays(const std::string& path, int width, int height) {
  SCOPED_TRACE(path);
  const ProbeResult probe = Probe(path);
  ASSERT_TRUE(probe.ok) << probe.error;
  const auto* video = probe.Stream("video");
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->at("width"), std::to_string(width));
  EXPECT_EQ(video->at("height"), std::to_string(height));
  DecodeOptions options;
  options.audio = false;
  // Pictures from the start to the end are all of the track's size.
  for (double t = 0; t < probe.duration; t += 0.5) options.pictures_at.push_back(t);
  const Decoded decoded = Decode(path, options);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  for (const Picture& picture : decoded.pictures) {
    EXPECT_EQ(picture.width, width) << "at " << picture.time << " s";
    EXPECT_EQ(picture.height, height) << "at " << picture.time << " s";
  }
  EXPECT_EQ(DecodeErrors(path), "");
}

// Recordings stopped 0 to 80 ms after they started, hundreds of them, while
// the meeting runs: the muxer is never handed a timestamp that makes it
// abort the process; a recording that saw a key frame leaves a file that
// plays, one that did not says so (state 5) and leaves none.
TEST(ControlFaultTest, ShortRecordingsNeverAbortAndOnlyPlayableFilesAreKept) {
  States::Clear();
  const std::string folder = TempFolder("fault_short_recordings");
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  ASSERT_EQ(recorder->SetMp4RecordCallback(11, &States::Callback), 0);
  MeetingClient client(recorder);
  client.Configure(SmallMeeting());
  client.DeclareLayout();
  const double seconds = FaultSeconds(20, 90);
  std::atomic<bool> meeting_over{false};
  std::thread meeting([&] {
    client.Run(seconds);
    meeting_over = true;
  });
  std::mt19937 random(16);
  int recordings = 0;
  while (!meeting_over && recordings < (FullFaults() ? 1500 : 300)) {
    const std::string path = folder + "/short" + std::to_string(recordings) + ".mp4";
    ASSERT_EQ(recorder->StartMp4Record(path.c_str()), 0) << recordings;
    std::this_thread::sleep_for(std::chrono::milliseconds(random() % 81));
    ASSERT_EQ(recorder->StopMp4Record(), 0) << recordings;
    ++recordings;
  }
  meeting.join();
  DeletePlenova(recorder);  // every file is final after this

  std::printf("[ measured ] %d recordings of 0 to 80 ms\n", recordings);
  EXPECT_GE(recordings, 200);
  EXPECT_EQ(States::Count(11, kStarted), recordings);
  const int kept = States::Count(11, kStopped);
  EXPECT_EQ(kept + States::Count(11, kNothingRecorded), recordings);
  int files = 0;
  for (int n = 0; n < recordings; ++n) {
    const std::string path = folder + "/short" + std::to_string(n) + ".mp4";
    if (!fs::exists(path)) continue;
    ++files;
    ExpectPlays(path, 320, 240);
  }
  EXPECT_EQ(files, kept);
  std::printf("[ measured ] %d of them saw a key frame and left a file\n", files);
}

// A start made before the engine runs and stopped before it does was a
// successful stop; a start whose file cannot be opened when the engine
// starts is over (state 4). Neither leaves the recorder refusing the next
// start, across engine restarts too.
TEST(ControlFaultTest, RecordingFlagsFollowWhatReallyHappened) {
  States::Clear();
  const std::string folder = TempFolder("fault_mp4_flags");
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  ASSERT_EQ(recorder->SetMp4RecordCallback(12, &States::Callback), 0);
  MeetingClient client(recorder);
  client.Configure(SmallMeeting());
  ASSERT_EQ(recorder->StartMp4Record((folder + "/never.mp4").c_str()), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  ASSERT_EQ(recorder->StartMp4Record((folder + "/missing/folder/a.mp4").c_str()), 0);
  client.DeclareLayout();
  EXPECT_EQ(States::Of(12), (std::vector<std::pair<int, int>>{{12, kOpenFailed}}));
  EXPECT_EQ(recorder->StopMp4Record(), -1);
  const std::string first = folder + "/first.mp4";
  ASSERT_EQ(recorder->StartMp4Record(first.c_str()), 0);
  client.Run(3);
  ASSERT_EQ(recorder->StopMp4Record(), 0);

  // Across a restart: stopped before the engine is back, started after.
  ASSERT_EQ(recorder->PlenovaUnint(), 0);
  ASSERT_EQ(recorder->StartMp4Record((folder + "/never2.mp4").c_str()), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  client.DeclareLayout();
  const std::string second = folder + "/second.mp4";
  ASSERT_EQ(recorder->StartMp4Record(second.c_str()), 0);
  client.Run(3);
  ASSERT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);

  EXPECT_FALSE(fs::exists(folder + "/never.mp4"));
  EXPECT_FALSE(fs::exists(folder + "/never2.mp4"));
  ExpectPlays(first, 320, 240);
  ExpectPlays(second, 320, 240);
  EXPECT_EQ(States::Count(12, kStarted), 2);
  EXPECT_EQ(States::Count(12, kStopped), 2);
}

// A canvas change asked for while recording is refused (an MP4 track has
// one picture size), so a recording across an engine restart stays one
// playable file at one size.
TEST(ControlFaultTest, ACanvasChangeWhileRecordingIsRefusedAndTheFileStaysWhole) {
  const std::string folder = TempFolder("fault_canvas_change");
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient client(recorder);
  const std::string mp4 = folder + "/meeting.mp4";
  ASSERT_TRUE(client.Start(SmallMeeting(640, 360), mp4));
  client.Run(2.5);
  {
    LogCapture log;
    VideoParam smaller{400000, 240, 320, 0};
    recorder->SetVideoParam(&smaller);
    EXPECT_TRUE(log.Contains("while MP4 recording is on"));
  }
  ASSERT_EQ(recorder->PlenovaUnint(), 0);
  client.DeclareLayout();
  client.Run(2.5);
  EXPECT_EQ(client.refused(), 0);
  ASSERT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);
  ExpectPlays(mp4, 640, 360);
  EXPECT_GT(Probe(mp4).duration, 4.0);
}

// Streams that all declare 0 frames a second (unknown) are recorded at 25.
TEST(ControlFaultTest, StreamsOfUnknownRateAreRecordedAt25) {
  const std::string folder = TempFolder("fault_fps_zero");
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient client(recorder);
  Meeting m = SmallMeeting();
  m.video[0].declared_fps = 0;
  const std::string mp4 = folder + "/unknown_rate.mp4";
  ASSERT_TRUE(client.Start(m, mp4));
  client.Run(3);
  EXPECT_EQ(client.refused(), 0);
  ASSERT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);
  ExpectPlays(mp4, 320, 240);
  const ProbeResult probe = Probe(mp4);
  ASSERT_NE(probe.Stream("video"), nullptr);
  EXPECT_EQ(probe.Stream("video")->at("r_frame_rate"), "25/1");
  EXPECT_NEAR(probe.duration, 3, 0.5);
}

// Two recorders in one process: each one's MP4 states reach its own
// callback, with its own id.
TEST(ControlFaultTest, EachRecorderReportsToItsOwnCallback) {
  States::Clear();
  const std::string folder = TempFolder("fault_two_callbacks");
  IPlenova* first = CreatePlenova(folder.c_str());
  IPlenova* second = CreatePlenova(folder.c_str());
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(first->SetMp4RecordCallback(21, &States::Callback), 0);
  ASSERT_EQ(second->SetMp4RecordCallback(22, &States::OtherCallback), 0);
  MeetingClient a(first), b(second);
  ASSERT_TRUE(a.Start(SmallMeeting(), folder + "/first.mp4"));
  ASSERT_TRUE(b.Start(SmallMeeting(), folder + "/second.mp4"));
  std::thread run_b([&] { b.Run(2.5); });
  a.Run(2.5);
  run_b.join();
  ASSERT_EQ(first->StopMp4Record(), 0);
  DeletePlenova(first);
  // The first recorder's file is final; the second still records.
  EXPECT_EQ(States::Of(21), (std::vector<std::pair<int, int>>{{21, kStarted}, {21, kStopped}}));
  EXPECT_EQ(States::Of(1022), (std::vector<std::pair<int, int>>{{1022, kStarted}}));
  ASSERT_EQ(second->StopMp4Record(), 0);
  DeletePlenova(second);
  EXPECT_EQ(States::Of(1022),
            (std::vector<std::pair<int, int>>{{1022, kStarted}, {1022, kStopped}}));
  // Nothing of one recorder reached the other's function.
  EXPECT_TRUE(States::Of(22).empty());
  EXPECT_TRUE(States::Of(1021).empty());
}

// The layouts of `m`, declared without touching a MeetingClient whose
// threads push at the same time.
void DeclareLayoutOf(IPlenova* recorder, const Meeting& m) {
  std::vector<AudioStreamInfo> audio;
  for (const auto& p : m.audio) audio.push_back({p.channels, 16, p.rate, p.id.c_str()});
  AudioStreamInfoUpdate a{audio.data(),  static_cast<int32_t>(audio.size()),
                          m.mixer_fps,   m.target_channels,
                          m.target_rate, 16};
  std::vector<VideoStreamInfo> video;
  for (const auto& p : m.video)
    video.push_back(
        {p.fps, p.height, p.width, p.id.c_str(), p.target_h, p.target_w, p.x, p.yy, p.videoType});
  VideoStreamInfoUpdate v{static_cast<int32_t>(video.size()), video.data()};
  recorder->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&a);
  recorder->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&v);
}

// The canvas changes on one thread while another restarts the engine and
// others push: the compositor and the encoder of each run agree on one
// canvas, so the encoder never reads past a picture.
TEST(ControlFaultTest, CanvasChangesDuringRestartsNeverReachTheEncoderHalfWay) {
  const std::string folder = TempFolder("fault_canvas_restarts");
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient client(recorder);
  client.Configure(SmallMeeting(640, 480));
  client.DeclareLayout();
  const double seconds = FaultSeconds(5, 30);
  std::atomic<bool> over{false};
  std::thread meeting([&] {
    client.Run(seconds);
    over = true;
  });
  std::thread canvas([&] {
    std::mt19937 random(2);
    while (!over) {
      const int w = 2 * (1 + static_cast<int>(random() % 640));
      const int h = 2 * (1 + static_cast<int>(random() % 360));
      VideoParam v{400000, h, w, 0};
      recorder->SetVideoParam(&v);
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    }
  });
  int restarts = 0;
  const Meeting meeting_layout = SmallMeeting(640, 480);
  while (!over) {
    recorder->PlenovaUnint();
    DeclareLayoutOf(recorder, meeting_layout);
    ++restarts;
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
  }
  meeting.join();
  canvas.join();
  DeletePlenova(recorder);
  std::printf("[ measured ] %d engine restarts under canvas changes\n", restarts);
  EXPECT_GT(restarts, 10);
}

}  // namespace
}  // namespace plenova::testing
