#pragma once

#include <cstdint>

#include "api/Plenova.h"
#include "common/MemoryPool.h"
#include "platform/Mutex.h"

namespace plenova {

// The recorder object behind both public interfaces. It owns the memory pool
// and the engine components, holds the client's settings and layouts, and
// drives the components. Client calls may come from several threads.
class PlenovaImp : public IUpdateStreamInterface, public IPlenova {
 public:
  PlenovaImp();
  ~PlenovaImp() override;
  PlenovaImp(const PlenovaImp&) = delete;
  PlenovaImp& operator=(const PlenovaImp&) = delete;

  // IUpdateStreamInterface
  void UpdateAudioStreamInfo(AudioStreamInfoUpdate* info) override;
  void UpdateVideoStreamInfo(VideoStreamInfoUpdate* info) override;
  void UpdatePictureStreamInfo(PictureStreamInfoUpdate* info) override;

  // IPlenova
  IUpdateStreamInterface* GetUpdateStreamInterface() override;
  int PlenovaInit(void* p1, void* p2, void* p3) override;
  int PlenovaUnint() override;
  void SetAuidoParam(AudioParam* param) override;
  void SetVideoParam(VideoParam* param) override;
  int StartMp4Record(const char* path) override;
  int StopMp4Record() override;
  int SetMp4RecordCallback(int streamid, Mp4RecordStateCallback callback) override;
  int PushAudioFrame(int channels, int sampling_per_bits, int sampling_rate, void* buffer,
                     int buflen, uint64_t stamptime, const char* streamId) override;
  int PushVideoFrame(int source_w, int source_h, const char* streamId, int fps, void* buffer,
                     int buflen, uint64_t stamptime, uint32_t extra) override;
  int StopRecord() override;
  int StartRecord(const char* url) override;

  // For tests: the client pointers from PlenovaInit and the engine state.
  void* p1() const { return m_p1; }
  void* p2() const { return m_p2; }
  void* p3() const { return m_p3; }
  bool started() const { return m_started; }
  MemoryPool& pool() { return m_pool; }

 private:
  MemoryPool m_pool;

  // Video and picture layout updates, video frame intake, destructor.
  platform::Mutex m_video_layout_lock;
  // Audio layout updates, audio frame intake, destructor.
  platform::Mutex m_audio_layout_lock;
  // SetAuidoParam and SetVideoParam.
  platform::Mutex m_param_lock;
  // Engine start (taken inside a layout lock) and PlenovaUnint.
  platform::Mutex m_control_lock;

  bool m_audio_param_ok = false;
  bool m_video_param_ok = false;
  bool m_started = false;
  bool m_stream_init_done = false;
  bool m_first_audio_update = true;
  bool m_first_video_update = true;
  bool m_first_picture_update = true;
  bool m_layout_given = false;
  bool m_running = false;

  void* m_p1 = nullptr;
  void* m_p2 = nullptr;
  void* m_p3 = nullptr;
};

}  // namespace plenova
