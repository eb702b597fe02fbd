#pragma once

#include <cstdint>
#include <string>

#include "output/IAVStreaming.h"
#include "output/Mp4Output.h"
#include "output/RtmpOutput.h"
#include "platform/Mutex.h"
#include "tarvane/Tarvane.h"
#include "wendrel/Wendrel.h"

namespace plenova {

class MemoryPool;

// Where encoded samples leave the engine: every sample from the sync stage
// goes to up to two RTMP publishers and to the MP4 writer, each of which
// works on its own thread and places the sample by its own 90 kHz stamp.
// Starting and stopping an output never waits for a server or a disk. The
// dispatcher checks what its callers hand in and routes it to its RTMP half
// (RtmpOutput) and its MP4 half (Mp4Output).
class AVStreamingImp : public IAVStreaming {
 public:
  // Strings are refused when they do not fit their 256-byte fields.
  static constexpr size_t kMaxText = 256;

  // Whether the publishers and the MP4 writer work on threads of their own,
  // or a test drives them (PublisherForTest, Mp4WriterForTest).
  enum class Threads { kOwn, kCallerDrives };

  // `rtmpLibraryName` is the RTMP library both publishers load.
  explicit AVStreamingImp(Mp4RecorderApi mp4,
                          const std::string& rtmpLibraryName = kWendrelLibraryName,
                          Threads threads = Threads::kOwn);
  ~AVStreamingImp() override;
  AVStreamingImp(const AVStreamingImp&) = delete;
  AVStreamingImp& operator=(const AVStreamingImp&) = delete;

  // `pool` is borrowed; the recorder keeps it alive while the dispatcher
  // lives. An engine start (reinit 0) begins the outputs asked for before
  // it and keeps running ones going on the new timeline; a running MP4
  // recording whose canvas differs from the new one is finished first. A
  // URL change (reinit 1) restarts publishing on the new URLs.
  void IAVStreamInit(const AVStreamInitParam* param, MemoryPool* pool, void* p2, void* p3,
                     uint8_t reinit) override;
  bool UninitIAVStreaming() override;
  // Opens the file at once (state 4 and -1 when it cannot be opened).
  int StartMp4Record(const char* path) override;
  // Also cancels a start that waits for the engine. Returns at once; the
  // file is finished behind its queued samples.
  int StopMp4Record() override;
  int SetMp4Url(const char* path) override;
  int SetMp4RecordCallback(int32_t streamid, Mp4RecordStateCallback callback) override;
  // Starts publishing (connecting on the publishers' threads) and returns
  // at once; -1 only for a URL that is not an RTMP URL or does not fit.
  int StartRecord(const char* url) override;
  // Returns within about a second whatever the servers do.
  int StopRecord() override;
  int SetRecordUrl(const char* url) override;
  bool WriteData(const AVSample* sample) override;
  // New parameter sets or rates: announced to the publishers on their
  // connections, and to the MP4 writer.
  void IAVStreamUpdata(const uint8_t* spsPps, int32_t len, int32_t channels,
                       int32_t sampling_per_bits, int32_t sampling_rate, int32_t fps) override;
  void AVStreamingSetSpsPpsInfo(const uint8_t* spsPps, int32_t len) override;
  bool Mp4RecordRequested() override;
  void SetEventSink(EventSink* sink) override;
  void CollectStatistics(PlenovaOutputStatistics* outputs, int count) override;
  bool RtmpRequested() override;
  bool TakeKeyFrameRequest() override;

  // For tests that drive the outputs (Threads::kCallerDrives); `index` 1 or 2.
  Mp4Writer& Mp4WriterForTest() { return m_mp4.Writer(); }
  RtmpStreaming& PublisherForTest(int index) { return m_rtmp.Publisher(index); }

 private:
  RtmpOutput m_rtmp;

  // Guards m_firstSps. Taken briefly by the sync thread (IAVStreamInit's
  // callers) and the encoding thread (AVStreamingSetSpsPpsInfo, under the
  // encoder's lock); never held around an output's work.
  platform::Mutex m_mutex;
  bool m_firstSps = true;

  // Declared last: destroyed first, finishing its files while the pool and
  // everything above still stand.
  Mp4Output m_mp4;
};

}  // namespace plenova
