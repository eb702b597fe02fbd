#include <gtest/gtest.h>

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
// come out as AAC frames that a decoder reads back as the same tone.
class AudioPathAacTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(AudioPathAacTest, ToneComesOutAsDecodableAac) {
  const PathCase c = GetParam();
  MemoryPool pool;
  AVSynBuffer syn;
  syn.InitBuffer(&pool);
  SynRecord record(&syn, &pool);
  FakeSynCtl ctl;
  AudioMixImp imp;
  AudioStreamInfo info{c.channels, 16, c.rate, "talker"};
  ASSERT_TRUE(InitOneStreamPath(imp, &info, &pool, &syn, &ctl, c.fps));
  ASSERT_EQ(ctl.durations, std::vector<int32_t>{static_cast<int32_t>(1024LL * 90000 / c.rate)});

  // 1.5 s of a 1 kHz tone, one mixer frame per push and pass.
  const int frame_samples = c.rate / c.fps;  // per channel
  const int frames = c.fps * 3 / 2;
  const std::vector<int16_t> tone = SineTone(1000.0, c.rate, c.channels, frame_samples * frames);
  for (int k = 0; k < frames; ++k) {
    const auto begin = tone.begin() + static_cast<ptrdiff_t>(k) * frame_samples * c.channels;
    const std::vector<int16_t> pcm(begin, begin + frame_samples * c.channels);
    const AudioMixFrame f = MixFrame(PcmBlock(pool, pcm, 450000 + static_cast<uint64_t>(k) * 90000 / c.fps),
                                     "talker", c.channels, c.rate);
    ASSERT_TRUE(imp.IAudioMixPushData(&f));
    imp.Mixer().AudioMixStep(0x7000'0000u + static_cast<uint32_t>(k * 1000 / c.fps));
    record.Drain();
  }

  const std::vector<SynAudioFrame> out = record.Frames();
  // One AAC frame per 1024 samples of the mixed audio, less the encoder's
  // delay and the elements still buffered.
  const int mixed_samples = (frames - 1) * frame_samples;
  EXPECT_GE(static_cast<int>(out.size()), mixed_samples / 1024 - 3);
  EXPECT_LE(static_cast<int>(out.size()), mixed_samples / 1024);
  std::vector<uint8_t> adts;
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i].channels, c.channels);
    ASSERT_EQ(out[i].rate, c.rate);
    ASSERT_GE(out[i].data.size(), 7u);
    ASSERT_EQ(out[i].data[0], 0xFF) << "ADTS on every frame";
    if (i > 0) {
      ASSERT_GT(out[i].timestamp, out[i - 1].timestamp);
    }
    adts.insert(adts.end(), out[i].data.begin(), out[i].data.end());
  }

  int channels = 0, rate = 0;
  const std::vector<float> decoded = DecodeAdts(adts, &channels, &rate);
  ASSERT_FALSE(decoded.empty());
  EXPECT_EQ(channels, c.channels);
  EXPECT_EQ(rate, c.rate);
  EXPECT_NEAR(ToneFrequency(decoded, rate), 1000.0, 10.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioPathAacTest,
                         ::testing::Values(PathCase{48000, 2, 50}, PathCase{48000, 2, 25}, PathCase{48000, 1, 50},
                                           PathCase{44100, 2, 50}, PathCase{44100, 1, 25}, PathCase{16000, 1, 50},
                                           PathCase{16000, 2, 25}, PathCase{8000, 1, 25}, PathCase{8000, 2, 50}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz" + std::to_string(info.param.channels) +
                                  "ch" + std::to_string(info.param.fps) + "fps";
                         });

}  // namespace
}  // namespace plenova::testing
