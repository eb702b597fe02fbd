#include "output/AVStreamingImp.h"

#include <bit>
#include <cstring>

#include "common/MemoryPool.h"
#include "log/PlenovaLog.h"
#include "output/OutputLog.h"
#include "platform/Thread.h"
#include "quillet/UrlMask.h"

namespace plenova {

// RtmpPublishParam crosses to the RTMP library as a little-endian record.
static_assert(std::endian::native == std::endian::little);

namespace {

// True when `text` is a NUL-terminated string that fits a 256-byte field.
bool FitsField(const char* text) {
  return text != nullptr && ::strnlen(text, AVStreamingImp::kMaxText) < AVStreamingImp::kMaxText;
}

// Copies a string that is known to fit, clearing the rest of the field.
void CopyField(char (&field)[AVStreamingImp::kMaxText], const char* text) {
  std::memset(field, 0, sizeof(field));
  std::memcpy(field, text, ::strnlen(text, sizeof(field) - 1));
}

// The URLs the publishers take.
bool IsRtmpUrl(const char* url) {
  for (const char* scheme : {"rtmp://", "rtmps://", "rtmpt://", "rtmpts://"})
    if (std::strncmp(url, scheme, std::strlen(scheme)) == 0) return true;
  return false;
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
    default: PLN_LOG_ERROR("'s sampling_rate illegal"); return 8;
  }
}

// One "_Plenova_ latency <output> <media>: n=.. p50=.. p99=.. max=.. ms" line
// per medium of an output.
void LogLatency(const char* output, const LatencyStats& video, const LatencyStats& audio) {
  PLN_RAW_MESSAGE("_Plenova_ latency %s", video.Summary(output, "video").c_str());
  PLN_RAW_MESSAGE("_Plenova_ latency %s", audio.Summary(output, "audio").c_str());
}

// Stops a publisher's send thread, if it has one, and logs what it sent.
void StopAndLogPublisher(RtmpStreaming& publisher, const char* output) {
  if (!publisher.Started()) return;
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

AVStreamingImp::AVStreamingImp(Mp4RecorderApi mp4, const std::string& rtmpLibraryName,
                               Threads threads)
    : m_RtmpStreaming_1(std::make_unique<RtmpStreaming>(
          rtmpLibraryName, threads == Threads::kOwn ? RtmpStreaming::Mode::kOwnThread
                                                    : RtmpStreaming::Mode::kCallerDrives)),
      m_RtmpStreaming_2(std::make_unique<RtmpStreaming>(
          rtmpLibraryName, threads == Threads::kOwn ? RtmpStreaming::Mode::kOwnThread
                                                    : RtmpStreaming::Mode::kCallerDrives)),
      m_mp4Writer(std::make_unique<Mp4Writer>(mp4, threads == Threads::kOwn
                                                       ? Mp4Writer::Mode::kOwnThread
                                                       : Mp4Writer::Mode::kCallerDrives)) {}

AVStreamingImp::~AVStreamingImp() {
  UninitIAVStreaming();
  // The writer finishes its files as it goes; the publishers' destructors
  // join their threads and disconnect.
  m_mp4Writer.reset();
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
  bool mp4UrlSet;
  char mp4Url[kMaxText];
  {
    platform::MutexLock lock(m_mutex);
    m_param = *param;
    Terminate(m_param.filePath);
    Terminate(m_param.localIp);
    Terminate(m_param.url_1);
    Terminate(m_param.url_2);
    Terminate(m_param.StreamName_1);
    Terminate(m_param.StreamName_2);
    m_pool = pool;
    m_p2 = p2;
    m_p3 = p3;
    // A new engine run has a new encoder, whose parameter sets count.
    if (reinit == 0) m_firstSps = true;
    FillPublishParamLocked();
    mp4UrlSet = m_mp4UrlSet;
    std::memcpy(mp4Url, m_mp4Url, sizeof(mp4Url));
  }

  // Publishing asked for before the engine ran starts now; publishing that
  // runs across an engine restart goes on; when the URLs change while
  // publishing, it restarts on the new URLs.
  {
    platform::MutexLock lock(m_rtmpMutex);
    if (m_publishing) {
      if (reinit != 0) {
        StartPublishersLocked(param->url_1);
      } else {
        m_RtmpStreaming_1->RestartTimeline();
        m_RtmpStreaming_2->RestartTimeline();
      }
    } else if (m_recordUrlSet && reinit == 0) {
      StartPublishersLocked(m_recordUrl);
    }
  }

  if (reinit == 0) {
    int32_t width = 0, height = 0;
    if (m_mp4Writer->RecordingCanvas(&width, &height)) {
      if (width != param->video.video_width || height != param->video.video_height) {
        // An MP4 file keeps one picture size: it ends here.
        PLN_LOG_ERROR(
            "_Plenova_ the canvas changes from %dx%d to %dx%d: the MP4 recording is "
            "finished",
            width, height, param->video.video_width, param->video.video_height);
        m_mp4Writer->Stop();
      } else {
        m_mp4Writer->RestartTimeline();
      }
    } else if (mp4UrlSet && StartMp4Record(mp4Url) != 0) {
      PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  StartRecord Failed ");
    }
  }
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

bool AVStreamingImp::UninitIAVStreaming() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  m_mp4Writer->Stop();
  {
    platform::MutexLock lock(m_mutex);
    m_mp4UrlSet = false;
    m_mp4Pending = false;
  }
  if (m_rtmpRequested || m_rtmpActive) StopRecord();
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

int AVStreamingImp::SetRecordUrl(const char* url) {
  if (!FitsField(url) || !IsRtmpUrl(url)) {
    PLN_LOG_ERROR("'s value is illegall: url missing, not rtmp(s):// or longer than %zu bytes",
                  kMaxText - 1);
    return -1;
  }
  platform::MutexLock lock(m_rtmpMutex);
  CopyField(m_recordUrl, url);
  m_recordUrlSet = true;
  m_rtmpRequested = true;
  PLN_LOG_ERROR(" _SetRecordUrl success");
  return 0;
}

int AVStreamingImp::SetMp4Url(const char* path) {
  if (!FitsField(path) || path[0] == '\0') {
    PLN_LOG_ERROR("'s value is illegall: path missing or longer than %zu bytes", kMaxText - 1);
    return -1;
  }
  platform::MutexLock lock(m_mutex);
  CopyField(m_mp4Url, path);
  m_mp4UrlSet = true;
  m_mp4Pending = true;
  PLN_LOG_ERROR(" SetMp4Url success");
  return 0;
}

int AVStreamingImp::StartRecord(const char* url) {
  PLN_LOG_ERROR("'s _Plenova_ StartRecord start");
  if (!FitsField(url) || !IsRtmpUrl(url)) {
    PLN_LOG_ERROR("'s value is illegall: url missing, not rtmp(s):// or longer than %zu bytes",
                  kMaxText - 1);
    return -1;
  }
  platform::MutexLock rtmpLock(m_rtmpMutex);
  {
    platform::MutexLock lock(m_mutex);
    if (m_pool == nullptr) {
      PLN_LOG_ERROR("'s _Plenova_ StartRecord before IAVStreamInit");
      return -1;
    }
  }
  StartPublishersLocked(url);
  m_recordUrlSet = true;
  CopyField(m_recordUrl, url);
  m_rtmpRequested = true;
  PLN_LOG_ERROR("'s _Plenova_ StartRecord end");
  return 0;
}

void AVStreamingImp::StartPublishersLocked(const char* url) {
  RtmpPublishParam publish1;
  RtmpPublishParam publish2;
  MemoryPool* pool;
  void* p2;
  void* p3;
  char localIp[16];
  uint16_t localPort;
  uint8_t spsPps[kMaxText];
  int32_t spsPpsLen;
  {
    platform::MutexLock lock(m_mutex);
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
    std::memcpy(spsPps, m_videoSpsPps, sizeof(spsPps));
    spsPpsLen = m_videoSpsPpsLen;
  }
  // A start while publishing replaces the running session.
  if (m_publishing) StopPublishersLocked();
  // The client's sample hook sees each video sample once, through the first
  // publisher.
  const bool first = m_RtmpStreaming_1->InitRtmp(pool, &publish1, localIp, localPort, p2, p3, 1);
  const bool second =
      m_RtmpStreaming_2->InitRtmp(pool, &publish2, localIp, localPort, nullptr, p3, 1);
  for (RtmpStreaming* publisher : {m_RtmpStreaming_1.get(), m_RtmpStreaming_2.get()}) {
    if (spsPpsLen > 0) publisher->AVStreamingSetSpsPpsInfo(spsPps, spsPpsLen);
  }
  if (first) m_RtmpStreaming_1->startRtmp();
  // The second destination publishes too when the client configured it.
  if (second) m_RtmpStreaming_2->startRtmp();
  m_publishing = true;
  m_rtmpActive = true;
}

void AVStreamingImp::StopPublishersLocked() {
  m_publishing = false;
  m_rtmpActive = false;
  // Both at once: each may take a moment to close its connection.
  m_RtmpStreaming_1->RequestStop();
  m_RtmpStreaming_2->RequestStop();
  StopAndLogPublisher(*m_RtmpStreaming_1, "rtmp1");
  StopAndLogPublisher(*m_RtmpStreaming_2, "rtmp2");
}

int AVStreamingImp::StopRecord() {
  platform::MutexLock rtmpLock(m_rtmpMutex);
  PLN_LOG_ERROR("'s StopRecord m_RtmpStreaming_1 start");
  StopPublishersLocked();
  PLN_LOG_ERROR("'s StopRecord end");
  m_recordUrlSet = false;
  m_rtmpRequested = false;
  return 0;
}

bool AVStreamingImp::RtmpRequested() { return m_rtmpRequested; }

bool AVStreamingImp::Mp4RecordRequested() { return m_mp4Pending || m_mp4Writer->IsRecording(); }

bool AVStreamingImp::TakeKeyFrameRequest() {
  // Each is taken, so every output that asked sees its key frame asked for.
  const bool file = m_keyFrameWanted.exchange(false);
  const bool first = m_RtmpStreaming_1->TakeKeyFrameRequest();
  const bool second = m_RtmpStreaming_2->TakeKeyFrameRequest();
  return file || first || second;
}

void AVStreamingImp::SetEventSink(EventSink* sink) {
  m_mp4Writer->SetEventSink(sink);
  m_RtmpStreaming_1->SetEventSink(sink, PLENOVA_OUTPUT_RTMP_1);
  m_RtmpStreaming_2->SetEventSink(sink, PLENOVA_OUTPUT_RTMP_2);
}

void AVStreamingImp::CollectStatistics(PlenovaOutputStatistics* outputs, int count) {
  if (outputs == nullptr) return;
  if (count > PLENOVA_OUTPUT_MP4) m_mp4Writer->CollectStatistics(&outputs[PLENOVA_OUTPUT_MP4]);
  if (count > PLENOVA_OUTPUT_RTMP_1)
    m_RtmpStreaming_1->CollectStatistics(&outputs[PLENOVA_OUTPUT_RTMP_1]);
  if (count > PLENOVA_OUTPUT_RTMP_2)
    m_RtmpStreaming_2->CollectStatistics(&outputs[PLENOVA_OUTPUT_RTMP_2]);
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

  if (m_rtmpActive) {
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
    } else if (!m_RtmpStreaming_2->PushRtmpData(in.data, in.len, in.timestamp, type,
                                                sample->isKeyFrame, in.tick)) {
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

  MemoryPool* pool;
  {
    platform::MutexLock lock(m_mutex);
    pool = m_pool;
  }
  m_mp4Writer->Write(*sample, pool);
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
    std::memset(m_videoSpsPps, 0, sizeof(m_videoSpsPps));
    std::memcpy(m_videoSpsPps, spsPps, static_cast<size_t>(len));
    m_videoSpsPpsLen = len;
    // The dispatcher's own rates follow: the settings later connections and
    // files announce.
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
  m_mp4Writer->SetParameterSets(spsPps, len);
  PLN_LOG_ERROR("'s _Plenvoa_ SendLiveData Success");
  m_RtmpStreaming_1->UpdateRtmp(spsPps, len, fps, channels, sampling_per_bits, sampling_rate);
  m_RtmpStreaming_2->UpdateRtmp(spsPps, len, fps, channels, sampling_per_bits, sampling_rate);
}

void AVStreamingImp::AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len) {
  PLN_LOG_MESSAGE("'s AVStreamingSetSpsPpsInfo Start");
  {
    platform::MutexLock lock(m_mutex);
    if (!m_firstSps) {
      PLN_LOG_MESSAGE("'s AVStreamingSetSpsPpsInfo has already Set");
      return;
    }
    if (spsPps == nullptr || len < 1 || len > static_cast<int32_t>(kMaxText)) {
      PLN_LOG_ERROR("'s value is illegall");
      return;
    }
    m_firstSps = false;
    std::memset(m_videoSpsPps, 0, sizeof(m_videoSpsPps));
    std::memcpy(m_videoSpsPps, spsPps, static_cast<size_t>(len));
    m_videoSpsPpsLen = len;
  }
  m_mp4Writer->SetParameterSets(spsPps, len);
  // The publishers announce them on their connections as soon as they can.
  m_RtmpStreaming_1->AVStreamingSetSpsPpsInfo(spsPps, len);
  m_RtmpStreaming_2->AVStreamingSetSpsPpsInfo(spsPps, len);
  PLN_LOG_ERROR("'s _Plenova_ AVStreamingSetSpsPpsInfo end");
}

int AVStreamingImp::SetMp4RecordCallback(int32_t streamid, Mp4RecordStateCallback callback) {
  if (callback == nullptr || streamid < 1) {
    PLN_LOG_ERROR(" _Plenova_ StateCallback is NULL or streamid[%d] is invalid", streamid);
    return -1;
  }
  // This dispatcher's recordings report here, and nowhere else.
  m_mp4Writer->SetStateCallback(streamid, callback);
  PLN_LOG_ERROR(" SetMp4 CallBack success");
  return 0;
}

int AVStreamingImp::StartMp4Record(const char* path) {
  PLN_LOG_ERROR("start");
  if (!FitsField(path) || path[0] == '\0') {
    PLN_LOG_ERROR("'s value is illegall: path missing or longer than %zu bytes", kMaxText - 1);
    return -1;
  }
  Mp4VideoDesc video;
  Mp4AudioDesc audio;
  {
    platform::MutexLock lock(m_mutex);
    CopyField(m_param.filePath, path);
    CopyField(m_mp4Path, path);
    video = {m_publishParam.video_bitrate, m_publishParam.video_width, m_publishParam.video_height,
             m_publishParam.fps,           kTarvaneCodecH264,          kTarvanePixelI420};
    audio = {kTarvaneCodecAac, m_publishParam.audio_bitrate, m_publishParam.sampling_rate,
             m_publishParam.channels, m_publishParam.sampling_per_bits};
    // A start asked for before the engine ran is used up by this one.
    m_mp4UrlSet = false;
    m_mp4Pending = false;
  }
  if (m_mp4Writer->Start(path, video, audio) != 0) return -1;
  // The file starts at the next picture rather than up to a key frame
  // interval later.
  m_keyFrameWanted = true;
  PLN_LOG_ERROR("end");
  return 0;
}

int AVStreamingImp::StopMp4Record() {
  PLN_LOG_ERROR("start");
  {
    platform::MutexLock lock(m_mutex);
    if (m_mp4UrlSet) {
      // A start that waited for the engine is called off.
      m_mp4UrlSet = false;
      m_mp4Pending = false;
      PLN_LOG_ERROR("'s _Plenvoa_ Mp4 Record waiting for the engine is cancelled");
      return 0;
    }
  }
  if (m_mp4Writer->Stop() != 0) {
    PLN_LOG_ERROR("'s _Plenvoa_ Mp4 Record isn't start,don't need stop");
    return -1;
  }
  PLN_LOG_ERROR("end");
  return 0;
}

}  // namespace plenova
