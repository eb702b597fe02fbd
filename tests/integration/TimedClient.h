#pragma once

// A meeting client with the habits of real ones, through the public header
// and libplenova.so only: every stream is stamped from one 90 kHz media
// clock, cameras run at any rate (29.97 included), audio comes in frames of
// any length, the client's clock may run faster or slower than the
// machine's, and a participant's media may stall and then arrive at once.
// Cameras flash and voices beep (each voice at its own pitch) at every
// whole second of media time, so that the outputs can be checked for sync.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"

namespace plenova::testing {

struct TimedCamera {
  std::string id;
  int num = 25, den = 1;  // frames per second, num / den
  int x = 0, y = 0;       // the 160 x 90 window on the 640 x 360 canvas
  int declared_fps = -1;  // what the layout and the pushes declare; -1: num / den
};

struct TimedVoice {
  std::string id;
  double pitch = 1000;    // Hz of the beep
  int frame_ms = 20;      // length of a pushed frame
  bool in_pairs = false;  // frames leave the client two at a time
};

// Frames of stream `id` stamped in [from, to) seconds of media time are held
// back and pushed at once when the client's clock reaches `to`.
struct TimedStall {
  std::string id;
  double from = 0, to = 0;
};

struct TimedMeeting {
  static constexpr int kCanvasW = 640, kCanvasH = 360;
  static constexpr int kWindowW = 160, kWindowH = 90;
  static constexpr int kMixerFps = 50;
  std::vector<TimedCamera> cameras;
  std::vector<TimedVoice> voices;
  std::vector<TimedStall> stalls;
  // Media seconds per machine second: 1.001 for a client clock 0.1 % fast.
  double clock_rate = 1.0;
};

class TimedClient {
 public:
  // Luma of a camera frame outside and inside a flash.
  static constexpr uint8_t kDark = 60, kFlash = 235;
  // A flash and a beep begin at every whole second and last this long.
  static constexpr double kFlashSeconds = 0.12, kBeepSeconds = 0.1;

  explicit TimedClient(IPlenova* recorder) : recorder_(recorder) {}
  ~TimedClient() { Join(); }

  // Output settings, outputs asked for before the engine runs (RTMP when
  // `url` is not empty) and the layout; false when a call is refused.
  bool Start(const TimedMeeting& meeting, const std::string& mp4, const std::string& url = {});
  // Pushes `seconds` of media time from one thread per stream, paced by the
  // client's clock, and returns when all is pushed.
  void Run(double seconds);
  int refused() const { return refused_.load(); }

  // The stamp of camera frame n, and whether it shows a flash.
  static uint64_t FrameStamp(const TimedCamera& c, uint64_t n);
  static bool Flashes(double media_seconds);

 private:
  void PushCamera(size_t index, double seconds);
  void PushVoice(size_t index, double seconds);
  // Sleeps until the client's clock reads `media_seconds`, or until a stall
  // of `id` that holds the moment `stamped` seconds ends.
  void WaitUntil(const std::string& id, double stamped, double media_seconds) const;
  void Join();

  IPlenova* recorder_;
  TimedMeeting meeting_;
  std::string url_;
  std::vector<AudioStreamInfo> audio_info_;
  std::vector<VideoStreamInfo> video_info_;
  std::vector<std::thread> threads_;
  std::chrono::steady_clock::time_point start_;
  std::atomic<int> refused_{0};
};

}  // namespace plenova::testing
