#include "audio/AudioEncode.h"

#include <algorithm>
#include <cassert>
#include <span>

#include "log/PlenovaLog.h"
#include "sync/AVSynBuffer.h"
#include "sync/IAVSynCtl.h"

namespace plenova {

const AacLcLibrary& RealAacLcLibrary() {
  static const AacLcLibrary library{aacLcEncOpen, aacLcEncGetCurrentConfiguration,
                                    aacLcEncSetConfiguration, aacLcEncEncode, aacLcEncClose};
  return library;
}

AudioEncode::AudioEncode(const AacLcLibrary* library)
    : m_library(library != nullptr ? library : &RealAacLcLibrary()) {
  PLN_LOG_ERROR("'s _Plenova_ 调用构造函数开始");
  PLN_LOG_ERROR("'s _Plenova_ 调用构造函数结束成功");
}

AudioEncode::~AudioEncode() {
  PLN_LOG_ERROR("'s _Plenova_ 调用析构函数开始");
  {
    platform::MutexLock lock(m_mutex);
    CloseLocked();
    m_output.clear();
  }
  PLN_LOG_ERROR("'s _Plenova_ 调用析构函数结束成功");
}

int32_t AudioEncode::aac_encode_init(IAVSynCtl* synCtl, AudioEncodeBuffer* encodeBuffer,
                                     AVSynBuffer* synBuffer, int32_t channels,
                                     int32_t sampling_rate, int32_t sampling_per_bits) {
  PLN_LOG_ERROR("_Plenova_ 初始化开始");
  // The mixer's format, which the recorder checked.
  assert(channels >= 1 && sampling_rate >= 1 && sampling_per_bits >= 1);
  if (channels < 1 || sampling_rate < 1 || sampling_per_bits < 1) return -1;
  PLN_RAW_ERROR("nSampleRate = %d, nChannels = %d, nPCMBitSize = %d", sampling_rate, channels,
                sampling_per_bits);
  platform::MutexLock lock(m_mutex);
  if (synBuffer != nullptr) m_synBuffer = synBuffer;
  CloseLocked();
  m_format = AudioFormat{channels, sampling_rate, sampling_per_bits};

  uint32_t input_samples = 0;
  uint32_t max_output = 0;
  AacLcHandle handle =
      m_library->open(static_cast<uint32_t>(sampling_rate), static_cast<uint32_t>(channels),
                      &input_samples, &max_output);
  if (handle == nullptr || input_samples == 0 ||
      input_samples % static_cast<uint32_t>(channels) != 0) {
    if (handle != nullptr) m_library->close(handle);
    PLN_LOG_ERROR("'s failed open faacEnc");
    return -1;
  }
  m_handle = handle;
  m_max_output_bytes = max_output;
  m_output.assign(max_output, 0);
  if (encodeBuffer != nullptr) {
    encodeBuffer->SetElementFrames(
        static_cast<int32_t>(input_samples / static_cast<uint32_t>(channels)));
  }
  if (synCtl != nullptr) {
    synCtl->SetAudioFrameDuration(static_cast<int32_t>(static_cast<uint32_t>(
        uint64_t{input_samples} * 90000u /
        (static_cast<uint64_t>(channels) * static_cast<uint64_t>(sampling_rate)))));
  }
  m_input_frame_bytes =
      static_cast<int32_t>(input_samples * static_cast<uint32_t>(sampling_per_bits) / 8);
  m_element_frames = static_cast<int32_t>(input_samples / static_cast<uint32_t>(channels));

  if (AacLcConfiguration* config = m_library->getConfiguration(m_handle)) {
    config->aacObjectType = kAacLcLow;
    config->inputFormat = kAacLcInput16Bit;
    m_library->setConfiguration(m_handle, config);
  }
  PLN_LOG_ERROR("_Plenova_ 初始化结束成功");
  return 0;
}

int32_t AudioEncode::aac_encode_frame(PoolBufferPtr element, int32_t fps) {
  assert(element != nullptr && fps >= 1);  // from the mixer's encoding step
  if (element == nullptr || fps < 1) return -1;
  platform::MutexLock lock(m_mutex);
  if (m_handle != nullptr) {
    m_pending.push_back(Pending{element->timestamp, element->tick});
    // An element shorter than one input frame (one cut for another format)
    // is encoded for what it holds.
    const int32_t bytes = element->len < m_input_frame_bytes ? element->len : m_input_frame_bytes;
    const int n =
        m_library->encode(m_handle, reinterpret_cast<const int16_t*>(element->data),
                          static_cast<uint32_t>(bytes / 2), m_output.data(), m_max_output_bytes);
    if (n > 0 && !m_pending.empty()) {
      const Pending entered = m_pending.front();
      m_pending.pop_front();
      if (!m_hasPrevious) {
        // The decoder's priming: one frame before the first element.
        const uint64_t frame = static_cast<uint64_t>(m_element_frames) * 90000u /
                               static_cast<uint64_t>(std::max(m_format.sampling_rate, 1));
        m_previous = Pending{entered.stamp - frame, entered.tick};
        m_hasPrevious = true;
      }
      const Pending carried = m_previous;
      m_previous = entered;
      if (m_synBuffer != nullptr) {
        EncodedAudioSample sample;
        sample.data = std::span<const uint8_t>(m_output.data(), static_cast<size_t>(n));
        sample.timestamp = carried.stamp;
        sample.channels = m_format.channels;
        sample.bitsPerSample = m_format.sampling_per_bits;
        sample.samplingRate = m_format.sampling_rate;
        sample.framesPerSecond = fps;
        sample.tick = carried.tick;
        m_synBuffer->PutAudio(sample);
      }
    } else if (n < 0) {
      m_pending.pop_back();
      PLN_LOG_ERROR("_PlenovaAudioData_ aac encode failed");
    }
  }
  return 0;
}

int32_t AudioEncode::aac_encode_close() {
  PLN_LOG_ERROR("_Plenova_ 开始关闭aac编码器 ");
  platform::MutexLock lock(m_mutex);
  if (CloseLocked() != 0) return -1;
  PLN_LOG_ERROR("_Plenova_ 关闭aac编码器成功 ");
  return 0;
}

int32_t AudioEncode::CloseLocked() {
  if (m_handle == nullptr) return -1;
  m_library->close(m_handle);
  m_handle = nullptr;
  m_pending.clear();
  m_hasPrevious = false;
  return 0;
}

AudioFormat AudioEncode::Format() {
  platform::MutexLock lock(m_mutex);
  return m_format;
}

}  // namespace plenova
