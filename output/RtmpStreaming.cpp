#include "output/RtmpStreaming.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "api/Plenova.h"
#include "common/MemoryPool.h"
#include "log/PlenovaLog.h"
#include "output/AVSample.h"
#include "output/OutputLog.h"
#include "platform/Clock.h"
#include "quillet/UrlMask.h"

namespace plenova {

namespace {

// The 12-bit ADTS syncword at the start of an AAC frame.
bool HasAdtsHeader(const PoolBuffer& buffer) {
  return buffer.len >= 7 && buffer.data[0] == 0xFF && (buffer.data[1] & 0xF0) == 0xF0;
}
constexpr int32_t kAdtsHeaderBytes = 7;

// Milliseconds to the library's 100-ns units.
constexpr uint64_t kHundredNsPerMs = 10000;

// The waits after the first, second, ... failed try.
constexpr std::array<uint32_t, 10> kRetryDelaysMs = {500,  1000, 1500,  2000,  3000,
                                                     5000, 8000, 13000, 21000, 30000};

const char* StateName(RtmpStreaming::State state) {
  switch (state) {
    case RtmpStreaming::State::kStopped: return "stopped";
    case RtmpStreaming::State::kConnecting: return "connecting";
    case RtmpStreaming::State::kPublishing: return "publishing";
    case RtmpStreaming::State::kReconnecting: return "reconnecting";
  }
  return "unknown";
}

}  // namespace

uint32_t RtmpStreaming::RetryDelayMs(uint32_t attempt) {
  if (attempt == 0) return 0;
  return attempt <= kRetryDelaysMs.size() ? kRetryDelaysMs[attempt - 1] : kMaxRetryDelayMs;
}

RtmpStreaming::RtmpStreaming(std::string libraryName, Mode mode)
    : m_libraryName(std::move(libraryName)), m_mode(mode) {
  platform::MutexLock lock(m_mutex);
  if (!LoadLibraryLocked()) PLN_LOG_ERROR("'s Plenova loadlibrary failed");
}

RtmpStreaming::~RtmpStreaming() {
  if (m_started) stopRtmp();
  platform::MutexLock lock(m_mutex);
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
  return true;
}

void RtmpStreaming::FreeLibraryLocked() {
  m_api = WendrelApi{};
  m_library.Free();
}

bool RtmpStreaming::AllResolvedLocked() const {
  return m_api.PushMediaSample != nullptr && m_api.Stop != nullptr && m_api.Start != nullptr &&
         m_api.SetMediaType != nullptr && m_api.SetLocalIP != nullptr &&
         m_api.Initialize != nullptr && m_api.DeleteFME != nullptr && m_api.GetFME != nullptr;
}

void RtmpStreaming::RefreshUrlValidityLocked() {
  const std::string placeholder = std::string("rtmp://") + m_localIp + "/live";
  m_urlValid = placeholder != m_settings.url;
}

bool RtmpStreaming::HasValidUrl() const { return m_urlValid.load(); }

RtmpStreaming::State RtmpStreaming::state() const {
  std::lock_guard lock(m_stateMutex);
  return m_state;
}

void RtmpStreaming::NotifyMessage(const char* text, int code) {
  PlenovaMessageCallback callback;
  std::string message;
  {
    platform::MutexLock lock(m_mutex);
    callback = reinterpret_cast<PlenovaMessageCallback>(m_p3);
    if (callback == nullptr || !HasValidUrl()) return;
    message = std::string("Message:") + text + quillet::MaskUrl(m_settings.url);
  }
  callback(message.c_str(), code);
}

void RtmpStreaming::SetState(State state, uint32_t attempt, uint32_t delay_ms,
                             const std::string& reason) {
  State previous;
  {
    std::lock_guard lock(m_stateMutex);
    previous = m_state;
    // Each try of a reconnection is news to the host; other states once.
    if (previous == state && state != State::kReconnecting) return;
    m_state = state;
  }
  std::string url;
  {
    platform::MutexLock lock(m_mutex);
    url = quillet::MaskUrl(m_settings.url);
  }
  PLN_LOG_ERROR("'s _Plenova_ RTMP %s -> %s URL:%s try=%u next_in=%ums %s", StateName(previous),
                StateName(state), url.c_str(), attempt, delay_ms, reason.c_str());
  const uint32_t now = platform::TimeGetTime();
  const auto attempt_number = static_cast<int32_t>(std::min<uint32_t>(attempt, INT32_MAX));
  const auto delay = static_cast<int32_t>(std::min<uint32_t>(delay_ms, INT32_MAX));
  switch (state) {
    case State::kConnecting:
      m_report.OutageBegins(now);
      m_report.ResetRate();
      m_report.Report(PLENOVA_EVENT_CONNECTING, url, 1);
      break;
    case State::kPublishing:
      m_report.OutageEnds(now);
      m_report.Report(PLENOVA_EVENT_PUBLISHING, url);
      NotifyMessage("_Plenova_ RTMP publishing ", kMessagePublishing);
      break;
    case State::kReconnecting:
      m_report.OutageBegins(now);
      m_report.SetLastError(reason);
      m_report.Report(PLENOVA_EVENT_RECONNECTING, reason, attempt_number, delay);
      break;
    case State::kStopped:
      m_report.OutageEnds(now);
      m_report.Report(PLENOVA_EVENT_STOPPED, url);
      break;
  }
}

void RtmpStreaming::SetEventSink(EventSink* sink, PlenovaOutput output) {
  m_report.SetSink(sink, output);
}

void RtmpStreaming::CollectStatistics(PlenovaOutputStatistics* out) const {
  m_report.Fill(out, platform::TimeGetTime(), &m_videoLatency);
  out->dropped += m_audioQueue.Dropped() + m_videoQueue.Dropped();
  out->queue_depth = static_cast<uint32_t>(m_audioQueue.Depth() + m_videoQueue.Depth());
}

void RtmpStreaming::LogSettingsLocked() {
  PLN_RAW_DEBUG("_Plenova_ Set RTMP Param url=%s name=%s", quillet::MaskUrl(m_settings.url).c_str(),
                quillet::MaskStreamName(m_settings.stream_name).c_str());
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
  // The dispatcher starts publishers only once it has its pool.
  assert(pool != nullptr && settings != nullptr);
  if (pool == nullptr || settings == nullptr) return false;
  platform::MutexLock lock(m_mutex);
  // The parameter sets are this publisher's own; a record without them
  // keeps the ones it has.
  const RtmpPublishParam previous = m_settings;
  m_settings = *settings;
  m_settings.url[sizeof(m_settings.url) - 1] = '\0';
  m_settings.stream_name[sizeof(m_settings.stream_name) - 1] = '\0';
  if (m_settings.sps_pps_len <= 0) {
    std::memcpy(m_settings.sps_pps, previous.sps_pps, sizeof(m_settings.sps_pps));
    m_settings.sps_pps_len = previous.sps_pps_len;
  }
  m_mediaChanged = true;
  if (full != 0) {
    m_pool = pool;
    m_audioQueue.SetPool(pool);
    m_videoQueue.SetPool(pool);
    m_p2 = p2;
    m_p3 = p3;
    m_localPort = localPort;
    std::memset(m_localIp, 0, sizeof(m_localIp));
    if (localIp != nullptr)
      std::memcpy(m_localIp, localIp, ::strnlen(localIp, sizeof(m_localIp) - 1));
  }
  RefreshUrlValidityLocked();
  LogSettingsLocked();
  if (!HasValidUrl()) {
    PLN_LOG_ERROR("'s _Plenova_ url %s not configured, not connecting",
                  quillet::MaskUrl(m_settings.url).c_str());
    return false;
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

void RtmpStreaming::Wake() {
  {
    std::lock_guard lock(m_wakeMutex);
    m_work = true;
  }
  m_wake.notify_all();
}

void RtmpStreaming::StoreMediaLocked(const uint8_t* spsPps, int32_t len) {
  std::memset(m_settings.sps_pps, 0, sizeof(m_settings.sps_pps));
  std::memcpy(m_settings.sps_pps, spsPps, static_cast<size_t>(len));
  m_settings.sps_pps_len = len;
  // Announced by the send thread on the connection it has.
  m_mediaChanged = true;
  PLN_LOG_ERROR("_Plenova_ setMediaType");
  PLN_RAW_DEBUG("_Plenova_ Set RTMP Param:");
  LogSettingsLocked();
}

int RtmpStreaming::AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len) {
  assert(spsPps != nullptr && len >= 1 && len <= static_cast<int32_t>(sizeof(m_settings.sps_pps)));
  if (spsPps == nullptr || len < 1 || len > static_cast<int32_t>(sizeof(m_settings.sps_pps)))
    return -1;
  {
    platform::MutexLock lock(m_mutex);
    StoreMediaLocked(spsPps, len);
  }
  Wake();
  return 0;
}

void RtmpStreaming::UpdateRtmp(const uint8_t* spsPps, int32_t len, int32_t fps, int32_t channels,
                               int32_t bits, int32_t rate) {
  const bool valid = spsPps != nullptr && len >= 1 && fps >= 1 && channels >= 1 && bits >= 1 &&
                     rate >= 1 && len <= static_cast<int32_t>(sizeof(m_settings.sps_pps));
  assert(valid);
  if (!valid) return;
  {
    platform::MutexLock lock(m_mutex);
    if (fps == m_settings.fps && len == m_settings.sps_pps_len && channels == m_settings.channels &&
        bits == m_settings.sampling_per_bits && rate == m_settings.sampling_rate) {
      PLN_LOG_ERROR("'s  _Plenova_ NoNeed To Updata RTMP Info URL=%s",
                    quillet::MaskUrl(m_settings.url).c_str());
      return;
    }
    m_settings.fps = fps;
    m_settings.channels = channels;
    m_settings.sampling_per_bits = bits;
    m_settings.sampling_rate = rate;
    m_settings.media_flags = 40;
    StoreMediaLocked(spsPps, len);
  }
  Wake();
}

void RtmpStreaming::startRtmp() {
  // The dispatcher stops a running session before it starts another.
  assert(!m_started);
  if (m_started) return;
  // A new run: the first connection is due at once, counted from zero.
  m_attempt = 0;
  m_retryAt = platform::TimeGetTime();
  m_firstConnection = true;
  m_announced = false;
  m_timeline = OutputTimeline{};
  m_audioGrid.Reset();
  m_videoGrid.Reset();
  m_restart = false;
  m_audioLatency.Reset();
  m_videoLatency.Reset();
  {
    std::lock_guard lock(m_wakeMutex);
    m_work = false;
  }
  SetState(State::kConnecting, 0, 0, "");
  m_running = true;
  m_started = true;
  if (m_mode == Mode::kCallerDrives) return;
  m_thread = std::make_unique<platform::Thread>();
  if (m_thread->Start([this] { VideoRtmpThreadFunc(); })) {
    PLN_LOG_ERROR("'s _Plenova_ start Rtmp success");
    return;
  }
  PLN_LOG_ERROR("'s _Plenova_ start Rtmp failed create Rtmp thread failed");
  m_thread.reset();
  m_running = false;
  m_started = false;
  SetState(State::kStopped, 0, 0, "no thread");
}

void RtmpStreaming::RequestStop() {
  m_running = false;
  Wake();
  WendrelStop stop;
  {
    platform::MutexLock lock(m_mutex);
    stop = m_api.Stop;
  }
  // Ends a connection being made or a send in progress on the send thread;
  // a handle stopped here connects no more.
  std::lock_guard lock(m_handleMutex);
  if (m_handle != nullptr && stop != nullptr) stop(m_handle);
}

void RtmpStreaming::stopRtmp() {
  assert(m_started);
  if (!m_started) return;
  RequestStop();
  if (m_thread) {
    m_thread.reset();  // joins; the thread finishes sending
  } else {
    FinishSending();
  }
  m_started = false;
  SetState(State::kStopped, 0, 0, "");
  PLN_LOG_ERROR("'s _Plenova_ stop Rtmp success");
}

void RtmpStreaming::RestartTimeline() {
  m_restart = true;
  Wake();
}

bool RtmpStreaming::PushRtmpData(const uint8_t* data, int32_t len, uint64_t ts, int32_t type,
                                 uint8_t key, uint32_t tick) {
  if (data == nullptr || len < 1) return false;
  if (!HasValidUrl()) {
    platform::MutexLock lock(m_mutex);
    PLN_FILE_LINE_ERROR("File:%s,Line=%05d URL:%s _url invalid",
                        quillet::MaskUrl(m_settings.url).c_str());
    return false;
  }
  // Nobody would send it: a publisher that does not run keeps no backlog.
  if (!m_running) return false;
  // Until a connection takes them, the queues keep the newest samples: a
  // connection made late begins with what is recent.
  // So does a connection that has not sent its first key frame yet: the
  // key frame asked for when it was made must find room behind the samples
  // queued before it, which it will never send.
  const bool waiting = state() != State::kPublishing || !m_flowing.load();
  if (type == static_cast<int32_t>(kStreamTypeAudio)) {
    m_audioQueue.PutData(data, len, ts, key, tick, waiting);
  } else {
    auto hook = reinterpret_cast<PlenovaSampleCallback>(m_p2.load());
    if (m_videoHookEnabled && hook != nullptr) hook(const_cast<uint8_t*>(data), len);
    m_videoQueue.PutData(data, len, ts, key, tick, waiting);
  }
  Wake();
  return true;
}

void RtmpStreaming::ReturnUnit(Unit unit) {
  if (unit == nullptr) return;
  MemoryPool* pool;
  {
    platform::MutexLock lock(m_mutex);
    pool = m_pool;
  }
  // Without a pool the block frees its storage with the unit.
  if (pool != nullptr) pool->PutEmptyBuffer(unit->buffer.release());
}

bool RtmpStreaming::Connect(Failure* failure) {
  WendrelApi api;
  RtmpPublishParam settings;
  char localIp[sizeof(m_localIp)];
  {
    platform::MutexLock lock(m_mutex);
    if (!AllResolvedLocked() && !LoadLibraryLocked()) {
      *failure = {"_Plenova_ RTMP loadlibrary failed", kMessageConnectFailed};
      return false;
    }
    api = m_api;
    settings = m_settings;
    std::memcpy(localIp, m_localIp, sizeof(localIp));
  }
  void* handle = api.GetFME();
  if (handle == nullptr) {
    PLN_LOG_ERROR("'s Plenova GetPME() failed");
    *failure = {"_Plenova_ GetFME() failed!", kMessageConnectFailed};
    return false;
  }
  {
    std::lock_guard lock(m_handleMutex);
    m_handle = handle;
  }
  // A stop that came before the handle was known could not reach it.
  if (!m_running) {
    Disconnect();
    *failure = {"stopped", kMessageConnectFailed};
    return false;
  }
  if (!api.Initialize(handle)) {
    PLN_LOG_ERROR("'s Plenova RtmpInit() failed");
    Disconnect();
    *failure = {"_Plenova_ RTMP 初始化失败", kMessageConnectFailed};
    return false;
  }
  uint16_t port;
  {
    // The first connection of a run binds port + 1, each later one 13 more.
    platform::MutexLock lock(m_mutex);
    m_localPort =
        static_cast<uint16_t>(m_localPort + (m_firstConnection ? kInitPortStep : kReInitPortStep));
    port = m_localPort;
  }
  m_firstConnection = false;
  PLN_LOG_DEBUG("'s _Plenova_ Set LocalIp");
  if (!api.SetLocalIP(handle, localIp, port)) {
    PLN_LOG_ERROR("'s Plenova SetLocalIp() failed");
    Disconnect();
    *failure = {"_Plenova_ Set LocalIp() failed!", kMessageSetLocalIpFailed};
    return false;
  }
  PLN_LOG_DEBUG("'s _Plenova_ Set LocalIp success");
  if (!api.Start(handle, settings.url, settings.stream_name)) {
    PLN_LOG_ERROR("'s Plenova Start() failed");
    Disconnect();
    *failure = {"_Plenova_ Start() failed!", kMessageConnectFailed};
    return false;
  }
  return true;
}

bool RtmpStreaming::Announce() {
  WendrelSetMediaType setMediaType;
  RtmpPublishParam copy;
  {
    platform::MutexLock lock(m_mutex);
    setMediaType = m_api.SetMediaType;
    copy = m_settings;
    m_mediaChanged = false;
  }
  void* handle;
  {
    std::lock_guard lock(m_handleMutex);
    handle = m_handle;
  }
  // The send thread alone sets and clears the handle: it stays valid here.
  if (handle == nullptr || setMediaType == nullptr || !setMediaType(handle, &copy)) {
    PLN_LOG_ERROR("'s _Plenova_ SetMediaType failed URL:%s", quillet::MaskUrl(copy.url).c_str());
    return false;
  }
  PLN_LOG_ERROR("'s  _Plenova_ SetMediaType success URL:%s", quillet::MaskUrl(copy.url).c_str());
  m_announced = true;
  return true;
}

void RtmpStreaming::Disconnect() {
  WendrelStop stop;
  WendrelDeleteFME deleteFme;
  {
    platform::MutexLock lock(m_mutex);
    stop = m_api.Stop;
    deleteFme = m_api.DeleteFME;
  }
  void* handle;
  {
    std::lock_guard lock(m_handleMutex);
    handle = m_handle;
    m_handle = nullptr;
  }
  if (handle == nullptr) return;
  if (stop != nullptr) stop(handle);
  if (deleteFme != nullptr) deleteFme(handle);
  m_announced = false;
}

uint32_t RtmpStreaming::ScheduleRetry(uint32_t now, const Failure& failure) {
  ++m_attempt;
  const uint32_t delay = RetryDelayMs(m_attempt);
  m_retryAt = now + delay;
  const bool first = state() != State::kReconnecting;
  m_report.CountReconnect();
  // The try that comes next is the (failed tries + 1)th.
  SetState(State::kReconnecting, m_attempt + 1, delay, failure.message);
  // The client hears of a failure once, when it begins.
  if (first && m_running) NotifyMessage(failure.message, failure.code);
  return delay;
}

uint32_t RtmpStreaming::SendStep(uint32_t now) {
  if (!m_running) return kWaitForWork;
  const State current = state();
  if (current == State::kConnecting || current == State::kReconnecting) {
    const int32_t due = static_cast<int32_t>(m_retryAt - now);
    if (due > 0) return static_cast<uint32_t>(due);
    Failure failure;
    if (!Connect(&failure)) return m_running ? ScheduleRetry(now, failure) : kWaitForWork;
    m_announced = false;
    // A server that takes the connection but refuses the media description
    // has not been published to: it is tried again on the same schedule as
    // one that cannot be reached, and the client hears nothing new. (Without
    // parameter sets yet, the description goes out once they come.)
    bool haveSets;
    {
      platform::MutexLock lock(m_mutex);
      haveSets = m_settings.sps_pps_len > 0;
    }
    if (haveSets && !Announce()) {
      Disconnect();
      return ScheduleRetry(now, {"_Plenova_ SetMediaType() Failed!", kMessageSetMediaTypeFailed});
    }
    m_attempt = 0;
    m_flowing = false;
    // What the queues held while there was no connection begins at the
    // newest key frame among it, or at the one asked for below: the older
    // samples would only be skipped, and they take the room the samples
    // coming in now need while the backlog is sent.
    uint64_t key = UINT64_MAX;
    m_videoQueue.NewestKeyStamp(&key);
    m_videoQueue.DropBefore(key);
    m_audioQueue.DropBefore(key);
    // A new connection counts its own time from its first key frame.
    m_timeline = OutputTimeline{};
    m_audioGrid.Reset();
    m_videoGrid.Reset();
    for (Unit& unit : m_heldAudio) ReturnUnit(std::move(unit));
    m_heldAudio.clear();
    m_keyFrameWanted = true;
    SetState(State::kPublishing, 0, 0, "");
  }
  if (m_restart.exchange(false)) {
    m_timeline.Restart();
    m_flowing = false;
    for (Unit& unit : m_heldAudio) ReturnUnit(std::move(unit));
    m_heldAudio.clear();
  }
  bool announce;
  int32_t sets;
  {
    platform::MutexLock lock(m_mutex);
    announce = m_mediaChanged || !m_announced;
    sets = m_settings.sps_pps_len;
  }
  if (announce) {
    // Without parameter sets there is nothing to announce yet; the samples
    // wait in their queues (which drop what does not fit).
    if (sets <= 0) return kWaitForWork;
    if (!Announce()) {
      Disconnect();
      return ScheduleRetry(now, {"_Plenova_ SetMediaType() Failed!", kMessageSetMediaTypeFailed});
    }
  }
  const Sent sent = SendQueued();
  if (sent == Sent::kConnectionLost) {
    // A key frame could not be sent: the connection is gone. The first try
    // to make it again is due at once.
    Disconnect();
    m_attempt = 0;
    m_retryAt = now;
    m_report.CountReconnect();
    SetState(State::kReconnecting, 1, 0, "_Plenova_ RTMP 推送视频流失败，重新初始化");
    NotifyMessage("_Plenova_ RTMP 推送视频流失败，重新初始化", kMessageConnectFailed);
    return 0;
  }
  return sent == Sent::kSome ? 0 : kWaitForWork;
}

RtmpStreaming::Sent RtmpStreaming::SendQueued() {
  bool sent = false;
  for (int i = 0; i < kMaxSendsPerStep; ++i) {
    if (!m_nextAudio) m_nextAudio = m_audioQueue.GetData(1);
    if (!m_nextVideo) m_nextVideo = m_videoQueue.GetData(1);
    if (!m_nextAudio && !m_nextVideo) break;
    // The older sample first, audio on a tie.
    const bool audio = m_nextAudio && (!m_nextVideo || m_nextAudio->buffer->timestamp <=
                                                           m_nextVideo->buffer->timestamp);
    Unit unit = std::move(audio ? m_nextAudio : m_nextVideo);
    if (!SendUnit(unit, audio)) {
      ReturnUnit(std::move(unit));
      return Sent::kConnectionLost;
    }
    ReturnUnit(std::move(unit));
    sent = true;
  }
  return sent ? Sent::kSome : Sent::kNone;
}

bool RtmpStreaming::SendUnit(Unit& unit, bool audio) {
  const uint64_t stamp = unit->buffer->timestamp;
  if (audio) {
    switch (m_timeline.Audio(stamp)) {
      case OutputTimeline::Verdict::kWrite:
        Push(*unit, true, AudioTime(m_timeline.Ms(stamp)));
        break;
      case OutputTimeline::Verdict::kHold:
        if (m_heldAudio.size() >= kMaxHeldAudio) {
          ReturnUnit(std::move(m_heldAudio.front()));
          m_heldAudio.pop_front();
        }
        m_heldAudio.push_back(std::move(unit));
        break;
      case OutputTimeline::Verdict::kDrop: break;
    }
    return true;
  }
  const bool key = unit->isKeyFrame != 0;
  if (m_timeline.Video(stamp, key) != OutputTimeline::Verdict::kWrite) return true;
  if (!Push(*unit, false, VideoTime(m_timeline.Ms(stamp)))) return !key;
  if (key) m_flowing = true;
  // The audio that waited for this key frame, from its stamp on.
  while (!m_heldAudio.empty()) {
    Unit held = std::move(m_heldAudio.front());
    m_heldAudio.pop_front();
    const uint64_t held_stamp = held->buffer->timestamp;
    if (m_timeline.Audio(held_stamp) == OutputTimeline::Verdict::kWrite)
      Push(*held, true, AudioTime(m_timeline.Ms(held_stamp)));
    ReturnUnit(std::move(held));
  }
  return true;
}

uint64_t RtmpStreaming::VideoTime(uint64_t ms) {
  // On the 40 ms grid, like the MP4 file's video.
  constexpr int64_t kTicksPerMs = 90;
  const int64_t ticks = m_videoGrid.Place(static_cast<int64_t>(ms) * kTicksPerMs);
  return static_cast<uint64_t>(ticks / kTicksPerMs) * kHundredNsPerMs;
}

uint64_t RtmpStreaming::AudioTime(uint64_t ms) {
  int32_t rate;
  {
    platform::MutexLock lock(m_mutex);
    rate = m_settings.sampling_rate > 0 ? m_settings.sampling_rate : 48000;
  }
  // On the frame grid, like the MP4 file's audio: whole frames back to back.
  const auto samples = static_cast<int64_t>((ms * static_cast<uint64_t>(rate) + 500) / 1000);
  const int64_t position = m_audioGrid.Place(samples);
  return static_cast<uint64_t>(position) * 10000000u / static_cast<uint64_t>(rate);
}

bool RtmpStreaming::Push(const RtmpDataUnit& unit, bool audio, uint64_t timestamp) {
  WendrelPushMediaSample push;
  std::string url, name;
  {
    platform::MutexLock lock(m_mutex);
    push = m_api.PushMediaSample;
  }
  void* handle;
  {
    std::lock_guard lock(m_handleMutex);
    handle = m_handle;
  }
  const uint8_t* data = unit.buffer->data;
  int32_t len = unit.buffer->len;
  if (audio && HasAdtsHeader(*unit.buffer)) {
    data += kAdtsHeaderBytes;
    len -= kAdtsHeaderBytes;
  }
  const bool ok = handle != nullptr && push != nullptr && len > 0 &&
                  push(handle, data, static_cast<uint32_t>(len), timestamp,
                       audio ? kWendrelKindAudio : kWendrelKindVideo, audio ? 1 : 0,
                       audio ? 0 : unit.isKeyFrame);
  if (ok) {
    const uint32_t now = platform::TimeGetTime();
    (audio ? m_audioLatency : m_videoLatency).Add(unit.buffer->tick, now);
    m_report.CountSent(static_cast<size_t>(len), now);
    if (audio) {
      ++m_audioSamplesSent;
      m_audioFailures = 0;
    } else {
      ++m_videoFramesSent;
      m_videoFailures = 0;
    }
    return true;
  }
  {
    platform::MutexLock lock(m_mutex);
    url = quillet::MaskUrl(m_settings.url);
    name = quillet::MaskStreamName(m_settings.stream_name);
  }
  if (audio) {
    if (m_audioFailures++ % kFailureLogEvery == 0) {
      PLN_FILE_LINE_ERROR(
          "File:%s,Line=%05d URL:%s StreamName=%s _Plenova_ RTMP 推送音频流失败，等待重新初始化！",
          url.c_str(), name.c_str());
    }
  } else if (unit.isKeyFrame == 0) {
    if (m_videoFailures++ % kFailureLogEvery == 0) {
      PLN_FILE_LINE_ERROR(
          "File:%s,Line=%05d URL:%s StreamName=%s _Plenova_ RTMP 推送视频流失败，等待重新初始化",
          url.c_str(), name.c_str());
    }
  } else {
    PLN_FILE_LINE_ERROR(
        "File:%s,Line=%05d URL:%s StreamName=%s _Plenova_ RTMP 推送视频流失败，重新初始化",
        url.c_str(), name.c_str());
  }
  return false;
}

void RtmpStreaming::VideoRtmpThreadFunc() {
  PLN_LOG_ERROR("'s _Plenova_ VideoRtmpThreadFunc success");
  while (m_running) {
    const uint32_t wait = SendStep(platform::TimeGetTime());
    if (wait == 0) continue;
    std::unique_lock lock(m_wakeMutex);
    const auto woken = [&] { return m_work || !m_running; };
    if (wait == kWaitForWork) {
      m_wake.wait(lock, woken);
    } else {
      m_wake.wait_for(lock, std::chrono::milliseconds(wait), woken);
    }
    m_work = false;
  }
  FinishSending();
}

void RtmpStreaming::FinishSending() {
  Disconnect();
  ReturnUnit(std::move(m_nextAudio));
  ReturnUnit(std::move(m_nextVideo));
  for (Unit& unit : m_heldAudio) ReturnUnit(std::move(unit));
  m_heldAudio.clear();
}

}  // namespace plenova
