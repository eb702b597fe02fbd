// Records a few seconds of a two-person synthetic meeting to an MP4 (and
// publishes it when an RTMP URL is given) through the installed C++
// interface.
//
//   record_meeting OUT.mp4 [SECONDS] [RTMP_URL]
//
// The log goes to ./LiveRecordLog. Exit status 0 when the MP4 recorder
// reported its start and its stop.

#include <plenova/Plenova.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<int> g_started{0};
std::atomic<int> g_stopped{0};

void OnMp4State(int /*stream id*/, int state) {
  if (state == 1) ++g_started;
  if (state == 2) ++g_stopped;
}

std::vector<uint8_t> SolidI420(int w, int h, uint8_t y, uint8_t u, uint8_t v) {
  std::vector<uint8_t> frame(static_cast<size_t>(w) * h * 3 / 2);
  std::memset(frame.data(), y, static_cast<size_t>(w) * h);
  std::memset(frame.data() + w * h, u, static_cast<size_t>(w) * h / 4);
  std::memset(frame.data() + w * h * 5 / 4, v, static_cast<size_t>(w) * h / 4);
  return frame;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.mp4 [SECONDS] [RTMP_URL]\n", argv[0]);
    return 2;
  }
  const char* path = argv[1];
  const double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
  const std::string url = argc > 3 ? argv[3] : "";

  IPlenova* recorder = CreatePlenova(".");
  if (recorder == nullptr) return 1;
  std::printf("library %s, headers %s\n", recorder->GetVersion(), PLENOVA_VERSION_STRING);

  AudioParam audio{};
  audio.audio_bitrate = 64000;
  audio.waitMaxTime = 25;
  std::strcpy(audio.local_Ip, "127.0.0.1");
  audio.local_port = 40000;
  audio.Enable_write_mp4 = true;
  audio.Enable_rtmp = !url.empty();
  audio.url_1 = url.empty() ? nullptr : url.c_str();
  recorder->SetAuidoParam(&audio);
  VideoParam video{500000, 180, 320, 0};  // bit/s, height, width
  recorder->SetVideoParam(&video);
  recorder->SetMp4RecordCallback(1, &OnMp4State);
  if (!url.empty()) recorder->StartRecord(url.c_str());
  recorder->StartMp4Record(path);

  AudioStreamInfo voices[] = {{2, 16, 48000, "alice"}};
  AudioStreamInfoUpdate voice_layout{voices, 1, 50, 2, 48000, 16};
  // fps, source h, w, id, target h, w, x, y, videoType; the cameras are
  // scaled into their halves of the canvas.
  VideoStreamInfo cameras[] = {{25, 240, 320, "alice", 180, 160, 0, 0, 0},
                               {25, 240, 320, "bob", 180, 160, 160, 0, 1}};
  VideoStreamInfoUpdate camera_layout{2, cameras};
  recorder->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&voice_layout);
  recorder->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&camera_layout);

  const std::vector<uint8_t> red = SolidI420(320, 240, 81, 90, 240);
  const std::vector<uint8_t> blue = SolidI420(320, 240, 41, 240, 110);
  std::vector<int16_t> pcm(960 * 2);
  const auto begin = std::chrono::steady_clock::now();
  const int steps = static_cast<int>(seconds * 50);
  for (int step = 0; step < steps; ++step) {
    const uint64_t stamp = static_cast<uint64_t>(step) * 1800;  // 20 ms in 90 kHz ticks
    for (size_t i = 0; i < 960; ++i)
      pcm[2 * i] = pcm[2 * i + 1] =
          static_cast<int16_t>(6000 * std::sin(2 * M_PI * 440 * (step * 960 + i) / 48000.0));
    recorder->PushAudioFrame(2, 16, 48000, pcm.data(), static_cast<int>(pcm.size() * 2), stamp,
                             "alice");
    if (step % 2 == 0) {
      recorder->PushVideoFrame(320, 240, "alice", 25, const_cast<uint8_t*>(red.data()),
                               static_cast<int>(red.size()), stamp, 0);
      recorder->PushVideoFrame(320, 240, "bob", 25, const_cast<uint8_t*>(blue.data()),
                               static_cast<int>(blue.size()), stamp, 0);
    }
    std::this_thread::sleep_until(begin + std::chrono::milliseconds(20 * (step + 1)));
  }
  recorder->StopMp4Record();
  if (!url.empty()) recorder->StopRecord();
  DeletePlenova(recorder);
  std::printf("%s: started %d, stopped %d\n", path, g_started.load(), g_stopped.load());
  return g_started == 1 && g_stopped == 1 ? 0 : 1;
}
