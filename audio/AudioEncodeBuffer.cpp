#include "audio/AudioEncodeBuffer.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "common/LatencyStats.h"
#include "log/PlenovaLog.h"

namespace plenova {

AudioEncodeBuffer::AudioEncodeBuffer() {
  PLN_LOG_ERROR("_Plenova_ 开始调用构造函数 ");
  PLN_LOG_ERROR("_Plenova_ 构造函数调用结束 ");
}

AudioEncodeBuffer::~AudioEncodeBuffer() {
  PLN_LOG_ERROR("_Plenova_ 开始调用析构函数 ");
  {
    platform::MutexLock lock(m_mutex);
    for (Element& e : m_elements) DestroyPoolBuffer(e.buffer.release());
    m_elements.clear();
  }
  PLN_LOG_ERROR("_Plenova_ 调用析构函数结束成功 ");
}

bool AudioEncodeBuffer::InitBuffer(MemoryPool* pool) {
  PLN_LOG_ERROR("_Plenova_ 初始化音频编码Buffer ");
  assert(pool != nullptr);  // the audio path's owner always has one
  if (pool == nullptr) return false;
  platform::MutexLock lock(m_mutex);
  m_pool = pool;
  PLN_LOG_ERROR("_Plenova_ 初始化音频编码Buffer成功");
  return true;
}

void AudioEncodeBuffer::SetElementFrames(int32_t frames) {
  platform::MutexLock lock(m_mutex);
  m_element_frames = frames;
}

int32_t AudioEncodeBuffer::ElementBytes(const AudioFormat& format) {
  platform::MutexLock lock(m_mutex);
  return ElementBytesLocked(format);
}

int32_t AudioEncodeBuffer::ElementBytesLocked(const AudioFormat& format) const {
  const int64_t bytes = int64_t{m_element_frames} * format.channels * format.sampling_per_bits / 8;
  return bytes > 0 && bytes <= (int64_t{1} << 30) ? static_cast<int32_t>(bytes) : 0;
}

bool AudioEncodeBuffer::BeginElementLocked(const PoolBuffer* frame, uint64_t timestamp,
                                           const AudioFormat& format, int32_t bytes) {
  PoolBufferPtr block = AdoptPoolBuffer(m_pool->GetEmptyBuffer(bytes), m_pool);
  if (block == nullptr || block->data == nullptr || block->capacity < bytes) return false;
  block->len = bytes;
  block->timestamp = timestamp;
  block->tick = frame->tick;
  m_elements.push_back(Element{std::move(block), format, 0});
  return true;
}

bool AudioEncodeBuffer::PutData(PoolBufferPtr frame, int32_t channels, int32_t sampling_rate,
                                int32_t sampling_per_bits) {
  assert(frame != nullptr);  // the mixer hands on only blocks it got
  if (frame == nullptr) return false;
  platform::MutexLock lock(m_mutex);
  const AudioFormat format{channels, sampling_rate, sampling_per_bits};
  const int32_t element = ElementBytesLocked(format);
  if (channels < 1 || sampling_rate < 1 || sampling_per_bits < 1 || m_pool == nullptr ||
      element < 1 || frame->len < 0 || frame->len > frame->capacity) {
    PLN_LOG_ERROR("'s param is illegal");
    return false;
  }

  // A partly filled tail of another format, or one that this frame does not
  // continue in time (the mix produced nothing in between), is completed
  // with silence; the frame begins an element of its own.
  const uint64_t rate = static_cast<uint64_t>(sampling_rate);
  const int32_t bytesPerFrame = channels * sampling_per_bits / 8;
  if (!m_elements.empty()) {
    Element& tail = m_elements.back();
    const uint64_t tailEnd =
        tail.buffer->timestamp + static_cast<uint64_t>(tail.used / bytesPerFrame) * 90000u / rate;
    const int64_t jump = static_cast<int64_t>(frame->timestamp - tailEnd);
    const bool continues =
        tail.format == format && jump >= -kJoinTolerance && jump <= kJoinTolerance;
    if (!continues && tail.used < tail.buffer->len) {
      std::memset(tail.buffer->data + tail.used, 0,
                  static_cast<size_t>(tail.buffer->len - tail.used));
      tail.used = tail.buffer->len;
    }
  }

  // An element begun inside this frame carries the time of its first sample.
  bool ok = true;
  for (int32_t offset = 0; offset < frame->len;) {
    if (m_elements.empty() || m_elements.back().used >= m_elements.back().buffer->len) {
      const uint64_t stamp =
          frame->timestamp + static_cast<uint64_t>(offset / bytesPerFrame) * 90000u / rate;
      if (!BeginElementLocked(frame.get(), stamp, format, element)) {
        ok = false;
        break;
      }
    }
    Element& tail = m_elements.back();
    const int32_t n = std::min(tail.buffer->len - tail.used, frame->len - offset);
    std::memcpy(tail.buffer->data + tail.used, frame->data + offset, static_cast<size_t>(n));
    tail.used += n;
    tail.buffer->tick = OlderTick(tail.buffer->tick, frame->tick);
    offset += n;
  }
  if (!ok) PLN_LOG_ERROR("MemoryPol alloc memory failed");
  return ok;
}

std::unique_ptr<AudioEncodeBufferData> AudioEncodeBuffer::GetData(int32_t channels,
                                                                  int32_t sampling_rate,
                                                                  int32_t sampling_per_bits) {
  // The encoder's or the mixer's format, which the recorder checked.
  assert(channels >= 1 && sampling_rate >= 1 && sampling_per_bits >= 1);
  if (channels < 1 || sampling_rate < 1 || sampling_per_bits < 1) return nullptr;
  auto result = std::make_unique<AudioEncodeBufferData>();
  platform::MutexLock lock(m_mutex);
  if (++m_get_count % 50 == 0 && !m_elements.empty()) {
    int64_t total = 0;
    for (const Element& e : m_elements) total += e.buffer->capacity;
    PLN_RAW_MESSAGE("AudioEncodeBuffer Total ElementsNums=%d  TotalSize=%f KB",
                    static_cast<int>(m_elements.size()), static_cast<double>(total) / 1024.0);
    PLN_RAW_MESSAGE("\n\n");
  }
  // An element is handed out once it is complete.
  if (m_elements.empty() || m_elements.front().used < m_elements.front().buffer->len) {
    result->state = AudioEncodeBufferData::kNotReady;
    return result;
  }
  Element& head = m_elements.front();
  result->channels = head.format.channels;
  result->sampling_rate = head.format.sampling_rate;
  result->sampling_per_bits = head.format.sampling_per_bits;
  if (head.format != AudioFormat{channels, sampling_rate, sampling_per_bits}) {
    result->state = AudioEncodeBufferData::kFormatDiffers;
    return result;
  }
  result->state = AudioEncodeBufferData::kReady;
  result->buffer = std::move(head.buffer);
  m_elements.pop_front();
  return result;
}

int AudioEncodeBuffer::ElementCount() {
  platform::MutexLock lock(m_mutex);
  return static_cast<int>(m_elements.size());
}

}  // namespace plenova
