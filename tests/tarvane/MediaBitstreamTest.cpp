#include "tarvane/MediaBitstream.h"

#include <gtest/gtest.h>

namespace plenova::bitstream {
namespace {

using Bytes = std::vector<uint8_t>;

// SPS (profile 66, level 30), PPS, IDR slice; mixed 4- and 3-byte start codes
// and a trailing zero that belongs to the next start code.
const Bytes kAccessUnit = {0, 0, 0, 1,    0x67, 66,   0xC0, 30,  0xAB,  //
                           0, 0, 1, 0x68, 0xCE, 0x3C, 0x80,             //
                           0, 0, 0, 1,    0x65, 0x88, 0x84, 0x00};

TEST(MediaBitstream, SplitsMixedStartCodesAndKeepsPayloadsIntact) {
  const auto units = SplitAnnexB(kAccessUnit.data(), kAccessUnit.size());
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(Bytes(units[0].data, units[0].data + units[0].size), Bytes({0x67, 66, 0xC0, 30, 0xAB}));
  EXPECT_EQ(Bytes(units[1].data, units[1].data + units[1].size), Bytes({0x68, 0xCE, 0x3C, 0x80}));
  // The last unit runs to the end, its trailing zero included.
  EXPECT_EQ(Bytes(units[2].data, units[2].data + units[2].size), Bytes({0x65, 0x88, 0x84, 0x00}));
  EXPECT_EQ(units[2].type, kNalIdr);
  EXPECT_TRUE(SplitAnnexB(nullptr, 10).empty());
  const Bytes no_start = {1, 2, 3, 4};
  EXPECT_TRUE(SplitAnnexB(no_start.data(), no_start.size()).empty());
}

TEST(MediaBitstream, InspectsAndConvertsAnAccessUnit) {
  const AccessUnitInfo info = InspectAccessUnit(kAccessUnit.data(), kAccessUnit.size());
  EXPECT_TRUE(info.has_idr);
  EXPECT_TRUE(info.has_picture);
  EXPECT_EQ(info.sps, Bytes({0x67, 66, 0xC0, 30, 0xAB}));
  EXPECT_EQ(info.pps, Bytes({0x68, 0xCE, 0x3C, 0x80}));

  const Bytes config = BuildAvcConfig(info.sps, info.pps);
  const Bytes expected_config = {1,    66, 0xC0, 30, 0xFF, 0xE1, 0,    5,    0x67, 66,
                                 0xC0, 30, 0xAB, 1,  0,    4,    0x68, 0xCE, 0x3C, 0x80};
  EXPECT_EQ(config, expected_config);
  EXPECT_TRUE(BuildAvcConfig({0x67, 66}, info.pps).empty());

  EXPECT_EQ(AnnexBToLengthPrefixed(kAccessUnit.data(), kAccessUnit.size(), true),
            Bytes({0, 0, 0, 4, 0x65, 0x88, 0x84, 0x00}));
  EXPECT_EQ(AnnexBToLengthPrefixed(kAccessUnit.data(), kAccessUnit.size(), false).size(),
            3 * 4 + 5 + 4 + 4u);
}

struct AacCase {
  int rate;
  int channels;
  uint8_t byte0;
  uint8_t byte1;
};

class AacConfigTest : public ::testing::TestWithParam<AacCase> {};

TEST_P(AacConfigTest, BuildsAudioSpecificConfigAndParsesTheMatchingAdts) {
  const AacCase c = GetParam();
  std::array<uint8_t, 2> config{};
  ASSERT_TRUE(BuildAacConfig(c.rate, c.channels, &config));
  EXPECT_EQ(config[0], c.byte0);
  EXPECT_EQ(config[1], c.byte1);

  // An ADTS header for a 20-byte frame of the same stream.
  const int index = AacSamplingIndex(c.rate);
  const int length = 20;
  Bytes frame = {0xFF,
                 0xF1,
                 static_cast<uint8_t>((1 << 6) | (index << 2) | (c.channels >> 2)),
                 static_cast<uint8_t>(((c.channels & 3) << 6) | (length >> 11)),
                 static_cast<uint8_t>((length >> 3) & 0xFF),
                 static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
                 0xFC};
  frame.resize(length, 0x21);
  AdtsHeader header;
  ASSERT_TRUE(ParseAdts(frame.data(), frame.size(), &header));
  EXPECT_EQ(header.header_size, 7);
  EXPECT_EQ(header.frame_length, length);
  EXPECT_EQ(header.object_type, 2);
  EXPECT_EQ(AacSamplingRate(header.sampling_index), c.rate);
  EXPECT_EQ(header.channels, c.channels);
  // A frame cut short is not taken for a whole one.
  EXPECT_FALSE(ParseAdts(frame.data(), frame.size() - 1, &header));
}

INSTANTIATE_TEST_SUITE_P(Rates, AacConfigTest,
                         ::testing::Values(AacCase{48000, 2, 0x11, 0x90},
                                           AacCase{48000, 1, 0x11, 0x88},
                                           AacCase{44100, 2, 0x12, 0x10},
                                           AacCase{16000, 1, 0x14, 0x08},
                                           AacCase{8000, 2, 0x15, 0x90}));

TEST(MediaBitstream, RefusesUnknownAacSettingsAndNonAdtsData) {
  std::array<uint8_t, 2> config{};
  EXPECT_FALSE(BuildAacConfig(44000, 2, &config));
  EXPECT_FALSE(BuildAacConfig(48000, 0, &config));
  EXPECT_FALSE(BuildAacConfig(48000, 8, &config));
  const Bytes raw = {0x21, 0x10, 0x04, 0x60, 0x8C, 0x1C, 0x00, 0x00};
  EXPECT_FALSE(ParseAdts(raw.data(), raw.size(), nullptr));
}

}  // namespace
}  // namespace plenova::bitstream
