// Publishing as a client meets it: a server that is not there yet, cameras
// that declare a rate other than the canvas's, a server behind TLS.

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

// The publishers' messages to the client: (text, code).
struct Messages {
  static inline std::mutex mutex;  // guards `seen`; the publishers' threads and the test
  static inline std::vector<std::pair<std::string, int>> seen;
  static void Callback(const char* text, int code) {
    std::lock_guard lock(mutex);
    seen.emplace_back(text, code);
  }
  static void Clear() {
    std::lock_guard lock(mutex);
    seen.clear();
  }
  static int Count(int code) {
    std::lock_guard lock(mutex);
    int n = 0;
    for (const auto& m : seen) n += m.second == code;
    return n;
  }
};

constexpr int kConnectFailed = 1, kPublishing = 3;

Meeting Windows(int fps = 25) {
  Meeting m;
  m.canvas_w = 640;
  m.canvas_h = 360;
  m.video_bitrate = 600000;
  m.video = {Participant("red", kRed, 0, 0, 320, 360),
             Participant("blue", kBlue, 320, 0, 320, 360)};
  for (auto& v : m.video) v.fps = fps;
  m.audio = {Voice("voice", 440)};
  return m;
}

// A server's recording of a stream plays whole: both windows, no decode
// errors, lasting about `seconds`.
void ExpectRecordingPlays(const std::string& flv, double seconds, double tolerance) {
  SCOPED_TRACE(flv);
  const ProbeResult probe = Probe(flv);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_NEAR(probe.duration, seconds, tolerance);
  DecodeOptions options;
  options.pictures_at = {seconds / 2};
  const Decoded decoded = Decode(flv, options);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  ASSERT_FALSE(decoded.pictures.empty());
  EXPECT_NEAR(decoded.pictures[0].Y(160, 180), kRed.y, 12);
  EXPECT_NEAR(decoded.pictures[0].Y(480, 180), kBlue.y, 12);
}

// Publishing asked for before the engine runs, to a server that is not up
// yet: the publisher keeps trying and publishes once the server is there;
// the client hears once that it failed and once that it publishes.
TEST(PublishFaultTest, AFirstConnectionThatFailsIsTriedAgainUntilTheServerIsThere) {
  Messages::Clear();
  const std::string folder = TempFolder("fault_server_late");
  RtmpServer server(19391, folder + "/records");
  const std::string url = server.Url("late");
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  recorder->PlenovaInit(nullptr, nullptr, reinterpret_cast<void*>(&Messages::Callback));
  MeetingClient client(recorder);
  ASSERT_TRUE(client.Start(Windows(), folder + "/late.mp4", url));
  client.Run(2.5);
  // A start while the first one keeps trying is refused: it is still on.
  EXPECT_EQ(recorder->StartRecord(url.c_str()), -1);
  // The server comes up while the client goes on sending, as a client that
  // knows nothing of it would.
  bool started = false;
  std::thread starter([&] { started = server.Start(); });
  const double after = FaultSeconds(6, 20);
  client.Run(after);
  starter.join();
  EXPECT_TRUE(started) << "cannot start nginx on 127.0.0.1:19391";
  EXPECT_EQ(recorder->StopRecord(), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);
  server.Stop();

  EXPECT_EQ(Messages::Count(kConnectFailed), 1);
  EXPECT_EQ(Messages::Count(kPublishing), 1);
  // The first tries come within 2 s of each other: publishing began at most
  // that long after the server came up, with the recent media the publisher
  // held meanwhile (less than 2 s of it), and went on without a hole.
  ExpectRecordingPlays(server.Recording("late"), after, 2.0);
  DecodeOptions options;
  options.audio = false;
  const Decoded live = Decode(server.Recording("late"), options);
  ASSERT_TRUE(live.ok) << live.error;
  EXPECT_LT(LargestPictureGap(live), 0.2);
}

// Cameras that declare 30 frames a second: the canvas, and so every output,
// runs at 25 from the start, and the server sees one publication, not one
// torn down and made again.
TEST(PublishFaultTest, OnePublicationWhateverRateTheCamerasDeclare) {
  const std::string folder = TempFolder("fault_declared_30");
  RtmpServer server(19392, folder + "/records");
  ASSERT_TRUE(server.Start()) << "cannot start nginx on 127.0.0.1:19392";
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient client(recorder);
  ASSERT_TRUE(client.Start(Windows(30), folder + "/declared30.mp4", server.Url("rate30")));
  client.Run(4);
  EXPECT_EQ(recorder->StopRecord(), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);
  // nginx writes a session's line when it ends.
  std::string log;
  for (int i = 0; i < 50 && log.find("PUBLISH") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    log = server.AccessLog();
  }
  int publications = 0;
  for (size_t at = log.find("PUBLISH"); at != std::string::npos; at = log.find("PUBLISH", at + 1))
    ++publications;
  EXPECT_EQ(publications, 1) << log;
  server.Stop();
  ExpectRecordingPlays(server.Recording("rate30"), 4, 0.6);
}

// Publishing over rtmps:// to a server behind stunnel.
TEST(PublishFaultTest, PublishesOverRtmps) {
  const std::string folder = TempFolder("fault_rtmps");
  RtmpServer server(19393, folder + "/records");
  ASSERT_TRUE(server.Start()) << "cannot start nginx on 127.0.0.1:19393";
  TlsProxy proxy(19394, 19393);
  ASSERT_TRUE(proxy.Start()) << "cannot start stunnel on 127.0.0.1:19394";
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient client(recorder);
  ASSERT_TRUE(client.Start(Windows(), folder + "/secure.mp4", proxy.Url("secure")));
  client.Run(4);
  EXPECT_EQ(client.refused(), 0);
  EXPECT_EQ(recorder->StopRecord(), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);
  proxy.Stop();
  server.Stop();
  ExpectRecordingPlays(server.Recording("secure"), 4, 0.6);
}

}  // namespace
}  // namespace plenova::testing
