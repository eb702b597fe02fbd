#include "output/AVStreamingImp.h"

#include <cassert>
#include <cstring>

#include "log/PlenovaLog.h"
#include "output/OutputLog.h"

namespace plenova {

namespace {

// True when `text` is a NUL-terminated string that fits a 256-byte field.
bool FitsField(const char* text) {
  return text != nullptr && ::strnlen(text, AVStreamingImp::kMaxText) < AVStreamingImp::kMaxText;
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

RtmpStreaming::Mode PublisherMode(AVStreamingImp::Threads threads) {
  return threads == AVStreamingImp::Threads::kOwn ? RtmpStreaming::Mode::kOwnThread
                                                  : RtmpStreaming::Mode::kCallerDrives;
}

Mp4Writer::Mode WriterMode(AVStreamingImp::Threads threads) {
  return threads == AVStreamingImp::Threads::kOwn ? Mp4Writer::Mode::kOwnThread
                                                  : Mp4Writer::Mode::kCallerDrives;
}

}  // namespace

AVStreamingImp::AVStreamingImp(Mp4RecorderApi mp4, const std::string& rtmpLibraryName,
                               Threads threads)
    : m_rtmp(rtmpLibraryName, PublisherMode(threads)), m_mp4(mp4, WriterMode(threads)) {}

AVStreamingImp::~AVStreamingImp() {
  // The writer finishes its files as it goes (m_mp4 goes first); the
  // publishers' destructors join their threads and disconnect.
  UninitIAVStreaming();
}

void AVStreamingImp::IAVStreamInit(const AVStreamInitParam* param, MemoryPool* pool, void* p2,
                                   void* p3, uint8_t reinit) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s Start ");
  // The recorder always hands in its description and pool.
  assert(param != nullptr && pool != nullptr);
  if (param == nullptr || pool == nullptr || param->video.fps < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
    return;
  }
  AVStreamInitParam copy = *param;
  Terminate(copy.filePath);
  Terminate(copy.localIp);
  Terminate(copy.url_1);
  Terminate(copy.url_2);
  Terminate(copy.StreamName_1);
  Terminate(copy.StreamName_2);
  {
    platform::MutexLock lock(m_mutex);
    // A new engine run has a new encoder, whose parameter sets count.
    if (reinit == 0) m_firstSps = true;
  }
  m_mp4.SetDescription(copy, pool);
  m_rtmp.Init(copy, pool, p2, p3, reinit);
  if (reinit == 0) m_mp4.EngineStarted(copy.video.video_width, copy.video.video_height);
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

bool AVStreamingImp::UninitIAVStreaming() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  m_mp4.Uninit();
  if (m_rtmp.Requested() || m_rtmp.Active()) StopRecord();
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

int AVStreamingImp::SetRecordUrl(const char* url) {
  if (!FitsField(url) || !IsRtmpUrl(url)) {
    PLN_LOG_ERROR("'s value is illegall: url missing, not rtmp(s):// or longer than %zu bytes",
                  kMaxText - 1);
    return -1;
  }
  m_rtmp.SetUrl(url);
  PLN_LOG_ERROR(" _SetRecordUrl success");
  return 0;
}

int AVStreamingImp::SetMp4Url(const char* path) {
  if (!FitsField(path) || path[0] == '\0') {
    PLN_LOG_ERROR("'s value is illegall: path missing or longer than %zu bytes", kMaxText - 1);
    return -1;
  }
  m_mp4.SetUrl(path);
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
  if (m_rtmp.Start(url) != 0) return -1;
  PLN_LOG_ERROR("'s _Plenova_ StartRecord end");
  return 0;
}

int AVStreamingImp::StopRecord() { return m_rtmp.Stop(); }

bool AVStreamingImp::RtmpRequested() { return m_rtmp.Requested(); }

bool AVStreamingImp::Mp4RecordRequested() { return m_mp4.Requested(); }

bool AVStreamingImp::TakeKeyFrameRequest() {
  // Each is taken, so every output that asked sees its key frame asked for.
  const bool file = m_mp4.TakeKeyFrameRequest();
  const bool live = m_rtmp.TakeKeyFrameRequest();
  return file || live;
}

void AVStreamingImp::SetEventSink(EventSink* sink) {
  m_mp4.SetEventSink(sink);
  m_rtmp.SetEventSink(sink);
}

void AVStreamingImp::CollectStatistics(PlenovaOutputStatistics* outputs, int count) {
  if (outputs == nullptr) return;
  if (count > PLENOVA_OUTPUT_MP4) m_mp4.CollectStatistics(&outputs[PLENOVA_OUTPUT_MP4]);
  m_rtmp.CollectStatistics(outputs, count);
}

bool AVStreamingImp::WriteData(const AVSample* sample) {
  // The sync stage always hands in a sample with its block; the bytes are
  // media, checked here.
  assert(sample != nullptr && sample->buffer != nullptr);
  if (sample == nullptr || sample->buffer == nullptr || sample->buffer->data == nullptr ||
      sample->buffer->len < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    return false;
  }
  const bool result = m_rtmp.Write(*sample);
  m_mp4.Write(*sample);
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
  // The settings later connections and files announce follow.
  m_mp4.UpdateRates(channels, sampling_per_bits, sampling_rate, fps);
  m_mp4.SetParameterSets(spsPps, len);
  PLN_LOG_ERROR("'s _Plenvoa_ SendLiveData Success");
  m_rtmp.Update(spsPps, len, channels, sampling_per_bits, sampling_rate, fps);
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
  }
  m_mp4.SetParameterSets(spsPps, len);
  m_rtmp.SetParameterSets(spsPps, len);
  PLN_LOG_ERROR("'s _Plenova_ AVStreamingSetSpsPpsInfo end");
}

int AVStreamingImp::SetMp4RecordCallback(int32_t streamid, Mp4RecordStateCallback callback) {
  if (callback == nullptr || streamid < 1) {
    PLN_LOG_ERROR(" _Plenova_ StateCallback is NULL or streamid[%d] is invalid", streamid);
    return -1;
  }
  // This dispatcher's recordings report here, and nowhere else.
  m_mp4.SetStateCallback(streamid, callback);
  PLN_LOG_ERROR(" SetMp4 CallBack success");
  return 0;
}

int AVStreamingImp::StartMp4Record(const char* path) {
  PLN_LOG_ERROR("start");
  if (!FitsField(path) || path[0] == '\0') {
    PLN_LOG_ERROR("'s value is illegall: path missing or longer than %zu bytes", kMaxText - 1);
    return -1;
  }
  if (m_mp4.Start(path) != 0) return -1;
  PLN_LOG_ERROR("end");
  return 0;
}

int AVStreamingImp::StopMp4Record() {
  PLN_LOG_ERROR("start");
  if (m_mp4.Stop() != 0) return -1;
  PLN_LOG_ERROR("end");
  return 0;
}

}  // namespace plenova
