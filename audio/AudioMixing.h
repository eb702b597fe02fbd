#pragma once

#include <cstdint>
#include <span>

namespace plenova {

// The arithmetic of one mixer frame: interleaved 16-bit PCM of the streams
// that delivered samples for the frame's span, summed into `out`. No input
// gives silence; one input passes unchanged; several are summed with a gain
// that starts at 1 for each frame, drops on overload so that the sample
// clips exactly at the limit (32767 or -32768), and recovers by 1/32 of its
// distance to 1 per sample. Every input holds at least out.size() samples
// (the rest are not read).
// Returns how many samples lowered the gain. Pure; any thread.
int MixPcm16Frame(std::span<const std::span<const int16_t>> inputs, std::span<int16_t> out);

}  // namespace plenova
