#pragma once

#include <cstdint>

namespace plenova {

// The output description handed to IAVStreaming::IAVStreamInit: where to
// publish and record, and the encoded formats.
struct AVStreamInitParam {
  uint32_t param_tag = 0;   // carried, not read
  char filePath[256] = {};  // MP4 path or folder
  char localIp[16] = {};    // local address for the publishers
  uint32_t Localport = 0;   // local port (the publishers use its low 16 bits)
  char url_1[256] = {};
  char url_2[256] = {};
  char StreamName_1[256] = {};
  char StreamName_2[256] = {};
  uint32_t video_tag = 0;  // carried, not read
  struct {
    int32_t sampling_per_bits = 0;
    int32_t sampling_rate = 0;  // Hz
    int32_t channels = 0;
    int32_t audio_bitrate = 0;  // bit/s
  } audio;
  struct {
    int32_t video_height = 0;
    int32_t video_width = 0;
    int32_t gop_size = 0;       // carried, not read
    int32_t video_bitrate = 0;  // bit/s
    int32_t fps = 0;            // frames per second, above 0 when initialised
  } video;
  uint8_t EnableMp4 = 0;
  uint8_t EnableRtmp = 0;
};

}  // namespace plenova
