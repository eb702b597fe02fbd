#include "recorder/ParamLog.h"

#include <string>

#include "quillet/UrlMask.h"

namespace plenova {
namespace {

const char* TrueFalse(bool value) { return value ? "true" : "false"; }

// What a URL or a stream name looks like in the log.
std::string Masked(const char* url) { return url != nullptr ? quillet::MaskUrl(url) : "(null)"; }
std::string MaskedName(const char* name) {
  return name != nullptr ? quillet::MaskStreamName(name) : "(null)";
}

}  // namespace

void LogAudioParam(const AudioParam& a) {
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam audio_bitrate=%d", a.audio_bitrate);
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam waitMaxTime=%d", a.waitMaxTime);
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam Enable_rtmp=%s", TrueFalse(a.Enable_rtmp));
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam Enable_write_mp4=%s", TrueFalse(a.Enable_write_mp4));
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam filePath=%s", a.filePath ? a.filePath : "(null)");
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam local_Ip=%s", a.local_Ip);
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam local_port=%d", a.local_port);
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam url_1=%s StreamName=%s", Masked(a.url_1).c_str(),
                MaskedName(a.StreamName_1).c_str());
  PLN_RAW_ERROR("_Plenova_ SetAuidoParam url_2=%s StreamName=%s", Masked(a.url_2).c_str(),
                MaskedName(a.StreamName_2).c_str());
}

void LogVideoParam(const VideoParam& v) {
  PLN_RAW_ERROR("_Plenova_ SetVideoParam  vparam->target_bitrate=%d", v.target_bitrate);
  PLN_RAW_ERROR("_Plenova_ SetVideoParam  vparam->target_w=%d", v.target_w);
  PLN_RAW_ERROR("_Plenova_ SetVideoParam  vparam->target_h=%d", v.target_h);
}

void LogAudioLayout(const AudioStreamInfoUpdate& u) {
  PLN_LOG_ERROR("MeetingMessageParam_For_UpdateAudioStreamInfo");
  PLN_RAW_ERROR("_Plenova_ audio->audioStreamCount=%d", u.audioStreamCount);
  PLN_RAW_ERROR("_Plenova_ audio->target_audio_channels=%d", u.target_audio_channels);
  PLN_RAW_ERROR("_Plenova_ audio->target_audio_frames_per_seconds=%d",
                u.target_audio_frames_per_seconds);
  PLN_RAW_ERROR("_Plenova_ audio->target_audio_sampling_per_bits=%d",
                u.target_audio_sampling_per_bits);
  PLN_RAW_ERROR("_Plenova_ audio->target_audio_sampling_rate=%d", u.target_audio_sampling_rate);
  for (int i = 0; i < u.audioStreamCount; ++i) {
    const AudioStreamInfo& e = u.astreamInfo[i];
    PLN_RAW_ERROR("_Plenova_ audio->astreamInfo[%d].channel=%d", i, e.channel);
    PLN_RAW_ERROR("_Plenova_ audio->astreamInfo[%d].sampling_per_bits=%d", i, e.sampling_per_bits);
    PLN_RAW_ERROR("_Plenova_ audio->astreamInfo[%d].sampling_rate=%d", i, e.sampling_rate);
  }
}

void LogStreamInitParam(const AVStreamInitParam& p) {
  PLN_LOG_WARNING("MeetingMessageParam_For_IAVStreamInit");
  PLN_RAW_WARNING("IAVStreamInit EnableRtmp=%s  EnableMp4=%s", TrueFalse(p.EnableRtmp),
                  TrueFalse(p.EnableMp4));
  PLN_RAW_WARNING("IAVStreamInit audio->sampling_rate=%d", p.audio.sampling_rate);
  PLN_RAW_WARNING("IAVStreamInit audio->sampling_per_bits=%d", p.audio.sampling_per_bits);
  PLN_RAW_WARNING("IAVStreamInit audio->channels=%d", p.audio.channels);
  PLN_RAW_WARNING("IAVStreamInit audio->audio_bitrate=%d", p.audio.audio_bitrate);
  PLN_RAW_WARNING("IAVStreamInit video->video_width=%d", p.video.video_width);
  PLN_RAW_WARNING("IAVStreamInit video->video_height=%d", p.video.video_height);
  PLN_RAW_WARNING("IAVStreamInit video->fps=%d", p.video.fps);
  PLN_RAW_WARNING("IAVStreamInit video->video_bitrate=%d", p.video.video_bitrate);
  PLN_RAW_WARNING("IAVStreamInit video->gop_size=%d", p.video.gop_size);
  PLN_RAW_WARNING("IAVStreamInit filePath=%s", p.filePath);
  PLN_RAW_WARNING("IAVStreamInit url_1=%s  StreamName=%s", Masked(p.url_1).c_str(),
                  MaskedName(p.StreamName_1).c_str());
  PLN_RAW_WARNING("IAVStreamInit url_2=%s  StreamName=%s", Masked(p.url_2).c_str(),
                  MaskedName(p.StreamName_2).c_str());
  PLN_RAW_WARNING("IAVStreamInit localIp=%s", p.localIp);
  PLN_RAW_WARNING("IAVStreamInit Localport=%d", static_cast<int>(p.Localport));
}

}  // namespace plenova
