#pragma once

// Bitstream helpers shared by the output libraries: H.264 Annex B access
// units (NAL splitting, parameter sets, AVC configuration record, length
// prefixes) and AAC framing (ADTS headers, AudioSpecificConfig).

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace plenova::bitstream {

constexpr int kNalSlice = 1;
constexpr int kNalIdr = 5;
constexpr int kNalSei = 6;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAud = 9;

// One NAL unit inside a caller's buffer, without its start code.
struct NalUnit {
  const uint8_t* data;
  size_t size;
  int type;  // nal_unit_type, the low five bits of the first byte
};

// The NAL units of an Annex B buffer (3- or 4-byte start codes). Bytes before
// the first start code are ignored; empty units are skipped.
std::vector<NalUnit> SplitAnnexB(const uint8_t* data, size_t size);

// What an access unit holds.
struct AccessUnitInfo {
  bool has_idr = false;
  bool has_picture = false;  // any VCL NAL unit (types 1 to 5)
  std::vector<uint8_t> sps;  // the first SPS, without start code; empty if none
  std::vector<uint8_t> pps;  // the first PPS
};
AccessUnitInfo InspectAccessUnit(const uint8_t* data, size_t size);

// AVCDecoderConfigurationRecord (4-byte lengths) for one SPS and one PPS;
// empty when the SPS is shorter than 4 bytes or the PPS is empty.
std::vector<uint8_t> BuildAvcConfig(const std::vector<uint8_t>& sps,
                                    const std::vector<uint8_t>& pps);

// The access unit with each NAL unit behind a 4-byte big-endian length.
// With `drop_parameter_sets` SPS, PPS and access unit delimiters are left out.
std::vector<uint8_t> AnnexBToLengthPrefixed(const uint8_t* data, size_t size,
                                            bool drop_parameter_sets);

// Index of `rate` in the MPEG-4 sampling frequency table, or -1.
int AacSamplingIndex(int rate);

// AudioSpecificConfig of AAC-LC at `rate` Hz with `channels` (1 to 7, the
// channel configurations); false for a rate outside the table or a bad count.
bool BuildAacConfig(int rate, int channels, std::array<uint8_t, 2>* config);

struct AdtsHeader {
  int header_size = 0;   // 7, or 9 with CRC
  int frame_length = 0;  // header included
  int object_type = 0;   // 2 = AAC-LC
  int sampling_index = 0;
  int channels = 0;
};
// True when `data` starts with a well-formed ADTS header whose frame fits in
// `size` bytes.
bool ParseAdts(const uint8_t* data, size_t size, AdtsHeader* header);

// The MPEG-4 sampling frequency for a table index, or 0.
int AacSamplingRate(int index);

}  // namespace plenova::bitstream
