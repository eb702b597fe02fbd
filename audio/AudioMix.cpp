#include "audio/AudioMix.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "audio/AudioMixing.h"
#include "common/LatencyStats.h"
#include "common/StreamTable.h"
#include "log/PlenovaLog.h"
#include "platform/Clock.h"

namespace plenova {

namespace {

// Longest single sleep of the loop, so that a stop is seen soon.
constexpr uint32_t kMaxSleepMs = 100;

const char* Bool(bool b) { return b ? "true" : "false"; }

bool SameStream(const std::optional<std::string>& id, int32_t channel, int32_t bits, int32_t rate,
                const char* other_id, int32_t other_channel, int32_t other_bits,
                int32_t other_rate) {
  return id.has_value() && *id == other_id && channel == other_channel && bits == other_bits &&
         rate == other_rate;
}

// A slot that holds no stream.
bool IsFreeSlot(const AudioMixStreamSlot& s) { return !s.streamId.has_value() && s.channel == 0; }

// floor(a / b) for b > 0.
int64_t FloorDiv(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Distances beyond this (about 140 days of 90 kHz ticks) are not media
// time but a broken stamp; they are cut so that the arithmetic stays exact.
constexpr int64_t kMaxDistance = int64_t{1} << 40;

}  // namespace

AudioMix::AudioMix() {
  PLN_LOG_ERROR("_Plenova_ 混音构造开始 ");
  PLN_LOG_ERROR("_Plenova_ 混音构造结束成功 ");
}

AudioMix::~AudioMix() {
  PLN_LOG_ERROR("_Plenova_ 混音析构开始 ");
  m_running = false;
  m_wake.Set();
  m_thread.Join();
  PLN_LOG_ERROR("_Plenova_ 混音析构结束 ");
}

int32_t AudioMix::FrameSize(int32_t channels, int32_t sampling_rate, int32_t sampling_per_bits,
                            int32_t fps) {
  int64_t size = 0;
  if (fps > 0) size = int64_t{channels} * sampling_rate * sampling_per_bits / fps / 8;
  if (size >= 1 && size <= (int64_t{1} << 24)) return static_cast<int32_t>(size);
  switch (sampling_rate) {
    case 8000: return 320;
    case 16000: return 640;
    case 48000:
      // 20 ms of 16-bit mono.
      return 1920;
    default:
      PLN_RAW_ERROR("Fun:%s, Line:%5d, m_target_audio_sampling_rate = %d sampleRate is illegal",
                    "AudioMix::FrameSize", __LINE__, sampling_rate);
      return 320;
  }
}

int AudioMix::FindSlotLocked(const char* id, int32_t channel, int32_t bits, int32_t rate) const {
  for (int i = 0; i < kMaxStreams; ++i) {
    const AudioMixStreamSlot& s = m_streaminfo_current[i];
    if (SameStream(s.streamId, s.channel, s.sampling_per_bits, s.sampling_rate, id, channel, bits,
                   rate)) {
      return i;
    }
  }
  return -1;
}

int AudioMix::FirstFreeSlotLocked() const {
  for (int i = 0; i < kMaxStreams; ++i) {
    if (IsFreeSlot(m_streaminfo_current[i])) return i;
  }
  return -1;
}

void AudioMix::FillSlotLocked(AudioMixStreamSlot& slot, const char* id, int32_t channel,
                              int32_t bits, int32_t rate) {
  if (!slot.queue) slot.queue = std::make_unique<ManageInUseBuffer_ForAudioMix>();
  slot.channel = channel;
  slot.sampling_per_bits = bits;
  slot.sampling_rate = rate;
  slot.streamId = std::string(id);
  if (!slot.clock.valid() && m_timeline != nullptr)
    slot.clock = TimelineStream(m_timeline, *slot.streamId);
  slot.joined = false;
}

bool AudioMix::AudioMixInit(const AudioMixSetup* setup) {
  PLN_LOG_ERROR("_Plenova_ 混音初始化开始");
  // The audio path hands on a set-up with its stream list.
  assert(setup != nullptr && (setup->streams != nullptr || setup->streamCount <= 0));
  if (setup == nullptr || (setup->streams == nullptr && setup->streamCount > 0)) return false;
  platform::MutexLock lock(m_mutex);
  m_encodeBuffer = setup->encodeBuffer;
  m_pool = setup->pool;
  m_synBuffer = setup->synBuffer;
  m_encoder = setup->encoder;
  m_timeline = setup->timeline;
  m_target_audio_frames_per_seconds = setup->target_audio_frames_per_seconds;
  m_target_audio_channels = setup->target_audio_channels;
  m_target_audio_sampling_rate = setup->target_audio_sampling_rate;
  m_target_audio_sampling_per_bits = setup->target_audio_sampling_per_bits;
  m_audio_frame_size =
      FrameSize(m_target_audio_channels, m_target_audio_sampling_rate,
                m_target_audio_sampling_per_bits, m_target_audio_frames_per_seconds);
  for (int i = 0; i < setup->streamCount; ++i) {
    const AudioStreamInfo& info = setup->streams[i];
    // The recorder refuses layouts of more than five streams or without ids.
    assert(i < kMaxStreams && info.streamId != nullptr);
    if (i >= kMaxStreams) break;
    if (info.streamId == nullptr) continue;
    FillSlotLocked(m_streaminfo_current[i], info.streamId, info.channel, info.sampling_per_bits,
                   info.sampling_rate);
  }
  PLN_LOG_ERROR("_Plenova_ 混音初始化结束");
  return true;
}

void AudioMix::UpdataAudioMix(const AudioMixUpdateParam* param) {
  PLN_LOG_ERROR("_Plenova_ Start");
  assert(param != nullptr && (param->streams != nullptr || param->streamCount <= 0));
  if (param == nullptr || (param->streams == nullptr && param->streamCount > 0)) return;
  {
    platform::MutexLock lock(m_mutex);
    if (m_hasEpoch && (param->target_audio_channels != m_target_audio_channels ||
                       param->target_audio_sampling_rate != m_target_audio_sampling_rate)) {
      // Queued positions were counted in the old format: a new grid begins
      // at the next span.
      const uint64_t next = StampOfLocked(m_mixedUntil);
      FlushQueuesLocked();
      m_origin = next;
      m_mixedUntil = 0;
    }
    m_target_audio_channels = param->target_audio_channels;
    m_target_audio_sampling_rate = param->target_audio_sampling_rate;
    m_target_audio_sampling_per_bits = param->target_audio_sampling_per_bits;
    m_audio_frame_size =
        FrameSize(m_target_audio_channels, m_target_audio_sampling_rate,
                  m_target_audio_sampling_per_bits, m_target_audio_frames_per_seconds);
    CheckStreamInfoExist(param->streams, param->streamCount);
  }
  PLN_LOG_ERROR("_Plenova_ end");
}

bool AudioMix::CheckStreamInfoExist(const AudioStreamInfo* streams, int32_t count) {
  PLN_LOG_ERROR("_Plenova_ 开始检查当前流信息中是否有待更新流信息 ");
  std::vector<AudioStreamInfo> listed;
  for (int i = 0; i < count; ++i) {
    // The recorder refuses layouts with a stream without id.
    assert(streams[i].streamId != nullptr);
    if (streams[i].streamId != nullptr) listed.push_back(streams[i]);
  }
  const auto same = [](const AudioMixStreamSlot& s, const AudioStreamInfo& info) {
    return SameStream(s.streamId, s.channel, s.sampling_per_bits, s.sampling_rate, info.streamId,
                      info.channel, info.sampling_per_bits, info.sampling_rate);
  };
  const auto isFree = [](const AudioMixStreamSlot& s) { return IsFreeSlot(s); };
  const auto keep = [](AudioMixStreamSlot& s, const AudioStreamInfo&) { s.isWork = true; };
  const auto take = [this](AudioMixStreamSlot& s, const AudioStreamInfo& info) {
    FillSlotLocked(s, info.streamId, info.channel, info.sampling_per_bits, info.sampling_rate);
    s.isWork = true;
  };
  const auto holds = [](const AudioMixStreamSlot& s) {
    return s.channel >= 1 && s.streamId.has_value() && s.sampling_per_bits >= 1;
  };
  const auto retire = [](AudioMixOldStream& old, AudioMixStreamSlot& s) {
    if (s.streamId->empty()) {
      PLN_LOG_ERROR("'s streamId is error");
      return false;
    }
    old = AudioMixOldStream{s.channel, s.sampling_per_bits, s.sampling_rate, s.streamId};
    // Its queued frames go with the queue.
    s = AudioMixStreamSlot{};
    return true;
  };
  StreamTableOps ops{same, isFree, keep, take, holds, retire};
  switch (ApplyLayout(m_streaminfo_current, m_streaminfo_old,
                      std::span<const AudioStreamInfo>(listed), ops)) {
    case StreamTableUpdate::kDone: break;
    case StreamTableUpdate::kNoFreeSlot:
      PLN_LOG_ERROR("'s stream count is larger than _VIDEOMIX_MAX_FRAME_COUNT_");
      return false;
    case StreamTableUpdate::kRetireRefused:
      PLN_LOG_ERROR("_Plenova_ 检查当前流信息中是否有待更新流信息失败 ");
      return false;
  }
  DumpTablesLocked();
  PLN_LOG_ERROR("_Plenova_ 检查当前流信息中是否有待更新流信息成功(结束) ");
  return true;
}

void AudioMix::DumpTablesLocked() {
  auto valid = [](const AudioMixStreamSlot& s) {
    return s.isWork && s.streamExist && s.streamId.has_value() && s.sampling_per_bits >= 1 &&
           s.queue;
  };
  const auto active =
      std::count_if(m_streaminfo_current.begin(), m_streaminfo_current.end(), valid);
  PLN_RAW_ERROR("_Plenova_ AudioMix m_streaminfo_current中有效流条数=%d", static_cast<int>(active));
  for (int i = 0; i < kMaxStreams; ++i) {
    const AudioMixStreamSlot& s = m_streaminfo_current[i];
    if (!valid(s)) continue;
    PLN_RAW_ERROR("m_streaminfo_current[%d].streamId=%s", i, s.streamId->c_str());
    PLN_RAW_ERROR("m_streaminfo_current[%d].isWork=%s", i, Bool(s.isWork));
    PLN_RAW_ERROR("m_streaminfo_current[%d].streamExist=%s", i, Bool(s.streamExist));
    PLN_RAW_ERROR("m_streaminfo_current[%d].channel=%d", i, s.channel);
    PLN_RAW_ERROR("m_streaminfo_current[%d].sampling_per_bits=%d", i, s.sampling_per_bits);
    PLN_RAW_ERROR("m_streaminfo_current[%d].sampling_rate=%d", i, s.sampling_rate);
  }
  auto valid_old = [](const AudioMixOldStream& o) {
    return o.channel >= 1 && o.sampling_per_bits >= 1 && o.sampling_rate >= 1 &&
           o.streamId.has_value();
  };
  const auto removed = std::count_if(m_streaminfo_old.begin(), m_streaminfo_old.end(), valid_old);
  PLN_RAW_ERROR("_Plenova_ AudioMix m_streaminfo_old中有效流条数=%d", static_cast<int>(removed));
  for (int i = 0; i < kMaxStreams; ++i) {
    const AudioMixOldStream& o = m_streaminfo_old[i];
    if (!valid_old(o)) continue;
    PLN_RAW_ERROR("m_streaminfo_old[%d].streamId=%s", i, o.streamId->c_str());
    PLN_RAW_ERROR("m_streaminfo_old[%d].channel=%d", i, o.channel);
    PLN_RAW_ERROR("m_streaminfo_old[%d].sampling_per_bits=%d", i, o.sampling_per_bits);
    PLN_RAW_ERROR("m_streaminfo_old[%d].sampling_rate=%d", i, o.sampling_rate);
  }
}

bool AudioMix::AudioMixPushdata(AudioMixFrame frame) {
  // The recorder hands on only frames with a block and a stream id.
  assert(frame.buffer != nullptr && frame.streamId != nullptr);
  if (frame.buffer == nullptr || frame.streamId == nullptr) return false;
  platform::MutexLock lock(m_mutex);
  int slot =
      FindSlotLocked(frame.streamId, frame.channel, frame.sampling_per_bits, frame.sampling_rate);
  if (slot < 0) {
    for (const AudioMixOldStream& old : m_streaminfo_old) {
      if (SameStream(old.streamId, old.channel, old.sampling_per_bits, old.sampling_rate,
                     frame.streamId, frame.channel, frame.sampling_per_bits, frame.sampling_rate)) {
        // A late frame of a stream the last update removed.
        return true;
      }
    }
    slot = FirstFreeSlotLocked();
    if (slot < 0) {
      PLN_LOG_ERROR("'s stream count is larger than _VIDEOMIX_MAX_FRAME_COUNT_");
      m_counters.refused.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    AudioMixStreamSlot& fresh = m_streaminfo_current[static_cast<size_t>(slot)];
    FillSlotLocked(fresh, frame.streamId, frame.channel, frame.sampling_per_bits,
                   frame.sampling_rate);
    fresh.streamExist = true;
    fresh.isWork = false;
  }
  AudioMixStreamSlot& s = m_streaminfo_current[static_cast<size_t>(slot)];
  PoolBufferPtr& buffer = frame.buffer;

  // Frames are read in the mixer's format, sample index by sample index.
  const int32_t channels = m_target_audio_channels;
  const int32_t rate = m_target_audio_sampling_rate;
  const int32_t frames =
      channels >= 1 ? std::min(buffer->len, buffer->capacity) / (2 * channels) : 0;
  if (rate < 1 || frames < 1) return true;
  const uint64_t duration = static_cast<uint64_t>(frames) * 90000u / static_cast<uint64_t>(rate);
  const MediaTimeline::Placement placed = s.clock.Place(buffer->timestamp, duration, buffer->tick);
  if (!m_hasEpoch || placed.epoch != m_epoch) AdoptEpochLocked(placed.epoch, placed.origin);
  if (placed.replaced) s.joined = false;

  const int64_t distance =
      std::clamp(MediaTimeline::Distance(placed.stamp, m_origin), -kMaxDistance, kMaxDistance);
  int64_t position = FloorDiv(distance * rate + 45000, 90000);
  const int64_t tolerance = int64_t{rate} * kJoinToleranceMs / 1000;
  if (s.joined && position != s.lastEnd && std::llabs(position - s.lastEnd) <= tolerance) {
    position = s.lastEnd;
  }
  const int64_t end = position + frames;
  s.lastEnd = s.joined ? std::max(s.lastEnd, end) : end;
  s.joined = true;
  if (end <= m_mixedUntil) {
    // Its span has been mixed already.
    m_counters.droppedLate.fetch_add(1, std::memory_order_relaxed);
    ++s.counters.droppedLate;
    return true;
  }
  buffer->timestamp = placed.stamp;
  if (s.queue->pushdata(std::move(buffer), position, frames)) {
    m_counters.accepted.fetch_add(1, std::memory_order_relaxed);
    ++s.counters.accepted;
  } else {
    m_counters.droppedFull.fetch_add(1, std::memory_order_relaxed);
    ++s.counters.droppedFull;
  }
  return true;
}

void AudioMix::AdoptEpochLocked(uint64_t epoch, uint64_t origin) {
  FlushQueuesLocked();
  m_hasEpoch = true;
  m_epoch = epoch;
  m_origin = origin;
  m_mixedUntil = 0;
}

void AudioMix::FlushQueuesLocked() {
  for (AudioMixStreamSlot& slot : m_streaminfo_current) {
    if (slot.queue) slot.queue->DropBefore(INT64_MAX);
    slot.joined = false;
  }
}

void AudioMix::AudioMixUnint() {
  PLN_LOG_ERROR("_Plenova_ 混音反初始化开始");
  PLN_LOG_ERROR("_Plenova_ 混音反初始化结束");
}

void AudioMix::start() {
  PLN_LOG_ERROR("_Plenova_ 开始启动混音线程");
  if (m_running.exchange(true)) return;
  {
    // What was queued before belongs to a timeline that is anchored anew.
    platform::MutexLock lock(m_mutex);
    FlushQueuesLocked();
    m_hasEpoch = false;
  }
  if (!m_thread.Start([this] { AuidoMixThreadFunc(); })) {
    m_running = false;
    PLN_LOG_ERROR("'s value is illegall，启动混音线程失败");
  }
}

void AudioMix::stop() {
  PLN_LOG_ERROR("_Plenova_ 开始停止混音线程");
  m_running = false;
  m_wake.Set();
  m_thread.Join();
  PLN_LOG_ERROR("_Plenova_ 停止混音线程成功！");
}

void AudioMix::AuidoMixThreadFunc() {
  PLN_LOG_ERROR("启动混音线程成功！");
  MediaTimeline* timeline;
  {
    platform::MutexLock lock(m_mutex);
    timeline = m_timeline;  // outlives the running thread
  }
  if (timeline != nullptr) timeline->AddAnchorWaiter(&m_wake);
  while (m_running.load()) {
    const AudioMixCycle cycle = AudioMixStep(platform::TimeGetTime());
    if (cycle.wait == AudioMixCycle::kPoll) {
      // Not anchored: the anchoring or a stop wakes the thread.
      platform::WaitForEvent(m_wake, timeline != nullptr ? platform::kWaitForever : kPollSleepMs);
    } else if (cycle.wait == AudioMixCycle::kPace && cycle.sleepMs > 0) {
      platform::SleepMs(std::min(cycle.sleepMs, kMaxSleepMs));
    }
  }
  if (timeline != nullptr) timeline->RemoveAnchorWaiter(&m_wake);
  PLN_LOG_ERROR("_Plenova_ AudioMix Thread Finish Success ");
}

int32_t AudioMix::SpanFramesLocked() const {
  const int32_t bytesPerFrame = 2 * std::max(m_target_audio_channels, 1);
  return m_audio_frame_size / bytesPerFrame;
}

uint64_t AudioMix::StampOfLocked(int64_t position) const {
  const int64_t rate = std::max(m_target_audio_sampling_rate, 1);
  return m_origin + static_cast<uint64_t>(FloorDiv(position * 90000 + rate - 1, rate));
}

AudioMixCycle AudioMix::AudioMixStep(uint32_t now) {
  if (m_timeline == nullptr || !m_timeline->Anchored())
    return AudioMixCycle{AudioMixCycle::kPoll, 0};
  int64_t position;
  uint64_t stamp;
  uint64_t end;
  {
    platform::MutexLock lock(m_mutex);
    const uint64_t epoch = m_timeline->Epoch();
    if (!m_hasEpoch || epoch != m_epoch) AdoptEpochLocked(epoch, m_timeline->Origin());
    const int32_t frames = SpanFramesLocked();
    // The recorder takes only formats of at least one sample a frame.
    assert(frames >= 1 && m_target_audio_frames_per_seconds >= 1);
    if (frames < 1 || m_target_audio_frames_per_seconds < 1)
      return AudioMixCycle{AudioMixCycle::kPoll, 0};
    position = m_mixedUntil;
    stamp = StampOfLocked(position);
    end = StampOfLocked(position + frames);
    const int64_t behind = MediaTimeline::Distance(m_timeline->DueAt(now), end);
    if (behind > kMaxCatchUpMs * MediaTimeline::kTicksPerMs) {
      // The thread was held up for long: the spans it missed are given up
      // as a whole rather than mixed late in one rush.
      const int64_t rate = std::max(m_target_audio_sampling_rate, 1);
      const int64_t skip = FloorDiv(behind * rate / 90000, frames) * frames;
      PLN_LOG_WARNING("_Plenova_ audio mixing %lld ms behind the timeline, skipping ahead",
                      static_cast<long long>(behind / MediaTimeline::kTicksPerMs));
      m_mixedUntil += skip;
      for (AudioMixStreamSlot& slot : m_streaminfo_current) {
        if (slot.queue) slot.queue->DropBefore(m_mixedUntil);
      }
      return AudioMixCycle{AudioMixCycle::kPace, 0};
    }
  }
  const uint32_t wait = m_timeline->MsUntil(end, now);
  if (wait > 0) return AudioMixCycle{AudioMixCycle::kPace, wait};

  if (GetMixedData(position, stamp)) {
    if (m_countedFrames % 25 == 0) PLN_LOG_ERROR("_PlenovaAudioData_ _PlenovaAudioData_ 混音成功");
    ++m_countedFrames;
  }
  m_timeline->NoteProduced(end);
  EncodeStep();
  return AudioMixCycle{AudioMixCycle::kPace, m_timeline->MsUntil(NextEndStamp(), now)};
}

void AudioMix::EncodeStep() {
  if (m_encodeBuffer == nullptr || m_encoder == nullptr) return;
  const int32_t fps = m_target_audio_frames_per_seconds;
  // Every complete element is encoded, so the buffer keeps up at any mixer
  // frame rate; the encoder follows the format of the head element.
  for (;;) {
    AudioFormat format = m_encoder->Format();
    if (format.channels < 1 || format.sampling_rate < 1 || format.sampling_per_bits < 1) {
      platform::MutexLock lock(m_mutex);
      format = AudioFormat{m_target_audio_channels, m_target_audio_sampling_rate,
                           m_target_audio_sampling_per_bits};
    }
    std::unique_ptr<AudioEncodeBufferData> head =
        m_encodeBuffer->GetData(format.channels, format.sampling_rate, format.sampling_per_bits);
    if (!head || head->state == AudioEncodeBufferData::kNotReady) return;
    if (head->state == AudioEncodeBufferData::kFormatDiffers) {
      PLN_LOG_ERROR("_PlenovaAudioData_ _PlenovaAudioData_ 音频编码参数改变！");
      m_encoder->aac_encode_close();
      m_encoder->aac_encode_init(nullptr, nullptr, nullptr, head->channels, head->sampling_rate,
                                 head->sampling_per_bits);
      continue;
    }
    m_encoder->aac_encode_frame(std::move(head->buffer), fps);
  }
}

bool AudioMix::GetMixedData(int64_t position, uint64_t stamp) {
  platform::MutexLock lock(m_mutex);
  if (++m_statCount % 50 == 0) LogQueueStatisticsLocked();
  const int32_t frames = SpanFramesLocked();
  const int32_t channels = m_target_audio_channels;
  const size_t samples = static_cast<size_t>(frames) * static_cast<size_t>(channels);
  m_spans.assign(samples * kMaxStreams, 0);
  std::vector<std::span<const int16_t>> inputs;
  uint32_t tick = 0;
  for (size_t i = 0; i < m_streaminfo_current.size(); ++i) {
    AudioMixStreamSlot& slot = m_streaminfo_current[i];
    if (!slot.queue) continue;
    if (!slot.isWork || slot.channel < 1 || !slot.streamId.has_value()) {
      // A stream not (yet) in the layout keeps only what is still to come.
      slot.queue->DropBefore(position + frames);
      continue;
    }
    int16_t* span = m_spans.data() + i * samples;
    uint32_t streamTick = 0;
    if (slot.queue->TakeSpan(position, frames, channels, span, &streamTick)) {
      inputs.emplace_back(span, samples);
      tick = OlderTick(tick, streamTick);
    }
  }
  m_mixedUntil = position + frames;
  if (inputs.empty()) {
    // No voice delivered anything for this span: nothing is produced, and
    // the sync stage sees the audio stop.
    m_counters.silentSpans.fetch_add(1, std::memory_order_relaxed);
    PLN_RAW_DEBUG("Fun: %s, Line %5d, audio data is null", "AudioMix::GetMixedData", __LINE__);
    return false;
  }
  AudioMixFunction(inputs, stamp, tick);
  return true;
}

void AudioMix::AudioMixFunction(std::span<const std::span<const int16_t>> inputs, uint64_t stamp,
                                uint32_t tick) {
  if (++m_mixCount % 50 == 0) PLN_LOG_ERROR("_PlenovaAudioData_  开始混音");
  if (m_target_audio_sampling_per_bits != 16 || m_pool == nullptr) {
    if (m_target_audio_sampling_per_bits == 8) PLN_RAW_MESSAGE("no deal");
    return;
  }
  PoolBufferPtr mixed = AdoptPoolBuffer(m_pool->GetEmptyBuffer(2 * m_audio_frame_size), m_pool);
  if (mixed == nullptr || mixed->data == nullptr || mixed->capacity < m_audio_frame_size) return;
  const int32_t samples = SpanFramesLocked() * m_target_audio_channels;
  // The pool's blocks are aligned for any sample type.
  const int lowered = MixPcm16Frame(
      inputs,
      std::span<int16_t>(reinterpret_cast<int16_t*>(mixed->data), static_cast<size_t>(samples)));
  if (lowered > 0) m_counters.gainReductions.fetch_add(1, std::memory_order_relaxed);
  mixed->len = samples * 2;
  mixed->tick = tick;
  mixed->timestamp = stamp;
  m_counters.mixed.fetch_add(1, std::memory_order_relaxed);
  if (m_encodeBuffer != nullptr) {
    // Takes the mixed frame whatever it answers.
    m_encodeBuffer->PutData(std::move(mixed), m_target_audio_channels, m_target_audio_sampling_rate,
                            m_target_audio_sampling_per_bits);
  }
}

void AudioMix::LogQueueStatisticsLocked() {
  int64_t total = 0;
  for (int i = 0; i < kMaxStreams; ++i) {
    AudioMixStreamSlot& slot = m_streaminfo_current[i];
    if (!slot.isWork || !slot.queue) continue;
    const int count = slot.queue->Count();
    if (count == 0) continue;
    const int64_t bytes = slot.queue->TotalCapacity();
    total += bytes;
    PLN_RAW_ERROR("AudioMixBuffer (%d)  Total ElementsNums=%d  Size=%f KB", i, count,
                  static_cast<double>(bytes) / 1024);
  }
  PLN_RAW_DEBUG("AudioMixBuffer TotalSize=%f KB", static_cast<double>(total) / 1024);
}

int32_t AudioMix::AudioFrameSize() {
  platform::MutexLock lock(m_mutex);
  return m_audio_frame_size;
}

uint64_t AudioMix::NextStamp() {
  platform::MutexLock lock(m_mutex);
  return StampOfLocked(m_mixedUntil);
}

uint64_t AudioMix::NextEndStamp() {
  platform::MutexLock lock(m_mutex);
  return StampOfLocked(m_mixedUntil + SpanFramesLocked());
}

std::array<AudioMixOldStream, AudioMix::kMaxStreams> AudioMix::OldStreams() {
  platform::MutexLock lock(m_mutex);
  return m_streaminfo_old;
}

std::vector<StreamStatistics> AudioMix::StreamStatisticsSnapshot() {
  std::vector<StreamStatistics> out;
  platform::MutexLock lock(m_mutex);
  for (const AudioMixStreamSlot& s : m_streaminfo_current) {
    if (!s.streamId.has_value()) continue;
    out.push_back(
        StreamStatistics{*s.streamId, true, s.isWork, s.counters, s.queue ? s.queue->Count() : 0});
  }
  return out;
}

AudioMix::SlotView AudioMix::Slot(int i) {
  platform::MutexLock lock(m_mutex);
  const AudioMixStreamSlot& s = m_streaminfo_current[static_cast<size_t>(i)];
  return SlotView{s.streamId,
                  s.channel,
                  s.sampling_per_bits,
                  s.sampling_rate,
                  s.isWork,
                  s.streamExist,
                  s.queue ? s.queue->Count() : -1};
}

}  // namespace plenova
