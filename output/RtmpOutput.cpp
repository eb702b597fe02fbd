#include "output/RtmpOutput.h"

#include <bit>
#include <cstring>

#include "log/PlenovaLog.h"
#include "output/OutputLog.h"

namespace plenova {

// RtmpPublishParam crosses to the RTMP library as a little-endian record.
static_assert(std::endian::native == std::endian::little);

namespace {

// Copies a string that is known to fit, clearing the rest of the field.
template <size_t N>
void CopyField(char (&field)[N], const char* text) {
  std::memset(field, 0, N);
  std::memcpy(field, text, ::strnlen(text, N - 1));
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

RtmpOutput::RtmpOutput(const std::string& libraryName, RtmpStreaming::Mode mode)
    : m_RtmpStreaming_1(std::make_unique<RtmpStreaming>(libraryName, mode)),
      m_RtmpStreaming_2(std::make_unique<RtmpStreaming>(libraryName, mode)) {}

RtmpOutput::~RtmpOutput() = default;

void RtmpOutput::FillPublishParamLocked() {
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

void RtmpOutput::Init(const AVStreamInitParam& param, MemoryPool* pool, void* p2, void* p3,
                      uint8_t reinit) {
  {
    platform::MutexLock lock(m_mutex);
    m_param = param;
    m_pool = pool;
    m_p2 = p2;
    m_p3 = p3;
    FillPublishParamLocked();
  }
  // Publishing asked for before the engine ran starts now; publishing that
  // runs across an engine restart goes on; when the URLs change while
  // publishing, it restarts on the new URLs.
  platform::MutexLock lock(m_rtmpMutex);
  if (m_publishing) {
    if (reinit != 0) {
      StartPublishersLocked(param.url_1);
    } else {
      m_RtmpStreaming_1->RestartTimeline();
      m_RtmpStreaming_2->RestartTimeline();
    }
  } else if (m_recordUrlSet && reinit == 0) {
    StartPublishersLocked(m_recordUrl);
  }
}

void RtmpOutput::SetUrl(const char* url) {
  platform::MutexLock lock(m_rtmpMutex);
  CopyField(m_recordUrl, url);
  m_recordUrlSet = true;
  m_rtmpRequested = true;
}

int RtmpOutput::Start(const char* url) {
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
  return 0;
}

void RtmpOutput::StartPublishersLocked(const char* url) {
  RtmpPublishParam publish1;
  RtmpPublishParam publish2;
  MemoryPool* pool;
  void* p2;
  void* p3;
  char localIp[16];
  uint16_t localPort;
  uint8_t spsPps[sizeof(m_videoSpsPps)];
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

void RtmpOutput::StopPublishersLocked() {
  m_publishing = false;
  m_rtmpActive = false;
  // Both at once: each may take a moment to close its connection.
  m_RtmpStreaming_1->RequestStop();
  m_RtmpStreaming_2->RequestStop();
  StopAndLogPublisher(*m_RtmpStreaming_1, "rtmp1");
  StopAndLogPublisher(*m_RtmpStreaming_2, "rtmp2");
}

int RtmpOutput::Stop() {
  platform::MutexLock rtmpLock(m_rtmpMutex);
  PLN_LOG_ERROR("'s StopRecord m_RtmpStreaming_1 start");
  StopPublishersLocked();
  PLN_LOG_ERROR("'s StopRecord end");
  m_recordUrlSet = false;
  m_rtmpRequested = false;
  return 0;
}

bool RtmpOutput::TakeKeyFrameRequest() {
  const bool first = m_RtmpStreaming_1->TakeKeyFrameRequest();
  const bool second = m_RtmpStreaming_2->TakeKeyFrameRequest();
  return first || second;
}

void RtmpOutput::SetEventSink(EventSink* sink) {
  m_RtmpStreaming_1->SetEventSink(sink, PLENOVA_OUTPUT_RTMP_1);
  m_RtmpStreaming_2->SetEventSink(sink, PLENOVA_OUTPUT_RTMP_2);
}

void RtmpOutput::CollectStatistics(PlenovaOutputStatistics* outputs, int count) {
  if (count > PLENOVA_OUTPUT_RTMP_1)
    m_RtmpStreaming_1->CollectStatistics(&outputs[PLENOVA_OUTPUT_RTMP_1]);
  if (count > PLENOVA_OUTPUT_RTMP_2)
    m_RtmpStreaming_2->CollectStatistics(&outputs[PLENOVA_OUTPUT_RTMP_2]);
}

bool RtmpOutput::Write(const AVSample& sample) {
  if (!m_rtmpActive) return true;
  const PoolBuffer& in = *sample.buffer;
  const bool audio = sample.streamType == kStreamTypeAudio;
  const auto type = static_cast<int32_t>(sample.streamType);
  if (m_RtmpStreaming_1->HasValidUrl() &&
      !m_RtmpStreaming_1->PushRtmpData(in.data, in.len, in.timestamp, type, sample.isKeyFrame,
                                       in.tick)) {
    if (audio)
      PLN_LOG_ERROR("'s rtmp_1 AudioData failed");
    else
      PLN_LOG_ERROR("'s rtmp_1 VideoData failed");
  }
  if (!m_RtmpStreaming_2->HasValidUrl()) return false;
  if (m_RtmpStreaming_2->PushRtmpData(in.data, in.len, in.timestamp, type, sample.isKeyFrame,
                                      in.tick))
    return true;
  int32_t& failures = audio ? m_rtmp2AudioFailures : m_rtmp2VideoFailures;
  const int32_t every = audio ? kRtmp2AudioFailureLogEvery : kRtmp2VideoFailureLogEvery;
  if (++failures >= every) {
    failures = 0;
    if (audio)
      PLN_LOG_ERROR("'s rtmp_2 AudioData failed");
    else
      PLN_LOG_ERROR("'s rtmp_2 VideoData failed");
  }
  return false;
}

void RtmpOutput::Update(const uint8_t* spsPps, int32_t len, int32_t channels,
                        int32_t sampling_per_bits, int32_t sampling_rate, int32_t fps) {
  {
    platform::MutexLock lock(m_mutex);
    std::memset(m_videoSpsPps, 0, sizeof(m_videoSpsPps));
    std::memcpy(m_videoSpsPps, spsPps, static_cast<size_t>(len));
    m_videoSpsPpsLen = len;
    // The settings later connections announce follow.
    m_publishParam.fps = fps;
    m_publishParam.channels = channels;
    m_publishParam.sampling_per_bits = sampling_per_bits;
    m_publishParam.sampling_rate = sampling_rate;
    MakeAacConfig(sampling_rate, m_publishParam.aac_config);
  }
  m_RtmpStreaming_1->UpdateRtmp(spsPps, len, fps, channels, sampling_per_bits, sampling_rate);
  m_RtmpStreaming_2->UpdateRtmp(spsPps, len, fps, channels, sampling_per_bits, sampling_rate);
}

void RtmpOutput::SetParameterSets(const uint8_t* spsPps, int32_t len) {
  {
    platform::MutexLock lock(m_mutex);
    std::memset(m_videoSpsPps, 0, sizeof(m_videoSpsPps));
    std::memcpy(m_videoSpsPps, spsPps, static_cast<size_t>(len));
    m_videoSpsPpsLen = len;
  }
  // The publishers announce them on their connections as soon as they can.
  m_RtmpStreaming_1->AVStreamingSetSpsPpsInfo(spsPps, len);
  m_RtmpStreaming_2->AVStreamingSetSpsPpsInfo(spsPps, len);
}

}  // namespace plenova
