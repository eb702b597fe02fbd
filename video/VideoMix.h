#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "common/StreamStatistics.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "sync/MediaTimeline.h"
#include "video/FFmpeg_Sws_cale.h"
#include "video/IVideoMix.h"
#include "video/ManageInUseBuffer_ForVideoMix.h"
#include "video/VideoEncodeBuffer.h"
#include "video/VideoMixStreamInfo.h"

namespace plenova {

class MemoryPool;

// One slot of the stream or picture table.
struct VideoMixStreamSlot {
  std::unique_ptr<ManageInUseBuffer_ForVideoMix>
      m_ManageInUseBuffer;  // queued frames (streams only)
  std::unique_ptr<FFmpeg_Sws_cale> scaler;
  int32_t source_h = 0;
  int32_t source_w = 0;
  Rect target;                          // on the canvas
  bool iswork = false;                  // in the current layout and painted
  bool streamExist = false;             // the slot holds a stream
  std::optional<std::string> streamId;  // none in a free slot and for pictures
  int32_t fps = 0;
  int32_t videoType = 0;
  TimelineStream clock;     // the stream's place on the media timeline
  bool hasShown = false;    // a frame of the stream has been painted
  uint64_t shownStamp = 0;  // output stamp of that frame
  StreamCounters counters;
};

// Counts of what happened to the frames and canvases, for statistics. Any
// thread reads.
struct VideoMixCounters {
  std::atomic<uint64_t> accepted{0};         // frames queued
  std::atomic<uint64_t> refused{0};          // frames refused (no slot)
  std::atomic<uint64_t> droppedLate{0};      // frames older than what was already shown
  std::atomic<uint64_t> droppedFull{0};      // frames lost to a full queue
  std::atomic<uint64_t> skipped{0};          // frames a newer due frame replaced before they showed
  std::atomic<uint64_t> composed{0};         // canvases handed on
  std::atomic<uint64_t> canvasesSkipped{0};  // canvases given up to catch up with the timeline
};

// The compositor: per-stream input queues keyed by stream id, size and rate,
// the picture slots, and the thread that paints one canvas for every 40 ms
// of the meeting's media timeline (streams in slot order, then pictures on
// top), hands it to the client's canvas callback and a stamped copy to the
// encoder input buffer. Each canvas at output time T shows, for every
// stream, the newest frame stamped at or before T; a stream without one
// keeps its last picture. Frames are placed by their own stamps, so a
// stream at any rate, late or in bursts, lands where its stamps say.
//
// Client threads push frames, the layout thread initialises and updates the
// tables, the compositing thread paints. A push takes only the queue lock
// (m_mutex), which a paint does not hold; the paint holds the layout lock
// (m_layoutMutex), so the layout waits for it.
class VideoMix {
 public:
  static constexpr int kMaxStreams = 20;
  static constexpr int kMaxPictures = 20;
  static constexpr int32_t kOutputRate = 25;
  static constexpr uint64_t kStampRate = 90000;
  static constexpr uint64_t kCanvasTicks = kStampRate / kOutputRate;
  // What the step asks for while no frame has anchored the timeline; the
  // thread then waits for the anchoring (or a stop) to wake it instead.
  static constexpr uint32_t kIdleSleepMs = 20;
  // Sleep per cycle while no layout has set the rate: nothing can be output.
  static constexpr uint32_t kZeroRateSleepMs = 40;
  // Longest single sleep, so that a stop is seen soon.
  static constexpr uint32_t kMaxSleepMs = 100;
  // Further behind than this, the compositor skips to the present instead
  // of composing every missed canvas.
  static constexpr int64_t kMaxCatchUpMs = 1000;

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
  // the mixer's locks; the bytes are valid during the call only. False, with
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
  // a count below 1 is refused and changes nothing. Layout thread; waits
  // for a paint in progress.
  void UpdataVideoStreamInfo(const VideoMixStreamInfo* list, int32_t count);

  // The meeting's timeline (borrowed; outlives the mixer). Before the
  // thread starts.
  void SetTimeline(MediaTimeline* timeline);

  // Places one frame on the timeline by its stamp and queues it. A frame
  // older than what its stream already showed is dropped (a dropped frame
  // goes back to its pool). A frame of an unknown stream opens a hidden slot
  // that is not painted. False for a record without a frame or stream id,
  // or when no slot is free. Client threads; takes the queue lock only, so
  // it never waits for a paint.
  bool PushYuvBeforeMixedData(VideoMixFrame frame);

  // Registers list element i in picture slot i (at most 20); the slots are
  // painted once an update confirms them. Layout thread.
  bool PictureMixInit(const VideoMixStreamInfo* list, int32_t count, int32_t canvas_w,
                      int32_t canvas_h);

  // Replaces the picture layout, blanks the canvas and enables pictures when
  // `count` is not 0. A null list or a negative count is refused. Layout
  // thread; waits for a paint in progress.
  void UpdataPictureStreamInfo(const VideoMixStreamInfo* list, int32_t count);

  // Starts the compositing thread; false when it already runs. Frames
  // queued before are dropped: the timeline is anchored anew.
  bool start();
  // Stops and joins the compositing thread; harmless when it is not running.
  void stop();
  bool running() const { return m_run.load(std::memory_order_relaxed); }

  // The thread body: steps while the run flag is set, sleeping through the
  // installed clock between steps. Returns 0.
  static int VideoMixThreadFunc(VideoMix* mix);

  // One cycle of the compositing thread at clock time `now` (ms): composes
  // the next canvas when its time on the timeline is due. Returns the
  // milliseconds to sleep before the next cycle.
  uint32_t VideoMixStep(uint32_t now);

  // Composes one canvas stamped `stamp` (output time). Compositing thread.
  void GetMixedData(uint64_t stamp);

  // Runs `hook` on the compositing thread at the start of every paint, after
  // the tick's frames are taken: layout changes wait for it to return,
  // pushes do not. For tests that hold a paint open; null removes it.
  void SetPaintHook(std::function<void()> hook);

  // Inspection for the owner and for tests.
  int32_t rate() const { return m_rate.load(std::memory_order_relaxed); }
  // Stamp of the next canvas.
  uint64_t next_stamp();
  const VideoMixCounters& Counters() const { return m_counters; }
  // Every stream in the table with its counters, under the queue lock.
  std::vector<StreamStatistics> StreamStatisticsSnapshot();
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
  // What a paint reads of one stream slot, copied under the queue lock
  // together with the tick's frame: a push may open a hidden slot while the
  // paint runs.
  struct PaintWindow {
    PoolBufferPtr frame;                // the tick's new frame, or none
    FFmpeg_Sws_cale* scaler = nullptr;  // the slot's; the layout lock keeps it alive
    int32_t source_w = 0;
    int32_t source_h = 0;
    Rect target;
    int32_t videoType = 0;
    bool iswork = false;
  };
  using PaintWindows = std::array<PaintWindow, kMaxStreams>;

  // Takes, for every stream slot, the newest frame due by `stamp` and copies
  // what the paint needs. Compositing thread, under both locks.
  void TakeWindowsLocked(uint64_t stamp, PaintWindows* windows);
  // Paints one tick: each window's new frame (or its last picture when it
  // must be painted again), then the pictures when enabled. Compositing
  // thread, under the layout lock only.
  void PaintLocked(const PaintWindows& windows);
  void LogBufferStatistics();
  void LogZeroRate();
  std::unique_ptr<ManageInUseBuffer_ForVideoMix> MakeQueueLocked();
  void EnsureClockLocked(VideoMixStreamSlot& slot);
  // Starts the canvas grid at `origin` for anchoring `epoch`.
  void AdoptEpochLocked(uint64_t epoch, uint64_t origin);

  // Lock order: m_layoutMutex, then m_mutex, then a stream queue's and the
  // pool's own mutexes.
  //
  // The layout lock. Guards the canvas and its size, the state of every
  // scaler, the picture table, the picture-enabled and redraw flags, the
  // encoder buffer, the callback and the paint hook. A stream slot's
  // placement and its scaler change only under both locks (a push fills a
  // free slot's id, size and rate and gives it a new scaler under the queue
  // lock alone, and the paint reads slots only through the copy taken under
  // it). Taken by the layout thread (init and updates; a stream update then
  // takes m_mutex as well), by the compositing thread for one whole paint
  // and the canvas copy that follows, and by CanvasCopy. Client threads
  // never take it.
  platform::Mutex m_layoutMutex;
  std::array<VideoMixStreamSlot, kMaxPictures> m_pictureinfo;
  std::vector<uint8_t> m_mixedbuf;
  int32_t m_mixedsize = 0;
  int32_t m_canvas_w = 0;
  int32_t m_canvas_h = 0;
  VideoEncodeBuffer* m_encodebuffer = nullptr;  // borrowed; outlives the mixer
  PlenovaCanvasCallback m_callback = nullptr;
  std::function<void()> m_paint_hook;
  bool m_picture_enabled = false;
  bool m_redraw_pending = false;  // the canvas was blanked outside a tick

  // The queue lock. Guards the stream table (ids, sizes, rates, queues,
  // scaler pointers, clocks, shown stamps, counters), m_streaminfo_old, the
  // timeline pointer and the canvas grid. Taken by client threads (find the
  // slot, queue the frame), the layout thread (inside the layout lock), the
  // compositing thread (the grid, and taking a tick's frames; never during
  // the paint) and the inspection calls. Held only for short steps; the
  // longest is a stream layout update, which sets up its scalers under it.
  platform::Mutex m_mutex;
  std::array<VideoMixStreamSlot, kMaxStreams> m_streaminfo_current;
  std::array<VideoMixStreamInfo, kMaxStreams> m_streaminfo_old{};
  // Written under both locks (init), read under either.
  MemoryPool* m_pool = nullptr;  // borrowed; outlives the mixer

  MediaTimeline* m_timeline = nullptr;  // borrowed; outlives the mixer
  // The canvas grid: canvas n of anchoring m_epoch is stamped m_origin +
  // n x kCanvasTicks; m_composed is the stamp of the last canvas composed.
  bool m_hasEpoch = false;
  uint64_t m_epoch = 0;
  uint64_t m_origin = 0;
  uint64_t m_canvasIndex = 0;
  std::optional<uint64_t> m_composed;

  // Written by layout updates, read by the compositing thread.
  std::atomic<int32_t> m_rate{0};
  std::atomic<bool> m_run{false};

  // Compositing thread only (or the test driving the step).
  uint64_t m_tickcount = 0;
  uint64_t m_zero_rate_count = 0;
  uint64_t m_lost_canvases = 0;
  VideoMixCounters m_counters;

  // Set by the timeline when a frame anchors it, and by stop().
  platform::Event m_wake;
  platform::Thread m_thread;
};

}  // namespace plenova
