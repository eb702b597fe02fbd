// Every public operation at its edges, through the shared library: each bad
// call is refused or handled, nothing crashes (ASan), and what was accepted
// keeps working.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "api/Plenova.h"

namespace {

namespace fs = std::filesystem;

struct Started {
  IPlenova* recorder = nullptr;
  std::vector<AudioStreamInfo> audio{{2, 16, 48000, "voice"}};
  std::vector<VideoStreamInfo> video{{25, 360, 640, "cam", 360, 640, 0, 0, 0}};

  explicit Started(const std::string& folder) {
    recorder = CreatePlenova(folder.c_str());
    AudioParam a{};
    a.audio_bitrate = 64000;
    std::strcpy(a.local_Ip, "127.0.0.1");
    a.Enable_write_mp4 = true;
    recorder->SetAuidoParam(&a);
    VideoParam v{800000, 360, 640, 0};
    recorder->SetVideoParam(&v);
    AudioStreamInfoUpdate au{audio.data(), 1, 50, 2, 48000, 16};
    VideoStreamInfoUpdate vu{1, video.data()};
    recorder->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&au);
    recorder->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&vu);
  }
  ~Started() { DeletePlenova(recorder); }
};

std::string Folder() {
  const fs::path dir = fs::path(::testing::TempDir()) / ("plenova_bad_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir.string();
}

TEST(BadInputTest, RefusedBeforeTheEngineRuns) {
  IPlenova* r = CreatePlenova(Folder().c_str());
  ASSERT_NE(r, nullptr);
  std::vector<uint8_t> frame(640 * 360 * 3 / 2);
  EXPECT_EQ(r->PushVideoFrame(640, 360, "cam", 25, frame.data(), static_cast<int>(frame.size()), 0, 0), -1);
  EXPECT_EQ(r->PushAudioFrame(2, 16, 48000, frame.data(), 3840, 0, "voice"), -1);
  r->SetAuidoParam(nullptr);
  r->SetVideoParam(nullptr);
  IUpdateStreamInterface* layout = r->GetUpdateStreamInterface();
  layout->UpdateAudioStreamInfo(nullptr);
  layout->UpdateVideoStreamInfo(nullptr);
  layout->UpdatePictureStreamInfo(nullptr);
  AudioStreamInfoUpdate no_array{nullptr, 1, 50, 2, 48000, 16};
  layout->UpdateAudioStreamInfo(&no_array);
  VideoStreamInfoUpdate no_video{1, nullptr};
  layout->UpdateVideoStreamInfo(&no_video);
  EXPECT_EQ(r->StartMp4Record(nullptr), -1);
  EXPECT_EQ(r->StopMp4Record(), -1);
  EXPECT_EQ(r->StopRecord(), -1);
  EXPECT_EQ(r->StartRecord(nullptr), -1);
  EXPECT_EQ(r->SetMp4RecordCallback(0, nullptr), -1);
  EXPECT_EQ(r->SetMp4RecordCallback(-1, [](int, int) {}), -1);
  EXPECT_EQ(r->PlenovaUnint(), 0);
  DeletePlenova(r);
}

TEST(BadInputTest, FrameEdgesAreRefusedAndGoodFramesStillAccepted) {
  Started s(Folder());
  IPlenova* r = s.recorder;
  std::vector<uint8_t> frame(640 * 360 * 3 / 2 + 1, 16);
  const int len = 640 * 360 * 3 / 2;
  EXPECT_EQ(r->PushVideoFrame(640, 360, "cam", 25, frame.data(), len, 0, 0), 0);
  for (int bad : {len - 1, len + 1, 0, -1}) {
    EXPECT_EQ(r->PushVideoFrame(640, 360, "cam", 25, frame.data(), bad, 3600, 0), -1) << bad;
  }
  EXPECT_EQ(r->PushVideoFrame(0, 360, "cam", 25, frame.data(), len, 0, 0), -1);
  EXPECT_EQ(r->PushVideoFrame(640, -360, "cam", 25, frame.data(), len, 0, 0), -1);
  EXPECT_EQ(r->PushVideoFrame(640, 360, nullptr, 25, frame.data(), len, 0, 0), -1);
  EXPECT_EQ(r->PushVideoFrame(640, 360, "cam", 25, nullptr, len, 0, 0), -1);
  EXPECT_EQ(r->PushVideoFrame(0x7fffffff, 0x7fffffff, "cam", 25, frame.data(), len, 0, 0), -1);
  const std::string huge_id(10 * 1024, 'x');
  EXPECT_EQ(r->PushVideoFrame(640, 360, huge_id.c_str(), 25, frame.data(), len, 0, 0), -1);
  EXPECT_EQ(r->PushAudioFrame(2, 16, 48000, frame.data(), 3840, 0, huge_id.c_str()), -1);
  EXPECT_EQ(r->PushAudioFrame(2, 16, 48000, nullptr, 3840, 0, "voice"), -1);
  EXPECT_EQ(r->PushAudioFrame(0, 16, 48000, frame.data(), 3840, 0, "voice"), -1);
  EXPECT_EQ(r->PushAudioFrame(2, 16, 48000, frame.data(), 0, 0, "voice"), -1);
  // Unknown streams and odd timestamps are the mixers' business: accepted.
  EXPECT_EQ(r->PushVideoFrame(640, 360, "stranger", 25, frame.data(), len, 0, 0), 0);
  EXPECT_EQ(r->PushAudioFrame(2, 16, 48000, frame.data(), 3840, 1ull << 40, "voice"), 0);
  EXPECT_EQ(r->PushAudioFrame(2, 16, 48000, frame.data(), 3840, 0, "voice"), 0);
  EXPECT_EQ(r->PushAudioFrame(2, 16, 48000, frame.data(), 3840, 1, "voice"), 0);
  // Layouts at their limits.
  std::vector<AudioStreamInfo> six(6, AudioStreamInfo{2, 16, 48000, "x"});
  AudioStreamInfoUpdate too_many{six.data(), 6, 50, 2, 48000, 16};
  r->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&too_many);
  std::vector<VideoStreamInfo> many(21, s.video[0]);
  VideoStreamInfoUpdate too_many_video{21, many.data()};
  r->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&too_many_video);
  std::vector<VideoStreamInfo> long_id{{25, 360, 640, huge_id.c_str(), 360, 640, 0, 0, 0}};
  VideoStreamInfoUpdate long_id_update{1, long_id.data()};
  r->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&long_id_update);
  PictureStreamInfoUpdate negative{-1, nullptr};
  r->GetUpdateStreamInterface()->UpdatePictureStreamInfo(&negative);
  EXPECT_EQ(r->PushVideoFrame(640, 360, "cam", 25, frame.data(), len, 7200, 0), 0);
  const std::string long_url(300, 'u');
  EXPECT_EQ(r->StartRecord(long_url.c_str()), -1);
  EXPECT_EQ(r->StartMp4Record(long_url.c_str()), -1);
}

TEST(BadInputTest, PushesAfterUnintAndAfterAnotherRecorderIsDeleted) {
  const std::string folder = Folder();
  Started a(folder);
  std::vector<uint8_t> pcm(3840);
  {
    Started b(folder);
    EXPECT_EQ(b.recorder->PushAudioFrame(2, 16, 48000, pcm.data(), 3840, 0, "voice"), 0);
    EXPECT_EQ(b.recorder->PlenovaUnint(), 0);
    EXPECT_EQ(b.recorder->PushAudioFrame(2, 16, 48000, pcm.data(), 3840, 0, "voice"), -1);
  }
  EXPECT_EQ(a.recorder->PushAudioFrame(2, 16, 48000, pcm.data(), 3840, 0, "voice"), 0);
}

}  // namespace
