#include "tools/plenova-record/SyntheticSource.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace plenova::record {
namespace {

constexpr double kToneAmplitude = 0.25 * 32767;
constexpr double kBeepAmplitude = 0.8 * 32767;

uint8_t Clamp(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

void FillPlane(uint8_t* plane, int w, int h, uint8_t value) {
  std::memset(plane, value, static_cast<size_t>(w) * h);
}

}  // namespace

SyntheticSource::SyntheticSource(int index, SourceFormat format, bool sync_marks)
    : index_(index), format_(format), sync_marks_(sync_marks), colour_(Colour(index)) {}

Yuv SyntheticSource::Colour(int index) {
  // Hues a golden angle apart, so neighbours always differ clearly.
  const double hue = std::fmod(index * 137.508, 360.0) / 60.0;
  const double s = 0.75;
  const double v = 0.8;
  const double c = v * s;
  const double x = c * (1 - std::fabs(std::fmod(hue, 2.0) - 1));
  double r = 0, g = 0, b = 0;
  switch (static_cast<int>(hue)) {
    case 0:
      r = c;
      g = x;
      break;
    case 1:
      r = x;
      g = c;
      break;
    case 2:
      g = c;
      b = x;
      break;
    case 3:
      g = x;
      b = c;
      break;
    case 4:
      r = x;
      b = c;
      break;
    default:
      r = c;
      b = x;
      break;
  }
  const double m = v - c;
  r += m;
  g += m;
  b += m;
  return {Clamp(16 + 65.481 * r + 128.553 * g + 24.966 * b),
          Clamp(128 - 37.797 * r - 74.203 * g + 112.0 * b),
          Clamp(128 + 112.0 * r - 93.786 * g - 18.214 * b)};
}

double SyntheticSource::ToneHz(int index) { return 300.0 + 60.0 * index; }

int SyntheticSource::BarWidth(int width) { return std::max(2, width / 8 - (width / 8) % 2); }

int SyntheticSource::BarX(int64_t frame, int width) {
  const int travel = std::max(2, width - BarWidth(width));
  return static_cast<int>((frame * 8) % travel) & ~1;
}

bool SyntheticSource::FillVideo(int64_t index, uint8_t* i420) {
  const int w = format_.width;
  const int h = format_.height;
  uint8_t* y = i420;
  uint8_t* u = y + static_cast<size_t>(w) * h;
  uint8_t* v = u + static_cast<size_t>(w / 2) * (h / 2);
  if (sync_marks_ && index % kVideoFps == 0) {
    FillPlane(y, w, h, kFlash.y);
    FillPlane(u, w / 2, h / 2, kFlash.u);
    FillPlane(v, w / 2, h / 2, kFlash.v);
    return true;
  }
  FillPlane(y, w, h, colour_.y);
  FillPlane(u, w / 2, h / 2, colour_.u);
  FillPlane(v, w / 2, h / 2, colour_.v);
  const int bx = BarX(index, w);
  const int bw = BarWidth(w);
  for (int row = 0; row < h; ++row) std::memset(y + static_cast<size_t>(row) * w + bx, kBar.y, bw);
  for (int row = 0; row < h / 2; ++row) {
    std::memset(u + static_cast<size_t>(row) * (w / 2) + bx / 2, kBar.u, bw / 2);
    std::memset(v + static_cast<size_t>(row) * (w / 2) + bx / 2, kBar.v, bw / 2);
  }
  return true;
}

bool SyntheticSource::FillAudio(int64_t index, int16_t* pcm) {
  const int n = format_.SamplesPerAudioFrame();
  const int rate = format_.sample_rate;
  const int64_t beep_samples = static_cast<int64_t>(rate) * kBeepMs / 1000;
  const double tone = ToneHz(index_);
  for (int i = 0; i < n; ++i) {
    const int64_t s = index * n + i;  // absolute sample number: phase never jumps
    const bool beep = sync_marks_ && s % rate < beep_samples;
    // Reduce the phase per whole second so that long runs keep precision.
    const double t = static_cast<double>(s % rate) / rate;
    const double value = beep ? kBeepAmplitude * std::sin(2 * std::numbers::pi * kBeepHz * t)
                              : kToneAmplitude * std::sin(2 * std::numbers::pi * tone * t);
    const auto sample = static_cast<int16_t>(std::lround(value));
    for (int c = 0; c < format_.channels; ++c) pcm[i * format_.channels + c] = sample;
  }
  return true;
}

}  // namespace plenova::record
