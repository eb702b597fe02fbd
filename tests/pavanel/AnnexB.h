#pragma once

// Reading H.264 Annex B byte streams in the encoder tests.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pavanel_test {

enum NalType { kNalSlice = 1, kNalIdr = 5, kNalSei = 6, kNalSps = 7, kNalPps = 8 };

struct NalUnit {
  size_t start;       // offset of the start code
  size_t start_code;  // 3 or 4 bytes
  size_t payload;     // offset of the NAL header byte
  size_t size;        // bytes from the header byte to the next start code
  int type;
};

// The NAL units of `length` bytes at `data`, in order. Bytes before the
// first start code are ignored.
std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t length);

// The types of the units, in order.
std::vector<int> NalTypes(const std::vector<NalUnit>& units);

}  // namespace pavanel_test
