#include "recorder/PlenovaImp.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include "common/LatencyStats.h"
#include "log/PlenovaLog.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "recorder/ParamLog.h"

namespace plenova {
namespace {

// True when `text` is a string of at most `max` characters.
bool FitsLength(const char* text, size_t max) {
  return text != nullptr && strnlen(text, max + 1) <= max;
}

// Copies `text` into a fixed field, which it must fit with its terminator.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), std::min(text.size(), N - 1));
}

// The mixed formats the mixer and the AAC encoder take: 16-bit mono or
// stereo at 8 to 96 kHz, in frames of at least 10 ms.
bool MixFormatFits(const AudioStreamInfoUpdate& u) {
  return u.target_audio_channels >= 1 && u.target_audio_channels <= 2 &&
         u.target_audio_sampling_per_bits == 16 && u.target_audio_sampling_rate >= 8000 &&
         u.target_audio_sampling_rate <= 96000 && u.target_audio_frames_per_seconds <= 100;
}

// A rectangle no side of which exceeds the largest canvas.
bool RectFits(int32_t w, int32_t h) {
  return w <= PlenovaImp::kMaxPictureSide && h <= PlenovaImp::kMaxPictureSide;
}

// A canvas the H.264 encoder takes: even sides of 2 to 8192 pixels.
bool CanvasFits(int32_t w, int32_t h) {
  return w >= PlenovaImp::kMinCanvasSide && h >= PlenovaImp::kMinCanvasSide && RectFits(w, h) &&
         w % 2 == 0 && h % 2 == 0;
}

std::string DefaultUrl(const char* local_ip) { return std::string("rtmp://") + local_ip + "/live"; }

// Target sizes are even: I420 has one chroma sample per 2x2 pixels. Odd
// sizes go toward zero (a negative one is refused later).
template <class Entry>
void EvenTargets(Entry* entries, int32_t count) {
  for (int i = 0; i < count; ++i) {
    entries[i].target_w -= entries[i].target_w % 2;
    entries[i].target_h -= entries[i].target_h % 2;
  }
}

}  // namespace

bool PlenovaImp::EntryFits(int32_t fps, int32_t target_w, int32_t target_h, int32_t x, int32_t y) {
  return RectFits(target_w, target_h) && fps >= 0 && fps <= kMaxDeclaredFps && x >= -kMaxPosition &&
         x <= kMaxPosition && y >= -kMaxPosition && y <= kMaxPosition;
}

AVStreamInitParam PlenovaImp::stream_param() const {
  platform::MutexLock lock(m_param_lock);
  return m_stream_param;
}

AVSynCtlParam PlenovaImp::synctl_param() const {
  platform::MutexLock lock(m_param_lock);
  return m_synctl_param;
}

PlenovaImp::PlenovaImp(PlenovaComponents components)
    : m_audioMix(std::move(components.audio)),
      m_streaming(std::move(components.streaming)),
      m_synCtl(std::move(components.synCtl)),
      m_videoMix(std::move(components.video)) {
  m_stream_param.EnableMp4 = 1;
  m_stream_param.EnableRtmp = 1;
  if (m_streaming) m_streaming->SetEventSink(this);
  PLN_LOG_ERROR("MeetingMessage start");
  PLN_LOG_ERROR("MeetingMessage end");
}

PlenovaImp::~PlenovaImp() {
  PLN_LOG_ERROR("MeetingMessage start");
  {
    platform::MutexLock video(m_video_layout_lock);
    platform::MutexLock audio(m_audio_layout_lock);
    m_audioMix.reset();
    m_videoMix.reset();
    m_streaming.reset();
    m_synCtl.reset();
  }
  PLN_LOG_ERROR("MeetingMessage end");
}

IUpdateStreamInterface* PlenovaImp::GetUpdateStreamInterface() { return this; }

int PlenovaImp::PlenovaInit(void* p1, void* p2, void* p3) {
  PLN_LOG_MESSAGE("MeetingMessage start");
  if (p1 != nullptr) m_p1 = p1;
  if (p2 != nullptr) m_p2 = p2;
  if (p3 != nullptr) m_p3 = p3;
  PLN_LOG_MESSAGE("MeetingMessage end");
  return 0;
}

int PlenovaImp::PlenovaUnint() {
  // The layout locks first: the first-update flags re-armed here are read by
  // the layout updates under them.
  platform::MutexLock video(m_video_layout_lock);
  platform::MutexLock audio(m_audio_layout_lock);
  platform::MutexLock lock(m_control_lock);
  PLN_LOG_ERROR("_Plenova_ Terminate Start ");
  if (m_started) {
    m_running = false;
    if (m_audioMix) m_audioMix->stop();
    if (m_videoMix) m_videoMix->StopVideoMixThread();
    if (m_synCtl) m_synCtl->StopSynThread();
    // What this run's encoders left for the sync stage ends with the run:
    // the next run may have another canvas, and its outputs must not start
    // from this one's pictures.
    m_synBuffer.Clear();
    // The next frame anchors the timeline anew; the outputs go on from
    // where this run ended.
    m_timeline.Restart();
    m_layout_given = false;
    m_started = false;
    m_stream_init_done = false;
    m_first_audio_update = true;
    m_first_video_update = true;
  }
  PLN_LOG_ERROR("_Plenova_ Terminate Success ");
  return 0;
}

int PlenovaImp::SetTargetDelay(int milliseconds) {
  if (milliseconds < 0 || !m_timeline.SetDelayMs(static_cast<uint32_t>(milliseconds))) {
    PLN_LOG_ERROR("'s value is illegall: target delay %d ms is outside 0 to %u", milliseconds,
                  MediaTimeline::kMaxDelayMs);
    return -1;
  }
  PLN_LOG_MESSAGE("_Plenova_ target delay %d ms, taken when the engine next starts", milliseconds);
  return 0;
}

int PlenovaImp::SetEventCallback(PlenovaEventCallback callback, void* user) {
  platform::MutexLock lock(m_event_lock);
  m_event_callback = callback;
  m_event_user = user;
  return 0;
}

void PlenovaImp::Report(const PlenovaEvent& event) {
  PlenovaEventCallback callback;
  void* user;
  {
    platform::MutexLock lock(m_event_lock);
    callback = m_event_callback;
    user = m_event_user;
  }
  if (callback == nullptr) return;
  PlenovaEvent copy = event;
  copy.size = sizeof(PlenovaEvent);
  if (copy.text == nullptr) copy.text = "";
  callback(&copy, user);
}

void PlenovaImp::CountRefused(const char* streamId) {
  if (streamId == nullptr || !FitsLength(streamId, kMaxIdLength)) return;
  platform::MutexLock lock(m_refused_lock);
  for (auto& [id, count] : m_refused) {
    if (id == streamId) {
      ++count;
      return;
    }
  }
  if (m_refused.size() < kMaxRefusedIds) m_refused.emplace_back(streamId, 1);
}

int PlenovaImp::GetStatistics(PlenovaStatistics* statistics) {
  constexpr size_t kHead = offsetof(PlenovaStatistics, outputs);
  if (statistics == nullptr || statistics->size < kHead) {
    PLN_LOG_ERROR("'s value is illegall: statistics record missing or too small");
    return -1;
  }
  PlenovaStatistics full{};
  full.size = sizeof(PlenovaStatistics);
  MixStatistics mix;
  if (m_audioMix) m_audioMix->CollectStatistics(&mix);
  if (m_videoMix) m_videoMix->CollectStatistics(&mix);
  full.audio_frames_mixed = mix.mixed;
  full.audio_gain_reductions = mix.gainReductions;
  full.audio_silent_spans = mix.silentSpans;
  full.canvases_composed = mix.composed;
  full.canvases_skipped = mix.skipped;
  full.encoder_preset = static_cast<uint32_t>(mix.encoderSpeed);
  full.encoder_preset_changes = mix.encoderSpeedChanges;
  {
    platform::MutexLock lock(m_refused_lock);
    for (const StreamStatistics& in : mix.streams) {
      if (full.stream_count >= PLENOVA_MAX_STREAM_STATISTICS) break;
      PlenovaStreamStatistics& out = full.streams[full.stream_count++];
      std::snprintf(out.id, sizeof out.id, "%s", in.id.c_str());
      out.audio = in.audio ? 1 : 0;
      out.listed = in.listed ? 1 : 0;
      out.accepted = in.counters.accepted;
      out.dropped_late = in.counters.droppedLate;
      out.dropped_full = in.counters.droppedFull;
      out.queue_depth = static_cast<uint32_t>(std::max(in.queued, 0));
      for (const auto& [id, count] : m_refused) {
        if (id == in.id) out.refused = count;
      }
    }
  }
  if (m_synCtl) full.av_offset_ms = m_synCtl->AvOffsetMs();
  full.target_delay_ms = m_timeline.DelayMs();
  full.timeline_adjustments = static_cast<uint32_t>(m_timeline.Adjustments());
  if (m_streaming) m_streaming->CollectStatistics(full.outputs, PLENOVA_OUTPUT_COUNT);
  const uint32_t size = statistics->size;
  std::memcpy(statistics, &full, std::min<size_t>(size, sizeof full));
  statistics->size = static_cast<uint32_t>(std::min<size_t>(size, sizeof full));
  return 0;
}

// ---------------------------------------------------------------------------
// Parameters

bool PlenovaImp::ResolveMp4Folder(const char* filePath, std::string* folder) {
  if (filePath != nullptr && FitsLength(filePath, 255)) {
    *folder = filePath;
    return true;
  }
  PLN_RAW_ERROR("Mp4File path is invalid,use default path");
  const std::string current = platform::CurrentDir();
  const std::string path = current + "/PlenovaMp4";
  if (current.empty() || path.size() > 255) {
    PLN_LOG_ERROR("_Plenova_ default Mp4File folder does not fit 255 characters: %s", path.c_str());
    return false;
  }
  if (!platform::DirExists(path)) platform::CreateDir(path);
  *folder = path;
  PLN_RAW_ERROR("Default Mp4File path:=%s", path.c_str());
  return true;
}

void PlenovaImp::SetAuidoParam(AudioParam* a) {
  platform::MutexLock lock(m_param_lock);
  PLN_LOG_ERROR("MeetingMessage");
  const bool names_fit = a != nullptr &&
                         (a->StreamName_1 == nullptr || FitsLength(a->StreamName_1, 255)) &&
                         (a->StreamName_2 == nullptr || FitsLength(a->StreamName_2, 255));
  const bool ip_fits =
      a != nullptr && std::memchr(a->local_Ip, '\0', sizeof(a->local_Ip)) != nullptr;
  if (a == nullptr || a->audio_bitrate < 1 || (a->Enable_rtmp && a->local_port == 0) ||
      a->waitMaxTime < 0 || a->waitMaxTime > kMaxWaitMaxTime || !names_fit || !ip_fits) {
    PLN_LOG_ERROR("'s value is illegall");
    m_audio_param_ok = false;
    return;
  }

  m_synctl_param.audio_bitrate = a->audio_bitrate;
  m_stream_param.audio.audio_bitrate = a->audio_bitrate;
  m_synctl_param.waitMaxTime = a->waitMaxTime;
  m_stream_param.param_tag = static_cast<uint32_t>(a->param_tag);
  m_stream_param.EnableRtmp = a->Enable_rtmp ? 1 : 0;
  m_stream_param.EnableMp4 = a->Enable_write_mp4 ? 1 : 0;
  m_stream_param.Localport = static_cast<uint32_t>(a->local_port);
  LogAudioParam(*a);

  std::string folder;
  if (!ResolveMp4Folder(a->filePath, &folder)) folder.clear();
  CopyField(m_stream_param.filePath, folder);

  auto name_or_default = [](const char* name) {
    return (name == nullptr || name[0] == '\0') ? std::string("livestream") : std::string(name);
  };
  const std::string name_1 = name_or_default(a->StreamName_1);
  const std::string name_2 = name_or_default(a->StreamName_2);
  CopyField(m_stream_param.StreamName_1, name_1);
  CopyField(m_stream_param.StreamName_2, name_2);

  auto url_or_default = [&](const char* url) {
    return (url != nullptr && url[0] != '\0' && FitsLength(url, 255)) ? std::string(url)
                                                                      : DefaultUrl(a->local_Ip);
  };
  const std::string url_1 = url_or_default(a->url_1);
  const std::string url_2 = url_or_default(a->url_2);
  CopyField(m_stream_param.url_1, url_1);
  CopyField(m_stream_param.url_2, url_2);

  const bool check = m_started;
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam 是否要进行推流URL变更检查 :=%s",
                check ? "检查" : "不检查");
  if (check) {
    // An engine started before any audio parameters were accepted has no
    // URLs to compare: that counts as a change.
    const bool changed = !m_accepted_audio.valid || url_1 != m_accepted_audio.url_1 ||
                         url_2 != m_accepted_audio.url_2;
    PLN_RAW_ERROR("_Plenova_ SetAuidoParam 是否需要进行URL变更 :=%s", changed ? "是！" : "否");
    if (changed && m_streaming) m_streaming->IAVStreamInit(&m_stream_param, &m_pool, m_p2, m_p3, 1);
  }

  m_accepted_audio.valid = true;
  m_accepted_audio.filePath = folder;
  m_accepted_audio.url_1 = url_1;
  m_accepted_audio.url_2 = url_2;
  m_accepted_audio.StreamName_1 = name_1;
  m_accepted_audio.StreamName_2 = name_2;
  std::memcpy(m_stream_param.localIp, a->local_Ip, sizeof(m_stream_param.localIp));

  m_audio_param_ok = true;
  PLN_LOG_ERROR("MeetingMessage end");
}

void PlenovaImp::SetVideoParam(VideoParam* v) {
  platform::MutexLock lock(m_param_lock);
  PLN_LOG_ERROR("MeetingMessage start");
  if (v == nullptr || v->target_bitrate < kMinVideoBitrate ||
      !CanvasFits(v->target_w, v->target_h)) {
    PLN_LOG_ERROR("'s value is illegall");
    if (v != nullptr) {
      PLN_RAW_ERROR(
          "_Plenova_ SetVideoParam refused: canvas %dx%d (even sides of %d to %d) at "
          "%d bit/s (at least %d)",
          v->target_w, v->target_h, kMinCanvasSide, kMaxPictureSide, v->target_bitrate,
          kMinVideoBitrate);
    }
    m_video_param_ok = false;
    return;
  }
  // The canvas of an MP4 file cannot change within it: while a recording is
  // asked for, only the bit rate may change, and the accepted settings stay.
  const bool canvas_changes = m_video_param_ok && (v->target_w != m_accepted_video.target_w ||
                                                   v->target_h != m_accepted_video.target_h);
  if (canvas_changes && m_streaming && m_streaming->Mp4RecordRequested()) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_RAW_ERROR(
        "_Plenova_ SetVideoParam refused: the canvas stays %dx%d while MP4 recording "
        "is on (%dx%d asked for); stop the recording first",
        m_accepted_video.target_w, m_accepted_video.target_h, v->target_w, v->target_h);
    return;
  }
  m_synctl_param.video_bitrate = v->target_bitrate;
  m_synctl_param.width = v->target_w;
  m_synctl_param.height = v->target_h;
  LogVideoParam(*v);

  m_video_record.target_bitrate = v->target_bitrate;
  m_video_record.target_h = v->target_h;
  m_video_record.target_w = v->target_w;
  m_stream_param.video_tag = static_cast<uint32_t>(v->video_tag);
  m_stream_param.video.video_width = v->target_w;
  m_stream_param.video.video_height = v->target_h;
  m_stream_param.video.video_bitrate = v->target_bitrate;
  m_accepted_video = *v;

  m_video_param_ok = true;
  PLN_LOG_WARNING("MeetingMessage end");
}

// ---------------------------------------------------------------------------
// Layout updates

bool PlenovaImp::AudioLayoutChanged(const AudioStreamInfoUpdate& u) const {
  const AudioHeader header{u.target_audio_frames_per_seconds, u.target_audio_channels,
                           u.target_audio_sampling_rate, u.target_audio_sampling_per_bits};
  if (u.audioStreamCount != m_audio_stream_count || !(header == m_audio_header)) return true;
  for (int i = 0; i < u.audioStreamCount; ++i) {
    const AudioStreamInfo& in = u.astreamInfo[i];
    const AudioEntry& have = m_audio_streams[i];
    if (have.streamId != in.streamId || have.channel != in.channel ||
        have.sampling_per_bits != in.sampling_per_bits || have.sampling_rate != in.sampling_rate)
      return true;
  }
  return false;
}

void PlenovaImp::StoreAudioLayout(const AudioStreamInfoUpdate& u) {
  m_audio_streams.fill(AudioEntry{});
  m_audio_stream_count = u.audioStreamCount;
  m_audio_header = {u.target_audio_frames_per_seconds, u.target_audio_channels,
                    u.target_audio_sampling_rate, u.target_audio_sampling_per_bits};
  for (int i = 0; i < u.audioStreamCount; ++i) {
    const AudioStreamInfo& in = u.astreamInfo[i];
    m_audio_streams[i] = {in.channel, in.sampling_per_bits, in.sampling_rate, in.streamId};
  }
}

void PlenovaImp::UpdateAudioStreamInfo(AudioStreamInfoUpdate* u) {
  PLN_LOG_ERROR("_Plenova_ UpdateAudioStreamInfo Start");
  platform::MutexLock lock(m_audio_layout_lock);
  if (!m_first_audio_update && !m_layout_given) {
    PLN_LOG_WARNING("MeetingMessage called twice,return");
    PLN_LOG_WARNING("_Plenova_ UpdateAudioStreamInfo Finish");
    return;
  }
  if (u == nullptr || u->audioStreamCount < 1 || u->audioStreamCount > kMaxAudioStreams ||
      u->astreamInfo == nullptr || u->target_audio_frames_per_seconds < 1 ||
      u->target_audio_sampling_per_bits < 1 || u->target_audio_sampling_rate < 1 ||
      !MixFormatFits(*u)) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_LOG_ERROR("_Plenova_ UpdateAudioStreamInfo Finish");
    return;
  }
  for (int i = 0; i < u->audioStreamCount; ++i) {
    if (u->astreamInfo[i].streamId == nullptr) {
      PLN_LOG_ERROR("_Plenova_ asinfo->astreamInfo[%d].streamId is NULL,please check", i);
      return;
    }
    if (!FitsLength(u->astreamInfo[i].streamId, kMaxIdLength)) {
      PLN_LOG_ERROR("'s value is illegall");
      PLN_LOG_ERROR("_Plenova_ UpdateAudioStreamInfo Finish");
      return;
    }
  }

  LogAudioLayout(*u);

  // A first update always initialises, also when it repeats the layout the
  // engine had before PlenovaUnint.
  if (!m_first_audio_update && !AudioLayoutChanged(*u)) {
    PLN_LOG_ERROR("Is No need Updata");
    PLN_LOG_ERROR("_Plenova_ UpdateAudioStreamInfo Finish");
    return;
  }
  StoreAudioLayout(*u);

  const AudioMixUpdateParam update{u->astreamInfo, u->audioStreamCount, u->target_audio_channels,
                                   u->target_audio_sampling_rate,
                                   u->target_audio_sampling_per_bits};
  if (m_first_audio_update) {
    PLN_LOG_ERROR("_Plenova_ UpdateAudioStreamInfo First Call");
    m_synBuffer.InitBuffer(&m_pool);
    {
      platform::MutexLock params(m_param_lock);
      m_synctl_param.channels = u->target_audio_channels;
      m_synctl_param.sampling_per_bits = u->target_audio_sampling_per_bits;
      m_synctl_param.sampling_rate = u->target_audio_sampling_rate;
      m_synctl_param.audio_frame_duration = 90000 / u->target_audio_frames_per_seconds;
      m_stream_param.audio.channels = u->target_audio_channels;
      m_stream_param.audio.sampling_per_bits = u->target_audio_sampling_per_bits;
      m_stream_param.audio.sampling_rate = u->target_audio_sampling_rate;
    }
    m_first_audio_update = false;

    const AudioMixInitParam init{u->astreamInfo,
                                 u->audioStreamCount,
                                 &m_pool,
                                 &m_synBuffer,
                                 m_synCtl.get(),
                                 &m_timeline,
                                 u->target_audio_frames_per_seconds,
                                 u->target_audio_channels,
                                 u->target_audio_sampling_rate,
                                 u->target_audio_sampling_per_bits};
    m_audioMix->IAudioMixInit(&init);
    m_audioMix->UpdataAudioMixImp(&update);
    FirstLayoutDone();
  } else {
    m_audioMix->UpdataAudioMixImp(&update);
  }
  PLN_LOG_ERROR("_Plenova_ UpdateAudioStreamInfo Finish Success");
}

bool PlenovaImp::VideoLayoutChanged(const VideoStreamInfoUpdate& u) const {
  if (u.InUseStreamCount != m_video_stream_count) return true;
  for (int i = 0; i < u.InUseStreamCount; ++i) {
    const VideoStreamInfo& in = u.vstreaminfo[i];
    const VideoEntry& have = m_video_streams[i];
    if (have.fps != in.fps || have.source_h != in.source_h || have.source_w != in.source_w ||
        have.streamId != in.streamId || have.target_h != in.target_h ||
        have.target_w != in.target_w || have.x_position != in.x_position_in_target_frame ||
        have.y_position != in.y_position_in_target_frame || have.videoType != in.videoType)
      return true;
  }
  return false;
}

void PlenovaImp::StoreVideoLayout(const VideoStreamInfoUpdate& u) {
  m_video_streams.fill(VideoEntry{});
  m_video_stream_count = u.InUseStreamCount;
  for (int i = 0; i < u.InUseStreamCount; ++i) {
    const VideoStreamInfo& in = u.vstreaminfo[i];
    m_video_streams[i] = {in.fps,
                          in.source_h,
                          in.source_w,
                          in.streamId,
                          in.target_h,
                          in.target_w,
                          in.x_position_in_target_frame,
                          in.y_position_in_target_frame,
                          in.videoType};
  }
}

void PlenovaImp::UpdateVideoStreamInfo(VideoStreamInfoUpdate* u) {
  PLN_LOG_ERROR("_Plenova_ UpdateVideoStreamInfo start");
  platform::MutexLock lock(m_video_layout_lock);
  if (!m_first_video_update && !m_layout_given) {
    PLN_LOG_WARNING("MeetingMessage called twice,return");
    PLN_LOG_WARNING("_Plenova_ UpdateVideoStreamInfo Finish");
    return;
  }
  if (u == nullptr || u->InUseStreamCount < 1 || u->InUseStreamCount > kMaxVideoStreams ||
      u->vstreaminfo == nullptr) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_LOG_ERROR("_Plenova_ UpdateVideoStreamInfo Finish");
    return;
  }
  for (int i = 0; i < u->InUseStreamCount; ++i) {
    if (u->vstreaminfo[i].streamId == nullptr) {
      PLN_LOG_ERROR("_Plenova_ vsinfo->vstreaminfo[%d].streamId is NULL,please check", i);
      return;
    }
    const VideoStreamInfo& e = u->vstreaminfo[i];
    if (!FitsLength(e.streamId, kMaxIdLength) ||
        !EntryFits(e.fps, e.target_w, e.target_h, e.x_position_in_target_frame,
                   e.y_position_in_target_frame)) {
      PLN_LOG_ERROR("'s value is illegall");
      PLN_LOG_ERROR("_Plenova_ UpdateVideoStreamInfo Finish");
      return;
    }
  }

  EvenTargets(u->vstreaminfo, u->InUseStreamCount);
  LogVideoEntries("MeetingMessageParam_For_UpdateVideoStreamInfo", u->vstreaminfo,
                  u->InUseStreamCount);

  if (!m_first_video_update && !VideoLayoutChanged(*u)) {
    PLN_LOG_ERROR("Is No need Updata");
    PLN_LOG_ERROR("_Plenova_ UpdateVideoStreamInfo Finish");
    return;
  }
  StoreVideoLayout(*u);

  const bool first = m_first_video_update;
  if (first) {
    m_first_video_update = false;
    m_synBuffer.InitBuffer(&m_pool);
    // Declared rates are hints: the canvas is composed 25 times a second and
    // every output is described so.
    int32_t declared = 0;
    for (int i = 0; i < u->InUseStreamCount; ++i)
      declared = std::max(declared, u->vstreaminfo[i].fps);
    if (declared == 0) PLN_RAW_ERROR("Func: %s, fps is 0", "PlenovaImp::UpdateVideoStreamInfo");
    // The one reading of the canvas settings for this engine run.
    platform::MutexLock params(m_param_lock);
    m_canvas = {m_video_record.target_w, m_video_record.target_h, m_video_record.target_bitrate};
    m_stream_param.video.fps = kOutputFps;
    m_synctl_param.fps = kOutputFps;
    m_synctl_param.video_frame_duration = 90000 / kOutputFps;
  }
  VideoMixInitParam record{};
  record.streams = u->vstreaminfo;
  record.synBuffer = &m_synBuffer;
  record.count = u->InUseStreamCount;
  record.target_bitrate = m_canvas.bitrate;
  record.target_h = m_canvas.height;
  record.target_w = m_canvas.width;
  record.pool = &m_pool;
  record.timeline = &m_timeline;
  record.streaming = m_streaming.get();
  if (first) {
    m_videoMix->IVideoMixInit(&record, reinterpret_cast<PlenovaCanvasCallback>(m_p1));
    m_videoMix->UpdataVideoMixParam(&record);
    if (m_pictures_pending) {
      m_pictures_pending = false;
      ApplyPictureLayout(m_pending_pictures.data(),
                         static_cast<int32_t>(m_pending_pictures.size()));
    }
    FirstLayoutDone();
  } else {
    m_videoMix->UpdataVideoMixParam(&record);
  }
  PLN_LOG_ERROR("_Plenova_ UpdateVideoStreamInfo Finish Success");
}

void PlenovaImp::ApplyPictureLayout(PictureStreamInfo* entries, int32_t count) {
  m_picture_record.target_h = m_canvas.height;
  m_picture_record.target_w = m_canvas.width;
  m_picture_record.count = count;
  m_picture_record.streams = entries;
  m_picture_record.synBuffer = &m_synBuffer;
  m_picture_record.pool = &m_pool;
  if (m_first_picture_update) {
    m_first_picture_update = false;
    m_picture_record.streaming = m_streaming.get();
    m_videoMix->IPictureMixInit(&m_picture_record);
  }
  m_videoMix->UpdataPictureMixParam(&m_picture_record);
}

void PlenovaImp::UpdatePictureStreamInfo(PictureStreamInfoUpdate* u) {
  PLN_LOG_ERROR("_Plenova_ UpdatePictureStreamInfo start");
  platform::MutexLock lock(m_video_layout_lock);
  if (u == nullptr || u->InUseStreamCount < 0 || u->InUseStreamCount > kMaxVideoStreams ||
      (u->InUseStreamCount > 0 && u->vstreaminfo == nullptr)) {
    PLN_LOG_ERROR("'s value is illegall");
    return;
  }
  for (int i = 0; i < u->InUseStreamCount; ++i) {
    const PictureStreamInfo& e = u->vstreaminfo[i];
    if (!EntryFits(e.fps, e.target_w, e.target_h, e.x_position_in_target_frame,
                   e.y_position_in_target_frame)) {
      PLN_LOG_ERROR("'s value is illegall");
      return;
    }
  }
  EvenTargets(u->vstreaminfo, u->InUseStreamCount);
  LogVideoEntries("MeetingMessageParam_For_UpdatePictureStreamInfo", u->vstreaminfo,
                  u->InUseStreamCount);
  if (m_video_stream_count == 0) {
    // No canvas exists before the first video layout: keep a copy and paint
    // the pictures once the video mixer is set up.
    m_pending_pictures.assign(u->vstreaminfo, u->vstreaminfo + u->InUseStreamCount);
    m_pictures_pending = true;
  } else {
    ApplyPictureLayout(u->vstreaminfo, u->InUseStreamCount);
  }
  PLN_LOG_ERROR("_Plenova_ UpdatePictureStreamInfo Finish Success");
}

void PlenovaImp::FirstLayoutDone() {
  platform::MutexLock lock(m_control_lock);
  if (m_layout_given) {
    StartEngineLocked();
  }
  m_layout_given = true;
}

void PlenovaImp::StartEngineLocked() {
  if (m_started || m_stream_init_done) return;
  AVSynCtlParam synctl;
  AVStreamInitParam outputs;
  {
    platform::MutexLock params(m_param_lock);
    synctl = m_synctl_param;
    outputs = m_stream_param;
  }
  // Every part of this run works on the canvas the compositor was given.
  synctl.width = m_canvas.width;
  synctl.height = m_canvas.height;
  synctl.video_bitrate = m_canvas.bitrate;
  outputs.video.video_width = m_canvas.width;
  outputs.video.video_height = m_canvas.height;
  outputs.video.video_bitrate = m_canvas.bitrate;
  synctl.synBuffer = &m_synBuffer;
  synctl.streaming = m_streaming.get();
  m_synCtl->InitIAVSynCtl(&synctl, &m_pool);

  LogStreamInitParam(outputs);
  m_streaming->IAVStreamInit(&outputs, &m_pool, m_p2, m_p3, 0);
  m_synCtl->StartSynThread();
  m_videoMix->StartVideoMixThread();
  m_audioMix->start();
  m_started = true;
  m_stream_init_done = true;
  m_running = true;
}

// ---------------------------------------------------------------------------
// Frame intake

int PlenovaImp::PushAudioFrame(int channels, int sampling_per_bits, int sampling_rate, void* buffer,
                               int buflen, uint64_t stamptime, const char* streamId) {
  const int result = QueueAudioFrame(channels, sampling_per_bits, sampling_rate, buffer, buflen,
                                     stamptime, streamId);
  if (result != 0) CountRefused(streamId);
  return result;
}

int PlenovaImp::QueueAudioFrame(int channels, int sampling_per_bits, int sampling_rate,
                                void* buffer, int buflen, uint64_t stamptime,
                                const char* streamId) {
  if (channels < 1 || sampling_per_bits < 1 || sampling_rate < 1 || buflen < 1 ||
      streamId == nullptr || buffer == nullptr || !FitsLength(streamId, kMaxIdLength)) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_RAW_ERROR("_Plenova_ PushAudioFrame channels=%d", channels);
    PLN_RAW_ERROR("_Plenova_ PushAudioFrame sampling_rate=%d", sampling_rate);
    PLN_RAW_ERROR("_Plenova_ PushAudioFrame sampling_per_bits=%d", sampling_per_bits);
    PLN_RAW_ERROR("_Plenova_ PushAudioFrame Buffer_len=%d", buflen);
    if (streamId == nullptr)
      PLN_RAW_ERROR("_Plenova_ PushAudioFrame streamId is NULL,return Error");
    PLN_RAW_ERROR("_Plenova_ PushAudioFrame buf_Location=%p", buffer);
    return -1;
  }
  if (!m_running) {
    PLN_SITE_WARNING(
        "File:%s,Line=%05d  Function: %s:Can't Push Data,Plenoav has not start or Has stoped!!!");
    return -1;
  }
  if (!m_audio_param_ok) {
    PLN_SITE_ERROR(
        "File:%s,Line=%05d  Function: %s: PushAudioFrame() Failed!!! because SetAuidoParam() "
        "Function's param set is ilegall,please check!");
    return -1;
  }

  platform::MutexLock lock(m_audio_layout_lock);
  if (!m_running) return -1;  // stopped while this call waited for the lock
  PoolBufferPtr block = AdoptPoolBuffer(m_pool.GetEmptyBuffer(buflen), &m_pool);
  if (block == nullptr) {
    PLN_LOG_ERROR("'s GetEmptyBuffer failed ");
    return -1;
  }
  const uint64_t n = ++m_audio_frames;
  if (n % 50 == 0) {
    PLN_LOG_ERROR(
        "_Plenova_ PushAudioFrame streamId:%s sampling_rate:%d sampling_per_bits:%d channels:%d "
        "stamptime:%llu buflen:%d",
        streamId, sampling_rate, sampling_per_bits, channels,
        static_cast<unsigned long long>(stamptime), buflen);
  }
  block->len = buflen;
  block->timestamp = stamptime;
  block->tick = ArrivalTick(platform::TimeGetTime());
  std::memcpy(block->data, buffer, static_cast<size_t>(buflen));
  m_audioMix->IAudioMixPushData(
      AudioMixFrame{std::move(block), streamId, channels, sampling_per_bits, sampling_rate, 0});
  return 0;
}

int PlenovaImp::PushVideoFrame(int source_w, int source_h, const char* streamId, int fps,
                               void* buffer, int buflen, uint64_t stamptime, uint32_t extra) {
  const int result =
      QueueVideoFrame(source_w, source_h, streamId, fps, buffer, buflen, stamptime, extra);
  if (result != 0) CountRefused(streamId);
  return result;
}

int PlenovaImp::QueueVideoFrame(int source_w, int source_h, const char* streamId, int fps,
                                void* buffer, int buflen, uint64_t stamptime, uint32_t extra) {
  if (source_h < 1 || source_w < 1 || buflen < 1 || streamId == nullptr || buffer == nullptr ||
      !FitsLength(streamId, kMaxIdLength)) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_RAW_ERROR("_Plenova_ PushVideoFrame source_h=%d", source_h);
    PLN_RAW_ERROR("_Plenova_ PushVideoFrame source_w=%d", source_w);
    PLN_RAW_ERROR("_Plenova_ PushVideoFrame buflen=%d", buflen);
    if (streamId == nullptr)
      PLN_RAW_ERROR("_Plenova_ PushVideoFrame streamId is NULL,return Error");
    if (buffer == nullptr) PLN_RAW_ERROR("_Plenova_ PushVideoFrame buffer is Invalid,return Error");
    return -1;
  }
  if (!m_running) {
    PLN_SITE_ERROR(
        "File:%s,Line=%05d  Function: %s:Can't Push Data,Plenoav has not start or Has stoped!!!");
    return -1;
  }
  // 64-bit products: a huge picture must not wrap into a plausible length.
  const int64_t pixels = static_cast<int64_t>(source_w) * source_h;
  if (pixels > INT32_MAX || static_cast<int64_t>(buflen) != pixels * 3 / 2) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s:Push Video DataLen=%d is not correct!!!",
                   buflen);
    return -1;
  }
  if (!m_video_param_ok) {
    PLN_SITE_ERROR(
        "File:%s,Line=%05d  Function: %s: PushVideoFrame() Failed!!! because SetVideoParam() "
        "Function's param set is ilegall,please check!");
    return -1;
  }

  platform::MutexLock lock(m_video_layout_lock);
  if (!m_running) return -1;
  PoolBufferPtr block = AdoptPoolBuffer(m_pool.GetEmptyBuffer(buflen), &m_pool);
  if (block == nullptr) {
    PLN_LOG_ERROR("'s GetEmptyBuffer failed ");
    return -1;
  }
  const uint64_t n = ++m_video_frames;
  if (n % 20 == 0) {
    PLN_LOG_ERROR(
        "_Plenova_ PushVideoFrame streamId:%s fps:%d source_width:%d source_height:%d "
        "stamptime:%llu buflen:%d",
        streamId, fps, source_w, source_h, static_cast<unsigned long long>(stamptime), buflen);
  }
  block->len = buflen;
  block->timestamp = stamptime;
  block->extra = extra;
  block->tick = ArrivalTick(platform::TimeGetTime());
  std::memcpy(block->data, buffer, static_cast<size_t>(buflen));
  m_videoMix->PushVideoMixData(
      VideoMixFrame{std::move(block), source_h, source_w, streamId, fps, 0});
  return 0;
}

// ---------------------------------------------------------------------------
// Recording and streaming control

int PlenovaImp::StartMp4Record(const char* path) {
  platform::MutexLock control(m_control_lock);
  if (m_streaming && m_streaming->Mp4RecordRequested()) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  StartMp4Record has already Start");
    return -1;
  }
  if (path == nullptr) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ Mp4FilePath is NULL");
    return -1;
  }
  if (path[0] == '\0' || !FitsLength(path, sizeof(m_stream_param.filePath) - 1)) {
    PLN_LOG_ERROR("'s value is illegall");
    return -1;
  }
  if (!m_streaming) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ IAVStreaming hasn't initialized");
    return -1;
  }
  {
    platform::MutexLock params(m_param_lock);
    CopyField(m_stream_param.filePath, path);
  }
  if (!m_stream_init_done) {
    PLN_SITE_ERROR(
        "File:%s,Line=%05d  Function: %s  AVStreamingImp::IAVStreamInit_  hasn't called");
    if (m_streaming->SetMp4Url(path) != 0) return -1;
    PLN_LOG_ERROR("MeetingMessage end");
    return 0;
  }
  if (m_streaming->StartMp4Record(path) != 0) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ Start Mp4Record failed");
    return -1;
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ Start Mp4Record success");
  return 0;
}

int PlenovaImp::StopMp4Record() {
  platform::MutexLock control(m_control_lock);
  if (!m_streaming || !m_streaming->Mp4RecordRequested()) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  StartMp4Record has already Stop");
    return -1;
  }
  // A start still waiting for the engine is cancelled: that is a stop too.
  if (m_streaming->StopMp4Record() != 0) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ Stop Mp4Record failed");
    return -1;
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ Stop Mp4Record success");
  return 0;
}

int PlenovaImp::StartRecord(const char* url) {
  platform::MutexLock control(m_control_lock);
  if (m_streaming && m_streaming->RtmpRequested()) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  StartRecord has already Start");
    return -1;
  }
  PLN_LOG_ERROR("MeetingMessage start");
  if (url == nullptr || url[0] == '\0' || !FitsLength(url, sizeof(m_stream_param.url_1) - 1)) {
    PLN_LOG_ERROR("'s value is illegall");
    return -1;
  }
  if (!m_streaming) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ IAVStreaming hasn't initialized");
    return -1;
  }
  {
    platform::MutexLock params(m_param_lock);
    CopyField(m_stream_param.url_1, url);
  }
  if (!m_stream_init_done) {
    PLN_SITE_ERROR(
        "File:%s,Line=%05d  Function: %s  AVStreamingImp::IAVStreamInit_  hasn't called");
    if (m_streaming->SetRecordUrl(url) != 0) return -1;
    PLN_LOG_ERROR("MeetingMessage end");
    return 0;
  }
  if (m_streaming->StartRecord(url) != 0) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ Start StartRecord failed");
    return -1;
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ Start StartRecord success");
  PLN_LOG_ERROR("MeetingMessage end");
  return 0;
}

int PlenovaImp::StopRecord() {
  platform::MutexLock control(m_control_lock);
  if (!m_streaming || !m_streaming->RtmpRequested()) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  StartRecord has already Stop");
    return -1;
  }
  PLN_LOG_ERROR("MeetingMessage start");
  if (m_streaming->StopRecord() != 0) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ StopRecord failed");
    return -1;
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ StopRecord success");
  PLN_LOG_ERROR("MeetingMessage end");
  return 0;
}

int PlenovaImp::SetMp4RecordCallback(int streamid, Mp4RecordStateCallback callback) {
  if (callback == nullptr || streamid < 1) {
    PLN_SITE_ERROR(
        "File:%s,Line=%05d  Function: %s  _Plenova_ StateCallback is NULL or streamid[%d] is "
        "invalid",
        streamid);
    return -1;
  }
  if (!m_streaming) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ IAVStreaming hasn't initialized");
    return -1;
  }
  platform::MutexLock control(m_control_lock);
  m_mp4_callback = callback;
  m_mp4_callback_streamid = streamid;
  if (m_streaming->SetMp4RecordCallback(streamid, callback) != 0) {
    PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ SetMp4RecordCallback failed");
    return -1;
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s  _Plenova_ SetMp4RecordCallback success");
  PLN_LOG_ERROR("MeetingMessage end");
  return 0;
}

}  // namespace plenova
