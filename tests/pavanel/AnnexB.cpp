#include "tests/pavanel/AnnexB.h"

namespace pavanel_test {

std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t length) {
  std::vector<NalUnit> units;
  for (size_t i = 0; i + 3 <= length; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const bool four = i > 0 && data[i - 1] == 0;
    const size_t start = four ? i - 1 : i;
    if (!units.empty()) {
      NalUnit& last = units.back();
      last.size = start - last.payload;
    }
    NalUnit unit{start, four ? 4u : 3u, i + 3, 0, -1};
    if (unit.payload < length) unit.type = data[unit.payload] & 0x1f;
    units.push_back(unit);
    i += 2;
  }
  if (!units.empty()) units.back().size = length - units.back().payload;
  return units;
}

std::vector<int> NalTypes(const std::vector<NalUnit>& units) {
  std::vector<int> types;
  for (const NalUnit& unit : units) types.push_back(unit.type);
  return types;
}

namespace {

// Reads Exp-Golomb codes from a NAL payload, skipping emulation prevention.
class BitReader {
 public:
  BitReader(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      if (i >= 2 && data[i] == 3 && data[i - 1] == 0 && data[i - 2] == 0) continue;
      m_bytes.push_back(data[i]);
    }
  }
  int Bit() {
    if (m_pos >= m_bytes.size() * 8) {
      m_overrun = true;
      return 0;
    }
    const int bit = (m_bytes[m_pos / 8] >> (7 - m_pos % 8)) & 1;
    ++m_pos;
    return bit;
  }
  uint32_t Ue() {
    int zeros = 0;
    while (Bit() == 0 && !m_overrun && zeros < 32) ++zeros;
    uint32_t value = 0;
    for (int i = 0; i < zeros; ++i) value = (value << 1) | static_cast<uint32_t>(Bit());
    return (1u << zeros) - 1 + value;
  }
  bool overrun() const { return m_overrun; }

 private:
  std::vector<uint8_t> m_bytes;
  size_t m_pos = 0;
  bool m_overrun = false;
};

}  // namespace

int SliceTypeOf(const uint8_t* data, const NalUnit& unit) {
  BitReader reader(data + unit.payload + 1, unit.size > 0 ? unit.size - 1 : 0);
  reader.Ue();  // first_mb_in_slice
  const uint32_t slice_type = reader.Ue();
  return reader.overrun() ? -1 : static_cast<int>(slice_type % 5);
}

}  // namespace pavanel_test
