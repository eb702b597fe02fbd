// The encoder library called from two threads at once, as the engine does:
// its encoding thread encodes while its control thread reopens the encoder
// at another rate, closes it and asks for key frames.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tests/pavanel/AnnexB.h"
#include "tests/pavanel/EncodeHelpers.h"
#include "tests/pavanel/TestPictures.h"

namespace pavanel_test {
namespace {

TEST(VideoEncodeThreadTest, ControlCallsDuringEncodingAreSafe) {
  EncoderPtr encoder(VideoEncodeGeneric::Create());
  const VideoEncoderParam at25 = LiveParam(160, 120, 25, 300000);
  const VideoEncoderParam at15 = LiveParam(160, 120, 15, 300000);
  ASSERT_EQ(encoder->Open(&at25, 0), 0);
  std::atomic<bool> done{false};
  std::atomic<int> refused{0};
  std::atomic<int> malformed{0};

  // Suppress the refusal lines of Encode calls that meet a closed encoder.
  ::testing::internal::CaptureStderr();
  std::thread encoding([&] {
    std::vector<uint8_t> picture;
    for (int i = 0; i < 300; ++i) {
      MovingPicture(160, 120, i, &picture);
      const Encoded encoded = EncodeOne(encoder.get(), picture);
      if (encoded.result < 0) {
        ++refused;
        continue;
      }
      const std::vector<NalUnit> units = SplitAnnexB(encoded.bytes.data(), encoded.bytes.size());
      const bool key_shape = units.size() >= 3 && units[0].type == kNalSps;
      if (encoded.count <= 0 || (encoded.result == 0) != key_shape) ++malformed;
      encoder->FramesEncoded();
    }
    done = true;
  });
  for (int round = 0; !done; ++round) {
    encoder->RequestKeyFrame();
    if (round % 3 == 2) encoder->Close();
    // EXPECT, not ASSERT: the encoding thread must be joined either way.
    EXPECT_EQ(encoder->Open(round % 2 ? &at15 : &at25, 0), 0);
    std::this_thread::yield();
  }
  encoding.join();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(malformed.load(), 0);
  EXPECT_LT(refused.load(), 300);
}

}  // namespace
}  // namespace pavanel_test
