#include "tests/integration/MeetingClient.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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
  for (const auto& p : meeting_.video) {
    video_info_.push_back({p.DeclaredFps(), p.height, p.width, p.id.c_str(), p.target_h, p.target_w,
                           p.x, p.yy, p.videoType});
  }
  VideoStreamInfoUpdate video{static_cast<int32_t>(video_info_.size()), video_info_.data()};
  picture_info_ = meeting_.pictures;
  PictureStreamInfoUpdate pictures{static_cast<int32_t>(picture_info_.size()),
                                   picture_info_.data()};
  // Pictures before the video layout, as a client may send them: they wait
  // for the canvas the video layout brings.
  IUpdateStreamInterface* layout = recorder_->GetUpdateStreamInterface();
  layout->UpdateAudioStreamInfo(&audio);
  if (!picture_info_.empty()) layout->UpdatePictureStreamInfo(&pictures);
  layout->UpdateVideoStreamInfo(&video);
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

uint64_t MeetingClient::FrameStamp(const VideoParticipant& p, uint64_t n) {
  return n * 90000 * static_cast<uint64_t>(p.fps_den) / static_cast<uint64_t>(p.fps);
}

void MeetingClient::Run(double seconds) {
  Stop();
  if (video_frames_.size() != meeting_.video.size()) video_frames_.assign(meeting_.video.size(), 0);
  if (audio_frames_.size() != meeting_.audio.size()) audio_frames_.assign(meeting_.audio.size(), 0);
  run_start_ = std::chrono::steady_clock::now();
  const double until = run_from_ + seconds;
  for (size_t i = 0; i < meeting_.video.size(); ++i)
    threads_.emplace_back([this, i, until] { PushVideo(i, until); });
  for (size_t i = 0; i < meeting_.audio.size(); ++i)
    threads_.emplace_back([this, i, until] { PushAudio(i, until); });
  Stop();
  run_from_ = until;
}

void MeetingClient::Stop() {
  for (auto& t : threads_)
    if (t.joinable()) t.join();
  threads_.clear();
}

bool MeetingClient::Marked(double t) const {
  return t >= meeting_.marks_from && t - std::floor(t) < kMarkSeconds;
}

void MeetingClient::WaitUntil(const std::string& id, double stamped, double media_seconds) const {
  for (const Stall& stall : meeting_.stalls) {
    if (stall.id == id && stamped >= stall.from && stamped < stall.to)
      media_seconds = std::max(media_seconds, stall.to);
  }
  const auto machine =
      std::chrono::duration<double>((media_seconds - run_from_) / meeting_.clock_rate);
  std::this_thread::sleep_until(
      run_start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(machine));
}

void MeetingClient::PushVideo(size_t index, double until) {
  const VideoParticipant& p = meeting_.video[index];
  const size_t ysize = static_cast<size_t>(p.width) * p.height;
  std::vector<uint8_t> frame(ysize * 3 / 2);
  for (;;) {
    const uint64_t stamp = FrameStamp(p, video_frames_[index]);
    const double t = static_cast<double>(stamp) / 90000;
    if (t >= until) break;
    ++video_frames_[index];
    WaitUntil(p.id, t, t);  // a camera sends a picture as it takes it
    const bool white = p.flash && Marked(t);
    std::memset(frame.data(), white ? 235 : p.y, ysize);
    std::memset(frame.data() + ysize, white ? 128 : p.u, ysize / 4);
    std::memset(frame.data() + ysize * 5 / 4, white ? 128 : p.v, ysize / 4);
    const int r =
        recorder_->PushVideoFrame(p.width, p.height, p.id.c_str(), p.DeclaredFps(), frame.data(),
                                  static_cast<int>(frame.size()), stamp, p.orientation);
    if (r != 0)
      ++refused_;
    else
      ++pushed_;
  }
}

void MeetingClient::PushAudio(size_t index, double until) {
  const AudioParticipant& p = meeting_.audio[index];
  const int samples = p.frame_ms > 0 ? p.rate * p.frame_ms / 1000 : p.rate / meeting_.mixer_fps;
  std::vector<int16_t> pcm(static_cast<size_t>(samples) * p.channels);
  for (;;) {
    const uint64_t n = audio_frames_[index];
    const uint64_t first = n * static_cast<uint64_t>(samples);
    const double t = static_cast<double>(first) / p.rate;
    if (t >= until) break;
    ++audio_frames_[index];
    // A frame leaves once captured; in pairs, the first waits for the second.
    const uint64_t captured = p.in_pairs ? (n | 1) + 1 : n + 1;
    WaitUntil(p.id, t, static_cast<double>(captured * static_cast<uint64_t>(samples)) / p.rate);
    for (int i = 0; i < samples; ++i) {
      const double s = static_cast<double>(first + static_cast<uint64_t>(i)) / p.rate;
      double value = 0;
      if (p.beep) {
        if (Marked(s)) value = 12000 * std::sin(2 * M_PI * p.beep_hz * s);
      } else if (p.tone > 0) {
        value = 8000 * std::sin(2 * M_PI * p.tone * s);
      }
      for (int c = 0; c < p.channels; ++c)
        pcm[static_cast<size_t>(i) * p.channels + c] = static_cast<int16_t>(value);
    }
    const int r = recorder_->PushAudioFrame(
        p.channels, 16, p.rate, pcm.data(), static_cast<int>(pcm.size() * 2),
        first * 90000 / static_cast<uint64_t>(p.rate), p.id.c_str());
    if (r != 0)
      ++refused_;
    else
      ++pushed_;
  }
}

}  // namespace plenova::testing
