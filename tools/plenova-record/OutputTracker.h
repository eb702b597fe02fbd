#pragma once

// What the engine's events say about each output (MP4, RTMP 1, RTMP 2): its
// state, the outages of a publisher and their length, the MP4 file's path and
// size. The event callback runs on engine threads; the program's main thread
// reads views and the lines to print.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "api/Plenova.h"

namespace plenova::record {

// One output as the events left it.
struct OutputView {
  int kind = 0;            // the last PlenovaEventKind; 0 before any
  int attempt = 0;         // of the last CONNECTING or RECONNECTING
  int delay_ms = 0;        // of the last RECONNECTING
  std::string text;        // of the last event: a path, a masked URL or a reason
  bool published = false;  // PUBLISHING was seen
  int outages = 0;         // times publishing was lost (until STOPPED)
  uint64_t outage_ms = 0;  // their length, the one under way counted to the view's time
  bool in_outage = false;
  uint64_t file_bytes = 0;  // FILE_CLOSED: the file's size
  int write_errors = 0;
};

// The words for an output's state: "publishing", "reconnecting (attempt 2,
// next in 2000 ms)", "failed: reason", "recording", "finished"; empty before
// any event.
std::string OutputStateText(const OutputView& view);
// One word for a key=value line: "connecting", "publishing", "reconnecting",
// "failed", "stopped", "recording", "finished", "write_error"; `none` before
// any event.
std::string OutputStateWord(const OutputView& view, const std::string& none);
// "MP4", "RTMP 1", "RTMP 2".
std::string OutputName(int output);

class OutputTracker {
 public:
  // In the engine's event callback signature; `user` is the tracker.
  static void OnEvent(const PlenovaEvent* event, void* user);

  // Takes one event at `now_ms` (the installed clock's milliseconds). Events
  // of an unknown output are ignored.
  void Report(const PlenovaEvent& event, uint32_t now_ms);

  // `output` (PlenovaOutput) as of `now_ms`.
  OutputView View(int output, uint32_t now_ms) const;
  // The lines describing the events since the last call, in order, e.g.
  // "RTMP 1: reconnecting (attempt 1, next in 1000 ms)".
  std::vector<std::string> TakeLines();

 private:
  struct Output {
    OutputView view;
    uint32_t outage_start_ms = 0;  // valid while view.in_outage
  };

  // Guards the members below; taken by engine threads (Report) and the main
  // thread (View, TakeLines). Nothing is called under it.
  mutable std::mutex mutex_;
  Output outputs_[PLENOVA_OUTPUT_COUNT];
  std::vector<std::string> lines_;
};

}  // namespace plenova::record
