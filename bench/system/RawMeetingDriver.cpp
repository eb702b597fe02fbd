// Drives a whole meeting through libplenova.so from raw files, the way the
// FFmpeg and GStreamer anchors of scripts/bench.sh read them: every
// participant shows the same I420 clip and the first five speak the same
// interleaved 16-bit PCM. One thread pushes everything in real time (video at
// 25 fps, audio in 20 ms frames), so the process's CPU time is the engine's
// plus a copy of each frame out of memory.
//
//   raw_meeting_driver --video in.yuv --audio in.pcm --participants N
//       --canvas WxH --seconds S --mp4 PATH [--rtmp URL]
//       [--video-bitrate BPS] [--audio-bitrate BPS] [--log-dir DIR]
//       [--meetings M]
//
// The grid matches the anchors': ceil(sqrt(N)) columns, cells of even size.
// With --meetings M, M recorders run in this one process, each pushed by a
// thread of its own and recording to PATH with "-K" before its extension;
// each prints one line: the canvases it composed, and the fewest in any
// whole second after the first two (25 when it kept real time).

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"

namespace {

constexpr int kSourceW = 640, kSourceH = 360, kVideoFps = 25;
constexpr int kRate = 48000, kChannels = 2, kAudioFps = 50, kMaxVoices = 5;

struct Options {
  std::string video, audio, mp4, rtmp, log_dir = "/tmp";
  int participants = 9, canvas_w = 1280, canvas_h = 720;
  int video_bitrate = 1500000, audio_bitrate = 96000;
  double seconds = 20;
  int meetings = 1;
};

// A file read a frame at a time into one reused buffer, as the anchors read
// their inputs (a mapping would count the whole file in the resident size).
class FrameFile {
 public:
  FrameFile(const std::string& path, size_t frame_bytes) : buffer_(frame_bytes) {
    fd_ = ::open(path.c_str(), O_RDONLY);
    struct stat st {};
    if (fd_ >= 0 && ::fstat(fd_, &st) == 0) frames_ = static_cast<size_t>(st.st_size) / frame_bytes;
  }
  ~FrameFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  FrameFile(const FrameFile&) = delete;
  FrameFile& operator=(const FrameFile&) = delete;

  size_t frames() const { return frames_; }
  // Frame `index`, looping at the end of the file; null when it cannot be read.
  uint8_t* Read(uint64_t index) {
    const auto offset = static_cast<off_t>((index % frames_) * buffer_.size());
    const ssize_t got = ::pread(fd_, buffer_.data(), buffer_.size(), offset);
    return got == static_cast<ssize_t>(buffer_.size()) ? buffer_.data() : nullptr;
  }

 private:
  int fd_ = -1;
  size_t frames_ = 0;
  std::vector<uint8_t> buffer_;
};

bool ParseSize(const char* text, int* w, int* h) { return std::sscanf(text, "%dx%d", w, h) == 2; }

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--video") o->video = value;
    else if (key == "--audio") o->audio = value;
    else if (key == "--mp4") o->mp4 = value;
    else if (key == "--rtmp") o->rtmp = value;
    else if (key == "--log-dir") o->log_dir = value;
    else if (key == "--participants") o->participants = std::atoi(value);
    else if (key == "--seconds") o->seconds = std::atof(value);
    else if (key == "--video-bitrate") o->video_bitrate = std::atoi(value);
    else if (key == "--audio-bitrate") o->audio_bitrate = std::atoi(value);
    else if (key == "--meetings") o->meetings = std::atoi(value);
    else if (key == "--canvas") {
      if (!ParseSize(value, &o->canvas_w, &o->canvas_h)) return false;
    } else {
      return false;
    }
  }
  return !o->video.empty() && !o->audio.empty() && !o->mp4.empty() && o->participants >= 1 &&
         o->participants <= 20 && o->seconds > 0 && o->meetings >= 1 && o->meetings <= 16;
}

// One meeting, pushed from the calling thread; `index` names its file.
// Returns the pushes refused, or -1 when the recorder could not start.
int RunMeeting(const Options& o, int index) {
  const size_t frame_bytes = kSourceW * kSourceH * 3 / 2;
  const size_t pcm_bytes = kRate / kAudioFps * kChannels * 2;
  FrameFile video(o.video, frame_bytes), audio(o.audio, pcm_bytes);
  if (video.frames() == 0 || audio.frames() == 0) {
    std::fprintf(stderr, "raw_meeting_driver: cannot read %s or %s\n", o.video.c_str(), o.audio.c_str());
    return -1;
  }
  std::string mp4 = o.mp4;
  if (o.meetings > 1) {
    const size_t dot = mp4.rfind('.');
    const std::string suffix = "-" + std::to_string(index + 1);
    mp4 = dot == std::string::npos ? mp4 + suffix : mp4.substr(0, dot) + suffix + mp4.substr(dot);
  }

  IPlenova* recorder = CreatePlenova(o.log_dir.c_str());
  if (recorder == nullptr) return -1;
  AudioParam a{};
  a.url_1 = o.rtmp.empty() ? nullptr : o.rtmp.c_str();
  a.local_port = 40000;
  a.audio_bitrate = o.audio_bitrate;
  a.waitMaxTime = 25;
  std::strcpy(a.local_Ip, "127.0.0.1");
  a.Enable_write_mp4 = true;
  a.Enable_rtmp = !o.rtmp.empty();
  recorder->SetAuidoParam(&a);
  VideoParam v{o.video_bitrate, o.canvas_h, o.canvas_w, 0};
  recorder->SetVideoParam(&v);

  const int n = o.participants;
  const int cols = static_cast<int>(std::ceil(std::sqrt(n)));
  const int rows = (n + cols - 1) / cols;
  const int cell_w = o.canvas_w / cols / 2 * 2, cell_h = o.canvas_h / rows / 2 * 2;
  const int voices = n < kMaxVoices ? n : kMaxVoices;
  std::vector<std::string> ids;
  for (int i = 0; i < n; ++i) ids.push_back("participant-" + std::to_string(i + 1));
  std::vector<AudioStreamInfo> audio_info;
  for (int i = 0; i < voices; ++i) audio_info.push_back({kChannels, 16, kRate, ids[i].c_str()});
  std::vector<VideoStreamInfo> video_info;
  for (int i = 0; i < n; ++i)
    video_info.push_back({kVideoFps, kSourceH, kSourceW, ids[i].c_str(), cell_h, cell_w,
                          (i % cols) * cell_w, (i / cols) * cell_h, 0});
  AudioStreamInfoUpdate audio_layout{audio_info.data(), voices, kAudioFps, kChannels, kRate, 16};
  VideoStreamInfoUpdate video_layout{n, video_info.data()};
  recorder->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&audio_layout);
  recorder->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&video_layout);
  if (recorder->StartMp4Record(mp4.c_str()) != 0) {
    std::fprintf(stderr, "raw_meeting_driver: StartMp4Record refused\n");
    DeletePlenova(recorder);
    return -1;
  }
  if (!o.rtmp.empty()) recorder->StartRecord(o.rtmp.c_str());

  // The engine copies what it takes, so one frame read serves every
  // participant.
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto video_period = std::chrono::microseconds(1000000 / kVideoFps);
  const auto audio_period = std::chrono::microseconds(1000000 / kAudioFps);
  const auto video_count = static_cast<uint64_t>(o.seconds * kVideoFps);
  const auto audio_count = static_cast<uint64_t>(o.seconds * kAudioFps);
  uint64_t next_video = 0, next_audio = 0;
  int refused = 0;
  // Canvases composed in each whole second, from the engine's statistics.
  PlenovaStatistics stats{};
  uint64_t composed_before = 0;
  int second = 0;
  uint64_t fewest = UINT64_MAX;
  while (next_video < video_count || next_audio < audio_count) {
    const auto video_due = start + next_video * video_period;
    const auto audio_due = start + next_audio * audio_period;
    const bool video_next = next_video < video_count && (next_audio >= audio_count || video_due <= audio_due);
    std::this_thread::sleep_until(video_next ? video_due : audio_due);
    if (video_next) {
      uint8_t* frame = video.Read(next_video);
      for (int i = 0; i < n; ++i)
        refused += recorder->PushVideoFrame(kSourceW, kSourceH, ids[i].c_str(), kVideoFps, frame,
                                            static_cast<int>(frame_bytes), next_video * 3600, 0) != 0;
      ++next_video;
      if (next_video % kVideoFps == 0) {
        stats.size = sizeof stats;
        recorder->GetStatistics(&stats);
        if (++second > 2 && stats.canvases_composed - composed_before < fewest) {
          fewest = stats.canvases_composed - composed_before;
        }
        composed_before = stats.canvases_composed;
      }
    } else {
      uint8_t* pcm = audio.Read(next_audio);
      for (int i = 0; i < voices; ++i)
        refused += recorder->PushAudioFrame(kChannels, 16, kRate, pcm, static_cast<int>(pcm_bytes),
                                            next_audio * 1800, ids[i].c_str()) != 0;
      ++next_audio;
    }
  }
  stats.size = sizeof stats;
  recorder->GetStatistics(&stats);
  if (!o.rtmp.empty()) recorder->StopRecord();
  recorder->StopMp4Record();
  DeletePlenova(recorder);
  std::printf("meeting %d: %llu canvases in %.0f s, fewest in a second %llu, encoder preset changes %u\n",
              index + 1, static_cast<unsigned long long>(stats.canvases_composed), o.seconds,
              static_cast<unsigned long long>(fewest == UINT64_MAX ? 0 : fewest), stats.encoder_preset_changes);
  return refused;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc % 2 == 0 || !Parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: %s --video in.yuv --audio in.pcm --mp4 PATH [--participants N] "
                 "[--canvas WxH] [--seconds S] [--rtmp URL] [--video-bitrate BPS] "
                 "[--audio-bitrate BPS] [--log-dir DIR] [--meetings M]\n",
                 argv[0]);
    return 2;
  }
  std::vector<int> results(static_cast<size_t>(o.meetings), 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < o.meetings; ++i) threads.emplace_back([&, i] { results[i] = RunMeeting(o, i); });
  for (std::thread& t : threads) t.join();
  int refused = 0;
  for (int r : results) {
    if (r < 0) return 1;
    refused += r;
  }
  if (refused > 0) std::fprintf(stderr, "raw_meeting_driver: %d pushes refused\n", refused);
  return refused > 0 ? 1 : 0;
}
