#pragma once

// One participant's media, produced frame by frame on the participant's own
// thread: video frame k covers media time [k * 40 ms, (k + 1) * 40 ms), audio
// frame n covers [n * 20 ms, (n + 1) * 20 ms).

#include <cstdint>

namespace plenova::record {

constexpr int kVideoFps = 25;
constexpr int kAudioFramesPerSecond = 50;
constexpr uint32_t kTicksPerSecond = 90000;

// Format of what a source produces.
struct SourceFormat {
  int width = 640;  // I420 picture size, even
  int height = 360;
  int sample_rate = 48000;  // interleaved signed 16-bit PCM
  int channels = 2;

  int SamplesPerAudioFrame() const { return sample_rate / kAudioFramesPerSecond; }
  int VideoFrameBytes() const { return width * height * 3 / 2; }
  int AudioFrameBytes() const { return SamplesPerAudioFrame() * channels * 2; }
};

class ParticipantSource {
 public:
  virtual ~ParticipantSource() = default;
  // Writes video frame `index` (VideoFrameBytes() bytes). False when the
  // source cannot produce it (decoding failed).
  virtual bool FillVideo(int64_t index, uint8_t* i420) = 0;
  // Writes audio frame `index` (AudioFrameBytes() bytes).
  virtual bool FillAudio(int64_t index, int16_t* pcm) = 0;
};

}  // namespace plenova::record
