#pragma once

// Text the program prints while it runs and at the end: the status line
// refreshed in place, the key=value progress lines and the summary.

#include <cstdint>
#include <string>
#include <vector>

namespace plenova::record {

struct RunStatus {
  double elapsed_s = 0;
  uint64_t canvases = 0;
  uint64_t video_pushed = 0;
  uint64_t video_refused = 0;
  uint64_t audio_pushed = 0;
  uint64_t audio_refused = 0;
  bool mp4_enabled = false;
  int64_t mp4_bytes = -1;  // -1: no file yet
  int mp4_state = 0;       // last MP4 state report
  int rtmp_count = 0;      // publishers asked for
  std::string rtmp_state;  // "publishing", or the last publisher message
};

// "waiting", "recording", "finished", "write error", "open failed" or
// "state N".
std::string Mp4StateName(int state);
// "812 B", "1.5 KB", "2.4 MB", "1.1 GB".
std::string FormatBytes(int64_t bytes);
// "h:mm:ss".
std::string FormatElapsed(double seconds);

// One line without a line end, to be rewritten in place with '\r'.
std::string FormatStatusLine(const RunStatus& status);
// One line of space-separated key=value pairs without spaces in values.
std::string FormatProgressLine(const RunStatus& status);

struct RunSummary {
  double duration_s = 0;
  std::string mp4_path;  // empty: no MP4 asked for
  int64_t mp4_bytes = -1;
  std::vector<std::string> rtmp_urls;
  uint64_t canvases = 0;
  uint64_t video_pushed = 0;
  uint64_t video_refused = 0;
  uint64_t audio_pushed = 0;
  uint64_t audio_refused = 0;
  std::vector<std::string> previews;
};

// Several lines, each ending with '\n'.
std::string FormatSummary(const RunSummary& summary);

}  // namespace plenova::record
