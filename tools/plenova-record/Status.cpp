#include "tools/plenova-record/Status.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "quillet/UrlMask.h"

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

// A stream id as part of a key: letters, digits, '-' and '_' kept, the rest '_'.
std::string KeyPart(const std::string& id) {
  std::string key = id.empty() ? "_" : id;
  for (char& c : key) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_';
    if (!plain) c = '_';
  }
  return key;
}

// A value on one line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

uint64_t Canvases(const RunStatus& s) {
  return s.have_statistics ? s.statistics.canvases_composed : s.canvases;
}

std::string Mp4State(const RunStatus& s) {
  const OutputView& mp4 = s.outputs[PLENOVA_OUTPUT_MP4];
  return mp4.kind != 0 ? OutputStateText(mp4) : Mp4StateName(s.mp4_state);
}

std::string RtmpState(const RunStatus& s, int output) {
  const OutputView& view = s.outputs[output];
  if (view.kind != 0) return OutputStateText(view);
  return s.rtmp_message.empty() ? "waiting" : MaskUrls(s.rtmp_message);
}

// Collects "key=value" lines.
class Block {
 public:
  void Add(const std::string& key, const std::string& value) {
    text_ += key + "=" + OneLine(value) + "\n";
  }
  void Add(const std::string& key, uint64_t value) { Add(key, std::to_string(value)); }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

struct DropTotals {
  uint64_t video_late = 0, audio_late = 0, full = 0;
};

DropTotals Drops(const PlenovaStatistics& stats) {
  DropTotals totals;
  for (uint32_t i = 0; i < stats.stream_count && i < PLENOVA_MAX_STREAM_STATISTICS; ++i) {
    const PlenovaStreamStatistics& stream = stats.streams[i];
    (stream.audio != 0 ? totals.audio_late : totals.video_late) += stream.dropped_late;
    totals.full += stream.dropped_full;
  }
  return totals;
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

std::string FormatSeconds(uint64_t milliseconds) {
  if (milliseconds < 1000) return std::to_string(milliseconds) + " ms";
  return Printf("%.1f s", static_cast<double>(milliseconds) / 1000);
}

std::string MaskUrl(const std::string& url) { return quillet::MaskUrl(url); }

std::string MaskUrls(const std::string& text) {
  std::string out;
  size_t from = 0;
  while (true) {
    size_t start = text.find("rtmp://", from);
    const size_t secure = text.find("rtmps://", from);
    if (secure < start) start = secure;
    if (start == std::string::npos) break;
    size_t end = text.find_first_of(" \t\r\n\"'<>()", start);
    if (end == std::string::npos) end = text.size();
    out += text.substr(from, start - from) + MaskUrl(text.substr(start, end - start));
    from = end;
  }
  return out + text.substr(from);
}

std::string FormatStatusLine(const RunStatus& s) {
  std::string line = FormatElapsed(s.elapsed_s) + "  canvases " + std::to_string(Canvases(s)) +
                     "  video " + std::to_string(s.video_pushed) + " pushed";
  if (s.video_refused > 0) line += " (" + std::to_string(s.video_refused) + " refused)";
  line += "  audio " + std::to_string(s.audio_pushed) + " pushed";
  if (s.audio_refused > 0) line += " (" + std::to_string(s.audio_refused) + " refused)";
  if (s.have_statistics) {
    const DropTotals drops = Drops(s.statistics);
    if (drops.video_late + drops.audio_late + drops.full > 0) {
      line += "  dropped " + std::to_string(drops.video_late + drops.audio_late) + " late";
      if (drops.full > 0) line += ", " + std::to_string(drops.full) + " full";
    }
  }
  if (s.mp4_enabled) {
    line += "  mp4 " + (s.mp4_bytes >= 0 ? FormatBytes(s.mp4_bytes) + " " : std::string()) +
            Mp4State(s);
  }
  for (int i = 0; i < s.rtmp_count && i < 2; ++i) {
    line += s.rtmp_count == 1 ? "  rtmp " : "  rtmp" + std::to_string(i + 1) + " ";
    line += RtmpState(s, PLENOVA_OUTPUT_RTMP_1 + i);
  }
  return line;
}

std::string FormatProgressBlock(const RunStatus& s, bool last) {
  Block b;
  const uint64_t canvases = Canvases(s);
  const uint64_t out_ms = canvases * 40;  // 25 canvases a second
  char out_time[32];
  std::snprintf(out_time, sizeof out_time, "%02llu:%02llu:%02llu.%03llu",
                static_cast<unsigned long long>(out_ms / 3600000),
                static_cast<unsigned long long>(out_ms / 60000 % 60),
                static_cast<unsigned long long>(out_ms / 1000 % 60),
                static_cast<unsigned long long>(out_ms % 1000));
  const PlenovaStatistics& st = s.statistics;
  b.Add("elapsed_ms", static_cast<uint64_t>(std::llround(std::max(s.elapsed_s, 0.0) * 1000)));
  b.Add("out_time_ms", out_ms);
  b.Add("out_time", out_time);
  b.Add("canvases", canvases);
  b.Add("canvases_skipped", st.canvases_skipped);
  b.Add("video_pushed", s.video_pushed);
  b.Add("video_refused", s.video_refused);
  b.Add("audio_pushed", s.audio_pushed);
  b.Add("audio_refused", s.audio_refused);
  b.Add("audio_mixed", st.audio_frames_mixed);
  b.Add("audio_gain_reductions", st.audio_gain_reductions);
  b.Add("av_offset_ms", std::to_string(st.av_offset_ms));
  const auto output = [&](const std::string& name, int index) {
    const PlenovaOutputStatistics& o = st.outputs[index];
    b.Add(name + "_packets", o.packets_sent);
    b.Add(name + "_dropped", o.dropped);
    b.Add(name + "_queue", o.queue_depth);
    b.Add(name + "_bitrate", o.bitrate);
    b.Add(name + "_latency_p50_ms", o.latency_p50_ms);
    b.Add(name + "_latency_p99_ms", o.latency_p99_ms);
    b.Add(name + "_last_error", MaskUrls(o.last_error));
  };
  if (s.mp4_enabled) {
    const OutputView& mp4 = s.outputs[PLENOVA_OUTPUT_MP4];
    b.Add("mp4_state",
          mp4.kind != 0 ? OutputStateWord(mp4, "") : NoSpaces(Mp4StateName(s.mp4_state)));
    b.Add("mp4_bytes", static_cast<uint64_t>(s.mp4_bytes < 0 ? 0 : s.mp4_bytes));
    output("mp4", PLENOVA_OUTPUT_MP4);
  }
  for (int i = 0; i < s.rtmp_count && i < 2; ++i) {
    const int index = PLENOVA_OUTPUT_RTMP_1 + i;
    const std::string name = "rtmp" + std::to_string(i + 1);
    b.Add(name + "_state", OutputStateWord(s.outputs[index], "waiting"));
    b.Add(name + "_bytes", st.outputs[index].bytes_sent);
    b.Add(name + "_reconnects", st.outputs[index].reconnects);
    b.Add(name + "_outage_ms", st.outputs[index].outage_ms);
    output(name, index);
  }
  for (uint32_t i = 0;
       s.have_statistics && i < st.stream_count && i < PLENOVA_MAX_STREAM_STATISTICS; ++i) {
    const PlenovaStreamStatistics& stream = st.streams[i];
    const std::string key =
        "stream." + KeyPart(stream.id) + (stream.audio != 0 ? ".audio." : ".video.");
    b.Add(key + "accepted", stream.accepted);
    b.Add(key + "refused", stream.refused);
    b.Add(key + "dropped_late", stream.dropped_late);
    b.Add(key + "dropped_full", stream.dropped_full);
    b.Add(key + "queue", stream.queue_depth);
  }
  b.Add("progress", last ? "end" : "continue");
  return b.Take();
}

std::string FormatSummary(const RunSummary& summary) {
  const RunStatus& s = summary.status;
  std::string text = "Recorded " + Printf("%.1f", s.elapsed_s) +
                     " s: " + std::to_string(Canvases(s)) + " canvases; pushed " +
                     std::to_string(s.video_pushed) + " video and " +
                     std::to_string(s.audio_pushed) + " audio frames";
  if (s.video_refused + s.audio_refused > 0) {
    text += " (" + std::to_string(s.video_refused) + " video and " +
            std::to_string(s.audio_refused) + " audio refused)";
  }
  text += "\n";
  if (s.have_statistics) {
    const DropTotals drops = Drops(s.statistics);
    text += "Dropped: " + std::to_string(drops.video_late + drops.audio_late) + " frames late (" +
            std::to_string(drops.video_late) + " video, " + std::to_string(drops.audio_late) +
            " audio), " + std::to_string(drops.full) + " for a full queue";
    if (s.statistics.canvases_skipped > 0) {
      text += "; " + std::to_string(s.statistics.canvases_skipped) + " canvases skipped";
    }
    text += "\n";
  }
  if (!summary.mp4_path.empty()) {
    if (s.mp4_bytes > 0) {
      text += "MP4: " + summary.mp4_path + " (" + FormatBytes(s.mp4_bytes);
      if (s.elapsed_s > 0) {
        text += ", " + Printf("%.0f", static_cast<double>(s.mp4_bytes) * 8 / s.elapsed_s / 1000) +
                " kbit/s";
      }
      text += ")";
      if (s.outputs[PLENOVA_OUTPUT_MP4].write_errors > 0) text += "; " + Mp4State(s);
      text += "\n";
    } else {
      text += "MP4: " + summary.mp4_path + " was not written\n";
    }
  }
  for (size_t i = 0; i < summary.rtmp_urls.size() && i < 2; ++i) {
    const int index = PLENOVA_OUTPUT_RTMP_1 + static_cast<int>(i);
    const OutputView& view = s.outputs[index];
    const PlenovaOutputStatistics& stats = s.statistics.outputs[index];
    text += OutputName(index) + ": " + MaskUrl(summary.rtmp_urls[i]);
    if (view.kind == 0) {
      text += ": the engine reported nothing of it\n";
      continue;
    }
    if (!view.published) {
      text += ": not published (" + OutputStateText(view) + ")\n";
      continue;
    }
    text += ": published";
    if (s.have_statistics) text += " " + FormatBytes(static_cast<int64_t>(stats.bytes_sent));
    if (view.outages == 0) {
      text += ", no outage";
    } else {
      text += ", " + std::to_string(view.outages) +
              (view.outages == 1 ? " outage, " : " outages, ") + FormatSeconds(view.outage_ms) +
              " in all";
    }
    if (s.have_statistics && stats.reconnects > 0)
      text += " (" + std::to_string(stats.reconnects) + " reconnects)";
    if (view.kind == PLENOVA_EVENT_FAILED || view.kind == PLENOVA_EVENT_RECONNECTING) {
      text += "; at the end " + OutputStateText(view);
    }
    text += "\n";
  }
  for (const std::string& png : summary.previews) text += "Preview: " + png + "\n";
  return text;
}

}  // namespace plenova::record
