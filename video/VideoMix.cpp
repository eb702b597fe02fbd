#include "video/VideoMix.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <span>
#include <utility>

#include "common/LatencyStats.h"
#include "common/MemoryPool.h"
#include "common/StreamTable.h"
#include "log/PlenovaLog.h"
#include "platform/Clock.h"
#include "video/CameraOffPicture.h"

namespace plenova {
namespace {

const char* BoolText(bool value) { return value ? "true" : "false"; }

bool SameId(const std::optional<std::string>& id, const char* other) {
  return id.has_value() && other != nullptr && *id == other;
}

bool SameGeometry(const VideoMixStreamSlot& slot, const VideoMixStreamInfo& info) {
  return slot.target == info.target && slot.source_h == info.source_h &&
         slot.source_w == info.source_w && slot.fps == info.fps && slot.videoType == info.videoType;
}

void StorePlacement(VideoMixStreamSlot& slot, const VideoMixStreamInfo& info) {
  slot.target = info.target;
  slot.videoType = info.videoType;
}

void StoreAll(VideoMixStreamSlot& slot, const VideoMixStreamInfo& info) {
  StorePlacement(slot, info);
  slot.source_h = info.source_h;
  slot.source_w = info.source_w;
  slot.fps = info.fps;
}

// A NUL-terminated copy of an id held in a fixed-size element.
std::string IdOf(const VideoMixStreamInfo& info) {
  return std::string(info.streamId, strnlen(info.streamId, VideoMixStreamInfo::kStreamIdSize - 1));
}

void SetId(VideoMixStreamInfo& info, const std::string& id) {
  const size_t n = std::min(id.size(), static_cast<size_t>(VideoMixStreamInfo::kStreamIdSize - 1));
  std::memcpy(info.streamId, id.data(), n);
  info.streamId[n] = '\0';
}

bool IsFreeOld(const VideoMixStreamInfo& info) {
  return info.source_h == 0 && info.target.h == 0 && info.target.x == 0 && info.target.w == 0;
}

// Cuts a layout count at the table size, with a log line.
int32_t CapCount(int32_t count, int32_t limit, const char* function) {
  if (count <= limit) return count;
  PLN_RAW_ERROR(
      "File:%s,Line=%05d  Function: %s _Plenova_ stream count %d is more than %d, the rest is ignored",
      "VideoMix", __LINE__, function, count, limit);
  return limit;
}

}  // namespace

VideoMix::VideoMix() = default;

VideoMix::~VideoMix() {
  stop();
  platform::MutexLock lock(m_layoutMutex);
  m_mixedbuf.clear();
  m_mixedbuf.shrink_to_fit();
}

bool VideoMix::VideoMixInit(const VideoMixStreamInfo* list, int32_t count, MemoryPool* pool,
                            VideoEncodeBuffer* encodeBuffer, int32_t canvas_w, int32_t canvas_h,
                            PlenovaCanvasCallback callback) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  if (list == nullptr || pool == nullptr || encodeBuffer == nullptr || canvas_h < 1 ||
      canvas_w < 1 || count < 1 || int64_t{canvas_w} * canvas_h * 3 / 2 > INT32_MAX) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish ");
    return false;
  }
  count = CapCount(count, kMaxStreams, "VideoMix::VideoMixInit");

  platform::MutexLock layout_lock(m_layoutMutex);
  platform::MutexLock lock(m_mutex);
  m_callback = callback;
  m_encodebuffer = encodeBuffer;
  m_pool = pool;
  m_canvas_h = canvas_h;
  m_canvas_w = canvas_w;
  m_mixedsize = canvas_w * canvas_h * 3 / 2;
  m_mixedbuf.assign(static_cast<size_t>(m_mixedsize), 0);
  // Black until the first paint, so that a canvas with nothing painted on it
  // is not green.
  FFmpeg_Sws_cale::FillBackground(FFmpeg_Sws_cale::kBackgroundBlack, m_mixedbuf.data(), canvas_w,
                                  canvas_h);

  for (int32_t i = 0; i < count; ++i) {
    const VideoMixStreamInfo& info = list[i];
    VideoMixStreamSlot& slot = m_streaminfo_current[i];
    const std::string id = IdOf(info);
    // Frames queued for another stream must not be painted with this one's
    // geometry.
    if (slot.m_ManageInUseBuffer &&
        (!SameId(slot.streamId, id.c_str()) || slot.source_w != info.source_w ||
         slot.source_h != info.source_h || slot.fps != info.fps)) {
      slot.m_ManageInUseBuffer.reset();
    }
    if (!SameId(slot.streamId, id.c_str())) slot.clock = TimelineStream();
    slot.iswork = false;
    slot.streamExist = true;
    StoreAll(slot, info);
    slot.streamId = id;
    EnsureClockLocked(slot);
    if (!slot.scaler) slot.scaler = std::make_unique<FFmpeg_Sws_cale>();
    if (!slot.m_ManageInUseBuffer) slot.m_ManageInUseBuffer = MakeQueueLocked();
    slot.scaler->init(info.source_w, info.source_h, info.target, canvas_w, canvas_h,
                      info.videoType);
  }
  ApplyCutOuts();
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

void VideoMix::VideoMixUnint() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

void VideoMix::UpdataVideoStreamInfo(const VideoMixStreamInfo* list, int32_t count) {
  if (list == nullptr || count < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    return;
  }
  count = CapCount(count, kMaxStreams, "VideoMix::UpdataVideoStreamInfo");
  platform::MutexLock layout_lock(m_layoutMutex);
  platform::MutexLock lock(m_mutex);
  CheckStreamInfoExist(list, count);
  // The canvas rate is fixed whatever the streams declare; a layout change
  // never touches the canvas grid.
  m_rate.store(kOutputRate);
}

bool VideoMix::IsPaintable(const VideoMixStreamSlot& slot) const {
  return slot.iswork && slot.streamExist && slot.m_ManageInUseBuffer && slot.scaler &&
         slot.streamId.has_value() && slot.source_h >= 1 && slot.target.h >= 1;
}

void VideoMix::ClearStreamSlot(VideoMixStreamSlot& slot) {
  slot.iswork = false;
  slot.m_ManageInUseBuffer.reset();
  slot.scaler.reset();
  slot.source_h = slot.source_w = slot.fps = slot.videoType = 0;
  slot.target = Rect{};
  slot.streamExist = false;
  slot.streamId.reset();
  slot.clock = TimelineStream();
  slot.hasShown = false;
  slot.counters = StreamCounters{};
}

std::unique_ptr<ManageInUseBuffer_ForVideoMix> VideoMix::MakeQueueLocked() {
  return std::make_unique<ManageInUseBuffer_ForVideoMix>(this);
}

void VideoMix::EnsureClockLocked(VideoMixStreamSlot& slot) {
  if (!slot.clock.valid() && m_timeline != nullptr && slot.streamId) {
    slot.clock = TimelineStream(m_timeline, *slot.streamId);
  }
}

void VideoMix::SetTimeline(MediaTimeline* timeline) {
  platform::MutexLock lock(m_mutex);
  m_timeline = timeline;
  for (VideoMixStreamSlot& slot : m_streaminfo_current) EnsureClockLocked(slot);
}

void VideoMix::AdoptEpochLocked(uint64_t epoch, uint64_t origin) {
  m_hasEpoch = true;
  m_epoch = epoch;
  m_origin = origin;
  m_canvasIndex = 0;
  m_composed.reset();
  for (VideoMixStreamSlot& slot : m_streaminfo_current) {
    if (slot.m_ManageInUseBuffer) slot.m_ManageInUseBuffer->Clear();
    slot.hasShown = false;
  }
}

uint64_t VideoMix::next_stamp() {
  platform::MutexLock lock(m_mutex);
  return m_origin + m_canvasIndex * kCanvasTicks;
}

bool VideoMix::CheckStreamInfoExist(const VideoMixStreamInfo* list, int32_t count) {
  const std::span<const VideoMixStreamInfo> entries(list, static_cast<size_t>(count));
  for (const VideoMixStreamInfo& info : entries) {
    if (info.source_w % 2 != 0 || info.source_h % 2 != 0) {
      PLN_LOG_ERROR("_Plenova_ stream %s has an odd size %dx%d and is not painted",
                    IdOf(info).c_str(), info.source_w, info.source_h);
    }
  }
  const auto same = [](const VideoMixStreamSlot& slot, const VideoMixStreamInfo& info) {
    return SameId(slot.streamId, IdOf(info).c_str()) && SameGeometry(slot, info);
  };
  const auto isFree = [](const VideoMixStreamSlot& slot) {
    return !slot.streamId && slot.source_h == 0;
  };
  const auto keep = [this](VideoMixStreamSlot& slot, const VideoMixStreamInfo& info) {
    const int32_t previous_target_h = slot.target.h;
    slot.iswork = true;
    StorePlacement(slot, info);
    if (previous_target_h < 1 && slot.scaler) {
      slot.scaler->init(info.source_w, info.source_h, info.target, m_canvas_w, m_canvas_h,
                        info.videoType);
    }
  };
  const auto take = [this](VideoMixStreamSlot& slot, const VideoMixStreamInfo& info) {
    if (!slot.m_ManageInUseBuffer) slot.m_ManageInUseBuffer = MakeQueueLocked();
    if (!slot.scaler) slot.scaler = std::make_unique<FFmpeg_Sws_cale>();
    slot.scaler->init(info.source_w, info.source_h, info.target, m_canvas_w, m_canvas_h,
                      info.videoType);
    slot.iswork = true;
    StoreAll(slot, info);
    slot.streamId = IdOf(info);
    EnsureClockLocked(slot);
  };
  const auto holds = [](const VideoMixStreamSlot& slot) {
    return slot.source_h >= 1 && slot.streamId.has_value() && slot.fps >= 1;
  };
  const auto retire = [this](VideoMixStreamInfo& old, VideoMixStreamSlot& slot) {
    if (slot.streamId->empty()) {
      PLN_LOG_ERROR("'s streamId is error");
      return false;
    }
    old.target = slot.target;
    old.source_h = slot.source_h;
    old.source_w = slot.source_w;
    old.fps = slot.fps;
    old.videoType = slot.videoType;
    SetId(old, *slot.streamId);
    ClearStreamSlot(slot);
    return true;
  };
  StreamTableOps ops{same, isFree, keep, take, holds, retire};
  switch (ApplyLayout(m_streaminfo_current, m_streaminfo_old, entries, ops)) {
    case StreamTableUpdate::kDone: break;
    case StreamTableUpdate::kNoFreeSlot:
      PLN_LOG_ERROR("'s stream count Overflowed，Updata Error");
      return false;
    case StreamTableUpdate::kRetireRefused: return false;
  }
  ApplyCutOuts();
  PrintStreamInfo();
  return true;
}

void VideoMix::ApplyCutOuts() {
  for (int i = 0; i < kMaxStreams; ++i) {
    if (!IsPaintable(m_streaminfo_current[i])) continue;
    const CutOut cut = CalcCutOutPosition(i);
    m_streaminfo_current[i].scaler->SetDrawLimitParam(cut.x, cut.y, cut.found);
  }
}

void VideoMix::LogSlot(int i) {
  const VideoMixStreamSlot& s = m_streaminfo_current[i];
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].iswork=%s", i, BoolText(s.iswork));
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].streamExist=%s", i, BoolText(s.streamExist));
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].source_w=%d", i, s.source_w);
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].source_h=%d", i, s.source_h);
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].target_w=%d", i, s.target.w);
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].target_h=%d", i, s.target.h);
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].x_position=%d", i, s.target.x);
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].y_position=%d", i, s.target.y);
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].fps=%d", i, s.fps);
  PLN_RAW_MESSAGE("m_streaminfo_current[%d].videoType=%d", i, s.videoType);
}

VideoMix::CutOut VideoMix::CalcCutOutPosition(int i) {
  CutOut cut;
  PLN_RAW_MESSAGE("开始检查是否需要在大画面中抠图：");
  PLN_RAW_MESSAGE("当前流信息：");
  LogSlot(i);
  const VideoMixStreamSlot& a = m_streaminfo_current[i];
  for (int j = 0; j < kMaxStreams; ++j) {
    const VideoMixStreamSlot& b = m_streaminfo_current[j];
    if (j == i || !IsPaintable(b)) continue;
    const bool overlaps = a.target.x < b.target.x && b.target.x < a.target.x + a.target.w &&
                          a.target.y < b.target.y + b.target.h &&
                          b.target.y < a.target.y + a.target.h;
    if (!overlaps) continue;
    PLN_RAW_MESSAGE("画面重叠条件满足：");
    PLN_RAW_MESSAGE("target_w=%d", b.target.w);
    PLN_RAW_MESSAGE("target_h=%d", b.target.h);
    PLN_RAW_MESSAGE("x_position=%d", b.target.x);
    PLN_RAW_MESSAGE("y_position=%d", b.target.y);
    const int32_t bottom = b.target.y + b.target.h;
    if (!cut.found) {
      cut = CutOut{b.target.x, bottom, true};
      PLN_RAW_MESSAGE("第一次更新，更新后的抠图位置：");
    } else {
      const CutOut before = cut;
      cut.x = std::min(cut.x, b.target.x);
      cut.y = std::max(cut.y, bottom);
      if (cut.x == before.x && cut.y == before.y) continue;
      PLN_RAW_MESSAGE("非第一次更新，更新后的抠图位置：");
    }
    PLN_RAW_MESSAGE("x_position=%d", cut.x);
    PLN_RAW_MESSAGE("y_position=%d", cut.y);
  }
  return cut;
}

void VideoMix::PrintStreamInfo() {
  int valid = 0;
  for (const VideoMixStreamSlot& s : m_streaminfo_current) {
    if (s.iswork && s.streamExist && s.streamId && s.target.h > 0 && s.target.w > 0 &&
        s.source_w > 0 && s.source_h > 0 && s.fps > 0) {
      ++valid;
    }
  }
  PLN_RAW_MESSAGE("_Plenova_ VideoMix m_streaminfo_current中有效流条数=%d", valid);
  for (int i = 0; i < kMaxStreams; ++i) {
    const VideoMixStreamSlot& s = m_streaminfo_current[i];
    if (s.iswork && s.streamExist && s.streamId && s.target.h > 0 && s.target.w > 0 &&
        s.source_w > 0 && s.source_h > 0 && s.fps > 0) {
      LogSlot(i);
    }
  }
  int old = 0;
  for (const VideoMixStreamInfo& e : m_streaminfo_old) {
    if (e.fps >= 1 && e.streamId[0] != '\0' && e.target.h > 0 && e.target.w > 0 && e.source_w > 0 &&
        e.source_h > 0) {
      ++old;
    }
  }
  PLN_RAW_MESSAGE("_Plenova_ VideoMix m_streaminfo_old中有效流条数=%d", old);
}

int VideoMix::FindSlotLocked(const char* streamId, int32_t width, int32_t height, int32_t fps) {
  for (int i = 0; i < kMaxStreams; ++i) {
    const VideoMixStreamSlot& s = m_streaminfo_current[i];
    if (SameId(s.streamId, streamId) && s.source_h == height && s.source_w == width && s.fps == fps)
      return i;
  }
  return -1;
}

bool VideoMix::PushYuvBeforeMixedData(VideoMixFrame frame) {
  if (frame.frame == nullptr || frame.streamId == nullptr) {
    PLN_LOG_ERROR("'s value is illegall");
    return false;
  }
  // The queue lock, held across the queue's own push, so that an update
  // cannot destroy the queue between the lookup and the push. A paint does
  // not hold it.
  platform::MutexLock lock(m_mutex);
  int index = FindSlotLocked(frame.streamId, frame.width, frame.height, frame.fps);
  if (index < 0) {
    for (const VideoMixStreamInfo& old : m_streaminfo_old) {
      if (IsFreeOld(old)) continue;
      if (IdOf(old) == frame.streamId && old.source_h == frame.height &&
          old.source_w == frame.width && old.fps == frame.fps) {
        // A stream the latest layout removed: its late frames are dropped quietly.
        return true;
      }
    }
    auto free_slot =
        std::find_if(m_streaminfo_current.begin(), m_streaminfo_current.end(),
                     [](const VideoMixStreamSlot& s) { return !s.streamId && s.source_h == 0; });
    if (free_slot == m_streaminfo_current.end()) {
      PLN_LOG_ERROR("'s stream count is larger than _VIDEOMIX_MAX_FRAME_COUNT_");
      m_counters.refused.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    VideoMixStreamSlot& fresh = *free_slot;
    if (!fresh.scaler) fresh.scaler = std::make_unique<FFmpeg_Sws_cale>();
    fresh.iswork = false;
    fresh.source_h = frame.height;
    fresh.source_w = frame.width;
    fresh.fps = frame.fps;
    fresh.streamExist = true;
    fresh.streamId = std::string(frame.streamId);
    fresh.hasShown = false;
    EnsureClockLocked(fresh);
    index = static_cast<int>(free_slot - m_streaminfo_current.begin());
  }
  VideoMixStreamSlot& slot = m_streaminfo_current[index];
  if (!slot.m_ManageInUseBuffer) slot.m_ManageInUseBuffer = MakeQueueLocked();

  PoolBuffer* const block = frame.frame.get();
  const MediaTimeline::Placement placed = slot.clock.Place(block->timestamp, 0, block->tick);
  if (m_timeline != nullptr && (!m_hasEpoch || placed.epoch != m_epoch)) {
    AdoptEpochLocked(placed.epoch, placed.origin);
  }
  if (placed.replaced) slot.hasShown = false;
  if (slot.hasShown && MediaTimeline::Distance(placed.stamp, slot.shownStamp) <= 0) {
    // Older than the picture the stream already shows.
    m_counters.droppedLate.fetch_add(1, std::memory_order_relaxed);
    ++slot.counters.droppedLate;
    return true;
  }
  block->timestamp = placed.stamp;
  int superseded = 0;
  switch (slot.m_ManageInUseBuffer->pushdata(std::move(frame.frame), m_composed, &superseded)) {
    case ManageInUseBuffer_ForVideoMix::Push::kQueued:
      m_counters.accepted.fetch_add(1, std::memory_order_relaxed);
      ++slot.counters.accepted;
      break;
    case ManageInUseBuffer_ForVideoMix::Push::kSuperseded:
      // The pushed frame came too late to be shown; the others it counts were
      // queued earlier and are replaced by a newer one just as late.
      m_counters.droppedLate.fetch_add(1, std::memory_order_relaxed);
      ++slot.counters.droppedLate;
      --superseded;
      break;
    case ManageInUseBuffer_ForVideoMix::Push::kFull:
      m_counters.droppedFull.fetch_add(1, std::memory_order_relaxed);
      ++slot.counters.droppedFull;
      break;
  }
  m_counters.skipped.fetch_add(static_cast<uint64_t>(superseded), std::memory_order_relaxed);
  slot.counters.skipped += static_cast<uint64_t>(superseded);
  return true;
}

bool VideoMix::PictureMixInit(const VideoMixStreamInfo* list, int32_t count, int32_t canvas_w,
                              int32_t canvas_h) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  if ((list == nullptr && count > 0) || count < 0 || canvas_w < 1 || canvas_h < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish ");
    return false;
  }
  count = CapCount(count, kMaxPictures, "VideoMix::PictureMixInit");
  platform::MutexLock lock(m_layoutMutex);
  for (int32_t i = 0; i < count; ++i) {
    const VideoMixStreamInfo& info = list[i];
    VideoMixStreamSlot& slot = m_pictureinfo[i];
    slot.iswork = false;
    slot.streamExist = true;
    StoreAll(slot, info);
    if (!slot.scaler) slot.scaler = std::make_unique<FFmpeg_Sws_cale>();
    // The placeholder is always read with its own size, whatever the record says.
    slot.scaler->Pictureinit(CameraOffPicture::kWidth, CameraOffPicture::kHeight, info.target,
                             canvas_w, canvas_h, info.videoType);
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

void VideoMix::UpdataPictureStreamInfo(const VideoMixStreamInfo* list, int32_t count) {
  if (list == nullptr || count < 0) {
    PLN_LOG_ERROR("'s value is illegall");
    return;
  }
  count = CapCount(count, kMaxPictures, "VideoMix::UpdataPictureStreamInfo");
  platform::MutexLock lock(m_layoutMutex);
  CheckPictureInfoExist(list, count);
  FFmpeg_Sws_cale::FillBackground(FFmpeg_Sws_cale::kBackgroundBlack, m_mixedbuf.data(), m_canvas_w,
                                  m_canvas_h);
  PLN_RAW_MESSAGE("重新设置整个画布（m_mixedbuf）背景色为黑色");
  // Streams that send no new frame come back from their last picture.
  m_redraw_pending = true;
  m_picture_enabled = count != 0;
  if (count == 0) PLN_LOG_ERROR("'s streamcount is 0");
}

bool VideoMix::CheckPictureInfoExist(const VideoMixStreamInfo* list, int32_t count) {
  for (VideoMixStreamSlot& slot : m_pictureinfo) slot.streamExist = false;
  for (int32_t e = 0; e < count; ++e) {
    const VideoMixStreamInfo& info = list[e];
    auto found = std::find_if(m_pictureinfo.begin(), m_pictureinfo.end(),
                              [&](const VideoMixStreamSlot& s) { return SameGeometry(s, info); });
    VideoMixStreamSlot* slot = nullptr;
    bool set_up = false;
    if (found != m_pictureinfo.end()) {
      slot = &*found;
      set_up = found->target.h < 1;
      StorePlacement(*slot, info);
    } else {
      auto free_slot = std::find_if(m_pictureinfo.begin(), m_pictureinfo.end(),
                                    [](const VideoMixStreamSlot& s) { return s.source_h == 0; });
      if (free_slot == m_pictureinfo.end()) {
        PLN_LOG_ERROR("'s stream count Overflowed，Updata Error");
        return false;
      }
      slot = &*free_slot;
      StoreAll(*slot, info);
      set_up = true;
    }
    slot->streamExist = true;
    slot->iswork = true;
    if (!slot->scaler) slot->scaler = std::make_unique<FFmpeg_Sws_cale>();
    if (set_up) {
      slot->scaler->Pictureinit(CameraOffPicture::kWidth, CameraOffPicture::kHeight, info.target,
                                m_canvas_w, m_canvas_h, info.videoType);
    }
  }
  for (VideoMixStreamSlot& slot : m_pictureinfo) {
    if (slot.source_h < 1 || slot.fps < 1 || slot.streamExist) continue;
    ClearStreamSlot(slot);
  }
  return true;
}

bool VideoMix::start() {
  if (m_run.exchange(true)) return false;
  {
    // What was queued before belongs to a timeline that is anchored anew.
    platform::MutexLock lock(m_mutex);
    for (VideoMixStreamSlot& slot : m_streaminfo_current) {
      if (slot.m_ManageInUseBuffer) slot.m_ManageInUseBuffer->Clear();
    }
    m_hasEpoch = false;
  }
  if (!m_thread.Start([this] { VideoMixThreadFunc(this); })) {
    m_run.store(false);
    return false;
  }
  return true;
}

void VideoMix::stop() {
  m_run.store(false);
  m_wake.Set();
  m_thread.Join();
}

int VideoMix::VideoMixThreadFunc(VideoMix* mix) {
  assert(mix != nullptr);  // start() passes itself
  if (mix == nullptr) return 0;
  MediaTimeline* timeline;
  {
    platform::MutexLock lock(mix->m_mutex);
    timeline = mix->m_timeline;  // outlives the running thread
  }
  if (timeline != nullptr) timeline->AddAnchorWaiter(&mix->m_wake);
  while (mix->m_run.load()) {
    const uint32_t wait = mix->VideoMixStep(platform::TimeGetTime());
    if (timeline != nullptr && !timeline->Anchored()) {
      platform::WaitForEvent(mix->m_wake, platform::kWaitForever);
    } else if (wait > 0) {
      platform::SleepMs(std::min(wait, kMaxSleepMs));
    }
  }
  if (timeline != nullptr) timeline->RemoveAnchorWaiter(&mix->m_wake);
  PLN_LOG_ERROR("_Plenova_ VideoMix Thread Finish Success ");
  return 0;
}

uint32_t VideoMix::VideoMixStep(uint32_t now) {
  if (m_timeline == nullptr || !m_timeline->Anchored()) return kIdleSleepMs;
  if (m_rate.load() <= 0) {
    LogZeroRate();
    return kZeroRateSleepMs;
  }
  uint64_t stamp;
  {
    platform::MutexLock lock(m_mutex);
    const uint64_t epoch = m_timeline->Epoch();
    if (!m_hasEpoch || epoch != m_epoch) AdoptEpochLocked(epoch, m_timeline->Origin());
    stamp = m_origin + m_canvasIndex * kCanvasTicks;
    const int64_t behind = MediaTimeline::Distance(m_timeline->DueAt(now), stamp);
    if (behind > kMaxCatchUpMs * MediaTimeline::kTicksPerMs) {
      // The thread was held up for long: the canvases it missed are given
      // up rather than composed late in one rush.
      const uint64_t missed = static_cast<uint64_t>(behind) / kCanvasTicks;
      PLN_LOG_WARNING("_Plenova_ compositing %lld ms behind the timeline, skipping %llu canvases",
                      static_cast<long long>(behind / MediaTimeline::kTicksPerMs),
                      static_cast<unsigned long long>(missed));
      m_canvasIndex += missed;
      m_counters.canvasesSkipped.fetch_add(missed, std::memory_order_relaxed);
      stamp = m_origin + m_canvasIndex * kCanvasTicks;
    }
  }
  const uint32_t wait = m_timeline->MsUntil(stamp, now);
  if (wait > 0) return wait;
  GetMixedData(stamp);
  {
    platform::MutexLock lock(m_mutex);
    ++m_canvasIndex;
    stamp = m_origin + m_canvasIndex * kCanvasTicks;
  }
  m_timeline->NoteProduced(stamp);
  return m_timeline->MsUntil(stamp, now);
}

void VideoMix::LogZeroRate() {
  if (m_zero_rate_count++ % 1000 == 0)
    PLN_RAW_ERROR("File %s, Line %5d invalid param fps is 0", "VideoMix", __LINE__);
}

bool VideoMix::PaintsOnCanvas(const FFmpeg_Sws_cale& scaler) const {
  return scaler.canvas_width() == m_canvas_w && scaler.canvas_height() == m_canvas_h;
}

void VideoMix::PaintLocked(const PaintWindows& windows) {
  uint8_t* const canvas = m_mixedbuf.data();
  // First every slot that paints this tick applies its first paint or size
  // change; if one of them needs a blank canvas, the blank comes before any
  // painting and the streams without a new frame are painted again from
  // their last picture, so nothing already on the canvas is lost.
  bool blank = m_redraw_pending;
  m_redraw_pending = false;
  std::array<bool, kMaxStreams> draw{};
  for (int i = 0; i < kMaxStreams; ++i) {
    const PaintWindow& window = windows[i];
    const PoolBuffer* frame = window.frame.get();
    if (frame == nullptr || window.scaler == nullptr || !PaintsOnCanvas(*window.scaler)) continue;
    // Only whole I420 frames of even size are read: an odd size has no
    // chroma plane of w * h / 4 bytes.
    const int64_t needed = int64_t{window.source_w} * window.source_h * 3 / 2;
    if (frame->data == nullptr || frame->len < needed || window.source_w % 2 != 0 ||
        window.source_h % 2 != 0) {
      continue;
    }
    draw[i] = true;
    blank |= window.scaler->PrepareDraw(window.source_w, window.source_h, window.target,
                                        window.videoType);
  }
  auto painted_picture = [this](const VideoMixStreamSlot& slot) {
    return m_picture_enabled && slot.iswork && slot.scaler && PaintsOnCanvas(*slot.scaler);
  };
  for (VideoMixStreamSlot& slot : m_pictureinfo) {
    if (!painted_picture(slot)) continue;
    blank |= slot.scaler->PrepareDraw(CameraOffPicture::kWidth, CameraOffPicture::kHeight,
                                      slot.target, slot.videoType);
  }
  if (blank)
    FFmpeg_Sws_cale::FillBackground(FFmpeg_Sws_cale::kBackgroundBlack, canvas, m_canvas_w,
                                    m_canvas_h);

  // A window painted this tick covers the windows below it; those above it
  // that overlap are painted again from their last picture, so that what
  // lies on top stays on top. Only new frames are scaled.
  std::array<Rect, kMaxStreams> painted{};
  int painted_count = 0;
  auto overlaps_painted = [&](const FFmpeg_Sws_cale& scaler) {
    const Rect& mine = scaler.placed();
    for (int k = 0; k < painted_count; ++k) {
      if (Overlap(mine, painted[static_cast<size_t>(k)])) return true;
    }
    return false;
  };
  for (int i = 0; i < kMaxStreams; ++i) {
    const PaintWindow& window = windows[i];
    if (window.scaler == nullptr || !PaintsOnCanvas(*window.scaler)) continue;
    if (draw[i]) {
      window.scaler->Draw(window.frame->data, canvas, window.videoType, window.frame->extra);
    } else if (window.iswork && (blank || overlaps_painted(*window.scaler))) {
      window.scaler->Redraw(canvas);
    } else {
      continue;
    }
    painted[static_cast<size_t>(painted_count++)] = window.scaler->placed();
  }
  // Pictures are still: scaled once, then copied again whenever something
  // may have been painted over them.
  for (VideoMixStreamSlot& slot : m_pictureinfo) {
    if (!painted_picture(slot)) continue;
    if (!slot.scaler->HasPicture()) {
      slot.scaler->Draw(CameraOffPicture::Data(), canvas, slot.videoType,
                        FFmpeg_Sws_cale::kTopDown);
    } else if (blank || painted_count > 0) {
      slot.scaler->Redraw(canvas);
    }
  }
}

void VideoMix::LogBufferStatistics() {
  int64_t total = 0;
  for (int i = 0; i < kMaxStreams; ++i) {
    VideoMixStreamSlot& slot = m_streaminfo_current[i];
    if (!slot.iswork || !slot.m_ManageInUseBuffer) continue;
    const int64_t size = slot.m_ManageInUseBuffer->TotalCapacity();
    total += size;
    PLN_RAW_MESSAGE("VideoMixBuffer (%d)  Total ElementsNums=%d  Size=%f KB", i,
                    slot.m_ManageInUseBuffer->Count(), static_cast<double>(size) / 1024);
  }
  PLN_RAW_DEBUG("VideoMixBuffer TotalSize=%f KB", static_cast<double>(total) / 1024);
}

void VideoMix::TakeWindowsLocked(uint64_t stamp, PaintWindows* windows) {
  for (int i = 0; i < kMaxStreams; ++i) {
    VideoMixStreamSlot& slot = m_streaminfo_current[i];
    PaintWindow& window = (*windows)[i];
    window.frame = nullptr;
    window.scaler = slot.scaler.get();
    window.source_w = slot.source_w;
    window.source_h = slot.source_h;
    window.target = slot.target;
    window.videoType = slot.videoType;
    window.iswork = slot.iswork;
    if (!slot.m_ManageInUseBuffer) continue;
    int skipped = 0;
    if (!slot.iswork || slot.source_h < 1 || !slot.streamId) {
      // A stream not (yet) in the layout keeps its newest due frame, which
      // shows once the layout lists it.
      slot.m_ManageInUseBuffer->DropSuperseded(stamp);
      continue;
    }
    // The newest frame due by this canvas; none: the stream's last picture stays.
    window.frame = slot.m_ManageInUseBuffer->TakeDue(stamp, &skipped);
    if (skipped > 0) {
      m_counters.skipped.fetch_add(static_cast<uint64_t>(skipped), std::memory_order_relaxed);
      slot.counters.skipped += static_cast<uint64_t>(skipped);
    }
    if (window.frame != nullptr) {
      slot.hasShown = true;
      slot.shownStamp = window.frame->timestamp;
    }
  }
}

void VideoMix::GetMixedData(uint64_t stamp) {
  // The layout lock keeps the layout, the scalers and the canvas as they are
  // until the canvas is copied; the queue lock is held only while the
  // tick's frames are taken, so pushes go on during the paint.
  std::unique_lock<platform::Mutex> lock(m_layoutMutex);
  PaintWindows windows{};
  {
    platform::MutexLock queue_lock(m_mutex);
    if (++m_tickcount % 50 == 0) LogBufferStatistics();
    if (m_mixedbuf.empty()) return;
    TakeWindowsLocked(stamp, &windows);
    m_composed = stamp;
  }
  if (m_paint_hook) m_paint_hook();
  PaintLocked(windows);
  std::array<const PoolBuffer*, kMaxStreams> frames{};
  for (int i = 0; i < kMaxStreams; ++i) frames[i] = windows[i].frame.get();
  const uint32_t arrival_tick = OldestTick(frames.data(), frames.size());
  // The painted frames go back before the canvas copy takes a block.
  for (PaintWindow& window : windows) window.frame.reset();

  // The canvas leaves as a pool copy: the callback and the encoder see one
  // stable picture while the next tick paints the canvas again.
  PoolBufferPtr out = AdoptPoolBuffer(m_pool->GetEmptyBuffer(m_mixedsize), m_pool);
  if (out != nullptr && (out->data == nullptr || out->capacity < m_mixedsize)) {
    DestroyPoolBuffer(out.release());
  }
  if (out != nullptr) std::memcpy(out->data, m_mixedbuf.data(), static_cast<size_t>(m_mixedsize));
  const PlenovaCanvasCallback callback = m_callback;
  VideoEncodeBuffer* const encode = m_encodebuffer;
  const int32_t size = m_mixedsize;
  const int32_t rate = m_rate.load();
  lock.unlock();

  if (out == nullptr) {
    if (m_lost_canvases++ % 250 == 0) {
      PLN_LOG_ERROR("_Plenova_ no pool buffer for the canvas, %llu canvases lost",
                    static_cast<unsigned long long>(m_lost_canvases));
    }
    return;
  }
  if (callback != nullptr) callback(out->data, size);
  out->tick = arrival_tick;
  out->len = size;
  out->timestamp = stamp;
  // Before the first layout the rate is 0 and the encoder takes nothing.
  // A canvas the encoder does not take goes back to the pool.
  if (rate < 1 || !encode->PutData(std::move(out), rate)) return;
  m_counters.composed.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace plenova

namespace plenova {

std::vector<StreamStatistics> VideoMix::StreamStatisticsSnapshot() {
  std::vector<StreamStatistics> out;
  platform::MutexLock lock(m_mutex);
  for (const VideoMixStreamSlot& s : m_streaminfo_current) {
    if (!s.streamId) continue;
    out.push_back(StreamStatistics{*s.streamId, false, s.iswork, s.counters,
                                   s.m_ManageInUseBuffer ? s.m_ManageInUseBuffer->Count() : 0});
  }
  return out;
}

int VideoMix::QueuedFrames(const char* streamId, int32_t width, int32_t height, int32_t fps) {
  platform::MutexLock lock(m_mutex);
  const int index = FindSlotLocked(streamId, width, height, fps);
  if (index < 0) return -1;
  const VideoMixStreamSlot& slot = m_streaminfo_current[index];
  return slot.m_ManageInUseBuffer ? slot.m_ManageInUseBuffer->Count() : 0;
}

bool VideoMix::IsStreamActive(const char* streamId, int32_t width, int32_t height, int32_t fps) {
  platform::MutexLock lock(m_mutex);
  const int index = FindSlotLocked(streamId, width, height, fps);
  if (index < 0) return false;
  const VideoMixStreamSlot& slot = m_streaminfo_current[index];
  return slot.iswork && slot.source_h >= 1 && slot.m_ManageInUseBuffer && slot.scaler;
}

void VideoMix::SetPaintHook(std::function<void()> hook) {
  platform::MutexLock lock(m_layoutMutex);
  m_paint_hook = std::move(hook);
}

std::vector<uint8_t> VideoMix::CanvasCopy() {
  platform::MutexLock lock(m_layoutMutex);
  return m_mixedbuf;
}

}  // namespace plenova
