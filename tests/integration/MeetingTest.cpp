// Whole meetings through the public interface, checked as a user would: the
// MP4 file and the RTMP server's recording are probed with ffprobe and
// decoded, and the pictures and sounds in them are measured.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "api/Plenova.h"
#include "tests/integration/MeetingClient.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

constexpr uint8_t kPlaceholderY = 34;

// The four-window meeting: a plain window, a letterboxed 4:3 camera, a
// cropped CIF camera and a bottom-up camera whose top-right corner holds a
// camera-off picture; two voices.
Meeting FourWindowMeeting() {
  Meeting m;
  m.video = {Participant("red", kRed, 0, 0, 640, 360),
             Participant("green", kGreen, 640, 0, 640, 360, 640, 480),
             Participant("blue", kBlue, 0, 360, 640, 360, 352, 288),
             Participant("yellow", kYellow, 640, 360, 640, 360)};
  m.video[1].videoType = 1;    // letterbox
  m.video[3].orientation = 2;  // bottom-up
  m.pictures = {PictureStreamInfo{25, 360, 640, nullptr, 180, 320, 960, 360, 0}};
  m.audio = {Voice("low", 440), Voice("high", 1000)};
  return m;
}

// The local RTMP server started by the test script, or empty.
std::string RtmpUrl(const std::string& stream) {
  const char* port = std::getenv("PLENOVA_TEST_RTMP_PORT");
  if (port == nullptr) return {};
  return std::string("rtmp://127.0.0.1:") + port + "/live/" + stream;
}

std::string RtmpRecording(const std::string& stream) {
  const char* dir = std::getenv("PLENOVA_TEST_RTMP_RECORD_DIR");
  return dir == nullptr ? std::string() : std::string(dir) + "/" + stream + ".flv";
}

void ExpectColour(const Picture& p, int x, int y, Colour c, const std::string& what) {
  SCOPED_TRACE(what + " at " + std::to_string(x) + "," + std::to_string(y));
  EXPECT_NEAR(p.Y(x, y), c.y, 12);
  EXPECT_NEAR(p.U(x, y), c.u, 12);
  EXPECT_NEAR(p.V(x, y), c.v, 12);
}

// Checks a recording of FourWindowMeeting lasting `seconds`.
void CheckFourWindowRecording(const std::string& path, double seconds) {
  SCOPED_TRACE(path);
  const ProbeResult probe = Probe(path);
  ASSERT_TRUE(probe.ok) << probe.error;
  const auto* video = probe.Stream("video");
  const auto* audio = probe.Stream("audio");
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  EXPECT_EQ(video->at("codec_name"), "h264");
  EXPECT_EQ(video->at("width"), "1280");
  EXPECT_EQ(video->at("height"), "720");
  // The MP4 writer nudges pictures by a fraction of a millisecond to keep
  // them against the audio, so the rate is read as the average over the
  // file (ffprobe's r_frame_rate guesses from the smallest spacing).
  int num = 0, den = 0;
  ASSERT_EQ(std::sscanf(video->at("avg_frame_rate").c_str(), "%d/%d", &num, &den), 2);
  ASSERT_GT(den, 0);
  EXPECT_NEAR(static_cast<double>(num) / den, 25.0, 0.3);
  EXPECT_EQ(audio->at("codec_name"), "aac");
  EXPECT_EQ(audio->at("sample_rate"), "48000");
  EXPECT_EQ(audio->at("channels"), "2");
  EXPECT_NEAR(probe.duration, seconds, 0.2);

  DecodeOptions options;
  options.pictures_at = {seconds / 2};
  const Decoded decoded = Decode(path, options);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  ASSERT_EQ(decoded.pictures.size(), 1u);
  const Picture& p = decoded.pictures[0];
  ExpectColour(p, 320, 180, kRed, "plain window");
  ExpectColour(p, 960, 180, kGreen, "letterboxed window");
  EXPECT_LT(p.Y(650, 180), 24) << "letterbox bar";
  ExpectColour(p, 320, 540, kBlue, "cropped window");
  ExpectColour(p, 800, 620, kYellow, "bottom-up window");
  EXPECT_NEAR(p.Y(975, 375), kPlaceholderY, 10) << "placeholder over the bottom-up window";

  const double low = ToneShare(decoded.sound, 440, 1, seconds - 1);
  const double high = ToneShare(decoded.sound, 1000, 1, seconds - 1);
  EXPECT_GT(low, 0.2);
  EXPECT_GT(high, 0.2);
}

class MeetingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = TempFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  std::string folder_;
};

TEST_F(MeetingTest, FourWindowsToMp4AndRtmpAtOnce) {
  const std::string url = RtmpUrl("meeting_four");
  if (url.empty()) GTEST_SKIP() << "no local RTMP server: run scripts/test.sh";
  IPlenova* recorder = CreatePlenova(folder_.c_str());
  ASSERT_NE(recorder, nullptr);
  MeetingClient client(recorder);
  const std::string mp4 = folder_ + "/four.mp4";
  ASSERT_TRUE(client.Start(FourWindowMeeting(), mp4, url));
  client.Run(10);
  EXPECT_EQ(client.refused(), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  EXPECT_EQ(recorder->StopRecord(), 0);
  EXPECT_EQ(recorder->PlenovaUnint(), 0);
  DeletePlenova(recorder);

  CheckFourWindowRecording(mp4, 10);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // nginx closes its file
  CheckFourWindowRecording(RtmpRecording("meeting_four"), 10);
}

TEST_F(MeetingTest, RecordingGoesOnAcrossARestart) {
  IPlenova* recorder = CreatePlenova(folder_.c_str());
  ASSERT_NE(recorder, nullptr);
  Meeting first;
  first.video = {Participant("red", kRed, 0, 0, 1280, 720)};
  first.audio = {Voice("voice")};
  MeetingClient client(recorder);
  const std::string mp4 = folder_ + "/restart.mp4";
  ASSERT_TRUE(client.Start(first, mp4));
  client.Run(3);
  EXPECT_EQ(recorder->PlenovaUnint(), 0);

  Meeting second = first;
  second.video = {Participant("green", kGreen, 0, 0, 1280, 720)};
  client.meeting() = second;
  client.DeclareLayout();
  client.Run(3);
  EXPECT_EQ(client.refused(), 0);
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  DeletePlenova(recorder);

  const ProbeResult probe = Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_GT(probe.duration, 5.0);
  DecodeOptions options;
  options.pictures_at = {1.5, probe.duration - 1.0};
  const Decoded decoded = Decode(mp4, options);
  ASSERT_EQ(decoded.pictures.size(), 2u);
  ExpectColour(decoded.pictures[0], 640, 360, kRed, "first part");
  ExpectColour(decoded.pictures[1], 640, 360, kGreen, "second part");
}

}  // namespace
}  // namespace plenova::testing
