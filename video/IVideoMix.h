#pragma once

#include <cstdint>

#include "api/Plenova.h"
#include "common/PoolBufferPtr.h"
#include "common/StreamStatistics.h"

namespace plenova {

class AVSynBuffer;
class IVideoEncoderOutputs;
class MediaTimeline;
class MemoryPool;

// One pushed I420 frame handed from the recorder to the video mixer.
struct VideoMixFrame {
  PoolBufferPtr frame;  // len, timestamp (90 kHz), tick and extra (row order) set
  int32_t height = 0;
  int32_t width = 0;
  const char* streamId = nullptr;  // the mixer copies what it keeps
  int32_t fps = 0;
  int64_t reserved = 0;
};

// Set-up and update record of the video (streams are VideoStreamInfo) or
// picture (streams are PictureStreamInfo) layout.
struct VideoMixInitParam {
  void* streams = nullptr;  // VideoStreamInfo* or PictureStreamInfo*
  AVSynBuffer* synBuffer = nullptr;
  int32_t count = 0;
  int32_t target_bitrate = 0;  // bit/s
  int32_t target_h = 0;        // canvas height
  int32_t target_w = 0;        // canvas width
  MemoryPool* pool = nullptr;
  IVideoEncoderOutputs* streaming = nullptr;  // borrowed; the outputs, as the encoder sees them
  MediaTimeline* timeline = nullptr;          // borrowed; the meeting's timeline
};

// The video path as one component: compositor, picture overlay, H.264
// encoder and their two threads. Operations in virtual-table order.
class IVideoMix {
 public:
  // The threads must have been stopped.
  virtual ~IVideoMix() = default;
  virtual bool IVideoMixInit(const VideoMixInitParam* param, PlenovaCanvasCallback callback) = 0;
  virtual bool IPictureMixInit(const VideoMixInitParam* param) = 0;
  virtual void IVideoMixUnint() = 0;
  virtual void IPictureMixUnint() = 0;
  // Takes the frame and its buffer. Always false.
  virtual bool PushVideoMixData(VideoMixFrame frame) = 0;
  virtual void StartVideoMixThread() = 0;
  // Stops compositing, then encoding; returns when both threads have ended.
  virtual void StopVideoMixThread() = 0;
  virtual void UpdataVideoMixParam(const VideoMixInitParam* param) = 0;
  virtual void UpdataPictureMixParam(const VideoMixInitParam* param) = 0;
  // Adds the video path's counters and streams to `out`. Any thread.
  virtual void CollectStatistics(MixStatistics* out) { (void)out; }
};

}  // namespace plenova
