#include "recorder/PlenovaImp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/recorder/FakeComponents.h"

namespace plenova {
namespace {

using testing::FakeRecorder;

AudioParam ValidAudioParam() {
  AudioParam a{};
  a.filePath = "/tmp";
  a.url_1 = "rtmp://127.0.0.1/live";
  a.url_2 = nullptr;
  a.StreamName_1 = "room";
  a.StreamName_2 = "";
  a.local_port = 5000;
  a.audio_bitrate = 64000;
  a.waitMaxTime = 10;
  std::strcpy(a.local_Ip, "10.0.0.7");
  a.Enable_write_mp4 = true;
  a.Enable_rtmp = true;
  return a;
}

VideoParam ValidVideoParam() { return VideoParam{1500000, 720, 1280, 0}; }

struct Layout {
  std::vector<AudioStreamInfo> audio{{2, 16, 48000, "a1"}, {1, 16, 16000, "a2"}};
  AudioStreamInfoUpdate audio_update{nullptr, 2, 50, 2, 48000, 16};
  std::vector<VideoStreamInfo> video{{25, 480, 640, "v1", 360, 641, 0, 0, 1},
                                     {15, 288, 352, "v2", 180, 320, 960, 0, 0}};
  VideoStreamInfoUpdate video_update{2, nullptr};

  Layout() {
    audio_update.astreamInfo = audio.data();
    video_update.vstreaminfo = video.data();
  }
};

class RecorderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    AudioParam a = ValidAudioParam();
    VideoParam v = ValidVideoParam();
    imp().SetAuidoParam(&a);
    imp().SetVideoParam(&v);
  }
  PlenovaImp& imp() { return *f_.recorder; }
  void Start() {
    imp().UpdateAudioStreamInfo(&layout_.audio_update);
    imp().UpdateVideoStreamInfo(&layout_.video_update);
    ASSERT_TRUE(imp().started());
  }

  FakeRecorder f_;
  Layout layout_;
};

TEST_F(RecorderTest, TargetSizesAreMadeEvenTowardZeroInTheClientsArray) {
  layout_.video[0].target_w = 641;
  layout_.video[0].target_h = -3;
  imp().UpdateVideoStreamInfo(&layout_.video_update);
  EXPECT_EQ(layout_.video[0].target_w, 640);
  EXPECT_EQ(layout_.video[0].target_h, -2);
}

TEST_F(RecorderTest, PicturesBeforeTheFirstVideoLayoutWaitForItsCanvas) {
  std::vector<PictureStreamInfo> pictures{{25, 360, 640, nullptr, 180, 320, 0, 0, 0}};
  PictureStreamInfoUpdate update{1, pictures.data()};
  imp().UpdatePictureStreamInfo(&update);
  EXPECT_TRUE(f_.video->picture_inits.empty());
  EXPECT_EQ(f_.video->picture_updates, 0);
  pictures[0].x_position_in_target_frame = 99;  // the recorder kept its own copy
  Start();
  EXPECT_EQ(f_.video->picture_inits, std::vector<int32_t>{1});
  EXPECT_EQ(f_.video->last_picture_record.target_w, 1280);
  EXPECT_EQ(f_.video->last_picture_record.count, 1);
}

// A failed RTMP start leaves publishing off; a failed stop leaves it on,
// so the next stop tries again.
TEST_F(RecorderTest, RtmpFlagsFollowWhatTheOutputsAnswered) {
  Start();
  f_.out->start_rtmp_result = -1;
  EXPECT_EQ(imp().StartRecord("rtmp://127.0.0.1/live/x"), -1);
  EXPECT_EQ(imp().StopRecord(), -1);
  EXPECT_EQ(f_.out->rtmp_stops, 0);
  f_.out->start_rtmp_result = 0;
  EXPECT_EQ(imp().StartRecord("rtmp://127.0.0.1/live/x"), 0);
  f_.out->stop_rtmp_result = -1;
  EXPECT_EQ(imp().StopRecord(), -1);
  f_.out->stop_rtmp_result = 0;
  EXPECT_EQ(imp().StopRecord(), 0);
  EXPECT_EQ(f_.out->rtmp_stops, 2);
}

}  // namespace
}  // namespace plenova
