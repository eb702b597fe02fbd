// Drives a whole meeting through libplenova.so from raw files, the way the
// FFmpeg and GStreamer anchors of scripts/bench.sh read them. One thread
// pushes everything in real time (audio in 20 ms frames), so the process's
// CPU time is the engine's plus a copy of each frame out of memory.
//
//   raw_meeting_driver --video in.yuv --audio in.pcm --participants N
//       --canvas WxH --seconds S --mp4 PATH [--rtmp URL]
//       [--video-bitrate BPS] [--audio-bitrate BPS] [--log-dir DIR]
//       [--meetings M]
//   raw_meeting_driver --layout meeting --screen screen.yuv --camera15 a.yuv
//       --camera30 b.yuv --audio in.pcm --seconds S --mp4 PATH [...]
//
// Grid layout: every participant shows the same 640x360 clip at 25 fps and
// the first five speak the same interleaved 16-bit PCM; ceil(sqrt(N))
// columns, cells of even size, as the anchors' grid.
// Meeting layout (1920x1080): a shared screen (1920x1080 at 5 fps) scaled to
// 1600x900 at the top left, and six 640x360 cameras (three at 15 fps, three
// at 30) in a row of 320x180 cells below it; five of them speak.
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"

namespace {

constexpr int kSourceW = 640, kSourceH = 360, kVideoFps = 25;
constexpr int kScreenW = 1920, kScreenH = 1080, kScreenFps = 5;
constexpr int kRate = 48000, kChannels = 2, kAudioFps = 50, kMaxVoices = 5;

struct Options {
  std::string video, audio, mp4, rtmp, log_dir = "/tmp";
  std::string layout = "grid", screen, camera15, camera30;
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
  size_t frame_bytes() const { return buffer_.size(); }
  // Frame `index`, looping at the end of the file; null when it cannot be
  // read. Reading the same index again reuses the buffer.
  uint8_t* Read(uint64_t index) {
    if (index == last_ && got_) return buffer_.data();
    last_ = index;
    const auto offset = static_cast<off_t>((index % frames_) * buffer_.size());
    got_ = ::pread(fd_, buffer_.data(), buffer_.size(), offset) ==
           static_cast<ssize_t>(buffer_.size());
    return got_ ? buffer_.data() : nullptr;
  }

 private:
  int fd_ = -1;
  size_t frames_ = 0;
  uint64_t last_ = 0;
  bool got_ = false;
  std::vector<uint8_t> buffer_;
};

bool ParseSize(const char* text, int* w, int* h) { return std::sscanf(text, "%dx%d", w, h) == 2; }

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--video")
      o->video = value;
    else if (key == "--audio")
      o->audio = value;
    else if (key == "--mp4")
      o->mp4 = value;
    else if (key == "--rtmp")
      o->rtmp = value;
    else if (key == "--log-dir")
      o->log_dir = value;
    else if (key == "--participants")
      o->participants = std::atoi(value);
    else if (key == "--seconds")
      o->seconds = std::atof(value);
    else if (key == "--video-bitrate")
      o->video_bitrate = std::atoi(value);
    else if (key == "--audio-bitrate")
      o->audio_bitrate = std::atoi(value);
    else if (key == "--meetings")
      o->meetings = std::atoi(value);
    else if (key == "--layout")
      o->layout = value;
    else if (key == "--screen")
      o->screen = value;
    else if (key == "--camera15")
      o->camera15 = value;
    else if (key == "--camera30")
      o->camera30 = value;
    else if (key == "--canvas") {
      if (!ParseSize(value, &o->canvas_w, &o->canvas_h)) return false;
    } else {
      return false;
    }
  }
  if (o->layout == "meeting") {
    o->canvas_w = kScreenW;
    o->canvas_h = kScreenH;
    if (o->screen.empty() || o->camera15.empty() || o->camera30.empty()) return false;
  } else if (o->layout != "grid" || o->video.empty() || o->participants < 1 ||
             o->participants > 20) {
    return false;
  }
  return !o->audio.empty() && !o->mp4.empty() && o->seconds > 0 && o->meetings >= 1 &&
         o->meetings <= 16;
}

// One participant's camera or screen: where its frames come from and where
// it sits on the canvas.
struct Input {
  std::string id;
  FrameFile* file;  // owned by the meeting's file list
  int w, h, fps;
  int x, y, cell_w, cell_h;
  uint64_t next = 0;  // index of the next frame to push
};

// The meeting's inputs and the files they read; grid inputs share one file,
// so that one read serves every participant (as one decoded clip would).
struct Inputs {
  std::vector<std::unique_ptr<FrameFile>> files;
  std::vector<Input> video;
};

bool BuildInputs(const Options& o, Inputs* in) {
  auto open = [&](const std::string& path, int w, int h) {
    in->files.push_back(std::make_unique<FrameFile>(path, static_cast<size_t>(w) * h * 3 / 2));
    return in->files.back()->frames() > 0 ? in->files.back().get() : nullptr;
  };
  if (o.layout == "meeting") {
    FrameFile* screen = open(o.screen, kScreenW, kScreenH);
    if (screen == nullptr) return false;
    in->video.push_back({"screen", screen, kScreenW, kScreenH, kScreenFps, 0, 0, 1600, 900});
    for (int i = 0; i < 6; ++i) {
      const bool fast = i % 2 == 1;
      FrameFile* camera = open(fast ? o.camera30 : o.camera15, kSourceW, kSourceH);
      if (camera == nullptr) return false;
      in->video.push_back({"camera-" + std::to_string(i + 1), camera, kSourceW, kSourceH,
                           fast ? 30 : 15, i * 320, 900, 320, 180});
    }
    return true;
  }
  FrameFile* clip = open(o.video, kSourceW, kSourceH);
  if (clip == nullptr) return false;
  const int n = o.participants;
  const int cols = static_cast<int>(std::ceil(std::sqrt(n)));
  const int rows = (n + cols - 1) / cols;
  const int cell_w = o.canvas_w / cols / 2 * 2, cell_h = o.canvas_h / rows / 2 * 2;
  for (int i = 0; i < n; ++i)
    in->video.push_back({"participant-" + std::to_string(i + 1), clip, kSourceW, kSourceH,
                         kVideoFps, (i % cols) * cell_w, (i / cols) * cell_h, cell_w, cell_h});
  return true;
}

// One meeting, pushed from the calling thread; `index` names its file.
// Returns the pushes refused, or -1 when the recorder could not start.
int RunMeeting(const Options& o, int index) {
  const size_t pcm_bytes = kRate / kAudioFps * kChannels * 2;
  Inputs inputs;
  FrameFile audio(o.audio, pcm_bytes);
  if (!BuildInputs(o, &inputs) || audio.frames() == 0) {
    std::fprintf(stderr, "raw_meeting_driver: cannot read the video inputs or %s\n",
                 o.audio.c_str());
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

  std::vector<Input>& video = inputs.video;
  const int n = static_cast<int>(video.size());
  const int voices = n < kMaxVoices ? n : kMaxVoices;
  std::vector<AudioStreamInfo> audio_info;
  for (int i = 0; i < voices; ++i)
    audio_info.push_back({kChannels, 16, kRate, video[i].id.c_str()});
  std::vector<VideoStreamInfo> video_info;
  for (const Input& in : video)
    video_info.push_back({in.fps, in.h, in.w, in.id.c_str(), in.cell_h, in.cell_w, in.x, in.y, 0});
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

  // Each input and the audio are pushed when due by their own frame count;
  // the engine copies what it takes, so a buffer is reused at once.
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto due = [&](uint64_t count, int fps) {
    return start + std::chrono::microseconds(count * 1000000 / fps);
  };
  const double seconds = o.seconds;
  const auto audio_count = static_cast<uint64_t>(seconds * kAudioFps);
  uint64_t next_audio = 0;
  int refused = 0;
  // Canvases composed in each whole second, from the engine's statistics.
  PlenovaStatistics stats{};
  uint64_t composed_before = 0;
  uint64_t second = 0;
  uint64_t fewest = UINT64_MAX;
  for (;;) {
    // The next thing due: an input's frame or the audio frame.
    Input* next = nullptr;
    for (Input& in : video) {
      if (in.next >= static_cast<uint64_t>(seconds * in.fps)) continue;
      if (next == nullptr || due(in.next, in.fps) < due(next->next, next->fps)) next = &in;
    }
    const bool audio_left = next_audio < audio_count;
    if (next == nullptr && !audio_left) break;
    const bool video_next = next != nullptr && (!audio_left || due(next->next, next->fps) <=
                                                                   due(next_audio, kAudioFps));
    std::this_thread::sleep_until(video_next ? due(next->next, next->fps)
                                             : due(next_audio, kAudioFps));
    if (video_next) {
      uint8_t* frame = next->file->Read(next->next);
      if (frame != nullptr)
        refused +=
            recorder->PushVideoFrame(next->w, next->h, next->id.c_str(), next->fps, frame,
                                     static_cast<int>(next->file->frame_bytes()),
                                     next->next * 90000 / static_cast<uint64_t>(next->fps), 0) != 0;
      ++next->next;
    } else {
      uint8_t* pcm = audio.Read(next_audio);
      for (int i = 0; i < voices; ++i)
        refused += recorder->PushAudioFrame(kChannels, 16, kRate, pcm, static_cast<int>(pcm_bytes),
                                            next_audio * 1800, video[i].id.c_str()) != 0;
      ++next_audio;
      if (next_audio % kAudioFps == 0) {
        stats.size = sizeof stats;
        recorder->GetStatistics(&stats);
        if (++second > 2 && stats.canvases_composed - composed_before < fewest) {
          fewest = stats.canvases_composed - composed_before;
        }
        composed_before = stats.canvases_composed;
      }
    }
  }
  stats.size = sizeof stats;
  recorder->GetStatistics(&stats);
  if (!o.rtmp.empty()) recorder->StopRecord();
  recorder->StopMp4Record();
  DeletePlenova(recorder);
  std::printf(
      "meeting %d: %llu canvases in %.0f s, fewest in a second %llu, encoder preset changes %u\n",
      index + 1, static_cast<unsigned long long>(stats.canvases_composed), o.seconds,
      static_cast<unsigned long long>(fewest == UINT64_MAX ? 0 : fewest),
      stats.encoder_preset_changes);
  return refused;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (argc % 2 == 0 || !Parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: %s --video in.yuv --audio in.pcm --mp4 PATH [--participants N] "
                 "[--canvas WxH] [--seconds S] [--rtmp URL] [--video-bitrate BPS] "
                 "[--audio-bitrate BPS] [--log-dir DIR] [--meetings M]\n"
                 "       %s --layout meeting --screen 1920x1080.yuv --camera15 640x360.yuv "
                 "--camera30 640x360.yuv --audio in.pcm --mp4 PATH [...]\n",
                 argv[0], argv[0]);
    return 2;
  }
  std::vector<int> results(static_cast<size_t>(o.meetings), 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < o.meetings; ++i)
    threads.emplace_back([&, i] { results[i] = RunMeeting(o, i); });
  for (std::thread& t : threads) t.join();
  int refused = 0;
  for (int r : results) {
    if (r < 0) return 1;
    refused += r;
  }
  if (refused > 0) std::fprintf(stderr, "raw_meeting_driver: %d pushes refused\n", refused);
  return refused > 0 ? 1 : 0;
}
