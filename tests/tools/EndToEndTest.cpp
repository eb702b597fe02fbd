// Runs plenova-record as a user does and checks what it leaves behind.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "api/Plenova.h"
#include "tests/support/RtmpServer.h"
#include "tests/tools/ToolTestSupport.h"
#include "tools/plenova-record/SyntheticSource.h"

namespace plenova::record {
namespace {

using testing::CommandResult;
using testing::RecorderProgram;
using testing::RunCommand;
using testing::TempDir;

std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (size_t at = text.find(key); at != std::string::npos;
       at = text.find(key, at + value.size())) {
    text.replace(at, key.size(), value);
  }
  return text;
}

// Runs the program with `args` in `dir`.
CommandResult RunRecorder(const TempDir& dir, const std::string& args) {
  return RunCommand("cd " + dir.path().string() + " && " + RecorderProgram() + " " + args +
                    " 2>&1");
}

struct Refusal {
  std::string args;  // {tmp} and {port} are filled in, here and in the message
  int status;
  std::string message;
};

class ProgramRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(ProgramRefusal, ExitsWithAClearMessageBeforeRecording) {
  TempDir dir;
  std::ofstream(dir.File("file")) << "x";
  std::ofstream(dir.File("notes.txt")) << "not media\n";
  const testing::LoopbackPort closed(false);
  const auto fill = [&](const std::string& text) {
    return Replace(Replace(text, "{tmp}", dir.path().string()), "{port}",
                   std::to_string(closed.port()));
  };
  const CommandResult r = RunRecorder(dir, fill(GetParam().args));
  EXPECT_EQ(r.status, GetParam().status) << r.output;
  EXPECT_NE(r.output.find(fill(GetParam().message)), std::string::npos) << r.output;
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "PlenovaMp4"));
}

INSTANTIATE_TEST_SUITE_P(
    Program, ProgramRefusal,
    ::testing::Values(
        Refusal{"--participants 30", 2, "--participants must be between 0 and 20"},
        Refusal{"--layout tiles", 2, "Try 'plenova-record --help'"},
        Refusal{"--input {tmp}/missing.mkv", 1, "cannot read input {tmp}/missing.mkv: cannot open"},
        Refusal{"--input {tmp}/notes.txt", 1, "cannot read input {tmp}/notes.txt"},
        Refusal{"--mp4 {tmp}/file/out.mp4", 1, "MP4 output: cannot create the folder {tmp}/file"},
        Refusal{"--no-mp4 --rtmp rtmp://127.0.0.1:{port}/live/s", 1,
                "is unreachable: cannot connect to 127.0.0.1:{port}: "},
        Refusal{"--help", 0, "--sync-marks"},
        Refusal{"--version", 0, "plenova-record " PLENOVA_VERSION_STRING "\n"}));

// Whether `picture` shows participant `participant`'s background at x, y.
void ExpectParticipantColour(const plenova::testing::Picture& picture, int x, int y, int participant) {
  const Yuv c = SyntheticSource::Colour(participant);
  EXPECT_NEAR(picture.Y(x, y), c.y, 12) << "luma at " << x << "," << y;
  EXPECT_NEAR(picture.U(x, y), c.u, 12) << "blue difference at " << x << "," << y;
  EXPECT_NEAR(picture.V(x, y), c.v, 12) << "red difference at " << x << "," << y;
}

// The picture of `path` (an MP4 or a PNG) nearest `seconds`.
plenova::testing::Picture PictureAt(const std::string& path, double seconds) {
  plenova::testing::DecodeOptions options;
  options.pictures_at = {seconds};
  options.audio = false;
  const plenova::testing::Decoded decoded = plenova::testing::Decode(path, options);
  EXPECT_TRUE(decoded.ok) << decoded.error;
  return decoded.pictures.empty() ? plenova::testing::Picture{} : decoded.pictures[0];
}

// H.264 of the canvas size and AAC, about `seconds` long, as ffprobe sees it.
void ExpectPlayableMp4(const std::string& mp4, int width, int height, double seconds) {
  const testing::ProbeResult probe = testing::Probe(mp4);
  const auto* video = probe.Stream("video");
  const auto* audio = probe.Stream("audio");
  ASSERT_TRUE(video != nullptr && audio != nullptr) << probe.error;
  EXPECT_EQ(video->at("codec_name"), "h264");
  EXPECT_EQ(audio->at("codec_name"), "aac");
  EXPECT_EQ(video->at("width"), std::to_string(width));
  EXPECT_EQ(video->at("height"), std::to_string(height));
  EXPECT_NEAR(probe.duration, seconds, 1.0);
}

// Two participants on a 640x360 grid: cells of 320x180 at y 90.
constexpr const char* kTwoParticipants =
    "--participants 2 --canvas 640x360 --duration 3 --log-dir . ";

TEST(Program, RecordsThreeSecondsOfTwoParticipantsToAPlayableMp4) {
  TempDir dir;
  const std::string mp4 = dir.File("meeting.mp4");
  const CommandResult r =
      RunRecorder(dir, kTwoParticipants + std::string("--sync-marks --progress --mp4 ") + mp4);
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("\nprogress=continue\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("\nprogress=end\n"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("MP4: " + mp4), std::string::npos) << r.output;
  ExpectPlayableMp4(mp4, 640, 360, 3.0);
  // A picture from the middle of the file shows both participants' colours
  // (away from the flash at whole seconds and from the moving bar).
  const plenova::testing::Picture middle = PictureAt(mp4, 1.5);
  ASSERT_EQ(middle.width, 640);
  ExpectParticipantColour(middle, 10, 180, 0);
  ExpectParticipantColour(middle, 330, 180, 1);
  // The sync marks: each participant's white frame and its beep land
  // together in the file.
  const double worst = testing::WorstFlashBeepDistance(mp4, SyntheticSource::kBeepHz, 0, 90, 320,
                                                       180, 0.5, 2);
  std::printf("[ measured ] flash to beep at most %.3f s\n", worst);
  EXPECT_GE(worst, 0) << "fewer than two flashes found";
  EXPECT_LT(worst, 0.045);
}

TEST(Program, PreviewWritesThePngOfTheCanvasDuringARun) {
  TempDir dir;
  const std::string png = dir.File("preview.png");
  const CommandResult r =
      RunRecorder(dir, kTwoParticipants + std::string("--preview-interval 1 --preview ") + png);
  ASSERT_EQ(r.status, 0) << r.output;
  const plenova::testing::Picture preview = PictureAt(png, 0);
  EXPECT_EQ(preview.width, 640) << r.output;
  EXPECT_EQ(preview.height, 360);
  if (preview.width == 640) ExpectParticipantColour(preview, 10, 180, 0);
  // The default MP4 went to the time-stamped file under PlenovaMp4.
  EXPECT_FALSE(std::filesystem::is_empty(dir.path() / "PlenovaMp4"));
}

// Published to a real server and ended by Ctrl-C: the state lines, the
// progress blocks and the summary follow the outputs, the stream key shows
// nowhere, and both the file and the publication are finished.
TEST(Program, PublishesUntilCtrlCAndFinishesTheFileAndTheStream) {
  TempDir dir;
  plenova::testing::RtmpServer server(19397, dir.File("records"));
  ASSERT_TRUE(server.Start()) << "cannot start nginx on 127.0.0.1:19397";
  const std::string key = "secret-key-5531";
  const std::string mp4 = dir.File("meeting.mp4");
  const std::string log = dir.File("run.log");
  // The interrupt comes after a few seconds of the run, as a user's would.
  const CommandResult r = RunCommand(
      "cd " + dir.path().string() + " && { " + RecorderProgram() + " " + kTwoParticipants +
      "--duration 60 --progress --mp4 " + mp4 + " --rtmp " + server.Url(key) + " > " + log +
      " 2>&1 & p=$!; sleep 4; kill -INT $p; wait $p; echo \"exit=$?\"; }");
  server.Stop();
  std::ifstream in(log);
  const std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(r.output, "exit=0\n") << output;
  const std::string masked = server.Url("****");
  for (const std::string& line : std::vector<std::string>{
           "MP4: recording to " + mp4, "RTMP 1: connecting to " + masked, "RTMP 1: publishing",
        "interrupted, finishing the recording", "RTMP 1: stopped", "MP4: finished " + mp4,
        "\nrtmp1_state=publishing\n", "\nprogress=end\n", "RTMP 1: " + masked + ": published "}) {
    EXPECT_NE(output.find(line), std::string::npos) << line << " in\n" << output;
  }
  EXPECT_EQ(output.find(key), std::string::npos) << output;
  const testing::ProbeResult probe = testing::Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_GT(probe.duration, 1.0);
  EXPECT_EQ(testing::DecodeErrors(mp4), "");
  EXPECT_EQ(testing::DecodeErrors(server.Recording(key)), "");
  EXPECT_GT(testing::Probe(server.Recording(key)).duration, 1.0);
}

TEST(Program, RecordsARealMediaFileBesideASyntheticParticipant) {
  TempDir dir;
  const std::string input = dir.File("talk.mkv");
  ASSERT_EQ(
      RunCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc=size=320x240:rate=25 -f lavfi -i "
                 "sine=frequency=440 -t 2 -c:v ffv1 -c:a pcm_s16le -y " +
                 input)
          .status,
      0);
  const std::string mp4 = dir.File("with-file.mp4");
  const CommandResult r = RunRecorder(
      dir, "--input " + input +
               " --participants 1 --layout speaker --duration 3 --log-dir . --mp4 " + mp4);
  ASSERT_EQ(r.status, 0) << r.output;
  ExpectPlayableMp4(mp4, 1280, 720, 3.0);
}

}  // namespace
}  // namespace plenova::record
