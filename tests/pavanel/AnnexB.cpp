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

}  // namespace pavanel_test
