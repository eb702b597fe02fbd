#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/Rect.h"
#include "platform/DynamicLibrary.h"

struct SwsContext;

namespace plenova {

// Scales one I420 picture into its rectangle of an I420 canvas through
// libswscale (loaded at run time, never linked). It decides how the source is
// fitted (letterbox for videoType 1, centred crop otherwise), keeps the scaled
// picture in its own buffers and copies it onto the canvas, leaving an
// optional cut-out free for an inset window. Not thread-safe: the owning
// mixer serialises every call under its layout lock.
class FFmpeg_Sws_cale {
 public:
  // Background colours of FillBackground.
  static constexpr int kBackgroundBlack = 1;
  static constexpr int kBackgroundZero = 2;
  static constexpr int kBackgroundYellow = 3;

  // Orientation of a frame's rows (the `extra` word of its block).
  static constexpr uint32_t kTopDown = 0;
  static constexpr uint32_t kBottomUp = 2;

  // The libswscale shared object of the installed FFmpeg, by its versioned
  // file name ("libswscale.so.N").
  static std::string DefaultLibraryName();

  // Loads `library_file` and resolves the three entry points; a failure is
  // logged and leaves an object that never paints.
  FFmpeg_Sws_cale();
  explicit FFmpeg_Sws_cale(const std::string& library_file);
  ~FFmpeg_Sws_cale();
  FFmpeg_Sws_cale(const FFmpeg_Sws_cale&) = delete;
  FFmpeg_Sws_cale& operator=(const FFmpeg_Sws_cale&) = delete;

  // Geometry of a stream slot (init) or a picture slot (Pictureinit, which
  // does not check videoType): a src_w x src_h source into `target` on a
  // cvs_w x cvs_h canvas. Invalid values are logged and change nothing.
  void init(int32_t src_w, int32_t src_h, const Rect& target, int32_t cvs_w, int32_t cvs_h,
            int32_t videoType);
  void Pictureinit(int32_t src_w, int32_t src_h, const Rect& target, int32_t cvs_w, int32_t cvs_h,
                   int32_t videoType);

  // Cut-out bounds on the canvas: the part of the painted rectangle right of
  // `x` and above `y` is left alone when a bottom-up frame is painted.
  // Negative bounds are refused.
  void SetDrawLimitParam(int32_t x, int32_t y, bool enable);

  // Creates the scaling context (I420 to I420, bicubic) unless one exists.
  void CreateSws(int32_t src_w, int32_t src_h, int32_t dst_w, int32_t dst_h);

  // Computes the painted rectangle and the crop region from the geometry.
  void CallEqualProPorTionFunction(int32_t videoType);

  // Scales `source` (an I420 picture of sw x sh; read only within it) and
  // paints it onto `canvas` (canvas_w x canvas_h I420). The first call blanks
  // the whole canvas; a change of source or target size rebuilds the context
  // and blanks it again. Nothing outside the canvas is ever written.
  void ScaleAndDraw(const uint8_t* source, uint8_t* canvas, int32_t sw, int32_t sh,
                    const Rect& target, int32_t videoType, uint32_t orientation);

  // ScaleAndDraw in steps, for an owner painting several slots onto one
  // canvas: PrepareDraw applies a first paint or a size change and returns
  // whether the canvas must be blanked before anything is painted on it;
  // Draw then scales `source` (read as PrepareDraw's sw x sh) and paints it.
  bool PrepareDraw(int32_t sw, int32_t sh, const Rect& target, int32_t videoType);
  void Draw(const uint8_t* source, uint8_t* canvas, int32_t videoType, uint32_t orientation);

  // Paints the last scaled picture again (after the canvas was blanked);
  // nothing when there is none since the last rebuild.
  void Redraw(uint8_t* canvas);

  // Rebuilds for new sizes; true when it did. A new position alone moves the
  // painted rectangle without rebuilding or blanking.
  bool ResetIfChanged(int32_t sw, int32_t sh, const Rect& target, int32_t videoType);

  // Copies the scaled picture into the canvas, clipped to the canvas.
  void MapImage(uint8_t* canvas, uint32_t orientation);

  // Fills a whole w x h I420 picture with the colour of `mode`; unknown
  // modes write nothing.
  static void FillBackground(int mode, uint8_t* buffer, int32_t w, int32_t h);

  bool HasContext() const { return context_ != nullptr; }
  // Whether a scaled picture for the current geometry is kept for Redraw.
  bool HasPicture() const { return has_picture_; }
  int32_t canvas_width() const { return canvas_w; }
  int32_t canvas_height() const { return canvas_h; }
  // The rectangle of the canvas the scaled picture covers (before clipping).
  const Rect& placed() const { return m_real_target; }
  int32_t crop_width() const { return crop_w; }
  int32_t crop_height() const { return crop_h; }
  int32_t draw_limit_x() const { return drawlimit_x; }
  int32_t draw_limit_y() const { return drawlimit_y; }

 private:
  using GetContextFn = SwsContext* (*)(int, int, int, int, int, int, int, void*, void*,
                                       const double*);
  using FreeContextFn = void (*)(SwsContext*);
  using ScaleFn = int (*)(SwsContext*, const uint8_t* const[], const int[], int, int,
                          uint8_t* const[], const int[]);

  bool SetUp(const char* function, int32_t src_w, int32_t src_h, const Rect& target, int32_t cvs_w,
             int32_t cvs_h, int32_t videoType);
  // Stores new sizes and position, then rebuilds buffers, placement and
  // context.
  void Rebuild(int32_t sw, int32_t sh, const Rect& target, int32_t videoType);
  void BuildScaler(int32_t videoType);
  void AllocateScaled();
  void FreeContext();

  int32_t m_src_w = 0;
  int32_t m_src_h = 0;
  Rect m_target;  // the slot's rectangle as the layout gives it
  int32_t drawlimit_x = 0;
  int32_t drawlimit_y = 0;
  bool cutout_enabled = false;
  int32_t canvas_w = 0;
  int32_t canvas_h = 0;
  Rect m_real_target;  // the part of m_target the picture covers (letterbox)
  int32_t crop_w = 0;
  int32_t crop_h = 0;
  SwsContext* context_ = nullptr;
  int background_mode = kBackgroundBlack;
  std::unique_ptr<uint8_t[]> scaled_y;
  std::unique_ptr<uint8_t[]> scaled_u;
  std::unique_ptr<uint8_t[]> scaled_v;
  platform::DynamicLibrary library_;
  GetContextFn sws_getContext_ = nullptr;
  FreeContextFn sws_freeContext_ = nullptr;
  ScaleFn sws_scale_ = nullptr;
  bool first_draw = true;
  bool has_picture_ = false;  // the scaled buffers hold a picture for this geometry
  uint32_t last_orientation_ = kTopDown;
};

}  // namespace plenova
