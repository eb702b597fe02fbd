#include "audio/AudioMixing.h"

#include <algorithm>
#include <cassert>

namespace plenova {

int MixPcm16Frame(std::span<const std::span<const int16_t>> inputs, std::span<int16_t> out) {
  for ([[maybe_unused]] const std::span<const int16_t> input : inputs)
    assert(input.size() >= out.size());
  if (inputs.empty()) {
    std::fill(out.begin(), out.end(), int16_t{0});
    return 0;
  }
  if (inputs.size() == 1) {
    std::copy_n(inputs[0].begin(), out.size(), out.begin());
    return 0;
  }
  int lowered = 0;
  double gain = 1.0;
  for (size_t i = 0; i < out.size(); ++i) {
    int32_t sum = 0;
    for (const std::span<const int16_t> input : inputs) sum += input[i];
    const auto v = static_cast<int32_t>(static_cast<double>(sum) * gain);
    if (v > 32767) {
      out[i] = 32767;
      gain = 32767.0 / v;
      ++lowered;
    } else if (v < -32768) {
      out[i] = -32768;
      gain = -32768.0 / v;
      ++lowered;
    } else {
      out[i] = static_cast<int16_t>(v);
    }
    if (gain < 1.0) gain += (1.0 - gain) * 0.03125;
  }
  return lowered;
}

}  // namespace plenova
