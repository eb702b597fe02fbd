#pragma once

// libavcodec's H.264 decoder for checking what the encoder produces: one
// access unit in, the pictures it releases out.

#include <cstdint>
#include <memory>
#include <vector>

#include "libavptr/LibavPtr.h"

namespace pavanel_test {

struct DecodedPicture {
  int64_t pts = 0;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;  // planes without row padding
};

class H264Decoder {
 public:
  H264Decoder();
  ~H264Decoder();
  bool ok() const { return m_context != nullptr; }

  // Decodes one access unit stamped `pts`; appends the pictures the decoder
  // releases to `pictures`. False on a decoding error.
  bool Decode(const uint8_t* data, int length, int64_t pts, std::vector<DecodedPicture>* pictures);
  // Drains the pictures still held.
  bool Flush(std::vector<DecodedPicture>* pictures);

 private:
  bool Receive(std::vector<DecodedPicture>* pictures);

  libavptr::CodecContextPtr m_context;
  libavptr::FramePtr m_frame;
  libavptr::PacketPtr m_packet;
};

}  // namespace pavanel_test
