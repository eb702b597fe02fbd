// The encoder library's contract on the real libx264: refused settings and
// calls, the shape of the stream (parameter sets, key frames)
// and reopening.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/pavanel/AnnexB.h"
#include "tests/pavanel/EncodeHelpers.h"
#include "tests/pavanel/TestPictures.h"

namespace pavanel_test {
namespace {

const std::vector<int> kKeyFrameStart = {kNalSps, kNalPps, kNalIdr};

// Checks one encoded picture: a key frame (result 0) is SPS, PPS and IDR
// slices only; any other picture (result 1) is P slices only.
void ExpectPicture(const Encoded& encoded, bool key, int index) {
  SCOPED_TRACE("picture " + std::to_string(index));
  ASSERT_GT(encoded.count, 0);
  const std::vector<NalUnit> units = SplitAnnexB(encoded.bytes.data(), encoded.bytes.size());
  ASSERT_EQ(static_cast<int>(units.size()), encoded.count);
  ASSERT_EQ(units.front().start, 0u) << "output must begin with a start code";
  const std::vector<int> types = NalTypes(units);
  if (key) {
    EXPECT_EQ(encoded.result, 0);
    EXPECT_EQ(units.front().start_code, 4u);
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(std::vector<int>(types.begin(), types.begin() + 3), kKeyFrameStart);
    for (size_t i = 3; i < types.size(); ++i) EXPECT_EQ(types[i], kNalIdr);
  } else {
    EXPECT_EQ(encoded.result, 1);
    for (int type : types) EXPECT_EQ(type, kNalSlice);
  }
}

class StreamShapeTest : public ::testing::TestWithParam<int> {};

// At every rate: a key frame with SPS/PPS in band every two seconds, and
// only there, even across scene cuts; the first output opens with SPS, PPS
// and the IDR slice.
TEST_P(StreamShapeTest, KeyFramesEveryTwoSecondsWithParameterSets) {
  const int fps = GetParam();
  const int gop = fps * 2;
  EncoderPtr encoder(VideoEncodeGeneric::Create());
  ASSERT_NE(encoder, nullptr);
  const VideoEncoderParam param = LiveParam(320, 240, fps);
  ASSERT_EQ(encoder->Open(&param, 0), 0);
  std::vector<uint8_t> picture;
  const int total = 2 * gop + 2;
  const std::vector<uint8_t> cut = SolidPicture(320, 240, 200, 60, 180);
  for (int i = 0; i < total; ++i) {
    MovingPicture(320, 240, i, &picture);
    const bool in_cut = i >= gop / 2 && i < gop / 2 + 3;
    if (in_cut) picture = cut;
    ExpectPicture(EncodeOne(encoder.get(), picture), i % gop == 0, i);
  }
  EXPECT_EQ(encoder->FramesEncoded(), total);
}

INSTANTIATE_TEST_SUITE_P(Rates, StreamShapeTest, ::testing::Values(25, 15, 30));

struct BadSettings {
  const char* name;
  std::function<void(VideoEncoderParam*)> spoil;
};

class RefusedOpenTest : public ::testing::TestWithParam<BadSettings> {};

// Refused settings fail and change nothing: a closed
// encoder stays closed, an open one keeps encoding at its old size.
TEST_P(RefusedOpenTest, FailsAndChangesNothing) {
  VideoEncoderParam bad = LiveParam(160, 120);
  GetParam().spoil(&bad);

  EncoderPtr closed(VideoEncodeGeneric::Create());
  EXPECT_NE(closed->Open(&bad, 0), 0);
  const std::vector<uint8_t> picture = SolidPicture(160, 120, 16, 128, 128);
  EXPECT_EQ(EncodeOne(closed.get(), picture).result, -1);

  EncoderPtr open(VideoEncodeGeneric::Create());
  const VideoEncoderParam good = LiveParam(160, 120);
  ASSERT_EQ(open->Open(&good, 0), 0);
  EXPECT_EQ(EncodeOne(open.get(), picture).result, 0);
  EXPECT_NE(open->Open(&bad, 0), 0);
  const Encoded next = EncodeOne(open.get(), picture);
  EXPECT_EQ(next.result, 1) << "the open stream must go on, not restart";
  EXPECT_GT(next.count, 0);
  EXPECT_EQ(open->FramesEncoded(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RefusedOpenTest,
    ::testing::Values(BadSettings{"ZeroWidth", [](VideoEncoderParam* p) { p->width = 0; }},
                      BadSettings{"ZeroHeight", [](VideoEncoderParam* p) { p->height = 0; }},
                      BadSettings{"NegativeWidth", [](VideoEncoderParam* p) { p->width = -160; }},
                      BadSettings{"OddWidth", [](VideoEncoderParam* p) { p->width = 161; }},
                      BadSettings{"OddHeight", [](VideoEncoderParam* p) { p->height = 121; }},
                      BadSettings{"HugeSize",
                                  [](VideoEncoderParam* p) {
                                    p->width = 65536;
                                    p->height = 65536;
                                  }},
                      BadSettings{"ZeroFps", [](VideoEncoderParam* p) { p->fps = 0; }},
                      BadSettings{"NegativeFps", [](VideoEncoderParam* p) { p->fps = -25; }},
                      BadSettings{"ZeroBitrate", [](VideoEncoderParam* p) { p->bitrate = 0; }},
                      BadSettings{"BitrateInKbit", [](VideoEncoderParam* p) { p->bitrate = 800; }},
                      BadSettings{"NotI420", [](VideoEncoderParam* p) { p->input_format = 2; }},
                      BadSettings{"UnknownFlags", [](VideoEncoderParam* p) { p->flags = 4; }}),
    [](const ::testing::TestParamInfo<BadSettings>& info) { return std::string(info.param.name); });

// Open refuses without settings; Encode refuses with -1 and an empty output
// record whenever it has nothing to work with: before Open, without a
// picture, without an output record.
TEST(VideoEncodeGenericTest, RefusedCallsLeaveNoOutput) {
  const std::vector<uint8_t> picture = SolidPicture(160, 120, 16, 128, 128);
  uint8_t marker = 0;
  VideoEncoderOutput output{&marker, 3, 7};
  EncoderPtr encoder(VideoEncodeGeneric::Create());
  ::testing::internal::CaptureStderr();
  EXPECT_NE(encoder->Open(nullptr, 0), 0);
  EXPECT_EQ(encoder->Encode(picture.data(), &output, 1), -1);
  EXPECT_EQ(output.data, nullptr);
  EXPECT_EQ(output.count, 0);
  EXPECT_EQ(output.length, 0);

  const VideoEncoderParam param = LiveParam(160, 120);
  ASSERT_EQ(encoder->Open(&param, 0), 0);
  output = VideoEncoderOutput{&marker, 3, 7};
  EXPECT_EQ(encoder->Encode(nullptr, &output, 1), -1);
  EXPECT_EQ(output.count, 0);
  EXPECT_EQ(encoder->Encode(picture.data(), nullptr, 1), -1);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(encoder->FramesEncoded(), 0);
  // The refusals did not disturb the stream: it still opens with a key frame.
  ExpectPicture(EncodeOne(encoder.get(), picture), true, 0);
}

}  // namespace
}  // namespace pavanel_test
