#include "output/Mp4Writer.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <filesystem>
#include <unordered_map>

#include "common/MemoryPool.h"
#include "log/PlenovaLog.h"
#include "platform/Clock.h"

namespace plenova {
namespace {

// The recordings of every writer in the process by the token they give the
// library as their stream id, so that each report reaches the writer that
// made the recording. A recording is in the table from before its LiveStart
// until its recorder object is given back, which waits for the library's
// last report.
std::mutex g_registryMutex;  // guards the two below; taken briefly by any thread
std::unordered_map<uint32_t, void*> g_registry;
uint32_t g_nextToken = 1;

const char* StateName(int32_t state) {
  switch (state) {
    case Mp4Writer::kStarted: return "started";
    case Mp4Writer::kStopped: return "stopped";
    case Mp4Writer::kWriteError: return "write error";
    case Mp4Writer::kOpenFailed: return "open failed";
    case Mp4Writer::kNothingRecorded: return "nothing recorded";
    default: return "unknown";
  }
}

bool IsLast(int32_t state) {
  return state == Mp4Writer::kStopped || state == Mp4Writer::kWriteError ||
         state == Mp4Writer::kOpenFailed || state == Mp4Writer::kNothingRecorded;
}

// Logs the first of a kind of dropped sample and then every 100th.
bool WorthLogging(uint64_t count) { return count == 1 || count % 100 == 0; }

}  // namespace

void Mp4Writer::PoolReturn::operator()(PoolBuffer* block) const {
  if (pool != nullptr)
    pool->PutEmptyBuffer(block);
  else
    DestroyPoolBuffer(block);
}

Mp4Writer::Mp4Writer(Mp4RecorderApi api, Mode mode) : m_api(api), m_mode(mode) {
  if (m_mode == Mode::kOwnThread && !m_thread.Start([this] { Run(); })) {
    PLN_LOG_ERROR("_Plenova_ no MP4 writer thread: MP4 samples are written by nobody");
  }
}

Mp4Writer::~Mp4Writer() {
  {
    std::lock_guard lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  m_thread.Join();
  // Without the thread (or after it): what is left is finished here.
  if (m_mode == Mode::kCallerDrives) {
    while (ProcessOne()) {
    }
  }
  std::vector<Recording*> open;
  {
    std::lock_guard lock(m_mutex);
    m_current = nullptr;
    for (auto& recording : m_recordings)
      if (!recording->finished) open.push_back(recording.get());
  }
  for (Recording* recording : open) Finish(*recording);
  Reap(true);
}

void Mp4Writer::SetStateCallback(int32_t streamid, Mp4RecordStateCallback callback) {
  std::lock_guard lock(m_callbackMutex);
  m_callback = callback;
  m_streamId = streamid;
}

void Mp4Writer::SetState(Recording* recording, State state) {
  // Copied under the lock: once it is released the writer's thread may give
  // the recording back at any moment.
  std::string path = "-";
  {
    std::lock_guard lock(m_mutex);
    if (recording != nullptr) {
      if (recording->over || recording->state == state) return;
      recording->state = state;
      path = recording->path;
      if (IsLast(state)) {
        recording->over = true;
        if (m_current == recording) m_current = nullptr;
        DropSamplesLocked(recording);
        // One being opened is closed by Start itself.
        if (!recording->opening) QueueFinishLocked(recording);
        m_reapPending = true;
      }
    }
  }
  m_wake.notify_all();
  PLN_LOG_ERROR("_Plenova_ MP4 %s: %s", path.c_str(), StateName(state));
  ReportEvent(state, path);
  Mp4RecordStateCallback callback;
  int32_t streamid;
  {
    std::lock_guard lock(m_callbackMutex);
    callback = m_callback;
    streamid = m_streamId;
  }
  if (callback != nullptr) callback(streamid, state);
}

void Mp4Writer::ReportEvent(State state, const std::string& path) {
  switch (state) {
    case kStarted: m_report.Report(PLENOVA_EVENT_FILE_OPENED, path); break;
    case kStopped: {
      std::error_code error;
      const auto size = std::filesystem::file_size(path, error);
      // The file is final: closing it is the recording's stop.
      m_report.Report(PLENOVA_EVENT_FILE_CLOSED, path, 0, 0,
                      error ? 0 : static_cast<uint64_t>(size));
      break;
    }
    case kWriteError:
      m_report.Report(PLENOVA_EVENT_WRITE_ERROR,
                      path + ": writing failed or could not keep up; the file plays up to it");
      break;
    case kOpenFailed:
      m_report.Report(PLENOVA_EVENT_FAILED, path + ": the file could not be created");
      break;
    case kNothingRecorded:
      m_report.Report(PLENOVA_EVENT_FAILED,
                      path + ": no video key frame came; nothing was recorded");
      break;
    case kNone: break;
  }
}

void Mp4Writer::SetEventSink(EventSink* sink) { m_report.SetSink(sink, PLENOVA_OUTPUT_MP4); }

void Mp4Writer::CollectStatistics(PlenovaOutputStatistics* out) const {
  m_report.Fill(out, platform::TimeGetTime(), &m_videoLatency);
}

void Mp4Writer::OnLibraryState(uint32_t token, uint32_t state) {
  Recording* recording;
  {
    std::lock_guard lock(g_registryMutex);
    const auto found = g_registry.find(token);
    if (found == g_registry.end()) return;
    recording = static_cast<Recording*>(found->second);
  }
  // The recording outlives this call: it leaves the table only after its
  // recorder object, whose threads make these calls, is gone.
  Mp4Writer& writer = *recording->writer;
  if (state == kStopped || state == kNothingRecorded) {
    // The library's last word on this file.
    {
      std::lock_guard lock(writer.m_mutex);
      recording->library_done = true;
      writer.m_reapPending = true;
    }
    writer.m_wake.notify_all();
  }
  writer.SetState(recording, static_cast<State>(state));
}

void Mp4Writer::QueueFinishLocked(Recording* recording) {
  if (recording->finish_queued || recording->finished) return;
  recording->finish_queued = true;
  Item item;
  item.kind = Item::Kind::kFinish;
  item.recording = recording;
  m_queue.push_back(std::move(item));
  m_report.SetQueueDepth(m_queue.size());
}

void Mp4Writer::DropSamplesLocked(const Recording* recording) {
  auto end = std::remove_if(m_queue.begin(), m_queue.end(), [&](const Item& item) {
    return item.recording == recording && item.kind != Item::Kind::kFinish;
  });
  for (auto it = end; it != m_queue.end(); ++it)
    if (it->block) m_queuedBytes -= static_cast<size_t>(it->block->len);
  m_report.CountDropped(static_cast<uint64_t>(m_queue.end() - end));
  m_queue.erase(end, m_queue.end());
  m_report.SetQueueDepth(m_queue.size());
}

int Mp4Writer::Start(const char* path, const Mp4VideoDesc& video, const Mp4AudioDesc& audio) {
  std::lock_guard control(m_controlMutex);
  assert(path != nullptr && path[0] != '\0');
  if (path == nullptr || path[0] == '\0') return -1;
  TarvaneRecordPtr record(
      m_api.CreateRecord != nullptr ? m_api.CreateRecord(path, &video, &audio) : nullptr,
      TarvaneRecordDeleter{m_api.DestroyRecord});
  if (record == nullptr) {
    PLN_LOG_ERROR("'s _Plenvoa_ no MP4 recorder could be created for %s", path);
    SetState(nullptr, kOpenFailed);
    return -1;
  }
  auto owned = std::make_unique<Recording>();
  Recording* recording = owned.get();
  recording->writer = this;
  recording->opening = true;
  recording->record = std::move(record);
  recording->path = path;
  recording->width = video.width;
  recording->height = video.height;
  {
    std::lock_guard lock(g_registryMutex);
    recording->token = g_nextToken++;
    if (g_nextToken == 0) g_nextToken = 1;
    g_registry[recording->token] = recording;
  }
  {
    std::lock_guard lock(m_mutex);
    m_recordings.push_back(std::move(owned));
  }
  ITarvaneRecord& library = *recording->record;
  if (library.SetStateCallback(recording->token, &Mp4Writer::OnLibraryState) != 0) {
    PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->SetStateCallback failed");
    SetState(recording, kOpenFailed);
  } else {
    PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->SetStateCallback Success");
    if (library.LiveStart(path) != 0) {
      PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->LiveStart failed");
      // The library reported it; one that did not is reported here.
      SetState(recording, kOpenFailed);
    } else {
      PLN_LOG_ERROR("'s _Plenvoa_ m_Mp4_korvo->LiveStart Success");
      SetState(recording, kStarted);
    }
  }
  bool started;
  {
    std::lock_guard lock(m_mutex);
    recording->opening = false;
    started = !recording->over;
    if (started) {
      if (m_current != nullptr) {
        PLN_LOG_ERROR("'s _Plenvoa_ need to close previous mp4 file");
        Recording* previous = m_current;
        m_current = nullptr;
        QueueFinishLocked(previous);
      }
      m_current = recording;
      if (!m_parameterSets.empty()) {
        Item item;
        item.kind = Item::Kind::kParameterSets;
        item.recording = recording;
        item.sets = m_parameterSets;
        m_queue.push_back(std::move(item));
      }
    } else {
      // Never opened: nothing to finish, the object goes at once.
      recording->finished = true;
      recording->library_done = true;
      m_reapPending = true;
    }
  }
  m_wake.notify_all();
  if (m_mode == Mode::kCallerDrives && !started) Reap(false);
  return started ? 0 : -1;
}

int Mp4Writer::Stop() {
  std::lock_guard control(m_controlMutex);
  {
    std::lock_guard lock(m_mutex);
    if (m_current == nullptr) return -1;
    Recording* recording = m_current;
    m_current = nullptr;
    QueueFinishLocked(recording);
  }
  m_wake.notify_all();
  return 0;
}

bool Mp4Writer::IsRecording() const {
  std::lock_guard lock(m_mutex);
  return m_current != nullptr;
}

bool Mp4Writer::RecordingCanvas(int32_t* width, int32_t* height) const {
  std::lock_guard lock(m_mutex);
  if (m_current == nullptr) return false;
  *width = m_current->width;
  *height = m_current->height;
  return true;
}

void Mp4Writer::Write(const AVSample& sample, MemoryPool* pool) {
  const PoolBuffer* in = sample.buffer;
  // The dispatcher checked the sample; the pool is missing only before the
  // engine gave one.
  assert(in != nullptr && in->data != nullptr && in->len >= 1);
  if (in == nullptr || in->data == nullptr || in->len < 1 || pool == nullptr) return;
  Recording* failed = nullptr;
  {
    std::lock_guard lock(m_mutex);
    if (m_current == nullptr) return;
    const size_t len = static_cast<size_t>(in->len);
    if (m_queue.size() >= kMaxQueuedItems || m_queuedBytes + len > kMaxQueuedBytes) {
      // The library does not keep up: the recording ends here rather than
      // hold up the engine.
      ++m_overflows;
      m_report.CountDropped();
      failed = m_current;
    } else {
      PooledBlock block(pool->GetEmptyBuffer(in->len), PoolReturn{pool});
      if (block == nullptr || block->data == nullptr) {
        PLN_LOG_ERROR("' Alloc Memory failed");
        return;
      }
      std::memcpy(block->data, in->data, len);
      block->len = in->len;
      block->timestamp = in->timestamp;
      block->tick = in->tick;
      Item item;
      item.kind = Item::Kind::kSample;
      item.recording = m_current;
      item.block = std::move(block);
      item.video = sample.streamType != kStreamTypeAudio;
      item.key = sample.isKeyFrame != 0;
      m_queuedBytes += len;
      m_queue.push_back(std::move(item));
      m_report.SetQueueDepth(m_queue.size());
    }
  }
  if (failed != nullptr) {
    PLN_LOG_ERROR("_Plenova_ MP4 %s: %zu samples wait for the disk; the recording ends here",
                  failed->path.c_str(), kMaxQueuedItems);
    SetState(failed, kWriteError);
    return;
  }
  m_wake.notify_one();
}

void Mp4Writer::SetParameterSets(const uint8_t* data, int32_t len) {
  // The dispatcher checked them.
  assert(data != nullptr && len >= 1);
  if (data == nullptr || len < 1) return;
  {
    std::lock_guard lock(m_mutex);
    m_parameterSets.assign(data, data + len);
    if (m_current == nullptr) return;
    Item item;
    item.kind = Item::Kind::kParameterSets;
    item.recording = m_current;
    item.sets = m_parameterSets;
    m_queue.push_back(std::move(item));
  }
  m_wake.notify_one();
}

void Mp4Writer::RestartTimeline() {
  {
    std::lock_guard lock(m_mutex);
    if (m_current == nullptr) return;
    Item item;
    item.kind = Item::Kind::kRestart;
    item.recording = m_current;
    m_queue.push_back(std::move(item));
  }
  m_wake.notify_one();
}

void Mp4Writer::Run() {
  bool draining = false;
  uint32_t drain_start = 0;
  for (;;) {
    Item item;
    bool reap;
    {
      std::unique_lock lock(m_mutex);
      m_wake.wait(lock, [&] { return !m_queue.empty() || m_stopping || m_reapPending; });
      reap = m_reapPending;
      m_reapPending = false;
      if (m_queue.empty() && m_stopping) break;
      if (m_stopping && !draining) {
        draining = true;
        drain_start = platform::TimeGetTime();
      }
      if (draining && platform::TimeGetTime() - drain_start > kShutdownDrainMs) {
        // Shutting down behind a slow disk: the samples still waiting go, the
        // files are finished with what they have.
        size_t dropped = 0;
        for (Item& waiting : m_queue)
          if (waiting.kind == Item::Kind::kSample) ++dropped;
        std::deque<Item> keep;
        for (Item& waiting : m_queue)
          if (waiting.kind != Item::Kind::kSample) keep.push_back(std::move(waiting));
        m_queue.swap(keep);
        m_queuedBytes = 0;
        m_report.CountDropped(dropped);
        m_report.SetQueueDepth(m_queue.size());
        if (dropped > 0) PLN_LOG_ERROR("_Plenova_ MP4 shutdown: %zu samples not written", dropped);
      }
      if (!m_queue.empty()) {
        item = std::move(m_queue.front());
        m_queue.pop_front();
        m_report.SetQueueDepth(m_queue.size());
        if (item.block) m_queuedBytes -= static_cast<size_t>(item.block->len);
      }
    }
    if (item.recording != nullptr) Process(item);
    if (reap) Reap(false);
  }
}

bool Mp4Writer::ProcessOne() {
  Item item;
  {
    std::lock_guard lock(m_mutex);
    if (m_queue.empty()) {
      m_reapPending = false;
    } else {
      item = std::move(m_queue.front());
      m_queue.pop_front();
      m_report.SetQueueDepth(m_queue.size());
      if (item.block) m_queuedBytes -= static_cast<size_t>(item.block->len);
    }
  }
  if (item.recording != nullptr) Process(item);
  Reap(false);
  return item.recording != nullptr;
}

void Mp4Writer::Process(Item& item) {
  Recording& recording = *item.recording;
  if (recording.finished) return;
  switch (item.kind) {
    case Item::Kind::kSample: ProcessSample(item); break;
    case Item::Kind::kParameterSets:
      // Parameter sets alone: the library keeps them for the first key frame.
      recording.record->SendLiveData(item.sets.data(), static_cast<uint32_t>(item.sets.size()),
                                     kTarvaneTagVideo, 0);
      break;
    case Item::Kind::kRestart:
      recording.timing.Restart();
      recording.held_audio.clear();
      break;
    case Item::Kind::kFinish: Finish(recording); break;
  }
}

void Mp4Writer::ProcessSample(Item& item) {
  Recording& recording = *item.recording;
  {
    std::lock_guard lock(m_mutex);
    if (recording.over) return;
  }
  OutputTimeline& timing = recording.timing;
  const uint64_t stamp = item.block->timestamp;
  if (item.video) {
    if (timing.Video(stamp, item.key) != OutputTimeline::Verdict::kWrite) return;
    Send(recording, item, timing.Ms(stamp));
    // The audio that waited for this key frame: from its stamp on.
    while (!recording.held_audio.empty()) {
      Item held = std::move(recording.held_audio.front());
      recording.held_audio.pop_front();
      const uint64_t held_stamp = held.block->timestamp;
      if (timing.Audio(held_stamp) == OutputTimeline::Verdict::kWrite)
        Send(recording, held, timing.Ms(held_stamp));
    }
    return;
  }
  switch (timing.Audio(stamp)) {
    case OutputTimeline::Verdict::kWrite: Send(recording, item, timing.Ms(stamp)); break;
    case OutputTimeline::Verdict::kHold:
      if (recording.held_audio.size() >= kMaxHeldAudio) recording.held_audio.pop_front();
      recording.held_audio.push_back(std::move(item));
      break;
    case OutputTimeline::Verdict::kDrop: break;
  }
}

void Mp4Writer::Send(Recording& recording, const Item& item, uint64_t ms) {
  const PoolBuffer& block = *item.block;
  const int result =
      recording.record->SendLiveData(block.data, static_cast<uint32_t>(block.len),
                                     item.video ? kTarvaneTagVideo : kTarvaneTagAudio, ms);
  if (result == 0) {
    const uint32_t now = platform::TimeGetTime();
    (item.video ? m_videoLatency : m_audioLatency).Add(block.tick, now);
    m_report.CountSent(static_cast<size_t>(block.len), now);
    return;
  }
  if (WorthLogging(++m_writeFailures)) {
    PLN_LOG_ERROR("'s writeMp4 %s failed (%llu so far)", item.video ? "VideoData" : "AudioData",
                  static_cast<unsigned long long>(m_writeFailures));
  }
  // A write error was reported by the library (SetState ends the
  // recording); anything else was this sample alone.
  if (recording.record->GetState() == kTarvaneWriteError) SetState(&recording, kWriteError);
}

void Mp4Writer::Finish(Recording& recording) {
  if (recording.finished) return;
  recording.held_audio.clear();
  const int result = recording.record->LiveStop();
  if (result != 0) PLN_LOG_ERROR("'s _m_Mp4_korvo->LiveStop failed");
  PLN_RAW_MESSAGE("_Plenova_ latency %s", m_videoLatency.Summary("mp4", "video").c_str());
  PLN_RAW_MESSAGE("_Plenova_ latency %s", m_audioLatency.Summary("mp4", "audio").c_str());
  m_videoLatency.Reset();
  m_audioLatency.Reset();
  const uint32_t library_state = recording.record->GetState();
  {
    std::lock_guard lock(m_mutex);
    recording.finished = true;
    // A file being rewritten reports once more, from the library's thread.
    if (result != 0 || library_state != kTarvaneStarted) recording.library_done = true;
    m_reapPending = true;
  }
  // The library's own final state, when it gave none through the callback.
  if (result != 0) SetState(&recording, kWriteError);
}

void Mp4Writer::Reap(bool all) {
  std::vector<std::unique_ptr<Recording>> done;
  {
    std::lock_guard lock(m_mutex);
    for (auto it = m_recordings.begin(); it != m_recordings.end();) {
      Recording& recording = **it;
      const bool queued = std::any_of(m_queue.begin(), m_queue.end(), [&](const Item& item) {
        return item.recording == &recording;
      });
      if ((all || !queued) && recording.finished && (all || recording.library_done) &&
          &recording != m_current && !recording.opening) {
        done.push_back(std::move(*it));
        it = m_recordings.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& recording : done) {
    // Waits for the library's last report of this recording.
    recording->record.reset();
    std::lock_guard lock(g_registryMutex);
    g_registry.erase(recording->token);
  }
}

}  // namespace plenova
