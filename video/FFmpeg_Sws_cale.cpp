#include "video/FFmpeg_Sws_cale.h"

#include <libswscale/version_major.h>
#if defined(PLENOVA_HAVE_LIBYUV)
#include <libyuv/scale.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>

#include "log/PlenovaLog.h"

namespace plenova {
namespace {

// libswscale's values for the I420 pixel format and bicubic scaling.
constexpr int kPixelFormatYuv420p = 0;
constexpr int kScaleBicubic = 4;

// libswscale may write a little past the last pixel of a row with its vector
// paths; the scaled buffers carry this much slack.
constexpr size_t kScaledSlack = 64;

#define PLN_STRINGIFY_(x) #x
#define PLN_STRINGIFY(x) PLN_STRINGIFY_(x)
constexpr const char kLibraryName[] = "libswscale.so." PLN_STRINGIFY(LIBSWSCALE_VERSION_MAJOR);
#undef PLN_STRINGIFY
#undef PLN_STRINGIFY_

constexpr const char kModule[] = "FFmpeg_Sws_cale";

// Largest side and position the geometry takes: sums of two of them fit 32
// bits with room to spare, and every sum below is taken in 64 bits anyway.
constexpr int32_t kMaxSide = 8192;
constexpr int32_t kMaxPosition = 8192;

// Copies `rows` rows of a plane onto a canvas plane of `dst_w` x `dst_h`,
// placed at (`x`, `y`) and clipped to the plane. Row r of the placed picture
// takes source row `flip ? rows - 1 - r : r` and copies `band_width` bytes
// while r < `band_rows`, `width` bytes afterwards.
void CopyPlane(uint8_t* dst, int32_t dst_w, int32_t dst_h, int32_t x, int32_t y, const uint8_t* src,
               int32_t src_stride, int32_t width, int32_t rows, bool flip, int32_t band_rows,
               int32_t band_width) {
  const int64_t first_col = std::max<int64_t>(x, 0);
  for (int32_t r = 0; r < rows; ++r) {
    const int64_t dst_row = int64_t{y} + r;
    if (dst_row < 0) continue;
    if (dst_row >= dst_h) break;
    const int32_t w = std::clamp(r < band_rows ? band_width : width, 0, width);
    const int64_t end_col = std::min<int64_t>(int64_t{x} + w, dst_w);
    if (end_col <= first_col) continue;
    const int32_t src_row = flip ? rows - 1 - r : r;
    std::memcpy(dst + static_cast<size_t>(dst_row) * static_cast<size_t>(dst_w) +
                    static_cast<size_t>(first_col),
                src + static_cast<size_t>(src_row) * static_cast<size_t>(src_stride) +
                    static_cast<size_t>(first_col - x),
                static_cast<size_t>(end_col - first_col));
  }
}

bool GeometryFits(int32_t src_w, int32_t src_h, const Rect& target, int32_t cvs_w, int32_t cvs_h) {
  for (int32_t side : {src_w, src_h, target.w, target.h, cvs_w, cvs_h})
    if (side <= 0 || side > kMaxSide) return false;
  return target.x >= 0 && target.y >= 0 && target.x <= kMaxPosition && target.y <= kMaxPosition;
}

}  // namespace

std::string FFmpeg_Sws_cale::DefaultLibraryName() { return kLibraryName; }

FFmpeg_Sws_cale::FFmpeg_Sws_cale() : FFmpeg_Sws_cale(DefaultLibraryName()) {}

FFmpeg_Sws_cale::FFmpeg_Sws_cale(const std::string& library_file) {
  if (!library_.Load(library_file)) {
    PLN_LOG_ERROR("'s loadlibrary failed");
    PLN_RAW_ERROR("_Plenova_ %s: %s", library_file.c_str(), library_.Error().c_str());
    return;
  }
  sws_getContext_ = reinterpret_cast<GetContextFn>(library_.Symbol("sws_getContext"));
  sws_freeContext_ = reinterpret_cast<FreeContextFn>(library_.Symbol("sws_freeContext"));
  sws_scale_ = reinterpret_cast<ScaleFn>(library_.Symbol("sws_scale"));
  if (sws_getContext_ == nullptr || sws_freeContext_ == nullptr || sws_scale_ == nullptr) {
    PLN_LOG_ERROR("'s loadlibrary failed");
    sws_getContext_ = nullptr;
    sws_freeContext_ = nullptr;
    sws_scale_ = nullptr;
    library_.Free();
  }
}

FFmpeg_Sws_cale::~FFmpeg_Sws_cale() { FreeContext(); }

void FFmpeg_Sws_cale::FreeContext() {
  if (context_ != nullptr && sws_freeContext_ != nullptr) sws_freeContext_(context_);
  context_ = nullptr;
}

void FFmpeg_Sws_cale::AllocateScaled() {
  scaled_y.reset();
  scaled_u.reset();
  scaled_v.reset();
  // Luma of the target's size; chroma rounded up for odd sizes.
  const int32_t target_w = m_target.w;
  const int32_t target_h = m_target.h;
  const size_t luma = static_cast<size_t>(target_w) * static_cast<size_t>(target_h);
  const size_t chroma =
      static_cast<size_t>((target_w + 1) / 2) * static_cast<size_t>((target_h + 1) / 2);
  scaled_y.reset(new (std::nothrow) uint8_t[luma + kScaledSlack]);
  scaled_u.reset(new (std::nothrow) uint8_t[chroma + kScaledSlack]);
  scaled_v.reset(new (std::nothrow) uint8_t[chroma + kScaledSlack]);
  if (!scaled_y || !scaled_u || !scaled_v) {
    PLN_LOG_ERROR("_Plenova_ scaled buffers of %dx%d cannot be allocated", target_w, target_h);
    scaled_y.reset();
    scaled_u.reset();
    scaled_v.reset();
  }
}

void FFmpeg_Sws_cale::CreateSws(int32_t src_w, int32_t src_h, int32_t dst_w, int32_t dst_h) {
  if (src_w <= 0 || src_h <= 0 || dst_h < 1 || dst_w < 1) {
    PLN_LOG_ERROR("'s param illegall, src_w = %d, src_h = %d, dst_w = %d, dst_h = %d", src_w, src_h,
                  dst_w, dst_h);
    return;
  }
  if (context_ != nullptr || sws_getContext_ == nullptr) return;
  context_ = sws_getContext_(src_w, src_h, kPixelFormatYuv420p, dst_w, dst_h, kPixelFormatYuv420p,
                             kScaleBicubic, nullptr, nullptr, nullptr);
  if (context_ == nullptr) PLN_LOG_ERROR("'s CreateSws illegall");
}

void FFmpeg_Sws_cale::BuildScaler(int32_t videoType) {
  CallEqualProPorTionFunction(videoType);
  background_mode = kBackgroundBlack;
  if (!scaled_y) return;  // no buffers to scale into
  if (videoType == 1) {
    CreateSws(m_src_w, m_src_h, m_real_target.w, m_real_target.h);
  } else {
    CreateSws(crop_w, crop_h, m_real_target.w, m_real_target.h);
  }
}

void FFmpeg_Sws_cale::Rebuild(int32_t sw, int32_t sh, const Rect& target, int32_t videoType) {
  FreeContext();
  m_src_w = sw;
  m_src_h = sh;
  m_target = target;
  m_real_target = target;
  has_picture_ = false;
  AllocateScaled();
  BuildScaler(videoType);
}

bool FFmpeg_Sws_cale::SetUp(const char* function, int32_t src_w, int32_t src_h, const Rect& target,
                            int32_t cvs_w, int32_t cvs_h, int32_t videoType) {
  PLN_RAW_ERROR("File:%s,Line=%05d  Function: %s _Plenova_ Parames Info", kModule, __LINE__,
                function);
  PLN_RAW_ERROR("Function: %s _Plenova_ SourceWidth=%d", function, src_w);
  PLN_RAW_ERROR("Function: %s _Plenova_ SourceHeight=%d", function, src_h);
  PLN_RAW_ERROR("Function: %s _Plenova_ SourceTargetWidth=%d", function, target.w);
  PLN_RAW_ERROR("Function: %s _Plenova_ SourceTargetHeight=%d", function, target.h);
  PLN_RAW_ERROR("Function: %s _Plenova_ SourceCanvasWidth=%d", function, cvs_w);
  PLN_RAW_ERROR("Function: %s _Plenova_ SourceCanvasHeight=%d", function, cvs_h);
  PLN_RAW_ERROR("Function: %s _Plenova_ x_position=%d", function, target.x);
  PLN_RAW_ERROR("Function: %s _Plenova_ y_position=%d", function, target.y);
  PLN_RAW_ERROR("Function: %s _Plenova_ videoType=%d", function, videoType);

  canvas_w = cvs_w;
  canvas_h = cvs_h;
  Rebuild(src_w, src_h, target, videoType);
  PLN_RAW_ERROR("%s, src_w[%d], src_h[%d],m_real_target_w[%d],m_real_target_h[%d]", function,
                m_src_w, m_src_h, m_real_target.w, m_real_target.h);
  return true;
}

void FFmpeg_Sws_cale::init(int32_t src_w, int32_t src_h, const Rect& target, int32_t cvs_w,
                           int32_t cvs_h, int32_t videoType) {
  if (!GeometryFits(src_w, src_h, target, cvs_w, cvs_h) || videoType < 0) {
    PLN_LOG_ERROR("_Plenova_ param illegall");
    return;
  }
  SetUp("FFmpeg_Sws_cale::init", src_w, src_h, target, cvs_w, cvs_h, videoType);
}

void FFmpeg_Sws_cale::Pictureinit(int32_t src_w, int32_t src_h, const Rect& target, int32_t cvs_w,
                                  int32_t cvs_h, int32_t videoType) {
  if (!GeometryFits(src_w, src_h, target, cvs_w, cvs_h)) {
    PLN_LOG_ERROR("_Plenova_ param illegall");
    return;
  }
  SetUp("FFmpeg_Sws_cale::Pictureinit", src_w, src_h, target, cvs_w, cvs_h, videoType);
}

void FFmpeg_Sws_cale::CallEqualProPorTionFunction(int32_t videoType) {
  const int32_t target_w = m_target.w;
  const int32_t target_h = m_target.h;
  if (m_src_w <= 0 || m_src_h <= 0 || target_w <= 0 || target_h <= 0) return;
  if (videoType == 1) {
    // Letterbox: the whole source, as large as fits in the target.
    const int32_t fit_w = static_cast<int32_t>(int64_t{m_src_w} * target_h / m_src_h);
    const int32_t fit_h = static_cast<int32_t>(int64_t{target_w} * m_src_h / m_src_w);
    if (fit_h == target_h) {
      m_real_target = m_target;
    } else if (fit_h > target_h) {
      m_real_target = Rect{static_cast<int32_t>((int64_t{target_w} - fit_w) / 2 + m_target.x),
                           m_target.y, fit_w, target_h};
    } else {
      m_real_target =
          Rect{m_target.x, static_cast<int32_t>((int64_t{target_h} - fit_h) / 2 + m_target.y),
               target_w, fit_h};
    }
  } else {
    // Centred crop to the target's aspect ratio; the cropped-away size is
    // rounded up to a multiple of 4 so that each side loses an even count.
    const int64_t a = int64_t{m_src_w} * target_h;
    const int64_t b = int64_t{target_w} * m_src_h;
    if (a < b) {
      crop_w = m_src_w;
      crop_h = static_cast<int32_t>(a / target_w);
      const int32_t r = (m_src_h - crop_h) % 4;
      if (r != 0) crop_h = crop_h + r - 4;
    } else if (b < a) {
      crop_h = m_src_h;
      crop_w = static_cast<int32_t>(b / target_h);
      const int32_t r = (m_src_w - crop_w) % 4;
      if (r != 0) crop_w = crop_w + r - 4;
    } else {
      crop_w = m_src_w;
      crop_h = m_src_h;
    }
    m_real_target = m_target;
  }
  PLN_LOG_ERROR("_Plenova_调整后的显示位置：m_src_w=%d  m_src_h=%d 目标宽=%d 高=%d", m_src_w,
                m_src_h, crop_w, crop_h);
}

void FFmpeg_Sws_cale::SetDrawLimitParam(int32_t x, int32_t y, bool enable) {
  if (y < 0 || x < 0) {
    PLN_LOG_ERROR("_Plenova_ param illegall");
    return;
  }
  if (m_target.Right() > canvas_w) {
    m_target.w = canvas_w >= m_target.x ? canvas_w - m_target.x : 0;
  }
  const int64_t right = m_real_target.w > 0 ? m_real_target.Right() : int64_t{canvas_w};
  drawlimit_x = static_cast<int32_t>(std::min<int64_t>(x, right));
  drawlimit_y = static_cast<int32_t>(std::min<int64_t>(y, m_real_target.Bottom()));
  cutout_enabled = enable;
  PLN_RAW_ERROR("dramlimit_x=%d", x);
  PLN_RAW_ERROR("m_real_x_position=%d", m_real_target.x);
  PLN_RAW_ERROR("m_real_target_w=%d", m_real_target.w);
  PLN_RAW_ERROR("该图在画布中抠图的右下脚位置X:=%d", drawlimit_x);
  PLN_RAW_ERROR("drawlimit_y=%d", y);
  PLN_RAW_ERROR("m_real_y_position=%d", m_real_target.y);
  PLN_RAW_ERROR("m_real_target_h=%d", m_real_target.h);
  PLN_RAW_ERROR("改图在画布中抠图的右下脚位置Y:=%d", drawlimit_y);
}

bool FFmpeg_Sws_cale::ResetIfChanged(int32_t sw, int32_t sh, const Rect& target,
                                     int32_t videoType) {
  if (sw == m_src_w && sh == m_src_h && target.w == m_target.w && target.h == m_target.h) {
    if (target.x != m_target.x || target.y != m_target.y) {
      // A move alone keeps the context and the canvas; only the placement
      // follows.
      m_target.x = target.x;
      m_target.y = target.y;
      m_real_target.x = target.x;
      m_real_target.y = target.y;
      CallEqualProPorTionFunction(videoType);
    }
    return false;
  }
  Rebuild(sw, sh, target, videoType);
  return true;
}

void FFmpeg_Sws_cale::ScaleAndDraw(const uint8_t* source, uint8_t* canvas, int32_t sw, int32_t sh,
                                   const Rect& target, int32_t videoType, uint32_t orientation) {
  if (source == nullptr || canvas == nullptr || sh < 1 || sw < 1 || target.w < 1 || target.h < 1)
    return;
  if (PrepareDraw(sw, sh, target, videoType))
    FillBackground(background_mode, canvas, canvas_w, canvas_h);
  Draw(source, canvas, videoType, orientation);
}

bool FFmpeg_Sws_cale::PrepareDraw(int32_t sw, int32_t sh, const Rect& target, int32_t videoType) {
  if (sh < 1 || sw < 1 || target.w < 1 || target.h < 1) return false;
  bool blank = first_draw;
  first_draw = false;
  if (ResetIfChanged(sw, sh, target, videoType)) blank = true;
  return blank;
}

void FFmpeg_Sws_cale::Redraw(uint8_t* canvas) {
  if (has_picture_) MapImage(canvas, last_orientation_);
}

void FFmpeg_Sws_cale::Draw(const uint8_t* source, uint8_t* canvas, int32_t videoType,
                           uint32_t orientation) {
  if (source == nullptr || canvas == nullptr || context_ == nullptr || !scaled_y) return;

  const int32_t w = m_src_w;
  const int32_t h = m_src_h;
  const uint8_t* y0 = source;
  const uint8_t* u0 = source + static_cast<size_t>(w) * h;
  const uint8_t* v0 = source + static_cast<size_t>(w) * h * 5 / 4;
  const uint8_t* planes[3] = {y0, u0, v0};
  const int src_strides[3] = {w, w / 2, w / 2};
  int slice_h = h;
  if (videoType != 1) {
    // The context was built for the crop region: start at its corner.
    slice_h = crop_h;
    if (crop_w == w && crop_h != h) {
      const size_t o = static_cast<size_t>(w) * ((h - crop_h) / 2);
      planes[0] = y0 + o;
      planes[1] = u0 + o / 4;
      planes[2] = v0 + o / 4;
    } else if (crop_h == h && crop_w != w) {
      const size_t o = static_cast<size_t>((w - crop_w) / 2);
      planes[0] = y0 + o;
      planes[1] = u0 + o / 2;
      planes[2] = v0 + o / 2;
    }
  }
  uint8_t* const dst[3] = {scaled_y.get(), scaled_u.get(), scaled_v.get()};
  const int dst_strides[3] = {m_real_target.w, m_real_target.w / 2, m_real_target.w / 2};
#if defined(PLENOVA_HAVE_LIBYUV)
  // libyuv's box filter: as sharp as libswscale's bicubic at the ratios a
  // meeting uses and several times faster (bench/video/ScalerQualityBench).
  const int32_t slice_w = videoType != 1 ? crop_w : w;
  if (libyuv::I420Scale(planes[0], src_strides[0], planes[1], src_strides[1], planes[2],
                        src_strides[2], slice_w, slice_h, dst[0], dst_strides[0], dst[1],
                        dst_strides[1], dst[2], dst_strides[2], m_real_target.w, m_real_target.h,
                        libyuv::kFilterBox) == 0) {
    has_picture_ = true;
    last_orientation_ = orientation;
    MapImage(canvas, orientation);
    return;
  }
#endif
  const int rows = sws_scale_(context_, planes, src_strides, 0, slice_h, dst, dst_strides);
  if (rows != m_real_target.h) {
    if (videoType == 0) {
      PLN_RAW_ERROR("video m_sws_scale failed %d", rows);
    } else {
      PLN_RAW_ERROR("data m_sws_scale failed %d", rows);
    }
    sws_scale_(context_, planes, src_strides, 0, slice_h, dst, dst_strides);
  }
  has_picture_ = true;
  last_orientation_ = orientation;
  MapImage(canvas, orientation);
}

void FFmpeg_Sws_cale::MapImage(uint8_t* canvas, uint32_t orientation) {
  const int32_t rw = m_real_target.w;
  const int32_t rh = m_real_target.h;
  const int32_t rx = m_real_target.x;
  const int32_t ry = m_real_target.y;
  const int32_t cw = canvas_w;
  if (canvas == nullptr || rh > canvas_h || rw > cw) {
    PLN_LOG_ERROR("_Plenova Params Inllegal,dest_w=%d dest_h=%d Merage_w=%d Merage_h=%d", rw, rh,
                  cw, canvas_h);
    return;
  }
  if (!scaled_y) return;
  uint8_t* const cy = canvas;
  uint8_t* const cu = canvas + static_cast<size_t>(cw) * canvas_h;
  uint8_t* const cv = canvas + static_cast<size_t>(cw) * canvas_h * 5 / 4;
  const int32_t chroma_w = cw / 2;
  const int32_t chroma_h = canvas_h / 2;

  if (orientation != kBottomUp) {
    // Top-down (and any unknown order, which is taken as top-down).
    CopyPlane(cy, cw, canvas_h, rx, ry, scaled_y.get(), rw, rw, rh, false, 0, 0);
    CopyPlane(cu, chroma_w, chroma_h, rx / 2, ry / 2, scaled_u.get(), rw / 2, rw / 2, rh / 2, false,
              0, 0);
    CopyPlane(cv, chroma_w, chroma_h, rx / 2, ry / 2, scaled_v.get(), rw / 2, rw / 2, rh / 2, false,
              0, 0);
    return;
  }

  const bool cutout = cutout_enabled && drawlimit_y >= 1 && drawlimit_x >= 1 && drawlimit_x > rx;
  // The band is at most the picture's own size; a far position makes it
  // empty or whole, never wraps.
  const auto band = [](int64_t limit, int64_t from, int32_t size) {
    return static_cast<int32_t>(std::clamp<int64_t>(limit - from, 0, size));
  };
  int32_t band_rows = cutout ? band(drawlimit_y, ry, rh) : 0;
  int32_t band_width = cutout ? band(drawlimit_x, rx, rw) : 0;
  CopyPlane(cy, cw, canvas_h, rx, ry, scaled_y.get(), rw, rw, rh, true, band_rows, band_width);
  if (cutout) {
    if (cw < drawlimit_x) {
      PLN_LOG_ERROR("_Plenova_ 画中画的小画面边界设置不正确");
      drawlimit_x = rw * 3 / 4;
    }
    if (canvas_h < drawlimit_y) {
      PLN_LOG_ERROR("_Plenova_ 画中画的小画面边界设置不正确");
      drawlimit_y = canvas_h * 3 / 4;
    }
    band_rows = band(drawlimit_y, ry, rh) / 2;
    band_width = band(drawlimit_x, rx, rw) / 2;
  }
  CopyPlane(cu, chroma_w, chroma_h, rx / 2, ry / 2, scaled_u.get(), rw / 2, rw / 2, rh / 2, true,
            band_rows, band_width);
  CopyPlane(cv, chroma_w, chroma_h, rx / 2, ry / 2, scaled_v.get(), rw / 2, rw / 2, rh / 2, true,
            band_rows, band_width);
}

void FFmpeg_Sws_cale::FillBackground(int mode, uint8_t* buffer, int32_t w, int32_t h) {
  if (buffer == nullptr || w < 1 || h < 1) return;
  uint8_t y = 0, u = 0, v = 0;
  switch (mode) {
    case kBackgroundBlack:
      y = 16;
      u = 128;
      v = 128;
      break;
    case kBackgroundZero: break;
    case kBackgroundYellow:
      y = 210;
      u = 16;
      v = 146;
      break;
    default: return;
  }
  const size_t luma = static_cast<size_t>(w) * h;
  std::memset(buffer, y, luma);
  std::memset(buffer + luma, u, luma / 4);
  std::memset(buffer + luma * 5 / 4, v, luma / 4);
}

}  // namespace plenova
