// plenova-record: records a meeting of synthetic and file-fed participants
// through the engine's public interface, as a meeting client does.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "platform/Clock.h"
#include "platform/Thread.h"
#include "tools/plenova-record/EngineEvents.h"
#include "tools/plenova-record/MediaFileSource.h"
#include "tools/plenova-record/MeetingPlan.h"
#include "tools/plenova-record/Options.h"
#include "tools/plenova-record/ParticipantPusher.h"
#include "tools/plenova-record/PngWriter.h"
#include "tools/plenova-record/Preflight.h"
#include "tools/plenova-record/Status.h"
#include "tools/plenova-record/SyntheticSource.h"

namespace {

using namespace plenova::record;
namespace fs = std::filesystem;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kConnectTimeoutMs = 3000;
constexpr uint32_t kLoopMs = 50;

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted.store(true); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int Fail(const std::string& message, int status = kExitFailure) {
  std::fprintf(stderr, "plenova-record: %s\n", message.c_str());
  return status;
}

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

void CopyText(char* out, size_t capacity, const std::string& text) {
  std::snprintf(out, capacity, "%s", text.c_str());
}

std::string LastSegment(const std::string& url) { return url.substr(url.find_last_of('/') + 1); }

// Deletes the recorder on every path out of Run.
struct RecorderDeleter {
  void operator()(IPlenova* recorder) const { DeletePlenova(recorder); }
};

class Recording {
 public:
  explicit Recording(const RecordOptions& options) : options_(options), plan_(options) {}

  int Run();

 private:
  int Prepare();
  int StartEngine();
  bool Loop();
  void Stop();
  RunStatus Status(double elapsed) const;
  void WritePreview(double elapsed);

  const RecordOptions& options_;
  MeetingPlan plan_;
  SourceFormat format_;
  std::vector<std::unique_ptr<ParticipantSource>> sources_;
  std::string mp4_path_;
  std::unique_ptr<IPlenova, RecorderDeleter> recorder_;
  AudioParam audio_param_{};
  VideoParam video_param_{};
  PushCounters counters_;
  std::vector<std::unique_ptr<ParticipantPusher>> pushers_;
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<plenova::platform::Thread>> threads_;
  uint32_t start_ms_ = 0;
  double elapsed_ = 0;
  bool mp4_started_ = false;
  bool rtmp_started_ = false;
  size_t messages_shown_ = 0;
  std::vector<std::string> previews_;
  bool failed_ = false;
};

int Recording::Prepare() {
  format_.width = options_.source_w;
  format_.height = options_.source_h;
  format_.sample_rate = options_.sample_rate;
  format_.channels = options_.channels;
  for (const Participant& p : plan_.participants()) {
    if (p.input.empty()) {
      sources_.push_back(std::make_unique<SyntheticSource>(p.number - 1, format_, options_.sync_marks));
      continue;
    }
    std::string error;
    std::unique_ptr<MediaFileSource> file = MediaFileSource::Open(p.input, format_, &error);
    if (!file) return Fail("cannot read input " + error);
    sources_.push_back(std::move(file));
  }
  std::string error;
  if (!options_.no_mp4) {
    mp4_path_ = options_.mp4.empty() ? DefaultMp4Path(std::time(nullptr)) : options_.mp4;
    mp4_path_ = fs::absolute(mp4_path_).lexically_normal().string();
    if (mp4_path_.size() > 255) return Fail("the MP4 path " + mp4_path_ + " is longer than 255 characters");
    if (!CheckOutputFolder(fs::path(mp4_path_).parent_path().string(), &error)) {
      return Fail("MP4 output: " + error);
    }
  }
  if (!options_.preview.empty() && !CheckOutputFolder(fs::path(options_.preview).parent_path().string(), &error)) {
    return Fail("preview: " + error);
  }
  for (const std::string& url : options_.rtmp) {
    std::string host;
    int port = 0;
    ParseRtmpHostPort(url, &host, &port);
    if (!CheckTcpReachable(host, port, kConnectTimeoutMs, &error)) {
      return Fail("RTMP server of " + url + " is unreachable: " + error);
    }
  }
  return 0;
}

int Recording::StartEngine() {
  const char* log_dir = options_.log_dir.empty() ? nullptr : options_.log_dir.c_str();
  recorder_.reset(CreatePlenova(log_dir));
  if (!recorder_) return Fail("the engine could not be created (CreatePlenova returned null)");
  EngineEvents::Instance().Reset(options_.canvas_w * options_.canvas_h * 3 / 2);
  recorder_->PlenovaInit(reinterpret_cast<void*>(&EngineEvents::OnCanvas), nullptr,
                         reinterpret_cast<void*>(&EngineEvents::OnMessage));

  const std::string mp4_folder = mp4_path_.empty() ? std::string() : fs::path(mp4_path_).parent_path().string();
  const std::string url_1 = options_.rtmp.size() > 0 ? options_.rtmp[0] : std::string();
  const std::string url_2 = options_.rtmp.size() > 1 ? options_.rtmp[1] : std::string();
  const std::string name_1 = LastSegment(url_1);
  const std::string name_2 = LastSegment(url_2);
  audio_param_.filePath = mp4_folder.empty() ? nullptr : mp4_folder.c_str();
  audio_param_.url_1 = url_1.c_str();
  audio_param_.url_2 = url_2.c_str();
  audio_param_.StreamName_1 = name_1.c_str();
  audio_param_.StreamName_2 = name_2.c_str();
  audio_param_.local_port = options_.local_port;
  audio_param_.audio_bitrate = options_.audio_bitrate;
  audio_param_.waitMaxTime = 10;
  CopyText(audio_param_.local_Ip, sizeof(audio_param_.local_Ip), options_.local_ip);
  audio_param_.Enable_write_mp4 = !mp4_path_.empty();
  audio_param_.Enable_rtmp = !options_.rtmp.empty();
  recorder_->SetAuidoParam(&audio_param_);
  video_param_ = {options_.video_bitrate, options_.canvas_h, options_.canvas_w, 0};
  recorder_->SetVideoParam(&video_param_);

  const std::string see_log = " (the engine's log is in LiveRecordLog under " +
                              (log_dir != nullptr ? options_.log_dir : std::string("the program's folder")) + ")";
  if (!mp4_path_.empty()) {
    if (recorder_->SetMp4RecordCallback(1, &EngineEvents::OnMp4State) != 0) {
      return Fail("the engine refused the MP4 state callback" + see_log);
    }
    if (recorder_->StartMp4Record(mp4_path_.c_str()) != 0) {
      return Fail("the engine refused to record " + mp4_path_ + see_log);
    }
    mp4_started_ = true;
  }
  if (!options_.rtmp.empty()) {
    if (recorder_->StartRecord(url_1.c_str()) != 0) return Fail("the engine refused to publish to " + url_1 + see_log);
    rtmp_started_ = true;
  }

  IUpdateStreamInterface* layout = recorder_->GetUpdateStreamInterface();
  layout->UpdateAudioStreamInfo(plan_.audio());
  layout->UpdateVideoStreamInfo(plan_.video());
  if (plan_.pictures() != nullptr) layout->UpdatePictureStreamInfo(plan_.pictures());

  for (size_t i = 0; i < sources_.size(); ++i) {
    const Participant& p = plan_.participants()[i];
    pushers_.push_back(std::make_unique<ParticipantPusher>(recorder_.get(), std::move(sources_[i]), format_,
                                                           p.stream_id, p.camera_on, p.heard, &counters_));
  }
  // The first frames go in from here, so that an engine that refuses the
  // layout is reported before any thread starts.
  start_ms_ = plenova::platform::TimeGetTime();
  pushers_[0]->Step(0);
  if (counters_.audio_refused.load() > 0 || counters_.video_refused.load() > 0) {
    return Fail("the engine refused the first frames: it did not start with this layout" + see_log);
  }
  for (auto& pusher : pushers_) {
    auto thread = std::make_unique<plenova::platform::Thread>();
    ParticipantPusher* borrowed = pusher.get();
    thread->Start([this, borrowed] { borrowed->Run(stop_, start_ms_); });
    threads_.push_back(std::move(thread));
  }
  return 0;
}

RunStatus Recording::Status(double elapsed) const {
  EngineEvents& events = EngineEvents::Instance();
  RunStatus s;
  s.elapsed_s = elapsed;
  s.canvases = events.canvases();
  s.video_pushed = counters_.video_pushed.load();
  s.video_refused = counters_.video_refused.load();
  s.audio_pushed = counters_.audio_pushed.load();
  s.audio_refused = counters_.audio_refused.load();
  s.mp4_enabled = !mp4_path_.empty();
  s.mp4_bytes = mp4_path_.empty() ? -1 : FileSize(mp4_path_);
  s.mp4_state = events.mp4_state();
  s.rtmp_count = static_cast<int>(options_.rtmp.size());
  const std::vector<std::string> messages = events.Messages();
  s.rtmp_state = messages.empty() ? "publishing" : messages.back();
  return s;
}

void Recording::WritePreview(double elapsed) {
  std::vector<uint8_t> canvas;
  if (!EngineEvents::Instance().TakeCanvas(&canvas)) return;
  std::string error;
  if (!WriteI420AsPng(options_.preview, canvas.data(), options_.canvas_w, options_.canvas_h, &error)) {
    std::fprintf(stderr, "\nplenova-record: preview at %.1f s: %s\n", elapsed, error.c_str());
    return;
  }
  if (previews_.empty()) previews_.push_back(options_.preview);
}

// Returns false when the run has to end early.
bool Recording::Loop() {
  const bool tty = isatty(STDERR_FILENO) != 0;
  double next_status = 0;
  double next_preview = options_.preview_interval;
  EngineEvents& events = EngineEvents::Instance();
  while (!g_interrupted.load()) {
    elapsed_ = (plenova::platform::TimeGetTime() - start_ms_) / 1000.0;
    if (options_.duration > 0 && elapsed_ >= options_.duration) break;
    const int mp4_state = events.mp4_state();
    if (mp4_state == 3 || mp4_state == 4) {
      Fail(std::string("\nMP4 ") + (mp4_state == 3 ? "write error: recording stopped" : "file could not be opened") +
           ": " + mp4_path_);
      return false;
    }
    const std::vector<std::string> messages = events.Messages();
    for (; messages_shown_ < messages.size(); ++messages_shown_) {
      std::fprintf(stderr, "%sRTMP: %s\n", tty ? "\n" : "", messages[messages_shown_].c_str());
    }
    if (elapsed_ >= next_status) {
      const RunStatus status = Status(elapsed_);
      if (tty) std::fprintf(stderr, "\r%s\033[K", FormatStatusLine(status).c_str());
      if (options_.progress) std::printf("%s\n", FormatProgressLine(status).c_str());
      std::fflush(stdout);
      next_status += 1.0;
    }
    if (!options_.preview.empty()) {
      if (elapsed_ >= next_preview) {
        events.RequestCanvas();
        next_preview += options_.preview_interval;
      }
      WritePreview(elapsed_);
    }
    plenova::platform::SleepMs(kLoopMs);
  }
  if (tty) std::fprintf(stderr, "\n");
  if (g_interrupted.load()) std::fprintf(stderr, "plenova-record: interrupted, finishing the recording\n");
  return true;
}

void Recording::Stop() {
  stop_.store(true, std::memory_order_release);
  threads_.clear();  // joins every pusher
  if (mp4_started_ && recorder_->StopMp4Record() != 0) {
    Fail("the engine could not stop the MP4 recording cleanly");
    failed_ = true;
  }
  if (rtmp_started_ && recorder_->StopRecord() != 0) {
    Fail("the engine could not stop publishing cleanly");
    failed_ = true;
  }
  recorder_->PlenovaUnint();
  recorder_.reset();
}

int Recording::Run() {
  if (int rc = Prepare(); rc != 0) return rc;
  if (int rc = StartEngine(); rc != 0) return rc;
  if (!Loop()) failed_ = true;
  Stop();

  RunSummary summary;
  summary.duration_s = elapsed_;
  summary.mp4_path = mp4_path_;
  summary.mp4_bytes = mp4_path_.empty() ? -1 : FileSize(mp4_path_);
  summary.rtmp_urls = options_.rtmp;
  summary.canvases = EngineEvents::Instance().canvases();
  summary.video_pushed = counters_.video_pushed.load();
  summary.video_refused = counters_.video_refused.load();
  summary.audio_pushed = counters_.audio_pushed.load();
  summary.audio_refused = counters_.audio_refused.load();
  summary.previews = previews_;
  std::printf("%s", FormatSummary(summary).c_str());
  if (!mp4_path_.empty() && summary.mp4_bytes <= 0) {
    return Fail("no MP4 file was written to " + mp4_path_);
  }
  return failed_ ? kExitFailure : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const ParseResult parsed = ParseOptions(argc, argv);
  if (parsed.options.help) {
    std::printf("%s", HelpText().c_str());
    return 0;
  }
  if (!parsed.ok) return Fail(parsed.error + "\nTry 'plenova-record --help'.", kExitUsage);
  InstallSignalHandlers();
  Recording recording(parsed.options);
  return recording.Run();
}
