#include "tests/pavanel/H264Decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace pavanel_test {

H264Decoder::H264Decoder() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (codec == nullptr) {
    return;
  }
  libavptr::CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) {
    return;
  }
  // One thread: pictures leave in the order the decoder finishes them, with
  // no frame-threading delay that would hide reordering.
  context->thread_count = 1;
  if (avcodec_open2(context.get(), codec, nullptr) < 0) {
    return;
  }
  m_frame.reset(av_frame_alloc());
  m_packet.reset(av_packet_alloc());
  if (m_frame && m_packet) {
    m_context = std::move(context);
  }
}

H264Decoder::~H264Decoder() = default;

bool H264Decoder::Decode(const uint8_t* data, int length, int64_t pts,
                         std::vector<DecodedPicture>* pictures) {
  if (!ok() || av_new_packet(m_packet.get(), length) < 0) {
    return false;
  }
  std::copy(data, data + length, m_packet->data);
  m_packet->pts = pts;
  m_packet->dts = pts;
  const int sent = avcodec_send_packet(m_context.get(), m_packet.get());
  av_packet_unref(m_packet.get());
  return sent >= 0 && Receive(pictures);
}

bool H264Decoder::Flush(std::vector<DecodedPicture>* pictures) {
  return ok() && avcodec_send_packet(m_context.get(), nullptr) >= 0 && Receive(pictures);
}

bool H264Decoder::Receive(std::vector<DecodedPicture>* pictures) {
  for (;;) {
    const int got = avcodec_receive_frame(m_context.get(), m_frame.get());
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) {
      return true;
    }
    if (got < 0 || m_frame->format != AV_PIX_FMT_YUV420P) {
      return false;
    }
    DecodedPicture picture;
    picture.pts = m_frame->pts;
    picture.width = m_frame->width;
    picture.height = m_frame->height;
    auto copy_plane = [this](int plane, int w, int h, std::vector<uint8_t>* out) {
      out->resize(static_cast<size_t>(w) * h);
      for (int row = 0; row < h; ++row) {
        const uint8_t* src = m_frame->data[plane] + static_cast<ptrdiff_t>(row) * m_frame->linesize[plane];
        std::copy(src, src + w, out->data() + static_cast<size_t>(row) * w);
      }
    };
    copy_plane(0, picture.width, picture.height, &picture.y);
    copy_plane(1, picture.width / 2, picture.height / 2, &picture.u);
    copy_plane(2, picture.width / 2, picture.height / 2, &picture.v);
    pictures->push_back(std::move(picture));
    av_frame_unref(m_frame.get());
  }
}

}  // namespace pavanel_test
