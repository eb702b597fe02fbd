#pragma once

// Reading back what the engine wrote, as a user would: ffprobe for the
// structure, ffmpeg for decode errors, libavcodec for the pixels and the
// samples. The one set of media checks of every test folder.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace plenova::testing {

// The streams and the format as ffprobe reports them: one map of key=value
// per stream (codec_type, codec_name, width, height, r_frame_rate,
// avg_frame_rate, sample_rate, channels, profile, nb_frames, duration,
// start_time), and the container's duration in seconds (negative when
// unknown).
struct ProbeResult {
  bool ok = false;
  std::string error;
  std::vector<std::map<std::string, std::string>> streams;
  double duration = -1;

  // The first stream of `type` ("video" or "audio"), or null.
  const std::map<std::string, std::string>* Stream(const std::string& type) const;
};
ProbeResult Probe(const std::string& path);

// One decoded picture in planar 4:2:0.
struct Picture {
  int width = 0;
  int height = 0;
  double time = 0;  // presentation time, seconds
  std::vector<uint8_t> y, u, v;

  uint8_t Y(int x, int yy) const { return y[static_cast<size_t>(yy) * width + x]; }
  uint8_t U(int x, int yy) const { return u[static_cast<size_t>(yy / 2) * (width / 2) + x / 2]; }
  uint8_t V(int x, int yy) const { return v[static_cast<size_t>(yy / 2) * (width / 2) + x / 2]; }
  // Mean luma of a rectangle.
  double MeanY(int x, int yy, int w, int h) const;
};

// Decoded audio as interleaved 16-bit samples.
struct Sound {
  int rate = 0;
  int channels = 0;
  std::vector<int16_t> samples;
  double start_time = 0;  // presentation time of the first sample, seconds
  // Each decoded frame's first sample (per channel) and its presentation
  // time: where a gap in the stamps lies, the samples run on without it.
  std::vector<std::pair<size_t, double>> segments;

  // Presentation time of sample `index` (per channel), by its frame's stamp.
  double TimeOf(size_t index) const;
};

struct Decoded {
  bool ok = false;
  std::string error;
  int decode_errors = 0;
  std::vector<Picture> pictures;  // those of DecodeOptions::pictures_at
  std::vector<double> picture_times;
  // Mean luma of each of DecodeOptions::probes in every picture, in
  // presentation order.
  std::vector<std::vector<double>> probes_luma;
  Sound sound;
};

struct DecodeOptions {
  // Keep the picture nearest each of these times (seconds).
  std::vector<double> pictures_at;
  // Rectangles (x, y, w, h) whose mean luma is measured in every picture.
  std::vector<std::array<int, 4>> probes;
  bool audio = true;
};

// Decodes the whole file (MP4 or FLV).
Decoded Decode(const std::string& path, const DecodeOptions& options);

// Relative power of `frequency` in a mono mix of `sound` between the two
// times (seconds): the Goertzel power over the total power, 0..1.
double ToneShare(const Sound& sound, double frequency, double from, double to);

// Presentation times where a tone of `frequency` begins: its power over a
// 5 ms window, moved on 1 ms at a time, rises above half its peak. Placed
// by the stamps of the decoded frames.
std::vector<double> ToneStarts(const Sound& sound, double frequency);

// Times where `values` (sampled at `times`) rises above `threshold`.
std::vector<double> Rises(const std::vector<double>& times, const std::vector<double>& values,
                          double threshold);

// The largest gap between consecutive pictures of a decoded recording from
// `from` seconds on.
double LargestPictureGap(const Decoded& decoded, double from = 0);

// Largest distance between a flash of the probed rectangle and its nearest
// beep of `beep_hz`, over the flashes after `from` seconds; negative when
// there are fewer than `min_flashes` of them.
double WorstFlashBeepDistance(const std::string& path, double beep_hz, int x, int y, int w, int h,
                              double from, size_t min_flashes);

// A shell command's exit status (-1 when it did not exit normally) and
// standard output.
struct CommandResult {
  int status = -1;
  std::string output;
};
CommandResult RunCommand(const std::string& command);

// What ffmpeg prints while decoding the whole file: empty for a clean file
// (libavcodec conceals some damage without returning an error), a note
// when ffmpeg could not run.
std::string DecodeErrors(const std::string& path);

}  // namespace plenova::testing
