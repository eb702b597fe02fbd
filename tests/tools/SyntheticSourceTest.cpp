#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "tests/tools/ToolTestSupport.h"
#include "tools/plenova-record/SyntheticSource.h"

namespace plenova::record {
namespace {

using testing::ToneFrequency;

SourceFormat Format(int w = 320, int h = 180, int rate = 48000, int channels = 2) {
  return testing::Format(w, h, rate, channels);
}

struct Picture {
  SourceFormat format;
  std::vector<uint8_t> data;
  Yuv At(int x, int y) const {
    const size_t luma = static_cast<size_t>(format.width) * format.height;
    const size_t chroma = static_cast<size_t>(y / 2) * (format.width / 2) + x / 2;
    return {data[static_cast<size_t>(y) * format.width + x], data[luma + chroma],
            data[luma + luma / 4 + chroma]};
  }
};

Picture Frame(SyntheticSource& source, SourceFormat format, int64_t index) {
  Picture p{format, std::vector<uint8_t>(format.VideoFrameBytes())};
  EXPECT_TRUE(source.FillVideo(index, p.data.data()));
  return p;
}

// Audio frames [first, first + count) joined.
std::vector<int16_t> Sound(SyntheticSource& source, SourceFormat format, int64_t first, int count) {
  std::vector<int16_t> pcm;
  std::vector<int16_t> frame(static_cast<size_t>(format.SamplesPerAudioFrame()) * format.channels);
  for (int64_t n = first; n < first + count; ++n) {
    EXPECT_TRUE(source.FillAudio(n, frame.data()));
    pcm.insert(pcm.end(), frame.begin(), frame.end());
  }
  return pcm;
}

void ExpectColour(Yuv actual, Yuv expected) {
  EXPECT_EQ(actual.y, expected.y);
  EXPECT_EQ(actual.u, expected.u);
  EXPECT_EQ(actual.v, expected.v);
}

TEST(SyntheticSource, TwentyParticipantsHaveClearlyDifferentColours) {
  for (int a = 0; a < 20; ++a) {
    for (int b = a + 1; b < 20; ++b) {
      const Yuv ca = SyntheticSource::Colour(a);
      const Yuv cb = SyntheticSource::Colour(b);
      const int distance = std::abs(ca.y - cb.y) + std::abs(ca.u - cb.u) + std::abs(ca.v - cb.v);
      EXPECT_GE(distance, 12) << a << " vs " << b;
    }
  }
}

class SyntheticPicture : public ::testing::TestWithParam<int> {};

// Without sync marks nothing flashes, not even at frame 0.
TEST_P(SyntheticPicture, ShowsItsColourWithABarThatMoves) {
  const int index = GetParam();
  const SourceFormat format = Format();
  SyntheticSource source(index, format, false);
  const int bar_w = SyntheticSource::BarWidth(format.width);
  for (int64_t frame : {0, 1, 7, 30}) {
    SCOPED_TRACE("frame " + std::to_string(frame));
    const Picture p = Frame(source, format, frame);
    const int bar_x = SyntheticSource::BarX(frame, format.width);
    const int outside = bar_x + bar_w + 4 < format.width ? bar_x + bar_w + 4 : bar_x - 4;
    ExpectColour(p.At(outside, 100), SyntheticSource::Colour(index));
    ExpectColour(p.At(bar_x + 2, 100), SyntheticSource::kBar);
    ExpectColour(p.At(bar_x + 2, format.height - 1), SyntheticSource::kBar);
  }
  EXPECT_NE(SyntheticSource::BarX(0, format.width), SyntheticSource::BarX(1, format.width));
}

INSTANTIATE_TEST_SUITE_P(Participants, SyntheticPicture, ::testing::Values(0, 1, 9, 19));

struct ToneCase {
  int index;
  int rate;
  int channels;
};

class SyntheticTone : public ::testing::TestWithParam<ToneCase> {};

TEST_P(SyntheticTone, HasTheParticipantsFrequencyWithoutJumpsBetweenFrames) {
  const ToneCase c = GetParam();
  const SourceFormat format = Format(320, 180, c.rate, c.channels);
  SyntheticSource source(c.index, format, false);
  // One second starting at an arbitrary frame: the tone is the same anywhere.
  const std::vector<int16_t> pcm = Sound(source, format, 1234, 50);
  EXPECT_NEAR(ToneFrequency(pcm, c.channels, c.rate), SyntheticSource::ToneHz(c.index), 2.0);
  // Channels carry the same signal; neighbouring samples never jump (a phase
  // break at a frame boundary would).
  const double max_step = 2 * M_PI * SyntheticSource::ToneHz(c.index) / c.rate * 0.25 * 32767 + 2;
  for (size_t i = c.channels; i < pcm.size(); i += c.channels) {
    ASSERT_LE(std::abs(pcm[i] - pcm[i - c.channels]), max_step) << "sample " << i / c.channels;
    if (c.channels == 2) {
      ASSERT_EQ(pcm[i], pcm[i + 1]);
    }
  }
  EXPECT_NE(SyntheticSource::ToneHz(c.index), SyntheticSource::ToneHz(c.index + 1));
}

INSTANTIATE_TEST_SUITE_P(Participants, SyntheticTone,
                         ::testing::Values(ToneCase{0, 48000, 2}, ToneCase{4, 44100, 1},
                                           ToneCase{19, 16000, 2}, ToneCase{7, 22050, 2}));

TEST(SyntheticSource, FlashAndBeepStartAtTheSameMediaTimeEverySecond) {
  const SourceFormat format = Format(320, 180, 48000, 2);
  SyntheticSource source(3, format, true);
  // Media times (ms) at which a white frame starts.
  std::vector<int> flashes;
  for (int64_t k = 0; k < 75; ++k) {
    const Picture p = Frame(source, format, k);
    const Yuv centre = p.At(format.width / 2 + 1, format.height / 2);
    const Yuv corner = p.At(0, 0);
    if (centre.y == SyntheticSource::kFlash.y && corner.y == SyntheticSource::kFlash.y) {
      flashes.push_back(static_cast<int>(k * 1000 / kVideoFps));
    }
  }
  // Media times (ms) at which a loud stretch starts, and how long it lasts.
  const std::vector<int16_t> pcm = Sound(source, format, 0, 150);
  std::vector<int> beeps;
  std::vector<int> beep_lengths;
  const int loud = static_cast<int>(0.5 * 32767);
  int last_loud = -100000;
  for (size_t i = 0; i < pcm.size() / 2; ++i) {
    if (std::abs(pcm[i * 2]) < loud) continue;
    const int sample = static_cast<int>(i);
    if (sample - last_loud > 480) {  // more than 10 ms of quiet before it
      beeps.push_back(sample * 1000 / 48000);
      beep_lengths.push_back(0);
    }
    beep_lengths.back() = (sample - beeps.back() * 48) * 1000 / 48000;
    last_loud = sample;
  }
  EXPECT_EQ(flashes, (std::vector<int>{0, 1000, 2000}));
  EXPECT_EQ(beeps, flashes);
  for (int length : beep_lengths) EXPECT_NEAR(length, SyntheticSource::kBeepMs, 1);
  // The beep's pitch is its own.
  std::vector<int16_t> beep(pcm.begin() + 48000 * 2, pcm.begin() + (48000 + 1920) * 2);
  EXPECT_NEAR(ToneFrequency(beep, 2, 48000), SyntheticSource::kBeepHz, 30);
}

}  // namespace
}  // namespace plenova::record
