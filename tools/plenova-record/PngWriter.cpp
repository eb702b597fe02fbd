#include "tools/plenova-record/PngWriter.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include "libavptr/LibavPtr.h"

namespace plenova::record {

bool WriteI420AsPng(const std::string& path, const uint8_t* i420, int width, int height,
                    std::string* error) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (codec == nullptr) {
    *error = "libavcodec has no PNG encoder";
    return false;
  }
  libavptr::CodecContextPtr context(avcodec_alloc_context3(codec));
  libavptr::FramePtr frame(av_frame_alloc());
  libavptr::PacketPtr packet(av_packet_alloc());
  if (!context || !frame || !packet) {
    *error = "out of memory";
    return false;
  }
  context->width = width;
  context->height = height;
  context->pix_fmt = AV_PIX_FMT_RGB24;
  context->time_base = {1, 25};
  int rc = avcodec_open2(context.get(), codec, nullptr);
  if (rc < 0) {
    *error = "cannot open the PNG encoder: " + libavptr::ErrorText(rc);
    return false;
  }
  frame->width = width;
  frame->height = height;
  frame->format = AV_PIX_FMT_RGB24;
  rc = av_frame_get_buffer(frame.get(), 0);
  if (rc < 0) {
    *error = "out of memory";
    return false;
  }
  libavptr::SwsPtr sws(sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height,
                                      AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!sws) {
    *error = "cannot convert the canvas to RGB";
    return false;
  }
  const size_t luma = static_cast<size_t>(width) * height;
  const uint8_t* planes[3] = {i420, i420 + luma, i420 + luma + luma / 4};
  const int strides[3] = {width, width / 2, width / 2};
  sws_scale(sws.get(), planes, strides, 0, height, frame->data, frame->linesize);

  rc = avcodec_send_frame(context.get(), frame.get());
  if (rc >= 0) rc = avcodec_receive_packet(context.get(), packet.get());
  if (rc < 0) {
    *error = "PNG encoding failed: " + libavptr::ErrorText(rc);
    return false;
  }
  const std::string temp = path + ".part";
  std::FILE* file = std::fopen(temp.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + temp;
    return false;
  }
  const bool written =
      std::fwrite(packet->data, 1, packet->size, file) == static_cast<size_t>(packet->size);
  const bool closed = std::fclose(file) == 0;
  std::error_code ec;
  if (!written || !closed) {
    std::filesystem::remove(temp, ec);
    *error = "cannot write " + temp;
    return false;
  }
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    *error = "cannot rename " + temp + " to " + path;
    return false;
  }
  return true;
}

}  // namespace plenova::record
