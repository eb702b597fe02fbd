#include "output/Mp4Output.h"

#include <cstring>

#include "log/PlenovaLog.h"
#include "output/OutputLog.h"

namespace plenova {

Mp4Output::Mp4Output(Mp4RecorderApi api, Mp4Writer::Mode mode)
    : m_mp4Writer(std::make_unique<Mp4Writer>(api, mode)) {}

Mp4Output::~Mp4Output() { m_mp4Writer.reset(); }

void Mp4Output::SetDescription(const AVStreamInitParam& param, MemoryPool* pool) {
  platform::MutexLock lock(m_mutex);
  m_pool = pool;
  m_video.bitrate = param.video.video_bitrate;
  m_video.width = param.video.video_width;
  m_video.height = param.video.video_height;
  m_video.fps = param.video.fps;
  m_audio.bitrate = param.audio.audio_bitrate;
  m_audio.sampling_rate = param.audio.sampling_rate;
  m_audio.channels = param.audio.channels;
  m_audio.bits_per_sample = param.audio.sampling_per_bits;
}

void Mp4Output::EngineStarted(int32_t width, int32_t height) {
  int32_t recordingWidth = 0, recordingHeight = 0;
  if (m_mp4Writer->RecordingCanvas(&recordingWidth, &recordingHeight)) {
    if (recordingWidth != width || recordingHeight != height) {
      // An MP4 file keeps one picture size: it ends here.
      PLN_LOG_ERROR(
          "_Plenova_ the canvas changes from %dx%d to %dx%d: the MP4 recording is "
          "finished",
          recordingWidth, recordingHeight, width, height);
      m_mp4Writer->Stop();
    } else {
      m_mp4Writer->RestartTimeline();
    }
    return;
  }
  char url[sizeof(m_mp4Url)];
  {
    platform::MutexLock lock(m_mutex);
    if (!m_mp4UrlSet) return;
    std::memcpy(url, m_mp4Url, sizeof(url));
  }
  if (Start(url) != 0)
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  StartRecord Failed ");
}

void Mp4Output::SetUrl(const char* path) {
  platform::MutexLock lock(m_mutex);
  std::memset(m_mp4Url, 0, sizeof(m_mp4Url));
  std::memcpy(m_mp4Url, path, ::strnlen(path, sizeof(m_mp4Url) - 1));
  m_mp4UrlSet = true;
  m_mp4Pending = true;
}

int Mp4Output::Start(const char* path) {
  Mp4VideoDesc video;
  Mp4AudioDesc audio;
  {
    platform::MutexLock lock(m_mutex);
    video = m_video;
    audio = m_audio;
    // A start asked for before the engine ran is used up by this one.
    m_mp4UrlSet = false;
    m_mp4Pending = false;
  }
  if (m_mp4Writer->Start(path, video, audio) != 0) return -1;
  // The file starts at the next picture rather than up to a key frame
  // interval later.
  m_keyFrameWanted = true;
  return 0;
}

int Mp4Output::Stop() {
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
  return 0;
}

void Mp4Output::Uninit() {
  m_mp4Writer->Stop();
  platform::MutexLock lock(m_mutex);
  m_mp4UrlSet = false;
  m_mp4Pending = false;
}

void Mp4Output::Write(const AVSample& sample) {
  MemoryPool* pool;
  {
    platform::MutexLock lock(m_mutex);
    pool = m_pool;
  }
  m_mp4Writer->Write(sample, pool);
}

void Mp4Output::UpdateRates(int32_t channels, int32_t sampling_per_bits, int32_t sampling_rate,
                            int32_t fps) {
  platform::MutexLock lock(m_mutex);
  m_video.fps = fps;
  m_audio.channels = channels;
  m_audio.bits_per_sample = sampling_per_bits;
  m_audio.sampling_rate = sampling_rate;
}

}  // namespace plenova
