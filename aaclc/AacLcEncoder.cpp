// AAC-LC encoder on libavcodec's native "aac" encoder, behind the C interface
// of AacLcEncoder.h. Input is interleaved 16-bit PCM, 1024 samples per
// channel and call; output is one AAC frame per call, ADTS-framed unless the
// configuration asks for raw frames.

#include "aaclc/AacLcEncoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "libavptr/LibavPtr.h"

namespace {

constexpr uint32_t kSamplesPerChannel = 1024;
constexpr uint32_t kDefaultBitRatePerChannel = 64000;
constexpr uint32_t kAdtsHeaderBytes = 7;
// A raw AAC frame holds at most 6144 bits per channel.
constexpr uint32_t kMaxRawBytesPerChannel = 6144 / 8;

constexpr std::array<uint32_t, 13> kSampleRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                                   22050, 16000, 12000, 11025, 8000,  7350};

using libavptr::CodecContextPtr;
using libavptr::FramePtr;
using libavptr::PacketPtr;

int SampleRateIndex(uint32_t rate) {
  for (size_t i = 0; i < kSampleRates.size(); ++i) {
    if (kSampleRates[i] == rate) return static_cast<int>(i);
  }
  return -1;
}

// The highest bit rate per channel that one frame can carry at `rate`.
uint32_t MaxBitRatePerChannel(uint32_t rate) {
  return static_cast<uint32_t>(uint64_t{kMaxRawBytesPerChannel} * 8 * rate / kSamplesPerChannel);
}

}  // namespace

struct AacLcEncoder {
  uint32_t sample_rate = 0;
  uint32_t channels = 0;
  AacLcConfiguration config{};
  CodecContextPtr context;
  FramePtr frame;
  PacketPtr packet;
  bool started = false;  // a frame has been sent to the codec
  bool drained = false;  // the codec has been told the input ended
  int64_t next_pts = 0;
};

namespace {

// (Re)opens the codec context for the encoder's format and configuration.
bool OpenCodec(AacLcEncoder& enc) {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (codec == nullptr) return false;
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return false;
  context->sample_rate = static_cast<int>(enc.sample_rate);
  av_channel_layout_default(&context->ch_layout, static_cast<int>(enc.channels));
  context->sample_fmt = AV_SAMPLE_FMT_FLTP;
  context->profile = FF_PROFILE_AAC_LOW;
  const uint32_t per_channel = std::min(enc.config.bitRate, MaxBitRatePerChannel(enc.sample_rate));
  context->bit_rate = static_cast<int64_t>(per_channel) * enc.channels;
  context->cutoff = static_cast<int>(enc.config.bandWidth);
  context->time_base = AVRational{1, static_cast<int>(enc.sample_rate)};
  // The fast coder keeps encoding light beside a meeting client; speech at
  // these rates loses nothing audible to it.
  av_opt_set(context->priv_data, "aac_coder", "fast", 0);
  if (avcodec_open2(context.get(), codec, nullptr) < 0) return false;
  if (context->frame_size != static_cast<int>(kSamplesPerChannel)) return false;

  FramePtr frame(av_frame_alloc());
  if (!frame) return false;
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->nb_samples = static_cast<int>(kSamplesPerChannel);
  frame->sample_rate = context->sample_rate;
  if (av_channel_layout_copy(&frame->ch_layout, &context->ch_layout) < 0) return false;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return false;

  enc.context = std::move(context);
  enc.frame = std::move(frame);
  enc.started = false;
  enc.drained = false;
  enc.next_pts = 0;
  return true;
}

void WriteAdtsHeader(const AacLcEncoder& enc, uint32_t frame_bytes, uint8_t* out) {
  const uint32_t rate_index = static_cast<uint32_t>(SampleRateIndex(enc.sample_rate));
  const uint32_t profile = 1;  // AAC-LC is object type 2, written minus one
  out[0] = 0xFF;
  out[1] = 0xF1;  // MPEG-4, layer 0, no CRC
  out[2] = static_cast<uint8_t>((profile << 6) | (rate_index << 2) | (enc.channels >> 2));
  out[3] = static_cast<uint8_t>(((enc.channels & 3) << 6) | (frame_bytes >> 11));
  out[4] = static_cast<uint8_t>((frame_bytes >> 3) & 0xFF);
  out[5] = static_cast<uint8_t>(((frame_bytes & 7) << 5) | 0x1F);
  out[6] = 0xFC;  // buffer fullness 0x7FF, one raw data block
}

// Copies the next encoded packet to `output`; 0 when the codec has none yet.
int TakePacket(AacLcEncoder& enc, uint8_t* output, uint32_t output_size) {
  const int got = avcodec_receive_packet(enc.context.get(), enc.packet.get());
  if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return 0;
  if (got < 0) return -1;
  const uint32_t raw = static_cast<uint32_t>(enc.packet->size);
  const uint32_t header = enc.config.outputFormat == kAacLcAdts ? kAdtsHeaderBytes : 0;
  int written = -1;
  if (raw + header <= output_size) {
    if (header != 0) WriteAdtsHeader(enc, raw + header, output);
    std::memcpy(output + header, enc.packet->data, raw);
    written = static_cast<int>(raw + header);
  }
  av_packet_unref(enc.packet.get());
  return written;
}

}  // namespace

AACLC_API AacLcHandle aacLcEncOpen(uint32_t sample_rate, uint32_t channels, uint32_t* input_samples,
                                   uint32_t* max_output_bytes) {
  if (input_samples == nullptr || max_output_bytes == nullptr) return nullptr;
  if (SampleRateIndex(sample_rate) < 0 || channels < 1 || channels > 2) return nullptr;
  std::unique_ptr<AacLcEncoder> enc(new (std::nothrow) AacLcEncoder);
  if (!enc) return nullptr;
  enc->sample_rate = sample_rate;
  enc->channels = channels;
  enc->config.aacObjectType = kAacLcLow;
  enc->config.inputFormat = kAacLcInput16Bit;
  enc->config.outputFormat = kAacLcAdts;
  enc->config.bitRate = kDefaultBitRatePerChannel;
  enc->config.bandWidth = 0;
  enc->packet.reset(av_packet_alloc());
  if (!enc->packet || !OpenCodec(*enc)) return nullptr;
  *input_samples = kSamplesPerChannel * channels;
  *max_output_bytes = kMaxRawBytesPerChannel * channels + kAdtsHeaderBytes;
  return enc.release();
}

AACLC_API AacLcConfiguration* aacLcEncGetCurrentConfiguration(AacLcHandle handle) {
  return handle == nullptr ? nullptr : &handle->config;
}

AACLC_API int aacLcEncSetConfiguration(AacLcHandle handle, const AacLcConfiguration* config) {
  if (handle == nullptr || config == nullptr) return 0;
  if (config->aacObjectType != kAacLcLow || config->inputFormat != kAacLcInput16Bit) return 0;
  if (config->outputFormat != kAacLcAdts && config->outputFormat != kAacLcRaw) return 0;
  if (config->bitRate == 0) return 0;
  const bool codec_changes =
      config->bitRate != handle->config.bitRate || config->bandWidth != handle->config.bandWidth;
  if (!codec_changes) {
    handle->config = *config;
    return 1;
  }
  // The codec takes its rate and band width when it opens: only before the
  // first frame can they change.
  if (handle->started) return 0;
  const AacLcConfiguration previous = handle->config;
  handle->config = *config;
  if (!OpenCodec(*handle)) {
    // Back to the settings that opened before; a refused call changes nothing.
    handle->config = previous;
    OpenCodec(*handle);
    return 0;
  }
  return 1;
}

AACLC_API int aacLcEncEncode(AacLcHandle handle, const int16_t* input, uint32_t samples,
                             uint8_t* output, uint32_t output_size) {
  if (handle == nullptr || output == nullptr) return -1;
  const uint32_t full = kSamplesPerChannel * handle->channels;
  if (samples > full || (samples > 0 && input == nullptr)) return -1;
  if (handle->drained) return TakePacket(*handle, output, output_size);

  if (samples == 0) {
    // End of input: the codec hands out what it still holds, one frame a call.
    if (avcodec_send_frame(handle->context.get(), nullptr) < 0) return -1;
    handle->drained = true;
    return TakePacket(*handle, output, output_size);
  }

  AVFrame* frame = handle->frame.get();
  if (av_frame_make_writable(frame) < 0) return -1;
  const uint32_t channels = handle->channels;
  const uint32_t per_channel = samples / channels;
  for (uint32_t c = 0; c < channels; ++c) {
    float* plane = reinterpret_cast<float*>(frame->extended_data[c]);
    for (uint32_t i = 0; i < kSamplesPerChannel; ++i) {
      // A short last frame is completed with silence.
      plane[i] = i < per_channel ? static_cast<float>(input[i * channels + c]) / 32768.0f : 0.0f;
    }
  }
  frame->pts = handle->next_pts;
  handle->next_pts += kSamplesPerChannel;
  if (avcodec_send_frame(handle->context.get(), frame) < 0) return -1;
  handle->started = true;
  return TakePacket(*handle, output, output_size);
}

AACLC_API int aacLcEncClose(AacLcHandle handle) {
  if (handle == nullptr) return -1;
  // Frames still in the codec's delay are drained and dropped.
  if (handle->started && !handle->drained &&
      avcodec_send_frame(handle->context.get(), nullptr) >= 0) {
    while (avcodec_receive_packet(handle->context.get(), handle->packet.get()) >= 0) {
      av_packet_unref(handle->packet.get());
    }
  }
  delete handle;
  return 0;
}
