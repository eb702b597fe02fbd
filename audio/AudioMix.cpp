#include "audio/AudioMix.h"

#include <algorithm>
#include <cstring>

#include "common/LatencyStats.h"
#include "log/PlenovaLog.h"
#include "platform/Clock.h"

namespace plenova {

namespace {

constexpr uint32_t kWakeMarginMs = 5;
constexpr uint32_t kMaxPaceMs = 500;
constexpr uint32_t kFarAheadSleepMs = 50;

const char* Bool(bool b) { return b ? "true" : "false"; }

bool SameStream(const std::optional<std::string>& id, int32_t channel, int32_t bits, int32_t rate,
                const char* other_id, int32_t other_channel, int32_t other_bits, int32_t other_rate) {
  return id.has_value() && *id == other_id && channel == other_channel && bits == other_bits &&
         rate == other_rate;
}

int16_t SampleAt(const PoolBuffer* frame, int32_t index) {
  // Beyond its length a frame counts as silence.
  if ((index + 1) * 2 > std::min(frame->len, frame->capacity)) return 0;
  int16_t sample;
  std::memcpy(&sample, frame->data + index * 2, sizeof sample);
  return sample;
}

}  // namespace

AudioMix::AudioMix() {
  PLN_LOG_ERROR("_Plenova_ 混音构造开始 ");
  PLN_LOG_ERROR("_Plenova_ 混音构造结束成功 ");
}

AudioMix::~AudioMix() {
  PLN_LOG_ERROR("_Plenova_ 混音析构开始 ");
  m_running = false;
  m_thread.Join();
  PLN_LOG_ERROR("_Plenova_ 混音析构结束 ");
}

int32_t AudioMix::FrameSize(int32_t channels, int32_t sampling_rate, int32_t sampling_per_bits,
                            int32_t fps) {
  int64_t size = 0;
  if (fps > 0) size = int64_t{channels} * sampling_rate * sampling_per_bits / fps / 8;
  if (size >= 1 && size <= (int64_t{1} << 24)) return static_cast<int32_t>(size);
  switch (sampling_rate) {
    case 8000:
      return 320;
    case 16000:
      return 640;
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
    if (SameStream(s.streamId, s.channel, s.sampling_per_bits, s.sampling_rate, id, channel, bits, rate)) {
      return i;
    }
  }
  return -1;
}

int AudioMix::FirstFreeSlotLocked() const {
  for (int i = 0; i < kMaxStreams; ++i) {
    if (!m_streaminfo_current[i].streamId.has_value() && m_streaminfo_current[i].channel == 0) return i;
  }
  return -1;
}

void AudioMix::FillSlotLocked(AudioMixStreamSlot& slot, const char* id, int32_t channel, int32_t bits,
                              int32_t rate) {
  if (!slot.queue) slot.queue = std::make_unique<ManageInUseBuffer_ForAudioMix>();
  slot.channel = channel;
  slot.sampling_per_bits = bits;
  slot.sampling_rate = rate;
  slot.streamId = std::string(id);
}

bool AudioMix::AudioMixInit(const AudioMixSetup* setup) {
  PLN_LOG_ERROR("_Plenova_ 混音初始化开始");
  if (setup == nullptr || (setup->streams == nullptr && setup->streamCount > 0)) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_LOG_ERROR("_Plenova_ 混音初始化失败");
    return false;
  }
  platform::MutexLock lock(m_mutex);
  m_encodeBuffer = setup->encodeBuffer;
  m_pool = setup->pool;
  m_synBuffer = setup->synBuffer;
  m_encoder = setup->encoder;
  m_target_audio_frames_per_seconds = setup->target_audio_frames_per_seconds;
  m_target_audio_channels = setup->target_audio_channels;
  m_target_audio_sampling_rate = setup->target_audio_sampling_rate;
  m_target_audio_sampling_per_bits = setup->target_audio_sampling_per_bits;
  m_audio_frame_size = FrameSize(m_target_audio_channels, m_target_audio_sampling_rate,
                                 m_target_audio_sampling_per_bits, m_target_audio_frames_per_seconds);
  for (int i = 0; i < setup->streamCount; ++i) {
    const AudioStreamInfo& info = setup->streams[i];
    if (i >= kMaxStreams) {
      // The table is full: the rest are refused as a sixth stream is.
      PLN_LOG_ERROR("'s stream count is larger than _VIDEOMIX_MAX_FRAME_COUNT_");
      break;
    }
    if (info.streamId == nullptr) {
      PLN_LOG_ERROR("'s value is illegall");
      continue;
    }
    FillSlotLocked(m_streaminfo_current[i], info.streamId, info.channel, info.sampling_per_bits,
                   info.sampling_rate);
  }
  PLN_LOG_ERROR("_Plenova_ 混音初始化结束");
  return true;
}

void AudioMix::UpdataAudioMix(const AudioMixUpdateParam* param) {
  PLN_LOG_ERROR("_Plenova_ Start");
  if (param == nullptr || (param->streams == nullptr && param->streamCount > 0)) {
    PLN_LOG_ERROR("'s value is illegall，更新混音失败");
    return;
  }
  {
    platform::MutexLock lock(m_mutex);
    m_target_audio_channels = param->target_audio_channels;
    m_target_audio_sampling_rate = param->target_audio_sampling_rate;
    m_target_audio_sampling_per_bits = param->target_audio_sampling_per_bits;
    m_audio_frame_size = FrameSize(m_target_audio_channels, m_target_audio_sampling_rate,
                                   m_target_audio_sampling_per_bits, m_target_audio_frames_per_seconds);
    CheckStreamInfoExist(param->streams, param->streamCount);
  }
  PLN_LOG_ERROR("_Plenova_ end");
}

bool AudioMix::CheckStreamInfoExist(const AudioStreamInfo* streams, int32_t count) {
  PLN_LOG_ERROR("_Plenova_ 开始检查当前流信息中是否有待更新流信息 ");
  for (AudioMixStreamSlot& slot : m_streaminfo_current) slot.streamExist = false;

  for (int i = 0; i < count; ++i) {
    const AudioStreamInfo& info = streams[i];
    if (info.streamId == nullptr) {
      PLN_LOG_ERROR("'s value is illegall");
      continue;
    }
    const int found = FindSlotLocked(info.streamId, info.channel, info.sampling_per_bits, info.sampling_rate);
    if (found >= 0) {
      m_streaminfo_current[found].streamExist = true;
      m_streaminfo_current[found].isWork = true;
      continue;
    }
    const int free = FirstFreeSlotLocked();
    if (free < 0) {
      PLN_LOG_ERROR("'s stream count is larger than _VIDEOMIX_MAX_FRAME_COUNT_");
      return false;
    }
    AudioMixStreamSlot& slot = m_streaminfo_current[free];
    FillSlotLocked(slot, info.streamId, info.channel, info.sampling_per_bits, info.sampling_rate);
    slot.isWork = true;
    slot.streamExist = true;
  }

  for (AudioMixOldStream& old : m_streaminfo_old) old = AudioMixOldStream{};

  for (AudioMixStreamSlot& slot : m_streaminfo_current) {
    if (slot.channel < 1 || !slot.streamId.has_value() || slot.sampling_per_bits < 1 || slot.streamExist) {
      continue;
    }
    auto entry = std::find_if(m_streaminfo_old.begin(), m_streaminfo_old.end(), [](const AudioMixOldStream& o) {
      return o.channel == 0 && o.sampling_per_bits == 0 && o.sampling_rate == 0 && !o.streamId.has_value();
    });
    if (entry == m_streaminfo_old.end()) {
      PLN_LOG_ERROR("'s m_streaminfo_old is Full");
      PLN_LOG_ERROR("_Plenova_ 检查当前流信息中是否有待更新流信息失败 ");
      return false;
    }
    if (slot.streamId->empty()) {
      PLN_LOG_ERROR("'s streamId is error");
      PLN_LOG_ERROR("_Plenova_ 检查当前流信息中是否有待更新流信息失败 ");
      return false;
    }
    entry->channel = slot.channel;
    entry->sampling_per_bits = slot.sampling_per_bits;
    entry->sampling_rate = slot.sampling_rate;
    entry->streamId = slot.streamId;
    // Its queued frames go with the queue.
    slot = AudioMixStreamSlot{};
  }

  DumpTablesLocked();
  PLN_LOG_ERROR("_Plenova_ 检查当前流信息中是否有待更新流信息成功(结束) ");
  return true;
}

void AudioMix::DumpTablesLocked() {
  auto valid = [](const AudioMixStreamSlot& s) {
    return s.isWork && s.streamExist && s.streamId.has_value() && s.sampling_per_bits >= 1 && s.queue;
  };
  const auto active = std::count_if(m_streaminfo_current.begin(), m_streaminfo_current.end(), valid);
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
    return o.channel >= 1 && o.sampling_per_bits >= 1 && o.sampling_rate >= 1 && o.streamId.has_value();
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

void AudioMix::GiveBack(PoolBuffer* buffer) {
  if (buffer == nullptr) return;
  if (m_pool != nullptr) {
    m_pool->PutEmptyBuffer(buffer);
  } else {
    DestroyPoolBuffer(buffer);
  }
}

bool AudioMix::AudioMixPushdata(const AudioMixFrame* frame) {
  if (frame == nullptr || frame->buffer == nullptr || frame->streamId == nullptr) {
    PLN_LOG_ERROR("'s value is illegall");
    return false;
  }
  platform::MutexLock lock(m_mutex);
  const int slot = FindSlotLocked(frame->streamId, frame->channel, frame->sampling_per_bits,
                                  frame->sampling_rate);
  if (slot >= 0) return m_streaminfo_current[slot].queue->pushdata(frame);

  for (const AudioMixOldStream& old : m_streaminfo_old) {
    if (SameStream(old.streamId, old.channel, old.sampling_per_bits, old.sampling_rate, frame->streamId,
                   frame->channel, frame->sampling_per_bits, frame->sampling_rate)) {
      // A late frame of a stream the last update removed.
      GiveBack(frame->buffer);
      return true;
    }
  }

  const int free = FirstFreeSlotLocked();
  if (free < 0) {
    PLN_LOG_ERROR("'s stream count is larger than _VIDEOMIX_MAX_FRAME_COUNT_");
    GiveBack(frame->buffer);
    return false;
  }
  AudioMixStreamSlot& fresh = m_streaminfo_current[free];
  FillSlotLocked(fresh, frame->streamId, frame->channel, frame->sampling_per_bits, frame->sampling_rate);
  fresh.streamExist = true;
  fresh.isWork = false;
  return fresh.queue->pushdata(frame);
}

void AudioMix::AudioMixUnint() {
  PLN_LOG_ERROR("_Plenova_ 混音反初始化开始");
  PLN_LOG_ERROR("_Plenova_ 混音反初始化结束");
}

void AudioMix::start() {
  PLN_LOG_ERROR("_Plenova_ 开始启动混音线程");
  if (m_running.exchange(true)) return;
  m_waitingOrigin = true;
  if (!m_thread.Start([this] { AuidoMixThreadFunc(); })) {
    m_running = false;
    PLN_LOG_ERROR("'s value is illegall，启动混音线程失败");
  }
}

void AudioMix::stop() {
  PLN_LOG_ERROR("_Plenova_ 开始停止混音线程");
  m_running = false;
  m_thread.Join();
  PLN_LOG_ERROR("_Plenova_ 停止混音线程成功！");
}

void AudioMix::AuidoMixThreadFunc() {
  PLN_LOG_ERROR("启动混音线程成功！");
  while (m_running.load()) {
    const AudioMixCycle cycle = AudioMixStep(platform::TimeGetTime());
    if (cycle.wait == AudioMixCycle::kPoll) {
      platform::SleepMs(kPollSleepMs);
    } else if (cycle.wait == AudioMixCycle::kPace) {
      const uint32_t sleep = PacingSleepMs(cycle.due, platform::TimeGetTime());
      if (sleep > 0) platform::SleepMs(sleep);
    }
  }
  PLN_LOG_ERROR("_Plenova_ AudioMix Thread Finish Success ");
}

uint64_t AudioMix::StampOf(uint64_t frames) const {
  const uint64_t fps = static_cast<uint64_t>(m_target_audio_frames_per_seconds);
  return m_origin + (frames * 90000u + fps - 1) / fps;
}

AudioMixCycle AudioMix::AudioMixStep(uint32_t now) {
  const int32_t fps = m_target_audio_frames_per_seconds;
  if (m_waitingOrigin && m_origin == 0) {
    const Triple look = GetMixedData(0, true);
    if (!look.found) return AudioMixCycle{AudioMixCycle::kPoll, 0};
    m_waitingOrigin = false;
    m_origin = look.firstStamp;
    m_startTick = now;
    m_timelineFrames = 1;
    m_pacedFrames = 1;
    if (fps > 0) m_nextStamp = StampOf(1);
  } else if (m_waitingOrigin) {
    // A start after a stop: the timeline goes on where it stopped, and this
    // cycle's frame carries the stamp that was due next.
    m_startTick = now;
    m_waitingOrigin = false;
    m_origin = m_nextStamp;
    m_pacedFrames = 1;
    m_timelineFrames = 1;
    GetMixedData(m_origin, false);
    if (fps > 0) m_nextStamp = StampOf(1);
    EncodeStep();
  } else {
    const Triple cycle = GetMixedData(m_nextStamp, false);
    if (cycle.cycleState != 1) {
      ++m_timelineFrames;
      if (m_countedFrames % 25 == 0) {
        PLN_LOG_ERROR("_PlenovaAudioData_ _PlenovaAudioData_ 混音成功");
      }
      ++m_countedFrames;
    }
    ++m_pacedFrames;
    if (fps > 0) m_nextStamp = StampOf(m_timelineFrames);
    EncodeStep();
  }
  if (fps <= 0) {
    PLN_RAW_ERROR("File %s, Line %5d invalid param fps is 0", __FILE_NAME__, __LINE__);
    return AudioMixCycle{AudioMixCycle::kNone, 0};
  }
  const uint64_t due = uint64_t{m_startTick} + m_pacedFrames * 1000u / static_cast<uint64_t>(fps);
  return AudioMixCycle{AudioMixCycle::kPace, static_cast<uint32_t>(due)};
}

uint32_t AudioMix::PacingSleepMs(uint32_t due, uint32_t now) {
  // Differences of the wrapping 32-bit timer.
  const int32_t ahead = static_cast<int32_t>(due - now);
  if (ahead <= 0) {
    PLN_RAW_DEBUG("Audio mix thread sleep -%llums", static_cast<unsigned long long>(-int64_t{ahead}));
    return 0;
  }
  if (static_cast<uint32_t>(ahead) <= kMaxPaceMs) return static_cast<uint32_t>(ahead) + kWakeMarginMs;
  return kFarAheadSleepMs;
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
      m_encoder->aac_encode_init(nullptr, nullptr, nullptr, nullptr, head->channels, head->sampling_rate,
                                 head->sampling_per_bits);
      continue;
    }
    if (m_encoder->aac_encode_frame(head->buffer, fps) != 0) GiveBack(head->buffer);
  }
}

AudioMix::Triple AudioMix::GetMixedData(uint64_t timestamp, bool lookOnly) {
  platform::MutexLock lock(m_mutex);
  if (++m_statCount % 50 == 0) LogQueueStatisticsLocked();
  m_found = false;
  if (lookOnly) {
    for (AudioMixStreamSlot& slot : m_streaminfo_current) {
      if (!slot.isWork || !slot.queue) continue;
      const std::optional<uint64_t> stamp = slot.queue->peekstamp();
      if (!stamp.has_value()) continue;
      if (m_firstStamp == 0) {
        m_found = true;
        m_firstStamp = *stamp;
      } else {
        m_firstStamp = std::min(m_firstStamp, *stamp);
      }
    }
    return Triple{m_firstStamp, m_found, m_cycleState};
  }

  m_cycleState = 1;
  std::array<PoolBuffer*, kMaxStreams> frames{};
  int count = 0;
  for (AudioMixStreamSlot& slot : m_streaminfo_current) {
    if (!slot.isWork || slot.channel < 1 || !slot.streamId.has_value() || !slot.queue) continue;
    if (PoolBuffer* frame = slot.queue->popdata()) frames[count++] = frame;
  }
  m_found = false;
  m_cycleState = 2;
  if (count > 0) {
    AudioMixFunction(frames.data(), count, timestamp);
  } else {
    PLN_RAW_DEBUG("Fun: %s, Line %5d, audio data is null", "AudioMix::GetMixedData", __LINE__);
  }
  return Triple{m_firstStamp, m_found, m_cycleState};
}

void AudioMix::AudioMixFunction(PoolBuffer* const* frames, int count, uint64_t timestamp) {
  if (++m_mixCount % 50 == 0) PLN_LOG_ERROR("_PlenovaAudioData_  开始混音");
  auto give_back_all = [&] {
    for (int i = 0; i < count; ++i) GiveBack(frames[i]);
  };
  if (m_target_audio_sampling_per_bits != 16 || m_pool == nullptr) {
    if (m_target_audio_sampling_per_bits == 8) PLN_RAW_MESSAGE("no deal");
    give_back_all();
    return;
  }
  const int32_t request = 2 * m_audio_frame_size;
  PoolBuffer* mixed = m_pool->GetEmptyBuffer(request);
  if (mixed == nullptr || mixed->data == nullptr) {
    if (mixed != nullptr) m_pool->PutEmptyBuffer(mixed);
    give_back_all();
    return;
  }

  if (count == 1) {
    // One stream passes unchanged; a frame longer than the mixer's buffer is
    // cut to it.
    const int32_t len =
        std::clamp(frames[0]->len, 0, std::min({request, mixed->capacity, frames[0]->capacity}));
    std::memcpy(mixed->data, frames[0]->data, static_cast<size_t>(len));
    mixed->len = len;
    mixed->tick = OldestTick(frames, static_cast<size_t>(count));
    mixed->timestamp = timestamp;
  } else {
    mixed->len = m_audio_frame_size;
    mixed->tick = OldestTick(frames, static_cast<size_t>(count));
    mixed->timestamp = timestamp;
    double gain = 1.0;
    const int32_t samples = m_audio_frame_size / 2;
    for (int32_t i = 0; i < samples; ++i) {
      int32_t sum = 0;
      for (int f = 0; f < count; ++f) sum += SampleAt(frames[f], i);
      const int32_t v = static_cast<int32_t>(static_cast<double>(sum) * gain);
      int16_t out;
      if (v > 32767) {
        out = 32767;
        gain = 32767.0 / v;
      } else if (v < -32768) {
        out = -32768;
        gain = -32768.0 / v;
      } else {
        out = static_cast<int16_t>(v);
      }
      if (gain < 1.0) gain += (1.0 - gain) * 0.03125;
      std::memcpy(mixed->data + i * 2, &out, sizeof out);
    }
  }

  if (m_encodeBuffer != nullptr) {
    // Takes the mixed frame whatever it answers.
    m_encodeBuffer->PutData(mixed, m_target_audio_channels, m_target_audio_sampling_rate,
                            m_target_audio_sampling_per_bits);
  } else {
    m_pool->PutEmptyBuffer(mixed);
  }
  give_back_all();
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
                  static_cast<double>(bytes / 1024));
  }
  PLN_RAW_DEBUG("AudioMixBuffer TotalSize=%f KB", static_cast<double>(total / 1024));
}

int32_t AudioMix::AudioFrameSize() {
  platform::MutexLock lock(m_mutex);
  return m_audio_frame_size;
}

uint64_t AudioMix::NextStamp() { return m_nextStamp; }

std::array<AudioMixOldStream, AudioMix::kMaxStreams> AudioMix::OldStreams() {
  platform::MutexLock lock(m_mutex);
  return m_streaminfo_old;
}

AudioMix::SlotView AudioMix::Slot(int i) {
  platform::MutexLock lock(m_mutex);
  const AudioMixStreamSlot& s = m_streaminfo_current[static_cast<size_t>(i)];
  return SlotView{s.streamId, s.channel, s.sampling_per_bits, s.sampling_rate, s.isWork, s.streamExist,
                  s.queue ? s.queue->Count() : -1};
}

}  // namespace plenova
