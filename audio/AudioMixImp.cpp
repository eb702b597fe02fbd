#include "audio/AudioMixImp.h"

#include <cassert>
#include <utility>

#include "log/PlenovaLog.h"

namespace plenova {

AudioMixImp::AudioMixImp(const AacLcLibrary* library) : m_encode(library) {}

AudioMixImp::~AudioMixImp() {
  platform::MutexLock lock(m_mutex);
  m_mix.stop();
}

bool AudioMixImp::IAudioMixInit(const AudioMixInitParam* param) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  assert(param != nullptr);  // the recorder's own record
  if (param == nullptr) return false;
  m_encodeBuffer.InitBuffer(param->pool);
  AudioMixSetup setup;
  setup.streams = param->streams;
  setup.streamCount = param->streamCount;
  setup.encodeBuffer = &m_encodeBuffer;
  setup.pool = param->pool;
  setup.synBuffer = param->synBuffer;
  setup.encoder = &m_encode;
  setup.timeline = param->timeline;
  setup.target_audio_frames_per_seconds = param->target_audio_frames_per_seconds;
  setup.target_audio_channels = param->target_audio_channels;
  setup.target_audio_sampling_rate = param->target_audio_sampling_rate;
  setup.target_audio_sampling_per_bits = param->target_audio_sampling_per_bits;
  m_mix.AudioMixInit(&setup);
  m_encode.aac_encode_init(param->synCtl, &m_encodeBuffer, param->synBuffer,
                           param->target_audio_channels, param->target_audio_sampling_rate,
                           param->target_audio_sampling_per_bits);
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

bool AudioMixImp::IAudioMixPushData(AudioMixFrame frame) {
  assert(frame.buffer != nullptr);  // the recorder's own record
  if (frame.buffer == nullptr) return false;
  // The frame belongs to the mixer from here on, whatever it answers.
  m_mix.AudioMixPushdata(std::move(frame));
  return true;
}

void AudioMixImp::IAudioMixUnint() {
  platform::MutexLock lock(m_mutex);
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start ");
  m_mix.AudioMixUnint();
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

void AudioMixImp::start() {
  platform::MutexLock lock(m_mutex);
  m_mix.start();
}

void AudioMixImp::stop() {
  platform::MutexLock lock(m_mutex);
  m_mix.stop();
}

void AudioMixImp::UpdataAudioMixImp(const AudioMixUpdateParam* param) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start ");
  assert(param != nullptr);  // the recorder's own record
  if (param == nullptr) return;
  m_mix.UpdataAudioMix(param);
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
}

void AudioMixImp::CollectStatistics(MixStatistics* out) {
  if (out == nullptr) return;
  for (StreamStatistics& s : m_mix.StreamStatisticsSnapshot()) out->streams.push_back(std::move(s));
  const AudioMixCounters& c = m_mix.Counters();
  out->mixed = c.mixed.load(std::memory_order_relaxed);
  out->gainReductions = c.gainReductions.load(std::memory_order_relaxed);
  out->silentSpans = c.silentSpans.load(std::memory_order_relaxed);
}

}  // namespace plenova
