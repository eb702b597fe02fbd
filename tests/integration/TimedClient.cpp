#include "tests/integration/TimedClient.h"

#include <chrono>
#include <cmath>
#include <cstring>

namespace plenova::testing {

uint64_t TimedClient::FrameStamp(const TimedCamera& c, uint64_t n) {
  return n * 90000 * static_cast<uint64_t>(c.den) / static_cast<uint64_t>(c.num);
}

bool TimedClient::Flashes(double media_seconds) {
  return media_seconds >= 1.0 && media_seconds - std::floor(media_seconds) < kFlashSeconds;
}

bool TimedClient::Start(const TimedMeeting& meeting, const std::string& mp4,
                        const std::string& url) {
  meeting_ = meeting;
  url_ = url;
  AudioParam a{};
  a.url_1 = url_.empty() ? nullptr : url_.c_str();
  a.local_port = 40000;
  a.audio_bitrate = 96000;
  a.waitMaxTime = 25;
  std::strcpy(a.local_Ip, "127.0.0.1");
  a.Enable_write_mp4 = true;
  a.Enable_rtmp = !url_.empty();
  recorder_->SetAuidoParam(&a);
  VideoParam v{800000, TimedMeeting::kCanvasH, TimedMeeting::kCanvasW, 0};
  recorder_->SetVideoParam(&v);
  bool ok = url_.empty() || recorder_->StartRecord(url_.c_str()) == 0;
  ok = recorder_->StartMp4Record(mp4.c_str()) == 0 && ok;

  audio_info_.clear();
  for (const TimedVoice& voice : meeting_.voices)
    audio_info_.push_back({1, 16, 48000, voice.id.c_str()});
  video_info_.clear();
  for (const TimedCamera& c : meeting_.cameras) {
    const int fps = c.declared_fps >= 0 ? c.declared_fps : c.num / c.den;
    video_info_.push_back({fps, TimedMeeting::kWindowH, TimedMeeting::kWindowW, c.id.c_str(),
                           TimedMeeting::kWindowH, TimedMeeting::kWindowW, c.x, c.y, 0});
  }
  AudioStreamInfoUpdate audio{audio_info_.data(),
                              static_cast<int32_t>(audio_info_.size()),
                              TimedMeeting::kMixerFps,
                              1,
                              48000,
                              16};
  VideoStreamInfoUpdate video{static_cast<int32_t>(video_info_.size()), video_info_.data()};
  recorder_->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&audio);
  recorder_->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&video);
  return ok;
}

void TimedClient::Run(double seconds) {
  start_ = std::chrono::steady_clock::now();
  for (size_t i = 0; i < meeting_.cameras.size(); ++i)
    threads_.emplace_back([this, i, seconds] { PushCamera(i, seconds); });
  for (size_t i = 0; i < meeting_.voices.size(); ++i)
    threads_.emplace_back([this, i, seconds] { PushVoice(i, seconds); });
  Join();
}

void TimedClient::Join() {
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

void TimedClient::WaitUntil(const std::string& id, double stamped, double media_seconds) const {
  for (const TimedStall& stall : meeting_.stalls) {
    if (stall.id == id && stamped >= stall.from && stamped < stall.to)
      media_seconds = std::max(media_seconds, stall.to);
  }
  const auto machine = std::chrono::duration<double>(media_seconds / meeting_.clock_rate);
  std::this_thread::sleep_until(
      start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(machine));
}

void TimedClient::PushCamera(size_t index, double seconds) {
  const TimedCamera& c = meeting_.cameras[index];
  const int fps = c.declared_fps >= 0 ? c.declared_fps : c.num / c.den;
  const size_t luma = static_cast<size_t>(TimedMeeting::kWindowW) * TimedMeeting::kWindowH;
  std::vector<uint8_t> frame(luma * 3 / 2, 128);
  for (uint64_t n = 0;; ++n) {
    const uint64_t stamp = FrameStamp(c, n);
    const double t = static_cast<double>(stamp) / 90000;
    if (t >= seconds) break;
    WaitUntil(c.id, t, t);  // a camera sends a picture as it takes it
    std::memset(frame.data(), Flashes(t) ? kFlash : kDark, luma);
    if (recorder_->PushVideoFrame(TimedMeeting::kWindowW, TimedMeeting::kWindowH, c.id.c_str(), fps,
                                  frame.data(), static_cast<int>(frame.size()), stamp, 0) != 0) {
      ++refused_;
    }
  }
}

void TimedClient::PushVoice(size_t index, double seconds) {
  const TimedVoice& v = meeting_.voices[index];
  const int samples = 48 * v.frame_ms;
  std::vector<int16_t> pcm(static_cast<size_t>(samples));
  for (uint64_t n = 0;; ++n) {
    const uint64_t first = n * static_cast<uint64_t>(samples);
    const double t = static_cast<double>(first) / 48000;
    if (t >= seconds) break;
    // A frame leaves once captured; in pairs, the first waits for the second.
    const uint64_t captured = v.in_pairs ? (n | 1) + 1 : n + 1;
    WaitUntil(v.id, t, static_cast<double>(captured * static_cast<uint64_t>(samples)) / 48000);
    for (int i = 0; i < samples; ++i) {
      const double s = static_cast<double>(first + static_cast<uint64_t>(i)) / 48000;
      const bool on = s >= 1.0 && s - std::floor(s) < kBeepSeconds;
      pcm[static_cast<size_t>(i)] =
          on ? static_cast<int16_t>(9000 * std::sin(2 * M_PI * v.pitch * s)) : 0;
    }
    if (recorder_->PushAudioFrame(1, 16, 48000, pcm.data(), samples * 2, first * 90000 / 48000,
                                  v.id.c_str()) != 0) {
      ++refused_;
    }
  }
}

}  // namespace plenova::testing
