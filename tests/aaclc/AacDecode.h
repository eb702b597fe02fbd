#pragma once

#include <cstdint>
#include <vector>

namespace plenova::testing {

// Interleaved 16-bit sine tone of `frequency` Hz, `samples_per_channel` long,
// the same in every channel.
std::vector<int16_t> SineTone(double frequency, int sample_rate, int channels,
                              int samples_per_channel, double amplitude = 12000.0);

// Decodes concatenated ADTS frames with libavcodec's AAC decoder. Returns the
// first channel's samples, or an empty vector when the decoder refuses the
// stream. Reports the channel count and rate the decoder found.
std::vector<float> DecodeAdts(const std::vector<uint8_t>& adts, int* channels, int* sample_rate);

// Frequency of the dominant tone in `samples`, from the count of rising zero
// crossings.
double ToneFrequency(const std::vector<float>& samples, int sample_rate);

}  // namespace plenova::testing
