#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "video/FFmpeg_Sws_cale.h"
#include "video/IVideoMix.h"
#include "video/ManageInUseBuffer_ForVideoMix.h"
#include "video/VideoEncodeBuffer.h"
#include "video/VideoMixStreamInfo.h"

namespace plenova {

class MemoryPool;

// One slot of the stream or picture table.
struct VideoMixStreamSlot {
  std::unique_ptr<ManageInUseBuffer_ForVideoMix> m_ManageInUseBuffer;  // queued frames (streams only)
  std::unique_ptr<FFmpeg_Sws_cale> scaler;
  int32_t target_h = 0;
  int32_t target_w = 0;
  int32_t source_h = 0;
  int32_t source_w = 0;
  int32_t x_position = 0;
  int32_t y_position = 0;
  bool iswork = false;       // in the current layout and painted
  bool streamExist = false;  // the slot holds a stream
  std::optional<std::string> streamId;  // none in a free slot and for pictures
  int32_t fps = 0;
  int32_t videoType = 0;
};

// The compositor: per-stream input queues keyed by stream id, size and rate,
// the picture slots, and the thread that paints one canvas every 40 ms
// (streams in slot order, then pictures on top), hands it to the client's
// canvas callback and a stamped copy to the encoder input buffer.
//
// Client threads push frames, the layout thread initialises and updates the
// tables, the compositing thread paints; all three meet under m_mutex.
class VideoMix {
 public:
  static constexpr int kMaxStreams = 20;
  static constexpr int kMaxPictures = 20;
  static constexpr int32_t kOutputRate = 25;
  static constexpr uint64_t kStampRate = 90000;
  // Sleep between probes while no frame has come yet: an idle engine wakes
  // rarely, and the first canvas comes at most this late.
  static constexpr uint32_t kIdleSleepMs = 20;
  // Sleep per cycle while no layout has set the rate: nothing can be output.
  static constexpr uint32_t kZeroRateSleepMs = 40;
  // Longest single wait of the pacing; longer waits are taken in pieces.
  static constexpr uint32_t kLongWaitMs = 500;
  static constexpr uint32_t kLongWaitStepMs = 50;

  struct ProbeResult {
    uint64_t stamp = 0;
    bool found = false;
  };

  VideoMix();
  // Stops the thread if it still runs, then frees the canvas, every slot and
  // every queued frame.
  ~VideoMix();
  VideoMix(const VideoMix&) = delete;
  VideoMix& operator=(const VideoMix&) = delete;

  // Sets up the canvas (canvas_w x canvas_h I420) and registers list element
  // i in slot i (at most 20; more are cut with a log line). Registered
  // streams are painted only once a layout update confirms them. `pool` and
  // `encodeBuffer` are borrowed and must outlive the mixer. `callback` (may
  // be null) gets each finished canvas on the compositing thread, outside
  // the mixer's lock; the bytes are valid during the call only. False, with
  // nothing changed, on a null pointer, a count below 1 or a canvas size
  // below 1. Layout thread, before the thread starts.
  bool VideoMixInit(const VideoMixStreamInfo* list, int32_t count, MemoryPool* pool,
                    VideoEncodeBuffer* encodeBuffer, int32_t canvas_w, int32_t canvas_h,
                    PlenovaCanvasCallback callback);
  void VideoMixUnint();

  // Replaces the layout: listed streams become active (a stream whose
  // geometry, rate or videoType changed moves to a new slot), unlisted ones
  // are removed with their queued frames and remembered until the next
  // update so that their late frames are quietly given back. A null list or
  // a count below 1 is refused and changes nothing. Layout thread.
  void UpdataVideoStreamInfo(const VideoMixStreamInfo* list, int32_t count);

  // Queues one frame (ownership passes with the call, whatever the result).
  // A frame of an unknown stream opens a hidden slot that is not painted.
  // False for a null record or when no slot is free (the frame then goes
  // back to the pool). Client threads.
  bool PushYuvBeforeMixedData(const VideoMixFrame* frame);

  // Registers list element i in picture slot i (at most 20); the slots are
  // painted once an update confirms them. Layout thread.
  bool PictureMixInit(const VideoMixStreamInfo* list, int32_t count, int32_t canvas_w,
                      int32_t canvas_h);

  // Replaces the picture layout, blanks the canvas and enables pictures when
  // `count` is not 0. A null list or a negative count is refused. Layout
  // thread.
  void UpdataPictureStreamInfo(const VideoMixStreamInfo* list, int32_t count);

  // Starts the compositing thread; false when it already runs.
  bool start();
  // Stops and joins the compositing thread; harmless when it is not running.
  void stop();
  bool running() const { return m_run.load(std::memory_order_relaxed); }

  // The thread body: steps while the run flag is set, sleeping through the
  // installed clock between steps. Returns 0.
  static int VideoMixThreadFunc(VideoMix* mix);

  // One cycle of the compositing thread at clock time `now` (ms): probe for
  // the first frame, restart the schedule after a resync, or compose one
  // canvas. Returns the milliseconds to sleep before the next cycle.
  uint32_t VideoMixStep(uint32_t now);

  // Composes one canvas stamped `stamp` (probe false) or looks for the
  // oldest queued stamp without taking anything (probe true). Compositing
  // thread.
  ProbeResult GetMixedData(uint64_t stamp, bool probe);

  // Milliseconds to wait at `now` for canvas `count` of a schedule started
  // at `start` (32-bit clock values, wrap-safe); waits beyond 500 ms are cut
  // to 50 ms. 0 when due or when `rate` is 0.
  static uint32_t VideoMixPace(uint32_t start, uint32_t now, uint64_t count, int32_t rate);

  // Inspection for the owner and for tests.
  int32_t rate() const { return m_rate.load(std::memory_order_relaxed); }
  uint64_t next_stamp() const { return m_nextstamp; }
  // Frames queued for the stream with these values (-1 when no slot has it).
  int QueuedFrames(const char* streamId, int32_t width, int32_t height, int32_t fps);
  // Whether such a stream is painted when it has a frame.
  bool IsStreamActive(const char* streamId, int32_t width, int32_t height, int32_t fps);
  // A copy of the canvas.
  std::vector<uint8_t> CanvasCopy();

 private:
  struct CutOut {
    int32_t x = 0;
    int32_t y = 0;
    bool found = false;
  };

  bool CheckStreamInfoExist(const VideoMixStreamInfo* list, int32_t count);
  bool CheckPictureInfoExist(const VideoMixStreamInfo* list, int32_t count);
  CutOut CalcCutOutPosition(int index);
  void ApplyCutOuts();
  void PrintStreamInfo();
  void LogSlot(int index);
  int FindSlotLocked(const char* streamId, int32_t width, int32_t height, int32_t fps);
  bool IsPaintable(const VideoMixStreamSlot& slot) const;
  bool PaintsOnCanvas(const FFmpeg_Sws_cale& scaler) const;
  void ClearStreamSlot(VideoMixStreamSlot& slot);
  // Paints one tick: `frames[i]` (or nothing) for stream slot i, then the
  // pictures when enabled.
  void PaintLocked(const std::array<PoolBuffer*, kMaxStreams>& frames);
  void LogBufferStatistics();
  void Advance(int32_t rate);
  uint32_t Pace(int32_t rate);
  void LogZeroRate();

  // Guards the tables, m_streaminfo_old, the canvas and its size, the pool,
  // encoder buffer and callback, and the picture-enabled flag. Taken by the
  // layout thread (init, updates), client threads (push) and the compositing
  // thread (one tick or probe). Stream queues' and the pool's mutexes nest
  // inside it.
  platform::Mutex m_mutex;
  std::array<VideoMixStreamSlot, kMaxStreams> m_streaminfo_current;
  std::array<VideoMixStreamInfo, kMaxStreams> m_streaminfo_old{};
  std::array<VideoMixStreamSlot, kMaxPictures> m_pictureinfo;
  std::vector<uint8_t> m_mixedbuf;
  int32_t m_mixedsize = 0;
  int32_t m_canvas_w = 0;
  int32_t m_canvas_h = 0;
  MemoryPool* m_pool = nullptr;                   // borrowed; outlives the mixer
  VideoEncodeBuffer* m_encodebuffer = nullptr;    // borrowed; outlives the mixer
  PlenovaCanvasCallback m_callback = nullptr;
  bool m_picture_enabled = false;
  bool m_redraw_pending = false;  // the canvas was blanked outside a tick

  // Written by layout updates, read by the compositing thread.
  std::atomic<int32_t> m_rate{0};
  std::atomic<bool> m_resync{true};
  std::atomic<bool> m_run{false};

  // Pacing state; compositing thread only (or the test driving the step).
  uint64_t m_nextstamp = 0;
  uint64_t m_basestamp = 0;
  uint32_t m_starttime = 0;
  uint32_t m_currenttime = 0;
  uint64_t m_framecount = 0;
  uint64_t m_tickcount = 0;
  uint64_t m_laststamp = 0;
  uint64_t m_zero_rate_count = 0;
  uint64_t m_lost_canvases = 0;

  platform::Thread m_thread;
};

}  // namespace plenova
