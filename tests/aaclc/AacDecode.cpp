#include "tests/aaclc/AacDecode.h"

#include <cmath>
#include <memory>
#include <numbers>

#include "libavptr/LibavPtr.h"

namespace plenova::testing {

std::vector<int16_t> SineTone(double frequency, int sample_rate, int channels,
                              int samples_per_channel, double amplitude) {
  std::vector<int16_t> pcm(static_cast<size_t>(samples_per_channel) * channels);
  for (int i = 0; i < samples_per_channel; ++i) {
    const double v = amplitude * std::sin(2.0 * std::numbers::pi * frequency * i / sample_rate);
    for (int c = 0; c < channels; ++c)
      pcm[static_cast<size_t>(i) * channels + c] = static_cast<int16_t>(v);
  }
  return pcm;
}

std::vector<float> DecodeAdts(const std::vector<uint8_t>& adts, int* channels, int* sample_rate) {
  std::vector<float> out;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) return out;
  libavptr::CodecContextPtr context(avcodec_alloc_context3(codec));
  libavptr::ParserPtr parser(av_parser_init(codec->id));
  libavptr::FramePtr frame(av_frame_alloc());
  libavptr::PacketPtr packet(av_packet_alloc());
  if (!context || !parser || !frame || !packet ||
      avcodec_open2(context.get(), codec, nullptr) < 0) {
    return out;
  }
  auto drain = [&]() {
    while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
      *channels = frame->ch_layout.nb_channels;
      *sample_rate = frame->sample_rate;
      if (frame->format != AV_SAMPLE_FMT_FLTP) return false;
      const float* plane = reinterpret_cast<const float*>(frame->extended_data[0]);
      out.insert(out.end(), plane, plane + frame->nb_samples);
    }
    return true;
  };
  const uint8_t* data = adts.data();
  int left = static_cast<int>(adts.size());
  // A null-data call at the end makes the parser hand out its last frame.
  for (bool last = false; !last;) {
    last = left == 0;
    const int used =
        av_parser_parse2(parser.get(), context.get(), &packet->data, &packet->size,
                         last ? nullptr : data, left, AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) return {};
    data += used;
    left -= used;
    if (packet->size > 0) {
      if (avcodec_send_packet(context.get(), packet.get()) < 0) return {};
      if (!drain()) return {};
    }
  }
  avcodec_send_packet(context.get(), nullptr);
  if (!drain()) return {};
  return out;
}

double ToneFrequency(const std::vector<float>& samples, int sample_rate) {
  // Skip the encoder's priming and the flushed end, and count a crossing only
  // after the signal went clearly negative, so coding noise near zero does not
  // count.
  const size_t margin = 2048;
  if (samples.size() < 3 * margin) return 0.0;
  const float threshold = 0.02f;
  int rising = 0;
  size_t first = 0, last = 0;
  bool armed = false;
  for (size_t i = margin; i < samples.size() - margin; ++i) {
    if (samples[i] < -threshold) armed = true;
    if (armed && samples[i] >= 0.0f) {
      armed = false;
      if (rising == 0) first = i;
      last = i;
      ++rising;
    }
  }
  if (rising < 2) return 0.0;
  // Whole periods between the first and the last rising crossing.
  return (rising - 1) * static_cast<double>(sample_rate) / static_cast<double>(last - first);
}

}  // namespace plenova::testing
