#include "output/AVSynCtl.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "log/PlenovaLog.h"
#include "output/IAVStreaming.h"
#include "platform/Clock.h"

namespace plenova {

namespace {

constexpr uint64_t kTicksPerSecond = 90000;
constexpr uint64_t kTicksPerMs = 90;

// The sync thread's success lines carry the module and line but no function.
#define PLN_SYNC_DEBUG(text) PLN_RAW_DEBUG("File:%s,Line=%05d " text, "AVSynCtl", __LINE__)

struct ResultDeleter {
  void operator()(SynGetResult* result) const { delete result; }
};
using ResultPtr = std::unique_ptr<SynGetResult, ResultDeleter>;

}  // namespace

AVSynCtl::AVSynCtl() = default;

AVSynCtl::~AVSynCtl() { StopSynThread(); }

void AVSynCtl::SetAudioFrameDuration(int32_t duration) {
  if (duration < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    return;
  }
  const auto d = static_cast<uint32_t>(duration);
  if (d == m_audioFrameDuration.load()) return;
  m_audioFrameDuration.store(d);
  m_audioFramesPerSecond.store(static_cast<int32_t>(kTicksPerSecond / d));
  m_resync.store(true);
}

void AVSynCtl::InitIAVSynCtl(const AVSynCtlParam* param, MemoryPool* pool) {
  PLN_LOG_WARNING("MeetingMessage start");
  if (param == nullptr || pool == nullptr || param->synBuffer == nullptr ||
      param->streaming == nullptr || param->channels < 1 || param->sampling_per_bits < 1 ||
      param->sampling_rate < 1 || param->fps < 1 || param->video_frame_duration < 0 ||
      param->waitMaxTime < 0) {
    PLN_LOG_ERROR("'s value is illegall");
    return;
  }
  const int32_t audioFps = m_audioFramesPerSecond.load();
  if (audioFps < 1) {
    PLN_LOG_ERROR("'s audio frame duration is not set,return");
    return;
  }
  if (m_running.load()) {
    PLN_LOG_ERROR("'s sync thread is running,return");
    return;
  }
  m_pool = pool;
  m_waitLimit = static_cast<int32_t>(kTicksPerSecond / static_cast<uint64_t>(audioFps)) *
                param->waitMaxTime;
  m_synBuffer = param->synBuffer;
  m_streaming = param->streaming;
  m_channels = param->channels;
  m_samplingPerBits = param->sampling_per_bits;
  m_samplingRate = param->sampling_rate;
  m_fps = param->fps;
  // The video allowance: a frame counts as ahead of the audio only when it
  // lies more than half a video frame beyond the last audio sample written.
  m_videoAllowance = static_cast<uint64_t>(param->video_frame_duration) / 2;
  PLN_LOG_WARNING("MeetingMessage end");
}

void AVSynCtl::StartSynThread() {
  if (m_synBuffer == nullptr) {
    PLN_LOG_ERROR("'s AsynCtl is not initialised,return");
    return;
  }
  if (m_running.load()) {
    PLN_LOG_WARNING("'s AsynCtl Thread is running,return");
    return;
  }
  m_running.store(true);
  auto thread = std::make_unique<platform::Thread>();
  if (!thread->Start([this] { ThreadFunction(); })) {
    m_running.store(false);
    PLN_LOG_ERROR("'s AsynCtl Thread start failed");
    return;
  }
  m_thread = std::move(thread);
}

void AVSynCtl::StopSynThread() {
  m_running.store(false);
  if (m_thread != nullptr) {
    m_thread->Join();
    m_thread.reset();
  }
}

void AVSynCtl::ThreadFunction() {
  while (m_running.load()) {
    platform::SleepMs(Step(platform::TimeGetTime()));
  }
  PLN_LOG_ERROR("_Plenova_ AsynCtl Thread Finish Success ");
}

uint32_t AVSynCtl::Step(uint32_t now) {
  if (m_synBuffer == nullptr) return kIdlePollMs;
  const uint32_t duration = m_audioFrameDuration.load();
  const bool resync = m_resync.exchange(false);
  bool wrote = false;
  if (resync && m_base == 0) {
    // First start: the timeline begins at the oldest queued audio sample.
    ResultPtr peek(Fetch(1, duration));
    if (peek == nullptr || peek->hasTimestamp == 0) {
      m_resync.store(true);
      return NextPoll(now, m_synBuffer->VideoQueue()->Count() > 0);
    }
    m_base = m_target = peek->headTimestamp;
    m_count = 1;
  } else if (resync) {
    // New frame duration: the timeline goes on from where it stands.
    m_base = m_target;
    m_target += duration;
    m_count = 1;
    ResultPtr result(Fetch(0, duration));
    wrote = Process(result.get(), duration);
  } else {
    ResultPtr result(Fetch(0, duration));
    wrote = Process(result.get(), duration);
    m_target = m_count * duration + m_base;
  }
  m_lastLoopTime = now;
  // Busy while audio is written or queued, or video waits for it.
  return NextPoll(now, wrote || !m_synBuffer->AudioQueue()->Empty() ||
                           m_synBuffer->VideoQueue()->Count() > 0);
}

uint32_t AVSynCtl::NextPoll(uint32_t now, bool busy) {
  if (busy) {
    m_lastBusyTime = now;
    m_busySeen = true;
  }
  if (!m_busySeen) return kStartPollMs;
  return static_cast<uint32_t>(now - m_lastBusyTime) < kBusyHoldMs ? kPollMs : kIdlePollMs;
}

SynGetResult* AVSynCtl::Fetch(uint8_t peekOnly, uint32_t duration) {
  return m_synBuffer->GetData(peekOnly, m_channels, static_cast<int32_t>(duration),
                              m_samplingPerBits, m_samplingRate, m_target, m_fps,
                              audioStalled ? 1 : 0);
}

bool AVSynCtl::Process(const SynGetResult* result, uint32_t duration) {
  // A refused fetch counts as a fetch without audio.
  const uint32_t status = result != nullptr ? result->status : kSynNoAudio;
  if (status == kSynNoAudio) {
    OnNoAudio();
  } else if (status == kSynAudioReleased) {
    OnAudio(result, duration);
    return true;
  }
  return false;
}

void AVSynCtl::OnNoAudio() {
  if (m_starvationElapsed == 0) {
    m_starvationStart = m_lastLoopTime;
    m_starvationElapsed = 1;
  } else {
    const uint64_t ms = static_cast<uint32_t>(m_lastLoopTime - m_starvationStart);
    const uint64_t elapsed = ms * kTicksPerMs;
    m_starvationElapsed = elapsed > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(elapsed);
  }
  // While stalled, every fetch without audio trims the video queue.
  if (m_starvationElapsed >= static_cast<uint32_t>(m_waitLimit)) audioStalled = true;
}

void AVSynCtl::OnAudio(const SynGetResult* result, uint32_t duration) {
  // The first audio after a stall may still be one held in the encoder from
  // before it; the stall's gap then shows on a later sample. Until it does,
  // the video waits to rejoin the audio timeline.
  const bool stallEnds = audioStalled;
  if (stallEnds) {
    m_rejoin = true;
    m_rejoinUntil = 0;
  }
  audioStalled = false;
  m_starvationElapsed = 0;
  m_starvationStart = 0;

  PoolBuffer* block = result->audio->buffer;
  const uint64_t ts = block->timestamp;
  const uint64_t d = duration;
  if (m_lastAudioIn + d >= ts) {
    ++m_count;
    // The audio reached the video held after the stall without a gap (or
    // a second sample came without one): it was late, not missing, and the
    // timelines never parted.
    if (m_rejoin && !stallEnds && ts >= m_rejoinUntil) m_rejoin = false;
  } else if (m_firstGap) {
    // The gap from the start of the input timeline is kept.
    m_firstGap = false;
    ++m_count;
  } else {
    // Later gaps are removed from every sample after them, while the count
    // of frame slots follows the input timeline.
    const uint64_t gap = ts - m_lastAudioIn - d;
    m_audioOffset += gap;
    m_count += (ts - m_lastAudioIn) / d;
    // Shorter gaps are the mixer's timeline running ahead of late frames:
    // the audio removes them to stay with its content, which the video
    // never left. The gap of a stall is missing audio, and the mixer's
    // queue has run dry in it: from its end on, the video is placed by the
    // audio's own offset again, as at the start, losing what was captured
    // in the gap.
    if (m_rejoin) {
      m_videoGapPending = true;
      m_videoGapStart = m_lastAudioIn + d;
      m_videoGapEnd = ts;
      m_videoGapOffset = m_audioOffset;
      m_rejoin = false;
    }
  }
  const uint64_t written = ts >= m_audioOffset ? ts - m_audioOffset : 0;
  m_writeRecord.streamType = kStreamTypeAudio;
  m_writeRecord.isKeyFrame = 0;  // no key frames in audio; never carry a video flag over
  m_writeRecord.buffer = block;
  block->timestamp = written;
  m_lastAudioIn = ts;
  m_streaming->WriteData(&m_writeRecord);
  m_writeRecord.buffer = nullptr;
  m_synBuffer->GiveBackAudio(m_pool, block);
  PLN_SYNC_DEBUG("_Plenova_ ASYnCtl Get Audio data success");

  AVSynBuffer::ManageInUseBuffer_V* queue = m_synBuffer->VideoQueue();
  if (result->video != nullptr) PLN_SYNC_DEBUG("_Plenova_ ASYnCtl Get Video data success");
  VideoSampleNode* first = result->video;
  int32_t count = result->videoCount;
  for (;;) {
    queue->releasedata(WriteVideo(first, count));
    // Frame-rate handover: when the walk stopped at a frame of another rate,
    // that frame now heads the queue. Its rate and parameter sets are taken
    // over and reach the dispatcher before the frame itself, which is then
    // written behind this audio sample like any other released frame. The
    // handover does not wait for the audio to reach the frame, so a rate
    // change never holds video back.
    VideoSampleNode* head = queue->Head();
    if (head == nullptr || head->state != kSampleRateChange) break;
    AdoptVideoFormat(*head);
    first = queue->getdata(m_fps, ts, &count);
    if (first == nullptr) break;
  }
  m_target = written + d;
}

int32_t AVSynCtl::WriteVideo(VideoSampleNode* first, int32_t count) {
  VideoSampleNode* node = first;
  int32_t written = 0;
  while (node != nullptr && written < count && node->state == kSampleReleased) {
    PoolBuffer* block = node->buffer;
    const uint64_t vts = block->timestamp;
    const AfterStall place = PlaceAfterStall(vts);
    if (place == AfterStall::kHold) {
      // The frames behind it are newer and wait too; the newest held first
      // is how far the audio must come to show that it was only late.
      if (m_rejoinUntil == 0) {
        for (int32_t i = written; node != nullptr && i < count; ++i) {
          m_rejoinUntil = std::max(m_rejoinUntil, node->buffer->timestamp);
          node = i + 1 < count ? node->next : nullptr;
        }
      }
      break;
    }
    if (place == AfterStall::kDrop) {
      // Counted, so that it leaves the queue with the written ones.
      ++written;
      node = written < count ? node->next : nullptr;
      continue;
    }
    // A frame further than the allowance beyond the audio has the spacing to
    // the previous frame, less the allowance, removed from it and every later
    // frame. Like audio, the gap from the start of the input timeline (the
    // first frame) is kept.
    if (m_lastAudioIn + m_videoAllowance < vts && !m_firstVideoGap &&
        vts > m_lastVideoIn + m_videoAllowance) {
      m_videoOffset += vts - m_lastVideoIn - m_videoAllowance;
    }
    m_firstVideoGap = false;
    m_lastVideoIn = vts;
    m_writeRecord.streamType = kStreamTypeVideo;
    m_writeRecord.isKeyFrame = node->isKeyFrame;
    m_writeRecord.buffer = block;
    block->timestamp = vts >= m_videoOffset ? vts - m_videoOffset : 0;
    m_lastVideoOut = block->timestamp;
    m_streaming->WriteData(&m_writeRecord);
    m_writeRecord.buffer = nullptr;
    ++written;
    // The last released node's link may be written by a concurrent put.
    node = written < count ? node->next : nullptr;
  }
  return written;
}

AVSynCtl::AfterStall AVSynCtl::PlaceAfterStall(uint64_t vts) {
  if (m_videoGapPending && vts > m_videoGapStart) {
    // Captured while the audio was missing: no place on the output timeline.
    if (vts < m_videoGapEnd) return AfterStall::kDrop;
    // Nor what would go out before video already written.
    if (vts <= m_videoGapOffset || vts - m_videoGapOffset <= m_lastVideoOut) {
      return AfterStall::kDrop;
    }
    m_videoOffset = m_videoGapOffset;
    m_lastVideoIn = vts;
    m_videoGapPending = false;
    return AfterStall::kWrite;
  }
  if (m_rejoin && vts > m_lastAudioIn + m_videoAllowance) {
    // Ahead of all audio written since the stall: it waits in the queue
    // until the audio reaches it, or the gap shows where it belongs.
    return AfterStall::kHold;
  }
  return AfterStall::kWrite;
}

void AVSynCtl::AdoptVideoFormat(const VideoSampleNode& node) {
  m_fps = node.fps;
  m_spsPpsLen = node.spsPpsLen;
  std::memcpy(m_spsPps.data(), node.spsPps.data(), static_cast<size_t>(node.spsPpsLen));
  PLN_LOG_WARNING("_Plenova_ AsynCtl video fps changed to %d", m_fps);
  m_streaming->IAVStreamUpdata(m_spsPps.data(), m_spsPpsLen, m_channels, m_samplingPerBits,
                               m_samplingRate, m_fps);
}

}  // namespace plenova
