#pragma once

#include <cstdint>

#include "api/Plenova.h"
#include "common/PoolBufferPtr.h"
#include "common/StreamStatistics.h"

namespace plenova {

class AVSynBuffer;
class IAVSynCtl;
class MediaTimeline;
class MemoryPool;

// One pushed PCM frame handed from the recorder to the audio mixer.
struct AudioMixFrame {
  PoolBufferPtr buffer;            // len, timestamp (90 kHz) and tick set
  const char* streamId = nullptr;  // the mixer copies what it keeps
  int32_t channel = 0;
  int32_t sampling_per_bits = 0;
  int32_t sampling_rate = 0;
  int64_t reserved = 0;
};

// Set-up of the audio path, filled by the recorder from its first audio layout.
struct AudioMixInitParam {
  AudioStreamInfo* streams = nullptr;
  int32_t streamCount = 0;
  MemoryPool* pool = nullptr;
  AVSynBuffer* synBuffer = nullptr;
  IAVSynCtl* synCtl = nullptr;
  MediaTimeline* timeline = nullptr;  // borrowed; the meeting's timeline
  int32_t target_audio_frames_per_seconds = 0;
  int32_t target_audio_channels = 0;
  int32_t target_audio_sampling_rate = 0;
  int32_t target_audio_sampling_per_bits = 0;
};

// A later audio layout; the frames per second cannot change.
struct AudioMixUpdateParam {
  AudioStreamInfo* streams = nullptr;
  int32_t streamCount = 0;
  int32_t target_audio_channels = 0;
  int32_t target_audio_sampling_rate = 0;
  int32_t target_audio_sampling_per_bits = 0;
};

// The audio path as one component: mixer, AAC encoder and their thread.
// Operations in virtual-table order.
class IAudioMix {
 public:
  // The mixing thread must have been stopped.
  virtual ~IAudioMix() = default;
  virtual bool IAudioMixInit(const AudioMixInitParam* param) = 0;
  // Takes the frame and its buffer. True whenever the frame holds a buffer.
  virtual bool IAudioMixPushData(AudioMixFrame frame) = 0;
  virtual void IAudioMixUnint() = 0;
  virtual void start() = 0;
  // Returns when the mixing thread has ended.
  virtual void stop() = 0;
  virtual void UpdataAudioMixImp(const AudioMixUpdateParam* param) = 0;
  // Adds the audio path's counters and streams to `out`. Any thread.
  virtual void CollectStatistics(MixStatistics* out) { (void)out; }
};

}  // namespace plenova
