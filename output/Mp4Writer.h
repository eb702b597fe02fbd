#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "api/Plenova.h"
#include "common/LatencyStats.h"
#include "common/PoolBuffer.h"
#include "output/AVSample.h"
#include "output/OutputReporter.h"
#include "output/OutputTimeline.h"
#include "platform/Thread.h"
#include "tarvane/Tarvane.h"

namespace plenova {

class EventSink;
class MemoryPool;

// The MP4 recorder library's two entry points. The recorder object hands in
// the real library's functions; tests hand in a fake. Null functions mean no
// MP4 recording is available.
struct Mp4RecorderApi {
  using CreateFn = ITarvaneRecord* (*)(const char* path, const Mp4VideoDesc* video,
                                       const Mp4AudioDesc* audio);
  using DestroyFn = void (*)(ITarvaneRecord* record);
  CreateFn CreateRecord = nullptr;
  DestroyFn DestroyRecord = nullptr;
};

// Gives a recorder object back through the library that made it.
struct TarvaneRecordDeleter {
  Mp4RecorderApi::DestroyFn destroy = nullptr;
  void operator()(ITarvaneRecord* record) const {
    if (destroy != nullptr) destroy(record);
  }
};
using TarvaneRecordPtr = std::unique_ptr<ITarvaneRecord, TarvaneRecordDeleter>;

// MP4 recording on a thread of its own, so that a slow disk never holds up
// the sync thread or the live outputs. Write queues a copy of each sample in
// a bounded queue; the writer thread places it (OutputTimeline) and hands it to
// the MP4 library. A queue that overflows ends the recording with a write
// error (the file stays valid up to what was written) instead of blocking.
// Each recording has a recorder object of its own, so a file is opened at
// once while the previous one is still being finished behind its samples.
//
// States go to the client's callback through SetState alone, each at most
// once per recording and never after the recording's last state (stopped,
// write error, open failed, nothing recorded).
class Mp4Writer {
 public:
  // The state codes of the client's callback (its second value).
  enum State : int32_t {
    kNone = 0,
    kStarted = kTarvaneStarted,                  // 1: the file is open
    kStopped = kTarvaneStopped,                  // 2: the file is final and plays
    kWriteError = kTarvaneWriteError,            // 3: writing failed or could not keep up; the
                                                 //    file plays up to the failure
    kOpenFailed = kTarvaneOpenFailed,            // 4: the file could not be created
    kNothingRecorded = kTarvaneNothingRecorded,  // 5: no video key frame came; no file is kept
  };

  // Samples and bytes that may wait for the library; more fail the
  // recording. About five seconds of a meeting.
  static constexpr size_t kMaxQueuedItems = 400;
  static constexpr size_t kMaxQueuedBytes = size_t{32} << 20;
  // Audio held while a file waits for its first key frame (about 2 s).
  static constexpr size_t kMaxHeldAudio = 100;
  // On destruction, queued samples are written for at most this long; the
  // rest are dropped and the files finished.
  static constexpr uint32_t kShutdownDrainMs = 2000;

  // kOwnThread writes on the writer's thread; kCallerDrives leaves the
  // queue to ProcessOne (tests).
  enum class Mode { kOwnThread, kCallerDrives };

  explicit Mp4Writer(Mp4RecorderApi api, Mode mode = Mode::kOwnThread);
  // Writes what is queued (see kShutdownDrainMs), finishes every file and
  // waits until each is final.
  ~Mp4Writer();
  Mp4Writer(const Mp4Writer&) = delete;
  Mp4Writer& operator=(const Mp4Writer&) = delete;

  // Where this writer's events go (borrowed; null: nowhere); before the
  // first Start. Its statistics, from any thread without waiting for a
  // frame's lock.
  void SetEventSink(EventSink* sink);
  void CollectStatistics(PlenovaOutputStatistics* out) const;

  // Where this writer's states go: (streamid, state). Any thread.
  void SetStateCallback(int32_t streamid, Mp4RecordStateCallback callback);

  // Opens `path` now and records into it from the next sample on; a running
  // recording is finished first, behind the samples already queued for it.
  // 0, or -1 when the file could not be opened (kOpenFailed is reported).
  // `path` is a non-empty string (the dispatcher checked it).
  // Client threads.
  int Start(const char* path, const Mp4VideoDesc& video, const Mp4AudioDesc& audio);
  // Finishes the running recording behind its queued samples and returns at
  // once; its final state comes later. 0, or -1 when none runs.
  int Stop();
  // A recording runs: started, and neither stopped nor failed. Any thread.
  bool IsRecording() const;
  // The canvas of the running recording; false when none runs.
  bool RecordingCanvas(int32_t* width, int32_t* height) const;

  // Queues a copy of `sample` (from `pool`, borrowed) for the running
  // recording; nothing when none runs. Never waits for the library. Sync
  // thread.
  void Write(const AVSample& sample, MemoryPool* pool);
  // The stream's H.264 parameter sets (Annex B); every recording gets them
  // before its first sample.
  void SetParameterSets(const uint8_t* data, int32_t len);
  // The engine's timeline starts again (a new engine run): the running file
  // goes on from its next key frame.
  void RestartTimeline();

  // The library's state reports; registered with every recorder object.
  static void OnLibraryState(uint32_t token, uint32_t state);

  // Kind kCallerDrives: runs one queued item on the calling thread and gives
  // back the recorder objects whose files are final; false when nothing
  // waited.
  bool ProcessOne();

 private:
  // A block of the dispatcher's pool that goes back there when dropped.
  struct PoolReturn {
    PoolReturn() : pool(nullptr) {}
    explicit PoolReturn(MemoryPool* p) : pool(p) {}
    void operator()(PoolBuffer* block) const;
    MemoryPool* pool;  // borrowed; outlives the writer
  };
  using PooledBlock = std::unique_ptr<PoolBuffer, PoolReturn>;

  struct Recording;
  struct Item {
    enum class Kind { kSample, kParameterSets, kRestart, kFinish };
    Kind kind = Kind::kSample;
    Recording* recording = nullptr;
    PooledBlock block;          // kSample: bytes, 90 kHz timestamp, tick
    std::vector<uint8_t> sets;  // kParameterSets
    bool video = false;
    bool key = false;
  };
  struct Recording {
    Mp4Writer* writer = nullptr;
    uint32_t token = 0;
    TarvaneRecordPtr record;  // given back (waiting for the library's last report) by Reap
    std::string path;
    int32_t width = 0, height = 0;
    // Guarded by m_mutex.
    bool opening = false;  // Start has not finished opening it
    State state = kNone;
    bool over = false;  // its last state was reported
    bool finish_queued = false;
    bool library_done = false;  // the library will not report again
    bool finished = false;      // LiveStop was called
    // Writer thread only.
    OutputTimeline timing;
    std::deque<Item> held_audio;
  };

  // Records `state` for `recording` (null: a recording that never came to
  // be) and reports it to the client. A last state ends the recording: its
  // queued samples are dropped and its file is finished. Any thread; takes
  // m_mutex, never held while the client is called.
  void SetState(Recording* recording, State state);
  // The host's event for a recording's new state.
  void ReportEvent(State state, const std::string& path);
  void QueueFinishLocked(Recording* recording);
  void DropSamplesLocked(const Recording* recording);
  // Writer thread.
  void Run();
  void Process(Item& item);
  void ProcessSample(Item& item);
  void Send(Recording& recording, const Item& item, uint64_t ms);
  void Finish(Recording& recording);
  // Gives back the recorder objects whose files are final.
  void Reap(bool all);

  const Mp4RecorderApi m_api;
  const Mode m_mode;

  // Serialises Start and Stop (client threads).
  std::mutex m_controlMutex;

  // Guards the queue, the list of recordings, the running recording, the
  // recordings' shared fields and the stop flag. Taken by the sync thread
  // (Write), client threads, the writer thread and the library's finishing
  // threads (through OnLibraryState). Held briefly; never around a library
  // call or the client's callback.
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<Item> m_queue;
  size_t m_queuedBytes = 0;
  std::list<std::unique_ptr<Recording>> m_recordings;
  Recording* m_current = nullptr;
  std::vector<uint8_t> m_parameterSets;
  bool m_stopping = false;
  bool m_reapPending = false;
  uint64_t m_overflows = 0;

  // Guards the client's callback and stream id.
  std::mutex m_callbackMutex;
  Mp4RecordStateCallback m_callback = nullptr;
  int32_t m_streamId = 0;

  // Writer thread only: time from arrival to the library's write call, per
  // recording.
  LatencyStats m_audioLatency;
  LatencyStats m_videoLatency;
  uint64_t m_writeFailures = 0;

  OutputReporter m_report;

  platform::Thread m_thread;
};

}  // namespace plenova
