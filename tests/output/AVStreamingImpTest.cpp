#include "output/AVStreamingImp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/MemoryPool.h"
#include "tests/output/fakes/FakeTarvane.h"
#include "tests/output/fakes/FakeWendrel.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ManualClock.h"

namespace plenova {
namespace {

constexpr uint32_t kClockStart = 2000000;
constexpr const char* kUrl1 = "rtmp://127.0.0.1:1935/live/one";
constexpr const char* kUrl2 = "rtmp://127.0.0.1:1935/live/two";
constexpr const char* kPlaceholder = "rtmp://127.0.0.1/live";
const uint8_t kSpsPps[] = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE};

AVStreamInitParam Param(int32_t rate = 48000, int32_t fps = 25, const char* url2 = kPlaceholder) {
  AVStreamInitParam p;
  std::strcpy(p.filePath, "/tmp/plenova-default.mp4");
  std::strcpy(p.localIp, "127.0.0.1");
  p.Localport = 0x10000 + 7000;  // only the low 16 bits count
  std::strcpy(p.url_1, kUrl1);
  std::strcpy(p.url_2, url2);
  std::strcpy(p.StreamName_1, "one");
  std::strcpy(p.StreamName_2, "two");
  p.audio.sampling_per_bits = 16;
  p.audio.sampling_rate = rate;
  p.audio.channels = 2;
  p.audio.audio_bitrate = 64000;
  p.video.video_width = 1280;
  p.video.video_height = 720;
  p.video.gop_size = 50;
  p.video.video_bitrate = 1500000;
  p.video.fps = fps;
  return p;
}

class AVStreamingImpTest : public ::testing::Test {
 protected:
  AVStreamingImpTest() : clock_(kClockStart), scoped_(&clock_) {
    fake_wendrel::Reset();
    fake_tarvane::Reset();
    dispatcher_ = std::make_unique<AVStreamingImp>(fake_tarvane::Api(), fake_wendrel::kLibraryName);
  }
  ~AVStreamingImpTest() override { dispatcher_.reset(); }

  void Init(const AVStreamInitParam& param = Param()) {
    dispatcher_->IAVStreamInit(&param, &pool_, nullptr, nullptr, 0);
  }

  bool Write(uint32_t type, bool key = false, uint64_t stamp = 0, uint32_t tick = 0) {
    PoolBuffer* buffer = pool_.GetEmptyBuffer(8);
    buffer->timestamp = stamp;
    buffer->tick = tick;
    const uint8_t bytes[8] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41), 1, 2, 3};
    std::memcpy(buffer->data, bytes, sizeof(bytes));
    buffer->len = sizeof(bytes);
    AVSample sample{type, static_cast<uint8_t>(key ? 1 : 0), buffer};
    const bool result = dispatcher_->WriteData(&sample);
    pool_.PutEmptyBuffer(buffer);
    return result;
  }
  bool WriteVideo(bool key, uint64_t stamp = 0) { return Write(kStreamTypeVideo, key, stamp); }
  bool WriteAudio(uint64_t stamp = 0) { return Write(kStreamTypeAudio, false, stamp); }

  // Starts MP4 recording into the fake recorder and returns it.
  fake_tarvane::FakeRecord& StartMp4(const char* path = "/tmp/a.mp4") {
    EXPECT_EQ(dispatcher_->StartMp4Record(path), 0);
    return *fake_tarvane::registry().records.back();
  }
  std::vector<uint64_t> VideoTimes() {
    std::vector<uint64_t> times;
    for (const auto& write : fake_tarvane::registry().records.back()->writes)
      if (write.tag == kTarvaneTagVideo && write.data.size() == 8) times.push_back(write.timestamp);
    return times;
  }

  // Waits (bounded) until the publishers' send threads pushed `n` samples.
  static bool WaitForPushes(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (fake_wendrel::CallsNamed("PushMediaSample").size() < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }

  testing::ManualClock clock_;
  testing::ScopedClock scoped_;
  testing::LogCapture log_;
  MemoryPool pool_;
  std::unique_ptr<AVStreamingImp> dispatcher_;
};

// --- Latency -----------------------------------------------------------------

// Only samples the recorder took count, each from its arrival tick to the
// write; the summary lines go to the log when the recording stops.
TEST_F(AVStreamingImpTest, Mp4WritesAreTimedFromArrivalAndSummarisedOnStop) {
  Init();
  StartMp4();
  const uint32_t now = clock_.NowMs();
  Write(kStreamTypeVideo, false, 0, now - 500);  // dropped: no key frame yet
  Write(kStreamTypeVideo, true, 0, now - 80);
  Write(kStreamTypeVideo, false, 3600, now - 120);
  Write(kStreamTypeVideo, false, 7200, kUnknownTick);  // a repeated picture
  Write(kStreamTypeAudio, false, 0, now - 30);
  ASSERT_EQ(VideoTimes().size(), 3u);
  EXPECT_EQ(dispatcher_->StopMp4Record(), 0);
  EXPECT_EQ(log_.Count("_Plenova_ latency mp4 video: n=2 p50=80 p99=120 max=120 ms"), 1);
  EXPECT_EQ(log_.Count("_Plenova_ latency mp4 audio: n=1 p50=30 p99=30 max=30 ms"), 1);
  // A new recording counts afresh.
  StartMp4("/tmp/b.mp4");
  Write(kStreamTypeVideo, true, 0, now - 10);
  dispatcher_->UninitIAVStreaming();
  EXPECT_EQ(log_.Count("_Plenova_ latency mp4 video: n=1 p50=10 p99=10 max=10 ms"), 1);
  EXPECT_EQ(log_.Count("_Plenova_ latency mp4 audio: n=0 p50=0 p99=0 max=0 ms"), 1);
}

// --- MP4 video timing -------------------------------------------------------

TEST_F(AVStreamingImpTest, Mp4TimesAreTheStampsFromTheFirstKeyFrameOn) {
  Init();
  auto& recorder = StartMp4();
  WriteAudio(90000);
  for (int i = 0; i < 3; ++i) WriteVideo(false, 90000 + 3600 * i);
  EXPECT_TRUE(VideoTimes().empty());
  EXPECT_TRUE(recorder.Times(kTarvaneTagAudio).empty());
  // The key frame is the file's zero; audio stamped before it is not
  // written, later samples lie where their stamps say.
  WriteVideo(true, 900000);
  WriteAudio(900000 - 1920);
  WriteAudio(900000 + 1800);
  WriteVideo(false, 900000 + 3600);
  WriteVideo(false, 900000 + 3600 * 3);  // a frame lost on the way
  EXPECT_EQ(VideoTimes(), (std::vector<uint64_t>{0, 40, 120}));
  EXPECT_EQ(recorder.Times(kTarvaneTagAudio), std::vector<uint64_t>{20});
}

TEST_F(AVStreamingImpTest, RateUpdateSendsTheParameterSetsAndMovesPublisherSettings) {
  Init(Param(48000, 30));
  auto& recorder = StartMp4();
  WriteVideo(true);
  dispatcher_->IAVStreamUpdata(kSpsPps, sizeof(kSpsPps), 2, 16, 48000, 25);
  // The new parameter sets went to the file at time 0.
  ASSERT_GE(recorder.writes.size(), 2u);
  EXPECT_EQ(recorder.writes[1].data, std::vector<uint8_t>(kSpsPps, kSpsPps + sizeof(kSpsPps)));
  EXPECT_EQ(recorder.writes[1].timestamp, 0u);
  // A publisher started now announces the new rate with the stored sets.
  ASSERT_EQ(dispatcher_->StartRecord(kUrl1), 0);
  const auto announce = fake_wendrel::CallsNamed("SetMediaType").at(0);
  EXPECT_EQ(announce.param.fps, 25);
  EXPECT_EQ(announce.param.sps_pps_len, static_cast<int32_t>(sizeof(kSpsPps)));
}

// --- MP4 recording control -------------------------------------------------

TEST_F(AVStreamingImpTest, StartWhileRecordingStopsFirstAndReusesTheRecorder) {
  Init();
  auto& recorder = StartMp4("/tmp/a.mp4");
  EXPECT_EQ(recorder.create_path, "/tmp/a.mp4");
  EXPECT_EQ(recorder.video.width, 1280);
  EXPECT_EQ(recorder.video.codec, kTarvaneCodecH264);
  EXPECT_EQ(recorder.video.pixel, kTarvanePixelI420);
  EXPECT_EQ(recorder.audio.codec, kTarvaneCodecAac);
  EXPECT_EQ(recorder.audio.sampling_rate, 48000);
  EXPECT_EQ(dispatcher_->StartMp4Record("/tmp/b.mp4"), 0);
  EXPECT_EQ(fake_tarvane::registry().records.size(), 1u);
  EXPECT_EQ(recorder.stops, 1);
  EXPECT_EQ(recorder.starts, (std::vector<std::string>{"/tmp/a.mp4", "/tmp/b.mp4"}));
  EXPECT_EQ(dispatcher_->StopMp4Record(), 0);
  EXPECT_EQ(dispatcher_->StopMp4Record(), -1);
  EXPECT_TRUE(log_.Contains("Mp4 Record isn't start,don't need stop"));
  EXPECT_EQ(recorder.stops, 2);
  // Nothing is written once stopped.
  const size_t writes = recorder.writes.size();
  WriteAudio();
  EXPECT_EQ(recorder.writes.size(), writes);
}

TEST_F(AVStreamingImpTest, RefusalsOfTheRecorderAreReported) {
  Init();
  fake_tarvane::registry().fail_create = true;
  EXPECT_EQ(dispatcher_->StartMp4Record("/tmp/a.mp4"), 0);  // requested, nothing to write to
  EXPECT_TRUE(fake_tarvane::registry().records.empty());
  EXPECT_EQ(dispatcher_->StopMp4Record(), -1);

  fake_tarvane::registry().fail_create = false;
  auto& recorder = StartMp4();
  recorder.live_stop_result = 5;
  EXPECT_EQ(dispatcher_->StopMp4Record(), -1);
  EXPECT_TRUE(log_.Contains("LiveStop failed"));
  recorder.live_stop_result = 0;
  ASSERT_EQ(dispatcher_->StopMp4Record(), 0);
  recorder.live_start_result = 3;
  EXPECT_EQ(dispatcher_->StartMp4Record("/tmp/c.mp4"), -1);
  EXPECT_TRUE(log_.Contains("LiveStart failed"));
  recorder.video_write_result = 1;
  EXPECT_TRUE(WriteVideo(true)) << "not recording: nothing written, nothing failed";
}

TEST_F(AVStreamingImpTest, FailedMp4VideoWriteMakesWriteDataFalse) {
  Init();
  auto& recorder = StartMp4();
  recorder.video_write_result = 1;
  EXPECT_FALSE(WriteVideo(true));
  EXPECT_TRUE(log_.Contains("writeMp4 VideoData failed"));
}

std::vector<std::pair<int, int>> g_reports_a;
std::vector<std::pair<int, int>> g_reports_b;
void ReportA(int id, int state) { g_reports_a.emplace_back(id, state); }
void ReportB(int id, int state) { g_reports_b.emplace_back(id, state); }

TEST_F(AVStreamingImpTest, StateReportsOfTwoDispatchersReachTheLastRegisteredCallback) {
  g_reports_a.clear();
  g_reports_b.clear();
  AVStreamingImp other(fake_tarvane::Api(), fake_wendrel::kLibraryName);
  Init();
  const AVStreamInitParam param = Param();
  other.IAVStreamInit(&param, &pool_, nullptr, nullptr, 0);
  ASSERT_EQ(dispatcher_->SetMp4RecordCallback(1, &ReportA), 0);
  ASSERT_EQ(other.SetMp4RecordCallback(2, &ReportB), 0);
  ASSERT_EQ(dispatcher_->StartMp4Record("/tmp/a.mp4"), 0);
  ASSERT_EQ(other.StartMp4Record("/tmp/b.mp4"), 0);
  EXPECT_TRUE(g_reports_a.empty());
  EXPECT_EQ(g_reports_b,
            (std::vector<std::pair<int, int>>{{1, kTarvaneStarted}, {2, kTarvaneStarted}}));
  // A later report of the first recorder goes the same way.
  auto& first = *fake_tarvane::registry().records.front();
  first.callback(first.stream_id, kTarvaneWriteError);
  EXPECT_EQ(g_reports_b.back(), (std::pair<int, int>{1, kTarvaneWriteError}));
}

TEST_F(AVStreamingImpTest, CallbackWithoutFunctionOrWithIdBelowOneIsRefused) {
  EXPECT_EQ(dispatcher_->SetMp4RecordCallback(0, &ReportA), -1);
  EXPECT_EQ(dispatcher_->SetMp4RecordCallback(3, nullptr), -1);
  EXPECT_TRUE(log_.Contains("StateCallback is NULL or streamid[0] is invalid"));
}

TEST_F(AVStreamingImpTest, UninitFinishesTheFileAndDestroysTheRecorder) {
  Init();
  auto& recorder = StartMp4();
  EXPECT_TRUE(dispatcher_->UninitIAVStreaming());
  EXPECT_EQ(recorder.stops, 1);
  EXPECT_TRUE(recorder.destroyed);
}

// --- RTMP publishing --------------------------------------------------------

struct AacCase {
  int32_t rate;
  uint8_t byte0;
  uint8_t byte1;
  bool illegal;
};

class AacConfigTest : public AVStreamingImpTest, public ::testing::WithParamInterface<AacCase> {};

TEST_P(AacConfigTest, PublishersAnnounceTheAudioSpecificConfigOfTheRate) {
  Init(Param(GetParam().rate));
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  ASSERT_EQ(dispatcher_->StartRecord(kUrl1), 0);
  const auto announce = fake_wendrel::CallsNamed("SetMediaType").at(0);
  EXPECT_EQ(announce.param.aac_config[0], GetParam().byte0);
  EXPECT_EQ(announce.param.aac_config[1], GetParam().byte1);
  EXPECT_EQ(announce.param.sampling_rate, GetParam().rate);
  EXPECT_EQ(log_.Contains("sampling_rate illegal"), GetParam().illegal);
}

INSTANTIATE_TEST_SUITE_P(Rates, AacConfigTest,
                         ::testing::Values(AacCase{48000, 0x11, 0x88, false},
                                           AacCase{44100, 0x12, 0x08, false},
                                           AacCase{16000, 0x14, 0x08, false},
                                           AacCase{22050, 0x14, 0x08, true}));

TEST_F(AVStreamingImpTest, PublishRecordCarriesTheOutputDescription) {
  Init();
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  ASSERT_EQ(dispatcher_->StartRecord("rtmp://10.1.1.1/app/stream-x"), 0);
  const auto start = fake_wendrel::CallsNamed("Start").at(0);
  EXPECT_EQ(start.text, "rtmp://10.1.1.1/app/stream-x");
  EXPECT_EQ(start.name_arg, "stream-x");
  EXPECT_EQ(fake_wendrel::CallsNamed("SetLocalIP").at(0).port, 7001);
  const RtmpPublishParam p = fake_wendrel::CallsNamed("SetMediaType").at(0).param;
  EXPECT_EQ(p.video_width, 1280);
  EXPECT_EQ(p.video_height, 720);
  EXPECT_EQ(p.fps, 25);
  EXPECT_EQ(p.video_bitrate, 1500000);
  EXPECT_EQ(p.video_kind, 3);
  EXPECT_EQ(p.channels, 2);
  EXPECT_EQ(p.sampling_per_bits, 16);
  EXPECT_EQ(p.audio_kind, 2);
  EXPECT_EQ(p.audio_bitrate, 64000);
  EXPECT_EQ(p.audio_format, 2);
  EXPECT_EQ(p.media_flags, 0u);
  EXPECT_EQ(std::memcmp(p.sps_pps, kSpsPps, sizeof(kSpsPps)), 0);
  EXPECT_STREQ(p.url, "rtmp://10.1.1.1/app/stream-x");
  EXPECT_STREQ(p.stream_name, "stream-x");

  // A URL without '/' keeps the stream name.
  ASSERT_EQ(dispatcher_->StopRecord(), 0);
  ASSERT_EQ(dispatcher_->StartRecord("plainname"), 0);
  EXPECT_EQ(fake_wendrel::CallsNamed("Start").back().name_arg, "stream-x");
}

TEST_F(AVStreamingImpTest, StartRecordOnRunningEngineWaitsTwoSecondsForParameterSets) {
  Init();
  clock_.ClearSleeps();
  EXPECT_EQ(dispatcher_->StartRecord(kUrl1), -1);
  EXPECT_EQ(clock_.Sleeps(), std::vector<uint32_t>(10, 200));
  EXPECT_TRUE(log_.Contains("StartRecord got SpsPps failed"));
  EXPECT_TRUE(fake_wendrel::CallsNamed("SetMediaType").empty());
  // The refused start leaves no connection behind.
  EXPECT_EQ(fake_wendrel::LiveHandles(), 0);
}

TEST_F(AVStreamingImpTest, EngineRestartKeepsPublishingAndRecording) {
  ASSERT_EQ(dispatcher_->SetRecordUrl(kUrl1), 0);
  ASSERT_EQ(dispatcher_->SetMp4Url("/tmp/meeting.mp4"), 0);
  Init();
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  auto& recorder = *fake_tarvane::registry().records.at(0);
  WriteVideo(true, 90000);
  Init();  // the engine stopped and started again with the same outputs
  EXPECT_EQ(fake_wendrel::CallsNamed("Start").size(), 1u);
  EXPECT_EQ(recorder.starts, std::vector<std::string>{"/tmp/meeting.mp4"});
  EXPECT_EQ(recorder.stops, 0);
  WriteVideo(false, 90000 + 3600);
  EXPECT_EQ(VideoTimes(), (std::vector<uint64_t>{0, 40}));
  ASSERT_TRUE(WaitForPushes(2));
}

TEST_F(AVStreamingImpTest, UrlChangeWhilePublishingRestartsOnTheNewUrls) {
  Init();
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  ASSERT_EQ(dispatcher_->StartRecord(kUrl1), 0);
  AVStreamInitParam changed = Param(48000, 25, kUrl2);
  std::strcpy(changed.url_1, "rtmp://127.0.0.1:1935/live/uno");
  dispatcher_->IAVStreamInit(&changed, &pool_, nullptr, nullptr, 1);
  const auto starts = fake_wendrel::CallsNamed("Start");
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[1].text, "rtmp://127.0.0.1:1935/live/uno");
  EXPECT_EQ(starts[1].name_arg, "uno");
  EXPECT_EQ(starts[2].text, kUrl2);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 2);
  EXPECT_EQ(fake_wendrel::CallsNamed("SetMediaType").size(), 3u);
  EXPECT_TRUE(WriteAudio());
  ASSERT_TRUE(WaitForPushes(2));
}

TEST_F(AVStreamingImpTest, DeferredStartPublishesOnceParameterSetsArrive) {
  ASSERT_EQ(dispatcher_->SetRecordUrl(kUrl1), 0);
  clock_.ClearSleeps();
  Init();
  // Connected without waiting; nothing announced yet.
  EXPECT_TRUE(clock_.Sleeps().empty());
  EXPECT_EQ(fake_wendrel::CallsNamed("Start").size(), 1u);
  EXPECT_TRUE(fake_wendrel::CallsNamed("SetMediaType").empty());
  EXPECT_FALSE(log_.Contains("StartRecord Failed"));
  WriteAudio();  // queued, not sent

  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  const auto announce = fake_wendrel::CallsNamed("SetMediaType");
  ASSERT_EQ(announce.size(), 1u);
  EXPECT_EQ(std::memcmp(announce[0].param.sps_pps, kSpsPps, sizeof(kSpsPps)), 0);
  WriteVideo(true);
  ASSERT_TRUE(WaitForPushes(2));
  EXPECT_EQ(dispatcher_->StopRecord(), 0);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 0);
}

TEST_F(AVStreamingImpTest, SecondParameterSetsAreIgnored) {
  Init();
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  const uint8_t other[] = {0, 0, 0, 1, 0x67, 0x64};
  dispatcher_->AVStreamingSetSpsPpsInfo(other, sizeof(other));
  EXPECT_TRUE(log_.Contains("AVStreamingSetSpsPpsInfo has already Set"));
  ASSERT_EQ(dispatcher_->StartRecord(kUrl1), 0);
  EXPECT_EQ(fake_wendrel::CallsNamed("SetMediaType").at(0).param.sps_pps_len,
            static_cast<int32_t>(sizeof(kSpsPps)));
}

int g_hooked = 0;
void CountSample(unsigned char*, int) { ++g_hooked; }

TEST_F(AVStreamingImpTest, BothConfiguredDestinationsPublish) {
  g_hooked = 0;
  const AVStreamInitParam param = Param(48000, 25, kUrl2);
  dispatcher_->IAVStreamInit(&param, &pool_, reinterpret_cast<void*>(&CountSample), nullptr, 0);
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  ASSERT_EQ(dispatcher_->StartRecord(kUrl1), 0);
  const auto starts = fake_wendrel::CallsNamed("Start");
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[1].text, kUrl2);
  EXPECT_EQ(starts[1].name_arg, "two");
  EXPECT_TRUE(WriteAudio());
  ASSERT_TRUE(WaitForPushes(2));
  const auto pushes = fake_wendrel::CallsNamed("PushMediaSample");
  EXPECT_NE(pushes[0].handle, pushes[1].handle);
  EXPECT_TRUE(WriteVideo(true));
  EXPECT_EQ(g_hooked, 1) << "the sample hook sees each video sample once";
}

TEST_F(AVStreamingImpTest, UnconfiguredSecondDestinationIsNotConnectedAndFailsTheWrite) {
  Init();
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  ASSERT_EQ(dispatcher_->StartRecord(kUrl1), 0);
  EXPECT_EQ(fake_wendrel::CallsNamed("Start").size(), 1u);
  EXPECT_FALSE(WriteAudio());
  ASSERT_TRUE(WaitForPushes(1));
  EXPECT_EQ(dispatcher_->StopRecord(), 0);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 0);
  EXPECT_TRUE(WriteAudio()) << "no output active";
}

TEST_F(AVStreamingImpTest, SecondPublisherFailuresAreLoggedOncePer100VideoAnd200Audio) {
  // Without a loadable RTMP library every push fails.
  dispatcher_ = std::make_unique<AVStreamingImp>(fake_tarvane::Api(), "libwendrel_missing.so");
  AVStreamInitParam param = Param(48000, 25, kUrl2);
  param.EnableRtmp = 1;
  Init(param);
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  EXPECT_EQ(dispatcher_->StartRecord(kUrl1), -1);
  for (int i = 0; i < 199; ++i) EXPECT_FALSE(WriteAudio());
  for (int i = 0; i < 99; ++i) EXPECT_FALSE(WriteVideo(false));
  EXPECT_FALSE(log_.Contains("rtmp_2 AudioData failed"));
  EXPECT_FALSE(log_.Contains("rtmp_2 VideoData failed"));
  EXPECT_EQ(log_.Count("rtmp_1 AudioData failed"), 199);
  WriteAudio();
  WriteVideo(false);
  EXPECT_EQ(log_.Count("rtmp_2 AudioData failed"), 1);
  EXPECT_EQ(log_.Count("rtmp_2 VideoData failed"), 1);
}

TEST_F(AVStreamingImpTest, OverlongStringsAreRefusedAndChangeNothing) {
  const std::string longText(AVStreamingImp::kMaxText, 'x');
  EXPECT_EQ(dispatcher_->SetRecordUrl(longText.c_str()), -1);
  EXPECT_EQ(dispatcher_->SetMp4Url(longText.c_str()), -1);
  Init();
  EXPECT_TRUE(fake_wendrel::Calls().empty());
  EXPECT_TRUE(fake_tarvane::registry().records.empty());
  EXPECT_EQ(dispatcher_->StartRecord(longText.c_str()), -1);
  EXPECT_EQ(dispatcher_->StartMp4Record(longText.c_str()), -1);
  EXPECT_EQ(dispatcher_->StartRecord(nullptr), -1);
  EXPECT_TRUE(fake_wendrel::Calls().empty());
  EXPECT_TRUE(fake_tarvane::registry().records.empty());
  EXPECT_EQ(log_.Count("value is illegall"), 5);
  // One byte shorter fits.
  const std::string fits(AVStreamingImp::kMaxText - 1, 'y');
  EXPECT_EQ(dispatcher_->SetMp4Url(fits.c_str()), 0);
}

TEST_F(AVStreamingImpTest, BadSamplesAndUpdatesAreRefused) {
  Init();
  EXPECT_FALSE(dispatcher_->WriteData(nullptr));
  AVSample empty{kStreamTypeAudio, 0, nullptr};
  EXPECT_FALSE(dispatcher_->WriteData(&empty));
  dispatcher_->IAVStreamUpdata(kSpsPps, sizeof(kSpsPps), 2, 16, 48000, 0);
  dispatcher_->AVStreamingSetSpsPpsInfo(nullptr, 3);
  EXPECT_EQ(log_.Count("value is illegall"), 4);
  // The refused parameter sets did not use up the first delivery.
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  EXPECT_FALSE(log_.Contains("has already Set"));
}

}  // namespace
}  // namespace plenova
