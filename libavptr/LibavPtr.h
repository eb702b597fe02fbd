#pragma once

// Owning pointers for libav objects, so that every error path frees them:
//
//   libavptr::FramePtr frame(av_frame_alloc());
//
// Each deleter is the libav call that frees its object; a null pointer is
// never passed to it. Header only: a user links the libav libraries whose
// objects it holds.

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace libavptr {

// A demuxer opened with avformat_open_input.
struct InputFormatDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
// A muxer from avformat_alloc_output_context2 whose I/O the caller owns.
struct OutputFormatDeleter {
  void operator()(AVFormatContext* c) const { avformat_free_context(c); }
};
// A muxer that writes its own file: the file opened with avio_open into
// `pb` is closed with it.
struct OutputFileDeleter {
  void operator()(AVFormatContext* c) const {
    if (c->pb != nullptr) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
// I/O opened with avio_open or avio_open2.
struct OpenedIoDeleter {
  void operator()(AVIOContext* io) const { avio_closep(&io); }
};
// I/O from avio_alloc_context over a buffer from av_malloc; the buffer (which
// libav may have replaced) goes with it.
struct CustomIoDeleter {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ParserDeleter {
  void operator()(AVCodecParserContext* p) const { av_parser_close(p); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using OutputFilePtr = std::unique_ptr<AVFormatContext, OutputFileDeleter>;
using OpenedIoPtr = std::unique_ptr<AVIOContext, OpenedIoDeleter>;
using CustomIoPtr = std::unique_ptr<AVIOContext, CustomIoDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using ParserPtr = std::unique_ptr<AVCodecParserContext, ParserDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// libavutil's text for an error code.
inline std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof(text));
  return text;
}

}  // namespace libavptr
