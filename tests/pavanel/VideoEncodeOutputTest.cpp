// What the encoder library produces, checked as a viewer would get it:
// decoded pictures against the input, pictures leaving the decoder in the
// order they went in, and the bitrate over ten seconds against the target.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/pavanel/EncodeHelpers.h"
#include "tests/pavanel/H264Decoder.h"
#include "tests/pavanel/TestPictures.h"

namespace pavanel_test {
namespace {

// Largest difference between a decoded plane and one level.
int MaxDeviation(const std::vector<uint8_t>& plane, int level) {
  int worst = 0;
  for (uint8_t value : plane) {
    worst = std::max(worst, std::abs(static_cast<int>(value) - level));
  }
  return worst;
}

// Feeds each output to the decoder as it comes and expects its picture back
// at once, stamped with its own index: nothing is held back or reordered.
void ExpectImmediateInOrder(H264Decoder* decoder, const Encoded& encoded, int index,
                            std::vector<DecodedPicture>* pictures) {
  const size_t before = pictures->size();
  ASSERT_TRUE(decoder->Decode(encoded.bytes.data(), static_cast<int>(encoded.bytes.size()), index,
                              pictures));
  ASSERT_EQ(pictures->size(), before + 1) << "picture " << index << " was held back";
  EXPECT_EQ(pictures->back().pts, index);
}

struct SolidCase {
  int width, height;
  uint8_t y, u, v;
};

class SolidColourTest : public ::testing::TestWithParam<SolidCase> {};

TEST_P(SolidColourTest, DecodesToTheSameColour) {
  const SolidCase c = GetParam();
  EncoderPtr encoder(VideoEncodeGeneric::Create());
  const VideoEncoderParam param = LiveParam(c.width, c.height, 25, 1000000);
  ASSERT_EQ(encoder->Open(&param, 0), 0);
  H264Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  const std::vector<uint8_t> picture = SolidPicture(c.width, c.height, c.y, c.u, c.v);
  std::vector<DecodedPicture> pictures;
  for (int i = 0; i < 5; ++i) {
    ExpectImmediateInOrder(&decoder, EncodeOne(encoder.get(), picture), i, &pictures);
  }
  for (const DecodedPicture& decoded : pictures) {
    SCOPED_TRACE("picture " + std::to_string(decoded.pts));
    ASSERT_EQ(decoded.width, c.width);
    ASSERT_EQ(decoded.height, c.height);
    EXPECT_LE(MaxDeviation(decoded.y, c.y), 3);
    EXPECT_LE(MaxDeviation(decoded.u, c.u), 3);
    EXPECT_LE(MaxDeviation(decoded.v, c.v), 3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Colours, SolidColourTest,
    ::testing::Values(SolidCase{320, 240, 16, 128, 128},     // black
                      SolidCase{640, 360, 235, 128, 128},    // white
                      SolidCase{1280, 720, 81, 90, 240},     // red
                      SolidCase{330, 186, 145, 54, 34},      // green, not a multiple of 16
                      SolidCase{1920, 1080, 41, 240, 110})); // blue, cropped rows

struct RateCase {
  int width, height, bitrate;
};

class BitrateTest : public ::testing::TestWithParam<RateCase> {};

// Ten seconds of a moving scene come out within 30% of the target, and
// every picture decodes at once in presentation order.
TEST_P(BitrateTest, TenSecondsLandNearTheTarget) {
  const RateCase c = GetParam();
  constexpr int kFps = 25;
  constexpr int kSeconds = 10;
  EncoderPtr encoder(VideoEncodeGeneric::Create());
  const VideoEncoderParam param = LiveParam(c.width, c.height, kFps, c.bitrate);
  ASSERT_EQ(encoder->Open(&param, 0), 0);
  H264Decoder decoder;
  ASSERT_TRUE(decoder.ok());
  std::vector<uint8_t> picture;
  std::vector<DecodedPicture> pictures;
  int64_t bytes = 0;
  for (int i = 0; i < kFps * kSeconds; ++i) {
    MovingPicture(c.width, c.height, i, &picture);
    const Encoded encoded = EncodeOne(encoder.get(), picture);
    ASSERT_GE(encoded.result, 0);
    bytes += static_cast<int64_t>(encoded.bytes.size());
    ExpectImmediateInOrder(&decoder, encoded, i, &pictures);
    pictures.clear();  // only the order matters here
  }
  const double bitrate = static_cast<double>(bytes) * 8.0 / kSeconds;
  EXPECT_GT(bitrate, c.bitrate * 0.7);
  EXPECT_LT(bitrate, c.bitrate * 1.3);
  RecordProperty("measured_bitrate", std::to_string(static_cast<int64_t>(bitrate)));
}

INSTANTIATE_TEST_SUITE_P(Targets, BitrateTest,
                         ::testing::Values(RateCase{320, 240, 300000}, RateCase{640, 360, 500000},
                                           RateCase{640, 360, 1500000}));

// A still scene followed by a busy one: the encoder may not spend the bits
// it saved on the still part in a burst. Over any one second the stream
// stays within what a one-second VBV buffer at the bitrate allows.
TEST(VbvTest, BusySceneAfterAStillOneStaysWithinTheBuffer) {
  constexpr int kFps = 25;
  constexpr int kBitrate = 500000;
  EncoderPtr encoder(VideoEncodeGeneric::Create());
  const VideoEncoderParam param = LiveParam(640, 360, kFps, kBitrate);
  ASSERT_EQ(encoder->Open(&param, 0), 0);
  const std::vector<uint8_t> still = SolidPicture(640, 360, 90, 120, 140);
  std::vector<uint8_t> picture;
  std::vector<int64_t> bits;
  for (int i = 0; i < kFps * 8; ++i) {
    if (i < kFps * 4) {
      picture = still;
    } else {
      MovingPicture(640, 360, i, &picture);
    }
    const Encoded encoded = EncodeOne(encoder.get(), picture);
    ASSERT_GE(encoded.result, 0);
    bits.push_back(static_cast<int64_t>(encoded.bytes.size()) * 8);
  }
  int64_t window = 0;
  int64_t worst = 0;
  for (size_t i = 0; i < bits.size(); ++i) {
    window += bits[i];
    if (i >= kFps) {
      window -= bits[i - kFps];
    }
    worst = std::max(worst, window);
  }
  // Buffer (one second) plus one second of input at the bitrate.
  EXPECT_LE(worst, 2 * kBitrate);
  RecordProperty("worst_second_bits", std::to_string(worst));
}

}  // namespace
}  // namespace pavanel_test
