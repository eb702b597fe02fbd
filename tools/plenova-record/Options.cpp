#include "tools/plenova-record/Options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>

#include "tools/plenova-record/Status.h"

namespace plenova::record {
namespace {

constexpr int kMaxParticipants = 20;
constexpr int kMaxRtmp = 2;
constexpr size_t kMaxUrl = 255;

bool ParseInt(const std::string& text, int* value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, *value);
  return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseDouble(const std::string& text, double* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size() && std::isfinite(*value);
}

// "WxH" with both sides even and within [lo, hi].
std::string ParseSize(const std::string& name, const std::string& text, int lo, int hi, int* w,
                      int* h) {
  const size_t x = text.find('x');
  int a = 0;
  int b = 0;
  if (x == std::string::npos || !ParseInt(text.substr(0, x), &a) ||
      !ParseInt(text.substr(x + 1), &b)) {
    return name + " takes WIDTHxHEIGHT, for example 1280x720; got '" + text + "'";
  }
  if (a < lo || a > hi || b < lo || b > hi) {
    return name + " sides must be between " + std::to_string(lo) + " and " + std::to_string(hi) +
           "; got '" + text + "'";
  }
  if (a % 2 != 0 || b % 2 != 0) {
    return name + " sides must be even (I420 pictures); got '" + text + "'";
  }
  *w = a;
  *h = b;
  return {};
}

std::string IntInRange(const std::string& name, const std::string& text, int lo, int hi, int* out) {
  int v = 0;
  if (!ParseInt(text, &v)) return name + " takes a whole number; got '" + text + "'";
  if (v < lo || v > hi) {
    return name + " must be between " + std::to_string(lo) + " and " + std::to_string(hi) +
           "; got " + text;
  }
  *out = v;
  return {};
}

struct OptionDef {
  const char* name;
  bool takes_value;
  // Applies the value; returns an error line or empty.
  std::function<std::string(RecordOptions&, const std::string&)> apply;
  // The value may be left out: then it is `absent_value`. Given apart from
  // the option, it is the next argument unless that starts with '-' (other
  // than "-" itself).
  bool value_optional = false;
  const char* absent_value = "";
};

std::vector<OptionDef> Definitions() {
  return {
      {"--help", false,
       [](RecordOptions& o, const std::string&) {
         o.help = true;
         return std::string();
       }},
      {"-h", false,
       [](RecordOptions& o, const std::string&) {
         o.help = true;
         return std::string();
       }},
      {"--version", false,
       [](RecordOptions& o, const std::string&) {
         o.version = true;
         return std::string();
       }},
      {"--participants", true,
       [](RecordOptions& o, const std::string& v) {
         return IntInRange("--participants", v, 0, kMaxParticipants, &o.participants);
       }},
      {"--input", true,
       [](RecordOptions& o, const std::string& v) {
         if (v.empty()) return std::string("--input needs a file name");
         o.inputs.push_back(v);
         return std::string();
       }},
      {"--camera-off", true,
       [](RecordOptions& o, const std::string& v) {
         int k = 0;
         std::string err = IntInRange("--camera-off", v, 1, kMaxParticipants, &k);
         if (err.empty()) o.camera_off.push_back(k);
         return err;
       }},
      {"--sync-marks", false,
       [](RecordOptions& o, const std::string&) {
         o.sync_marks = true;
         return std::string();
       }},
      {"--layout", true,
       [](RecordOptions& o, const std::string& v) {
         if (v == "grid") {
           o.layout = LayoutKind::kGrid;
         } else if (v == "speaker") {
           o.layout = LayoutKind::kSpeaker;
         } else {
           return "--layout takes 'grid' or 'speaker'; got '" + v + "'";
         }
         return std::string();
       }},
      {"--canvas", true,
       [](RecordOptions& o, const std::string& v) {
         return ParseSize("--canvas", v, 16, 4096, &o.canvas_w, &o.canvas_h);
       }},
      {"--source-size", true,
       [](RecordOptions& o, const std::string& v) {
         return ParseSize("--source-size", v, 16, 3840, &o.source_w, &o.source_h);
       }},
      {"--fit", false,
       [](RecordOptions& o, const std::string&) {
         o.crop = false;
         return std::string();
       }},
      {"--crop", false,
       [](RecordOptions& o, const std::string&) {
         o.crop = true;
         return std::string();
       }},
      {"--mp4", true,
       [](RecordOptions& o, const std::string& v) {
         if (v.empty() || v.size() > kMaxUrl)
           return std::string("--mp4 needs a path of 1 to 255 characters");
         o.mp4 = v;
         return std::string();
       }},
      {"--no-mp4", false,
       [](RecordOptions& o, const std::string&) {
         o.no_mp4 = true;
         return std::string();
       }},
      {"--rtmp", true,
       [](RecordOptions& o, const std::string& v) {
         std::string host;
         int port = 0;
         if (o.rtmp.size() >= kMaxRtmp) return std::string("--rtmp may be given at most twice");
         if (v.size() > kMaxUrl) return std::string("--rtmp URL is longer than 255 characters");
         const size_t path = v.find('/', 7);  // after "rtmp://"
         const size_t name = path == std::string::npos ? std::string::npos : v.find('/', path + 1);
         if (!ParseRtmpHostPort(v, &host, &port) || name == std::string::npos ||
             name + 1 >= v.size()) {
           return "--rtmp takes rtmp://HOST[:PORT]/APP/STREAM; got '" + MaskUrl(v) + "'";
         }
         o.rtmp.push_back(v);
         return std::string();
       }},
      {"--local-ip", true,
       [](RecordOptions& o, const std::string& v) {
         if (v.size() > 15) return "--local-ip takes an IPv4 address; got '" + v + "'";
         o.local_ip = v;
         return std::string();
       }},
      {"--local-port", true,
       [](RecordOptions& o, const std::string& v) {
         return IntInRange("--local-port", v, 1, 65533, &o.local_port);
       }},
      {"--video-bitrate", true,
       [](RecordOptions& o, const std::string& v) {
         return IntInRange("--video-bitrate", v, 50000, 50000000, &o.video_bitrate);
       }},
      {"--audio-bitrate", true,
       [](RecordOptions& o, const std::string& v) {
         return IntInRange("--audio-bitrate", v, 8000, 320000, &o.audio_bitrate);
       }},
      {"--sample-rate", true,
       [](RecordOptions& o, const std::string& v) {
         int rate = 0;
         std::string err = IntInRange("--sample-rate", v, 8000, 48000, &rate);
         const int allowed[] = {8000, 16000, 22050, 24000, 32000, 44100, 48000};
         if (err.empty() &&
             std::find(std::begin(allowed), std::end(allowed), rate) == std::end(allowed)) {
           err = "--sample-rate takes 8000, 16000, 22050, 24000, 32000, 44100 or 48000; got " + v;
         }
         if (err.empty()) o.sample_rate = rate;
         return err;
       }},
      {"--channels", true,
       [](RecordOptions& o, const std::string& v) {
         return IntInRange("--channels", v, 1, 2, &o.channels);
       }},
      {"--duration", true,
       [](RecordOptions& o, const std::string& v) {
         double d = 0;
         if (!ParseDouble(v, &d) || d < 0 || d > 86400 * 7) {
           return "--duration takes seconds from 0 (until Ctrl-C) to 604800; got '" + v + "'";
         }
         o.duration = d;
         return std::string();
       }},
      {"--progress", true,
       [](RecordOptions& o, const std::string& v) {
         if (v.empty()) return std::string("--progress takes -, fd:N or a file name");
         if (v.rfind("fd:", 0) == 0 && ProgressDescriptor(v) < 0) {
           return "--progress fd:N takes a descriptor number; got '" + v + "'";
         }
         o.progress = v;
         return std::string();
       },
       true, "-"},
      {"--preview", true,
       [](RecordOptions& o, const std::string& v) {
         if (v.empty()) return std::string("--preview needs a file name");
         o.preview = v;
         return std::string();
       }},
      {"--preview-interval", true,
       [](RecordOptions& o, const std::string& v) {
         double d = 0;
         if (!ParseDouble(v, &d) || d < 0.2 || d > 3600) {
           return "--preview-interval takes seconds from 0.2 to 3600; got '" + v + "'";
         }
         o.preview_interval = d;
         return std::string();
       }},
      {"--log-dir", true,
       [](RecordOptions& o, const std::string& v) {
         if (v.empty()) return std::string("--log-dir needs a folder");
         o.log_dir = v;
         return std::string();
       }},
  };
}

// Checks that need every option: participant counts and outputs.
std::string CheckWhole(const RecordOptions& o) {
  const int total = o.TotalParticipants();
  if (total < 1) return "nothing to show: give --participants 1 or more, or --input FILE";
  if (total > kMaxParticipants) {
    return "too many participants: " + std::to_string(total) +
           " (--participants plus --input), at most " + std::to_string(kMaxParticipants);
  }
  for (int k : o.camera_off) {
    if (k > total) {
      return "--camera-off " + std::to_string(k) + ": there are only " + std::to_string(total) +
             " participants";
    }
  }
  std::vector<int> off = o.camera_off;
  std::sort(off.begin(), off.end());
  off.erase(std::unique(off.begin(), off.end()), off.end());
  if (static_cast<int>(off.size()) == total) {
    return "--camera-off: at least one participant must have the camera on";
  }
  if (o.no_mp4 && !o.mp4.empty()) return "--mp4 and --no-mp4 contradict each other";
  if (o.no_mp4 && o.rtmp.empty()) return "nothing to write: --no-mp4 needs at least one --rtmp URL";
  return {};
}

}  // namespace

int RecordOptions::SyntheticCount() const {
  if (participants >= 0) return participants;
  return inputs.empty() ? 2 : 0;
}

ParseResult ParseOptions(int argc, const char* const* argv) {
  ParseResult result;
  const std::vector<OptionDef> defs = Definitions();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_inline = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
      has_inline = true;
    }
    auto def =
        std::find_if(defs.begin(), defs.end(), [&](const OptionDef& s) { return arg == s.name; });
    if (def == defs.end()) {
      result.error = arg.rfind("-", 0) == 0 ? "unknown option '" + arg + "' (see --help)"
                                            : "unexpected argument '" + arg + "' (see --help)";
      return result;
    }
    if (def->takes_value && !has_inline && def->value_optional) {
      const bool next_is_value =
          i + 1 < argc && (std::string(argv[i + 1]) == "-" || argv[i + 1][0] != '-');
      value = next_is_value ? argv[++i] : def->absent_value;
    } else if (def->takes_value && !has_inline) {
      if (i + 1 >= argc) {
        result.error = arg + " needs a value";
        return result;
      }
      value = argv[++i];
    } else if (!def->takes_value && has_inline) {
      result.error = arg + " takes no value";
      return result;
    }
    std::string err = def->apply(result.options, value);
    if (!err.empty()) {
      result.error = err;
      return result;
    }
  }
  if (!result.options.help && !result.options.version) result.error = CheckWhole(result.options);
  result.ok = result.error.empty();
  return result;
}

int ProgressDescriptor(const std::string& destination) {
  int fd = -1;
  if (destination.rfind("fd:", 0) != 0 || !ParseInt(destination.substr(3), &fd) || fd < 0)
    return -1;
  return fd;
}

bool ParseRtmpHostPort(const std::string& url, std::string* host, int* port) {
  const std::string scheme = "rtmp://";
  if (url.rfind(scheme, 0) != 0) return false;
  const std::string rest = url.substr(scheme.size());
  const size_t slash = rest.find('/');
  if (slash == std::string::npos || slash + 1 >= rest.size()) return false;  // needs an app
  std::string authority = rest.substr(0, slash);
  *port = 1935;
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos) {
    int p = 0;
    if (!ParseInt(authority.substr(colon + 1), &p) || p < 1 || p > 65535) return false;
    *port = p;
    authority = authority.substr(0, colon);
  }
  if (authority.empty()) return false;
  *host = authority;
  return true;
}

std::string HelpText() {
  return R"(Usage: plenova-record [OPTIONS]

Records a synthetic or file-fed meeting through the Plenova engine, to an MP4
file and/or up to two RTMP servers. Stops after --duration or on Ctrl-C, and
always finishes the file.

Participants
  --participants N       synthetic participants, 0 to 20 (default 2, or 0 when
                         --input is given); each has its own colour, a moving
                         bar and its own tone
  --input FILE           a media file decoded and pushed in real time (repeatable;
                         shown before the synthetic participants; loops at its end)
  --camera-off K         show participant K (1-based) as the camera-off picture;
                         its sound is still mixed (repeatable)
  --sync-marks           white flash and a 2 kHz beep at the start of every second
  --source-size WxH      picture size pushed for each participant (default 640x360)
  --sample-rate HZ       PCM rate, 8000 to 48000 (default 48000)
  --channels N           1 or 2 (default 2)
  The engine mixes at most 5 audio streams: participants 6 and later are silent.

Layout
  --layout grid|speaker  grid: rows and columns of equal cells (default);
                         speaker: participant 1 fills the canvas, the others are
                         small insets along its top-right corner
  --canvas WxH           canvas size, even sides (default 1280x720)
  --fit                  letterbox each participant into its rectangle (default)
  --crop                 fill each rectangle, cropping the centre

Outputs
  --mp4 PATH             MP4 file (default PlenovaMp4/plenova-DATE-TIME.mp4)
  --no-mp4               no MP4 file (then --rtmp is needed)
  --rtmp URL             publish to rtmp://HOST[:PORT]/APP/STREAM (up to twice)
  --local-ip ADDR        local IPv4 address the publishers bind (default: any)
  --local-port PORT      local port handed to the publishers (default 10000)
  --video-bitrate BPS    H.264 bit rate in bit/s (default 2000000)
  --audio-bitrate BPS    AAC bit rate in bit/s (default 128000)
  --duration SECONDS     stop after this long; 0 runs until Ctrl-C (default 0)

While it runs
  --progress [DEST]      about once a second a block of key=value lines (counts,
                         each output's state, bytes, reconnects and outage time,
                         each stream's dropped frames), ending with
                         progress=continue, and progress=end after the last;
                         DEST is - (standard output, the default), fd:N (an open
                         descriptor) or a file
  --preview FILE.png     write the current canvas as PNG every few seconds
  --preview-interval S   seconds between previews (default 2)
  --log-dir DIR          folder that receives LiveRecordLog (default: the
                         program's folder; Log.xml there sets the log level)
  -h, --help             this text
  --version              the program's version

Exit status: 0 after a clean run; 2 for bad arguments; 1 for unreadable inputs, an
unwritable output folder, an unreachable RTMP server or an engine refusal.
)";
}

}  // namespace plenova::record
