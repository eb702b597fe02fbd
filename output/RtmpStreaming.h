#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "common/FrameGrid.h"
#include "common/LatencyStats.h"
#include "output/OutputReporter.h"
#include "output/OutputTimeline.h"
#include "output/RtmpDataQueue.h"
#include "platform/DynamicLibrary.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "wendrel/Wendrel.h"

namespace plenova {

class EventSink;
class MemoryPool;

// Publishes one RTMP stream through the RTMP library, loaded at run time by
// file name. Samples are queued by PushRtmpData; the publisher's own thread
// connects, announces the media, sends the samples on the timeline of their
// own stamps (OutputTimeline; pictures and AAC frames on their frame grids,
// FrameGrid, as in the MP4 file) and, when the connection cannot be made or
// fails, tries again, backing off from half a second to 30 s, until
// stopRtmp. Network calls are made on that thread alone and under no lock,
// so no other thread ever waits for a server.
//
// Every change of state goes through SetState, which records it, logs it
// and tells the client (once per change, not per try).
class RtmpStreaming {
 public:
  enum class State {
    kStopped,       // no send thread
    kConnecting,    // the first connection is being made
    kPublishing,    // connected; samples are sent once the media are announced
    kReconnecting,  // a connection failed or could not be made; the next try is due
  };

  // Delay before try `attempt` (1, 2, ...) after a failure.
  static uint32_t RetryDelayMs(uint32_t attempt);
  static constexpr uint32_t kMaxRetryDelayMs = 30000;
  // What SendStep returns when only new samples, new media or a stop should
  // wake the thread.
  static constexpr uint32_t kWaitForWork = UINT32_MAX;
  // Samples sent in one step at most; the step is taken again at once.
  static constexpr int kMaxSendsPerStep = 16;
  // Audio held while the connection waits for its first key frame.
  static constexpr size_t kMaxHeldAudio = 100;
  // Port steps: the first connection binds port + 1, each later one 13
  // more than the last.
  static constexpr uint16_t kInitPortStep = 1;  // port steps at SetLocalIP
  static constexpr uint16_t kReInitPortStep = 13;
  // While pushes keep failing, the failures of audio and non-key video are
  // logged on the first and then on every 100th.
  static constexpr uint64_t kFailureLogEvery = 100;
  // Message codes given to the client's message callback with the state.
  static constexpr int kMessageSetLocalIpFailed = 0;
  static constexpr int kMessageConnectFailed = 1;
  static constexpr int kMessageSetMediaTypeFailed = 2;
  static constexpr int kMessagePublishing = 3;

  // kOwnThread: startRtmp starts the send thread. kCallerDrives: startRtmp
  // starts no thread and the caller (a test) calls SendStep in its place.
  enum class Mode { kOwnThread, kCallerDrives };

  // Loads `libraryName` (a bare name is looked for beside the engine first).
  explicit RtmpStreaming(std::string libraryName = kWendrelLibraryName,
                         Mode mode = Mode::kOwnThread);
  // Stops the send thread and disconnects; queued samples are destroyed.
  ~RtmpStreaming();
  RtmpStreaming(const RtmpStreaming&) = delete;
  RtmpStreaming& operator=(const RtmpStreaming&) = delete;

  // Stores what the next connection uses: `settings` (URL, stream name,
  // rates; the parameter sets given earlier are kept when `settings` has
  // none). `full` also keeps `pool` (borrowed; outlives the publisher), the
  // hooks p2 (PlenovaSampleCallback) and p3 (PlenovaMessageCallback) and the
  // local address and port. False when the URL is the placeholder (see
  // HasValidUrl). Connects nothing. `pool` and `settings` are never null.
  // Client threads.
  bool InitRtmp(MemoryPool* pool, const RtmpPublishParam* settings, const char* localIp,
                uint16_t localPort, void* p2, void* p3, uint8_t full);

  // The H.264 parameter sets (Annex B); announced on the connection as soon
  // as it is up, and again when they change. 0, or -1 for bad input.
  int AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len);

  // A change of the parameter sets or rates: stored and announced again on
  // the running connection, which is kept. Nothing when fps, length,
  // channels, bits and rate are all unchanged. Arguments as checked by the
  // dispatcher. Sync thread.
  void UpdateRtmp(const uint8_t* spsPps, int32_t len, int32_t fps, int32_t channels, int32_t bits,
                  int32_t rate);

  // Starts the send thread; not while started.
  void startRtmp();
  // Asks the send thread to end and interrupts a connection being made or a
  // send in progress; does not wait. stopRtmp does the rest.
  void RequestStop();
  // Ends publishing: RequestStop, then joins the thread, which disconnects.
  // Returns within about half a second whatever the server does. Only while
  // started.
  void stopRtmp();

  // The engine's timeline starts again: the stream goes on from the next
  // key frame, one frame after the last picture sent.
  void RestartTimeline();

  // False while the URL is the placeholder "rtmp://" + local IP + "/live"
  // that stands for a publisher the client did not configure. Any thread.
  bool HasValidUrl() const;

  // Queues one sample (type 1 audio, else video; `ts` its 90 kHz stamp) and
  // wakes the send thread; the caller keeps `data`. False for bad arguments
  // or an unconfigured URL. Sync thread.
  bool PushRtmpData(const uint8_t* data, int32_t len, uint64_t ts, int32_t type, uint8_t key,
                    uint32_t tick);

  // Gives the client "Message:" + text + the masked URL through p3 when
  // this publisher is configured.
  void NotifyMessage(const char* text, int code);

  // One cycle of the send thread at `now` (ms of the engine's clock): makes
  // a connection that is due, announces new media, or sends queued samples.
  // Returns the milliseconds until the next cycle is due, 0 to run again at
  // once, or kWaitForWork. Only the send thread (or a test in its place)
  // calls it; it starts with the state of startRtmp.
  uint32_t SendStep(uint32_t now);

  // The send thread's body: SendStep, then a wait for what it returned or
  // for new work, until stopRtmp.
  void VideoRtmpThreadFunc();

  bool IsRunning() const { return m_running.load(); }
  // True once after a connection was made: it starts from a key frame, and
  // the sooner one comes the sooner it publishes. Any thread.
  bool TakeKeyFrameRequest() { return m_keyFrameWanted.exchange(false); }
  // Between startRtmp and stopRtmp. The controlling thread.
  bool Started() const { return m_started; }
  State state() const;
  size_t QueuedAudio() const { return m_audioQueue.Size(); }
  size_t QueuedVideo() const { return m_videoQueue.Size(); }

  // Where this publisher's events go (`output`: which of the two it is);
  // before startRtmp. Its statistics, from any thread without a lock.
  void SetEventSink(EventSink* sink, PlenovaOutput output);
  void CollectStatistics(PlenovaOutputStatistics* out) const;

  // Time from arrival to the RTMP library's send call, per medium, counted
  // by the send thread since the last startRtmp. Readable from any thread.
  const LatencyStats& AudioLatency() const { return m_audioLatency; }
  const LatencyStats& VideoLatency() const { return m_videoLatency; }

 private:
  // The nine library functions, resolved by name.
  struct WendrelApi {
    WendrelPushMediaSample PushMediaSample = nullptr;
    WendrelStop Stop = nullptr;
    WendrelStart Start = nullptr;
    WendrelSetMediaType SetMediaType = nullptr;
    WendrelRelease Release = nullptr;
    WendrelSetLocalIP SetLocalIP = nullptr;
    WendrelInitialize Initialize = nullptr;
    WendrelDeleteFME DeleteFME = nullptr;
    WendrelGetFME GetFME = nullptr;
  };
  // A sample taken from a queue; ReturnUnit hands its block back to the
  // pool, and a unit dropped otherwise frees it.
  using Unit = std::unique_ptr<RtmpDataUnit>;
  // What one step of sending did.
  enum class Sent { kSome, kNone, kConnectionLost };
  // Why a connection could not be made or was lost: the client's message
  // and its code.
  struct Failure {
    const char* message = "";
    int code = 0;
  };

  // Records a new state, logs it and tells the client; nothing when the
  // state does not change. Send thread (and startRtmp/stopRtmp).
  void SetState(State state, uint32_t attempt, uint32_t delay_ms, const std::string& reason);

  // Callers hold m_mutex.
  bool LoadLibraryLocked();
  void FreeLibraryLocked();
  bool AllResolvedLocked() const;
  void LogSettingsLocked();
  void RefreshUrlValidityLocked();
  // New parameter sets for the next announcement.
  void StoreMediaLocked(const uint8_t* spsPps, int32_t len);
  // Wakes the send thread.
  void Wake();

  // Send thread.
  bool Connect(Failure* failure);
  bool Announce();
  void Disconnect();
  // What the send thread does last: disconnect, give every sample back.
  void FinishSending();
  // A failed connection: the next try after RetryDelayMs.
  uint32_t ScheduleRetry(uint32_t now, const Failure& failure);
  // Up to kMaxSendsPerStep samples, the older first.
  Sent SendQueued();
  // False when a key frame could not be sent (the connection is lost).
  bool SendUnit(Unit& unit, bool audio);
  // The 100-ns times of a picture and of an AAC frame at `ms`, on the
  // connection's frame grids.
  uint64_t VideoTime(uint64_t ms);
  uint64_t AudioTime(uint64_t ms);
  // `timestamp` in 100-ns units.
  bool Push(const RtmpDataUnit& unit, bool audio, uint64_t timestamp);
  void ReturnUnit(Unit unit);

  const std::string m_libraryName;
  const Mode m_mode;
  bool m_started = false;  // startRtmp ran, stopRtmp not yet; the controlling thread

  // Guards the settings, local address and port, hooks, pool and the library
  // with its functions. Taken briefly by client threads (initialisation),
  // the sync thread (UpdateRtmp) and the send thread, which copies what it
  // needs and never holds it during a library call. Lock order: m_mutex,
  // m_handleMutex, queue mutexes, pool.
  mutable platform::Mutex m_mutex;
  RtmpPublishParam m_settings{};
  bool m_mediaChanged = false;  // the settings' media were not announced yet
  char m_localIp[16] = {};
  uint16_t m_localPort = 0;
  void* m_p3 = nullptr;          // PlenovaMessageCallback
  MemoryPool* m_pool = nullptr;  // borrowed
  platform::DynamicLibrary m_library;
  WendrelApi m_api;

  // Guards m_handle: the send thread sets and clears it, RequestStop stops
  // it. Held while RequestStop interrupts, never while the send thread
  // waits for the server.
  std::mutex m_handleMutex;
  void* m_handle = nullptr;

  // Read without m_mutex by the sync thread.
  std::atomic<void*> m_p2{nullptr};  // PlenovaSampleCallback
  std::atomic<bool> m_urlValid{false};
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_restart{false};         // RestartTimeline asked, the send thread takes it
  std::atomic<bool> m_keyFrameWanted{false};  // set by the send thread on connecting
  // The connection sent its first key frame: media flow. Until then the
  // queues keep their newest samples. Set by the send thread.
  std::atomic<bool> m_flowing{false};
  const bool m_videoHookEnabled = true;

  RtmpDataQueue m_audioQueue;
  RtmpDataQueue m_videoQueue;

  // Wakes the send thread: new samples, new media, a stop.
  std::mutex m_wakeMutex;  // guards m_work
  std::condition_variable m_wake;
  bool m_work = false;

  // Guards m_state, read by any thread.
  mutable std::mutex m_stateMutex;
  State m_state = State::kStopped;

  // Send thread state.
  uint32_t m_attempt = 0;         // failed tries since the last connection
  uint32_t m_retryAt = 0;         // clock ms of the next try
  bool m_firstConnection = true;  // the next connection is the first of this run
  bool m_announced = false;       // the media were announced on this connection
  OutputTimeline m_timeline;
  FrameGrid m_audioGrid{FrameGrid::kAacFrame};       // samples
  FrameGrid m_videoGrid{FrameGrid::kVideoFrame90k};  // 90 kHz ticks
  std::deque<Unit> m_heldAudio;
  Unit m_nextAudio;
  Unit m_nextVideo;
  uint64_t m_videoFramesSent = 0;
  uint64_t m_audioSamplesSent = 0;
  uint64_t m_audioFailures = 0;  // consecutive
  uint64_t m_videoFailures = 0;  // consecutive, non-key frames
  LatencyStats m_audioLatency;
  LatencyStats m_videoLatency;
  OutputReporter m_report;

  // The send thread; created by startRtmp, joined by stopRtmp.
  std::unique_ptr<platform::Thread> m_thread;
};

}  // namespace plenova
