#include "tools/plenova-record/MediaFileSource.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
}

namespace plenova::record {
namespace {

constexpr size_t kMaxQueuedPictures = 50;

libavptr::CodecContextPtr OpenDecoder(AVStream* stream, std::string* error) {
  const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
  if (codec == nullptr) {
    *error = std::string("no decoder for ") + avcodec_get_name(stream->codecpar->codec_id);
    return nullptr;
  }
  libavptr::CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) {
    *error = "out of memory";
    return nullptr;
  }
  int rc = avcodec_parameters_to_context(context.get(), stream->codecpar);
  if (rc >= 0) rc = avcodec_open2(context.get(), codec, nullptr);
  if (rc < 0) {
    *error = std::string("cannot open the ") + codec->name + " decoder: " + libavptr::ErrorText(rc);
    return nullptr;
  }
  return context;
}

void FillBlack(uint8_t* i420, int w, int h) {
  const size_t luma = static_cast<size_t>(w) * h;
  std::memset(i420, 16, luma);
  std::memset(i420 + luma, 128, luma / 2);
}

}  // namespace

std::unique_ptr<MediaFileSource> MediaFileSource::Open(const std::string& path, SourceFormat format,
                                                       std::string* error) {
  std::unique_ptr<MediaFileSource> source(new MediaFileSource(format, path));
  if (!source->OpenDecoders(error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  return source;
}

bool MediaFileSource::OpenDecoders(std::string* error) {
  AVFormatContext* raw = nullptr;
  int rc = avformat_open_input(&raw, path_.c_str(), nullptr, nullptr);
  if (rc < 0) {
    *error = "cannot open: " + libavptr::ErrorText(rc);
    return false;
  }
  input_.reset(raw);
  rc = avformat_find_stream_info(input_.get(), nullptr);
  if (rc < 0) {
    *error = "cannot read the stream information: " + libavptr::ErrorText(rc);
    return false;
  }
  video_stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  audio_stream_ = av_find_best_stream(input_.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (video_stream_ < 0 && audio_stream_ < 0) {
    *error = "has neither audio nor video";
    return false;
  }
  if (video_stream_ >= 0) {
    video_ = OpenDecoder(input_->streams[video_stream_], error);
    if (!video_) return false;
  }
  if (audio_stream_ >= 0) {
    audio_ = OpenDecoder(input_->streams[audio_stream_], error);
    if (!audio_) return false;
    AVChannelLayout out_layout;
    av_channel_layout_default(&out_layout, format_.channels);
    AVChannelLayout in_layout;
    if (audio_->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
      av_channel_layout_default(&in_layout, audio_->ch_layout.nb_channels);
    } else {
      av_channel_layout_copy(&in_layout, &audio_->ch_layout);
    }
    SwrContext* swr = nullptr;
    rc = swr_alloc_set_opts2(&swr, &out_layout, AV_SAMPLE_FMT_S16, format_.sample_rate, &in_layout,
                             audio_->sample_fmt, audio_->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    av_channel_layout_uninit(&out_layout);
    swr_.reset(swr);
    if (rc < 0 || (rc = swr_init(swr_.get())) < 0) {
      *error = "cannot convert its sound: " + libavptr::ErrorText(rc);
      return false;
    }
    fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_S16, format_.channels, format_.sample_rate));
  }
  frame_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (!frame_ || !packet_ || (audio_ && !fifo_)) {
    *error = "out of memory";
    return false;
  }
  shown_.resize(format_.VideoFrameBytes());
  FillBlack(shown_.data(), format_.width, format_.height);
  // Decode the first frame now, so that a file that opens but does not decode
  // is refused before the run starts.
  while (pictures_.empty() && (!fifo_ || av_audio_fifo_size(fifo_.get()) == 0)) {
    if (!ReadMore() || loop_offset_ > 0) {
      *error = "no frame could be decoded";
      return false;
    }
  }
  return true;
}

bool MediaFileSource::ReadMore() {
  if (exhausted_) return false;
  const int rc = av_read_frame(input_.get(), packet_.get());
  if (rc < 0) {
    if (video_) Drain(video_.get(), true);
    if (audio_) Drain(audio_.get(), false);
    if (!produced_in_loop_) {
      exhausted_ = true;
      return false;
    }
    // Next loop: its timestamps continue after the longest stream of this one.
    loop_offset_ = loop_end_;
    produced_in_loop_ = false;
    if (av_seek_frame(input_.get(), -1, 0, AVSEEK_FLAG_BACKWARD) < 0) {
      exhausted_ = true;
      return false;
    }
    if (video_) avcodec_flush_buffers(video_.get());
    if (audio_) avcodec_flush_buffers(audio_.get());
    return true;
  }
  const bool is_video = video_ && packet_->stream_index == video_stream_;
  const bool is_audio = audio_ && packet_->stream_index == audio_stream_;
  if (is_video || is_audio) {
    AVCodecContext* codec = is_video ? video_.get() : audio_.get();
    if (avcodec_send_packet(codec, packet_.get()) >= 0) ReceiveFrames(codec, is_video);
  }
  av_packet_unref(packet_.get());
  return true;
}

void MediaFileSource::Drain(AVCodecContext* codec, bool video) {
  if (avcodec_send_packet(codec, nullptr) >= 0) ReceiveFrames(codec, video);
}

void MediaFileSource::ReceiveFrames(AVCodecContext* codec, bool video) {
  while (avcodec_receive_frame(codec, frame_.get()) >= 0) {
    if (video) {
      TakeVideoFrame(frame_.get());
    } else {
      TakeAudioFrame(frame_.get());
    }
    av_frame_unref(frame_.get());
  }
}

void MediaFileSource::TakeVideoFrame(const AVFrame* frame) {
  const AVStream* stream = input_->streams[video_stream_];
  const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  const int64_t pts =
      frame->best_effort_timestamp == AV_NOPTS_VALUE ? start : frame->best_effort_timestamp;
  const double time = loop_offset_ + static_cast<double>(pts - start) * av_q2d(stream->time_base);
  const AVRational rate = av_guess_frame_rate(input_.get(), const_cast<AVStream*>(stream), nullptr);
  const double duration = rate.num > 0 ? av_q2d(av_inv_q(rate)) : 1.0 / kVideoFps;
  loop_end_ = std::max(loop_end_, time + duration);
  produced_in_loop_ = true;

  // Letterbox into the output picture, keeping the source's display shape.
  const int out_w = format_.width;
  const int out_h = format_.height;
  AVRational sar =
      frame->sample_aspect_ratio.num > 0 ? frame->sample_aspect_ratio : AVRational{1, 1};
  const double shape = static_cast<double>(frame->width) * av_q2d(sar) / frame->height;
  int fit_w = out_w;
  int fit_h = static_cast<int>(out_w / shape);
  if (fit_h > out_h) {
    fit_h = out_h;
    fit_w = static_cast<int>(out_h * shape);
  }
  fit_w = std::max(2, fit_w & ~1);
  fit_h = std::max(2, fit_h & ~1);
  const int off_x = ((out_w - fit_w) / 2) & ~1;
  const int off_y = ((out_h - fit_h) / 2) & ~1;
  sws_.reset(sws_getCachedContext(sws_.release(), frame->width, frame->height,
                                  static_cast<AVPixelFormat>(frame->format), fit_w, fit_h,
                                  AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
  if (!sws_) return;
  Picture picture{time, std::vector<uint8_t>(format_.VideoFrameBytes())};
  uint8_t* y = picture.i420.data();
  uint8_t* u = y + static_cast<size_t>(out_w) * out_h;
  uint8_t* v = u + static_cast<size_t>(out_w / 2) * (out_h / 2);
  FillBlack(y, out_w, out_h);
  uint8_t* planes[4] = {y + off_y * out_w + off_x, u + (off_y / 2) * (out_w / 2) + off_x / 2,
                        v + (off_y / 2) * (out_w / 2) + off_x / 2, nullptr};
  int strides[4] = {out_w, out_w / 2, out_w / 2, 0};
  sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
  if (pictures_.size() >= kMaxQueuedPictures) pictures_.pop_front();
  pictures_.push_back(std::move(picture));
}

void MediaFileSource::TakeAudioFrame(const AVFrame* frame) {
  const int out_samples = swr_get_out_samples(swr_.get(), frame->nb_samples);
  if (out_samples <= 0) return;
  converted_audio_.resize(static_cast<size_t>(out_samples) * format_.channels * 2);
  uint8_t* out = converted_audio_.data();
  const int got = swr_convert(swr_.get(), &out, out_samples,
                              const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
  if (got <= 0) return;
  void* planes[1] = {out};
  av_audio_fifo_write(fifo_.get(), planes, got);
  const AVStream* stream = input_->streams[audio_stream_];
  const int64_t start = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  if (frame->pts != AV_NOPTS_VALUE) {
    const double end = loop_offset_ +
                       static_cast<double>(frame->pts - start) * av_q2d(stream->time_base) +
                       static_cast<double>(frame->nb_samples) / frame->sample_rate;
    loop_end_ = std::max(loop_end_, end);
  }
  produced_in_loop_ = true;
}

bool MediaFileSource::FillVideo(int64_t index, uint8_t* i420) {
  const double now = static_cast<double>(index) / kVideoFps;
  if (video_) {
    while ((pictures_.empty() || pictures_.back().time <= now) && ReadMore()) {
    }
    while (!pictures_.empty() && pictures_.front().time <= now) {
      shown_ = std::move(pictures_.front().i420);
      pictures_.pop_front();
    }
  }
  std::memcpy(i420, shown_.data(), shown_.size());
  return true;
}

bool MediaFileSource::FillAudio(int64_t /*index*/, int16_t* pcm) {
  const int need = format_.SamplesPerAudioFrame();
  std::memset(pcm, 0, static_cast<size_t>(format_.AudioFrameBytes()));
  if (!audio_) return true;
  while (av_audio_fifo_size(fifo_.get()) < need && ReadMore()) {
  }
  void* planes[1] = {pcm};
  av_audio_fifo_read(fifo_.get(), planes, need);
  return true;
}

}  // namespace plenova::record
