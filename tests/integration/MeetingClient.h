#pragma once

// A meeting client that uses only the public header and libplenova.so, as a
// customer would: it configures a recorder, declares the layout and pushes
// synthetic participants from one thread each, in real time.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"

namespace plenova::testing {

struct VideoParticipant {
  std::string id;
  int width = 640, height = 360;
  int fps = 25;
  uint8_t y = 128, u = 128, v = 128;                  // solid colour
  uint32_t orientation = 0;                           // 0 top-down, 2 bottom-up
  int x = 0, yy = 0, target_w = 320, target_h = 180;  // rectangle on the canvas
  int videoType = 0;                                  // 1 letterbox, otherwise crop
  bool flash = false;                                 // white for 80 ms at every whole second
};

struct AudioParticipant {
  std::string id;
  int rate = 48000, channels = 2;
  double tone = 440;  // Hz; 0: silence
  bool beep = false;  // a 3 kHz beep for 80 ms at every whole second instead of the tone
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
};

class MeetingClient {
 public:
  static constexpr double kBeepHz = 3000;

  explicit MeetingClient(IPlenova* recorder) : recorder_(recorder) {}
  ~MeetingClient() { Stop(); }

  // Output settings: MP4 on, RTMP on with `url` when not empty.
  void Configure(const Meeting& meeting, const std::string& rtmp_url = {});
  // The audio and video layouts (the second of the first two starts the
  // engine) and the pictures.
  void DeclareLayout();
  // Configure, RTMP (when `url` is not empty) and MP4 to `mp4` asked for
  // before the engine runs, then DeclareLayout; false when a start is refused.
  bool Start(const Meeting& meeting, const std::string& mp4, const std::string& url = {});
  // Pushes every participant from its own thread, paced in real time, for
  // `seconds`; media time continues across calls.
  void Run(double seconds);
  void Stop();

  int refused() const { return refused_; }
  uint64_t pushed() const { return pushed_; }
  Meeting& meeting() { return meeting_; }

 private:
  void PushVideo(size_t index, double seconds);
  void PushAudio(size_t index, double seconds);

  IPlenova* recorder_;
  Meeting meeting_;
  std::string rtmp_url_;
  std::vector<AudioStreamInfo> audio_info_;
  std::vector<VideoStreamInfo> video_info_;
  std::vector<PictureStreamInfo> picture_info_;
  std::vector<std::thread> threads_;
  std::vector<uint64_t> video_frames_, audio_frames_;
  std::atomic<int> refused_{0};
  std::atomic<uint64_t> pushed_{0};
};

}  // namespace plenova::testing
