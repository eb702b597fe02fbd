#pragma once

// AacLc: an AAC-LC encoder library with a FAAC-shaped interface.

#include <cstdint>

#define AACLC_API extern "C" __attribute__((visibility("default")))

typedef struct AacLcEncoder* AacLcHandle;

enum AacLcObjectType { kAacLcMain = 1, kAacLcLow = 2 };
enum AacLcInputFormat { kAacLcInput16Bit = 1 };
enum AacLcOutputFormat { kAacLcRaw = 0, kAacLcAdts = 1 };

struct AacLcConfiguration {
  int32_t aacObjectType;  // kAacLcLow is the only one supported
  int32_t inputFormat;    // kAacLcInput16Bit
  int32_t outputFormat;   // kAacLcAdts (default) or kAacLcRaw
  uint32_t bitRate;       // bit/s per channel; default 64000
  uint32_t bandWidth;     // Hz; 0: the encoder's choice
};

// Opens an encoder for `sample_rate` Hz and `channels` channels (1 or 2).
// Reports the input samples one encode call takes (all channels together:
// 1024 per channel) and the largest output of one call in bytes. Null on
// failure.
AACLC_API AacLcHandle aacLcEncOpen(uint32_t sample_rate, uint32_t channels, uint32_t* input_samples,
                                   uint32_t* max_output_bytes);
AACLC_API AacLcConfiguration* aacLcEncGetCurrentConfiguration(AacLcHandle handle);
// Applies a configuration; 1 on success, 0 when refused.
AACLC_API int aacLcEncSetConfiguration(AacLcHandle handle, const AacLcConfiguration* config);
// Encodes `samples` interleaved 16-bit samples (a full frame, or fewer at the
// end; 0 flushes). Returns the bytes written to `output`, 0 while the
// encoder fills its delay, -1 on error.
AACLC_API int aacLcEncEncode(AacLcHandle handle, const int16_t* input, uint32_t samples,
                             uint8_t* output, uint32_t output_size);
AACLC_API int aacLcEncClose(AacLcHandle handle);
