#pragma once

// Component doubles for the recorder: each keeps what the recorder last
// handed it and counts the calls a test looks at.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "audio/IAudioMix.h"
#include "common/MemoryPool.h"
#include "recorder/PlenovaImp.h"
#include "sync/IAVSynCtl.h"
#include "tests/support/RecordingStreaming.h"
#include "video/IVideoMix.h"

namespace plenova::testing {

class FakeAudioMix : public IAudioMix {
 public:
  bool IAudioMixInit(const AudioMixInitParam*) override { return true; }
  // The frame's buffer goes back to the recorder's pool.
  bool IAudioMixPushData(AudioMixFrame) override { return true; }
  void IAudioMixUnint() override {}
  void start() override {}
  void stop() override {}
  void UpdataAudioMixImp(const AudioMixUpdateParam*) override {}
};

class FakeVideoMix : public IVideoMix {
 public:
  bool IVideoMixInit(const VideoMixInitParam* p, PlenovaCanvasCallback) override {
    last_record = *p;
    return true;
  }
  bool IPictureMixInit(const VideoMixInitParam* p) override {
    picture_inits.push_back(p->count);
    return true;
  }
  void IVideoMixUnint() override {}
  void IPictureMixUnint() override {}
  bool PushVideoMixData(VideoMixFrame) override { return false; }
  void StartVideoMixThread() override {}
  void StopVideoMixThread() override {}
  void UpdataVideoMixParam(const VideoMixInitParam* p) override { last_record = *p; }
  void UpdataPictureMixParam(const VideoMixInitParam* p) override {
    last_picture_record = *p;
    ++picture_updates;
  }
  VideoMixInitParam last_record{};
  VideoMixInitParam last_picture_record{};
  std::vector<int32_t> picture_inits;  // each one's picture count
  int picture_updates = 0;
};

class FakeSynCtl : public IAVSynCtl {
 public:
  void InitIAVSynCtl(const AVSynCtlParam*, MemoryPool*) override {}
  void StartSynThread() override {}
  void StopSynThread() override {}
  void SetAudioFrameDuration(int32_t) override {}
};

// Answers start_rtmp_result and stop_rtmp_result to the RTMP calls and
// takes every MP4 call; keeps whether each output is asked for.
class FakeStreaming : public RecordingStreaming {
 public:
  int StartMp4Record(const char*) override {
    mp4_requested = true;
    return 0;
  }
  int StopMp4Record() override {
    mp4_requested = false;
    return 0;
  }
  int StartRecord(const char*) override {
    if (start_rtmp_result == 0) rtmp_requested = true;
    return start_rtmp_result;
  }
  int StopRecord() override {
    ++rtmp_stops;
    if (stop_rtmp_result == 0) rtmp_requested = false;
    return stop_rtmp_result;
  }
  bool Mp4RecordRequested() override { return mp4_requested; }
  bool RtmpRequested() override { return rtmp_requested; }

  std::atomic<bool> mp4_requested{false};
  std::atomic<bool> rtmp_requested{false};
  int start_rtmp_result = 0, stop_rtmp_result = 0;
  int rtmp_stops = 0;
};

// A recorder built on the doubles, which stay reachable through the raw
// pointers (owned by the recorder).
struct FakeRecorder {
  FakeVideoMix* video;
  FakeStreaming* out;
  std::unique_ptr<PlenovaImp> recorder;

  FakeRecorder() {
    PlenovaComponents c;
    c.audio = std::make_unique<FakeAudioMix>();
    c.streaming = std::make_unique<FakeStreaming>();
    c.synCtl = std::make_unique<FakeSynCtl>();
    c.video = std::make_unique<FakeVideoMix>();
    video = static_cast<FakeVideoMix*>(c.video.get());
    out = static_cast<FakeStreaming*>(c.streaming.get());
    recorder = std::make_unique<PlenovaImp>(std::move(c));
  }
};

}  // namespace plenova::testing
