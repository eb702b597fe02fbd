#include "output/RtmpStreaming.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "common/MemoryPool.h"
#include "tests/output/fakes/FakeWendrel.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ManualClock.h"

namespace plenova {
namespace {

constexpr uint16_t kPort = 6000;
constexpr const char* kLocalIp = "127.0.0.1";
constexpr const char* kUrl = "rtmp://127.0.0.1:1935/live/room";
const uint8_t kSpsPps[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE};

RtmpPublishParam Settings(const char* url, int32_t fps = 25, int32_t rate = 48000) {
  RtmpPublishParam p{};
  p.video_width = 640;
  p.video_height = 360;
  p.fps = fps;
  p.video_bitrate = 800000;
  p.video_kind = 3;
  p.channels = 2;
  p.sampling_per_bits = 16;
  p.sampling_rate = rate;
  p.audio_kind = 2;
  p.audio_bitrate = 64000;
  p.audio_format = 2;
  std::strcpy(p.url, url);
  std::strcpy(p.stream_name, "room");
  return p;
}

std::vector<std::string> Names(const std::vector<fake_wendrel::Call>& calls) {
  std::vector<std::string> out;
  for (const auto& call : calls) out.push_back(call.name);
  return out;
}

std::vector<uint16_t> Ports() {
  std::vector<uint16_t> out;
  for (const auto& call : fake_wendrel::CallsNamed("SetLocalIP")) out.push_back(call.port);
  return out;
}

// Timestamps of the pushes of one kind (audio or video), in order.
// The times of the pushes of one medium, counted from the first push of
// either, as the library counts them.
std::vector<uint64_t> PushTimes(bool audio) {
  std::vector<uint64_t> out;
  const auto calls = fake_wendrel::CallsNamed("PushMediaSample");
  for (const auto& call : calls)
    if ((call.is_audio == 1) == audio) out.push_back(call.timestamp - calls.front().timestamp);
  return out;
}

std::vector<std::string> g_messages;
void OnMessage(const char* text, int code) {
  g_messages.push_back(std::string(text) + "#" + std::to_string(code));
}

class RtmpStreamingTest : public ::testing::Test {
 protected:
  RtmpStreamingTest() : clock_(1000000), scoped_(&clock_) {
    fake_wendrel::Reset();
    g_messages.clear();
  }

  bool Connect(const RtmpPublishParam& settings) {
    return publisher_.InitRtmp(&pool_, &settings, kLocalIp, kPort, nullptr,
                               reinterpret_cast<void*>(&OnMessage), 1);
  }
  // A connected publisher whose media are announced, so its queues send.
  void ConnectAndAnnounce(const RtmpPublishParam& settings) {
    ASSERT_TRUE(Connect(settings));
    ASSERT_EQ(publisher_.AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps)), 0);
  }
  // Samples stamped on the 90 kHz media timeline: audio 1920 apart, video
  // 3600 apart, unless a test gives a stamp.
  bool PushAudio(uint8_t first = 0x21, uint32_t tick = 0, std::optional<uint64_t> stamp = std::nullopt) {
    const uint8_t frame[4] = {first, 2, 3, 4};
    const uint64_t ts = stamp.value_or(audio_stamp_);
    audio_stamp_ = ts + 1920;
    return publisher_.PushRtmpData(frame, sizeof(frame), ts, 1, 0, tick);
  }
  bool PushVideo(bool key, uint32_t tick = 0, std::optional<uint64_t> stamp = std::nullopt) {
    const uint8_t frame[6] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41), 9};
    const uint64_t ts = stamp.value_or(video_stamp_);
    video_stamp_ = ts + 3600;
    return publisher_.PushRtmpData(frame, sizeof(frame), ts, 0, key ? 1 : 0, tick);
  }
  void SendAll() {
    while (publisher_.SendStep()) {
    }
  }

  testing::ManualClock clock_;
  testing::ScopedClock scoped_;
  testing::LogCapture log_;
  MemoryPool pool_;
  RtmpStreaming publisher_{fake_wendrel::kLibraryName};
  uint64_t audio_stamp_ = 0;
  uint64_t video_stamp_ = 0;
};

TEST_F(RtmpStreamingTest, FullInitConnectsInOrderOnPortPlusOne) {
  ASSERT_TRUE(Connect(Settings(kUrl)));
  EXPECT_EQ(Names(fake_wendrel::Calls()),
            (std::vector<std::string>{"GetFME", "Initialize", "SetLocalIP", "Start"}));
  const auto ip = fake_wendrel::CallsNamed("SetLocalIP").at(0);
  EXPECT_EQ(ip.text, kLocalIp);
  EXPECT_EQ(ip.port, kPort + 1);
  const auto start = fake_wendrel::CallsNamed("Start").at(0);
  EXPECT_EQ(start.text, kUrl);
  EXPECT_EQ(start.name_arg, "room");
}

struct InitFailure {
  const char* name;
  fake_wendrel::Script script;
  const char* log_line;
  const char* message;  // given to the client, or empty
  int code;
};

class RtmpInitFailureTest : public RtmpStreamingTest,
                            public ::testing::WithParamInterface<InitFailure> {};

TEST_P(RtmpInitFailureTest, FailedStepLeavesNoHandleAndReloadsNextTime) {
  fake_wendrel::SetScript(GetParam().script);
  EXPECT_FALSE(Connect(Settings(kUrl)));
  EXPECT_TRUE(log_.Contains(GetParam().log_line));
  EXPECT_EQ(fake_wendrel::LiveHandles(), 0);
  if (*GetParam().message != '\0') {
    ASSERT_EQ(g_messages.size(), 1u);
    EXPECT_EQ(g_messages[0].rfind(std::string("Message:") + GetParam().message, 0), 0u);
    EXPECT_NE(g_messages[0].find(std::string(kUrl) + "#" + std::to_string(GetParam().code)),
              std::string::npos);
  } else {
    EXPECT_TRUE(g_messages.empty());
  }
  // The library was freed; a later attempt loads it again and succeeds.
  fake_wendrel::Reset();
  EXPECT_TRUE(Connect(Settings(kUrl)));
  EXPECT_EQ(fake_wendrel::LiveHandles(), 1);
}

fake_wendrel::Script Failing(bool fake_wendrel::Script::*field) {
  fake_wendrel::Script script;
  script.*field = true;
  return script;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RtmpInitFailureTest,
    ::testing::Values(
        InitFailure{"GetFME", Failing(&fake_wendrel::Script::fail_get_fme), "GetPME() failed", "",
                    0},
        InitFailure{"Initialize", Failing(&fake_wendrel::Script::fail_initialize),
                    "RtmpInit() failed", "", 0},
        InitFailure{"SetLocalIP", Failing(&fake_wendrel::Script::fail_set_local_ip),
                    "SetLocalIp() failed", "_Plenova_ Set LocalIp() failed!", 0},
        InitFailure{"Start", Failing(&fake_wendrel::Script::fail_start), "Start() failed",
                    "_Plenova_ Start() failed!", 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RtmpStreamingTest, PlaceholderUrlCountsAsNotConfigured) {
  EXPECT_FALSE(Connect(Settings("rtmp://127.0.0.1/live")));
  EXPECT_TRUE(fake_wendrel::Calls().empty());
  EXPECT_FALSE(publisher_.HasValidUrl());
  EXPECT_FALSE(PushAudio());
  EXPECT_TRUE(log_.Contains("_url invalid"));
  EXPECT_EQ(publisher_.QueuedAudio(), 0u);

  ASSERT_TRUE(Connect(Settings("rtmp://127.0.0.1/live/x")));
  EXPECT_TRUE(publisher_.HasValidUrl());
}

TEST_F(RtmpStreamingTest, NothingIsSentBeforeTheMediaAreAnnounced) {
  ASSERT_TRUE(Connect(Settings(kUrl)));
  for (int i = 0; i < 45; ++i) PushAudio();
  EXPECT_EQ(publisher_.QueuedAudio(), RtmpDataQueue::kMaxUnits);
  EXPECT_FALSE(publisher_.SendStep());
  EXPECT_TRUE(fake_wendrel::CallsNamed("PushMediaSample").empty());

  ASSERT_EQ(publisher_.AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps)), 0);
  const auto announce = fake_wendrel::CallsNamed("SetMediaType").at(0);
  EXPECT_EQ(announce.param.sps_pps_len, static_cast<int32_t>(sizeof(kSpsPps)));
  EXPECT_EQ(std::memcmp(announce.param.sps_pps, kSpsPps, sizeof(kSpsPps)), 0);
  SendAll();
  EXPECT_EQ(PushTimes(true).size(), RtmpDataQueue::kMaxUnits);
}

TEST_F(RtmpStreamingTest, RefusedAnnouncementStopsSendingAndTellsTheClient) {
  ASSERT_TRUE(Connect(Settings(kUrl)));
  fake_wendrel::SetScript(Failing(&fake_wendrel::Script::fail_set_media_type));
  EXPECT_EQ(publisher_.AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps)), -1);
  EXPECT_EQ(g_messages.size(), 1u);
  PushAudio();
  EXPECT_FALSE(publisher_.SendStep());
  EXPECT_EQ(publisher_.AVStreamingSetSpsPpsInfo(nullptr, 4), -1);
}

// Samples go out with their own media stamps, in the library's 100-ns units.
TEST_F(RtmpStreamingTest, SamplesCarryTheirOwnStamps) {
  ConnectAndAnnounce(Settings(kUrl, 25));
  for (int i = 0; i < 3; ++i) PushAudio();
  PushVideo(true, 0, 900);
  PushVideo(false, 0, 900 + 3600 * 3);  // frames lost on the way leave a gap
  SendAll();
  EXPECT_EQ(PushTimes(true), (std::vector<uint64_t>{0, 213333, 426666}));
  EXPECT_EQ(PushTimes(false), (std::vector<uint64_t>{100000, 1300000}));
  const auto push = fake_wendrel::CallsNamed("PushMediaSample").at(0);
  EXPECT_EQ(push.kind, kWendrelKindAudio);
  EXPECT_EQ(push.is_audio, 1u);
}

TEST_F(RtmpStreamingTest, AdtsHeaderIsSkippedAndRawAacPassesWhole) {
  ConnectAndAnnounce(Settings(kUrl));
  const uint8_t adts[10] = {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0xAA, 0xBB, 0xCC};
  ASSERT_TRUE(publisher_.PushRtmpData(adts, sizeof(adts), 0, 1, 0, 0));
  PushAudio(0x21);
  SendAll();
  const auto pushes = fake_wendrel::CallsNamed("PushMediaSample");
  ASSERT_EQ(pushes.size(), 2u);
  EXPECT_EQ(pushes[0].data, (std::vector<uint8_t>{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(pushes[1].data.size(), 4u);
}

TEST_F(RtmpStreamingTest, FailedKeyFramePushReconnectsThirteenPortsOnAndResends) {
  fake_wendrel::Script script;
  script.failing_key_pushes = {1, 3};
  fake_wendrel::SetScript(script);
  ConnectAndAnnounce(Settings(kUrl));
  PushVideo(true);
  SendAll();
  EXPECT_EQ(Ports(), (std::vector<uint16_t>{kPort + 1, kPort + 14}));
  PushVideo(false);
  PushVideo(true);
  SendAll();
  EXPECT_EQ(Ports(), (std::vector<uint16_t>{kPort + 1, kPort + 14, kPort + 27}));
  // Each failed key frame was pushed again on the new connection, at the
  // same time.
  EXPECT_EQ(PushTimes(false), (std::vector<uint64_t>{0, 0, 400000, 800000, 800000}));
  // Old connections were closed; only the newest is alive, and it announced
  // the media again with the parameter sets.
  EXPECT_EQ(fake_wendrel::LiveHandles(), 1);
  const auto announce = fake_wendrel::CallsNamed("SetMediaType").back();
  EXPECT_EQ(announce.handle, 3);
  EXPECT_EQ(announce.param.sps_pps_len, static_cast<int32_t>(sizeof(kSpsPps)));
}

// The time a sample spent in the engine is taken when the library accepts
// it; failed pushes and samples of unknown arrival are not counted.
TEST_F(RtmpStreamingTest, LatencyIsCountedPerMediumWhenTheLibraryTakesTheSample) {
  ConnectAndAnnounce(Settings(kUrl));
  const uint32_t arrival = clock_.NowMs();
  PushAudio(0x21, arrival);
  PushVideo(true, arrival + 10);
  PushVideo(false, kUnknownTick);
  clock_.Advance(70);
  SendAll();
  EXPECT_EQ(publisher_.AudioLatency().Count(), 1u);
  EXPECT_EQ(publisher_.AudioLatency().Max(), 70u);
  EXPECT_EQ(publisher_.VideoLatency().Count(), 1u);
  EXPECT_EQ(publisher_.VideoLatency().Max(), 60u);

  fake_wendrel::Script script;
  script.fail_all_pushes = true;
  fake_wendrel::SetScript(script);
  PushAudio(0x21, arrival);
  PushVideo(false, arrival);
  SendAll();
  EXPECT_EQ(publisher_.AudioLatency().Count(), 1u);
  EXPECT_EQ(publisher_.VideoLatency().Count(), 1u);
}

TEST_F(RtmpStreamingTest, FailedNonKeyPushOnlyWaits) {
  ConnectAndAnnounce(Settings(kUrl));
  fake_wendrel::Script script;
  script.fail_all_pushes = true;
  fake_wendrel::SetScript(script);
  for (int i = 0; i < 30; ++i) {
    PushVideo(false);
    PushAudio();
    SendAll();
  }
  EXPECT_EQ(Ports().size(), 1u);
  // Logged once while the connection stays down.
  EXPECT_EQ(log_.Count("推送视频流失败，等待重新初始化"), 1);
  EXPECT_EQ(log_.Count("推送音频流失败，等待重新初始化！"), 1);
}

TEST_F(RtmpStreamingTest, UpdateWithUnchangedValuesCallsNothing) {
  const RtmpPublishParam settings = Settings(kUrl, 25, 48000);
  ConnectAndAnnounce(settings);
  const size_t before = fake_wendrel::Calls().size();
  // Different bytes, same length: not compared.
  const uint8_t other[sizeof(kSpsPps)] = {};
  publisher_.UpdateRtmp(other, sizeof(other), 25, 2, 16, 48000);
  EXPECT_EQ(fake_wendrel::Calls().size(), before);
  EXPECT_TRUE(log_.Contains("NoNeed To Updata RTMP Info"));
}

TEST_F(RtmpStreamingTest, UpdateWithNewRateAnnouncesAndReconnects) {
  ConnectAndAnnounce(Settings(kUrl, 25, 48000));
  const size_t before = fake_wendrel::Calls().size();
  publisher_.UpdateRtmp(kSpsPps, sizeof(kSpsPps), 30, 1, 16, 16000);
  auto calls = fake_wendrel::Calls();
  calls.erase(calls.begin(), calls.begin() + static_cast<long>(before));
  EXPECT_EQ(Names(calls), (std::vector<std::string>{"SetMediaType", "Stop", "DeleteFME", "GetFME",
                                                    "Initialize", "SetLocalIP", "Start",
                                                    "SetMediaType"}));
  EXPECT_EQ(calls[0].param.fps, 30);
  EXPECT_EQ(calls[0].param.sampling_rate, 16000);
  EXPECT_EQ(calls[0].param.channels, 1);
  EXPECT_EQ(calls[0].param.media_flags, 40u);
  EXPECT_EQ(Ports().back(), kPort + 14);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 1);
  // Invalid values are refused without a call.
  publisher_.UpdateRtmp(kSpsPps, sizeof(kSpsPps), 0, 1, 16, 16000);
  EXPECT_TRUE(log_.Contains("invalid param"));
}

TEST_F(RtmpStreamingTest, NotFullInitReconnectsWithNewUrlKeepingParameterSets) {
  ConnectAndAnnounce(Settings(kUrl));
  RtmpPublishParam moved = Settings("rtmp://127.0.0.1:1935/live/other");
  ASSERT_TRUE(publisher_.InitRtmp(&pool_, &moved, kLocalIp, kPort, nullptr, nullptr, 0));
  EXPECT_EQ(fake_wendrel::CallsNamed("Start").back().text, "rtmp://127.0.0.1:1935/live/other");
  EXPECT_EQ(fake_wendrel::CallsNamed("SetMediaType").back().param.sps_pps_len,
            static_cast<int32_t>(sizeof(kSpsPps)));
  EXPECT_EQ(fake_wendrel::LiveHandles(), 1);
}

TEST_F(RtmpStreamingTest, MissingLibraryIsReportedAndPushesFail) {
  RtmpStreaming missing("libwendrel_missing_for_test.so");
  EXPECT_TRUE(log_.Contains("Plenova loadlibrary failed"));
  RtmpPublishParam settings = Settings(kUrl);
  EXPECT_FALSE(missing.InitRtmp(&pool_, &settings, kLocalIp, kPort, nullptr, nullptr, 1));
  EXPECT_FALSE(missing.PushRtmpData(kSpsPps, sizeof(kSpsPps), 0, 1, 0, 0));
  EXPECT_TRUE(log_.Contains("_load library failed"));
}

// The send thread against concurrent pushes from another thread (the sync
// thread's role), on a clock that advances by itself when the thread idles.
TEST_F(RtmpStreamingTest, SendThreadDrainsConcurrentPushesInOrder) {
  ConnectAndAnnounce(Settings(kUrl));
  // The first key frame fails: the thread reconnects while pushes go on.
  fake_wendrel::Script script;
  script.failing_key_pushes = {1};
  fake_wendrel::SetScript(script);
  publisher_.startRtmp();
  std::thread producer([&] {
    for (int i = 0; i < 200; ++i) {
      PushAudio();
      if (i % 2 == 0) PushVideo(i % 50 == 0);
    }
  });
  producer.join();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (publisher_.QueuedAudio() + publisher_.QueuedVideo() > 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  publisher_.stopRtmp();
  EXPECT_FALSE(publisher_.IsRunning());
  const auto audio = PushTimes(true);
  ASSERT_FALSE(audio.empty());
  for (size_t i = 0; i < audio.size(); ++i) EXPECT_EQ(audio[i], i * 1920 * 1000 / 9);
  const auto video = PushTimes(false);
  for (size_t i = 1; i < video.size(); ++i) EXPECT_GE(video[i], video[i - 1]);
  EXPECT_EQ(Ports(), (std::vector<uint16_t>{kPort + 1, kPort + 14}));
  EXPECT_EQ(fake_wendrel::LiveHandles(), 1);
  // A second start runs a fresh thread with fresh clocks.
  PushAudio();
  publisher_.startRtmp();
  publisher_.stopRtmp();
}

}  // namespace
}  // namespace plenova
