#include "recorder/PlenovaImp.h"

#include "log/PlenovaLog.h"

namespace plenova {

PlenovaImp::PlenovaImp() {
  PLN_LOG_ERROR("MeetingMessage start");
  PLN_LOG_ERROR("MeetingMessage end");
}

PlenovaImp::~PlenovaImp() {
  PLN_LOG_ERROR("MeetingMessage start");
  {
    platform::MutexLock video(m_video_layout_lock);
    platform::MutexLock audio(m_audio_layout_lock);
  }
  PLN_LOG_ERROR("MeetingMessage end");
}

IUpdateStreamInterface* PlenovaImp::GetUpdateStreamInterface() { return this; }

int PlenovaImp::PlenovaInit(void* p1, void* p2, void* p3) {
  PLN_LOG_MESSAGE("MeetingMessage start");
  if (p1 != nullptr) m_p1 = p1;
  if (p2 != nullptr) m_p2 = p2;
  if (p3 != nullptr) m_p3 = p3;
  PLN_LOG_MESSAGE("MeetingMessage end");
  return 0;
}

int PlenovaImp::PlenovaUnint() {
  platform::MutexLock lock(m_control_lock);
  PLN_LOG_ERROR("_Plenova_ Terminate Start ");
  if (m_started) {
    m_running = false;
    m_layout_given = false;
    m_started = false;
    m_stream_init_done = false;
    m_first_audio_update = true;
    m_first_video_update = true;
  }
  PLN_LOG_ERROR("_Plenova_ Terminate Success ");
  return 0;
}

// The operations below arrive with the engine components.

void PlenovaImp::UpdateAudioStreamInfo(AudioStreamInfoUpdate*) {
  PLN_LOG_WARNING("not available in this build");
}
void PlenovaImp::UpdateVideoStreamInfo(VideoStreamInfoUpdate*) {
  PLN_LOG_WARNING("not available in this build");
}
void PlenovaImp::UpdatePictureStreamInfo(PictureStreamInfoUpdate*) {
  PLN_LOG_WARNING("not available in this build");
}
void PlenovaImp::SetAuidoParam(AudioParam*) { PLN_LOG_WARNING("not available in this build"); }
void PlenovaImp::SetVideoParam(VideoParam*) { PLN_LOG_WARNING("not available in this build"); }
int PlenovaImp::StartMp4Record(const char*) {
  PLN_LOG_WARNING("not available in this build");
  return -1;
}
int PlenovaImp::StopMp4Record() {
  PLN_LOG_WARNING("not available in this build");
  return -1;
}
int PlenovaImp::SetMp4RecordCallback(int, Mp4RecordStateCallback) {
  PLN_LOG_WARNING("not available in this build");
  return -1;
}
int PlenovaImp::PushAudioFrame(int, int, int, void*, int, uint64_t, const char*) {
  PLN_SITE_WARNING("File:%s,Line=%05d  Function: %s:Can't Push Data,Plenoav has not start or Has stoped!!!");
  return -1;
}
int PlenovaImp::PushVideoFrame(int, int, const char*, int, void*, int, uint64_t, uint32_t) {
  PLN_SITE_ERROR("File:%s,Line=%05d  Function: %s:Can't Push Data,Plenoav has not start or Has stoped!!!");
  return -1;
}
int PlenovaImp::StopRecord() {
  PLN_LOG_WARNING("not available in this build");
  return -1;
}
int PlenovaImp::StartRecord(const char*) {
  PLN_LOG_WARNING("not available in this build");
  return -1;
}

}  // namespace plenova
