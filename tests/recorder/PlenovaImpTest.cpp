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
    f_.journal.Clear();
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

// Declared rates are hints: whatever the streams say (0 for unknown
// included), the outputs and the sync controller run at 25.
class DeclaredRateTest : public RecorderTest,
                         public ::testing::WithParamInterface<std::pair<int32_t, int32_t>> {};

TEST_P(DeclaredRateTest, OutputsAlwaysRunAt25) {
  layout_.video[0].fps = GetParam().first;
  layout_.video[1].fps = GetParam().second;
  Start();
  EXPECT_EQ(f_.sync->last_param.fps, 25);
  EXPECT_EQ(f_.sync->last_param.video_frame_duration, 3600);
  EXPECT_EQ(f_.out->last_param.video.fps, 25);
}

INSTANTIATE_TEST_SUITE_P(Rates, DeclaredRateTest,
                         ::testing::Values(std::make_pair(0, 0), std::make_pair(30, 15),
                                           std::make_pair(120, 1), std::make_pair(0, 24)));

// The canvas of a run is read once: the compositor, the encoder (one
// record), the outputs and the controller all get the same, whatever
// SetVideoParam does meanwhile.
TEST_F(RecorderTest, OneCanvasPerEngineRun) {
  imp().UpdateVideoStreamInfo(&layout_.video_update);
  VideoParam other{2000000, 360, 640, 0};
  imp().SetVideoParam(&other);
  imp().UpdateAudioStreamInfo(&layout_.audio_update);
  ASSERT_TRUE(imp().started());
  EXPECT_EQ(f_.video->last_record.target_w, 1280);
  EXPECT_EQ(f_.video->last_record.target_h, 720);
  EXPECT_EQ(f_.out->last_param.video.video_width, 1280);
  EXPECT_EQ(f_.out->last_param.video.video_height, 720);
  EXPECT_EQ(f_.out->last_param.video.video_bitrate, 1500000);
  EXPECT_EQ(f_.sync->last_param.width, 1280);
  // The next run takes the new one.
  imp().PlenovaUnint();
  Start();
  EXPECT_EQ(f_.video->last_record.target_w, 640);
  EXPECT_EQ(f_.out->last_param.video.video_width, 640);
}

// An MP4 file keeps one canvas: a change is refused while a recording is
// asked for (the settings stay), a new bit rate alone is taken.
TEST_F(RecorderTest, TheCanvasCannotChangeWhileRecording) {
  Start();
  ASSERT_EQ(imp().StartMp4Record("/tmp/a.mp4"), 0);
  VideoParam other{1500000, 360, 640, 0};
  imp().SetVideoParam(&other);
  EXPECT_TRUE(imp().video_param_ok());
  EXPECT_EQ(imp().stream_param().video.video_width, 1280);
  VideoParam bitrate{900000, 720, 1280, 0};
  imp().SetVideoParam(&bitrate);
  EXPECT_EQ(imp().stream_param().video.video_bitrate, 900000);
  ASSERT_EQ(imp().StopMp4Record(), 0);
  imp().SetVideoParam(&other);
  EXPECT_EQ(imp().stream_param().video.video_width, 640);
}

// Whether MP4 recording is on is the dispatcher's answer, so the recorder
// never refuses a start after a recording that ended by itself, and a
// start still waiting for the engine is stopped like any other.
TEST_F(RecorderTest, RecordingFlagsFollowTheDispatcher) {
  ASSERT_EQ(imp().StartMp4Record("/tmp/a.mp4"), 0);  // before the engine runs
  EXPECT_EQ(imp().StartMp4Record("/tmp/b.mp4"), -1);
  EXPECT_EQ(imp().StopMp4Record(), 0);
  EXPECT_EQ(f_.journal.Count("out.stopmp4"), 1);
  ASSERT_EQ(imp().StartMp4Record("/tmp/c.mp4"), 0);
  Start();
  f_.out->mp4_requested = false;  // its file could not be opened
  EXPECT_EQ(imp().StopMp4Record(), -1);
  EXPECT_EQ(imp().StartMp4Record("/tmp/d.mp4"), 0);
  EXPECT_EQ(f_.journal.Count("out.startmp4 /tmp/d.mp4"), 1);
}

TEST_F(RecorderTest, TargetSizesAreMadeEvenTowardZeroInTheClientsArray) {
  layout_.video[0].target_w = 641;
  layout_.video[0].target_h = -3;
  imp().UpdateVideoStreamInfo(&layout_.video_update);
  EXPECT_EQ(layout_.video[0].target_w, 640);
  EXPECT_EQ(layout_.video[0].target_h, -2);
}

TEST_F(RecorderTest, AudioParamsAcceptEdgesAndFillDefaults) {
  AudioParam a = ValidAudioParam();
  a.Enable_rtmp = false;
  a.local_port = 0;
  a.waitMaxTime = 0;
  a.url_1 = nullptr;
  const std::string path255(255, 'p');
  a.filePath = path255.c_str();
  imp().SetAuidoParam(&a);
  ASSERT_TRUE(imp().audio_param_ok());
  EXPECT_STREQ(imp().stream_param().url_1, "rtmp://10.0.0.7/live");
  EXPECT_STREQ(imp().stream_param().url_2, "rtmp://10.0.0.7/live");
  EXPECT_STREQ(imp().stream_param().StreamName_1, "room");
  EXPECT_STREQ(imp().stream_param().StreamName_2, "livestream");
  EXPECT_EQ(std::string(imp().stream_param().filePath), path255);

  const std::string path256(256, 'p');
  a.filePath = path256.c_str();
  imp().SetAuidoParam(&a);
  EXPECT_TRUE(std::string(imp().stream_param().filePath).ends_with("/PlenovaMp4"));
  EXPECT_EQ(imp().PlenovaUnint(), 0);
}

TEST_F(RecorderTest, PicturesBeforeTheFirstVideoLayoutWaitForItsCanvas) {
  std::vector<PictureStreamInfo> pictures{{25, 360, 640, nullptr, 180, 320, 0, 0, 0}};
  PictureStreamInfoUpdate update{1, pictures.data()};
  imp().UpdatePictureStreamInfo(&update);
  EXPECT_TRUE(f_.journal.Empty());
  pictures[0].x_position_in_target_frame = 99;  // the recorder kept its own copy
  Start();
  EXPECT_EQ(f_.journal.Count("picture.init 1"), 1);
  EXPECT_EQ(f_.video->last_picture_record.target_w, 1280);

  PictureStreamInfoUpdate negative{-1, pictures.data()};
  imp().UpdatePictureStreamInfo(&negative);
  imp().UpdatePictureStreamInfo(nullptr);
  EXPECT_EQ(f_.journal.Count("picture.update"), 1);
}

TEST_F(RecorderTest, RecordingControlsRefuseBadCallsAndKeepFlagsOnFailure) {
  EXPECT_EQ(imp().StopMp4Record(), -1);
  EXPECT_EQ(imp().StopRecord(), -1);
  EXPECT_EQ(imp().SetMp4RecordCallback(0, [](int, int) {}), -1);
  EXPECT_EQ(imp().SetMp4RecordCallback(3, [](int, int) {}), 0);
  EXPECT_EQ(imp().StartRecord(nullptr), -1);
  const std::string long_url(256, 'u');
  EXPECT_EQ(imp().StartRecord(long_url.c_str()), -1);
  EXPECT_EQ(imp().StartMp4Record(nullptr), -1);
  EXPECT_EQ(imp().StartMp4Record(long_url.c_str()), -1);

  Start();
  f_.out->start_rtmp_result = -1;
  EXPECT_EQ(imp().StartRecord("rtmp://127.0.0.1/live/x"), -1);
  f_.out->start_rtmp_result = 0;
  EXPECT_EQ(imp().StartRecord("rtmp://127.0.0.1/live/x"), 0);
  f_.out->stop_rtmp_result = -1;
  EXPECT_EQ(imp().StopRecord(), -1);
  f_.out->stop_rtmp_result = 0;
  EXPECT_EQ(imp().StopRecord(), 0);  // still flagged as started: tried again
  EXPECT_EQ(f_.journal.Count("out.stoprtmp"), 2);
}

}  // namespace
}  // namespace plenova
