#include "wendrel/RtmpPublisher.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "quillet/UrlMask.h"
#include "tarvane/MediaBitstream.h"
#include "wendrel/AvioRtmpTransport.h"
#include "wendrel/FlvTags.h"
#include "wendrel/WendrelLog.h"

namespace plenova {
namespace {

constexpr uint64_t kKindAudio = 40;
constexpr uint64_t kKindVideo = 60;

bool WorthLogging(uint64_t count) { return count == 1 || count % 100 == 0; }

}  // namespace

RtmpPublisher::RtmpPublisher(TransportFactory factory)
    : factory_(factory ? std::move(factory)
                       : TransportFactory([] { return std::make_unique<AvioRtmpTransport>(); })) {}

RtmpPublisher::~RtmpPublisher() { Stop(); }

bool RtmpPublisher::Initialize() { return true; }

bool RtmpPublisher::ValidLocalIp(const char* local_ip) {
  if (local_ip == nullptr || local_ip[0] == '\0') return true;
  in_addr address;
  return inet_pton(AF_INET, local_ip, &address) == 1;
}

bool RtmpPublisher::SetLocalIP(const char* local_ip, uint16_t port) {
  if (!ValidLocalIp(local_ip)) {
    WDR_LOG_ERROR("_Wendrel_ SetLocalIP refused: '%s' is not an IPv4 address", local_ip);
    return false;
  }
  std::lock_guard lock(mutex_);
  local_ip_ = local_ip != nullptr ? local_ip : "";
  local_port_ = port;
  WDR_LOG_DEBUG("_Wendrel_ SetLocalIP %s:%u recorded (the connection is not bound to it)",
                local_ip_.c_str(), static_cast<unsigned>(port));
  return true;
}

std::string RtmpPublisher::JoinUrl(const std::string& url, const std::string& stream_name) {
  if (stream_name.empty()) return url;
  const std::string suffix = "/" + stream_name;
  if (url.size() >= suffix.size() &&
      url.compare(url.size() - suffix.size(), suffix.size(), suffix) == 0) {
    return url;
  }
  return (!url.empty() && url.back() == '/' ? url : url + "/") + stream_name;
}

bool RtmpPublisher::SetMediaType(const RtmpPublishParam* param) {
  if (param == nullptr) {
    WDR_LOG_ERROR("_Wendrel_ SetMediaType refused: no record");
    return false;
  }
  Media media;
  media.has_audio = param->sampling_rate > 0 || param->channels > 0;
  if (media.has_audio &&
      !bitstream::BuildAacConfig(param->sampling_rate, param->channels, &media.aac_config)) {
    WDR_LOG_ERROR("_Wendrel_ SetMediaType refused: no AAC configuration for %d Hz, %d channels",
                  param->sampling_rate, param->channels);
    return false;
  }
  media.sample_rate = param->sampling_rate;
  media.channels = param->channels;
  media.audio_bitrate = std::max(0, param->audio_bitrate);
  if (param->sps_pps_len < 0 || param->sps_pps_len > static_cast<int>(sizeof(param->sps_pps))) {
    WDR_LOG_ERROR("_Wendrel_ SetMediaType refused: SPS/PPS length %d", param->sps_pps_len);
    return false;
  }
  if (param->sps_pps_len > 0) {
    const auto info =
        bitstream::InspectAccessUnit(param->sps_pps, static_cast<size_t>(param->sps_pps_len));
    media.avc_config = bitstream::BuildAvcConfig(info.sps, info.pps);
    if (media.avc_config.empty()) {
      WDR_LOG_ERROR("_Wendrel_ SetMediaType refused: %d bytes hold no SPS and PPS",
                    param->sps_pps_len);
      return false;
    }
  }
  media.has_video = param->sps_pps_len > 0 || param->video_width > 0;
  if (media.has_video && (param->video_width <= 0 || param->video_height <= 0 || param->fps <= 0)) {
    WDR_LOG_ERROR("_Wendrel_ SetMediaType refused: video %dx%d at %d fps", param->video_width,
                  param->video_height, param->fps);
    return false;
  }
  if (!media.has_audio && !media.has_video) {
    WDR_LOG_ERROR("_Wendrel_ SetMediaType refused: neither audio nor video described");
    return false;
  }
  media.width = param->video_width;
  media.height = param->video_height;
  media.fps = param->fps;
  media.video_bitrate = std::max(0, param->video_bitrate);

  std::lock_guard lock(mutex_);
  media_ = std::move(media);
  has_media_ = true;
  headers_sent_ = false;
  WDR_LOG_MESSAGE("_Wendrel_ SetMediaType %dx%d %d fps, %d Hz %d channels, SPS/PPS %d bytes",
                  media_.width, media_.height, media_.fps, media_.sample_rate, media_.channels,
                  param->sps_pps_len);
  if (transport_ == nullptr) return true;
  return SendHeadersLocked();
}

bool RtmpPublisher::Start(const char* url, const char* stream_name) {
  if (url == nullptr ||
      (std::strncmp(url, "rtmp://", 7) != 0 && std::strncmp(url, "rtmps://", 8) != 0 &&
       std::strncmp(url, "rtmpt://", 8) != 0 && std::strncmp(url, "rtmpts://", 9) != 0)) {
    WDR_LOG_ERROR("_Wendrel_ Start refused: '%s' is not an RTMP URL",
                  url != nullptr ? quillet::MaskUrl(url).c_str() : "");
    return false;
  }
  const std::string name = stream_name != nullptr ? stream_name : "";
  const std::string target = JoinUrl(url, name);
  // What the log shows: the URL and the name each with its key masked.
  const std::string shown = JoinUrl(quillet::MaskUrl(url), quillet::MaskStreamName(name));
  std::lock_guard lock(mutex_);
  CloseLocked();
  auto transport = factory_();
  {
    std::lock_guard abort_lock(abort_mutex_);
    if (stopped_) {
      WDR_LOG_ERROR("_Wendrel_ Start refused: the handle was stopped");
      return false;
    }
    abortable_ = transport.get();
  }
  std::string error;
  if (!transport->Connect(target, kConnectTimeoutMs, &error)) {
    WDR_LOG_ERROR("_Wendrel_ connecting to %s failed: %s", shown.c_str(), error.c_str());
    std::lock_guard abort_lock(abort_mutex_);
    abortable_ = nullptr;
    return false;
  }
  transport_ = std::move(transport);
  url_ = shown;
  failed_ = false;
  headers_sent_ = false;
  has_base_ = false;
  last_audio_ms_ = last_video_ms_ = 0;
  if (!SendLocked(flv::FileHeader(true, true))) {
    CloseLocked();
    return false;
  }
  WDR_LOG_MESSAGE("_Wendrel_ publishing %s", url_.c_str());
  if (has_media_) return SendHeadersLocked();
  return true;
}

void RtmpPublisher::Abort() {
  std::lock_guard abort_lock(abort_mutex_);
  if (abortable_ != nullptr) abortable_->Interrupt();
}

void RtmpPublisher::Stop() {
  {
    std::lock_guard abort_lock(abort_mutex_);
    stopped_ = true;
  }
  Abort();
  std::lock_guard lock(mutex_);
  CloseLocked();
}

void RtmpPublisher::CloseLocked() {
  if (transport_ == nullptr) return;
  transport_->Close(kCloseTimeoutMs);
  {
    std::lock_guard abort_lock(abort_mutex_);
    abortable_ = nullptr;
  }
  transport_.reset();
  WDR_LOG_MESSAGE("_Wendrel_ stopped publishing %s", url_.c_str());
}

bool RtmpPublisher::SendLocked(const std::vector<uint8_t>& bytes) {
  if (failed_) return false;
  std::string error;
  if (!transport_->Write(bytes.data(), bytes.size(), kIoTimeoutMs, &error)) {
    WDR_LOG_ERROR("_Wendrel_ sending to %s failed: %s", url_.c_str(), error.c_str());
    failed_ = true;
    return false;
  }
  return true;
}

bool RtmpPublisher::SendHeadersLocked() {
  flv::Metadata metadata;
  metadata.has_audio = media_.has_audio;
  metadata.has_video = media_.has_video;
  metadata.width = media_.width;
  metadata.height = media_.height;
  metadata.fps = media_.fps;
  metadata.video_bitrate = media_.video_bitrate;
  metadata.audio_bitrate = media_.audio_bitrate;
  metadata.sample_rate = media_.sample_rate;
  metadata.channels = media_.channels;
  const uint32_t now = std::max(last_audio_ms_, last_video_ms_);
  std::vector<uint8_t> bytes;
  flv::AppendTag(&bytes, flv::kTagScript, now, flv::MetadataPayload(metadata));
  if (media_.has_video && !media_.avc_config.empty()) {
    flv::AppendTag(&bytes, flv::kTagVideo, now, flv::AvcSequenceHeader(media_.avc_config));
  }
  if (media_.has_audio) {
    flv::AppendTag(&bytes, flv::kTagAudio, now,
                   flv::AacSequenceHeader(media_.aac_config, media_.channels));
  }
  headers_sent_ = SendLocked(bytes);
  return headers_sent_;
}

uint32_t RtmpPublisher::TimestampLocked(uint64_t timestamp_100ns, bool audio) {
  if (!has_base_) {
    has_base_ = true;
    base_100ns_ = timestamp_100ns;
  }
  uint32_t relative = timestamp_100ns > base_100ns_
                          ? static_cast<uint32_t>((timestamp_100ns - base_100ns_) / 10000)
                          : 0;
  uint32_t& last = audio ? last_audio_ms_ : last_video_ms_;
  relative = std::max(relative, last);
  last = relative;
  return relative;
}

bool RtmpPublisher::PushMediaSample(const uint8_t* data, uint32_t length, uint64_t timestamp,
                                    uint64_t kind, uint32_t is_audio, uint8_t key_frame) {
  const bool audio = is_audio != 0;
  if (data == nullptr || length == 0 || is_audio > 1 ||
      (kind != (audio ? kKindAudio : kKindVideo))) {
    WDR_LOG_ERROR("_Wendrel_ PushMediaSample refused: data %p length %u kind %llu is_audio %u",
                  static_cast<const void*>(data), length, static_cast<unsigned long long>(kind),
                  is_audio);
    return false;
  }
  std::lock_guard lock(mutex_);
  if (transport_ == nullptr || failed_ || !has_media_ ||
      (audio ? !media_.has_audio : !media_.has_video)) {
    if (WorthLogging(++refused_)) {
      WDR_LOG_WARNING("_Wendrel_ PushMediaSample refused: %s (%llu so far)",
                      transport_ == nullptr ? "not publishing"
                      : failed_             ? "connection failed"
                      : !has_media_         ? "no media type"
                                            : "track not announced",
                      static_cast<unsigned long long>(refused_));
    }
    return false;
  }
  if (!headers_sent_ && !SendHeadersLocked()) return false;

  std::vector<uint8_t> bytes;
  if (audio) {
    bitstream::AdtsHeader adts;
    if (bitstream::ParseAdts(data, length, &adts)) {
      data += adts.header_size;
      length = static_cast<uint32_t>(adts.frame_length - adts.header_size);
    }
    if (length == 0) return false;
    flv::AppendTag(&bytes, flv::kTagAudio, TimestampLocked(timestamp, true),
                   flv::AacFrame(data, length, media_.channels));
    return SendLocked(bytes);
  }

  const bitstream::AccessUnitInfo info = bitstream::InspectAccessUnit(data, length);
  if (!info.sps.empty() && !info.pps.empty()) {
    // Parameter sets in band that differ from the announced ones (or the
    // first ones when none were announced) go out as a new sequence header.
    std::vector<uint8_t> config = bitstream::BuildAvcConfig(info.sps, info.pps);
    if (!config.empty() && config != media_.avc_config) {
      media_.avc_config = std::move(config);
      const uint32_t now = std::max(last_audio_ms_, last_video_ms_);
      flv::AppendTag(&bytes, flv::kTagVideo, now, flv::AvcSequenceHeader(media_.avc_config));
    }
  }
  if (media_.avc_config.empty()) {
    if (WorthLogging(++refused_)) {
      WDR_LOG_WARNING("_Wendrel_ video before any SPS/PPS refused (%llu so far)",
                      static_cast<unsigned long long>(refused_));
    }
    return false;
  }
  const std::vector<uint8_t> nal_units = bitstream::AnnexBToLengthPrefixed(data, length, true);
  if (nal_units.empty()) {
    if (!bytes.empty()) return SendLocked(bytes);  // parameter sets alone
    WDR_LOG_ERROR("_Wendrel_ PushMediaSample refused: %u bytes hold no H.264 NAL unit", length);
    return false;
  }
  flv::AppendTag(&bytes, flv::kTagVideo, TimestampLocked(timestamp, false),
                 flv::AvcFrame(nal_units, key_frame != 0 || info.has_idr));
  return SendLocked(bytes);
}

}  // namespace plenova
