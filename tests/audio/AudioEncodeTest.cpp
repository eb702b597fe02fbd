#include "audio/AudioEncode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/AudioMixImp.h"
#include "common/LatencyStats.h"
#include "tests/audio/AudioFakes.h"

namespace plenova::testing {
namespace {

// The encode buffer (48000 Hz stereo 16-bit: 1024 samples per channel make
// 4096-byte elements) and the encoder on the fake AAC library, feeding a
// real sync buffer.
class AudioEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFakeAac();
    syn_.InitBuffer(&pool_);
    ASSERT_TRUE(buffer_.InitBuffer(&pool_));
    buffer_.SetElementFrames(1024);
  }

  // Puts a frame of `bytes` bytes whose 16-bit samples count on from `first`.
  // The frame's arrival tick is its stamp unless given.
  bool Put(int32_t bytes, uint64_t stamp, int16_t first, int32_t channels = 2, int32_t rate = 48000,
           std::optional<uint32_t> tick = std::nullopt) {
    std::vector<int16_t> samples(static_cast<size_t>(bytes / 2));
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<int16_t>(first + i);
    PoolBuffer* block =
        PcmBlock(pool_, samples, stamp, tick.value_or(static_cast<uint32_t>(stamp)));
    return buffer_.PutData(AdoptPoolBuffer(block, &pool_), channels, rate, 16);
  }

  // Takes the head element, checking the state the buffer answers.
  std::unique_ptr<PoolBuffer, void (*)(PoolBuffer*)> Take(AudioEncodeBufferData::State expected,
                                                          int32_t channels = 2,
                                                          int32_t rate = 48000) {
    std::unique_ptr<AudioEncodeBufferData> r = buffer_.GetData(channels, rate, 16);
    EXPECT_NE(r, nullptr);
    EXPECT_EQ(r ? r->state : -1, expected);
    return {r ? r->buffer.release() : nullptr, DestroyPoolBuffer};
  }

  static int16_t SampleAt(const PoolBuffer& b, int i) {
    int16_t s;
    std::memcpy(&s, b.data + i * 2, 2);
    return s;
  }

  PoolBuffer* Element(int16_t first, uint64_t stamp, uint32_t tick) {
    return PcmBlock(pool_, std::vector<int16_t>(2048, first), stamp, tick);
  }

  MemoryPool pool_;
  AVSynBuffer syn_;
  SynRecord record_{&syn_};
  AudioEncodeBuffer buffer_;
  FakeSynCtl ctl_;
};

// --- The encode buffer: mixed frames re-cut into AAC input elements ----------

// Frames put in order, then the elements taken in order: each is first
// asked for in another format (the buffer names the element's format and
// keeps it), then in its own. `left` elements stay (an incomplete tail).
struct Frame {
  int32_t bytes;
  uint64_t stamp;
  int16_t first;                                // the frame's samples count on from here
  std::optional<uint32_t> tick = std::nullopt;  // its stamp unless given
  int32_t channels = 2, rate = 48000;
};
struct Cut {
  uint64_t stamp;
  std::vector<std::pair<int, int>> samples;  // index, value
  uint32_t tick = 0;                         // 0: not checked
  int32_t channels = 2, rate = 48000, len = 4096;
};
struct CutCase {
  const char* name;
  std::vector<Frame> frames;
  std::vector<Cut> elements;
  int left;
};
class AudioEncodeBufferTest : public AudioEncodeTest,
                              public ::testing::WithParamInterface<CutCase> {};

TEST_P(AudioEncodeBufferTest, ElementsHoldConsecutiveAudioStampedByTheirFirstSample) {
  const CutCase& c = GetParam();
  for (const Frame& f : c.frames)
    ASSERT_TRUE(Put(f.bytes, f.stamp, f.first, f.channels, f.rate, f.tick));
  for (size_t k = 0; k < c.elements.size(); ++k) {
    const Cut& e = c.elements[k];
    std::unique_ptr<AudioEncodeBufferData> other = buffer_.GetData(3 - e.channels, 32000, 16);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->state, AudioEncodeBufferData::kFormatDiffers) << k;
    EXPECT_EQ(other->channels, e.channels) << k;
    EXPECT_EQ(other->sampling_rate, e.rate) << k;
    auto element = Take(AudioEncodeBufferData::kReady, e.channels, e.rate);
    ASSERT_NE(element, nullptr) << k;
    EXPECT_EQ(element->len, e.len) << k;
    EXPECT_EQ(element->timestamp, e.stamp) << k;
    if (e.tick != 0) {
      EXPECT_EQ(element->tick, e.tick) << k;
    }
    for (const auto& [i, value] : e.samples)
      EXPECT_EQ(SampleAt(*element, i), value) << k << "@" << i;
  }
  EXPECT_EQ(buffer_.ElementCount(), c.left);
  if (c.left > 0) Take(AudioEncodeBufferData::kNotReady);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, AudioEncodeBufferTest,
    ::testing::Values(
        // 3840-byte frames (1920 samples each) into 4096-byte elements:
        // 3840, then 256 + 3584, then 512 + 3328; an element carries the
        // tick of the frame that began it.
        CutCase{"BackToBack",
                {{3840, 90000, 0}, {3840, 91800, 1920}, {3840, 93600, 3840}, {3840, 95400, 5760}},
                {{90000, {{0, 0}, {1533, 1533}, {2047, 2047}}, 90000},
                 {91920, {{0, 2048}, {2047, 4095}}, 91800},
                 {93840, {{0, 4096}, {2047, 6143}}, 93600}},
                1},
        // Nothing was mixed for 60 ms: the tail is completed with silence and
        // the next frame begins an element with its own stamp.
        CutCase{"AGapCompletesTheTailWithSilence",
                {{3840, 90000, 100}, {3840, 97200, 5000}, {3840, 99000, 6920}},
                {{90000, {{1919, 2019}, {1920, 0}, {2047, 0}}}, {97200, {{0, 5000}, {2047, 7047}}}},
                1},
        // The oldest arrival tick of the frames an element holds, also when a
        // later frame arrived first; an unknown tick is skipped.
        CutCase{"OldestTick",
                {{2048, 1000, 0, 500u},
                 {2048, 1960, 1024, 420u},
                 {2048, 2920, 2048, kUnknownTick},
                 {2048, 3880, 3072, 610u},
                 {2048, 4840, 4096, 700u}},
                {{1000, {}, 420}, {2920, {}, 610}},
                1},
        // 25 frames a second: a 7680-byte frame spans two elements, each
        // stamped 1920 ticks after the one before.
        CutCase{"LongFramesAreSplit",
                {{7680, 90000, 0}, {7680, 93600, 3840}},
                {{90000, {{0, 0}}}, {91920, {{0, 2048}}}, {93840, {{0, 4096}}}},
                1},
        // A format change completes the old tail with silence; 16000 Hz mono
        // elements are 2048 bytes and fill from their start.
        CutCase{
            "AFormatChangeCompletesTheOldTail",
            {{3840, 90000, 100}, {640, 91800, 5, {}, 1, 16000}, {1408, 93600, 325, {}, 1, 16000}},
            {{90000, {{1919, 2019}, {1920, 0}, {2047, 0}}},
             {91800, {{0, 5}, {320, 325}}, 0, 1, 16000, 2048}},
            0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- The encoder ---------------------------------------------------------------

// Opening tells the sync controller the frame length and the buffer the
// element size (other formats: AudioPathAacTest); frames then carry the
// time of the audio in them.
TEST_F(AudioEncodeTest, FramesAreStampedWithTheTimeOfTheAudioTheyCarry) {
  AudioEncode enc(&FakeAacLibrary());
  ASSERT_EQ(enc.aac_encode_init(&ctl_, &buffer_, &syn_, 2, 48000, 16), 0);
  EXPECT_EQ(ctl_.durations, std::vector<int32_t>{1920});
  EXPECT_EQ(buffer_.ElementBytes(AudioFormat{2, 48000, 16}), 4096);
  EXPECT_EQ(FakeAac().config.aacObjectType, kAacLcLow);
  EXPECT_EQ(FakeAac().config.inputFormat, kAacLcInput16Bit);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(
        enc.aac_encode_frame(
            AdoptPoolBuffer(Element(static_cast<int16_t>(i), 100000 + 1920 * i, 500 + i), &pool_),
            50),
        0);
  }
  // Four frames out of five inputs: the priming one frame before the first
  // element, then elements 0, 1 and 2, each with its own stamp and tick.
  const std::vector<SynAudioFrame> frames = record_.Frames();
  ASSERT_EQ(frames.size(), 4u);
  for (int j = 0; j < 4; ++j) {
    const SynAudioFrame& f = frames[static_cast<size_t>(j)];
    const int input = j - 1;
    EXPECT_EQ(PayloadIndex(f), input);
    EXPECT_EQ(f.timestamp, static_cast<uint64_t>(100000 + 1920 * input));
    EXPECT_EQ(f.tick, 500u + static_cast<uint32_t>(std::max(input, 0)));
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.bits, 16);
    EXPECT_EQ(f.rate, 48000);
    EXPECT_EQ(f.fps, 50);
  }
  EXPECT_EQ(FakeAac().encoded_samples, std::vector<uint32_t>(5, 2048));
}

TEST_F(AudioEncodeTest, RefusedFormatLeavesTheEncoderClosedAndElementsAreDropped) {
  FakeAac().refuse_open = true;
  AudioEncode enc(&FakeAacLibrary());
  EXPECT_EQ(enc.aac_encode_init(&ctl_, &buffer_, &syn_, 2, 22222, 16), -1);
  EXPECT_TRUE(ctl_.durations.empty());
  PoolBuffer* element = Element(1, 1, 1);
  const int32_t capacity = element->capacity;
  const int idle = pool_.IdleCount(capacity);
  EXPECT_EQ(enc.aac_encode_frame(AdoptPoolBuffer(element, &pool_), 50), 0);
  EXPECT_EQ(pool_.IdleCount(capacity), idle + 1);
  EXPECT_EQ(record_.Count(), 0u);
}

// The whole path stepped by hand on the fake encoder, its format changed
// midway: one mixer frame is pushed as it is captured and mixed at once
// (no target delay).
TEST_F(AudioEncodeTest, APathFormatChangeDrainsOldElementsThenFollowsTheNewFormat) {
  MediaTimeline timeline(0);
  AudioMixImp imp(&FakeAacLibrary());
  AudioStreamInfo info{2, 16, 48000, "a"};
  ASSERT_TRUE(InitOneStreamPath(imp, &info, &pool_, &syn_, &ctl_, &timeline, 50));
  uint64_t stamp = 100000;
  uint32_t tick = 0xFFFF'FF00u;
  auto cycle = [&](int32_t channels, int32_t rate, int16_t tag) {
    const auto samples = static_cast<size_t>(imp.Mixer().AudioFrameSize() / 2);
    tick += 20;
    PoolBuffer* block = PcmBlock(pool_, std::vector<int16_t>(samples, tag), stamp, tick);
    stamp += 1800;
    ASSERT_TRUE(
        imp.IAudioMixPushData(MixFrame(AdoptPoolBuffer(block, &pool_), "a", channels, rate)));
    imp.Mixer().AudioMixStep(tick);
    record_.Drain();
  };
  for (int i = 0; i < 10; ++i) cycle(2, 48000, static_cast<int16_t>(i + 1));
  info = AudioStreamInfo{1, 16, 16000, "a"};
  const AudioMixUpdateParam update{&info, 1, 1, 16000, 16};
  imp.UpdataAudioMixImp(&update);
  for (int i = 0; i < 20; ++i) cycle(1, 16000, static_cast<int16_t>(100 + i));

  const FakeAacState& fake = FakeAac();
  ASSERT_EQ(fake.open_rates, (std::vector<uint32_t>{48000, 16000}));
  EXPECT_EQ(fake.open_channels, (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(fake.open_handles, 1);
  // Ten stereo frames were mixed: 38400 bytes make 9 full elements and a
  // tail completed with silence, and all ten went through the stereo encoder.
  size_t stereo_calls = 0;
  while (stereo_calls < fake.encoded_samples.size() && fake.encoded_samples[stereo_calls] == 2048)
    ++stereo_calls;
  EXPECT_EQ(stereo_calls, 10u);
  // 20 mono frames of 640 bytes make 6 complete elements of 2048 bytes.
  EXPECT_EQ(fake.encoded_samples.size() - stereo_calls, 6u);

  // Each encoder puts out its priming and all but its last input.
  std::vector<SynAudioFrame> frames = record_.Frames();
  ASSERT_EQ(frames.size(), 10u + 5u - 1u);
  EXPECT_EQ(frames[8].channels, 2);
  EXPECT_EQ(frames[9].channels, 1);
  EXPECT_EQ(frames[9].rate, 16000);
  EXPECT_EQ(PayloadFirstSample(frames[10]), 100);
  // The sync controller keeps the length it was told at initialisation.
  EXPECT_EQ(ctl_.durations, std::vector<int32_t>{1920});
}

}  // namespace
}  // namespace plenova::testing
