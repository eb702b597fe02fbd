#include "tools/plenova-record/Recording.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/Clock.h"
#include "tools/plenova-record/EngineEvents.h"
#include "tools/plenova-record/MediaFileSource.h"
#include "tools/plenova-record/PngWriter.h"
#include "tools/plenova-record/Preflight.h"
#include "tools/plenova-record/Status.h"
#include "tools/plenova-record/SyntheticSource.h"

namespace plenova::record {
namespace {

namespace fs = std::filesystem;

constexpr int kConnectTimeoutMs = 3000;
constexpr uint32_t kLoopMs = 50;
constexpr int32_t kWaitMaxAacFrames = 10;
constexpr int kMp4StreamId = 1;
constexpr int kMp4WriteError = 3;
constexpr int kMp4OpenFailed = 4;

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

void CopyText(char* out, size_t capacity, const std::string& text) {
  std::snprintf(out, capacity, "%s", text.c_str());
}

std::string LastSegment(const std::string& url) { return url.substr(url.find_last_of('/') + 1); }

}  // namespace

Recording::Recording(const RecordOptions& options, EngineFactory factory,
                     const std::atomic<bool>* interrupted, std::FILE* out, std::FILE* err)
    : options_(options),
      factory_(std::move(factory)),
      interrupted_(interrupted),
      out_(out),
      err_(err),
      plan_(options) {}

Recording::~Recording() {
  if (engine_ != nullptr) Stop();
  if (progress_owned_) std::fclose(progress_);
}

int Recording::Fail(const std::string& message) {
  std::fprintf(err_, "plenova-record: %s\n", message.c_str());
  return kExitFailure;
}

int Recording::OpenProgress() {
  const std::string& where = options_.progress;
  if (where.empty()) return 0;
  if (where == "-") {
    progress_ = out_;
    return 0;
  }
  const int fd = ProgressDescriptor(where);
  if (fd >= 0) {
    // A stream of its own on a copy, so that closing it leaves the caller's
    // descriptor open.
    const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    progress_ = copy >= 0 ? fdopen(copy, "w") : nullptr;
    if (progress_ == nullptr) {
      const std::string error = std::strerror(errno);
      if (copy >= 0) close(copy);
      return Fail("--progress " + where + ": " + error);
    }
  } else {
    progress_ = std::fopen(where.c_str(), "w");
    if (progress_ == nullptr) return Fail("--progress " + where + ": " + std::strerror(errno));
  }
  progress_owned_ = true;
  return 0;
}

void Recording::WriteProgress(const RunStatus& status, bool last) {
  if (progress_ == nullptr || progress_failed_) return;
  const std::string block = FormatProgressBlock(status, last);
  if (std::fputs(block.c_str(), progress_) < 0 || std::fflush(progress_) != 0) {
    progress_failed_ = true;
    std::fprintf(
        err_, "\nplenova-record: writing progress to %s failed (%s); no more progress is written\n",
        options_.progress.c_str(), std::strerror(errno));
  }
}

int Recording::Prepare() {
  if (int rc = OpenProgress(); rc != 0) return rc;
  format_.width = options_.source_w;
  format_.height = options_.source_h;
  format_.sample_rate = options_.sample_rate;
  format_.channels = options_.channels;
  for (const Participant& p : plan_.participants()) {
    if (p.input.empty()) {
      sources_.push_back(
          std::make_unique<SyntheticSource>(p.number - 1, format_, options_.sync_marks));
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
    if (mp4_path_.size() > 255)
      return Fail("the MP4 path " + mp4_path_ + " is longer than 255 characters");
    if (!CheckOutputFolder(fs::path(mp4_path_).parent_path().string(), &error)) {
      return Fail("MP4 output: " + error);
    }
  }
  if (!options_.preview.empty() &&
      !CheckOutputFolder(fs::path(options_.preview).parent_path().string(), &error)) {
    return Fail("preview: " + error);
  }
  for (const std::string& url : options_.rtmp) {
    std::string host;
    int port = 0;
    ParseRtmpHostPort(url, &host, &port);
    if (!CheckTcpReachable(host, port, kConnectTimeoutMs, &error)) {
      return Fail("RTMP server of " + MaskUrl(url) + " is unreachable: " + error);
    }
  }
  return 0;
}

int Recording::StartEngine() {
  const char* log_dir = options_.log_dir.empty() ? nullptr : options_.log_dir.c_str();
  engine_ = std::unique_ptr<IPlenova, std::function<void(IPlenova*)>>(factory_.create(log_dir),
                                                                      factory_.destroy);
  if (!engine_) return Fail("the engine could not be created (CreatePlenova returned null)");
  EngineEvents::Instance().Reset(options_.canvas_w * options_.canvas_h * 3 / 2);
  engine_->PlenovaInit(reinterpret_cast<void*>(&EngineEvents::OnCanvas), nullptr,
                       reinterpret_cast<void*>(&EngineEvents::OnMessage));
  // Without events the outputs' states fall back to the MP4 state reports
  // and the publishers' messages.
  engine_->SetEventCallback(&OutputTracker::OnEvent, &tracker_);

  // The engine copies these strings.
  const std::string mp4_folder =
      mp4_path_.empty() ? std::string() : fs::path(mp4_path_).parent_path().string();
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
  audio_param_.waitMaxTime = kWaitMaxAacFrames;
  CopyText(audio_param_.local_Ip, sizeof(audio_param_.local_Ip), options_.local_ip);
  audio_param_.Enable_write_mp4 = !mp4_path_.empty();
  audio_param_.Enable_rtmp = !options_.rtmp.empty();
  engine_->SetAuidoParam(&audio_param_);
  video_param_ = {options_.video_bitrate, options_.canvas_h, options_.canvas_w, 0};
  engine_->SetVideoParam(&video_param_);

  const std::string see_log =
      " (the engine's log is in LiveRecordLog under " +
      (log_dir != nullptr ? options_.log_dir : std::string("the program's folder")) + ")";
  if (!mp4_path_.empty()) {
    if (engine_->SetMp4RecordCallback(kMp4StreamId, &EngineEvents::OnMp4State) != 0) {
      return Fail("the engine refused the MP4 state callback" + see_log);
    }
    if (engine_->StartMp4Record(mp4_path_.c_str()) != 0) {
      return Fail("the engine refused to record " + mp4_path_ + see_log);
    }
    mp4_started_ = true;
  }
  if (!options_.rtmp.empty()) {
    if (engine_->StartRecord(url_1.c_str()) != 0) {
      return Fail("the engine refused to publish to " + MaskUrl(url_1) + see_log);
    }
    rtmp_started_ = true;
  }

  // Audio first, then video: the second of the two starts the engine.
  IUpdateStreamInterface* layout = engine_->GetUpdateStreamInterface();
  layout->UpdateAudioStreamInfo(plan_.audio());
  layout->UpdateVideoStreamInfo(plan_.video());
  if (plan_.pictures() != nullptr) layout->UpdatePictureStreamInfo(plan_.pictures());

  for (size_t i = 0; i < sources_.size(); ++i) {
    const Participant& p = plan_.participants()[i];
    pushers_.push_back(std::make_unique<ParticipantPusher>(engine_.get(), std::move(sources_[i]),
                                                           format_, p.stream_id, p.camera_on,
                                                           p.heard, &counters_));
  }
  // The first frames go in from here, so that an engine that refuses the
  // layout is reported before any thread starts.
  start_ms_ = platform::TimeGetTime();
  pushers_[0]->Step(0);
  if (counters_.audio_refused.load() > 0 || counters_.video_refused.load() > 0) {
    return Fail("the engine refused the first frames: it did not start with this layout" + see_log);
  }
  for (auto& pusher : pushers_) {
    auto thread = std::make_unique<platform::Thread>();
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
  if (!messages.empty()) s.rtmp_message = messages.back();
  const uint32_t now = platform::TimeGetTime();
  for (int i = 0; i < PLENOVA_OUTPUT_COUNT; ++i) s.outputs[i] = tracker_.View(i, now);
  if (engine_ != nullptr) {
    s.statistics.size = sizeof s.statistics;
    s.have_statistics = engine_->GetStatistics(&s.statistics) == 0;
  } else {
    s.have_statistics = have_last_statistics_;
    s.statistics = last_statistics_;
  }
  return s;
}

void Recording::PrintEvents(bool tty) {
  for (const std::string& line : tracker_.TakeLines())
    std::fprintf(err_, "%s%s\n", tty ? "\n" : "", line.c_str());
}

void Recording::WritePreview(double elapsed) {
  std::vector<uint8_t> canvas;
  if (!EngineEvents::Instance().TakeCanvas(&canvas)) return;
  std::string error;
  if (!WriteI420AsPng(options_.preview, canvas.data(), options_.canvas_w, options_.canvas_h,
                      &error)) {
    std::fprintf(err_, "\nplenova-record: preview at %.1f s: %s\n", elapsed, error.c_str());
    return;
  }
  if (previews_.empty()) previews_.push_back(options_.preview);
}

// Returns false when the run has to end early.
bool Recording::Loop() {
  const bool tty = isatty(fileno(err_)) != 0;
  double next_status = 0;
  double next_preview = options_.preview_interval;
  EngineEvents& events = EngineEvents::Instance();
  while (!interrupted_->load()) {
    elapsed_ = (platform::TimeGetTime() - start_ms_) / 1000.0;
    if (options_.duration > 0 && elapsed_ >= options_.duration) break;
    const int mp4_state = events.mp4_state();
    if (mp4_state == kMp4WriteError || mp4_state == kMp4OpenFailed) {
      if (tty) std::fprintf(err_, "\n");
      Fail(std::string("MP4 ") +
           (mp4_state == kMp4WriteError ? "write error, recording stopped"
                                        : "file could not be opened") +
           ": " + mp4_path_);
      return false;
    }
    const std::vector<std::string> messages = events.Messages();
    for (; messages_shown_ < messages.size(); ++messages_shown_) {
      std::fprintf(err_, "%sRTMP: %s\n", tty ? "\n" : "",
                   MaskUrls(messages[messages_shown_]).c_str());
    }
    PrintEvents(tty);
    if (elapsed_ >= next_status) {
      const RunStatus status = Status(elapsed_);
      if (tty) std::fprintf(err_, "\r%s\033[K", FormatStatusLine(status).c_str());
      WriteProgress(status, false);
      std::fflush(out_);
      // Whole seconds from the start; seconds the loop missed are not made up.
      next_status = std::floor(elapsed_) + 1.0;
    }
    if (!options_.preview.empty()) {
      if (elapsed_ >= next_preview) {
        events.RequestCanvas();
        next_preview = std::max(next_preview + options_.preview_interval, elapsed_);
      }
      WritePreview(elapsed_);
    }
    platform::SleepMs(kLoopMs);
  }
  if (tty) std::fprintf(err_, "\n");
  if (interrupted_->load())
    std::fprintf(err_, "plenova-record: interrupted, finishing the recording\n");
  return true;
}

void Recording::Stop() {
  stop_.store(true, std::memory_order_release);
  threads_.clear();  // joins every pusher
  if (mp4_started_ && engine_->StopMp4Record() != 0) {
    Fail("the engine could not stop the MP4 recording cleanly");
    failed_ = true;
  }
  if (rtmp_started_ && engine_->StopRecord() != 0) {
    Fail("the engine could not stop publishing cleanly");
    failed_ = true;
  }
  mp4_started_ = rtmp_started_ = false;
  last_statistics_.size = sizeof last_statistics_;
  have_last_statistics_ = engine_->GetStatistics(&last_statistics_) == 0;
  engine_->PlenovaUnint();
  engine_.reset();
}

int Recording::Run() {
  if (int rc = Prepare(); rc != 0) return rc;
  if (int rc = StartEngine(); rc != 0) {
    if (engine_ != nullptr) Stop();
    return rc;
  }
  if (!Loop()) failed_ = true;
  Stop();
  // A canvas asked for just before the end still makes it into the preview.
  if (!options_.preview.empty()) WritePreview(elapsed_);
  PrintEvents(false);

  RunSummary summary;
  summary.status = Status(elapsed_);
  summary.mp4_path = mp4_path_;
  summary.rtmp_urls = options_.rtmp;
  summary.previews = previews_;
  WriteProgress(summary.status, true);
  std::fprintf(out_, "%s", FormatSummary(summary).c_str());
  std::fflush(out_);
  if (!mp4_path_.empty() && summary.status.mp4_bytes <= 0) {
    return Fail("no MP4 file was written to " + mp4_path_);
  }
  return failed_ ? kExitFailure : 0;
}

}  // namespace plenova::record
