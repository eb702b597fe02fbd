#pragma once

#include <cstdint>

namespace plenova {

class AVSynBuffer;
class IAVStreaming;
class MemoryPool;

// Settings of the sync controller, filled by the recorder.
struct AVSynCtlParam {
  int32_t audio_frame_duration = 0;  // 90000 / mixer frames per second (not used)
  int32_t audio_bitrate = 0;
  int32_t channels = 0;
  int32_t sampling_per_bits = 0;
  int32_t sampling_rate = 0;
  int32_t video_bitrate = 0;
  int32_t fps = 0;  // output frame rate
  int32_t height = 0;
  int32_t video_frame_duration = 0;  // 90000 / fps
  int32_t width = 0;
  AVSynBuffer* synBuffer = nullptr;
  IAVStreaming* streaming = nullptr;
  int32_t waitMaxTime = 0;  // AAC frames audio may be missing
};

// The A/V sync controller: a thread that releases encoded samples from the
// sync buffer, audio first, and writes them to the dispatcher. Operations in
// virtual-table order.
class IAVSynCtl {
 public:
  // Does not stop the thread: call StopSynThread first.
  virtual ~IAVSynCtl() = default;
  virtual void InitIAVSynCtl(const AVSynCtlParam* param, MemoryPool* pool) = 0;
  virtual void StartSynThread() = 0;
  virtual void StopSynThread() = 0;
  virtual void Reserved4() {}
  virtual void Reserved5() {}
  // Length of one AAC frame in 90 kHz units (1920 at 48 kHz). Called by the
  // AAC encoder when it opens.
  virtual void SetAudioFrameDuration(int32_t duration) = 0;
  // The stamp of the last video sample written minus that of the last audio
  // sample, in ms (0 before both). Any thread.
  virtual int32_t AvOffsetMs() { return 0; }
};

}  // namespace plenova
