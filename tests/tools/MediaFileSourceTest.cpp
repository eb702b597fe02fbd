#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "tests/tools/ToolTestSupport.h"
#include "tools/plenova-record/MediaFileSource.h"

namespace plenova::record {
namespace {

using testing::RunCommand;
using testing::TempDir;

// A 2-second file: 320x240 test pattern at 25 fps and a 440 Hz tone at
// 44.1 kHz mono, made by the ffmpeg program. Lossless, so pixels are exact.
class MediaFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("talk.mkv");
    const testing::CommandResult r = RunCommand(
        "ffmpeg -nostdin -hide_banner -loglevel error -f lavfi -i testsrc=size=320x240:rate=25 "
        "-f lavfi -i sine=frequency=440:sample_rate=44100 -t 2 -c:v ffv1 -c:a pcm_s16le -ac 1 -y " +
        path_ + " 2>&1");
    ASSERT_EQ(r.status, 0) << r.output;
  }

  std::unique_ptr<MediaFileSource> Open(SourceFormat format) {
    std::string error;
    auto source = MediaFileSource::Open(path_, format, &error);
    EXPECT_NE(source, nullptr) << error;
    return source;
  }

  TempDir dir_;
  std::string path_;
};

SourceFormat Wide() { return testing::Format(640, 360, 48000, 2); }

uint8_t Luma(const std::vector<uint8_t>& i420, int width, int x, int y) {
  return i420[y * width + x];
}

TEST_F(MediaFile, PicturesAreLetterboxedIntoTheChosenSizeAndFollowMediaTime) {
  const SourceFormat format = Wide();
  auto source = Open(format);
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(source->HasVideo());
  EXPECT_TRUE(source->HasAudio());
  std::vector<uint8_t> first(format.VideoFrameBytes());
  std::vector<uint8_t> later(format.VideoFrameBytes());
  ASSERT_TRUE(source->FillVideo(0, first.data()));
  ASSERT_TRUE(source->FillVideo(30, later.data()));
  // 4:3 into 16:9: a 480x360 picture centred, black bars of 80 columns.
  for (int y : {10, 180, 350}) {
    EXPECT_EQ(Luma(first, 640, 20, y), 16) << y;
    EXPECT_EQ(Luma(first, 640, 620, y), 16) << y;
  }
  int lit = 0;
  for (int x = 90; x < 550; x += 10) lit += Luma(first, 640, x, 60) > 40 ? 1 : 0;
  EXPECT_GT(lit, 20) << "the test pattern's colour bars fill the middle";
  // The pattern moves: frame 30 differs from frame 0 inside the picture.
  int changed = 0;
  for (int y = 0; y < 360; ++y) {
    for (int x = 80; x < 560; ++x)
      changed += Luma(first, 640, x, y) != Luma(later, 640, x, y) ? 1 : 0;
  }
  EXPECT_GT(changed, 500);
  // Chroma planes of the bars are inside the buffer and black at the edges.
  const size_t luma = 640 * 360;
  EXPECT_EQ(first[luma + 10], 128);
  EXPECT_EQ(first[luma + luma / 4 + 10], 128);
}

TEST_F(MediaFile, SoundIsConvertedToTheTargetRateAndChannelsAndTheFileLoops) {
  const SourceFormat format = Wide();
  auto source = Open(format);
  ASSERT_NE(source, nullptr);
  std::vector<int16_t> frame(format.SamplesPerAudioFrame() * format.channels);
  std::vector<int16_t> second_one;
  std::vector<int16_t> after_loop;
  for (int n = 0; n < 150; ++n) {  // three seconds from a two-second file
    ASSERT_TRUE(source->FillAudio(n, frame.data()));
    if (n < 50) second_one.insert(second_one.end(), frame.begin(), frame.end());
    if (n >= 110 && n < 140) after_loop.insert(after_loop.end(), frame.begin(), frame.end());
    for (size_t i = 0; i + 1 < frame.size(); i += 2)
      ASSERT_EQ(frame[i], frame[i + 1]) << "mono copied to both";
  }
  EXPECT_NEAR(testing::ToneFrequency(second_one, 2, 48000), 440, 3);
  EXPECT_NEAR(testing::ToneFrequency(after_loop, 2, 48000), 440, 3);
  // Video keeps coming after the end as well.
  std::vector<uint8_t> picture(format.VideoFrameBytes());
  ASSERT_TRUE(source->FillVideo(80, picture.data()));
  int lit = 0;
  for (int x = 90; x < 550; x += 10) lit += Luma(picture, 640, x, 60) > 40 ? 1 : 0;
  EXPECT_GT(lit, 20);
}

TEST_F(MediaFile, AFileWithoutSoundGivesPicturesAndSilence) {
  const std::string silent = dir_.File("silent.mkv");
  ASSERT_EQ(
      RunCommand(
          "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v ffv1 -y " +
          silent)
          .status,
      0);
  std::string error;
  auto source = MediaFileSource::Open(silent, Wide(), &error);
  ASSERT_NE(source, nullptr) << error;
  EXPECT_FALSE(source->HasAudio());
  std::vector<int16_t> pcm(Wide().SamplesPerAudioFrame() * 2, 77);
  ASSERT_TRUE(source->FillAudio(0, pcm.data()));
  EXPECT_TRUE(std::all_of(pcm.begin(), pcm.end(), [](int16_t s) { return s == 0; }));
  std::vector<uint8_t> picture(Wide().VideoFrameBytes());
  ASSERT_TRUE(source->FillVideo(40, picture.data()));  // past the end: looped
  EXPECT_GT(Luma(picture, 640, 320, 60), 40);
}

}  // namespace
}  // namespace plenova::record
