#include "aaclc/AacLcEncoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/aaclc/AacDecode.h"

namespace plenova::testing {
namespace {

struct Format {
  uint32_t rate;
  uint32_t channels;
};

struct Encoded {
  std::vector<uint8_t> bytes;
  std::vector<int> frame_sizes;  // one per encode call, 0 while the encoder fills its delay
};

class Encoder {
 public:
  Encoder(uint32_t rate, uint32_t channels)
      : handle_(aacLcEncOpen(rate, channels, &input_samples_, &max_output_)) {}
  ~Encoder() { aacLcEncClose(handle_); }
  AacLcHandle handle() const { return handle_; }
  uint32_t input_samples() const { return input_samples_; }
  uint32_t max_output() const { return max_output_; }

  // Encodes `pcm` in whole frames, then drains the encoder.
  Encoded EncodeAll(const std::vector<int16_t>& pcm) {
    Encoded e;
    std::vector<uint8_t> out(max_output_);
    auto keep = [&](int n) {
      EXPECT_GE(n, 0);
      if (n > 0) e.bytes.insert(e.bytes.end(), out.begin(), out.begin() + n);
    };
    for (size_t at = 0; at + input_samples_ <= pcm.size(); at += input_samples_) {
      const int n =
          aacLcEncEncode(handle_, pcm.data() + at, input_samples_, out.data(), max_output_);
      e.frame_sizes.push_back(n);
      keep(n);
    }
    for (int n = 1, guard = 0; n > 0 && guard < 8; ++guard) {
      n = aacLcEncEncode(handle_, nullptr, 0, out.data(), max_output_);
      keep(n);
    }
    return e;
  }

 private:
  uint32_t input_samples_ = 0;
  uint32_t max_output_ = 0;
  AacLcHandle handle_;
};

class AacLcFormatTest : public ::testing::TestWithParam<Format> {};

// The wrapper's framing: 1024 samples a channel per call, the first call
// fills the encoder's delay, and every later one returns one whole ADTS
// frame whose length field is what the call returned.
TEST_P(AacLcFormatTest, EachCallGivesOneAdtsFrameOfTheReturnedLength) {
  const Format f = GetParam();
  Encoder enc(f.rate, f.channels);
  ASSERT_NE(enc.handle(), nullptr);
  EXPECT_EQ(enc.input_samples(), 1024 * f.channels);
  EXPECT_GE(enc.max_output(), 768 * f.channels);
  const Encoded e =
      enc.EncodeAll(SineTone(1000.0, static_cast<int>(f.rate), static_cast<int>(f.channels),
                             static_cast<int>(f.rate) / 4));
  ASSERT_FALSE(e.frame_sizes.empty());
  EXPECT_EQ(e.frame_sizes.front(), 0) << "the first frame only fills the encoder's delay";
  size_t at = 0;
  for (size_t call = 1; call < e.frame_sizes.size(); ++call) {
    if (e.frame_sizes[call] == 0) continue;
    ASSERT_LE(at + 7, e.bytes.size());
    ASSERT_EQ(e.bytes[at], 0xFF);
    ASSERT_EQ(e.bytes[at + 1] & 0xF6, 0xF0) << "sync word, layer 0";
    EXPECT_EQ((e.bytes[at + 2] >> 6) + 1, kAacLcLow);
    const size_t len =
        ((e.bytes[at + 3] & 3u) << 11) | (e.bytes[at + 4] << 3) | (e.bytes[at + 5] >> 5);
    EXPECT_EQ(len, static_cast<size_t>(e.frame_sizes[call])) << call;
    at += len;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, AacLcFormatTest,
                         ::testing::Values(Format{48000, 2}, Format{44100, 1}, Format{8000, 2}),
                         [](const auto& info) {
                           return std::to_string(info.param.rate) + "Hz" +
                                  std::to_string(info.param.channels) + "ch";
                         });

// Formats it cannot encode, more samples than a frame, an output smaller
// than a frame and calls without an encoder are refused.
TEST(AacLcOpenTest, RefusesWhatItCannotEncode) {
  uint32_t samples = 7, max_out = 7;
  for (const Format f : {Format{11111, 2}, Format{48000, 0}, Format{48000, 3}, Format{0, 1}}) {
    EXPECT_EQ(aacLcEncOpen(f.rate, f.channels, &samples, &max_out), nullptr)
        << f.rate << "/" << f.channels;
  }
  EXPECT_EQ(samples, 7u);
  EXPECT_EQ(aacLcEncEncode(nullptr, nullptr, 0, nullptr, 0), -1);
  EXPECT_EQ(aacLcEncClose(nullptr), -1);

  Encoder enc(48000, 2);
  std::vector<int16_t> pcm(4096);
  std::vector<uint8_t> out(enc.max_output());
  EXPECT_EQ(aacLcEncEncode(enc.handle(), pcm.data(), 2049, out.data(), enc.max_output()), -1);
  EXPECT_EQ(aacLcEncEncode(enc.handle(), pcm.data(), 2048, out.data(), enc.max_output()), 0);
  EXPECT_EQ(aacLcEncEncode(enc.handle(), pcm.data(), 2048, out.data(), 4), -1);
}

}  // namespace
}  // namespace plenova::testing
