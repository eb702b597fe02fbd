#pragma once

// Component doubles for the recorder: each records its calls into one shared
// journal, so tests can check what reached a component (and that a refused
// call reached none).

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/IAudioMix.h"
#include "common/MemoryPool.h"
#include "output/IAVStreaming.h"
#include "sync/IAVSynCtl.h"
#include "recorder/PlenovaImp.h"
#include "video/IVideoMix.h"

namespace plenova::testing {

class Journal {
 public:
  void Add(std::string entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  bool Empty() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.empty();
  }
  int Count(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& e : entries_) n += e.rfind(prefix, 0) == 0;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> entries_;
};

class FakeAudioMix : public IAudioMix {
 public:
  explicit FakeAudioMix(Journal* journal) : journal_(journal) {}
  bool IAudioMixInit(const AudioMixInitParam*) override {
    journal_->Add("audio.init");
    return true;
  }
  bool IAudioMixPushData(const AudioMixFrame* frame) override {
    journal_->Add("audio.push " + std::string(frame->streamId) + " " +
                  std::to_string(frame->buffer->len));
    pool->PutEmptyBuffer(frame->buffer);
    return true;
  }
  void IAudioMixUnint() override { journal_->Add("audio.unint"); }
  void start() override { journal_->Add("audio.start"); }
  void stop() override { journal_->Add("audio.stop"); }
  void UpdataAudioMixImp(const AudioMixUpdateParam* p) override {
    journal_->Add("audio.update " + std::to_string(p->streamCount));
  }
  MemoryPool* pool = nullptr;

 private:
  Journal* journal_;
};

class FakeVideoMix : public IVideoMix {
 public:
  explicit FakeVideoMix(Journal* journal) : journal_(journal) {}
  bool IVideoMixInit(const VideoMixInitParam* p, PlenovaCanvasCallback) override {
    last_record = *p;
    journal_->Add("video.init " + std::to_string(p->count));
    return true;
  }
  bool IPictureMixInit(const VideoMixInitParam* p) override {
    journal_->Add("picture.init " + std::to_string(p->count));
    return true;
  }
  void IVideoMixUnint() override { journal_->Add("video.unint"); }
  void IPictureMixUnint() override { journal_->Add("picture.unint"); }
  bool PushVideoMixData(const VideoMixFrame* frame) override {
    journal_->Add("video.push " + std::string(frame->streamId) + " " +
                  std::to_string(frame->frame->extra));
    pool->PutEmptyBuffer(frame->frame);
    return false;
  }
  void StartVideoMixThread() override { journal_->Add("video.start"); }
  void StopVideoMixThread() override { journal_->Add("video.stop"); }
  void UpdataVideoMixParam(const VideoMixInitParam* p) override {
    last_record = *p;
    journal_->Add("video.update " + std::to_string(p->count));
  }
  void UpdataPictureMixParam(const VideoMixInitParam* p) override {
    last_picture_record = *p;
    journal_->Add("picture.update " + std::to_string(p->count));
  }
  VideoMixInitParam last_record{};
  VideoMixInitParam last_picture_record{};
  MemoryPool* pool = nullptr;

 private:
  Journal* journal_;
};

class FakeSynCtl : public IAVSynCtl {
 public:
  explicit FakeSynCtl(Journal* journal) : journal_(journal) {}
  void InitIAVSynCtl(const AVSynCtlParam* p, MemoryPool*) override {
    last_param = *p;
    journal_->Add("sync.init");
  }
  void StartSynThread() override { journal_->Add("sync.start"); }
  void StopSynThread() override { journal_->Add("sync.stop"); }
  void SetAudioFrameDuration(int32_t d) override {
    journal_->Add("sync.duration " + std::to_string(d));
  }
  AVSynCtlParam last_param{};

 private:
  Journal* journal_;
};

class FakeStreaming : public IAVStreaming {
 public:
  explicit FakeStreaming(Journal* journal) : journal_(journal) {}
  void IAVStreamInit(const AVStreamInitParam* p, MemoryPool*, void*, void*,
                     uint8_t reinit) override {
    last_param = *p;
    journal_->Add("out.init " + std::to_string(reinit));
  }
  bool UninitIAVStreaming() override { return true; }
  int StartMp4Record(const char* path) override {
    journal_->Add(std::string("out.startmp4 ") + path);
    mp4_requested = true;
    return 0;
  }
  int StopMp4Record() override {
    journal_->Add("out.stopmp4");
    mp4_requested = false;
    return 0;
  }
  int SetMp4Url(const char* path) override {
    journal_->Add(std::string("out.mp4url ") + path);
    mp4_requested = true;
    return 0;
  }
  int SetMp4RecordCallback(int32_t id, Mp4RecordStateCallback) override {
    journal_->Add("out.callback " + std::to_string(id));
    return 0;
  }
  int StartRecord(const char* url) override {
    journal_->Add(std::string("out.startrtmp ") + url);
    if (start_rtmp_result == 0) rtmp_requested = true;
    return start_rtmp_result;
  }
  int StopRecord() override {
    journal_->Add("out.stoprtmp");
    if (stop_rtmp_result == 0) rtmp_requested = false;
    return stop_rtmp_result;
  }
  int SetRecordUrl(const char* url) override {
    journal_->Add(std::string("out.rtmpurl ") + url);
    rtmp_requested = true;
    return 0;
  }
  bool WriteData(const AVSample*) override { return true; }
  void IAVStreamUpdata(const uint8_t*, int32_t, int32_t, int32_t, int32_t, int32_t) override {}
  void AVStreamingSetSpsPpsInfo(const uint8_t*, int32_t) override {}
  bool Mp4RecordRequested() override { return mp4_requested; }
  bool RtmpRequested() override { return rtmp_requested; }
  bool TakeKeyFrameRequest() override { return false; }

  // Follow the results above; a test clears mp4_requested for a recording
  // that ended by itself.
  std::atomic<bool> mp4_requested{false};
  std::atomic<bool> rtmp_requested{false};
  AVStreamInitParam last_param{};
  int start_rtmp_result = 0, stop_rtmp_result = 0;

 private:
  Journal* journal_;
};

// A recorder built on the doubles, which stay reachable through the raw
// pointers (owned by the recorder).
struct FakeRecorder {
  Journal journal;
  FakeAudioMix* audio;
  FakeVideoMix* video;
  FakeSynCtl* sync;
  FakeStreaming* out;
  std::unique_ptr<PlenovaImp> recorder;

  FakeRecorder() {
    PlenovaComponents c;
    c.audio = std::make_unique<FakeAudioMix>(&journal);
    c.streaming = std::make_unique<FakeStreaming>(&journal);
    c.synCtl = std::make_unique<FakeSynCtl>(&journal);
    c.video = std::make_unique<FakeVideoMix>(&journal);
    audio = static_cast<FakeAudioMix*>(c.audio.get());
    video = static_cast<FakeVideoMix*>(c.video.get());
    sync = static_cast<FakeSynCtl*>(c.synCtl.get());
    out = static_cast<FakeStreaming*>(c.streaming.get());
    recorder = std::make_unique<PlenovaImp>(std::move(c));
    audio->pool = &recorder->pool();
    video->pool = &recorder->pool();
  }
};

}  // namespace plenova::testing
