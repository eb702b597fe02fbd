#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/LatencyStats.h"
#include "output/RtmpDataQueue.h"
#include "platform/DynamicLibrary.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "wendrel/Wendrel.h"

namespace plenova {

class MemoryPool;

// Publishes one RTMP stream through the RTMP library, loaded at run time by
// file name. Samples are queued by PushRtmpData and sent by the publisher's
// own thread with their own media stamps, and the publisher reconnects when
// a key frame cannot be sent.
class RtmpStreaming {
 public:
  // Idle sleep of the send thread when both queues are empty, ms.
  static constexpr uint32_t kIdleSleepMs = 40;
  // Port steps: a full initialisation binds port + 1, each reconnection 13
  // more than the last.
  static constexpr uint16_t kInitPortStep = 1;
  static constexpr uint16_t kReInitPortStep = 13;
  // While pushes keep failing (connection down), the failures of audio and
  // non-key video are logged on the first and then on every 100th.
  static constexpr uint64_t kFailureLogEvery = 100;

  // Loads `libraryName` (a bare name is looked for beside the engine first).
  explicit RtmpStreaming(std::string libraryName = kWendrelLibraryName);
  // Stops the send thread, disconnects, frees the library; queued samples
  // are destroyed.
  ~RtmpStreaming();
  RtmpStreaming(const RtmpStreaming&) = delete;
  RtmpStreaming& operator=(const RtmpStreaming&) = delete;

  // Full (`full` non-zero): keeps `pool` (borrowed; outlives the publisher),
  // the hooks p2 (PlenovaSampleCallback) and p3 (PlenovaMessageCallback),
  // the local address and port, copies `settings` and connects: Initialize,
  // SetLocalIP (port + 1), Start. Not full: copies `settings` and
  // reconnects (ReInitRtmp). False when a library call fails; the library is
  // then freed so the next attempt reloads it. A full initialisation with
  // the placeholder URL (see HasValidUrl) stores the settings and returns
  // false without connecting. Client threads.
  bool InitRtmp(MemoryPool* pool, const RtmpPublishParam* settings, const char* localIp,
                uint16_t localPort, void* p2, void* p3, uint8_t full);

  // Drops any connection and connects again on port + 13, then announces the
  // media. False on any failure. Takes the publisher mutex.
  bool ReInitRtmp();

  // A parameter change: stores the values and announces the media again,
  // unless fps, length, channels, bits and rate are all unchanged, in which
  // case the library is not called. Sync thread.
  void UpdateRtmp(const uint8_t* spsPps, int32_t len, int32_t fps, int32_t channels,
                  int32_t bits, int32_t rate);

  // Stores the H.264 parameter sets and announces the media (SetMediaType);
  // on success the send thread starts taking samples. 0 or -1.
  int AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len);

  // Start and join the send thread.
  void startRtmp();
  void stopRtmp();

  // Disconnects (Stop, DeleteFME). Always true.
  bool UnintRtmp();

  // False while the URL is the placeholder "rtmp://" + local IP + "/live"
  // that stands for a publisher the client did not configure. Lock-free;
  // any thread.
  bool HasValidUrl() const;

  // Queues one sample (type 1 audio, else video); the caller keeps `data`.
  // False for bad arguments, an unconfigured URL or a library that cannot
  // be loaded. Sync thread.
  bool PushRtmpData(const uint8_t* data, int32_t len, uint64_t ts, int32_t type, uint8_t key,
                    uint32_t tick);

  // Drops any handle, frees and loads the library again. False when the
  // library or one of its functions is missing.
  bool Reloadlibrary();

  // Gives the client "Message:" + text + url through p3 when this publisher
  // is configured.
  void NotifyMessage(const char* text, int code);

  // One pass of the send thread: at most one audio and one video sample.
  // True when a queue gave a sample. The thread sleeps kIdleSleepMs when it
  // returns false.
  bool SendStep();

  // The send thread's body: SendStep while running.
  void VideoRtmpThreadFunc();

  bool IsRunning() const { return m_running.load(); }
  size_t QueuedAudio() const { return m_audioQueue.Size(); }
  size_t QueuedVideo() const { return m_videoQueue.Size(); }

  // Time from arrival to the RTMP library's send call, per medium, counted
  // by the send thread since the last startRtmp. Readable from any thread.
  const LatencyStats& AudioLatency() const { return m_audioLatency; }
  const LatencyStats& VideoLatency() const { return m_videoLatency; }

 private:
  // The library's time (100-ns units) of a sample stamped `stamp` (90 kHz).
  // Caller holds m_mutex.
  uint64_t TimeOfLocked(uint64_t stamp);
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

  // Callers hold m_mutex for all of these.
  bool LoadLibraryLocked();
  void FreeLibraryLocked();
  bool AllResolvedLocked() const;
  void DropHandleLocked();
  bool AnnounceMediaLocked();
  void LogSettingsLocked();
  void RefreshUrlValidityLocked();
  // Refreshes the URL check; an unconfigured destination is disconnected.
  bool ConfiguredLocked();
  bool PushLocked(const RtmpDataUnit& unit, uint64_t timestamp, bool audio);
  void SendVideo(const RtmpDataUnit& unit);
  void ReturnUnit(std::unique_ptr<RtmpDataUnit> unit);

  const std::string m_libraryName;

  // Guards the settings, local address and port, hooks, pool, the library
  // with its functions and the handle. Taken by client threads
  // (initialisation, start, stop), the sync thread (UpdateRtmp, reloading)
  // and the send thread around each library call and reconnection.
  // PushRtmpData does not take it (it needs only the queues and the atomics
  // below), so a slow send never holds up the sync thread. Lock order:
  // publisher mutex, queue mutexes, pool.
  mutable platform::Mutex m_mutex;
  RtmpPublishParam m_settings{};
  char m_localIp[16] = {};
  uint16_t m_localPort = 0;
  void* m_p3 = nullptr;  // PlenovaMessageCallback
  MemoryPool* m_pool = nullptr;  // borrowed
  platform::DynamicLibrary m_library;
  WendrelApi m_api;
  void* m_handle = nullptr;

  // Read without the publisher mutex by the sync thread.
  std::atomic<void*> m_p2{nullptr};  // PlenovaSampleCallback
  std::atomic<bool> m_urlValid{false};
  std::atomic<bool> m_pushResolved{false};
  std::atomic<bool> m_sending{false};
  std::atomic<bool> m_running{false};
  const bool m_videoHookEnabled = true;

  RtmpDataQueue m_audioQueue;
  RtmpDataQueue m_videoQueue;

  // Send thread state.
  uint64_t m_videoFramesSent = 0;
  uint64_t m_audioSamplesSent = 0;
  uint64_t m_audioFailures = 0;  // consecutive
  uint64_t m_videoFailures = 0;  // consecutive, non-key frames
  bool m_audioStarted = false;
  // The run's first stamp: times handed to the library count from it.
  bool m_hasStampBase = false;
  uint64_t m_stampBase = 0;
  LatencyStats m_audioLatency;
  LatencyStats m_videoLatency;

  // The send thread; created by startRtmp, joined by stopRtmp.
  std::unique_ptr<platform::Thread> m_thread;
};

}  // namespace plenova
