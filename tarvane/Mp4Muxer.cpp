#include "tarvane/Mp4Muxer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include "tarvane/FileOutput.h"
#include "tarvane/Mp4Timeline.h"

namespace plenova {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

// A new stream of `type` carrying `config` as its codec configuration; null
// when out of memory.
AVStream* NewStream(AVFormatContext* context, AVMediaType type, AVCodecID codec,
                    const uint8_t* config, size_t size) {
  AVStream* stream = avformat_new_stream(context, nullptr);
  if (stream == nullptr) return nullptr;
  AVCodecParameters* parameters = stream->codecpar;
  parameters->codec_type = type;
  parameters->codec_id = codec;
  parameters->extradata = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
  if (parameters->extradata == nullptr) return nullptr;
  std::memcpy(parameters->extradata, config, size);
  parameters->extradata_size = static_cast<int>(size);
  return stream;
}

// Tags every file carries: the engine and its version (shown as "encoder")
// and the time the recording began, UTC ("now": the muxer reads the clock
// when it writes the header). The version is the project's, given by the
// build (TARVANE_ENGINE_VERSION), which keeps it equal to the engine's.
void SetFileTags(AVFormatContext* context, const char* creation_time) {
  av_dict_set(&context->metadata, "encoding_tool", "Plenova " TARVANE_ENGINE_VERSION, 0);
  av_dict_set(&context->metadata, "creation_time", creation_time, 0);
}

}  // namespace

int Mp4Muxer::WritePacket(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<Mp4Muxer*>(opaque);
  const int result = self->output_->Write(data, size);
  if (result < 0) {
    if (self->write_error_ == 0) self->write_error_ = result;
    return AVERROR(-result);
  }
  return result;
}

int64_t Mp4Muxer::SeekPacket(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<Mp4Muxer*>(opaque);
  if (whence == AVSEEK_SIZE) return self->output_->Size();
  const int64_t result = self->output_->Seek(offset, whence & ~AVSEEK_FORCE);
  return result < 0 ? AVERROR(static_cast<int>(-result)) : result;
}

std::unique_ptr<Mp4Muxer> Mp4Muxer::Open(FileOutput* output, const VideoTrack* video,
                                         const AudioTrack* audio, std::string* error) {
  std::unique_ptr<Mp4Muxer> muxer(new Mp4Muxer());
  muxer->output_ = output;

  AVFormatContext* raw_context = nullptr;
  int result = avformat_alloc_output_context2(&raw_context, nullptr, "mp4", nullptr);
  if (result < 0 || raw_context == nullptr) {
    *error = "no MP4 muxer: " + libavptr::ErrorText(result);
    return nullptr;
  }
  muxer->context_.reset(raw_context);
  AVFormatContext* context = raw_context;

  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
  if (buffer == nullptr) {
    *error = "out of memory";
    return nullptr;
  }
  AVIOContext* io = avio_alloc_context(buffer, kIoBufferSize, 1, muxer.get(), nullptr,
                                       &Mp4Muxer::WritePacket, &Mp4Muxer::SeekPacket);
  if (io == nullptr) {
    av_free(buffer);
    *error = "out of memory";
    return nullptr;
  }
  muxer->io_.reset(io);
  context->pb = io;
  context->flags |= AVFMT_FLAG_CUSTOM_IO;

  if (video != nullptr) {
    AVStream* stream = NewStream(context, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264,
                                 video->avc_config.data(), video->avc_config.size());
    if (stream == nullptr) {
      *error = "out of memory";
      return nullptr;
    }
    AVCodecParameters* parameters = stream->codecpar;
    parameters->width = video->width;
    parameters->height = video->height;
    parameters->format = AV_PIX_FMT_YUV420P;
    parameters->bit_rate = video->bitrate;
    stream->time_base = AVRational{1, Mp4Timeline::kVideoClock};
    stream->avg_frame_rate = AVRational{video->fps, 1};
    muxer->video_index_ = stream->index;
    muxer->video_duration_ = Mp4Timeline::kVideoClock / (video->fps > 0 ? video->fps : 25);
  }
  if (audio != nullptr) {
    AVStream* stream = NewStream(context, AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC,
                                 audio->aac_config.data(), audio->aac_config.size());
    if (stream == nullptr) {
      *error = "out of memory";
      return nullptr;
    }
    AVCodecParameters* parameters = stream->codecpar;
    parameters->profile = FF_PROFILE_AAC_LOW;
    parameters->sample_rate = audio->rate;
    av_channel_layout_default(&parameters->ch_layout, audio->channels);
    parameters->frame_size = Mp4Timeline::kAacFrameSamples;
    parameters->bit_rate = audio->bitrate;
    stream->time_base = AVRational{1, audio->rate};
    muxer->audio_index_ = stream->index;
  }

  SetFileTags(context, "now");
  // Every track starts at or after the file's zero and the muxer shifts
  // nothing: left to itself it makes the first packet written zero, whichever
  // track it belongs to, and a track written later can then start below zero.
  context->avoid_negative_ts = AVFMT_AVOID_NEG_TS_MAKE_NON_NEGATIVE;
  // The index is written with the first fragment (delay_moov), when every
  // track's first time is known: a track that begins after the zero (audio
  // whose first frame comes after the first picture) gets an edit list and
  // keeps its offset instead of sliding back to zero.
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "empty_moov+delay_moov+default_base_moof+frag_keyframe", 0);
  av_dict_set_int(&options, "frag_duration", kFragmentUs, 0);
  result = avformat_write_header(context, &options);
  av_dict_free(&options);
  if (result < 0) {
    *error = "MP4 header: " +
             libavptr::ErrorText(muxer->write_error_ != 0 ? AVERROR(-muxer->write_error_) : result);
    return nullptr;
  }
  if (!muxer->Flush(error)) return nullptr;
  return muxer;
}

Mp4Muxer::~Mp4Muxer() = default;

bool Mp4Muxer::Flush(std::string* error) {
  avio_flush(io_.get());
  if (write_error_ != 0 || io_->error < 0) {
    *error = libavptr::ErrorText(write_error_ != 0 ? AVERROR(-write_error_) : io_->error);
    return false;
  }
  complete_size_ = output_->Size();
  return true;
}

bool Mp4Muxer::Write(bool video, const uint8_t* data, size_t size, int64_t position, bool key,
                     std::string* error) {
  const int index = video ? video_index_ : audio_index_;
  if (index < 0) {
    *error = video ? "no video track" : "no audio track";
    return false;
  }
  // The muxer aborts the process on timestamps that go backwards or below
  // zero; such a sample is a caller's mistake and is refused.
  if (position < 0 || (has_last_[index] && position <= last_position_[index])) {
    *error = "sample at " + std::to_string(position) + " is not after " +
             std::to_string(last_position_[index]);
    return false;
  }
  has_last_[index] = true;
  last_position_[index] = position;
  Packet packet(av_packet_alloc());
  if (packet == nullptr || av_new_packet(packet.get(), static_cast<int>(size)) < 0) {
    *error = "out of memory";
    return false;
  }
  std::memcpy(packet->data, data, size);
  packet->stream_index = index;
  packet->pts = packet->dts = position;
  packet->duration = video ? video_duration_ : Mp4Timeline::kAacFrameSamples;
  if (key || !video) packet->flags |= AV_PKT_FLAG_KEY;
  // The muxer takes timestamps in the stream's time base as it chose it in
  // the header.
  const AVRational source = video ? AVRational{1, Mp4Timeline::kVideoClock}
                                  : AVRational{1, context_->streams[index]->codecpar->sample_rate};
  av_packet_rescale_ts(packet.get(), source, context_->streams[index]->time_base);
  if (held_[index] != nullptr && !WriteHeld(index, packet->dts, error)) return false;
  held_[index] = std::move(packet);
  return true;
}

bool Mp4Muxer::WriteHeld(int index, int64_t next, std::string* error) {
  Packet packet = std::move(held_[index]);
  if (next > packet->dts) packet->duration = next - packet->dts;
  const int result = av_write_frame(context_.get(), packet.get());
  if (result < 0) {
    *error = libavptr::ErrorText(write_error_ != 0 ? AVERROR(-write_error_) : result);
    return false;
  }
  return Flush(error);
}

bool Mp4Muxer::Finish(std::string* error) {
  for (int index = 0; index < 2; ++index) {
    if (held_[index] != nullptr && !WriteHeld(index, 0, error)) return false;
  }
  const int result = av_write_trailer(context_.get());
  if (result < 0) {
    *error = libavptr::ErrorText(write_error_ != 0 ? AVERROR(-write_error_) : result);
    return false;
  }
  return Flush(error);
}

bool Mp4Muxer::Remux(const std::string& from, const std::string& to, std::string* error) {
  AVFormatContext* raw_input = nullptr;
  int result = avformat_open_input(&raw_input, from.c_str(), nullptr, nullptr);
  if (result < 0) {
    *error = "reading " + from + ": " + libavptr::ErrorText(result);
    return false;
  }
  libavptr::InputFormatPtr input(raw_input);

  AVFormatContext* raw_output = nullptr;
  result = avformat_alloc_output_context2(&raw_output, nullptr, "mp4", to.c_str());
  if (result < 0 || raw_output == nullptr) {
    *error = "no MP4 muxer: " + libavptr::ErrorText(result);
    return false;
  }
  libavptr::OutputFilePtr output(raw_output);
  for (unsigned i = 0; i < input->nb_streams; ++i) {
    AVStream* in = input->streams[i];
    AVStream* out = avformat_new_stream(output.get(), nullptr);
    if (out == nullptr || avcodec_parameters_copy(out->codecpar, in->codecpar) < 0) {
      *error = "out of memory";
      return false;
    }
    out->codecpar->codec_tag = 0;
    if (out->codecpar->codec_id == AV_CODEC_ID_AAC && out->codecpar->frame_size == 0) {
      out->codecpar->frame_size = Mp4Timeline::kAacFrameSamples;
    }
    out->time_base = in->time_base;
    out->avg_frame_rate = in->avg_frame_rate;
  }
  result = avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE);
  if (result < 0) {
    *error = "opening " + to + ": " + libavptr::ErrorText(result);
    return false;
  }
  // The rewritten file keeps the time the recording began.
  const AVDictionaryEntry* began = av_dict_get(input->metadata, "creation_time", nullptr, 0);
  SetFileTags(output.get(), began != nullptr ? began->value : "now");
  AVDictionary* options = nullptr;
  av_dict_set(&options, "movflags", "faststart", 0);
  result = avformat_write_header(output.get(), &options);
  av_dict_free(&options);
  if (result < 0) {
    *error = "writing " + to + ": " + libavptr::ErrorText(result);
    return false;
  }
  Packet packet(av_packet_alloc());
  if (packet == nullptr) {
    *error = "out of memory";
    return false;
  }
  while ((result = av_read_frame(input.get(), packet.get())) >= 0) {
    const int index = packet->stream_index;
    if (index < 0 || index >= static_cast<int>(output->nb_streams)) {
      av_packet_unref(packet.get());
      continue;
    }
    av_packet_rescale_ts(packet.get(), input->streams[index]->time_base,
                         output->streams[index]->time_base);
    packet->pos = -1;
    result = av_interleaved_write_frame(output.get(), packet.get());
    if (result < 0) {
      *error = "writing " + to + ": " + libavptr::ErrorText(result);
      return false;
    }
  }
  if (result != AVERROR_EOF) {
    *error = "reading " + from + ": " + libavptr::ErrorText(result);
    return false;
  }
  result = av_write_trailer(output.get());
  if (result < 0 || output->pb->error < 0) {
    *error =
        "finishing " + to + ": " + libavptr::ErrorText(result < 0 ? result : output->pb->error);
    return false;
  }
  return true;
}

}  // namespace plenova
