#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "audio/AudioMixImp.h"
#include "tests/aaclc/AacDecode.h"
#include "tests/audio/AudioFakes.h"

namespace plenova::testing {
namespace {

struct PathCase {
  int32_t rate, channels, fps;
};

// PCM frames of a tone pushed into the audio path with the real AAC library
// come out as AAC frames that a decoder reads back as the same tone, at the
// time the frames' stamps say.
class AudioPathAacTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(AudioPathAacTest, ToneComesOutAsDecodableAac) {
  const PathCase c = GetParam();
  MemoryPool pool;
  AVSynBuffer syn;
  syn.InitBuffer(&pool);
  SynRecord record(&syn);
  FakeSynCtl ctl;
  MediaTimeline timeline(0);
  AudioMixImp imp;
  AudioStreamInfo info{c.channels, 16, c.rate, "talker"};
  ASSERT_TRUE(InitOneStreamPath(imp, &info, &pool, &syn, &ctl, &timeline, c.fps));
  ASSERT_EQ(ctl.durations, std::vector<int32_t>{static_cast<int32_t>(1024LL * 90000 / c.rate)});

  // 0.3 s of silence, then 1.2 s of a 1 kHz tone, one mixer frame per push
  // and pass, each pushed as it is captured.
  const int frame_samples = c.rate / c.fps;  // per channel
  const int frames = c.fps * 3 / 2;
  const int silent = c.rate * 3 / 10;
  std::vector<int16_t> tone = SineTone(1000.0, c.rate, c.channels, frame_samples * frames);
  std::fill(tone.begin(), tone.begin() + static_cast<ptrdiff_t>(silent) * c.channels, int16_t{0});
  const uint64_t origin = 450000;
  for (int k = 0; k < frames; ++k) {
    const auto begin = tone.begin() + static_cast<ptrdiff_t>(k) * frame_samples * c.channels;
    const std::vector<int16_t> pcm(begin, begin + frame_samples * c.channels);
    const auto tick = 0x7000'0000u + static_cast<uint32_t>((k + 1) * 1000 / c.fps);
    PoolBuffer* block =
        PcmBlock(pool, pcm, origin + static_cast<uint64_t>(k) * 90000 / c.fps, tick);
    ASSERT_TRUE(imp.IAudioMixPushData(
        MixFrame(AdoptPoolBuffer(block, &pool), "talker", c.channels, c.rate)));
    imp.Mixer().AudioMixStep(tick);
    record.Drain();
  }

  const std::vector<SynAudioFrame> out = record.Frames();
  // One AAC frame per 1024 samples of the mixed audio, with the priming
  // first and the last element still in the encoder.
  const int mixed_samples = frames * frame_samples;
  EXPECT_GE(static_cast<int>(out.size()), mixed_samples / 1024 - 1);
  EXPECT_LE(static_cast<int>(out.size()), mixed_samples / 1024 + 1);
  std::vector<uint8_t> adts;
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i].channels, c.channels);
    ASSERT_EQ(out[i].rate, c.rate);
    ASSERT_GE(out[i].data.size(), 7u);
    ASSERT_EQ(out[i].data[0], 0xFF) << "ADTS on every frame";
    if (i > 0) {
      // Consecutive frames, 1024 samples apart (within the 90 kHz rounding).
      ASSERT_NEAR(static_cast<double>(out[i].timestamp - out[i - 1].timestamp),
                  1024.0 * 90000 / c.rate, 1.0);
    }
    adts.insert(adts.end(), out[i].data.begin(), out[i].data.end());
  }

  int channels = 0, rate = 0;
  const std::vector<float> decoded = DecodeAdts(adts, &channels, &rate);
  ASSERT_FALSE(decoded.empty());
  EXPECT_EQ(channels, c.channels);
  EXPECT_EQ(rate, c.rate);
  EXPECT_NEAR(ToneFrequency(decoded, rate), 1000.0, 10.0);
  // Decoded sample i plays at the first frame's stamp plus i samples: the
  // tone must begin where it was pushed.
  const auto onset =
      std::find_if(decoded.begin(), decoded.end(), [](float v) { return std::abs(v) > 0.15f; });
  ASSERT_NE(onset, decoded.end());
  const double onset_s =
      static_cast<double>(static_cast<int64_t>(out[0].timestamp) - static_cast<int64_t>(origin)) /
          90000 +
      static_cast<double>(onset - decoded.begin()) / rate;
  EXPECT_NEAR(onset_s, 0.3, 0.002);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioPathAacTest,
                         ::testing::Values(PathCase{48000, 2, 50}, PathCase{48000, 2, 25},
                                           PathCase{48000, 1, 50}, PathCase{44100, 2, 50},
                                           PathCase{44100, 1, 25}, PathCase{16000, 1, 50},
                                           PathCase{16000, 2, 25}, PathCase{8000, 1, 25},
                                           PathCase{8000, 2, 50}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz" +
                                  std::to_string(info.param.channels) + "ch" +
                                  std::to_string(info.param.fps) + "fps";
                         });

}  // namespace
}  // namespace plenova::testing
