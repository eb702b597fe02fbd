// A whole run of the program's client logic against a scripted engine, on
// the manual clock: the order of the calls, the settings handed over, the
// preview, and the clean stop on every way out.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/ManualClock.h"
#include "tests/tools/ToolTestSupport.h"
#include "tools/plenova-record/Recording.h"

namespace plenova::record {
namespace {

using testing::TempDir;

// Accepts everything, writes a few bytes to the MP4 path per push, paints a
// grey canvas for every picture of participant 1, and logs each call.
class ScriptedEngine : public IPlenova, public IUpdateStreamInterface {
 public:
  int push_result = 0;
  int mp4_start_state = 1;  // state reported by StartMp4Record
  std::atomic<bool>* interrupt_after_videos = nullptr;
  uint64_t videos_before_interrupt = 0;
  std::string interrupt_once_exists;  // and only once this file exists
  AudioParam audio{};
  std::string file_path, url_1, url_2, name_1, name_2;
  VideoParam video{};
  int canvas_w = 0, canvas_h = 0;

  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

  IUpdateStreamInterface* GetUpdateStreamInterface() override { return this; }
  int PlenovaInit(void* p1, void*, void* p3) override {
    canvas_ = reinterpret_cast<PlenovaCanvasCallback>(p1);
    Log(p3 != nullptr ? "PlenovaInit" : "PlenovaInit without messages");
    return 0;
  }
  int PlenovaUnint() override { return Log("PlenovaUnint"); }
  void SetAuidoParam(AudioParam* a) override {
    audio = *a;
    file_path = a->filePath != nullptr ? a->filePath : "";
    url_1 = a->url_1;
    url_2 = a->url_2;
    name_1 = a->StreamName_1;
    name_2 = a->StreamName_2;
    Log("SetAuidoParam");
  }
  void SetVideoParam(VideoParam* v) override {
    video = *v;
    Log("SetVideoParam");
  }
  int StartMp4Record(const char* path) override {
    mp4_ = std::fopen(path, "wb");
    if (state_ != nullptr) state_(1, mp4_start_state);
    return Log("StartMp4Record " + std::string(path));
  }
  int StopMp4Record() override {
    if (mp4_ != nullptr) std::fclose(mp4_);
    mp4_ = nullptr;
    return Log("StopMp4Record");
  }
  int SetMp4RecordCallback(int id, Mp4RecordStateCallback callback) override {
    state_ = callback;
    return Log("SetMp4RecordCallback " + std::to_string(id));
  }
  int PushAudioFrame(int, int, int, void*, int, uint64_t, const char*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mp4_ != nullptr) std::fputc('a', mp4_);
    return push_result;
  }
  int PushVideoFrame(int, int, const char* id, int, void*, int, uint64_t, uint32_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mp4_ != nullptr) std::fputc('v', mp4_);
    if (std::string(id) == "participant-1" && canvas_ != nullptr) {
      std::vector<unsigned char> canvas(video.target_w * video.target_h * 3 / 2, 128);
      canvas_(canvas.data(), static_cast<int>(canvas.size()));
    }
    if (interrupt_after_videos != nullptr && ++videos_ >= videos_before_interrupt &&
        (interrupt_once_exists.empty() || std::filesystem::exists(interrupt_once_exists))) {
      interrupt_after_videos->store(true);
    }
    return push_result;
  }
  int StopRecord() override { return Log("StopRecord"); }
  int StartRecord(const char* url) override { return Log("StartRecord " + std::string(url)); }
  const char* GetVersion() override { return PLENOVA_VERSION_STRING; }
  int SetTargetDelay(int) override { return 0; }
  int SetEventCallback(PlenovaEventCallback, void*) override { return 0; }
  int GetStatistics(PlenovaStatistics*) override { return -1; }
  void UpdateAudioStreamInfo(AudioStreamInfoUpdate* u) override {
    Log("UpdateAudioStreamInfo " + std::to_string(u->audioStreamCount));
  }
  void UpdateVideoStreamInfo(VideoStreamInfoUpdate* u) override {
    Log("UpdateVideoStreamInfo " + std::to_string(u->InUseStreamCount));
  }
  void UpdatePictureStreamInfo(PictureStreamInfoUpdate* u) override {
    Log("UpdatePictureStreamInfo " + std::to_string(u->InUseStreamCount));
  }

 private:
  int Log(const std::string& call) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(call);
    return 0;
  }

  // Guards calls_, mp4_ and videos_; taken by the test thread and the
  // pushing threads.
  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::FILE* mp4_ = nullptr;
  uint64_t videos_ = 0;
  PlenovaCanvasCallback canvas_ = nullptr;
  Mp4RecordStateCallback state_ = nullptr;
};

class RecordingRun : public ::testing::Test {
 protected:
  RecordingRun() : clock_(3'000'000), installed_(&clock_) {
    options_.canvas_w = 320;
    options_.canvas_h = 180;
    options_.source_w = 64;
    options_.source_h = 36;
    options_.mp4 = dir_.File("out/meeting.mp4");
    options_.duration = 2;
  }

  // Runs and returns the exit status; output lands in out_ and err_.
  int Run() {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    EngineFactory factory{[this](const char* log_dir) {
                            log_dir_ = log_dir != nullptr ? log_dir : "(none)";
                            return static_cast<IPlenova*>(&engine_);
                          },
                          [this](IPlenova* engine) {
                            destroyed_ = engine == &engine_;
                          }};
    int status = 0;
    {
      Recording recording(options_, factory, &interrupted_, out, err);
      status = recording.Run();
    }
    out_ = Read(out);
    err_ = Read(err);
    return status;
  }

  static std::string Read(std::FILE* file) {
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text.push_back(static_cast<char>(c));
    std::fclose(file);
    return text;
  }

  // The calls from the first stop on.
  std::vector<std::string> StopCalls() {
    const std::vector<std::string> calls = engine_.Calls();
    for (size_t i = 0; i < calls.size(); ++i) {
      if (calls[i] == "StopMp4Record" || calls[i] == "StopRecord" || calls[i] == "PlenovaUnint") {
        return {calls.begin() + static_cast<long>(i), calls.end()};
      }
    }
    return {};
  }

  plenova::testing::ManualClock clock_;
  plenova::testing::ScopedClock installed_;
  TempDir dir_;
  RecordOptions options_;
  ScriptedEngine engine_;
  std::atomic<bool> interrupted_{false};
  std::string log_dir_;
  bool destroyed_ = false;
  std::string out_;
  std::string err_;
};

TEST_F(RecordingRun, DrivesTheEngineInClientOrderAndFinishesTheFileOnCtrlC) {
  testing::LoopbackPort server(true);
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/meeting";
  options_.rtmp = {url, "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/other/backup"};
  options_.participants = 3;
  options_.camera_off = {2};
  options_.preview = dir_.File("preview.png");
  options_.preview_interval = 0.5;
  options_.progress = true;
  options_.log_dir = dir_.path().string();
  // Ended by Ctrl-C once enough pictures went in and a preview was written:
  // the main loop and the pushers share the fake clock, so progress, not
  // time, decides the end.
  options_.duration = 0;
  engine_.interrupt_after_videos = &interrupted_;
  engine_.videos_before_interrupt = 60;
  engine_.interrupt_once_exists = options_.preview;
  ASSERT_EQ(Run(), 0) << err_;
  EXPECT_NE(err_.find("interrupted, finishing the recording"), std::string::npos) << err_;
  const std::string mp4 = dir_.File("out/meeting.mp4");
  EXPECT_EQ(engine_.Calls(),
            (std::vector<std::string>{"PlenovaInit", "SetAuidoParam", "SetVideoParam", "SetMp4RecordCallback 1",
                                      "StartMp4Record " + mp4, "StartRecord " + url, "UpdateAudioStreamInfo 3",
                                      "UpdateVideoStreamInfo 2", "UpdatePictureStreamInfo 1", "StopMp4Record",
                                      "StopRecord", "PlenovaUnint"}));
  EXPECT_TRUE(destroyed_);
  EXPECT_EQ(log_dir_, dir_.path().string());
  // Settings: MP4 folder, both publishers with their stream names, bit rates.
  EXPECT_EQ(engine_.file_path, dir_.File("out"));
  EXPECT_TRUE(engine_.audio.Enable_write_mp4);
  EXPECT_TRUE(engine_.audio.Enable_rtmp);
  EXPECT_NE(engine_.audio.local_port, 0);
  EXPECT_EQ(engine_.url_1, url);
  EXPECT_EQ(engine_.name_1, "meeting");
  EXPECT_EQ(engine_.name_2, "backup");
  EXPECT_EQ(engine_.audio.audio_bitrate, options_.audio_bitrate);
  EXPECT_EQ(engine_.video.target_w * 1000 + engine_.video.target_h, 320 * 1000 + 180);
  EXPECT_EQ(engine_.video.target_bitrate, options_.video_bitrate);
  // The file, the preview of the canvas size and what the user reads.
  EXPECT_GT(std::filesystem::file_size(mp4), 0u);
  testing::RgbImage preview;
  ASSERT_TRUE(testing::DecodePng(options_.preview, &preview));
  EXPECT_EQ(preview.width, 320);
  EXPECT_EQ(preview.height, 180);
  EXPECT_EQ(out_.find("elapsed="), 0u) << out_;
  EXPECT_NE(out_.find(" canvases="), std::string::npos) << out_;
  EXPECT_NE(out_.find("MP4: " + mp4), std::string::npos) << out_;
  EXPECT_NE(out_.find("Preview: " + options_.preview), std::string::npos) << out_;
  // The stream key stays off the screen.
  EXPECT_NE(out_.find("RTMP: published to " + url.substr(0, url.rfind('/') + 1) + "****"),
            std::string::npos)
      << out_;
  EXPECT_EQ(out_.find("live/meeting"), std::string::npos) << out_;
}

TEST_F(RecordingRun, RefusedFirstFramesStopTheEngineAndPointToTheLog) {
  engine_.push_result = -1;
  EXPECT_EQ(Run(), kExitFailure);
  EXPECT_NE(err_.find("refused the first frames"), std::string::npos) << err_;
  EXPECT_NE(err_.find("LiveRecordLog"), std::string::npos) << err_;
  EXPECT_EQ(StopCalls(), (std::vector<std::string>{"StopMp4Record", "PlenovaUnint"}));
  EXPECT_TRUE(destroyed_);
}

TEST_F(RecordingRun, AnMp4ThatCannotBeOpenedEndsTheRunWithAFailure) {
  engine_.mp4_start_state = 4;
  options_.duration = 0;  // only the failure ends this run
  EXPECT_EQ(Run(), kExitFailure);
  EXPECT_NE(err_.find("MP4 file could not be opened"), std::string::npos) << err_;
  EXPECT_EQ(StopCalls(), (std::vector<std::string>{"StopMp4Record", "PlenovaUnint"}));
}

}  // namespace
}  // namespace plenova::record
