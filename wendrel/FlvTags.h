#pragma once

// FLV bytes as an RTMP publisher sends them: the file header, then tags of
// script data (onMetaData), AVC video and AAC audio.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace plenova::flv {

constexpr uint8_t kTagAudio = 8;
constexpr uint8_t kTagVideo = 9;
constexpr uint8_t kTagScript = 18;

// The 9-byte file header and the first (zero) previous-tag size.
std::vector<uint8_t> FileHeader(bool audio, bool video);

// Appends one tag: 11-byte header with `timestamp_ms` (24 bits plus the
// extension byte), the payload, and the 4-byte previous-tag size.
void AppendTag(std::vector<uint8_t>* out, uint8_t type, uint32_t timestamp_ms,
               const std::vector<uint8_t>& payload);

struct Metadata {
  int width = 0;
  int height = 0;
  double fps = 0;
  int video_bitrate = 0;  // bit/s
  int audio_bitrate = 0;  // bit/s
  int sample_rate = 0;
  int channels = 0;
  bool has_video = false;
  bool has_audio = false;
};
// The onMetaData script payload (AMF0).
std::vector<uint8_t> MetadataPayload(const Metadata& metadata);

// Video payloads: the sequence header carries the AVC configuration record,
// a frame carries length-prefixed NAL units.
std::vector<uint8_t> AvcSequenceHeader(const std::vector<uint8_t>& avc_config);
std::vector<uint8_t> AvcFrame(const std::vector<uint8_t>& nal_units, bool key);

// Audio payloads: the sequence header carries the AudioSpecificConfig, a
// frame one raw AAC frame.
std::vector<uint8_t> AacSequenceHeader(const std::array<uint8_t, 2>& config, int channels);
std::vector<uint8_t> AacFrame(const uint8_t* data, size_t size, int channels);

}  // namespace plenova::flv
