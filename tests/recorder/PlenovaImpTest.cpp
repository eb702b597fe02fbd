#include "recorder/PlenovaImp.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "tests/recorder/FakeComponents.h"
#include "tests/support/LogCapture.h"

namespace plenova {
namespace {

using testing::FakeRecorder;
using testing::LogCapture;

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
  std::vector<std::string> Since(size_t first) {
    auto all = f_.journal.Entries();
    return {all.begin() + static_cast<long>(std::min(first, all.size())), all.end()};
  }

  FakeRecorder f_;
  Layout layout_;
  LogCapture log_;
};

TEST_F(RecorderTest, SecondFirstLayoutStartsTheEngineInOrder) {
  imp().UpdateAudioStreamInfo(&layout_.audio_update);
  EXPECT_FALSE(imp().started());
  EXPECT_EQ(f_.journal.Entries(), (std::vector<std::string>{"audio.init", "audio.update 2"}));
  imp().UpdateVideoStreamInfo(&layout_.video_update);
  EXPECT_TRUE(imp().started());
  EXPECT_EQ(Since(2), (std::vector<std::string>{"video.init 2", "video.update 2", "sync.init",
                                                "out.init 0", "sync.start", "video.start",
                                                "audio.start"}));
  // The largest declared rate drives the controller; target sizes were made even.
  EXPECT_EQ(f_.sync->last_param.fps, 25);
  EXPECT_EQ(f_.sync->last_param.video_frame_duration, 3600);
  EXPECT_EQ(f_.sync->last_param.audio_frame_duration, 1800);
  EXPECT_EQ(layout_.video[0].target_w, 640);
  EXPECT_EQ(f_.out->last_param.audio.sampling_rate, 48000);
  EXPECT_EQ(f_.out->last_param.video.video_width, 1280);
}

TEST_F(RecorderTest, VideoFirstThenAudioStartsTooAndPushesAreAccepted) {
  imp().UpdateVideoStreamInfo(&layout_.video_update);
  EXPECT_FALSE(imp().started());
  std::vector<int16_t> pcm(1920, 7);
  EXPECT_EQ(imp().PushAudioFrame(2, 16, 48000, pcm.data(), 3840, 90000, "a1"), -1);
  EXPECT_TRUE(log_.Contains("Can't Push Data,Plenoav has not start or Has stoped!!!"));
  imp().UpdateAudioStreamInfo(&layout_.audio_update);
  EXPECT_TRUE(imp().started());
  EXPECT_EQ(imp().PushAudioFrame(2, 16, 48000, pcm.data(), 3840, 90000, "a1"), 0);
  EXPECT_EQ(f_.audio->last_timestamp, 90000u);
  EXPECT_EQ(f_.journal.Count("audio.push a1 3840"), 1);
}

TEST_F(RecorderTest, UnchangedLayoutsReachNoComponentAndChangesDo) {
  Start();
  const size_t mark = f_.journal.Entries().size();
  imp().UpdateAudioStreamInfo(&layout_.audio_update);
  imp().UpdateVideoStreamInfo(&layout_.video_update);
  EXPECT_EQ(Since(mark).size(), 0u);
  EXPECT_EQ(log_.Count("Is No need Updata"), 2);

  layout_.video[1].x_position_in_target_frame = 900;
  imp().UpdateVideoStreamInfo(&layout_.video_update);
  layout_.audio[1].sampling_rate = 8000;
  imp().UpdateAudioStreamInfo(&layout_.audio_update);
  EXPECT_EQ(Since(mark), (std::vector<std::string>{"video.update 2", "audio.update 2"}));
}

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

// Settings the H.264 encoder cannot take are refused at the call.
class VideoParamRefusalTest : public RecorderTest,
                              public ::testing::WithParamInterface<VideoParam> {};

TEST_P(VideoParamRefusalTest, IsRefusedWithALogLine) {
  VideoParam v = GetParam();
  imp().SetVideoParam(&v);
  EXPECT_FALSE(imp().video_param_ok());
  EXPECT_TRUE(log_.Contains("PlenovaImp::SetVideoParam 's value is illegall"));
  EXPECT_EQ(imp().stream_param().video.video_width, 1280);
}

INSTANTIATE_TEST_SUITE_P(Canvases, VideoParamRefusalTest,
                         ::testing::Values(VideoParam{1500000, 361, 641, 0},
                                           VideoParam{1500000, 1, 1, 0},
                                           VideoParam{1500000, 720, 1281, 0},
                                           VideoParam{1500000, 8194, 1280, 0},
                                           VideoParam{999, 720, 1280, 0},
                                           VideoParam{1500000, 0, 1280, 0}));

TEST_F(RecorderTest, TheSmallestEvenCanvasIsTaken) {
  VideoParam v{1000, 2, 2, 0};
  imp().SetVideoParam(&v);
  EXPECT_TRUE(imp().video_param_ok());
}

// Positions beyond +-8192, rates beyond 120 and a waitMaxTime beyond 10000
// are refused before any arithmetic is done with them.
TEST_F(RecorderTest, OutOfRangePositionsRatesAndWaitsAreRefused) {
  const int32_t bad[][3] = {{8193, 0, 25},   {0, -8193, 25}, {INT32_MAX, 0, 25},
                            {0, INT32_MIN, 25}, {0, 0, 121}, {0, 0, 1000}, {0, 0, -1}};
  for (const auto& b : bad) {
    Layout layout;
    layout.video[1].x_position_in_target_frame = b[0];
    layout.video[1].y_position_in_target_frame = b[1];
    layout.video[1].fps = b[2];
    imp().UpdateVideoStreamInfo(&layout.video_update);
    std::vector<PictureStreamInfo> pictures{{b[2], 360, 640, nullptr, 180, 320, b[0], b[1], 0}};
    PictureStreamInfoUpdate update{1, pictures.data()};
    imp().UpdatePictureStreamInfo(&update);
  }
  EXPECT_TRUE(f_.journal.Entries().empty());
  EXPECT_EQ(log_.Count("'s value is illegall"), 14);

  AudioParam a = ValidAudioParam();
  a.waitMaxTime = PlenovaImp::kMaxWaitMaxTime + 1;
  imp().SetAuidoParam(&a);
  EXPECT_FALSE(imp().audio_param_ok());
  a.waitMaxTime = PlenovaImp::kMaxWaitMaxTime;
  imp().SetAuidoParam(&a);
  EXPECT_TRUE(imp().audio_param_ok());

  layout_.video[1].x_position_in_target_frame = -8192;
  layout_.video[1].y_position_in_target_frame = 8192;
  Start();
}

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
  EXPECT_TRUE(log_.Contains("while MP4 recording is on"));
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

TEST_F(RecorderTest, UnintStopsThreadsInOrderAndTheNextPairStartsAgain) {
  Start();
  const size_t mark = f_.journal.Entries().size();
  EXPECT_EQ(imp().PlenovaUnint(), 0);
  EXPECT_EQ(Since(mark), (std::vector<std::string>{"audio.stop", "video.stop", "sync.stop"}));
  EXPECT_FALSE(imp().running());
  EXPECT_EQ(imp().PlenovaUnint(), 0);  // nothing more to stop
  EXPECT_EQ(Since(mark).size(), 3u);

  Start();
  EXPECT_EQ(f_.journal.Count("audio.init"), 2);
  EXPECT_EQ(f_.journal.Count("video.init"), 2);
  EXPECT_EQ(f_.journal.Count("out.init 0"), 2);
}

TEST_F(RecorderTest, DestructionTearsDownComponentsInOrder) {
  Start();
  imp().PlenovaUnint();
  const size_t mark = f_.journal.Entries().size();
  f_.recorder.reset();
  EXPECT_EQ(Since(mark), (std::vector<std::string>{"audio.destroy", "video.destroy",
                                                   "out.destroy", "sync.destroy"}));
}

struct AudioRefusal {
  const char* name;
  void (*edit)(AudioParam&);
};

class AudioParamRefusalTest : public RecorderTest,
                              public ::testing::WithParamInterface<AudioRefusal> {};

TEST_P(AudioParamRefusalTest, ClearsTheFlagAndKeepsEarlierValues) {
  AudioParam a = ValidAudioParam();
  GetParam().edit(a);
  imp().SetAuidoParam(&a);
  EXPECT_FALSE(imp().audio_param_ok());
  EXPECT_TRUE(log_.Contains("PlenovaImp::SetAuidoParam 's value is illegall"));
  EXPECT_EQ(imp().stream_param().audio.audio_bitrate, 64000);
}

const std::string kLongName(256, 'n');

INSTANTIATE_TEST_SUITE_P(
    Refusals, AudioParamRefusalTest,
    ::testing::Values(AudioRefusal{"bitrate0", [](AudioParam& a) { a.audio_bitrate = 0; }},
                      AudioRefusal{"rtmpPort0", [](AudioParam& a) { a.local_port = 0; }},
                      AudioRefusal{"waitNegative", [](AudioParam& a) { a.waitMaxTime = -1; }},
                      AudioRefusal{"longName", [](AudioParam& a) { a.StreamName_1 = kLongName.c_str(); }},
                      AudioRefusal{"ipUnterminated", [](AudioParam& a) { std::memset(a.local_Ip, '1', 16); }}),
    [](const auto& info) { return std::string(info.param.name); });

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
  EXPECT_TRUE(log_.Contains("Mp4File path is invalid,use default path"));
  EXPECT_TRUE(std::string(imp().stream_param().filePath).ends_with("/PlenovaMp4"));
  EXPECT_EQ(imp().PlenovaUnint(), 0);
}

TEST_F(RecorderTest, UrlChangeOnAStartedEngineReinitialisesTheOutputs) {
  Start();
  AudioParam a = ValidAudioParam();
  imp().SetAuidoParam(&a);
  EXPECT_TRUE(log_.Contains("URL变更 :=否"));
  EXPECT_EQ(f_.journal.Count("out.init 1"), 0);
  a.url_2 = "rtmp://127.0.0.2/live";
  imp().SetAuidoParam(&a);
  EXPECT_TRUE(log_.Contains("URL变更 :=是！"));
  EXPECT_EQ(f_.journal.Count("out.init 1"), 1);
  EXPECT_STREQ(f_.out->last_param.url_2, "rtmp://127.0.0.2/live");
}

TEST(RecorderStartTest, EngineStartedWithoutAudioParamsTreatsTheFirstAsAChange) {
  FakeRecorder f;
  Layout layout;
  f.recorder->UpdateAudioStreamInfo(&layout.audio_update);
  f.recorder->UpdateVideoStreamInfo(&layout.video_update);
  ASSERT_TRUE(f.recorder->started());
  AudioParam a = ValidAudioParam();
  f.recorder->SetAuidoParam(&a);
  EXPECT_EQ(f.journal.Count("out.init 1"), 1);
}

TEST_F(RecorderTest, LayoutRefusalsChangeNothing) {
  std::vector<AudioStreamInfo> six(6, AudioStreamInfo{1, 16, 16000, "x"});
  AudioStreamInfoUpdate too_many{six.data(), 6, 50, 1, 16000, 16};
  imp().UpdateAudioStreamInfo(&too_many);
  const std::string long_id(256, 'i');
  layout_.audio[0].streamId = long_id.c_str();
  imp().UpdateAudioStreamInfo(&layout_.audio_update);
  layout_.audio[0].streamId = nullptr;
  imp().UpdateAudioStreamInfo(&layout_.audio_update);
  imp().UpdateAudioStreamInfo(nullptr);
  std::vector<VideoStreamInfo> many(21, layout_.video[0]);
  VideoStreamInfoUpdate too_many_video{21, many.data()};
  imp().UpdateVideoStreamInfo(&too_many_video);
  VideoStreamInfoUpdate zero{0, layout_.video.data()};
  imp().UpdateVideoStreamInfo(&zero);
  EXPECT_TRUE(f_.journal.Entries().empty());
  EXPECT_TRUE(log_.Contains("asinfo->astreamInfo[0].streamId is NULL,please check"));
  EXPECT_EQ(log_.Count("'s value is illegall"), 5);
}

TEST_F(RecorderTest, PicturesBeforeTheFirstVideoLayoutWaitForItsCanvas) {
  std::vector<PictureStreamInfo> pictures{{25, 360, 640, nullptr, 180, 320, 0, 0, 0}};
  PictureStreamInfoUpdate update{1, pictures.data()};
  imp().UpdatePictureStreamInfo(&update);
  EXPECT_TRUE(f_.journal.Entries().empty());
  pictures[0].x_position_in_target_frame = 99;  // the recorder kept its own copy
  Start();
  const auto entries = f_.journal.Entries();
  const auto init = std::find(entries.begin(), entries.end(), "video.init 2");
  const auto picture = std::find(entries.begin(), entries.end(), "picture.init 1");
  ASSERT_NE(picture, entries.end());
  EXPECT_LT(init, picture);
  EXPECT_EQ(f_.video->last_picture_record.target_w, 1280);

  PictureStreamInfoUpdate negative{-1, pictures.data()};
  imp().UpdatePictureStreamInfo(&negative);
  imp().UpdatePictureStreamInfo(nullptr);
  EXPECT_EQ(f_.journal.Count("picture.update"), 1);
}

TEST_F(RecorderTest, FrameIntakeChecksInTheStatedOrder) {
  Start();
  std::vector<uint8_t> frame(640 * 480 * 3 / 2, 16);
  EXPECT_EQ(imp().PushVideoFrame(640, 480, "v1", 25, frame.data(), 460800, 1, 2), 0);
  EXPECT_EQ(f_.journal.Count("video.push v1 2"), 1);
  EXPECT_EQ(imp().PushVideoFrame(640, 480, "v1", 25, frame.data(), 460799, 1, 0), -1);
  EXPECT_TRUE(log_.Contains(":Push Video DataLen=460799 is not correct!!!"));
  EXPECT_EQ(imp().PushVideoFrame(640, 480, nullptr, 25, frame.data(), 460800, 1, 0), -1);
  EXPECT_TRUE(log_.Contains("PushVideoFrame streamId is NULL,return Error"));
  EXPECT_EQ(imp().PushVideoFrame(640, 480, "v1", 25, nullptr, 460800, 1, 0), -1);
  EXPECT_EQ(imp().PushVideoFrame(65536, 65536, "v1", 25, frame.data(), 0, 1, 0), -1);
  const std::string long_id(256, 'i');
  EXPECT_EQ(imp().PushVideoFrame(640, 480, long_id.c_str(), 25, frame.data(), 460800, 1, 0), -1);

  VideoParam bad{0, 720, 1280, 0};
  imp().SetVideoParam(&bad);
  EXPECT_FALSE(imp().video_param_ok());
  EXPECT_EQ(imp().PushVideoFrame(640, 480, "v1", 25, frame.data(), 460800, 1, 0), -1);
  EXPECT_TRUE(log_.Contains("because SetVideoParam() Function's param set is ilegall"));
  std::vector<int16_t> pcm(960, 1);
  EXPECT_EQ(imp().PushAudioFrame(1, 16, 48000, pcm.data(), 1920, 5, "a1"), 0);
  EXPECT_EQ(imp().PushAudioFrame(0, 16, 48000, pcm.data(), 1920, 5, "a1"), -1);
  EXPECT_TRUE(log_.Contains("_Plenova_ PushAudioFrame channels=0"));
  EXPECT_EQ(f_.journal.Count("video.push"), 1);
  EXPECT_EQ(f_.journal.Count("audio.push"), 1);
}

TEST_F(RecorderTest, EveryFiftiethAudioFrameIsLogged) {
  Start();
  std::vector<int16_t> pcm(960, 1);
  for (int i = 0; i < 49; ++i) imp().PushAudioFrame(1, 16, 48000, pcm.data(), 1920, i, "a1");
  EXPECT_FALSE(log_.Contains("_Plenova_ PushAudioFrame streamId:a1"));
  imp().PushAudioFrame(1, 16, 48000, pcm.data(), 1920, 49, "a1");
  EXPECT_EQ(log_.Count("_Plenova_ PushAudioFrame streamId:a1"), 1);
}

TEST_F(RecorderTest, OutputsStartedEarlyAreHandedToTheDispatcherAsUrls) {
  EXPECT_EQ(imp().StartRecord("rtmp://127.0.0.1:1935/live/room"), 0);
  EXPECT_EQ(f_.journal.Count("out.rtmpurl rtmp://127.0.0.1:1935/live/room"), 1);
  EXPECT_EQ(imp().StartRecord("rtmp://127.0.0.1/live/other"), -1);
  EXPECT_TRUE(log_.Contains("StartRecord has already Start"));
  EXPECT_EQ(imp().StartMp4Record("/tmp/a.mp4"), 0);
  EXPECT_EQ(f_.journal.Count("out.mp4url /tmp/a.mp4"), 1);
  Start();
  EXPECT_STREQ(f_.out->last_param.url_1, "rtmp://127.0.0.1:1935/live/room");
}

TEST_F(RecorderTest, RecordingControlsRefuseBadCallsAndKeepFlagsOnFailure) {
  EXPECT_EQ(imp().StopMp4Record(), -1);
  EXPECT_TRUE(log_.Contains("StartMp4Record has already Stop"));
  EXPECT_EQ(imp().StopRecord(), -1);
  EXPECT_EQ(imp().SetMp4RecordCallback(0, [](int, int) {}), -1);
  EXPECT_TRUE(log_.Contains("StateCallback is NULL or streamid[0] is invalid"));
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

TEST_F(RecorderTest, PlenovaInitKeepsPointersForNullArguments) {
  int a = 0, b = 0, c = 0, d = 0;
  imp().PlenovaInit(&a, &b, &c);
  imp().PlenovaInit(nullptr, &d, nullptr);
  EXPECT_EQ(imp().p1(), &a);
  EXPECT_EQ(imp().p2(), &d);
  EXPECT_EQ(imp().p3(), &c);
}

}  // namespace
}  // namespace plenova
