#include "tarvane/MediaBitstream.h"

namespace plenova::bitstream {
namespace {

constexpr int kAacRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                             22050, 16000, 12000, 11025, 8000,  7350};

void PutBigEndian32(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value >> 24));
  out->push_back(static_cast<uint8_t>(value >> 16));
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value));
}

}  // namespace

std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t size) {
  std::vector<NalUnit> units;
  if (data == nullptr) return units;
  // Start of the payload after each start code.
  size_t begin = 0;
  bool inside = false;
  size_t i = 0;
  while (i + 3 <= size) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      if (inside) {
        size_t end = i;
        // A 4-byte start code lends its leading zero to the previous unit.
        while (end > begin && data[end - 1] == 0) --end;
        if (end > begin) units.push_back({data + begin, end - begin, data[begin] & 0x1F});
      }
      begin = i + 3;
      inside = true;
      i += 3;
    } else {
      ++i;
    }
  }
  if (inside && size > begin) units.push_back({data + begin, size - begin, data[begin] & 0x1F});
  return units;
}

AccessUnitInfo InspectAccessUnit(const uint8_t* data, size_t size) {
  AccessUnitInfo info;
  for (const NalUnit& nal : SplitAnnexB(data, size)) {
    if (nal.type >= kNalSlice && nal.type <= kNalIdr) info.has_picture = true;
    if (nal.type == kNalIdr) info.has_idr = true;
    if (nal.type == kNalSps && info.sps.empty()) info.sps.assign(nal.data, nal.data + nal.size);
    if (nal.type == kNalPps && info.pps.empty()) info.pps.assign(nal.data, nal.data + nal.size);
  }
  return info;
}

std::vector<uint8_t> BuildAvcConfig(const std::vector<uint8_t>& sps,
                                    const std::vector<uint8_t>& pps) {
  std::vector<uint8_t> out;
  if (sps.size() < 4 || pps.empty() || sps.size() > 0xFFFF || pps.size() > 0xFFFF) return out;
  out.push_back(1);       // configurationVersion
  out.push_back(sps[1]);  // AVCProfileIndication
  out.push_back(sps[2]);  // profile_compatibility
  out.push_back(sps[3]);  // AVCLevelIndication
  out.push_back(0xFF);    // 6 reserved bits, lengthSizeMinusOne = 3
  out.push_back(0xE1);    // 3 reserved bits, one SPS
  out.push_back(static_cast<uint8_t>(sps.size() >> 8));
  out.push_back(static_cast<uint8_t>(sps.size()));
  out.insert(out.end(), sps.begin(), sps.end());
  out.push_back(1);  // one PPS
  out.push_back(static_cast<uint8_t>(pps.size() >> 8));
  out.push_back(static_cast<uint8_t>(pps.size()));
  out.insert(out.end(), pps.begin(), pps.end());
  return out;
}

std::vector<uint8_t> AnnexBToLengthPrefixed(const uint8_t* data, size_t size,
                                            bool drop_parameter_sets) {
  std::vector<uint8_t> out;
  out.reserve(size + 16);
  for (const NalUnit& nal : SplitAnnexB(data, size)) {
    if (drop_parameter_sets &&
        (nal.type == kNalSps || nal.type == kNalPps || nal.type == kNalAud)) {
      continue;
    }
    PutBigEndian32(&out, static_cast<uint32_t>(nal.size));
    out.insert(out.end(), nal.data, nal.data + nal.size);
  }
  return out;
}

int AacSamplingIndex(int rate) {
  for (int i = 0; i < static_cast<int>(std::size(kAacRates)); ++i) {
    if (kAacRates[i] == rate) return i;
  }
  return -1;
}

int AacSamplingRate(int index) {
  if (index < 0 || index >= static_cast<int>(std::size(kAacRates))) return 0;
  return kAacRates[index];
}

bool BuildAacConfig(int rate, int channels, std::array<uint8_t, 2>* config) {
  const int index = AacSamplingIndex(rate);
  if (index < 0 || channels < 1 || channels > 7 || config == nullptr) return false;
  constexpr int kObjectTypeLc = 2;
  // 5 bits object type, 4 bits frequency index, 4 bits channel configuration,
  // 3 bits of GASpecificConfig (all zero).
  (*config)[0] = static_cast<uint8_t>((kObjectTypeLc << 3) | (index >> 1));
  (*config)[1] = static_cast<uint8_t>(((index & 1) << 7) | (channels << 3));
  return true;
}

bool ParseAdts(const uint8_t* data, size_t size, AdtsHeader* header) {
  if (data == nullptr || size < 7) return false;
  if (data[0] != 0xFF || (data[1] & 0xF0) != 0xF0) return false;
  const bool has_crc = (data[1] & 0x01) == 0;
  AdtsHeader h;
  h.header_size = has_crc ? 9 : 7;
  h.object_type = ((data[2] >> 6) & 0x03) + 1;
  h.sampling_index = (data[2] >> 2) & 0x0F;
  h.channels = ((data[2] & 0x01) << 2) | ((data[3] >> 6) & 0x03);
  h.frame_length = ((data[3] & 0x03) << 11) | (data[4] << 3) | ((data[5] >> 5) & 0x07);
  if (AacSamplingRate(h.sampling_index) == 0) return false;
  if (h.frame_length < h.header_size || static_cast<size_t>(h.frame_length) > size) return false;
  if (header != nullptr) *header = h;
  return true;
}

}  // namespace plenova::bitstream
