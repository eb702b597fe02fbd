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
