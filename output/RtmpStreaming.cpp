#include "output/RtmpStreaming.h"

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <string>

#include "api/Plenova.h"
#include "common/MemoryPool.h"
#include "log/PlenovaLog.h"
#include "output/AVSample.h"
#include "output/OutputLog.h"
#include "platform/Clock.h"

namespace plenova {

namespace {

// The 12-bit ADTS syncword at the start of an AAC frame.
bool HasAdtsHeader(const PoolBuffer& buffer) {
  return buffer.len >= 7 && buffer.data[0] == 0xFF && (buffer.data[1] & 0xF0) == 0xF0;
}
constexpr int32_t kAdtsHeaderBytes = 7;

// Room below a run's first stamp, in the RTMP library's 100-ns units: a
// sample up to this much older than the first one still gets a time.
constexpr int64_t kHeadroom100ns = 100'000'000;  // 10 s
// Beyond this distance from the first stamp a sample's stamp is broken.
constexpr int64_t kMaxDistance = int64_t{1} << 40;

}  // namespace

RtmpStreaming::RtmpStreaming(std::string libraryName) : m_libraryName(std::move(libraryName)) {
  platform::MutexLock lock(m_mutex);
  if (!LoadLibraryLocked()) PLN_LOG_ERROR("'s Plenova loadlibrary failed");
}

RtmpStreaming::~RtmpStreaming() {
  m_running = false;
  m_thread.reset();  // joins
  platform::MutexLock lock(m_mutex);
  DropHandleLocked();
  FreeLibraryLocked();
}

bool RtmpStreaming::LoadLibraryLocked() {
  FreeLibraryLocked();
  if (!m_library.Load(m_libraryName)) {
    PLN_LOG_ERROR("'s library %s: %s", m_libraryName.c_str(), m_library.Error().c_str());
    return false;
  }
  WendrelApi api;
  bool complete = true;
  auto resolve = [&](auto& slot, const char* name) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(m_library.Symbol(name));
    if (slot == nullptr) {
      PLN_LOG_ERROR("'s library %s lacks %s", m_libraryName.c_str(), name);
      complete = false;
    }
  };
  resolve(api.PushMediaSample, "PushMediaSample");
  resolve(api.Stop, "Stop");
  resolve(api.Start, "Start");
  resolve(api.SetMediaType, "SetMediaType");
  resolve(api.Release, "Release");
  resolve(api.SetLocalIP, "SetLocalIP");
  resolve(api.Initialize, "Initialize");
  resolve(api.DeleteFME, "DeleteFME");
  resolve(api.GetFME, "GetFME");
  if (!complete) {
    m_library.Free();
    return false;
  }
  m_api = api;
  m_pushResolved = true;
  return true;
}

void RtmpStreaming::FreeLibraryLocked() {
  // A handle belongs to the library's code: it goes first.
  DropHandleLocked();
  m_api = WendrelApi{};
  m_pushResolved = false;
  m_library.Free();
}

bool RtmpStreaming::AllResolvedLocked() const {
  return m_api.PushMediaSample != nullptr && m_api.Stop != nullptr && m_api.Start != nullptr &&
         m_api.SetMediaType != nullptr && m_api.SetLocalIP != nullptr &&
         m_api.Initialize != nullptr && m_api.DeleteFME != nullptr && m_api.GetFME != nullptr;
}

void RtmpStreaming::DropHandleLocked() {
  if (m_handle == nullptr) return;
  if (m_api.Stop != nullptr) m_api.Stop(m_handle);
  if (m_api.DeleteFME != nullptr) m_api.DeleteFME(m_handle);
  m_handle = nullptr;
}

bool RtmpStreaming::Reloadlibrary() {
  platform::MutexLock lock(m_mutex);
  if (!LoadLibraryLocked()) {
    PLN_LOG_ERROR("'s loadlibrary failed");
    return false;
  }
  return true;
}

void RtmpStreaming::RefreshUrlValidityLocked() {
  const std::string placeholder = std::string("rtmp://") + m_localIp + "/live";
  m_urlValid = placeholder != m_settings.url;
}

bool RtmpStreaming::ConfiguredLocked() {
  RefreshUrlValidityLocked();
  if (HasValidUrl()) return true;
  // The client left this destination empty: nothing to connect to.
  DropHandleLocked();
  PLN_LOG_ERROR("'s _Plenova_ url %s not configured, not connecting", m_settings.url);
  return false;
}

bool RtmpStreaming::HasValidUrl() const { return m_urlValid.load(); }

void RtmpStreaming::NotifyMessage(const char* text, int code) {
  platform::MutexLock lock(m_mutex);
  auto callback = reinterpret_cast<PlenovaMessageCallback>(m_p3);
  if (callback == nullptr || !HasValidUrl()) return;
  const std::string message = std::string("Message:") + text + m_settings.url;
  callback(message.c_str(), code);
}

void RtmpStreaming::LogSettingsLocked() {
  PLN_RAW_DEBUG("_Plenova_ Set RTMP Param url=%s name=%s", m_settings.url, m_settings.stream_name);
  PLN_RAW_DEBUG("_Plenova_ Set RTMP Param bit_rate=%d channels=%d samplebits=%d samplerate=%d",
                m_settings.audio_bitrate, m_settings.channels, m_settings.sampling_per_bits,
                m_settings.sampling_rate);
  PLN_RAW_DEBUG("_Plenova_ Set RTMP Param width=%d height=%d bitrate=%d fps=%d",
                m_settings.video_width, m_settings.video_height, m_settings.video_bitrate,
                m_settings.fps);
}

bool RtmpStreaming::InitRtmp(MemoryPool* pool, const RtmpPublishParam* settings,
                             const char* localIp, uint16_t localPort, void* p2, void* p3,
                             uint8_t full) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start ");
  if (pool == nullptr || settings == nullptr) {
    PLN_LOG_ERROR("'s invalid param");
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish ");
    return false;
  }
  platform::MutexLock lock(m_mutex);
  if (full == 0) {
    // The parameter sets are this publisher's own; the caller's record
    // carries none.
    const RtmpPublishParam previous = m_settings;
    m_settings = *settings;
    if (m_settings.sps_pps_len <= 0) {
      std::memcpy(m_settings.sps_pps, previous.sps_pps, sizeof(m_settings.sps_pps));
      m_settings.sps_pps_len = previous.sps_pps_len;
    }
    if (!ConfiguredLocked()) return false;
    m_sending = true;
    ReInitRtmp();
    m_sending = true;
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
    return true;
  }

  m_pool = pool;
  m_audioQueue.SetPool(pool);
  m_videoQueue.SetPool(pool);
  m_p2 = p2;
  m_p3 = p3;
  m_localPort = localPort;
  std::memset(m_localIp, 0, sizeof(m_localIp));
  if (localIp != nullptr)
    std::memcpy(m_localIp, localIp, ::strnlen(localIp, sizeof(m_localIp) - 1));
  m_settings = *settings;
  // A new connection replaces any earlier one.
  DropHandleLocked();
  if (!ConfiguredLocked()) return false;
  if (!AllResolvedLocked()) LoadLibraryLocked();

  auto fail = [&](const char* line) {
    PLN_LOG_ERROR("%s", line);
    FreeLibraryLocked();
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish ");
    return false;
  };
  if (m_api.GetFME == nullptr || (m_handle = m_api.GetFME()) == nullptr)
    return fail("'s Plenova GetPME() failed");
  if (!m_api.Initialize(m_handle)) return fail("'s Plenova RtmpInit() failed");

  m_localPort = static_cast<uint16_t>(m_localPort + kInitPortStep);
  PLN_LOG_DEBUG("'s _Plenova_ Set LocalIp");
  if (!m_api.SetLocalIP(m_handle, m_localIp, m_localPort)) {
    NotifyMessage("_Plenova_ Set LocalIp() failed!", 0);
    return fail("'s Plenova SetLocalIp() failed");
  }
  PLN_LOG_DEBUG("'s _Plenova_ Set LocalIp success");
  PLN_LOG_DEBUG("'s _Plenova_ Rtmp Start Params:");
  LogSettingsLocked();
  if (!m_api.Start(m_handle, m_settings.url, m_settings.stream_name)) {
    NotifyMessage("_Plenova_ Start() failed!", 1);
    return fail("'s Plenova Start() failed");
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

bool RtmpStreaming::ReInitRtmp() {
  platform::MutexLock lock(m_mutex);
  // Whatever connection is left is replaced.
  DropHandleLocked();
  if (!AllResolvedLocked()) LoadLibraryLocked();
  if (m_api.GetFME == nullptr || (m_handle = m_api.GetFME()) == nullptr) {
    PLN_LOG_ERROR("'s _Plenova_ RTMP loadlibrary failed");
    FreeLibraryLocked();
    return false;
  }
  if (!m_api.Initialize(m_handle)) {
    PLN_LOG_ERROR("'s _Plenova_ RTMP 初始化失败");
    FreeLibraryLocked();
    return false;
  }
  m_localPort = static_cast<uint16_t>(m_localPort + kReInitPortStep);
  if (!m_api.SetLocalIP(m_handle, m_localIp, m_localPort)) {
    PLN_LOG_ERROR("'s _Plenova_ RTMP 重新设置IP失败");
    FreeLibraryLocked();
    return false;
  }
  PLN_LOG_DEBUG("'s _Plenova_ RTMP 重新设置IP成功");
  if (!m_api.Start(m_handle, m_settings.url, m_settings.stream_name)) {
    NotifyMessage("_Plenova_ RTMP 启动失败", 1);
    PLN_LOG_ERROR("'s _Plenova_ RTMP 启动失败");
    FreeLibraryLocked();
    return false;
  }
  PLN_LOG_ERROR("_Plenova_ setMediaType");
  LogSettingsLocked();
  RtmpPublishParam copy = m_settings;
  if (!m_api.SetMediaType(m_handle, &copy)) {
    PLN_LOG_ERROR("'s  _Plenova_ RTMP 重新设置 SetMediaType()失败 URL:%s", m_settings.url);
    return false;
  }
  PLN_LOG_ERROR("'s  _Plenova_ RTMP 重新设置 SetMediaType()成功！URL:%s", m_settings.url);
  return true;
}

bool RtmpStreaming::AnnounceMediaLocked() {
  if (m_api.SetMediaType == nullptr || m_handle == nullptr) return false;
  RtmpPublishParam copy = m_settings;
  return m_api.SetMediaType(m_handle, &copy);
}

int RtmpStreaming::AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len) {
  if (spsPps == nullptr || len < 1 || len > static_cast<int32_t>(sizeof(m_settings.sps_pps))) {
    PLN_LOG_ERROR("'s value is illegall");
    return -1;
  }
  platform::MutexLock lock(m_mutex);
  std::memset(m_settings.sps_pps, 0, sizeof(m_settings.sps_pps));
  std::memcpy(m_settings.sps_pps, spsPps, static_cast<size_t>(len));
  m_settings.sps_pps_len = len;
  if (m_api.SetMediaType == nullptr) LoadLibraryLocked();
  PLN_LOG_ERROR("_Plenova_ setMediaType");
  PLN_RAW_DEBUG("_Plenova_ Set RTMP Param:");
  LogSettingsLocked();
  if (!AnnounceMediaLocked()) {
    NotifyMessage("_Plenova_ SetMediaType() Failed!", 2);
    PLN_LOG_ERROR("'s _Plenova_ SetMediaType failed URL:%s", m_settings.url);
    m_sending = false;
    return -1;
  }
  PLN_LOG_ERROR("'s  _Plenova_ SetMediaType success URL:%s", m_settings.url);
  m_sending = true;
  return 0;
}

void RtmpStreaming::UpdateRtmp(const uint8_t* spsPps, int32_t len, int32_t fps, int32_t channels,
                               int32_t bits, int32_t rate) {
  if (spsPps == nullptr || len < 1 || fps < 1 || channels < 1 || bits < 1 || rate < 1 ||
      len > static_cast<int32_t>(sizeof(m_settings.sps_pps))) {
    PLN_LOG_ERROR("'s invalid param");
    return;
  }
  platform::MutexLock lock(m_mutex);
  if (fps == m_settings.fps && len == m_settings.sps_pps_len && channels == m_settings.channels &&
      bits == m_settings.sampling_per_bits && rate == m_settings.sampling_rate) {
    PLN_LOG_ERROR("'s  _Plenova_ NoNeed To Updata RTMP Info URL=%s", m_settings.url);
    return;
  }
  m_settings.fps = fps;
  m_settings.sps_pps_len = len;
  std::memset(m_settings.sps_pps, 0, sizeof(m_settings.sps_pps));
  std::memcpy(m_settings.sps_pps, spsPps, static_cast<size_t>(len));
  m_settings.channels = channels;
  m_settings.sampling_per_bits = bits;
  m_settings.sampling_rate = rate;
  m_settings.media_flags = 40;
  PLN_LOG_ERROR("_Plenova_ setMediaType");
  PLN_RAW_DEBUG("_Plenova_ Set RTMP Param:");
  LogSettingsLocked();
  if (m_handle == nullptr) {
    // Not connected: the values apply to the next connection.
    return;
  }
  if (!AnnounceMediaLocked()) {
    NotifyMessage("_Plenova_ SetMediaType() Failed!", 2);
    PLN_LOG_ERROR("'s  _Plenova_ SetMediaType failed URL:%s", m_settings.url);
    return;
  }
  PLN_LOG_ERROR("'s  _Plenova_ SetMediaType success URL:%s", m_settings.url);
  m_sending = true;
  ReInitRtmp();
}

bool RtmpStreaming::UnintRtmp() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  _Plenova_ RTMP 尝试停止推流");
  platform::MutexLock lock(m_mutex);
  DropHandleLocked();
  PLN_SITE_ERROR("File:%s,Line=%05d Function: %s  _Plenova_ RTMP 停止推流成功 ");
  return true;
}

void RtmpStreaming::startRtmp() {
  if (m_running.exchange(true)) {
    PLN_LOG_ERROR("'s _Plenova_ start Rtmp failed");
    return;
  }
  m_audioStarted = false;
  m_hasStampBase = false;
  m_audioLatency.Reset();
  m_videoLatency.Reset();
  m_thread = std::make_unique<platform::Thread>();
  if (m_thread->Start([this] { VideoRtmpThreadFunc(); })) {
    PLN_LOG_ERROR("'s _Plenova_ start Rtmp success");
    return;
  }
  PLN_LOG_ERROR("'s _Plenova_ start Rtmp failed create Rtmp thread failed");
  m_thread.reset();
  m_running = false;
}

void RtmpStreaming::stopRtmp() {
  if (!m_running.exchange(false)) {
    PLN_LOG_ERROR("'s _Plenova_ stop Rtmp failed");
    return;
  }
  m_thread.reset();  // joins
  PLN_LOG_ERROR("'s _Plenova_ stop Rtmp success");
}

bool RtmpStreaming::PushRtmpData(const uint8_t* data, int32_t len, uint64_t ts, int32_t type,
                                 uint8_t key, uint32_t tick) {
  if (data == nullptr || len < 1) return false;
  if (!HasValidUrl()) {
    platform::MutexLock lock(m_mutex);
    PLN_FILE_LINE_ERROR("File:%s,Line=%05d URL:%s _url invalid", m_settings.url);
    return false;
  }
  if (!m_pushResolved) {
    // While the send thread holds the mutex it is reconnecting and loads the
    // library itself; the sync thread does not wait for it.
    std::unique_lock<platform::Mutex> lock(m_mutex, std::try_to_lock);
    if (lock.owns_lock() && !LoadLibraryLocked()) {
      PLN_LOG_ERROR("'s loadlibrary failed");
      PLN_FILE_LINE_ERROR("File:%s,Line=%05d URL:%s _load library failed", m_settings.url);
      return false;
    }
  }
  if (type == static_cast<int32_t>(kStreamTypeAudio)) {
    m_audioQueue.PutData(data, len, ts, key, tick);
    return true;
  }
  auto hook = reinterpret_cast<PlenovaSampleCallback>(m_p2.load());
  if (m_videoHookEnabled && hook != nullptr) hook(const_cast<uint8_t*>(data), len);
  m_videoQueue.PutData(data, len, ts, key, tick);
  return true;
}

void RtmpStreaming::ReturnUnit(std::unique_ptr<RtmpDataUnit> unit) {
  MemoryPool* pool;
  {
    platform::MutexLock lock(m_mutex);
    pool = m_pool;
  }
  if (pool != nullptr)
    pool->PutEmptyBuffer(unit->buffer);
  else
    DestroyPoolBuffer(unit->buffer);
}

bool RtmpStreaming::PushLocked(const RtmpDataUnit& unit, uint64_t timestamp, bool audio) {
  if (m_handle == nullptr || m_api.PushMediaSample == nullptr) return false;
  const uint8_t* data = unit.buffer->data;
  int32_t len = unit.buffer->len;
  if (audio && HasAdtsHeader(*unit.buffer)) {
    data += kAdtsHeaderBytes;
    len -= kAdtsHeaderBytes;
  }
  if (!m_api.PushMediaSample(m_handle, data, static_cast<uint32_t>(len), timestamp,
                             audio ? kWendrelKindAudio : kWendrelKindVideo, audio ? 1 : 0,
                             audio ? 0 : unit.isKeyFrame))
    return false;
  (audio ? m_audioLatency : m_videoLatency).Add(unit.buffer->tick, platform::TimeGetTime());
  return true;
}

uint64_t RtmpStreaming::TimeOfLocked(uint64_t stamp) {
  if (!m_hasStampBase) {
    m_hasStampBase = true;
    m_stampBase = stamp;
  }
  // Stamps wrap modulo 2^64: the distance from the run's first one is signed.
  const int64_t ticks = std::clamp(static_cast<int64_t>(stamp - m_stampBase), -kMaxDistance, kMaxDistance);
  return static_cast<uint64_t>(std::max<int64_t>(0, kHeadroom100ns + ticks * 1000 / 9));
}

void RtmpStreaming::SendVideo(const RtmpDataUnit& unit) {
  platform::MutexLock lock(m_mutex);
  const uint64_t time = TimeOfLocked(unit.buffer->timestamp);
  if (PushLocked(unit, time, false)) {
    ++m_videoFramesSent;
    m_videoFailures = 0;
    return;
  }
  if (unit.isKeyFrame == 0) {
    if (m_videoFailures++ % kFailureLogEvery == 0)
      PLN_FILE_LINE_ERROR(
        "File:%s,Line=%05d URL:%s StreamName=%s _Plenova_ RTMP 推送视频流失败，等待重新初始化",
        m_settings.url, m_settings.stream_name);
    return;
  }
  PLN_FILE_LINE_ERROR(
      "File:%s,Line=%05d URL:%s StreamName=%s _Plenova_ RTMP 推送视频流失败，重新初始化",
      m_settings.url, m_settings.stream_name);
  UnintRtmp();
  if (ReInitRtmp() && PushLocked(unit, time, false)) ++m_videoFramesSent;
}

bool RtmpStreaming::SendStep() {
  const uint8_t sending = m_sending ? 1 : 0;
  std::unique_ptr<RtmpDataUnit> audio = m_audioQueue.GetData(sending);
  if (audio != nullptr) {
    platform::MutexLock lock(m_mutex);
    if (PushLocked(*audio, TimeOfLocked(audio->buffer->timestamp), true)) {
      ++m_audioSamplesSent;
      m_audioFailures = 0;
    } else if (m_audioFailures++ % kFailureLogEvery == 0) {
      PLN_FILE_LINE_ERROR(
          "File:%s,Line=%05d URL:%s StreamName=%s _Plenova_ RTMP 推送音频流失败，等待重新初始化！",
          m_settings.url, m_settings.stream_name);
    }
    m_audioStarted = true;
  }
  std::unique_ptr<RtmpDataUnit> video = m_videoQueue.GetData(sending);
  if (video != nullptr) SendVideo(*video);
  const bool worked = audio != nullptr || video != nullptr;
  if (audio != nullptr) ReturnUnit(std::move(audio));
  if (video != nullptr) ReturnUnit(std::move(video));
  return worked;
}

void RtmpStreaming::VideoRtmpThreadFunc() {
  PLN_LOG_ERROR("'s _Plenova_ VideoRtmpThreadFunc success");
  while (m_running) {
    if (!SendStep()) platform::SleepMs(kIdleSleepMs);
  }
}

}  // namespace plenova
