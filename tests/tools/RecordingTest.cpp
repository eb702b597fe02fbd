// A whole run of the program's client logic against a scripted engine, on
// the manual clock: the settings handed over, the preview, what the engine's events and statistics
// become on the screen, in the progress blocks and in the summary, and the clean stop on every way
// out.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
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
// grey canvas for every picture of participant 1. Its
// outputs report events as the engine's do (the publisher's URL masked), and
// when asked it loses the RTMP connection for a while; its statistics count
// the pictures.
class ScriptedEngine : public testing::FakeEngine {
 public:
  static constexpr uint64_t kLatePictures = 2;

  uint64_t outage_at_video = 0;  // 0: no outage; else lost at this picture, back 20 later
  int mp4_start_state = 1;       // state reported by StartMp4Record
  std::atomic<bool>* interrupt_after_videos = nullptr;
  uint64_t videos_before_interrupt = 0;
  std::string interrupt_once_exists;  // and only once this file exists
  AudioParam audio{};
  std::string file_path, url_1, name_1, name_2;
  VideoParam video{};

  int PlenovaInit(void* p1, void*, void*) override {
    canvas_ = reinterpret_cast<PlenovaCanvasCallback>(p1);
    return 0;
  }
  void SetAuidoParam(AudioParam* a) override {
    audio = *a;
    file_path = a->filePath != nullptr ? a->filePath : "";
    url_1 = a->url_1;
    name_1 = a->StreamName_1;
    name_2 = a->StreamName_2;
  }
  void SetVideoParam(VideoParam* v) override { video = *v; }
  int StartMp4Record(const char* path) override {
    mp4_ = std::fopen(path, "wb");
    mp4_path_ = path;
    if (state_ != nullptr) state_(1, mp4_start_state);
    if (mp4_start_state == 1) Fire(PLENOVA_OUTPUT_MP4, PLENOVA_EVENT_FILE_OPENED, 0, 0, 0, path);
    return 0;
  }
  int StopMp4Record() override {
    if (mp4_ != nullptr) {
      std::fclose(mp4_);
      Fire(PLENOVA_OUTPUT_MP4, PLENOVA_EVENT_FILE_CLOSED, 0, 0,
           std::filesystem::file_size(mp4_path_), mp4_path_.c_str());
    }
    mp4_ = nullptr;
    return 0;
  }
  int SetMp4RecordCallback(int, Mp4RecordStateCallback callback) override {
    state_ = callback;
    return 0;
  }
  int PushAudioFrame(int, int, int, void*, int, uint64_t, const char*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mp4_ != nullptr) std::fputc('a', mp4_);
    return push_result;
  }
  int PushVideoFrame(int, int, const char* id, int, void*, int, uint64_t, uint32_t) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (mp4_ != nullptr) std::fputc('v', mp4_);
    ++pictures_;
    if (outage_at_video != 0 && pictures_ == outage_at_video) {
      Fire(PLENOVA_OUTPUT_RTMP_1, PLENOVA_EVENT_RECONNECTING, 1, 1000, 0,
           "connection reset by peer");
    } else if (outage_at_video != 0 && pictures_ == outage_at_video + 10) {
      Fire(PLENOVA_OUTPUT_RTMP_1, PLENOVA_EVENT_RECONNECTING, 2, 2000, 0, "connection refused");
    } else if (outage_at_video != 0 && pictures_ == outage_at_video + 20) {
      Fire(PLENOVA_OUTPUT_RTMP_1, PLENOVA_EVENT_PUBLISHING, 0, 0, 0, masked_url_.c_str());
    }
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
  int StopRecord() override {
    Fire(PLENOVA_OUTPUT_RTMP_1, PLENOVA_EVENT_STOPPED, 0, 0, 0, masked_url_.c_str());
    return 0;
  }
  int StartRecord(const char* url) override {
    const std::string text(url);
    masked_url_ = text.substr(0, text.rfind('/') + 1) + "****";
    Fire(PLENOVA_OUTPUT_RTMP_1, PLENOVA_EVENT_CONNECTING, 1, 0, 0, masked_url_.c_str());
    Fire(PLENOVA_OUTPUT_RTMP_1, PLENOVA_EVENT_PUBLISHING, 0, 0, 0, masked_url_.c_str());
    return 0;
  }
  int SetEventCallback(PlenovaEventCallback callback, void* user) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_ = callback;
    events_user_ = user;
    return 0;
  }
  int GetStatistics(PlenovaStatistics* out) override {
    std::lock_guard<std::mutex> lock(mutex_);
    PlenovaStatistics s{};
    s.size = sizeof s;
    s.canvases_composed = pictures_ / 2;
    s.stream_count = 1;
    std::snprintf(s.streams[0].id, sizeof s.streams[0].id, "participant-1");
    s.streams[0].accepted = pictures_;
    s.streams[0].dropped_late = kLatePictures;
    s.streams[0].listed = 1;
    s.outputs[PLENOVA_OUTPUT_MP4].bytes_sent = pictures_ * 10;
    s.outputs[PLENOVA_OUTPUT_RTMP_1].bytes_sent = pictures_ * 1000;
    s.outputs[PLENOVA_OUTPUT_RTMP_1].reconnects =
        outage_at_video != 0 && pictures_ > outage_at_video ? 2 : 0;
    std::memcpy(out, &s, std::min<size_t>(out->size, sizeof s));
    return 0;
  }

 private:
  void Fire(int output, int kind, int attempt, int delay_ms, uint64_t bytes, const char* text) {
    if (events_ == nullptr) return;
    PlenovaEvent e{};
    e.size = sizeof e;
    e.output = output;
    e.kind = kind;
    e.attempt = attempt;
    e.delay_ms = delay_ms;
    e.bytes = bytes;
    e.text = text;
    events_(&e, events_user_);
  }

  // Guards mp4_, videos_, pictures_ and the event callback; taken by
  // the test thread, the main thread of the run and the pushing threads.
  std::mutex mutex_;
  std::FILE* mp4_ = nullptr;
  std::string mp4_path_;
  std::string masked_url_;
  uint64_t videos_ = 0;
  uint64_t pictures_ = 0;
  PlenovaEventCallback events_ = nullptr;
  void* events_user_ = nullptr;
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
                          [this](IPlenova* engine) { destroyed_ = engine == &engine_; }};
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
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file))
      text.push_back(static_cast<char>(c));
    std::fclose(file);
    return text;
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

TEST_F(RecordingRun, HandsTheSettingsToTheEngineAndFinishesTheFileOnCtrlC) {
  testing::LoopbackPort server(true);
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/meeting";
  options_.rtmp = {url, "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/other/backup"};
  options_.participants = 3;
  options_.camera_off = {2};
  options_.preview = dir_.File("preview.png");
  options_.preview_interval = 0.5;
  options_.progress = "-";
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
  EXPECT_EQ(out_.find("elapsed_ms="), 0u) << out_;
  EXPECT_NE(out_.find("\ncanvases="), std::string::npos) << out_;
  EXPECT_NE(out_.find("MP4: " + mp4), std::string::npos) << out_;
  EXPECT_NE(out_.find("Preview: " + options_.preview), std::string::npos) << out_;
  EXPECT_NE(out_.find("RTMP 1: " + url.substr(0, url.rfind('/')) + "/****: published"),
            std::string::npos)
      << out_;
}

TEST_F(RecordingRun, RefusedFirstFramesStopTheEngineAndPointToTheLog) {
  engine_.push_result = -1;
  EXPECT_EQ(Run(), kExitFailure);
  EXPECT_NE(err_.find("refused the first frames"), std::string::npos) << err_;
  EXPECT_NE(err_.find("LiveRecordLog"), std::string::npos) << err_;
  EXPECT_TRUE(destroyed_);
}

TEST_F(RecordingRun, AnMp4ThatCannotBeOpenedEndsTheRunWithAFailure) {
  engine_.mp4_start_state = 4;
  options_.duration = 0;  // only the failure ends this run
  EXPECT_EQ(Run(), kExitFailure);
  EXPECT_NE(err_.find("MP4 file could not be opened"), std::string::npos) << err_;
  EXPECT_TRUE(destroyed_);
}

// The key=value blocks of a progress stream: each line of a block is one
// key=value pair; each block ends with "progress=...".
std::vector<std::vector<std::pair<std::string, std::string>>> ProgressBlocks(
    const std::string& text) {
  std::vector<std::vector<std::pair<std::string, std::string>>> blocks(1);
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) break;  // the summary follows the last block
    blocks.back().emplace_back(line.substr(0, eq), line.substr(eq + 1));
    if (line.rfind("progress=", 0) == 0) blocks.emplace_back();
  }
  blocks.pop_back();
  return blocks;
}

std::string Value(const std::vector<std::pair<std::string, std::string>>& block,
                  const std::string& key) {
  for (const auto& [k, v] : block) {
    if (k == key) return v;
  }
  return "(missing)";
}

TEST_F(RecordingRun, EventsAndStatisticsReachTheStateLinesTheProgressBlocksAndTheSummary) {
  testing::LoopbackPort server(true);
  const std::string app = "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live/";
  options_.rtmp = {app + "secret-key-123"};
  options_.progress = "-";
  options_.duration = 0;
  engine_.outage_at_video = 20;
  engine_.interrupt_after_videos = &interrupted_;
  engine_.videos_before_interrupt = 120;
  ASSERT_EQ(Run(), 0) << err_;
  const std::string mp4 = dir_.File("out/meeting.mp4");

  // As they happen: the file, the outage and its end.
  for (const std::string& line : std::vector<std::string>{
           "MP4: recording to " + mp4, "RTMP 1: connecting to " + app + "****",
           "RTMP 1: publishing",
           "RTMP 1: reconnecting (attempt 1, next in 1000 ms): connection reset by peer",
           "RTMP 1: reconnecting (attempt 2, next in 2000 ms): connection refused",
           "RTMP 1: publishing again after an outage of ", "RTMP 1: stopped",
           "MP4: finished " + mp4}) {
    EXPECT_NE(err_.find(line), std::string::npos) << line << " in\n" << err_;
  }

  // Blocks of key=value lines, "progress=end" only on the last, then the summary.
  const auto blocks = ProgressBlocks(out_);
  ASSERT_GE(blocks.size(), 2u) << out_;
  for (size_t i = 0; i + 1 < blocks.size(); ++i) EXPECT_EQ(blocks[i].back().second, "continue");
  const auto& last = blocks.back();
  EXPECT_EQ(last.back(), (std::pair<std::string, std::string>{"progress", "end"}));
  EXPECT_EQ(Value(last, "mp4_state"), "finished");
  EXPECT_EQ(Value(last, "rtmp1_state"), "stopped");
  EXPECT_EQ(Value(last, "rtmp1_reconnects"), "2");
  EXPECT_EQ(Value(last, "stream.participant-1.video.dropped_late"),
            std::to_string(ScriptedEngine::kLatePictures));
  EXPECT_EQ(Value(last, "rtmp2_state"), "(missing)") << "one publisher asked for";
  // The scripted engine composes a canvas per two pictures and sends 1000 bytes a picture.
  EXPECT_EQ(std::stoull(Value(last, "rtmp1_bytes")) / 2000, std::stoull(Value(last, "canvases")));
  EXPECT_EQ(Value(last, "out_time_ms"), std::to_string(std::stoull(Value(last, "canvases")) * 40));

  // The summary counts the outage; the stream key is printed nowhere.
  const size_t summary = out_.find("Recorded ");
  ASSERT_NE(summary, std::string::npos) << out_;
  EXPECT_GT(summary, out_.find("progress=end"));
  EXPECT_NE(out_.find("RTMP 1: " + app + "****: published "), std::string::npos) << out_;
  EXPECT_NE(out_.find(", 1 outage, "), std::string::npos) << out_;
  EXPECT_NE(out_.find("(2 reconnects)"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Dropped: 2 frames late (2 video, 0 audio)"), std::string::npos) << out_;
  EXPECT_EQ((out_ + err_).find("secret-key-123"), std::string::npos);
}

}  // namespace
}  // namespace plenova::record
