#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

#include "output/AVSample.h"
#include "sync/AVSynBuffer.h"
#include "sync/IAVSynCtl.h"
#include "platform/Clock.h"
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
// and parameter sets are handed to the dispatcher. The thread sleeps until
// a sample is put, or until the wait limit runs out.
class AVSynCtl : public IAVSynCtl {
 public:
  // Step's answer when only a put can bring work: no time limit.
  static constexpr uint32_t kWaitForWork = platform::kWaitForever;

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
  // Ends the thread, waking it from its wait, and joins it.
  void StopSynThread() override;
  // Length of one AAC frame in 90 kHz units: how far one audio sample
  // reaches, and the unit of the wait limit. Non-positive values are
  // refused. Any thread.
  void SetAudioFrameDuration(int32_t duration) override;
  int32_t AvOffsetMs() override;

  // One cycle of the sync thread at `now` (ms of the installed clock):
  // fetches at most one audio sample and writes it with the video released
  // behind it. Returns how long the thread may wait for the next put before
  // the next cycle is due, in ms: 0 after writing audio (more may be
  // queued, or the wait for audio begins now); while audio is missing and
  // the wait limit not reached, the time until it is; 0 on the cycle that
  // reaches it (the next one trims the video held); else kWaitForWork.
  // Runs on the sync thread; tests call it directly while the thread is
  // stopped.
  uint32_t Step(uint32_t now);

 private:
  void ThreadFunction();
  // The wait after a cycle that wrote no audio; `wasStalled` is the stall
  // state the cycle's fetch was made with.
  uint32_t NextWait(bool wasStalled) const;
  std::unique_ptr<SynGetResult> Fetch(uint8_t peekOnly, uint32_t duration);
  // True when an audio sample was written. Takes what the result releases.
  bool Process(SynGetResult* result);
  void OnNoAudio();
  void OnAudio(SynGetResult& result);
  // Writes the released frames, oldest first.
  void WriteVideo(const ReleasedVideo& released);
  // Takes over the rate and parameter sets of `node` and tells the
  // dispatcher.
  void AdoptVideoFormat(const VideoSampleNode& node);

  // Set by SetAudioFrameDuration on the encoder's thread, read by the sync
  // thread.
  std::atomic<uint32_t> m_audioFrameDuration{0};
  std::atomic<int32_t> m_audioFramesPerSecond{0};
  std::atomic<bool> m_running{false};

  // Settings from InitIAVSynCtl; written only while the thread is stopped.
  MemoryPool* m_pool = nullptr;         // borrowed; outlives the thread
  AVSynBuffer* m_synBuffer = nullptr;   // borrowed; outlives the thread
  IAVStreaming* m_streaming = nullptr;  // borrowed; outlives the thread
  int32_t m_channels = 0;
  int32_t m_samplingPerBits = 0;
  int32_t m_samplingRate = 0;
  int32_t m_waitLimit = 0;  // 90 kHz units audio may be missing

  // Sync thread state (or the caller of Step while the thread is stopped).
  int32_t m_fps = 0;  // video frame rate written now
  // Parameter sets last handed to the dispatcher; as large as a queued
  // frame's so that any set a frame carries fits.
  std::array<uint8_t, VideoSampleNode::kSpsPpsCapacity> m_spsPps{};
  int32_t m_spsPpsLen = 0;
  AVSample m_writeRecord;  // reused for every write
  bool m_begun = false;    // audio has been seen: the output runs
  uint32_t m_lastLoopTime = 0;
  uint64_t m_lastAudioOut = 0;  // stamp of the last audio sample written
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
