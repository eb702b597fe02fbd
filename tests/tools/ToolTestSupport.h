#pragma once

// Helpers shared by the plenova-record tests: a scripted engine, scratch
// folders, the program of this build, and decoding pictures back.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "tests/support/MediaInspect.h"
#include "tools/plenova-record/ParticipantSource.h"

namespace plenova::record::testing {

// The media checks shared by every test folder.
using plenova::testing::CommandResult;
using plenova::testing::Probe;
using plenova::testing::ProbeResult;
using plenova::testing::RunCommand;
using plenova::testing::ToneFrequency;
using plenova::testing::WorstFlashBeepDistance;

// Records every push; answers pushes with `push_result`.
class FakeEngine : public IPlenova, public IUpdateStreamInterface {
 public:
  struct Push {
    bool video;
    std::string stream_id;
    uint64_t stamptime;
    int buflen;
    int width;   // video: source_w; audio: channels
    int height;  // video: source_h; audio: sampling_rate
    uint8_t first_byte;
  };

  int push_result = 0;
  std::vector<Push> pushes;

  IUpdateStreamInterface* GetUpdateStreamInterface() override { return this; }
  int PlenovaInit(void*, void*, void*) override { return 0; }
  int PlenovaUnint() override { return 0; }
  void SetAuidoParam(AudioParam*) override {}
  void SetVideoParam(VideoParam*) override {}
  int StartMp4Record(const char*) override { return 0; }
  int StopMp4Record() override { return 0; }
  int SetMp4RecordCallback(int, Mp4RecordStateCallback) override { return 0; }
  int PushAudioFrame(int channels, int, int sampling_rate, void* buffer, int buflen,
                     uint64_t stamptime, const char* stream_id) override {
    pushes.push_back({false, stream_id, stamptime, buflen, channels, sampling_rate,
                      static_cast<uint8_t*>(buffer)[0]});
    return push_result;
  }
  int PushVideoFrame(int source_w, int source_h, const char* stream_id, int, void* buffer,
                     int buflen, uint64_t stamptime, uint32_t) override {
    pushes.push_back(
        {true, stream_id, stamptime, buflen, source_w, source_h, static_cast<uint8_t*>(buffer)[0]});
    return push_result;
  }
  int StopRecord() override { return 0; }
  int StartRecord(const char*) override { return 0; }
  const char* GetVersion() override { return PLENOVA_VERSION_STRING; }
  int SetTargetDelay(int) override { return 0; }
  int SetEventCallback(PlenovaEventCallback, void*) override { return 0; }
  int GetStatistics(PlenovaStatistics*) override { return -1; }
  void UpdateAudioStreamInfo(AudioStreamInfoUpdate*) override {}
  void UpdateVideoStreamInfo(VideoStreamInfoUpdate*) override {}
  void UpdatePictureStreamInfo(PictureStreamInfoUpdate*) override {}
};

// A source format of the given picture size and PCM format.
SourceFormat Format(int width, int height, int sample_rate, int channels);

// A TCP socket bound to a free loopback port, listening when asked; a port
// bound but not listening refuses connections.
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listening);
  ~LoopbackPort();
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The plenova-record program of this build.
std::string RecorderProgram();

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;  // packed RGB24, rows top-down
  const uint8_t* At(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

// Decodes a PNG file with libavcodec; false when it cannot.
bool DecodePng(const std::string& path, RgbImage* image);

}  // namespace plenova::record::testing
