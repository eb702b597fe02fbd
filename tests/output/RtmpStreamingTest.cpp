#include "output/RtmpStreaming.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>
#include <thread>

#include "common/EventSink.h"
#include "common/MemoryPool.h"
#include "tests/output/fakes/FakeWendrel.h"
#include "tests/support/ManualClock.h"

namespace plenova {
namespace {

constexpr uint16_t kPort = 6000;
constexpr const char* kLocalIp = "127.0.0.1";
constexpr const char* kUrl = "rtmp://127.0.0.1:1935/live/room";
const uint8_t kSpsPps[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE};
// Media stamps far from zero, as a meeting's are.
constexpr uint64_t kStamp0 = 900'000'000;

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

std::vector<uint16_t> Ports() {
  std::vector<uint16_t> out;
  for (const auto& call : fake_wendrel::CallsNamed("SetLocalIP")) out.push_back(call.port);
  return out;
}

// Timestamps (100 ns) of the pushes of one kind, in order.
std::vector<uint64_t> PushTimes(bool audio) {
  std::vector<uint64_t> out;
  for (const auto& call : fake_wendrel::CallsNamed("PushMediaSample"))
    if ((call.is_audio == 1) == audio) out.push_back(call.timestamp);
  return out;
}

// A script in which one step fails (or blocks).
fake_wendrel::Script ScriptWith(bool fake_wendrel::Script::*flag) {
  fake_wendrel::Script script;
  script.*flag = true;
  return script;
}

std::vector<std::string> g_messages;
void OnMessage(const char* text, int code) {
  g_messages.push_back(std::string(text) + "#" + std::to_string(code));
}

// The publisher with its send thread's step driven by the test, on a
// manual clock.
class RtmpStreamingTest : public ::testing::Test {
 protected:
  RtmpStreamingTest() : clock_(1000000), scoped_(&clock_) {
    fake_wendrel::Reset();
    g_messages.clear();
  }

  bool Configure(const RtmpPublishParam& settings) {
    return publisher_.InitRtmp(&pool_, &settings, kLocalIp, kPort, nullptr,
                               reinterpret_cast<void*>(&OnMessage), 1);
  }
  // Configured, started and connected, with the media announced.
  void Publish() {
    StartWith(fake_wendrel::Script{});
    Step();
    ASSERT_EQ(publisher_.state(), RtmpStreaming::State::kPublishing);
  }
  // Configured and started with the media announced, on a library that
  // follows `script`.
  void StartWith(const fake_wendrel::Script& script) {
    ASSERT_TRUE(Configure(Settings(kUrl)));
    ASSERT_EQ(publisher_.AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps)), 0);
    fake_wendrel::SetScript(script);
    publisher_.startRtmp();
  }
  uint32_t Step() { return publisher_.SendStep(clock_.NowMs()); }
  void SendAll() {
    while (Step() == 0) {
    }
  }
  bool PushAudio(uint64_t stamp, uint8_t first = 0x21, uint32_t tick = 0) {
    const uint8_t frame[4] = {first, 2, 3, 4};
    return publisher_.PushRtmpData(frame, sizeof(frame), stamp, 1, 0, tick);
  }
  bool PushVideo(uint64_t stamp, bool key, uint32_t tick = 0) {
    const uint8_t frame[6] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41), 9};
    return publisher_.PushRtmpData(frame, sizeof(frame), stamp, 0, key ? 1 : 0, tick);
  }

  testing::ManualClock clock_;
  testing::ScopedClock scoped_;
  MemoryPool pool_;
  RtmpStreaming publisher_{fake_wendrel::kLibraryName, RtmpStreaming::Mode::kCallerDrives};
};

TEST_F(RtmpStreamingTest, ConfiguringConnectsNothingAndTheSendThreadConnectsOnPortPlusOne) {
  ASSERT_TRUE(Configure(Settings(kUrl)));
  EXPECT_TRUE(fake_wendrel::Calls().empty());
  publisher_.startRtmp();
  EXPECT_EQ(publisher_.state(), RtmpStreaming::State::kConnecting);
  Step();
  const auto ip = fake_wendrel::CallsNamed("SetLocalIP").at(0);
  EXPECT_EQ(ip.text, kLocalIp);
  EXPECT_EQ(ip.port, kPort + 1);
  const auto start = fake_wendrel::CallsNamed("Start").at(0);
  EXPECT_EQ(start.text, kUrl);
  EXPECT_EQ(start.name_arg, "room");
  EXPECT_EQ(publisher_.state(), RtmpStreaming::State::kPublishing);
  EXPECT_EQ(g_messages,
            (std::vector<std::string>{
                "Message:_Plenova_ RTMP publishing rtmp://127.0.0.1:1935/live/****#3"}));
}

struct ConnectFailure {
  const char* name;
  fake_wendrel::Script script;
  const char* message;  // given to the client once, with its code
  int code;
};

class RtmpRetryTest : public RtmpStreamingTest,
                      public ::testing::WithParamInterface<ConnectFailure> {};

// A connection that cannot be made is tried again, forever, backing off to
// 30 s; the client hears of it once, and once when it succeeds.
TEST_P(RtmpRetryTest, AFailedConnectionIsTriedAgainBackingOffAndReportedOnce) {
  StartWith(GetParam().script);
  std::vector<uint32_t> delays;
  for (int attempt = 0; attempt < 14; ++attempt) {
    const uint32_t delay = Step();
    ASSERT_EQ(publisher_.state(), RtmpStreaming::State::kReconnecting) << attempt;
    ASSERT_EQ(fake_wendrel::LiveHandles(), 0) << attempt;
    delays.push_back(delay);
    // Nothing is tried before it is due.
    const size_t calls = fake_wendrel::Calls().size();
    clock_.Advance(delay - 1);
    EXPECT_EQ(Step(), 1u);
    EXPECT_EQ(fake_wendrel::Calls().size(), calls);
    clock_.Advance(1);
  }
  EXPECT_EQ(delays, (std::vector<uint32_t>{500, 1000, 1500, 2000, 3000, 5000, 8000, 13000, 21000,
                                           30000, 30000, 30000, 30000, 30000}));
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0], std::string("Message:") + GetParam().message +
                               "rtmp://127.0.0.1:1935/live/****#" +
                               std::to_string(GetParam().code));

  fake_wendrel::SetScript(fake_wendrel::Script{});
  EXPECT_EQ(Step(), RtmpStreaming::kWaitForWork);  // connected, nothing to send
  EXPECT_EQ(publisher_.state(), RtmpStreaming::State::kPublishing);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 1);
  EXPECT_EQ(fake_wendrel::CallsNamed("SetMediaType").size(), 1u);
  ASSERT_EQ(g_messages.size(), 2u);
  EXPECT_NE(g_messages[1].find("RTMP publishing"), std::string::npos);
  // The first try of a run binds port + 1, every later one 13 more.
  const auto ports = Ports();
  ASSERT_FALSE(ports.empty());
  EXPECT_EQ(ports[0], kPort + 1);
  for (size_t i = 1; i < ports.size(); ++i) EXPECT_EQ(ports[i], ports[i - 1] + 13) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RtmpRetryTest,
    ::testing::Values(ConnectFailure{"GetFME", ScriptWith(&fake_wendrel::Script::fail_get_fme),
                                     "_Plenova_ GetFME() failed!", 1},
                      ConnectFailure{"Initialize",
                                     ScriptWith(&fake_wendrel::Script::fail_initialize),
                                     "_Plenova_ RTMP 初始化失败", 1},
                      ConnectFailure{"SetLocalIP",
                                     ScriptWith(&fake_wendrel::Script::fail_set_local_ip),
                                     "_Plenova_ Set LocalIp() failed!", 0},
                      ConnectFailure{"Start", ScriptWith(&fake_wendrel::Script::fail_start),
                                     "_Plenova_ Start() failed!", 1}),
    [](const auto& info) { return std::string(info.param.name); });

// What a host sees of the same: connecting, then reconnecting with the try
// that comes next and its delay, then publishing and stopped, each naming
// this publisher with its key masked; the statistics count the reconnects,
// the outage and what was sent once publishing.
TEST_F(RtmpStreamingTest, HostEventsAndStatisticsFollowConnectionsAndOutages) {
  struct Sink : EventSink {
    void Report(const PlenovaEvent& e) override {
      events.push_back({e.output, e.kind, e.attempt, e.delay_ms, e.text});
    }
    struct Event {
      int output, kind, attempt, delay_ms;
      std::string text;
    };
    std::vector<Event> events;
  } sink;
  publisher_.SetEventSink(&sink, PLENOVA_OUTPUT_RTMP_2);
  StartWith(ScriptWith(&fake_wendrel::Script::fail_start));
  clock_.Advance(Step());  // fails: 500 ms
  clock_.Advance(Step());  // fails: 1000 ms
  fake_wendrel::SetScript(fake_wendrel::Script{});
  Step();
  ASSERT_EQ(publisher_.state(), RtmpStreaming::State::kPublishing);
  PushVideo(kStamp0, true);
  PushAudio(kStamp0);
  SendAll();
  PlenovaOutputStatistics stats{};
  publisher_.CollectStatistics(&stats);
  publisher_.stopRtmp();

  ASSERT_EQ(sink.events.size(), 5u);
  const std::vector<std::vector<int>> expected = {{PLENOVA_EVENT_CONNECTING, 1, 0},
                                                  {PLENOVA_EVENT_RECONNECTING, 2, 500},
                                                  {PLENOVA_EVENT_RECONNECTING, 3, 1000},
                                                  {PLENOVA_EVENT_PUBLISHING, 0, 0},
                                                  {PLENOVA_EVENT_STOPPED, 0, 0}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& e = sink.events[i];
    EXPECT_EQ(e.output, PLENOVA_OUTPUT_RTMP_2);
    EXPECT_EQ((std::vector<int>{e.kind, e.attempt, e.delay_ms}), expected[i]) << i;
    EXPECT_EQ(e.text.find("room"), std::string::npos) << e.text;
  }
  EXPECT_EQ(sink.events[0].text, "rtmp://127.0.0.1:1935/live/****");
  EXPECT_EQ(stats.state, PLENOVA_EVENT_PUBLISHING);
  EXPECT_EQ(stats.reconnects, 2u);
  EXPECT_EQ(stats.outage_ms, 1500u);
  EXPECT_EQ(stats.packets_sent, 2u);
  EXPECT_EQ(stats.bytes_sent, 10u);  // 6 bytes of video, 4 of audio
  EXPECT_EQ(stats.queue_depth, 0u);
  EXPECT_STREQ(stats.last_error, "_Plenova_ Start() failed!");
}

// Samples queued while no connection could be made: a new connection begins
// at the newest key frame among them, so the older ones neither go out nor
// take the room the samples coming in meanwhile need.
TEST_F(RtmpStreamingTest, ANewConnectionBeginsAtTheNewestHeldKeyFrame) {
  StartWith(ScriptWith(&fake_wendrel::Script::fail_start));
  clock_.Advance(Step());
  for (int i = 0; i < 6; ++i) {
    PushVideo(kStamp0 + 3600 * i, i % 3 == 0);  // key frames at 0 and 3
    PushAudio(kStamp0 + 1920 * i);
  }
  PushAudio(kStamp0 + 10800 + 100);
  EXPECT_EQ(publisher_.QueuedVideo(), 6u);
  fake_wendrel::SetScript(fake_wendrel::Script{});
  SendAll();
  ASSERT_EQ(publisher_.state(), RtmpStreaming::State::kPublishing);
  EXPECT_EQ(PushTimes(false), (std::vector<uint64_t>{0, 400000, 800000}));
  EXPECT_EQ(PushTimes(true).size(), 1u);
  PlenovaOutputStatistics stats{};
  publisher_.CollectStatistics(&stats);
  EXPECT_EQ(stats.dropped, 9u);  // 3 pictures and 6 AAC frames from before it
}

TEST_F(RtmpStreamingTest, PlaceholderUrlCountsAsNotConfigured) {
  EXPECT_FALSE(Configure(Settings("rtmp://127.0.0.1/live")));
  EXPECT_FALSE(publisher_.HasValidUrl());
  EXPECT_FALSE(PushAudio(kStamp0));
  EXPECT_TRUE(Configure(Settings(kUrl)));
  EXPECT_TRUE(publisher_.HasValidUrl());
}

TEST_F(RtmpStreamingTest, NothingIsSentBeforeTheMediaAreAnnounced) {
  ASSERT_TRUE(Configure(Settings(kUrl)));
  publisher_.startRtmp();
  Step();
  ASSERT_EQ(publisher_.state(), RtmpStreaming::State::kPublishing);
  PushVideo(kStamp0, true);
  PushAudio(kStamp0);
  EXPECT_EQ(Step(), RtmpStreaming::kWaitForWork);
  EXPECT_TRUE(fake_wendrel::CallsNamed("PushMediaSample").empty());
  ASSERT_EQ(publisher_.AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps)), 0);
  SendAll();
  EXPECT_EQ(fake_wendrel::CallsNamed("SetMediaType").at(0).param.sps_pps_len,
            static_cast<int32_t>(sizeof(kSpsPps)));
  EXPECT_EQ(fake_wendrel::CallsNamed("PushMediaSample").size(), 2u);
}

TEST_F(RtmpStreamingTest, ARefusedAnnouncementDropsTheConnectionAndTriesAgain) {
  StartWith(ScriptWith(&fake_wendrel::Script::fail_set_media_type));
  EXPECT_EQ(Step(), 500u);
  EXPECT_EQ(publisher_.state(), RtmpStreaming::State::kReconnecting);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 0);
  EXPECT_NE(std::find(g_messages.begin(), g_messages.end(),
                      "Message:_Plenova_ SetMediaType() Failed!rtmp://127.0.0.1:1935/live/****#2"),
            g_messages.end());
}

// Samples go out on the timeline of their own stamps, counted from the first
// key frame of the connection; what comes before it is not sent.
TEST_F(RtmpStreamingTest, SamplesAreTimedByTheirStampsFromTheFirstKeyFrame) {
  Publish();
  PushAudio(kStamp0 - 1920);
  PushVideo(kStamp0 - 3600, false);  // before any key frame
  PushAudio(kStamp0);
  PushAudio(kStamp0 + 1920);
  PushVideo(kStamp0, true);
  PushAudio(kStamp0 + 3840);
  PushVideo(kStamp0 + 3600, false);
  PushVideo(kStamp0 + 7200, false);
  SendAll();
  EXPECT_EQ(PushTimes(false), (std::vector<uint64_t>{0, 400000, 800000}));
  // Audio on its frame grid: 1024 samples at 48 kHz apart.
  EXPECT_EQ(PushTimes(true), (std::vector<uint64_t>{0, 213333, 426666}));
}

// AAC frames whose stamps jitter or run short of a frame still go out back
// to back, as in the MP4 file; a real gap stays a gap of whole frames.
TEST_F(RtmpStreamingTest, AudioFramesGoOutOnTheirFrameGrid) {
  Publish();
  PushVideo(kStamp0, true);
  const uint64_t stamps[] = {0, 1800, 3600, 5400, 7680, 9000, 9000 + 10 * 1920};
  for (uint64_t stamp : stamps) PushAudio(kStamp0 + stamp);
  SendAll();
  std::vector<uint64_t> expected;
  for (int frame : {0, 1, 2, 3, 4, 5, 15}) expected.push_back(frame * 1024ull * 10000000 / 48000);
  EXPECT_EQ(PushTimes(true), expected);
}

// Pictures whose stamps come too close together still go out 40 ms apart, as
// in the MP4 file; a real gap stays a gap of whole pictures.
TEST_F(RtmpStreamingTest, PicturesGoOutOnThe40MsGrid) {
  Publish();
  const uint64_t stamps[] = {0, 1800, 5400, 7200, 9000, 10 * 3600 + 900};
  for (uint64_t stamp : stamps) PushVideo(kStamp0 + stamp, stamp == 0);
  SendAll();
  std::vector<uint64_t> expected;
  for (int frame : {0, 1, 2, 3, 4, 10}) expected.push_back(frame * 400000ull);
  EXPECT_EQ(PushTimes(false), expected);
}

TEST_F(RtmpStreamingTest, AdtsHeaderIsSkippedAndRawAacPassesWhole) {
  Publish();
  PushVideo(kStamp0, true);
  const uint8_t adts[9] = {0xFF, 0xF1, 0x50, 0x80, 0x01, 0x3F, 0xFC, 0xAA, 0xBB};
  publisher_.PushRtmpData(adts, sizeof(adts), kStamp0 + 10, 1, 0, 0);
  PushAudio(kStamp0 + 2000, 0x21);
  SendAll();
  const auto pushes = fake_wendrel::CallsNamed("PushMediaSample");
  ASSERT_EQ(pushes.size(), 3u);
  EXPECT_EQ(pushes[1].data, (std::vector<uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(pushes[2].data.size(), 4u);
}

TEST_F(RtmpStreamingTest, AFailedKeyFrameReconnectsAtOnceAndStartsFromTheNextKeyFrame) {
  Publish();
  fake_wendrel::Script script;
  script.failing_key_pushes = {2};
  fake_wendrel::SetScript(script);
  PushVideo(kStamp0, true);
  PushVideo(kStamp0 + 3600, false);
  PushVideo(kStamp0 + 7200, true);  // fails: the connection is gone
  EXPECT_EQ(Step(), 0u);
  EXPECT_EQ(publisher_.state(), RtmpStreaming::State::kReconnecting);
  Step();
  EXPECT_EQ(publisher_.state(), RtmpStreaming::State::kPublishing);
  EXPECT_EQ(Ports(), (std::vector<uint16_t>{kPort + 1, kPort + 14}));
  EXPECT_EQ(fake_wendrel::LiveHandles(), 1);
  PushVideo(kStamp0 + 10800, false);
  PushVideo(kStamp0 + 14400, true);
  PushVideo(kStamp0 + 18000, false);
  SendAll();
  // The new connection's time starts at its first key frame.
  const auto times = PushTimes(false);
  EXPECT_EQ(std::vector<uint64_t>(times.end() - 2, times.end()),
            (std::vector<uint64_t>{0, 400000}));
}

TEST_F(RtmpStreamingTest, LatencyIsCountedPerMediumWhenTheLibraryTakesTheSample) {
  Publish();
  const uint32_t now = clock_.NowMs();
  PushVideo(kStamp0, true, now - 30);
  PushAudio(kStamp0 + 10, 0x21, now - 20);
  SendAll();
  EXPECT_EQ(publisher_.VideoLatency().Count(), 1u);
  EXPECT_EQ(publisher_.VideoLatency().Max(), 30u);
  EXPECT_EQ(publisher_.AudioLatency().Max(), 20u);
}

// A new rate or new parameter sets are announced on the running connection:
// no second publication.
TEST_F(RtmpStreamingTest, AnUpdateIsAnnouncedWithoutReconnecting) {
  Publish();
  publisher_.UpdateRtmp(kSpsPps, sizeof(kSpsPps), 30, 2, 16, 48000);
  Step();
  const auto announced = fake_wendrel::CallsNamed("SetMediaType");
  ASSERT_EQ(announced.size(), 2u);
  EXPECT_EQ(announced[1].param.fps, 30);
  EXPECT_EQ(announced[1].handle, announced[0].handle);
  EXPECT_EQ(fake_wendrel::CallsNamed("Start").size(), 1u);
  EXPECT_EQ(fake_wendrel::CallsNamed("GetFME").size(), 1u);
}

TEST_F(RtmpStreamingTest, MissingLibraryIsReportedAndRetried) {
  RtmpStreaming missing("libwendrel_missing_for_test.so", RtmpStreaming::Mode::kCallerDrives);
  RtmpPublishParam settings = Settings(kUrl);
  EXPECT_TRUE(missing.InitRtmp(&pool_, &settings, kLocalIp, kPort, nullptr, nullptr, 1));
  missing.startRtmp();
  EXPECT_EQ(missing.SendStep(clock_.NowMs()), 500u);
  EXPECT_EQ(missing.state(), RtmpStreaming::State::kReconnecting);
  missing.stopRtmp();
  EXPECT_EQ(missing.state(), RtmpStreaming::State::kStopped);
}

// The send thread itself: it sleeps on nothing but its wake-up, so samples
// pushed while it waits go out although the (stepped) clock never moves,
// and a stop ends a connection attempt that would never return.
TEST(RtmpSendThread, WakesForNewSamplesAndAStopEndsAHangingConnect) {
  fake_wendrel::Reset();
  testing::ManualClock clock(1000000, /*auto_advance=*/false);
  testing::ScopedClock scoped(&clock);
  MemoryPool pool;
  RtmpStreaming publisher(fake_wendrel::kLibraryName);
  RtmpPublishParam settings = Settings(kUrl);
  ASSERT_TRUE(publisher.InitRtmp(&pool, &settings, kLocalIp, kPort, nullptr, nullptr, 1));
  ASSERT_EQ(publisher.AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps)), 0);
  publisher.startRtmp();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const auto wait_for = [&](auto done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    return done();
  };
  ASSERT_TRUE(wait_for([&] { return publisher.state() == RtmpStreaming::State::kPublishing; }));
  // Fewer than a queue holds, so that none is dropped whatever the timing.
  for (int i = 0; i < 30; ++i) {
    const uint8_t frame[6] = {0, 0, 0, 1, static_cast<uint8_t>(i == 0 ? 0x65 : 0x41), 9};
    publisher.PushRtmpData(frame, sizeof(frame), kStamp0 + 3600u * i, 0, i == 0 ? 1 : 0, 0);
    const uint8_t aac[4] = {0x21, 2, 3, 4};
    publisher.PushRtmpData(aac, sizeof(aac), kStamp0 + 1920u * i, 1, 0, 0);
  }
  EXPECT_TRUE(wait_for([&] { return fake_wendrel::CallsNamed("PushMediaSample").size() == 60; }));
  EXPECT_TRUE(clock.Sleeps().empty());
  publisher.stopRtmp();

  // Now a server that takes the connection and never answers.
  fake_wendrel::SetScript(ScriptWith(&fake_wendrel::Script::block_start));
  publisher.startRtmp();
  ASSERT_TRUE(wait_for([] { return fake_wendrel::BlockedStarts() == 1; }));
  publisher.stopRtmp();
  EXPECT_EQ(publisher.state(), RtmpStreaming::State::kStopped);
  EXPECT_EQ(fake_wendrel::BlockedStarts(), 0);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 0);
}

}  // namespace
}  // namespace plenova
