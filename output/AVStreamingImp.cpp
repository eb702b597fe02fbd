#include "output/AVStreamingImp.h"

#include <bit>
#include <cstring>

#include "common/MemoryPool.h"
#include "log/PlenovaLog.h"
#include "output/OutputLog.h"
#include "platform/Clock.h"

namespace plenova {

// RtmpPublishParam crosses to the RTMP library as a little-endian record.
static_assert(std::endian::native == std::endian::little);

namespace {

// The callback that every dispatcher's recorder reports reach; the last
// registration wins. Written by client threads, read by recorder threads.
std::atomic<Mp4RecordStateCallback> g_mp4StateCallback{nullptr};

// True when `text` is a NUL-terminated string that fits a 256-byte field.
bool FitsField(const char* text) {
  return text != nullptr && ::strnlen(text, AVStreamingImp::kMaxText) < AVStreamingImp::kMaxText;
}

// Copies a string that is known to fit, clearing the rest of the field.
void CopyField(char (&field)[AVStreamingImp::kMaxText], const char* text) {
  std::memset(field, 0, sizeof(field));
  std::memcpy(field, text, ::strnlen(text, sizeof(field) - 1));
}

// Makes every text field of a record given by the caller NUL-terminated.
template <size_t N>
void Terminate(char (&field)[N]) {
  field[N - 1] = '\0';
}

int SamplingFrequencyIndex(int32_t rate) {
  switch (rate) {
    case 48000: return 3;
    case 44100: return 4;
    case 32000: return 5;
    case 16000: return 8;
    case 8000: return 11;
    default:
      PLN_LOG_ERROR("'s sampling_rate illegal");
      return 8;
  }
}

// One "_Plenova_ latency <output> <media>: n=.. p50=.. p99=.. max=.. ms" line
// per medium of an output.
void LogLatency(const char* output, const LatencyStats& video, const LatencyStats& audio) {
  PLN_RAW_MESSAGE("_Plenova_ latency %s", video.Summary(output, "video").c_str());
  PLN_RAW_MESSAGE("_Plenova_ latency %s", audio.Summary(output, "audio").c_str());
}

// Stops a running publisher's send thread and logs what it sent.
void StopAndLogPublisher(RtmpStreaming& publisher, const char* output) {
  if (!publisher.IsRunning()) return;
  publisher.stopRtmp();
  LogLatency(output, publisher.VideoLatency(), publisher.AudioLatency());
}

}  // namespace

void MakeAacConfig(int32_t rate, uint8_t out[2]) {
  const int index = SamplingFrequencyIndex(rate);
  // AudioSpecificConfig: 5 bits object type 2 (AAC LC), 4 bits frequency
  // index, 4 bits channel configuration 1, 3 bits zero.
  out[0] = static_cast<uint8_t>(0x10 | (index >> 1));
  out[1] = static_cast<uint8_t>(((index & 1) << 7) | 0x08);
}

AVStreamingImp::AVStreamingImp(Mp4RecorderApi mp4, const std::string& rtmpLibraryName)
    : m_mp4Api(mp4),
      m_RtmpStreaming_1(std::make_unique<RtmpStreaming>(rtmpLibraryName)),
      m_RtmpStreaming_2(std::make_unique<RtmpStreaming>(rtmpLibraryName)) {}

AVStreamingImp::~AVStreamingImp() {
  UninitIAVStreaming();
  // A recorder that refused to stop is still released; the publishers'
  // destructors join their send threads and disconnect.
  if (m_Mp4_korvo != nullptr && m_mp4Api.DestroyRecord != nullptr)
    m_mp4Api.DestroyRecord(m_Mp4_korvo);
}

void AVStreamingImp::Mp4StateCallback(uint32_t a, uint32_t b) {
  PLN_LOG_ERROR("'s Mp4StateCallback start");
  Mp4RecordStateCallback callback = g_mp4StateCallback.load();
  if (callback == nullptr) return;
  callback(static_cast<int>(a), static_cast<int>(b));
  PLN_LOG_ERROR("'s _Mp4StateCallback end");
}

void AVStreamingImp::FillPublishParamLocked() {
  RtmpPublishParam& p = m_publishParam;
  p = RtmpPublishParam{};
  p.video_width = m_param.video.video_width;
  p.video_height = m_param.video.video_height;
  p.fps = m_param.video.fps;
  p.video_bitrate = m_param.video.video_bitrate;
  p.video_kind = 3;
  p.channels = m_param.audio.channels;
  p.sampling_per_bits = m_param.audio.sampling_per_bits;
  p.sampling_rate = m_param.audio.sampling_rate;
  p.audio_kind = 2;
  p.audio_bitrate = m_param.audio.audio_bitrate;
  MakeAacConfig(p.sampling_rate, p.aac_config);
  p.audio_format = 2;
  CopyField(p.url, m_param.url_1);
  CopyField(p.stream_name, m_param.StreamName_1);
}

void AVStreamingImp::IAVStreamInit(const AVStreamInitParam* param, MemoryPool* pool, void* p2,
                                   void* p3, uint8_t reinit) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s Start ");
  if (param == nullptr || pool == nullptr || param->video.fps < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
    return;
  }
  char newUrl1[kMaxText];
  bool recording;
  {
    platform::MutexLock lock(m_mutex);
    m_param = *param;
    Terminate(m_param.filePath);
    Terminate(m_param.localIp);
    Terminate(m_param.url_1);
    Terminate(m_param.url_2);
    Terminate(m_param.StreamName_1);
    Terminate(m_param.StreamName_2);
    std::memcpy(newUrl1, m_param.url_1, sizeof(newUrl1));
    m_pool = pool;
    m_p2 = p2;
    m_p3 = p3;
    // A recording that runs across an engine restart keeps running.
    recording = m_mp4Active && m_Mp4_korvo != nullptr;
    if (!recording) m_mp4Active = param->EnableMp4 != 0;
    FillPublishParamLocked();
  }

  // Publishing asked for before the engine ran starts now; publishing that
  // runs across an engine restart goes on; when the URLs change while
  // publishing, it restarts on the new URLs.
  bool startRecord;
  char recordUrl[kMaxText];
  {
    platform::MutexLock lock(m_rtmpMutex);
    const bool publishing = m_publishing || m_rtmpStartPending;
    m_rtmpActive = publishing || param->EnableRtmp != 0;
    startRecord = publishing ? reinit != 0 : m_recordUrlSet;
    std::memcpy(recordUrl, publishing ? newUrl1 : m_recordUrl, sizeof(recordUrl));
  }
  if (startRecord && StartRecordImpl(recordUrl, true) != 0)
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  StartRecord Failed ");

  bool mp4UrlSet;
  char mp4Url[kMaxText];
  {
    platform::MutexLock lock(m_mutex);
    mp4UrlSet = m_mp4UrlSet;
    std::memcpy(mp4Url, m_mp4Url, sizeof(mp4Url));
  }
  if (mp4UrlSet && !recording && StartMp4Record(mp4Url) != 0)
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  StartRecord Failed ");
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

bool AVStreamingImp::UninitIAVStreaming() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  {
    platform::MutexLock lock(m_mutex);
    if (m_Mp4_korvo != nullptr) {
      if (m_mp4Active && m_Mp4_korvo->LiveStop() != 0) {
        PLN_LOG_ERROR("'s _m_Mp4_korvo->LiveStop failed");
        return false;
      }
      if (m_mp4Active) LogMp4LatencyLocked();
      if (m_mp4Api.DestroyRecord != nullptr) m_mp4Api.DestroyRecord(m_Mp4_korvo);
      m_Mp4_korvo = nullptr;
      m_mp4Active = false;
      m_mp4Requested = false;
    }
  }
  bool rtmpInUse;
  {
    platform::MutexLock lock(m_rtmpMutex);
    rtmpInUse = m_rtmpActive || m_publishing || m_rtmpStartPending;
  }
  if (rtmpInUse && StopRecord() != 0) {
    PLN_LOG_ERROR("'s _StopRecord failed");
    return false;
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

int AVStreamingImp::SetRecordUrl(const char* url) {
  if (!FitsField(url)) {
    PLN_LOG_ERROR("'s value is illegall: url missing or longer than %zu bytes", kMaxText - 1);
    return -1;
  }
  platform::MutexLock lock(m_rtmpMutex);
  CopyField(m_recordUrl, url);
  m_recordUrlSet = true;
  PLN_LOG_ERROR(" _SetRecordUrl success");
  return 0;
}

int AVStreamingImp::SetMp4Url(const char* path) {
  if (!FitsField(path)) {
    PLN_LOG_ERROR("'s value is illegall: path missing or longer than %zu bytes", kMaxText - 1);
    return -1;
  }
  platform::MutexLock lock(m_mutex);
  CopyField(m_mp4Url, path);
  m_mp4UrlSet = true;
  PLN_LOG_ERROR(" SetMp4Url success");
  return 0;
}

int32_t AVStreamingImp::StoredSpsPpsLen() {
  platform::MutexLock lock(m_mutex);
  return m_videoSpsPpsLen;
}

int AVStreamingImp::StartRecord(const char* url) { return StartRecordImpl(url, false); }

int AVStreamingImp::StartRecordImpl(const char* url, bool deferred) {
  PLN_LOG_ERROR("'s _Plenova_ StartRecord start");
  if (!FitsField(url)) {
    PLN_LOG_ERROR("'s value is illegall: url missing or longer than %zu bytes", kMaxText - 1);
    return -1;
  }
  platform::MutexLock rtmpLock(m_rtmpMutex);
  RtmpPublishParam publish1;
  RtmpPublishParam publish2;
  MemoryPool* pool;
  void* p2;
  void* p3;
  char localIp[16];
  uint16_t localPort;
  {
    platform::MutexLock lock(m_mutex);
    if (m_pool == nullptr) {
      PLN_LOG_ERROR("'s _Plenova_ StartRecord before IAVStreamInit");
      return -1;
    }
    CopyField(m_param.url_1, url);
    CopyField(m_publishParam.url, url);
    if (const char* slash = std::strrchr(url, '/'); slash != nullptr)
      CopyField(m_publishParam.stream_name, slash + 1);
    publish1 = m_publishParam;
    publish2 = m_publishParam;
    CopyField(publish2.url, m_param.url_2);
    CopyField(publish2.stream_name, m_param.StreamName_2);
    pool = m_pool;
    p2 = m_p2;
    p3 = m_p3;
    std::memcpy(localIp, m_param.localIp, sizeof(localIp));
    localPort = static_cast<uint16_t>(m_param.Localport & 0xFFFF);
  }

  // A start while publishing replaces the running session.
  if (m_publishing || m_rtmpStartPending) StopPublishersLocked();
  m_rtmp1Initialised = m_RtmpStreaming_1->InitRtmp(pool, &publish1, localIp, localPort, p2, p3, 1);
  // The client's sample hook sees each video sample once, through the first
  // publisher.
  m_rtmp2Initialised =
      m_RtmpStreaming_2->InitRtmp(pool, &publish2, localIp, localPort, nullptr, p3, 1);

  for (int waits = 0; StoredSpsPpsLen() <= 0; ++waits) {
    if (deferred) {
      // The encoders have not run yet: publishing begins when the first
      // parameter sets arrive.
      m_rtmpStartPending = true;
      m_rtmpActive = true;
      m_recordUrlSet = true;
      CopyField(m_recordUrl, url);
      PLN_LOG_ERROR("'s _Plenova_ StartRecord waits for SpsPps");
      return 0;
    }
    if (waits == kSpsPpsWaits) {
      PLN_LOG_ERROR("'s _Plenova_ StartRecord got SpsPps failed");
      StopPublishersLocked();
      return -1;
    }
    platform::SleepMs(kSpsPpsWaitMs);
  }
  PLN_LOG_ERROR("'s _Plenova_ StartRecord got SpsPps Success");
  if (StartPublishersLocked() != 0) {
    StopPublishersLocked();
    return -1;
  }
  m_recordUrlSet = true;
  CopyField(m_recordUrl, url);
  return 0;
}

int AVStreamingImp::StartPublishersLocked() {
  uint8_t spsPps[kMaxText];
  int32_t len;
  {
    platform::MutexLock lock(m_mutex);
    std::memcpy(spsPps, m_videoSpsPps, sizeof(spsPps));
    len = m_videoSpsPpsLen;
  }
  PLN_LOG_ERROR("'s _Plenova_ AVStreamingSetSpsPpsInfo m_RtmpStreaming_1 start");
  if (m_RtmpStreaming_1->AVStreamingSetSpsPpsInfo(spsPps, len) != 0) {
    PLN_LOG_ERROR("'s _Plenova_ AVStreamingSetSpsPpsInfo m_RtmpStreaming_1 Failed");
    return -1;
  }
  if (m_rtmp1Initialised) m_RtmpStreaming_1->startRtmp();
  // The second destination publishes too when the client configured it.
  if (m_rtmp2Initialised && m_RtmpStreaming_2->HasValidUrl()) {
    if (m_RtmpStreaming_2->AVStreamingSetSpsPpsInfo(spsPps, len) == 0)
      m_RtmpStreaming_2->startRtmp();
    else
      PLN_LOG_ERROR("'s _Plenova_ AVStreamingSetSpsPpsInfo m_RtmpStreaming_2 Failed");
  }
  PLN_LOG_ERROR("'s _Plenova_ StartRecord end");
  m_rtmpActive = true;
  m_publishing = true;
  return 0;
}

void AVStreamingImp::StopPublishersLocked() {
  m_publishing = false;
  m_rtmpStartPending = false;
  StopAndLogPublisher(*m_RtmpStreaming_1, "rtmp1");
  m_RtmpStreaming_1->UnintRtmp();
  StopAndLogPublisher(*m_RtmpStreaming_2, "rtmp2");
  m_RtmpStreaming_2->UnintRtmp();
}

int AVStreamingImp::StopRecord() {
  platform::MutexLock rtmpLock(m_rtmpMutex);
  m_rtmpActive = false;
  PLN_LOG_ERROR("'s StopRecord m_RtmpStreaming_1 start");
  StopPublishersLocked();
  PLN_LOG_ERROR("'s StopRecord end");
  m_recordUrlSet = false;
  return 0;
}

PoolBuffer* AVStreamingImp::CopyLocked(const PoolBuffer& in) {
  PoolBuffer* copy = m_pool != nullptr ? m_pool->GetEmptyBuffer(in.len) : nullptr;
  if (copy != nullptr && copy->data == nullptr) {
    m_pool->PutEmptyBuffer(copy);
    copy = nullptr;
  }
  if (copy == nullptr) return nullptr;
  std::memcpy(copy->data, in.data, static_cast<size_t>(in.len));
  copy->len = in.len;
  copy->timestamp = in.timestamp;
  copy->tick = in.tick;
  return copy;
}

void AVStreamingImp::LogMp4LatencyLocked() {
  LogLatency("mp4", m_mp4VideoLatency, m_mp4AudioLatency);
}

bool AVStreamingImp::WriteData(const AVSample* sample) {
  if (sample == nullptr || sample->buffer == nullptr || sample->buffer->data == nullptr ||
      sample->buffer->len < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    return false;
  }
  const PoolBuffer& in = *sample->buffer;
  const bool audio = sample->streamType == kStreamTypeAudio;
  const int32_t type = static_cast<int32_t>(sample->streamType);
  bool result = true;
  platform::MutexLock lock(m_mutex);

  PoolBuffer* rtmpCopy = nullptr;
  if (m_rtmpActive) {
    rtmpCopy = CopyLocked(in);
    if (rtmpCopy == nullptr) {
      PLN_LOG_ERROR("' Alloc Memory failed");
      return false;
    }
    if (m_RtmpStreaming_1->HasValidUrl() &&
        !m_RtmpStreaming_1->PushRtmpData(in.data, in.len, in.timestamp, type, sample->isKeyFrame,
                                         in.tick)) {
      if (audio)
        PLN_LOG_ERROR("'s rtmp_1 AudioData failed");
      else
        PLN_LOG_ERROR("'s rtmp_1 VideoData failed");
    }
    if (!m_RtmpStreaming_2->HasValidUrl()) {
      result = false;
    } else if (!m_RtmpStreaming_2->PushRtmpData(rtmpCopy->data, rtmpCopy->len,
                                                rtmpCopy->timestamp, type, sample->isKeyFrame,
                                                rtmpCopy->tick)) {
      result = false;
      int32_t& failures = audio ? m_rtmp2AudioFailures : m_rtmp2VideoFailures;
      const int32_t every = audio ? kRtmp2AudioFailureLogEvery : kRtmp2VideoFailureLogEvery;
      if (++failures >= every) {
        failures = 0;
        if (audio)
          PLN_LOG_ERROR("'s rtmp_2 AudioData failed");
        else
          PLN_LOG_ERROR("'s rtmp_2 VideoData failed");
      }
    }
  }

  if (m_mp4Active && m_Mp4_korvo != nullptr) {
    // The file's time zero is its first key frame; what comes before it
    // (audio, or video that cannot be decoded without it) is not written.
    const bool key = !audio && sample->isKeyFrame != 0;
    if (m_keyFrameWait && key) {
      m_keyFrameWait = false;
      m_mp4Zero = in.timestamp;
    }
    const int64_t since = static_cast<int64_t>(in.timestamp - m_mp4Zero);
    if (!m_keyFrameWait && since >= 0) {
      PoolBuffer* mp4Copy = CopyLocked(in);
      if (mp4Copy == nullptr) {
        PLN_LOG_ERROR("' Alloc Memory failed");
        if (rtmpCopy != nullptr) m_pool->PutEmptyBuffer(rtmpCopy);
        return false;
      }
      const auto length = static_cast<uint32_t>(mp4Copy->len);
      const uint64_t time = static_cast<uint64_t>(since) / 90;
      if (m_Mp4_korvo->SendLiveData(mp4Copy->data, length, audio ? kTarvaneTagAudio : kTarvaneTagVideo,
                                    time) != 0) {
        if (!audio) {
          PLN_LOG_ERROR("'s writeMp4 VideoData failed");
          result = false;
        }
      } else {
        (audio ? m_mp4AudioLatency : m_mp4VideoLatency).Add(mp4Copy->tick, platform::TimeGetTime());
      }
      m_pool->PutEmptyBuffer(mp4Copy);
    }
  }
  if (rtmpCopy != nullptr) m_pool->PutEmptyBuffer(rtmpCopy);
  return result;
}

void AVStreamingImp::IAVStreamUpdata(const uint8_t* spsPps, int32_t len, int32_t channels,
                                     int32_t sampling_per_bits, int32_t sampling_rate,
                                     int32_t fps) {
  if (spsPps == nullptr || len < 1 || len > static_cast<int32_t>(kMaxText) || channels < 1 ||
      sampling_per_bits < 1 || sampling_rate < 1 || fps < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    return;
  }
  {
    platform::MutexLock lock(m_mutex);
    if (m_mp4Active && m_Mp4_korvo != nullptr) {
      if (m_Mp4_korvo->SendLiveData(spsPps, static_cast<uint32_t>(len), kTarvaneTagVideo, 0) != 0) {
        PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->SendLiveData failed");
        return;
      }
      PLN_LOG_ERROR("'s _Plenvoa_ SendLiveData Success");
    }
    std::memset(m_videoSpsPps, 0, sizeof(m_videoSpsPps));
    std::memcpy(m_videoSpsPps, spsPps, static_cast<size_t>(len));
    m_videoSpsPpsLen = len;
    // The dispatcher's own rates follow: MP4 frame interval and the
    // settings later connections announce.
    m_param.video.fps = fps;
    m_param.audio.channels = channels;
    m_param.audio.sampling_per_bits = sampling_per_bits;
    m_param.audio.sampling_rate = sampling_rate;
    m_publishParam.fps = fps;
    m_publishParam.channels = channels;
    m_publishParam.sampling_per_bits = sampling_per_bits;
    m_publishParam.sampling_rate = sampling_rate;
    MakeAacConfig(sampling_rate, m_publishParam.aac_config);
  }
  m_RtmpStreaming_1->UpdateRtmp(spsPps, len, fps, channels, sampling_per_bits, sampling_rate);
  m_RtmpStreaming_2->UpdateRtmp(spsPps, len, fps, channels, sampling_per_bits, sampling_rate);
}

void AVStreamingImp::AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len) {
  PLN_LOG_MESSAGE("'s AVStreamingSetSpsPpsInfo Start");
  if (spsPps == nullptr || len < 1 || len > static_cast<int32_t>(kMaxText)) {
    PLN_LOG_ERROR("'s value is illegall");
    return;
  }
  {
    platform::MutexLock lock(m_mutex);
    if (!m_firstSps) {
      PLN_LOG_MESSAGE("'s AVStreamingSetSpsPpsInfo has already Set");
      return;
    }
    m_firstSps = false;
    std::memset(m_videoSpsPps, 0, sizeof(m_videoSpsPps));
    std::memcpy(m_videoSpsPps, spsPps, static_cast<size_t>(len));
    m_videoSpsPpsLen = len;
    if (m_mp4Requested && m_Mp4_korvo != nullptr) {
      if (m_Mp4_korvo->SendLiveData(m_videoSpsPps, static_cast<uint32_t>(len), kTarvaneTagVideo,
                                    0) != 0)
        PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->SendLiveData failed");
      else
        PLN_LOG_ERROR("'s _Plenvoa_ SendLiveVideoData Success");
    }
    PLN_LOG_ERROR("'s _Plenova_ AVStreamingSetSpsPpsInfo end");
  }
  platform::MutexLock rtmpLock(m_rtmpMutex);
  if (!m_rtmpStartPending) return;
  m_rtmpStartPending = false;
  if (StartPublishersLocked() != 0) {
    StopPublishersLocked();
    m_rtmpActive = false;
    PLN_LOG_ERROR("'s _Plenova_ StartRecord Failed");
  }
}

int AVStreamingImp::SetMp4RecordCallback(int32_t streamid, Mp4RecordStateCallback callback) {
  if (callback == nullptr || streamid < 1) {
    PLN_LOG_ERROR(" _Plenova_ StateCallback is NULL or streamid[%d] is invalid", streamid);
    return -1;
  }
  {
    platform::MutexLock lock(m_mutex);
    m_stateCallback = callback;
    m_callbackStreamId = streamid;
  }
  g_mp4StateCallback = callback;
  PLN_LOG_ERROR(" SetMp4 CallBack success");
  return 0;
}

int AVStreamingImp::StartMp4Record(const char* path) {
  PLN_LOG_ERROR("start");
  if (!FitsField(path)) {
    PLN_LOG_ERROR("'s value is illegall: path missing or longer than %zu bytes", kMaxText - 1);
    return -1;
  }
  platform::MutexLock lock(m_mutex);
  if (m_mp4Active && m_Mp4_korvo != nullptr) {
    PLN_LOG_ERROR("'s _Plenvoa_ need to close previous mp4 file");
    if (StopMp4Record() == 0)
      PLN_LOG_ERROR("'s _Plenvoa_ close previous mp4 file success");
    else
      PLN_LOG_ERROR("'s _Plenvoa_ close previous mp4 file failed");
  }
  if (m_Mp4_korvo == nullptr) {
    CopyField(m_param.filePath, path);
    const Mp4VideoDesc video{m_publishParam.video_bitrate, m_publishParam.video_width,
                             m_publishParam.video_height,  m_publishParam.fps,
                             kTarvaneCodecH264,            kTarvanePixelI420};
    const Mp4AudioDesc audio{kTarvaneCodecAac, m_publishParam.audio_bitrate,
                             m_publishParam.sampling_rate, m_publishParam.channels,
                             m_publishParam.sampling_per_bits};
    if (m_mp4Api.CreateRecord != nullptr)
      m_Mp4_korvo = m_mp4Api.CreateRecord(m_param.filePath, &video, &audio);
  }
  if (m_Mp4_korvo != nullptr) {
    if (m_Mp4_korvo->SetStateCallback(static_cast<uint32_t>(m_callbackStreamId),
                                      &AVStreamingImp::Mp4StateCallback) != 0) {
      PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->SetStateCallback failed");
      return -1;
    }
    PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->SetStateCallback Success");
    if (m_Mp4_korvo->LiveStart(path) != 0) {
      PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->LiveStart failed");
      return -1;
    }
    PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->LiveStart Success");
    m_mp4Active = true;
    m_mp4VideoTime = 0;
    m_mp4AudioTime = 0;
    m_keyFrameWait = true;
    m_audioPacing = false;
    m_mp4AudioSeen = false;
    m_mp4VideoAnchored = false;
    m_mp4StartTime = platform::TimeGetTime();
    m_mp4AudioLatency.Reset();
    m_mp4VideoLatency.Reset();
  } else {
    PLN_LOG_ERROR("'s _Plenvoa_ no MP4 recorder could be created for %s", path);
    m_mp4Active = false;
  }
  CopyField(m_mp4Path, path);
  m_mp4Requested = true;
  PLN_LOG_ERROR("end");
  return 0;
}

int AVStreamingImp::StopMp4Record() {
  PLN_LOG_ERROR("start");
  platform::MutexLock lock(m_mutex);
  m_mp4Requested = false;
  if (!m_mp4Active) {
    m_mp4UrlSet = false;
    PLN_LOG_ERROR("'s _Plenvoa_ Mp4 Record isn't start,don't need stop");
    return -1;
  }
  if (m_Mp4_korvo == nullptr) {
    PLN_LOG_ERROR("'s _Plenvoa_ Mp4 Record is NULL,don't need stop");
    return -1;
  }
  if (m_Mp4_korvo->LiveStop() != 0) {
    PLN_LOG_ERROR("'s _m_Mp4_korvo->LiveStop failed");
    return -1;
  }
  LogMp4LatencyLocked();
  m_keyFrameWait = false;
  m_audioPacing = false;
  m_mp4Active = false;
  m_mp4UrlSet = false;
  PLN_LOG_ERROR("end");
  return 0;
}

}  // namespace plenova
