#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "api/Plenova.h"
#include "output/AVSample.h"
#include "output/AVStreamInitParam.h"
#include "output/Mp4Writer.h"
#include "platform/Mutex.h"
#include "tarvane/Tarvane.h"

namespace plenova {

class EventSink;
class MemoryPool;

// The MP4 half of the output dispatcher: the writer, the description its
// files get and a start that waits for the engine. The dispatcher checks
// what its callers hand in; this class takes it as given.
class Mp4Output {
 public:
  Mp4Output(Mp4RecorderApi api, Mp4Writer::Mode mode);
  // Finishes the files (the writer's destructor) while the pool still stands.
  ~Mp4Output();
  Mp4Output(const Mp4Output&) = delete;
  Mp4Output& operator=(const Mp4Output&) = delete;

  // The description of later files and the pool (borrowed; outlives the
  // dispatcher) samples are copied from.
  void SetDescription(const AVStreamInitParam& param, MemoryPool* pool);
  // An engine start on a `width` x `height` canvas: a running file goes on
  // on the new timeline, or ends when the canvas differs; a start that
  // waited for the engine begins.
  void EngineStarted(int32_t width, int32_t height);
  // Remembers `path` (non-empty, fits its field) for EngineStarted.
  void SetUrl(const char* path);
  // Opens `path` (non-empty, fits its field) now; -1 when it cannot be
  // opened.
  int Start(const char* path);
  // Calls off a start that waits for the engine, or finishes the running
  // file behind its queued samples; -1 when there is neither.
  int Stop();
  // Finishes the running file and forgets a waiting start.
  void Uninit();
  // A start waits for the engine or a recording runs. Any thread.
  bool Requested() const { return m_mp4Pending || m_mp4Writer->IsRecording(); }

  // Queues a copy of the (checked) sample for the running file. Sync thread.
  void Write(const AVSample& sample);
  // New rates (checked by the dispatcher) for later files.
  void UpdateRates(int32_t channels, int32_t sampling_per_bits, int32_t sampling_rate, int32_t fps);
  void SetParameterSets(const uint8_t* spsPps, int32_t len) {
    m_mp4Writer->SetParameterSets(spsPps, len);
  }
  // True once after a file started: it begins at the next picture.
  bool TakeKeyFrameRequest() { return m_keyFrameWanted.exchange(false); }

  void SetStateCallback(int32_t streamid, Mp4RecordStateCallback callback) {
    m_mp4Writer->SetStateCallback(streamid, callback);
  }
  void SetEventSink(EventSink* sink) { m_mp4Writer->SetEventSink(sink); }
  void CollectStatistics(PlenovaOutputStatistics* out) const {
    m_mp4Writer->CollectStatistics(out);
  }
  Mp4Writer& Writer() { return *m_mp4Writer; }

 private:
  // Guards every member up to the atomics. Taken briefly by client threads
  // and the sync thread (Write, UpdateRates); never held around the
  // writer's work.
  platform::Mutex m_mutex;
  MemoryPool* m_pool = nullptr;  // borrowed
  Mp4VideoDesc m_video{0, 0, 0, 0, kTarvaneCodecH264, kTarvanePixelI420};
  Mp4AudioDesc m_audio{kTarvaneCodecAac, 0, 0, 0, 0};
  bool m_mp4UrlSet = false;  // a start waits for the engine
  char m_mp4Url[256] = {};

  std::atomic<bool> m_mp4Pending{false};      // mirrors m_mp4UrlSet
  std::atomic<bool> m_keyFrameWanted{false};  // a new MP4 file starts

  std::unique_ptr<Mp4Writer> m_mp4Writer;
};

}  // namespace plenova
