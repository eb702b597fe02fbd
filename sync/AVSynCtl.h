#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "output/AVSample.h"
#include "sync/AVSynBuffer.h"
#include "sync/IAVSynCtl.h"
#include "platform/Thread.h"

namespace plenova {

class IAVStreaming;
class MemoryPool;

// The sync thread: drains the sync buffer audio first and writes each audio
// sample to the dispatcher followed by the video frames whose time it has
// reached. Samples carry the meeting's media stamps, on which audio and
// video already agree; they leave unchanged. Audio paces the output: when
// it stops arriving for longer than the wait limit, video is held (the
// newest frames kept) until it comes back. Changes of the video frame rate
// and parameter sets are handed to the dispatcher.
class AVSynCtl : public IAVSynCtl {
 public:
  // Cycle of the thread while samples flow.
  static constexpr uint32_t kPollMs = 2;
  // Cycle once both queues have stayed empty for kBusyHoldMs: an idle engine
  // wakes rarely, and the first sample after a pause waits at most this.
  static constexpr uint32_t kIdlePollMs = 20;
  static constexpr uint32_t kBusyHoldMs = 1000;
  // Cycle until the first sample ever: the recording's first samples are
  // written close to when they came, which the MP4 placement relies on.
  static constexpr uint32_t kStartPollMs = 5;

  AVSynCtl();
  // Stops and joins the thread when it still runs.
  ~AVSynCtl() override;
  AVSynCtl(const AVSynCtl&) = delete;
  AVSynCtl& operator=(const AVSynCtl&) = delete;

  // Stores the settings; refused (logged, nothing changed) with a null
  // argument, a missing buffer or dispatcher, a non-positive format value,
  // before SetAudioFrameDuration, or while the thread runs. `pool`, the
  // sync buffer and the dispatcher are borrowed and must outlive the thread.
  void InitIAVSynCtl(const AVSynCtlParam* param, MemoryPool* pool) override;
  // Starts the thread; refused before a successful InitIAVSynCtl and while
  // the thread runs. A stopped thread restarts with the state it had.
  void StartSynThread() override;
  // Ends the thread and waits for it without time limit.
  void StopSynThread() override;
  // Length of one AAC frame in 90 kHz units: how far one audio sample
  // reaches, and the unit of the wait limit. Non-positive values are
  // refused. Any thread.
  void SetAudioFrameDuration(int32_t duration) override;
  int32_t AvOffsetMs() override;

  // One cycle of the sync thread at `now` (ms of the installed clock):
  // fetches at most one audio sample and writes it with the video released
  // behind it. Returns the milliseconds to sleep before the next cycle. Runs
  // on the sync thread; tests call it directly while the thread is stopped.
  uint32_t Step(uint32_t now);

 private:
  void ThreadFunction();
  // The sleep after a cycle at `now`: kStartPollMs until a sample was seen,
  // then kPollMs while samples were seen within kBusyHoldMs, else
  // kIdlePollMs.
  uint32_t NextPoll(uint32_t now, bool busy);
  SynGetResult* Fetch(uint8_t peekOnly, uint32_t duration);
  // True when an audio sample was written.
  bool Process(const SynGetResult* result);
  void OnNoAudio();
  void OnAudio(const SynGetResult* result);
  // Writes `count` released frames from `first` on; returns how many.
  int32_t WriteVideo(VideoSampleNode* first, int32_t count);
  // Takes over the rate and parameter sets of `node` and tells the
  // dispatcher.
  void AdoptVideoFormat(const VideoSampleNode& node);

  // Set by SetAudioFrameDuration on the encoder's thread, read by the sync
  // thread.
  std::atomic<uint32_t> m_audioFrameDuration{0};
  std::atomic<int32_t> m_audioFramesPerSecond{0};
  std::atomic<bool> m_running{false};

  // Settings from InitIAVSynCtl; written only while the thread is stopped.
  MemoryPool* m_pool = nullptr;            // borrowed; outlives the thread
  AVSynBuffer* m_synBuffer = nullptr;      // borrowed; outlives the thread
  IAVStreaming* m_streaming = nullptr;     // borrowed; outlives the thread
  int32_t m_channels = 0;
  int32_t m_samplingPerBits = 0;
  int32_t m_samplingRate = 0;
  int32_t m_waitLimit = 0;       // 90 kHz units audio may be missing

  // Sync thread state (or the caller of Step while the thread is stopped).
  int32_t m_fps = 0;             // video frame rate written now
  // Parameter sets last handed to the dispatcher; as large as a queued
  // frame's so that any set a frame carries fits.
  std::array<uint8_t, VideoSampleNode::kSpsPpsCapacity> m_spsPps{};
  int32_t m_spsPpsLen = 0;
  AVSample m_writeRecord;        // reused for every write
  bool m_begun = false;          // audio has been seen: the output runs
  uint32_t m_lastLoopTime = 0;
  uint32_t m_lastBusyTime = 0;   // last cycle that found a sample queued
  bool m_busySeen = false;       // m_lastBusyTime is valid
  uint64_t m_lastAudioOut = 0;   // stamp of the last audio sample written
  // The A/V offset for the host's statistics, written by the sync thread.
  std::atomic<int32_t> m_avOffsetMs{0};
  bool m_videoWritten = false;
  uint64_t m_lastVideoOut = 0;
  uint32_t m_starvationElapsed = 0;  // 90 kHz units; 0 = timer not running
  uint32_t m_starvationStart = 0;
  bool audioStalled = false;

  std::unique_ptr<platform::Thread> m_thread;
};

}  // namespace plenova
