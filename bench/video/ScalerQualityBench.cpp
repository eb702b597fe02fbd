// How close libyuv's box and bilinear I420 scalers come to libswscale's
// bicubic one, and how much cheaper they are, at the ratios a meeting layout
// uses (2:1, 3:1 and 1.5:1 down). Sources: FFmpeg's testsrc2 pattern (read
// from a raw file given on the command line, or skipped) and a photo-like
// picture made here (smooth shading, soft edges and fine grain).
//
//   scaler_quality_bench [testsrc2.yuv]   (1920x1080 I420)
//
// Prints one line per source, ratio and filter: PSNR of Y, U and V against
// bicubic, and the time per scaled picture of each.

#include <libyuv/scale.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "libavptr/LibavPtr.h"

namespace {

constexpr int kW = 1920, kH = 1080;

struct Picture {
  int w = 0, h = 0;
  std::vector<uint8_t> data;  // I420
  uint8_t* y() { return data.data(); }
  uint8_t* u() { return data.data() + static_cast<size_t>(w) * h; }
  uint8_t* v() { return data.data() + static_cast<size_t>(w) * h * 5 / 4; }
};

Picture Blank(int w, int h) {
  Picture p;
  p.w = w;
  p.h = h;
  p.data.assign(static_cast<size_t>(w) * h * 3 / 2, 0);
  return p;
}

// Smooth light over a scene with soft-edged shapes and film grain: what a
// camera sends, with detail at every scale.
Picture PhotoLike() {
  Picture p = Blank(kW, kH);
  uint32_t seed = 7;
  auto grain = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<int>((seed >> 24) % 9) - 4;
  };
  for (int yy = 0; yy < kH; ++yy) {
    for (int x = 0; x < kW; ++x) {
      const double fx = static_cast<double>(x) / kW, fy = static_cast<double>(yy) / kH;
      double v = 90 + 60 * std::sin(fx * 3.1 + fy * 1.7) * std::cos(fy * 2.3);
      const double d = std::hypot(fx - 0.4, fy - 0.5);
      v += 70 / (1 + std::exp((d - 0.18) * 60));                      // a face-sized disc
      v += 25 * std::sin(fx * 140) * std::sin(fy * 90) * (fx > 0.7);  // fabric
      v += ((x / 48 + yy / 48) % 2) * 18 * (fy > 0.8);                // a tiled floor
      p.y()[static_cast<size_t>(yy) * kW + x] =
          static_cast<uint8_t>(std::clamp(v + grain(), 16.0, 235.0));
    }
  }
  for (int yy = 0; yy < kH / 2; ++yy) {
    for (int x = 0; x < kW / 2; ++x) {
      const size_t i = static_cast<size_t>(yy) * (kW / 2) + x;
      p.u()[i] = static_cast<uint8_t>(128 + 20 * std::sin(x * 0.01) + grain());
      p.v()[i] = static_cast<uint8_t>(128 + 25 * std::cos(yy * 0.013) + grain());
    }
  }
  return p;
}

bool ReadRaw(const std::string& path, Picture* p) {
  std::ifstream in(path, std::ios::binary);
  *p = Blank(kW, kH);
  in.read(reinterpret_cast<char*>(p->data.data()), static_cast<std::streamsize>(p->data.size()));
  return static_cast<size_t>(in.gcount()) == p->data.size();
}

double Psnr(const uint8_t* a, const uint8_t* b, size_t n) {
  double se = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(n) / se);
}

template <typename Scale>
double MicrosPerPicture(Scale scale) {
  scale();
  const auto start = std::chrono::steady_clock::now();
  int runs = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(300)) {
    scale();
    ++runs;
  }
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
             .count() /
         runs;
}

Picture Bicubic(Picture& src, int w, int h, double* us) {
  Picture out = Blank(w, h);
  libavptr::SwsPtr ctx(sws_getContext(src.w, src.h, AV_PIX_FMT_YUV420P, w, h, AV_PIX_FMT_YUV420P,
                                      SWS_BICUBIC, nullptr, nullptr, nullptr));
  const uint8_t* in[3] = {src.y(), src.u(), src.v()};
  const int in_stride[3] = {src.w, src.w / 2, src.w / 2};
  uint8_t* dst[3] = {out.y(), out.u(), out.v()};
  const int dst_stride[3] = {w, w / 2, w / 2};
  *us = MicrosPerPicture([&] { sws_scale(ctx.get(), in, in_stride, 0, src.h, dst, dst_stride); });
  return out;
}

Picture Yuv(Picture& src, int w, int h, libyuv::FilterMode mode, double* us) {
  Picture out = Blank(w, h);
  *us = MicrosPerPicture([&] {
    libyuv::I420Scale(src.y(), src.w, src.u(), src.w / 2, src.v(), src.w / 2, src.w, src.h, out.y(),
                      w, out.u(), w / 2, out.v(), w / 2, w, h, mode);
  });
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::pair<std::string, Picture>> sources;
  Picture testsrc2;
  if (argc > 1 && ReadRaw(argv[1], &testsrc2))
    sources.emplace_back("testsrc2", std::move(testsrc2));
  sources.emplace_back("photo-like", PhotoLike());
  struct Ratio {
    const char* name;
    int w, h;
  };
  const Ratio ratios[] = {{"2:1", 960, 540}, {"3:1", 640, 360}, {"1.5:1", 1280, 720}};
  std::printf("%-11s %-6s %-9s %8s %8s %8s %10s %10s\n", "source", "ratio", "filter", "PSNR Y",
              "PSNR U", "PSNR V", "us/pic", "bicubic us");
  for (auto& [name, src] : sources) {
    for (const Ratio& r : ratios) {
      double bicubic_us = 0;
      const Picture reference = Bicubic(src, r.w, r.h, &bicubic_us);
      for (auto [mode, label] :
           {std::pair{libyuv::kFilterBox, "box"}, std::pair{libyuv::kFilterBilinear, "bilinear"}}) {
        double us = 0;
        Picture out = Yuv(src, r.w, r.h, mode, &us);
        const size_t luma = static_cast<size_t>(r.w) * r.h;
        Picture ref = reference;
        std::printf("%-11s %-6s %-9s %8.2f %8.2f %8.2f %10.0f %10.0f\n", name.c_str(), r.name,
                    label, Psnr(out.y(), ref.y(), luma), Psnr(out.u(), ref.u(), luma / 4),
                    Psnr(out.v(), ref.v(), luma / 4), us, bicubic_us);
      }
    }
  }
  return 0;
}
