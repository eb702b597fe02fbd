#pragma once

// Text the program prints while it runs and at the end: the status line
// refreshed in place, the key=value progress blocks and the summary. The
// outputs' states come from the engine's events, the counts from its
// statistics.

#include <cstdint>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "tools/plenova-record/OutputTracker.h"

namespace plenova::record {

struct RunStatus {
  double elapsed_s = 0;
  uint64_t canvases = 0;  // the canvas callback's count
  uint64_t video_pushed = 0;
  uint64_t video_refused = 0;
  uint64_t audio_pushed = 0;
  uint64_t audio_refused = 0;
  bool mp4_enabled = false;
  int64_t mp4_bytes = -1;                    // the file's size; -1: no file yet
  int mp4_state = 0;                         // last MP4 state report
  int rtmp_count = 0;                        // publishers asked for
  std::string rtmp_message;                  // the last publisher message; empty: none
  OutputView outputs[PLENOVA_OUTPUT_COUNT];  // what the events said
  bool have_statistics = false;              // the engine filled `statistics`
  PlenovaStatistics statistics{};
};

// "waiting", "recording", "finished", "write error", "open failed" or
// "state N".
std::string Mp4StateName(int state);
// "812 B", "1.5 KB", "2.4 MB", "1.1 GB".
std::string FormatBytes(int64_t bytes);
// "h:mm:ss".
std::string FormatElapsed(double seconds);
// "850 ms", "6.4 s".
std::string FormatSeconds(uint64_t milliseconds);

// An RTMP URL without its secrets: the query and the last path element (the
// stream key) become "****". Text that is not such a URL comes back as it is.
std::string MaskUrl(const std::string& url);
// `text` with every rtmp:// or rtmps:// URL in it masked.
std::string MaskUrls(const std::string& text);

// One line without a line end, to be rewritten in place with '\r'.
std::string FormatStatusLine(const RunStatus& status);
// One block of key=value lines in the manner of FFmpeg's -progress, ending
// with "progress=continue", or "progress=end" for the last block.
std::string FormatProgressBlock(const RunStatus& status, bool last);

struct RunSummary {
  RunStatus status;      // at the end
  std::string mp4_path;  // empty: no MP4 asked for
  std::vector<std::string> rtmp_urls;
  std::vector<std::string> previews;
};

// Several lines, each ending with '\n'.
std::string FormatSummary(const RunSummary& summary);

}  // namespace plenova::record
