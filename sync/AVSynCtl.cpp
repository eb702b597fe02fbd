#include "sync/AVSynCtl.h"

#include <algorithm>
#include <cassert>
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
  m_waitLimit =
      static_cast<int32_t>(kTicksPerSecond / static_cast<uint64_t>(audioFps)) * param->waitMaxTime;
  m_synBuffer = param->synBuffer;
  m_streaming = param->streaming;
  m_channels = param->channels;
  m_samplingPerBits = param->sampling_per_bits;
  m_samplingRate = param->sampling_rate;
  m_fps = param->fps;
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
    m_synBuffer->Wake();
    m_thread->Join();
    m_thread.reset();
  }
}

void AVSynCtl::ThreadFunction() {
  while (m_running.load()) {
    const uint32_t wait = Step(platform::TimeGetTime());
    // A put (or the stop) since the last wait ends this one at once.
    if (wait != 0) m_synBuffer->WaitForData(wait);
  }
  PLN_LOG_ERROR("_Plenova_ AsynCtl Thread Finish Success ");
}

uint32_t AVSynCtl::Step(uint32_t now) {
  if (m_synBuffer == nullptr) return kWaitForWork;
  const uint32_t duration = m_audioFrameDuration.load();
  if (!m_begun) {
    // Nothing leaves before the first audio sample, and only a put brings it.
    const std::unique_ptr<SynGetResult> peek = Fetch(1, duration);
    if (peek == nullptr || peek->hasTimestamp == 0) return kWaitForWork;
    m_begun = true;
  }
  m_lastLoopTime = now;
  const bool wasStalled = audioStalled;
  const std::unique_ptr<SynGetResult> result = Fetch(0, duration);
  if (Process(result.get())) return 0;
  return NextWait(wasStalled);
}

uint32_t AVSynCtl::NextWait(bool wasStalled) const {
  // The cycle that found the stall is followed at once by one that trims;
  // after that only a put changes anything.
  if (audioStalled) return wasStalled ? kWaitForWork : 0;
  if (m_starvationElapsed == 0) return kWaitForWork;  // the timer does not run
  // OnNoAudio finds the stall on the first cycle at least this many ms
  // after the timer started.
  const uint64_t limitMs = (static_cast<uint64_t>(m_waitLimit) + kTicksPerMs - 1) / kTicksPerMs;
  const uint64_t waited = static_cast<uint32_t>(m_lastLoopTime - m_starvationStart);
  return limitMs > waited ? static_cast<uint32_t>(limitMs - waited) : 0;
}

std::unique_ptr<SynGetResult> AVSynCtl::Fetch(uint8_t peekOnly, uint32_t duration) {
  return m_synBuffer->GetData(peekOnly, m_channels, static_cast<int32_t>(duration),
                              m_samplingPerBits, m_samplingRate, m_lastAudioOut, m_fps,
                              audioStalled ? 1 : 0);
}

bool AVSynCtl::Process(SynGetResult* result) {
  // A refused fetch counts as a fetch without audio.
  const uint32_t status = result != nullptr ? result->status : kSynNoAudio;
  if (status == kSynNoAudio) {
    OnNoAudio();
  } else if (status == kSynAudioReleased) {
    OnAudio(*result);
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
    // At least 1 while the timer runs: 0 means it does not.
    m_starvationElapsed =
        elapsed > UINT32_MAX ? UINT32_MAX : std::max<uint32_t>(1, static_cast<uint32_t>(elapsed));
  }
  // While stalled, every fetch without audio trims the video queue.
  if (m_starvationElapsed >= static_cast<uint32_t>(m_waitLimit)) audioStalled = true;
}

void AVSynCtl::OnAudio(SynGetResult& result) {
  audioStalled = false;
  m_starvationElapsed = 0;
  m_starvationStart = 0;

  uint64_t ts = 0;
  {
    // The block goes back to the pool when the write is done.
    const ReleasedAudioBlock block = std::move(result.audioBlock);
    assert(block != nullptr);  // a released sample always has its block
    if (block == nullptr) return;
    ts = block->timestamp;
    m_writeRecord.streamType = kStreamTypeAudio;
    m_writeRecord.isKeyFrame = 0;  // no key frames in audio; never carry a video flag over
    m_writeRecord.buffer = block.get();
    m_lastAudioOut = ts;
    m_streaming->WriteData(&m_writeRecord);
    m_writeRecord.buffer = nullptr;
  }
  PLN_SYNC_DEBUG("_Plenova_ ASYnCtl Get Audio data success");

  AVSynBuffer::ManageInUseBuffer_V* queue = m_synBuffer->VideoQueue();
  if (!result.video.empty()) PLN_SYNC_DEBUG("_Plenova_ ASYnCtl Get Video data success");
  ReleasedVideo released = std::move(result.video);
  for (;;) {
    WriteVideo(released);
    // The written frames go back to the pool before the head is looked at.
    released.reset();
    // Frame-rate handover: when the walk stopped at a frame of another rate,
    // that frame now heads the queue. Its rate and parameter sets are taken
    // over and reach the dispatcher before the frame itself, which is then
    // written like any other released frame.
    VideoSampleNode* head = queue->Head();
    if (head == nullptr || head->state != kSampleRateChange) break;
    AdoptVideoFormat(*head);
    const uint64_t limit = ts + m_audioFrameDuration.load();
    released = queue->getdata(m_fps, limit);
    if (released.empty()) break;
  }
}

void AVSynCtl::WriteVideo(const ReleasedVideo& released) {
  const int32_t count = released.count();
  VideoSampleNode* node = released.first();
  int32_t written = 0;
  while (node != nullptr && written < count && node->state == kSampleReleased) {
    m_writeRecord.streamType = kStreamTypeVideo;
    m_writeRecord.isKeyFrame = node->isKeyFrame;
    m_writeRecord.buffer = node->buffer.get();
    m_lastVideoOut = node->buffer->timestamp;
    m_videoWritten = true;
    m_avOffsetMs.store(
        static_cast<int32_t>(static_cast<int64_t>(m_lastVideoOut - m_lastAudioOut) / 90),
        std::memory_order_relaxed);
    m_streaming->WriteData(&m_writeRecord);
    m_writeRecord.buffer = nullptr;
    ++written;
    // The last released node's link may be written by a concurrent put.
    node = written < count ? node->next : nullptr;
  }
  // The queue marks the frames it releases in one unbroken run.
  assert(written == count);
}

int32_t AVSynCtl::AvOffsetMs() { return m_avOffsetMs.load(std::memory_order_relaxed); }

void AVSynCtl::AdoptVideoFormat(const VideoSampleNode& node) {
  m_fps = node.fps;
  m_spsPpsLen = node.spsPpsLen;
  std::memcpy(m_spsPps.data(), node.spsPps.data(), static_cast<size_t>(node.spsPpsLen));
  PLN_LOG_WARNING("_Plenova_ AsynCtl video fps changed to %d", m_fps);
  m_streaming->IAVStreamUpdata(m_spsPps.data(), m_spsPpsLen, m_channels, m_samplingPerBits,
                               m_samplingRate, m_fps);
}

}  // namespace plenova
