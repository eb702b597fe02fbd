#pragma once

// A meeting client that uses only the public header and libplenova.so, as a
// customer would: it configures a recorder, declares the layout and pushes
// synthetic participants from one thread each, in real time. It has the
// habits of real clients: every stream is stamped from one 90 kHz media
// clock, cameras run at any rate (29.97 included) and may declare another,
// audio comes in frames of any length, the client's clock may run faster or
// slower than the machine's, and a participant's media may stall and then
// arrive at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"

namespace plenova::testing {

struct VideoParticipant {
  std::string id;
  int width = 640, height = 360;
  int fps = 25, fps_den = 1;          // frames per second, fps / fps_den
  int declared_fps = -1;              // what the layout and the pushes declare; -1: fps / fps_den
  uint8_t y = 128, u = 128, v = 128;  // solid colour
  uint32_t orientation = 0;           // 0 top-down, 2 bottom-up
  int x = 0, yy = 0, target_w = 320, target_h = 180;  // rectangle on the canvas
  int videoType = 0;                                  // 1 letterbox, otherwise crop
  bool flash = false;  // white for 80 ms at every whole second (see Meeting::marks_from)

  int DeclaredFps() const { return declared_fps >= 0 ? declared_fps : fps / fps_den; }
};

struct AudioParticipant {
  std::string id;
  int rate = 48000, channels = 2;
  double tone = 440;      // Hz; 0: silence
  bool beep = false;      // a beep for 80 ms at every whole second instead of the tone
  double beep_hz = 3000;  // the beep's pitch
  int frame_ms = 0;       // length of a pushed frame; 0: one mixer frame
  bool in_pairs = false;  // frames leave the client two at a time
};

// Frames of stream `id` stamped in [from, to) seconds of media time are held
// back and pushed at once when the client's clock reaches `to`.
struct Stall {
  std::string id;
  double from = 0, to = 0;
};

// Solid colours (Y, U, V).
struct Colour {
  uint8_t y, u, v;
};
inline constexpr Colour kRed{81, 90, 240};
inline constexpr Colour kGreen{145, 54, 34};
inline constexpr Colour kBlue{41, 240, 110};
inline constexpr Colour kYellow{210, 16, 146};

// A participant sending w x h pictures of colour `c`, shown in the canvas
// rectangle (x, y, tw, th).
VideoParticipant Participant(const std::string& id, Colour c, int x, int y, int tw, int th,
                             int w = 640, int h = 360);
// A voice: a sine of `tone` Hz (0: silence), or the beep pattern.
AudioParticipant Voice(const std::string& id, double tone = 440, bool beep = false);

// A fresh, empty folder under the test temporary directory.
std::string TempFolder(const std::string& name);

struct Meeting {
  int canvas_w = 1280, canvas_h = 720;
  int video_bitrate = 1500000, audio_bitrate = 96000;
  int mixer_fps = 50;
  int target_rate = 48000, target_channels = 2;
  std::vector<VideoParticipant> video;
  std::vector<AudioParticipant> audio;
  std::vector<PictureStreamInfo> pictures;  // rectangles showing the placeholder
  std::vector<Stall> stalls;
  // Media seconds per machine second: 1.001 for a client clock 0.1 % fast.
  double clock_rate = 1.0;
  double marks_from = 0;  // flashes and beeps from this media second on
};

class MeetingClient {
 public:
  static constexpr double kBeepHz = 3000;
  // How long a flash or a beep lasts from each whole second.
  static constexpr double kMarkSeconds = 0.08;

  explicit MeetingClient(IPlenova* recorder) : recorder_(recorder) {}
  ~MeetingClient() { Stop(); }

  // Output settings: MP4 on, RTMP on with `url` when not empty.
  void Configure(const Meeting& meeting, const std::string& rtmp_url = {});
  // The audio layout, the pictures and the video layout (the second of the
  // first two layouts starts the engine).
  void DeclareLayout();
  // Configure, RTMP (when `url` is not empty) and MP4 to `mp4` asked for
  // before the engine runs, then DeclareLayout; false when a start is refused.
  bool Start(const Meeting& meeting, const std::string& mp4, const std::string& url = {});
  // Pushes every participant from its own thread, paced by the client's
  // clock, for `seconds` of media time; media time continues across calls.
  void Run(double seconds);
  void Stop();

  int refused() const { return refused_; }
  uint64_t pushed() const { return pushed_; }
  Meeting& meeting() { return meeting_; }

  // The stamp of camera frame n.
  static uint64_t FrameStamp(const VideoParticipant& p, uint64_t n);

 private:
  void PushVideo(size_t index, double until);
  void PushAudio(size_t index, double until);
  // Whether media time `t` lies in a flash or a beep.
  bool Marked(double t) const;
  // Sleeps until the client's clock reads `media_seconds`, or until a stall
  // of `id` that holds the moment `stamped` ends.
  void WaitUntil(const std::string& id, double stamped, double media_seconds) const;

  IPlenova* recorder_;
  Meeting meeting_;
  std::string rtmp_url_;
  std::vector<AudioStreamInfo> audio_info_;
  std::vector<VideoStreamInfo> video_info_;
  std::vector<PictureStreamInfo> picture_info_;
  std::vector<std::thread> threads_;
  std::vector<uint64_t> video_frames_, audio_frames_;
  double run_from_ = 0;  // media time at which the current run began
  std::chrono::steady_clock::time_point run_start_;
  std::atomic<int> refused_{0};
  std::atomic<uint64_t> pushed_{0};
};

}  // namespace plenova::testing
