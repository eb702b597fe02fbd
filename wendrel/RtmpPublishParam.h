#pragma once

// The settings record exchanged between the engine and the RTMP publishing
// library: 896 bytes, little-endian, unset bytes zero.

#include <cstddef>
#include <cstdint>

struct RtmpPublishParam {
  int32_t video_width;        // 0
  int32_t video_height;       // 4
  int32_t fps;                // 8
  int32_t video_bitrate;      // 12, bit/s
  int32_t video_kind;         // 16, 3 (H.264)
  int32_t reserved_20;        // 20
  uint64_t media_flags;       // 24, 40 after a parameter update
  uint8_t sps_pps[256];       // 32, Annex B SPS and PPS with start codes
  int32_t sps_pps_len;        // 288
  int32_t reserved_292;       // 292
  int32_t channels;           // 296
  int32_t sampling_per_bits;  // 300
  int32_t sampling_rate;      // 304, Hz
  int32_t audio_kind;         // 308, 2 (AAC)
  int32_t audio_bitrate;      // 312, bit/s
  uint8_t aac_config[2];      // 316, AudioSpecificConfig as the engine announces it
  uint8_t reserved_318[50];   // 318
  int32_t audio_format;       // 368, 2
  char url[256];              // 372, NUL-terminated
  uint8_t reserved_628[4];    // 628
  char stream_name[256];      // 632, NUL-terminated
  uint8_t reserved_888[8];    // 888
};

static_assert(sizeof(RtmpPublishParam) == 896, "RtmpPublishParam is 896 bytes");
static_assert(offsetof(RtmpPublishParam, video_width) == 0);
static_assert(offsetof(RtmpPublishParam, video_height) == 4);
static_assert(offsetof(RtmpPublishParam, fps) == 8);
static_assert(offsetof(RtmpPublishParam, video_bitrate) == 12);
static_assert(offsetof(RtmpPublishParam, video_kind) == 16);
static_assert(offsetof(RtmpPublishParam, media_flags) == 24);
static_assert(offsetof(RtmpPublishParam, sps_pps) == 32);
static_assert(offsetof(RtmpPublishParam, sps_pps_len) == 288);
static_assert(offsetof(RtmpPublishParam, channels) == 296);
static_assert(offsetof(RtmpPublishParam, sampling_per_bits) == 300);
static_assert(offsetof(RtmpPublishParam, sampling_rate) == 304);
static_assert(offsetof(RtmpPublishParam, audio_kind) == 308);
static_assert(offsetof(RtmpPublishParam, audio_bitrate) == 312);
static_assert(offsetof(RtmpPublishParam, aac_config) == 316);
static_assert(offsetof(RtmpPublishParam, audio_format) == 368);
static_assert(offsetof(RtmpPublishParam, url) == 372);
static_assert(offsetof(RtmpPublishParam, stream_name) == 632);
