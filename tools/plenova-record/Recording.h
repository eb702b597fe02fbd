#pragma once

// One run of plenova-record: checks the outputs, drives the engine through
// its public interface as a meeting client does (settings, callbacks,
// outputs, layout, one pushing thread per participant), shows progress, and
// stops cleanly: StopMp4Record, StopRecord, PlenovaUnint, DeletePlenova.

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "platform/Thread.h"
#include "tools/plenova-record/MeetingPlan.h"
#include "tools/plenova-record/Options.h"
#include "tools/plenova-record/OutputTracker.h"
#include "tools/plenova-record/ParticipantPusher.h"
#include "tools/plenova-record/Status.h"

namespace plenova::record {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// How the engine is made and destroyed: CreatePlenova and DeletePlenova in
// the program.
struct EngineFactory {
  std::function<IPlenova*(const char* log_dir)> create;
  std::function<void(IPlenova*)> destroy;
};

class Recording {
 public:
  // `interrupted` (set by the signal handler) and the streams are borrowed
  // and outlive the run. The status line goes to `err` when it is a terminal.
  Recording(const RecordOptions& options, EngineFactory factory,
            const std::atomic<bool>* interrupted, std::FILE* out, std::FILE* err);
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // The exit status: 0 after a clean run, kExitFailure otherwise.
  int Run();

 private:
  int Fail(const std::string& message);
  int OpenProgress();
  int Prepare();
  int StartEngine();
  bool Loop();
  void PrintEvents(bool tty);
  void Stop();
  // The status now; the statistics come from the engine while it lives, then
  // from the last taken before it was destroyed.
  RunStatus Status(double elapsed) const;
  void WriteProgress(const RunStatus& status, bool last);
  void WritePreview(double elapsed);

  const RecordOptions& options_;
  const EngineFactory factory_;
  const std::atomic<bool>* const interrupted_;  // borrowed
  std::FILE* const out_;                        // borrowed
  std::FILE* const err_;                        // borrowed
  MeetingPlan plan_;  // the engine keeps pointers into it: outlives the engine
  SourceFormat format_;
  std::vector<std::unique_ptr<ParticipantSource>> sources_;
  std::string mp4_path_;
  std::FILE* progress_ = nullptr;  // out_, or a stream of its own (progress_owned_)
  bool progress_owned_ = false;
  bool progress_failed_ = false;  // a write failed: no more blocks
  OutputTracker tracker_;         // the engine's event callback reports here: outlives engine_
  std::unique_ptr<IPlenova, std::function<void(IPlenova*)>>
      engine_;  // destroyed through factory_.destroy
  bool have_last_statistics_ = false;
  PlenovaStatistics last_statistics_{};  // taken before the engine is destroyed
  AudioParam audio_param_{};
  VideoParam video_param_{};
  PushCounters counters_;
  std::vector<std::unique_ptr<ParticipantPusher>> pushers_;
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<platform::Thread>> threads_;
  uint32_t start_ms_ = 0;
  double elapsed_ = 0;
  bool mp4_started_ = false;
  bool rtmp_started_ = false;
  size_t messages_shown_ = 0;
  std::vector<std::string> previews_;
  bool failed_ = false;
};

}  // namespace plenova::record
