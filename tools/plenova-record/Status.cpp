#include "tools/plenova-record/Status.h"

#include <cmath>
#include <cstdio>

#include "log/UrlMask.h"

namespace plenova::record {
namespace {

std::string Printf(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof(text), format, value);
  return text;
}

std::string NoSpaces(std::string text) {
  for (char& c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') c = '_';
  }
  return text;
}

}  // namespace

std::string Mp4StateName(int state) {
  switch (state) {
    case 0: return "waiting";
    case 1: return "recording";
    case 2: return "finished";
    case 3: return "write error";
    case 4: return "open failed";
    default: return "state " + std::to_string(state);
  }
}

std::string FormatBytes(int64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + " B";
  const char* units[] = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  return Printf("%.1f ", value) + units[unit];
}

std::string FormatElapsed(double seconds) {
  const long total = seconds > 0 ? static_cast<long>(std::floor(seconds)) : 0;
  char text[32];
  std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  return text;
}

std::string FormatStatusLine(const RunStatus& s) {
  std::string line = FormatElapsed(s.elapsed_s) + "  canvases " + std::to_string(s.canvases) + "  video " +
                     std::to_string(s.video_pushed) + " pushed";
  if (s.video_refused > 0) line += " (" + std::to_string(s.video_refused) + " refused)";
  line += "  audio " + std::to_string(s.audio_pushed) + " pushed";
  if (s.audio_refused > 0) line += " (" + std::to_string(s.audio_refused) + " refused)";
  if (s.mp4_enabled) {
    line += "  mp4 " + (s.mp4_bytes >= 0 ? FormatBytes(s.mp4_bytes) + " " : std::string()) +
            Mp4StateName(s.mp4_state);
  }
  if (s.rtmp_count > 0) line += "  rtmp " + s.rtmp_state;
  return line;
}

std::string FormatProgressLine(const RunStatus& s) {
  std::string line = "elapsed=" + Printf("%.1f", s.elapsed_s) + " canvases=" + std::to_string(s.canvases) +
                     " video_pushed=" + std::to_string(s.video_pushed) +
                     " video_refused=" + std::to_string(s.video_refused) +
                     " audio_pushed=" + std::to_string(s.audio_pushed) +
                     " audio_refused=" + std::to_string(s.audio_refused);
  if (s.mp4_enabled) {
    line += " mp4_bytes=" + std::to_string(s.mp4_bytes < 0 ? 0 : s.mp4_bytes) +
            " mp4_state=" + NoSpaces(Mp4StateName(s.mp4_state));
  }
  if (s.rtmp_count > 0) line += " rtmp_state=" + NoSpaces(s.rtmp_state);
  return line;
}

std::string FormatSummary(const RunSummary& s) {
  std::string text = "Recorded " + Printf("%.1f", s.duration_s) + " s: " + std::to_string(s.canvases) +
                     " canvases; pushed " + std::to_string(s.video_pushed) + " video and " +
                     std::to_string(s.audio_pushed) + " audio frames";
  if (s.video_refused + s.audio_refused > 0) {
    text += " (" + std::to_string(s.video_refused) + " video and " + std::to_string(s.audio_refused) +
            " audio refused)";
  }
  text += "\n";
  if (!s.mp4_path.empty()) {
    if (s.mp4_bytes > 0) {
      text += "MP4: " + s.mp4_path + " (" + FormatBytes(s.mp4_bytes);
      if (s.duration_s > 0) {
        text += ", " + Printf("%.0f", static_cast<double>(s.mp4_bytes) * 8 / s.duration_s / 1000) + " kbit/s";
      }
      text += ")\n";
    } else {
      text += "MP4: " + s.mp4_path + " was not written\n";
    }
  }
  // Stream keys stay out of what is printed.
  for (const std::string& url : s.rtmp_urls) text += "RTMP: published to " + log::MaskUrl(url) + "\n";
  for (const std::string& png : s.previews) text += "Preview: " + png + "\n";
  return text;
}

}  // namespace plenova::record
