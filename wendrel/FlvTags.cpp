#include "wendrel/FlvTags.h"

#include <algorithm>
#include <cstring>

namespace plenova::flv {
namespace {

void Put24(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value >> 16));
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value));
}

void Put32(std::vector<uint8_t>* out, uint32_t value) {
  out->push_back(static_cast<uint8_t>(value >> 24));
  Put24(out, value);
}

void PutAmfString(std::vector<uint8_t>* out, const std::string& text) {
  out->push_back(static_cast<uint8_t>(text.size() >> 8));
  out->push_back(static_cast<uint8_t>(text.size()));
  out->insert(out->end(), text.begin(), text.end());
}

void PutAmfNumber(std::vector<uint8_t>* out, const std::string& key, double value) {
  PutAmfString(out, key);
  out->push_back(0x00);  // number marker
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  Put32(out, static_cast<uint32_t>(bits >> 32));
  Put32(out, static_cast<uint32_t>(bits));
}

void PutAmfBool(std::vector<uint8_t>* out, const std::string& key, bool value) {
  PutAmfString(out, key);
  out->push_back(0x01);  // boolean marker
  out->push_back(value ? 1 : 0);
}

// SoundFormat 10 (AAC), SoundRate 3, SoundSize 1 (16 bit), SoundType.
uint8_t AacAudioByte(int channels) { return static_cast<uint8_t>(0xAE | (channels > 1 ? 1 : 0)); }

}  // namespace

std::vector<uint8_t> FileHeader(bool audio, bool video) {
  return {'F', 'L', 'V', 1, static_cast<uint8_t>((audio ? 4 : 0) | (video ? 1 : 0)), 0, 0, 0, 9,
          0,   0,   0,   0};
}

void AppendTag(std::vector<uint8_t>* out, uint8_t type, uint32_t timestamp_ms,
               const std::vector<uint8_t>& payload) {
  const size_t start = out->size();
  out->push_back(type);
  Put24(out, static_cast<uint32_t>(payload.size()));
  Put24(out, timestamp_ms & 0xFFFFFF);
  out->push_back(static_cast<uint8_t>(timestamp_ms >> 24));
  Put24(out, 0);  // stream id
  out->insert(out->end(), payload.begin(), payload.end());
  Put32(out, static_cast<uint32_t>(out->size() - start));
}

std::vector<uint8_t> MetadataPayload(const Metadata& metadata) {
  std::vector<uint8_t> out;
  out.push_back(0x02);  // string marker
  PutAmfString(&out, "onMetaData");
  out.push_back(0x08);  // ECMA array marker
  Put32(&out, 0);       // approximate count; the end marker closes it
  PutAmfNumber(&out, "duration", 0);
  if (metadata.has_video) {
    PutAmfNumber(&out, "width", metadata.width);
    PutAmfNumber(&out, "height", metadata.height);
    PutAmfNumber(&out, "videodatarate", metadata.video_bitrate / 1000.0);
    PutAmfNumber(&out, "framerate", metadata.fps);
    PutAmfNumber(&out, "videocodecid", 7);
  }
  if (metadata.has_audio) {
    PutAmfNumber(&out, "audiodatarate", metadata.audio_bitrate / 1000.0);
    PutAmfNumber(&out, "audiosamplerate", metadata.sample_rate);
    PutAmfNumber(&out, "audiosamplesize", 16);
    PutAmfBool(&out, "stereo", metadata.channels > 1);
    PutAmfNumber(&out, "audiochannels", metadata.channels);
    PutAmfNumber(&out, "audiocodecid", 10);
  }
  PutAmfString(&out, "encoder");
  out.push_back(0x02);
  PutAmfString(&out, "Plenova");
  Put24(&out, 0x000009);  // object end
  return out;
}

std::vector<uint8_t> AvcSequenceHeader(const std::vector<uint8_t>& avc_config) {
  // Sized first and copied into: g++ 12 at -O3 misreads an insert after a
  // five-byte initialiser as an out-of-bounds copy.
  std::vector<uint8_t> out(5 + avc_config.size(), 0);
  out[0] = 0x17;  // key frame, AVC; out[1] = 0: sequence header
  std::copy(avc_config.begin(), avc_config.end(), out.begin() + 5);
  return out;
}

std::vector<uint8_t> AvcFrame(const std::vector<uint8_t>& nal_units, bool key) {
  std::vector<uint8_t> out(5 + nal_units.size(), 0);
  out[0] = key ? 0x17 : 0x27;
  out[1] = 0x01;  // NAL units
  std::copy(nal_units.begin(), nal_units.end(), out.begin() + 5);
  return out;
}

std::vector<uint8_t> AacSequenceHeader(const std::array<uint8_t, 2>& config, int channels) {
  return {AacAudioByte(channels), 0x00, config[0], config[1]};
}

std::vector<uint8_t> AacFrame(const uint8_t* data, size_t size, int channels) {
  std::vector<uint8_t> out(2 + size);
  out[0] = AacAudioByte(channels);
  out[1] = 0x01;  // raw frame
  std::copy(data, data + size, out.begin() + 2);
  return out;
}

}  // namespace plenova::flv
