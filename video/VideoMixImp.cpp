#include "video/VideoMixImp.h"

#include <algorithm>
#include <cstring>

#include "log/PlenovaLog.h"

namespace plenova {

static_assert(sizeof(VideoStreamInfo) == sizeof(PictureStreamInfo),
              "pictures are read with the video record's layout");

VideoMixImp::VideoMixImp() = default;

VideoMixImp::VideoMixImp(std::unique_ptr<VideoEncodeGeneric> encoder)
    : m_encode(std::move(encoder)) {}

VideoMixImp::~VideoMixImp() { StopVideoMixThread(); }

int32_t VideoMixImp::Convert(const VideoMixInitParam& param, bool with_ids, Table* table) {
  int32_t count = std::max(param.count, 0);
  if (count > kMaxStreams) {
    PLN_LOG_ERROR("_Plenova_ %d streams given, only the first %d are used", count, kMaxStreams);
    count = kMaxStreams;
  }
  const auto* in = static_cast<const VideoStreamInfo*>(param.streams);
  for (int32_t i = 0; i < count; ++i) {
    VideoMixStreamInfo& out = (*table)[i];
    out = VideoMixStreamInfo{};
    out.fps = in[i].fps;
    out.source_h = in[i].source_h;
    out.source_w = in[i].source_w;
    out.target = Rect{in[i].x_position_in_target_frame, in[i].y_position_in_target_frame,
                      in[i].target_w, in[i].target_h};
    out.videoType = in[i].videoType;
    if (with_ids && in[i].streamId != nullptr)
      std::strncpy(out.streamId, in[i].streamId, sizeof(out.streamId) - 1);
  }
  return count;
}

bool VideoMixImp::IVideoMixInit(const VideoMixInitParam* param, PlenovaCanvasCallback callback) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s Start");
  if (param == nullptr || (param->count > 0 && param->streams == nullptr)) {
    PLN_LOG_ERROR("'s avsynbuffer Audio data is null");
    return false;
  }
  Table table{};
  const int32_t count = Convert(*param, true, &table);
  if (param->timeline != nullptr) m_mix.SetTimeline(param->timeline);
  m_mix.VideoMixInit(table.data(), count, param->pool, &m_encodeBuffer, param->target_w,
                     param->target_h, callback);
  // Canvases come at the compositor's rate whatever the streams declare.
  m_encode.VideoEncodeInit(param->target_bitrate, VideoMix::kOutputRate, param->target_w,
                           param->target_h, &m_encodeBuffer, param->synBuffer, param->pool,
                           param->streaming);
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

bool VideoMixImp::IPictureMixInit(const VideoMixInitParam* param) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s Start");
  if (param == nullptr || (param->count > 0 && param->streams == nullptr)) {
    PLN_LOG_ERROR("'s avsynbuffer Audio data is null");
    return false;
  }
  Table table{};
  const int32_t count = Convert(*param, false, &table);
  m_mix.PictureMixInit(table.data(), count, param->target_w, param->target_h);
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

void VideoMixImp::IVideoMixUnint() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  platform::MutexLock lock(m_mutex);
  m_mix.VideoMixUnint();
  m_encode.VideoEncodeUnint();
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

void VideoMixImp::IPictureMixUnint() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  platform::MutexLock lock(m_mutex);
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

bool VideoMixImp::PushVideoMixData(VideoMixFrame frame) {
  m_mix.PushYuvBeforeMixedData(std::move(frame));
  return false;
}

void VideoMixImp::StartVideoMixThread() {
  platform::MutexLock lock(m_mutex);
  if (m_threads_running) {
    PLN_LOG_ERROR("_Plenova_ video threads are already running");
    return;
  }
  if (!m_encode.StartThread()) {
    PLN_LOG_ERROR("_Plenova_ cannot start the video encoding thread");
    return;
  }
  if (!m_mix.start()) {
    PLN_LOG_ERROR("_Plenova_ cannot start the video compositing thread");
    m_encode.StopThread();
    return;
  }
  m_threads_running = true;
}

void VideoMixImp::StopVideoMixThread() {
  platform::MutexLock lock(m_mutex);
  m_mix.stop();
  m_encode.StopThread();
  m_threads_running = false;
}

void VideoMixImp::UpdataVideoMixParam(const VideoMixInitParam* param) {
  PLN_LOG_ERROR("MeetingMessage start");
  if (param == nullptr || (param->count > 0 && param->streams == nullptr)) {
    PLN_LOG_ERROR("'s avsynbuffer Audio data is null");
    return;
  }
  Table table{};
  const int32_t count = Convert(*param, true, &table);
  m_mix.UpdataVideoStreamInfo(table.data(), count);
  PLN_LOG_ERROR("MeetingMessage end");
}

void VideoMixImp::UpdataPictureMixParam(const VideoMixInitParam* param) {
  PLN_LOG_ERROR("MeetingMessage start");
  if (param == nullptr || (param->count > 0 && param->streams == nullptr)) {
    PLN_LOG_ERROR("'s avsynbuffer Audio data is null");
    return;
  }
  Table table{};
  const int32_t count = Convert(*param, false, &table);
  m_mix.UpdataPictureStreamInfo(table.data(), count);
  PLN_LOG_ERROR("MeetingMessage end");
}

void VideoMixImp::CollectStatistics(MixStatistics* out) {
  if (out == nullptr) return;
  for (StreamStatistics& s : m_mix.StreamStatisticsSnapshot()) out->streams.push_back(std::move(s));
  const VideoMixCounters& c = m_mix.Counters();
  out->composed = c.composed.load(std::memory_order_relaxed);
  out->skipped = c.canvasesSkipped.load(std::memory_order_relaxed);
  out->encoderSpeed = m_encode.speed();
  out->encoderSpeedChanges = m_encode.speed_changes();
}

}  // namespace plenova
