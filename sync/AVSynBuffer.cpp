#include "sync/AVSynBuffer.h"

#include <cassert>
#include <climits>
#include <cstring>
#include <new>

#include "log/PlenovaLog.h"
#include "platform/Clock.h"
#include "output/AVSample.h"

namespace plenova {

namespace {

// The queues log under their full nested name, which the call-site prefix
// would shorten to its last two components.
#define PLN_QUEUE_ERROR(function, text) \
  PLN_RAW_ERROR(PLN_LOG_PREFIX text, "AVSynBuffer", __LINE__, function)

constexpr uint64_t kStatisticsEvery = 50;
constexpr uint64_t kVideoPutLogEvery = 25;

// Every kStatisticsEvery-th fetch logs where a queue stands: the fetch's
// timestamp against the head's, then the element count and the KB held.
template <typename Nodes>
void LogStatistics(uint64_t calls, const Nodes& nodes, uint64_t timestamp, const char* stampFormat,
                   const char* totalFormat) {
  if (calls % kStatisticsEvery != 0 || nodes.empty()) return;
  uint64_t bytes = 0;
  for (const auto& node : nodes) bytes += static_cast<uint64_t>(node->buffer->capacity);
  PLN_RAW_DEBUG(stampFormat, static_cast<unsigned long long>(timestamp),
                static_cast<unsigned long long>(nodes.front()->buffer->timestamp));
  PLN_RAW_DEBUG(totalFormat, static_cast<int>(nodes.size()),
                static_cast<unsigned long long>(bytes >> 10));
  PLN_RAW_DEBUG("\n\n");
}

// Appends `node` behind the tail of `nodes`, linked from it, unless the
// queue already holds `capacity` nodes: a put into a full queue discards the
// incoming sample and destroys its block (storage and record, not back to
// the pool), the older ones keep their order.
template <typename Node>
void AppendBounded(std::deque<std::unique_ptr<Node>>& nodes, std::unique_ptr<Node> node,
                   int capacity) {
  if (static_cast<int>(nodes.size()) >= capacity) {
    DestroyPoolBuffer(node->buffer.release());
    return;
  }
  Node* raw = node.get();
  if (!nodes.empty()) nodes.back()->next = raw;
  nodes.push_back(std::move(node));
}

// Destroys every queued block (storage and record, not back to any pool),
// so that tearing a queue down never depends on its pool.
template <typename Node>
void DestroyAll(std::deque<std::unique_ptr<Node>>& nodes) {
  for (auto& node : nodes) DestroyPoolBuffer(node->buffer.release());
  nodes.clear();
}

}  // namespace

// ---------------------------------------------------------------------------
// Audio queue

AVSynBuffer::ManageInUseBuffer_A::~ManageInUseBuffer_A() {
  platform::MutexLock lock(m_mutex);
  DestroyAll(m_nodes);
  DestroyPoolBuffer(m_current.buffer.release());
}

void AVSynBuffer::ManageInUseBuffer_A::putdata(PoolBufferPtr buffer, int32_t channels,
                                               int32_t sampling_per_bits, int32_t sampling_rate,
                                               int32_t fps) {
  assert(buffer != nullptr);  // PutData always has a block
  if (buffer == nullptr || channels < 1 || sampling_rate < 1 || sampling_per_bits < 1) {
    PLN_QUEUE_ERROR("AVSynBuffer::ManageInUseBuffer_A::putdata", "'s param invalid");
    return;
  }
  auto node = std::make_unique<AudioSampleNode>();
  node->buffer = std::move(buffer);
  node->channels = channels;
  node->fps = fps;
  node->sampling_per_bits = sampling_per_bits;
  node->sampling_rate = sampling_rate;

  platform::MutexLock lock(m_mutex);
  AppendBounded(m_nodes, std::move(node), kCapacity);
}

bool AVSynBuffer::ManageInUseBuffer_A::getdata(uint64_t timestamp) {
  platform::MutexLock lock(m_mutex);
  ++m_getCount;
  LogStatistics(m_getCount, m_nodes, timestamp,
                "AVSynBuffer::Audio Current timestamp=%llu   Current Header timestamp=%llu",
                "AVSynBuffer::Audio Total ElementsNums=%d  TotalSize=%llu KB");
  if (m_nodes.empty()) {
    m_current.state = kSampleNoneNow;
    return false;
  }
  m_current = std::move(*m_nodes.front());
  m_current.state = kSampleReleased;
  m_current.next = nullptr;
  m_nodes.pop_front();
  return true;
}

void AVSynBuffer::ManageInUseBuffer_A::ResetCurrent() { m_current = AudioSampleNode{}; }

void AVSynBuffer::ManageInUseBuffer_A::Clear() {
  platform::MutexLock lock(m_mutex);
  m_nodes.clear();
}

bool AVSynBuffer::ManageInUseBuffer_A::Empty() {
  platform::MutexLock lock(m_mutex);
  return m_nodes.empty();
}

int AVSynBuffer::ManageInUseBuffer_A::Count() {
  platform::MutexLock lock(m_mutex);
  return static_cast<int>(m_nodes.size());
}

uint64_t AVSynBuffer::ManageInUseBuffer_A::HeadTimestamp() {
  platform::MutexLock lock(m_mutex);
  return m_nodes.empty() ? 0 : m_nodes.front()->buffer->timestamp;
}

// ---------------------------------------------------------------------------
// Video queue

AVSynBuffer::ManageInUseBuffer_V::~ManageInUseBuffer_V() {
  platform::MutexLock lock(m_mutex);
  DestroyAll(m_nodes);
}

void AVSynBuffer::ManageInUseBuffer_V::putdata(PoolBufferPtr buffer, int32_t fps,
                                               uint8_t isKeyFrame, int32_t spsPpsLen,
                                               const uint8_t* spsPps) {
  assert(buffer != nullptr);  // PutData always has a block
  if (buffer == nullptr || fps < 1 || spsPpsLen < 1 ||
      spsPpsLen > VideoSampleNode::kSpsPpsCapacity || spsPps == nullptr) {
    PLN_QUEUE_ERROR("AVSynBuffer::ManageInUseBuffer_V::putdata", "'s param invalid");
    return;
  }
  auto node = std::make_unique<VideoSampleNode>();
  node->buffer = std::move(buffer);
  node->fps = fps;
  node->isKeyFrame = isKeyFrame;
  node->spsPpsLen = spsPpsLen;
  std::memcpy(node->spsPps.data(), spsPps, static_cast<size_t>(spsPpsLen));

  platform::MutexLock lock(m_mutex);
  if (m_putCount % kVideoPutLogEvery == 0) {
    PLN_LOG_ERROR("'s _Plenova_ ASynBuffer push Video 成功");
  }
  ++m_putCount;
  AppendBounded(m_nodes, std::move(node), kCapacity);
}

ReleasedVideo AVSynBuffer::ManageInUseBuffer_V::getdata(int32_t fps, uint64_t limit) {
  platform::MutexLock lock(m_mutex);
  ++m_getCount;
  LogStatistics(m_getCount, m_nodes, limit,
                "AVSynBuffer::Video Current timestamp=%llu  VideoHeader timestamp=%llu",
                "AVSynBuffer::Video Total ElementsNums=%d  TotalSize=%llu KB");
  int32_t marked = 0;
  for (auto& node : m_nodes) {
    // Stamps wrap modulo 2^64: a frame is due when it lies before the limit.
    if (static_cast<int64_t>(node->buffer->timestamp - limit) >= 0) break;
    if (node->fps != fps) {
      node->state = kSampleRateChange;
      break;
    }
    node->state = kSampleReleased;
    ++marked;
  }
  if (marked == 0) return ReleasedVideo();
  return ReleasedVideo(this, m_nodes.front().get(), marked);
}

void AVSynBuffer::ManageInUseBuffer_V::ReleaseFrontLocked(int n) {
  for (; n > 0 && !m_nodes.empty(); --n) m_nodes.pop_front();
}

void AVSynBuffer::ManageInUseBuffer_V::Clear() {
  platform::MutexLock lock(m_mutex);
  ReleaseFrontLocked(static_cast<int>(m_nodes.size()));
}

void AVSynBuffer::ManageInUseBuffer_V::releasedata(int n) {
  platform::MutexLock lock(m_mutex);
  ReleaseFrontLocked(n);
}

void AVSynBuffer::ManageInUseBuffer_V::trimdata() {
  platform::MutexLock lock(m_mutex);
  ReleaseFrontLocked(static_cast<int>(m_nodes.size()) - kStalledKeep);
}

int AVSynBuffer::ManageInUseBuffer_V::Count() {
  platform::MutexLock lock(m_mutex);
  return static_cast<int>(m_nodes.size());
}

VideoSampleNode* AVSynBuffer::ManageInUseBuffer_V::Head() {
  platform::MutexLock lock(m_mutex);
  return m_nodes.empty() ? nullptr : m_nodes.front().get();
}

// ---------------------------------------------------------------------------
// Buffer

AVSynBuffer::AVSynBuffer() = default;

AVSynBuffer::~AVSynBuffer() = default;

void AVSynBuffer::Clear() {
  m_audio.Clear();
  m_video.Clear();
}

bool AVSynBuffer::InitBuffer(MemoryPool* pool) {
  PLN_LOG_WARNING("MeetingMessage start");
  if (pool == nullptr) {
    PLN_LOG_ERROR("'s value is illegall");
    return false;
  }
  platform::MutexLock lock(m_mutex);
  m_pool = pool;
  PLN_LOG_WARNING("MeetingMessage end");
  return true;
}

bool AVSynBuffer::PutVideo(const EncodedVideoSample& sample) {
  return PutData(sample.data, sample.timestamp, sample.tick, sample.parameterSets.size(),
                 [&](PoolBufferPtr block) {
                   m_video.putdata(std::move(block), sample.fps, sample.isKeyFrame ? 1 : 0,
                                   static_cast<int32_t>(sample.parameterSets.size()),
                                   sample.parameterSets.data());
                 });
}

bool AVSynBuffer::PutAudio(const EncodedAudioSample& sample) {
  return PutData(sample.data, sample.timestamp, sample.tick, 0, [&](PoolBufferPtr block) {
    m_audio.putdata(std::move(block), sample.channels, sample.bitsPerSample, sample.samplingRate,
                    sample.framesPerSecond);
  });
}

bool AVSynBuffer::PutData(std::span<const uint8_t> data, uint64_t timestamp, uint32_t tick,
                          size_t parameterSets, const std::function<void(PoolBufferPtr)>& queue) {
  // Parameter sets longer than a node's area are refused here, before any
  // block is taken; the queue refuses missing ones.
  if (data.data() == nullptr || data.empty() || data.size() > INT32_MAX ||
      parameterSets > static_cast<size_t>(VideoSampleNode::kSpsPpsCapacity)) {
    PLN_LOG_ERROR("'s value is illegall");
    return false;
  }
  const auto len = static_cast<int32_t>(data.size());
  {
    platform::MutexLock lock(m_mutex);
    if (m_pool == nullptr) {
      PLN_LOG_ERROR("'s pool is not set,call InitBuffer first");
      return false;
    }
    PoolBufferPtr block = AdoptPoolBuffer(m_pool->GetEmptyBuffer(len), m_pool);
    if (block == nullptr) {
      PLN_LOG_ERROR("MemoryPol alloc memory failed");
      return false;
    }
    std::memcpy(block->data, data.data(), data.size());
    block->len = len;
    block->timestamp = timestamp;
    block->tick = tick;
    queue(std::move(block));
    m_neverFilled = false;
  }
  m_work.Set();
  return true;
}

std::unique_ptr<SynGetResult> AVSynBuffer::GetData(uint8_t peekOnly, int32_t channels,
                                                   int32_t duration, int32_t sampling_per_bits,
                                                   int32_t sampling_rate, uint64_t target,
                                                   int32_t fps, uint8_t audioStalled) {
  // The controller validated its settings before it could fetch.
  assert(channels >= 1 && sampling_per_bits >= 1 && sampling_rate >= 1 && fps >= 1 &&
         duration >= 0);
  if (channels < 1 || sampling_per_bits < 1 || sampling_rate < 1 || fps < 1 || duration < 0) {
    return nullptr;
  }
  std::unique_ptr<SynGetResult> result(new (std::nothrow) SynGetResult);
  if (result == nullptr) return nullptr;

  platform::MutexLock lock(m_mutex);
  if (peekOnly != 0) {
    if (!m_audio.Empty()) {
      result->hasTimestamp = 1;
      result->headTimestamp = m_audio.HeadTimestamp();
    }
    return result;
  }

  m_audio.ResetCurrent();
  if (!m_audio.Empty() && m_audio.getdata(target)) {
    AudioSampleNode* current = m_audio.Current();
    result->audio = current;
    result->status = current->state;
    // Video is due up to where this audio sample ends.
    const uint64_t limit = current->buffer->timestamp + static_cast<uint64_t>(duration);
    // The block leaves the record: the result's handle owns it now.
    result->audioBlock = ReleasedAudioBlock(current->buffer.release(), ReleasedAudioDeleter{this});
    result->video = m_video.getdata(fps, limit);
    return result;
  }
  result->status = m_neverFilled ? kSynNeverFilled : kSynNoAudio;
  if (result->status == kSynNoAudio && audioStalled != 0) m_video.trimdata();
  return result;
}

void AVSynBuffer::WaitForData(uint32_t ms) { platform::WaitForEvent(m_work, ms); }

void AVSynBuffer::Wake() { m_work.Set(); }

void AVSynBuffer::GiveBackAudio(PoolBuffer* block) {
  if (block == nullptr) return;
  platform::MutexLock lock(m_mutex);
  // A block was handed out, so InitBuffer set the pool.
  assert(m_pool != nullptr);
  AdoptPoolBuffer(block, m_pool).reset();
}

void ReleasedAudioDeleter::operator()(PoolBuffer* block) const {
  assert(owner != nullptr);
  if (owner != nullptr) {
    owner->GiveBackAudio(block);
  } else {
    DestroyPoolBuffer(block);
  }
}

ReleasedVideo& ReleasedVideo::operator=(ReleasedVideo&& other) noexcept {
  if (this != &other) {
    reset();
    m_queue = std::exchange(other.m_queue, nullptr);
    m_first = std::exchange(other.m_first, nullptr);
    m_count = std::exchange(other.m_count, 0);
  }
  return *this;
}

void ReleasedVideo::reset() {
  if (m_queue != nullptr && m_count > 0) m_queue->releasedata(m_count);
  m_queue = nullptr;
  m_first = nullptr;
  m_count = 0;
}

}  // namespace plenova
