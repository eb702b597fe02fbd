#include "tests/support/SyntheticMedia.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <x264.h>
}

#include "libavptr/LibavPtr.h"

namespace plenova::testing {

struct H264Generator::Impl {
  x264_t* encoder = nullptr;
  x264_picture_t picture;
  int width = 0;
  int height = 0;
  int frame = 0;
  ~Impl() {
    if (encoder != nullptr) {
      x264_encoder_close(encoder);
      x264_picture_clean(&picture);
    }
  }
};

H264Generator::H264Generator(int width, int height, int fps, int keyint)
    : impl_(std::make_unique<Impl>()) {
  x264_param_t param;
  x264_param_default_preset(&param, "ultrafast", "zerolatency");
  param.i_width = width;
  param.i_height = height;
  param.i_fps_num = static_cast<uint32_t>(fps);
  param.i_fps_den = 1;
  param.i_keyint_max = keyint;
  param.i_keyint_min = keyint;
  param.b_repeat_headers = 1;
  param.b_annexb = 1;
  param.i_threads = 1;
  param.i_log_level = X264_LOG_NONE;
  param.rc.i_rc_method = X264_RC_CRF;
  param.rc.f_rf_constant = 30;
  x264_param_apply_profile(&param, "baseline");
  impl_->encoder = x264_encoder_open(&param);
  if (impl_->encoder == nullptr) throw std::runtime_error("x264_encoder_open failed");
  x264_picture_alloc(&impl_->picture, X264_CSP_I420, width, height);
  impl_->width = width;
  impl_->height = height;
}

H264Generator::~H264Generator() = default;

std::vector<uint8_t> H264Generator::ParameterSets() {
  x264_nal_t* nals = nullptr;
  int count = 0;
  std::vector<uint8_t> out;
  if (x264_encoder_headers(impl_->encoder, &nals, &count) < 0) return out;
  for (int i = 0; i < count; ++i) {
    if (nals[i].i_type == NAL_SPS || nals[i].i_type == NAL_PPS) {
      out.insert(out.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
    }
  }
  return out;
}

std::vector<uint8_t> H264Generator::Next(bool* key) {
  x264_picture_t& picture = impl_->picture;
  const int luma = ExpectedLuma(impl_->frame);
  std::memset(picture.img.plane[0], luma, static_cast<size_t>(impl_->width * impl_->height));
  std::memset(picture.img.plane[1], 128, static_cast<size_t>(impl_->width * impl_->height / 4));
  std::memset(picture.img.plane[2], 128, static_cast<size_t>(impl_->width * impl_->height / 4));
  picture.i_pts = impl_->frame++;
  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_picture_t output;
  const int size = x264_encoder_encode(impl_->encoder, &nals, &count, &picture, &output);
  std::vector<uint8_t> out;
  if (size > 0) out.assign(nals[0].p_payload, nals[0].p_payload + size);
  if (key != nullptr) *key = output.b_keyframe != 0;
  return out;
}

struct AacGenerator::Impl {
  libavptr::CodecContextPtr context;
  libavptr::FramePtr frame;
  libavptr::PacketPtr packet;
  int64_t sample = 0;
};

AacGenerator::AacGenerator(int rate, int channels) : impl_(std::make_unique<Impl>()) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) throw std::runtime_error("no AAC encoder");
  impl_->context.reset(avcodec_alloc_context3(codec));
  impl_->context->sample_rate = rate;
  av_channel_layout_default(&impl_->context->ch_layout, channels);
  impl_->context->sample_fmt = AV_SAMPLE_FMT_FLTP;
  impl_->context->bit_rate = 32000 * channels;
  impl_->context->profile = FF_PROFILE_AAC_LOW;
  if (avcodec_open2(impl_->context.get(), codec, nullptr) < 0) {
    throw std::runtime_error("avcodec_open2 failed");
  }
  impl_->frame.reset(av_frame_alloc());
  impl_->frame->nb_samples = impl_->context->frame_size;
  impl_->frame->format = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_copy(&impl_->frame->ch_layout, &impl_->context->ch_layout);
  impl_->frame->sample_rate = rate;
  av_frame_get_buffer(impl_->frame.get(), 0);
  impl_->packet.reset(av_packet_alloc());
}

AacGenerator::~AacGenerator() = default;

std::vector<uint8_t> AacGenerator::Next(bool adts) {
  AVCodecContext* context = impl_->context.get();
  for (;;) {
    const int got = avcodec_receive_packet(context, impl_->packet.get());
    if (got == 0) break;
    av_frame_make_writable(impl_->frame.get());
    for (int c = 0; c < context->ch_layout.nb_channels; ++c) {
      auto* plane = reinterpret_cast<float*>(impl_->frame->data[c]);
      for (int i = 0; i < impl_->frame->nb_samples; ++i) {
        plane[i] = 0.5f * static_cast<float>(
                              std::sin(2 * M_PI * 440.0 * static_cast<double>(impl_->sample + i) /
                                       context->sample_rate));
      }
    }
    impl_->frame->pts = impl_->sample;
    impl_->sample += impl_->frame->nb_samples;
    avcodec_send_frame(context, impl_->frame.get());
  }
  const int size = impl_->packet->size;
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(size) + 7);
  if (adts) {
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                 22050, 16000, 12000, 11025, 8000,  7350};
    int index = 0;
    while (kRates[index] != context->sample_rate) ++index;
    const int channels = context->ch_layout.nb_channels;
    const int length = size + 7;
    const uint8_t header[7] = {0xFF,
                               0xF1,
                               static_cast<uint8_t>((1 << 6) | (index << 2) | (channels >> 2)),
                               static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11)),
                               static_cast<uint8_t>((length >> 3) & 0xFF),
                               static_cast<uint8_t>(((length & 7) << 5) | 0x1F),
                               0xFC};
    out.assign(header, header + sizeof(header));
  }
  // Copied by hand: g++ 12 at -O3 mistakes an insert of the packet's bytes
  // for a read of an empty region (stringop-overread).
  const size_t header = out.size();
  out.resize(header + static_cast<size_t>(size));
  if (size > 0) std::memcpy(out.data() + header, impl_->packet->data, static_cast<size_t>(size));
  av_packet_unref(impl_->packet.get());
  return out;
}

std::string TestOutputDir(const std::string& name) {
  const char* binary = std::getenv("PLENOVA_BINARY_DIR");
  std::filesystem::path dir = binary != nullptr
                                  ? std::filesystem::path(binary) / "test-output"
                                  : std::filesystem::temp_directory_path() / "plenova-test-output";
  dir /= name;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directories(dir);
  return dir.string();
}

}  // namespace plenova::testing
