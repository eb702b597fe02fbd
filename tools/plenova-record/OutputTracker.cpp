#include "tools/plenova-record/OutputTracker.h"

#include "platform/Clock.h"
#include "tools/plenova-record/Status.h"

namespace plenova::record {
namespace {

constexpr size_t kMaxLines = 100;

bool Known(int output) { return output >= 0 && output < PLENOVA_OUTPUT_COUNT; }

std::string WithReason(const char* what, const std::string& reason) {
  return reason.empty() ? std::string(what) : std::string(what) + ": " + reason;
}

// The line printed when `view` has just taken its last event; `ended_ms` is
// the length of the outage that event ended (negative: none; an outage may
// be shorter than a millisecond).
std::string EventLine(int output, const OutputView& view, int64_t ended_ms) {
  std::string line = OutputName(output) + ": ";
  switch (view.kind) {
    case PLENOVA_EVENT_CONNECTING:
      line += "connecting";
      if (!view.text.empty()) line += " to " + view.text;
      if (view.attempt > 1) line += " (attempt " + std::to_string(view.attempt) + ")";
      return line;
    case PLENOVA_EVENT_PUBLISHING:
      line += "publishing";
      if (ended_ms >= 0)
        line += " again after an outage of " + FormatSeconds(static_cast<uint64_t>(ended_ms));
      return line;
    case PLENOVA_EVENT_FILE_OPENED: return line + "recording to " + view.text;
    case PLENOVA_EVENT_FILE_CLOSED:
      return line + "finished " + view.text + " (" +
             FormatBytes(static_cast<int64_t>(view.file_bytes)) + ")";
    case PLENOVA_EVENT_RECONNECTING:
      line += OutputStateText(view);
      if (!view.text.empty()) line += ": " + view.text;
      return line;
    default: return line + OutputStateText(view);
  }
}

}  // namespace

std::string OutputName(int output) {
  switch (output) {
    case PLENOVA_OUTPUT_MP4: return "MP4";
    case PLENOVA_OUTPUT_RTMP_1: return "RTMP 1";
    case PLENOVA_OUTPUT_RTMP_2: return "RTMP 2";
    default: return "output " + std::to_string(output);
  }
}

std::string OutputStateText(const OutputView& view) {
  switch (view.kind) {
    case 0: return {};
    case PLENOVA_EVENT_CONNECTING:
      return view.attempt > 1 ? "connecting (attempt " + std::to_string(view.attempt) + ")"
                              : "connecting";
    case PLENOVA_EVENT_PUBLISHING: return "publishing";
    case PLENOVA_EVENT_RECONNECTING:
      return "reconnecting (attempt " + std::to_string(view.attempt) + ", next in " +
             std::to_string(view.delay_ms) + " ms)";
    case PLENOVA_EVENT_FAILED: return WithReason("failed", view.text);
    case PLENOVA_EVENT_STOPPED: return "stopped";
    case PLENOVA_EVENT_FILE_OPENED: return "recording";
    case PLENOVA_EVENT_FILE_CLOSED: return "finished";
    case PLENOVA_EVENT_WRITE_ERROR: return WithReason("write error", view.text);
    default: return "event " + std::to_string(view.kind);
  }
}

std::string OutputStateWord(const OutputView& view, const std::string& none) {
  switch (view.kind) {
    case 0: return none;
    case PLENOVA_EVENT_CONNECTING: return "connecting";
    case PLENOVA_EVENT_PUBLISHING: return "publishing";
    case PLENOVA_EVENT_RECONNECTING: return "reconnecting";
    case PLENOVA_EVENT_FAILED: return "failed";
    case PLENOVA_EVENT_STOPPED: return "stopped";
    case PLENOVA_EVENT_FILE_OPENED: return "recording";
    case PLENOVA_EVENT_FILE_CLOSED: return "finished";
    case PLENOVA_EVENT_WRITE_ERROR: return "write_error";
    default: return "event_" + std::to_string(view.kind);
  }
}

void OutputTracker::OnEvent(const PlenovaEvent* event, void* user) {
  // Runs on an engine thread: nothing may leave it.
  try {
    if (event != nullptr && user != nullptr) {
      static_cast<OutputTracker*>(user)->Report(*event, platform::TimeGetTime());
    }
  } catch (...) {
  }
}

void OutputTracker::Report(const PlenovaEvent& event, uint32_t now_ms) {
  if (!Known(event.output)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  Output& out = outputs_[event.output];
  OutputView& v = out.view;
  int64_t ended_ms = -1;
  const auto end_outage = [&] {
    if (!v.in_outage) return;
    const uint32_t length = now_ms - out.outage_start_ms;
    ended_ms = length;
    v.outage_ms += length;
    v.in_outage = false;
  };
  switch (event.kind) {
    case PLENOVA_EVENT_PUBLISHING:
      end_outage();
      v.published = true;
      break;
    case PLENOVA_EVENT_STOPPED:
      end_outage();
      ended_ms = -1;  // stopped by the client: no outage ended by publishing
      break;
    case PLENOVA_EVENT_RECONNECTING:
    case PLENOVA_EVENT_FAILED:
      if (!v.in_outage) {
        v.in_outage = true;
        ++v.outages;
        out.outage_start_ms = now_ms;
      }
      break;
    case PLENOVA_EVENT_FILE_CLOSED: v.file_bytes = event.bytes; break;
    case PLENOVA_EVENT_WRITE_ERROR: ++v.write_errors; break;
    default: break;
  }
  v.kind = event.kind;
  if (event.kind == PLENOVA_EVENT_CONNECTING || event.kind == PLENOVA_EVENT_RECONNECTING)
    v.attempt = event.attempt;
  if (event.kind == PLENOVA_EVENT_RECONNECTING) v.delay_ms = event.delay_ms;
  v.text = MaskUrls(event.text != nullptr ? event.text : "");
  if (lines_.size() >= kMaxLines) lines_.erase(lines_.begin());
  lines_.push_back(EventLine(event.output, v, ended_ms));
}

OutputView OutputTracker::View(int output, uint32_t now_ms) const {
  if (!Known(output)) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  const Output& out = outputs_[output];
  OutputView view = out.view;
  if (view.in_outage) view.outage_ms += static_cast<uint32_t>(now_ms - out.outage_start_ms);
  return view;
}

std::vector<std::string> OutputTracker::TakeLines() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> lines;
  lines.swap(lines_);
  return lines;
}

}  // namespace plenova::record
