#pragma once

// The records the encoders hand to the sync buffer (AVSynBuffer::PutVideo,
// PutAudio). The spans are borrowed for the call: the buffer copies them.

#include <cstdint>
#include <span>

namespace plenova {

// One H.264 access unit from the video encoder.
struct EncodedVideoSample {
  std::span<const uint8_t> data;  // Annex B
  uint64_t timestamp = 0;         // 90 kHz media stamp
  int32_t fps = 0;                // rate the encoder produced it at
  bool isKeyFrame = false;
  std::span<const uint8_t> parameterSets;  // the stream's SPS and PPS, Annex B
  uint32_t tick = 0;                       // arrival (engine clock, ms) of what it shows
};

// One AAC frame from the audio encoder.
struct EncodedAudioSample {
  std::span<const uint8_t> data;
  uint64_t timestamp = 0;  // 90 kHz media stamp
  int32_t channels = 0;
  int32_t bitsPerSample = 0;
  int32_t samplingRate = 0;     // Hz
  int32_t framesPerSecond = 0;  // mixer frames per second
  uint32_t tick = 0;            // arrival (engine clock, ms) of what it carries
};

}  // namespace plenova
