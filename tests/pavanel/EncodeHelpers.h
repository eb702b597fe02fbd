#pragma once

// Driving the encoder library in tests: open with live settings, encode a
// picture and keep a copy of what came out.

#include <cstdint>
#include <memory>
#include <vector>

#include "pavanel/VideoEncodeGeneric.h"

namespace pavanel_test {

using EncoderPtr = std::unique_ptr<VideoEncodeGeneric>;

inline VideoEncoderParam LiveParam(int width, int height, int fps = 25, int bitrate = 800000) {
  return VideoEncoderParam{fps, 1, width, height, bitrate, 0};
}

struct Encoded {
  int result = -1;
  int count = 0;
  std::vector<uint8_t> bytes;
};

inline Encoded EncodeOne(VideoEncodeGeneric* encoder, const std::vector<uint8_t>& picture) {
  VideoEncoderOutput output{nullptr, 0, 0};
  Encoded encoded;
  encoded.result = encoder->Encode(picture.data(), &output, 1);
  encoded.count = output.count;
  if (output.count > 0 && output.data != nullptr)
    encoded.bytes.assign(output.data, output.data + output.length);
  return encoded;
}

}  // namespace pavanel_test
