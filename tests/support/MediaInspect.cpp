#include "tests/support/MediaInspect.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "libavptr/LibavPtr.h"

namespace plenova::testing {
namespace {

libavptr::CodecContextPtr OpenDecoder(AVStream* stream) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) return nullptr;
  libavptr::CodecContextPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx || avcodec_parameters_to_context(ctx.get(), stream->codecpar) < 0) return nullptr;
  ctx->pkt_timebase = stream->time_base;
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
  return ctx;
}

}  // namespace

const std::map<std::string, std::string>* ProbeResult::Stream(const std::string& type) const {
  for (const auto& s : streams) {
    auto it = s.find("codec_type");
    if (it != s.end() && it->second == type) return &s;
  }
  return nullptr;
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> buffer{};
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    result.output.append(buffer.data(), n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string DecodeErrors(const std::string& path) {
  const CommandResult run = RunCommand("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1");
  if (run.status != 0 && run.output.empty()) return "ffmpeg failed to run";
  return run.output;
}

ProbeResult Probe(const std::string& path) {
  ProbeResult result;
  const std::string text =
      RunCommand(
          "ffprobe -v error -show_entries "
          "stream=codec_type,codec_name,profile,width,height,r_frame_rate,avg_frame_rate,"
          "sample_rate,channels,nb_frames,duration,start_time:format=duration "
          "-of default=noprint_wrappers=0 '" +
          path + "' 2>&1")
          .output;
  std::istringstream in(text);
  std::string line;
  std::map<std::string, std::string>* current = nullptr;
  bool in_format = false;
  while (std::getline(in, line)) {
    if (line == "[STREAM]") {
      result.streams.emplace_back();
      current = &result.streams.back();
      continue;
    }
    if (line == "[/STREAM]") {
      current = nullptr;
      continue;
    }
    if (line == "[FORMAT]") {
      in_format = true;
      continue;
    }
    if (line == "[/FORMAT]") {
      in_format = false;
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string::npos) {
      if (!line.empty()) result.error += line + "\n";
      continue;
    }
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (current != nullptr)
      (*current)[key] = value;
    else if (in_format && key == "duration" && value != "N/A")
      result.duration = std::stod(value);
  }
  result.ok = !result.streams.empty();
  return result;
}

double Picture::MeanY(int x, int yy, int w, int h) const {
  double sum = 0;
  for (int r = yy; r < yy + h; ++r)
    for (int c = x; c < x + w; ++c) sum += Y(c, r);
  return w * h > 0 ? sum / (w * h) : 0;
}

Decoded Decode(const std::string& path, const DecodeOptions& options) {
  Decoded out;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
    out.error = "cannot open " + path;
    return out;
  }
  libavptr::InputFormatPtr format(raw);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) {
    out.error = "no stream info";
    return out;
  }
  const int video_index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audio_index = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  libavptr::CodecContextPtr vdec, adec;
  if (video_index >= 0) vdec = OpenDecoder(format->streams[video_index]);
  if (audio_index >= 0 && options.audio) adec = OpenDecoder(format->streams[audio_index]);

  libavptr::FramePtr frame(av_frame_alloc());
  libavptr::PacketPtr packet(av_packet_alloc());
  libavptr::SwrPtr swr;
  libavptr::SwsPtr sws;
  std::vector<Picture> candidates;  // nearest picture so far per requested time
  std::vector<double> best_distance(options.pictures_at.size(), 1e9);
  candidates.resize(options.pictures_at.size());
  bool audio_started = false;

  auto take_picture = [&](AVFrame* f, double t) {
    Picture p;
    p.width = f->width;
    p.height = f->height;
    p.time = t;
    p.y.resize(static_cast<size_t>(p.width) * p.height);
    p.u.resize(static_cast<size_t>(p.width / 2) * (p.height / 2));
    p.v.resize(p.u.size());
    uint8_t* planes[3] = {p.y.data(), p.u.data(), p.v.data()};
    int strides[3] = {p.width, p.width / 2, p.width / 2};
    sws.reset(sws_getCachedContext(sws.release(), f->width, f->height,
                                   static_cast<AVPixelFormat>(f->format), f->width, f->height,
                                   AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr, nullptr));
    sws_scale(sws.get(), f->data, f->linesize, 0, f->height, planes, strides);
    return p;
  };

  auto drain = [&](AVCodecContext* dec, bool is_video, AVStream* stream) {
    while (avcodec_receive_frame(dec, frame.get()) == 0) {
      const int64_t pts = frame->best_effort_timestamp;
      const double t = pts == AV_NOPTS_VALUE ? 0 : pts * av_q2d(stream->time_base);
      if (is_video) {
        out.picture_times.push_back(t);
        if (!options.pictures_at.empty() || !options.probes.empty()) {
          Picture p = take_picture(frame.get(), t);
          out.probes_luma.resize(options.probes.size());
          for (size_t i = 0; i < options.probes.size(); ++i) {
            const auto& r = options.probes[i];
            out.probes_luma[i].push_back(p.MeanY(r[0], r[1], r[2], r[3]));
          }
          for (size_t i = 0; i < options.pictures_at.size(); ++i) {
            const double d = std::fabs(t - options.pictures_at[i]);
            if (d < best_distance[i]) {
              best_distance[i] = d;
              candidates[i] = p;
            }
          }
        }
      } else {
        if (!audio_started) {
          audio_started = true;
          out.sound.start_time = t;
          out.sound.rate = frame->sample_rate;
          out.sound.channels = frame->ch_layout.nb_channels;
          SwrContext* s = nullptr;
          AVChannelLayout layout = frame->ch_layout;
          swr_alloc_set_opts2(&s, &layout, AV_SAMPLE_FMT_S16, frame->sample_rate, &layout,
                              static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                              nullptr);
          swr.reset(s);
          swr_init(swr.get());
        }
        out.sound.segments.emplace_back(
            out.sound.samples.size() / static_cast<size_t>(out.sound.channels), t);
        std::vector<int16_t> buf(static_cast<size_t>(frame->nb_samples) * out.sound.channels + 64);
        uint8_t* dst = reinterpret_cast<uint8_t*>(buf.data());
        const int n =
            swr_convert(swr.get(), &dst, frame->nb_samples,
                        const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
        if (n > 0)
          out.sound.samples.insert(out.sound.samples.end(), buf.begin(),
                                   buf.begin() + static_cast<long>(n) * out.sound.channels);
      }
      av_frame_unref(frame.get());
    }
  };

  while (av_read_frame(format.get(), packet.get()) >= 0) {
    AVCodecContext* dec = nullptr;
    bool is_video = false;
    if (packet->stream_index == video_index && vdec) {
      dec = vdec.get();
      is_video = true;
    } else if (packet->stream_index == audio_index && adec) {
      dec = adec.get();
    }
    if (dec != nullptr) {
      if (avcodec_send_packet(dec, packet.get()) < 0) ++out.decode_errors;
      drain(dec, is_video, format->streams[packet->stream_index]);
    }
    av_packet_unref(packet.get());
  }
  if (vdec) {
    avcodec_send_packet(vdec.get(), nullptr);
    drain(vdec.get(), true, format->streams[video_index]);
  }
  if (adec) {
    avcodec_send_packet(adec.get(), nullptr);
    drain(adec.get(), false, format->streams[audio_index]);
  }
  for (auto& c : candidates) out.pictures.push_back(std::move(c));
  out.ok = true;
  return out;
}

double ToneShare(const Sound& sound, double frequency, double from, double to) {
  if (sound.rate <= 0 || sound.channels <= 0) return 0;
  const auto first = static_cast<size_t>(std::max(0.0, from) * sound.rate);
  const auto last = std::min(static_cast<size_t>(to * sound.rate),
                             sound.samples.size() / static_cast<size_t>(sound.channels));
  if (last <= first + 16) return 0;
  const double w = 2 * M_PI * frequency / sound.rate;
  double s1 = 0, s2 = 0, total = 0;
  for (size_t i = first; i < last; ++i) {
    double x = 0;
    for (int c = 0; c < sound.channels; ++c) x += sound.samples[i * sound.channels + c];
    x /= sound.channels;
    total += x * x;
    const double s0 = x + 2 * std::cos(w) * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2;
  const double n = static_cast<double>(last - first);
  return total > 0 ? std::min(1.0, 2 * power / (n * total)) : 0;
}

double Sound::TimeOf(size_t index) const {
  auto after =
      std::upper_bound(segments.begin(), segments.end(), index,
                       [](size_t i, const std::pair<size_t, double>& s) { return i < s.first; });
  if (after == segments.begin()) return start_time + static_cast<double>(index) / rate;
  --after;
  return after->second + static_cast<double>(index - after->first) / rate;
}

std::vector<double> ToneStarts(const Sound& sound, double frequency) {
  if (sound.rate <= 0 || sound.channels <= 0) return {};
  const size_t total = sound.samples.size() / static_cast<size_t>(sound.channels);
  const auto window = static_cast<size_t>(sound.rate / 200);  // 5 ms
  const auto hop = static_cast<size_t>(sound.rate / 1000);    // 1 ms
  const double w = 2 * M_PI * frequency / sound.rate;
  std::vector<double> times, power;
  for (size_t first = 0; first + window <= total; first += hop) {
    double s1 = 0, s2 = 0;
    for (size_t i = first; i < first + window; ++i) {
      double x = 0;
      for (int c = 0; c < sound.channels; ++c)
        x += sound.samples[i * static_cast<size_t>(sound.channels) + static_cast<size_t>(c)];
      const double s0 = x + 2 * std::cos(w) * s1 - s2;
      s2 = s1;
      s1 = s0;
    }
    // A tone that begins inside the window reaches half the power of a full
    // window when about 0.7 of the window holds it.
    times.push_back(sound.TimeOf(first + window * 3 / 10));
    power.push_back(s1 * s1 + s2 * s2 - 2 * std::cos(w) * s1 * s2);
  }
  const double peak = power.empty() ? 0 : *std::max_element(power.begin(), power.end());
  return Rises(times, power, peak / 2);
}

std::vector<double> Rises(const std::vector<double>& times, const std::vector<double>& values,
                          double threshold) {
  std::vector<double> out;
  bool above = true;  // a signal that starts high does not count as a rise
  for (size_t i = 0; i < values.size() && i < times.size(); ++i) {
    const bool now = values[i] > threshold;
    if (now && !above) out.push_back(times[i]);
    above = now;
  }
  return out;
}

double LargestPictureGap(const Decoded& decoded, double from) {
  double gap = 0;
  for (size_t i = 1; i < decoded.picture_times.size(); ++i)
    if (decoded.picture_times[i - 1] >= from)
      gap = std::max(gap, decoded.picture_times[i] - decoded.picture_times[i - 1]);
  return gap;
}

double WorstFlashBeepDistance(const std::string& path, double beep_hz, int x, int y, int w, int h,
                              double from, size_t min_flashes) {
  DecodeOptions options;
  options.probes = {{x, y, w, h}};
  const Decoded decoded = Decode(path, options);
  if (!decoded.ok) return -1;
  const std::vector<double> beeps = ToneStarts(decoded.sound, beep_hz);
  double worst = 0;
  size_t flashes = 0;
  for (double f : Rises(decoded.picture_times, decoded.probes_luma[0], 160)) {
    if (f < from) continue;
    ++flashes;
    double nearest = 1e9;
    for (double b : beeps) nearest = std::min(nearest, std::fabs(b - f));
    worst = std::max(worst, nearest);
  }
  return flashes < min_flashes ? -1 : worst;
}

}  // namespace plenova::testing
