#pragma once

// Command-line options of plenova-record: parsed into one struct, every
// refusal explained in one line that names the option and the accepted range.

#include <cstdint>
#include <string>
#include <vector>

namespace plenova::record {

enum class LayoutKind { kGrid, kSpeaker };

struct RecordOptions {
  int participants = -1;            // synthetic participants; -1: 2 when no --input is given
  std::vector<std::string> inputs;  // media files, shown before the synthetic participants
  std::vector<int> camera_off;      // 1-based participant numbers shown as the placeholder
  bool sync_marks = false;          // flash-and-beep once a second
  LayoutKind layout = LayoutKind::kGrid;
  int canvas_w = 1280;
  int canvas_h = 720;
  bool crop = false;   // false: letterbox each participant into its rectangle
  int source_w = 640;  // size of the pictures pushed for each participant
  int source_h = 360;
  std::string mp4;  // empty: PlenovaMp4/plenova-<date>-<time>.mp4
  bool no_mp4 = false;
  std::vector<std::string> rtmp;  // at most two
  std::string local_ip;           // local address the publishers bind; empty: any
  int local_port = 10000;
  int video_bitrate = 2000000;  // bit/s
  int audio_bitrate = 128000;   // bit/s
  int sample_rate = 48000;      // Hz
  int channels = 2;
  double duration = 0;  // seconds; 0: until Ctrl-C
  // Where progress blocks go: empty for nowhere, "-" for standard output,
  // "fd:N" for an open descriptor, anything else names a file.
  std::string progress;
  std::string preview;          // PNG path; empty: no preview
  double preview_interval = 2;  // seconds
  std::string log_dir;          // folder that receives LiveRecordLog; empty: the program's folder
  bool help = false;
  bool version = false;

  // Synthetic participants after defaults are applied.
  int SyntheticCount() const;
  int TotalParticipants() const { return SyntheticCount() + static_cast<int>(inputs.size()); }
};

struct ParseResult {
  bool ok = false;
  std::string error;  // one line naming the option, when !ok
  RecordOptions options;
};

// Parses argv[1..argc-1]. Never exits or prints.
ParseResult ParseOptions(int argc, const char* const* argv);

// The --help text.
std::string HelpText();

// The descriptor of a "fd:N" progress destination, or -1 for anything else.
int ProgressDescriptor(const std::string& destination);

// Splits "rtmp://host[:port]/app/name" into host and port (1935 when absent).
// False for anything that is not an rtmp:// URL with a host.
bool ParseRtmpHostPort(const std::string& url, std::string* host, int* port);

}  // namespace plenova::record
