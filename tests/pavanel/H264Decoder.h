#pragma once

// libavcodec's H.264 decoder for checking what the encoder produces: one
// access unit in, the pictures it releases out.

#include <cstdint>
#include <memory>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

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
  struct ContextDeleter { void operator()(AVCodecContext* c) const; };
  struct FrameDeleter { void operator()(AVFrame* f) const; };
  struct PacketDeleter { void operator()(AVPacket* p) const; };

  bool Receive(std::vector<DecodedPicture>* pictures);

  std::unique_ptr<AVCodecContext, ContextDeleter> m_context;
  std::unique_ptr<AVFrame, FrameDeleter> m_frame;
  std::unique_ptr<AVPacket, PacketDeleter> m_packet;
};

}  // namespace pavanel_test
