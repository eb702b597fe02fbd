#include "tests/integration/MeetingClient.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>

namespace plenova::testing {

std::string TempFolder(const std::string& name) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) /
                                    ("plenova_" + name + "_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir.string();
}

VideoParticipant Participant(const std::string& id, Colour c, int x, int y, int tw, int th, int w,
                             int h) {
  VideoParticipant p;
  p.id = id;
  p.width = w;
  p.height = h;
  p.y = c.y;
  p.u = c.u;
  p.v = c.v;
  p.x = x;
  p.yy = y;
  p.target_w = tw;
  p.target_h = th;
  return p;
}

AudioParticipant Voice(const std::string& id, double tone, bool beep) {
  AudioParticipant p;
  p.id = id;
  p.tone = tone;
  p.beep = beep;
  return p;
}

void MeetingClient::Configure(const Meeting& meeting, const std::string& rtmp_url) {
  meeting_ = meeting;
  rtmp_url_ = rtmp_url;
  AudioParam a{};
  a.filePath = nullptr;
  a.url_1 = rtmp_url_.empty() ? nullptr : rtmp_url_.c_str();
  a.url_2 = nullptr;
  a.StreamName_1 = nullptr;
  a.StreamName_2 = nullptr;
  a.local_port = 40000;
  a.audio_bitrate = meeting.audio_bitrate;
  a.waitMaxTime = 25;
  std::strcpy(a.local_Ip, "127.0.0.1");
  a.Enable_write_mp4 = true;
  a.Enable_rtmp = !rtmp_url_.empty();
  recorder_->SetAuidoParam(&a);
  VideoParam v{meeting.video_bitrate, meeting.canvas_h, meeting.canvas_w, 0};
  recorder_->SetVideoParam(&v);
}

void MeetingClient::DeclareLayout() {
  audio_info_.clear();
  for (const auto& p : meeting_.audio)
    audio_info_.push_back({p.channels, 16, p.rate, p.id.c_str()});
  AudioStreamInfoUpdate audio{audio_info_.data(),   static_cast<int32_t>(audio_info_.size()),
                              meeting_.mixer_fps,   meeting_.target_channels,
                              meeting_.target_rate, 16};
  video_info_.clear();
  for (const auto& p : meeting_.video)
    video_info_.push_back(
        {p.fps, p.height, p.width, p.id.c_str(), p.target_h, p.target_w, p.x, p.yy, p.videoType});
  VideoStreamInfoUpdate video{static_cast<int32_t>(video_info_.size()), video_info_.data()};
  IUpdateStreamInterface* layout = recorder_->GetUpdateStreamInterface();
  layout->UpdateAudioStreamInfo(&audio);
  layout->UpdateVideoStreamInfo(&video);
  picture_info_ = meeting_.pictures;
  PictureStreamInfoUpdate pictures{static_cast<int32_t>(picture_info_.size()),
                                   picture_info_.data()};
  if (!picture_info_.empty()) layout->UpdatePictureStreamInfo(&pictures);
  video_frames_.assign(meeting_.video.size(), 0);
  audio_frames_.assign(meeting_.audio.size(), 0);
}

bool MeetingClient::Start(const Meeting& meeting, const std::string& mp4, const std::string& url) {
  Configure(meeting, url);
  const bool rtmp = url.empty() || recorder_->StartRecord(url.c_str()) == 0;
  const bool file = recorder_->StartMp4Record(mp4.c_str()) == 0;
  DeclareLayout();
  return rtmp && file;
}

void MeetingClient::Run(double seconds) {
  Stop();
  if (video_frames_.size() != meeting_.video.size()) video_frames_.assign(meeting_.video.size(), 0);
  if (audio_frames_.size() != meeting_.audio.size()) audio_frames_.assign(meeting_.audio.size(), 0);
  for (size_t i = 0; i < meeting_.video.size(); ++i)
    threads_.emplace_back([this, i, seconds] { PushVideo(i, seconds); });
  for (size_t i = 0; i < meeting_.audio.size(); ++i)
    threads_.emplace_back([this, i, seconds] { PushAudio(i, seconds); });
  Stop();
}

void MeetingClient::Stop() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

void MeetingClient::PushVideo(size_t index, double seconds) {
  const VideoParticipant& p = meeting_.video[index];
  const size_t ysize = static_cast<size_t>(p.width) * p.height;
  std::vector<uint8_t> frame(ysize * 3 / 2);
  const auto start = std::chrono::steady_clock::now();
  const auto period = std::chrono::microseconds(1000000 / p.fps);
  const auto count = static_cast<uint64_t>(seconds * p.fps);
  for (uint64_t n = 0; n < count; ++n) {
    std::this_thread::sleep_until(start + n * period);
    const uint64_t k = video_frames_[index]++;
    const uint64_t stamp = k * 90000 / static_cast<uint64_t>(p.fps);
    const double t = static_cast<double>(k) / p.fps;
    const bool white = p.flash && (t - std::floor(t)) < 0.08;
    std::memset(frame.data(), white ? 235 : p.y, ysize);
    std::memset(frame.data() + ysize, white ? 128 : p.u, ysize / 4);
    std::memset(frame.data() + ysize * 5 / 4, white ? 128 : p.v, ysize / 4);
    const int r = recorder_->PushVideoFrame(p.width, p.height, p.id.c_str(), p.fps, frame.data(),
                                            static_cast<int>(frame.size()), stamp, p.orientation);
    if (r != 0)
      ++refused_;
    else
      ++pushed_;
  }
}

void MeetingClient::PushAudio(size_t index, double seconds) {
  const AudioParticipant& p = meeting_.audio[index];
  const int samples = p.rate / meeting_.mixer_fps;  // per channel, one mixer frame
  std::vector<int16_t> pcm(static_cast<size_t>(samples) * p.channels);
  const auto start = std::chrono::steady_clock::now();
  const auto period = std::chrono::microseconds(1000000 / meeting_.mixer_fps);
  const auto count = static_cast<uint64_t>(seconds * meeting_.mixer_fps);
  for (uint64_t n = 0; n < count; ++n) {
    std::this_thread::sleep_until(start + n * period);
    const uint64_t k = audio_frames_[index]++;
    for (int i = 0; i < samples; ++i) {
      const double t = static_cast<double>(k * samples + i) / p.rate;
      double value = 0;
      if (p.beep) {
        if (t - std::floor(t) < 0.08) value = 12000 * std::sin(2 * M_PI * kBeepHz * t);
      } else if (p.tone > 0) {
        value = 8000 * std::sin(2 * M_PI * p.tone * t);
      }
      for (int c = 0; c < p.channels; ++c)
        pcm[static_cast<size_t>(i) * p.channels + c] = static_cast<int16_t>(value);
    }
    const uint64_t stamp = k * 90000 / static_cast<uint64_t>(meeting_.mixer_fps);
    const int r = recorder_->PushAudioFrame(p.channels, 16, p.rate, pcm.data(),
                                            static_cast<int>(pcm.size() * 2), stamp, p.id.c_str());
    if (r != 0)
      ++refused_;
    else
      ++pushed_;
  }
}

}  // namespace plenova::testing
