#include "output/RtmpStreaming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/MemoryPool.h"
#include "tests/output/fakes/FakeWendrel.h"
#include "tests/support/ManualClock.h"
#include "tests/support/PublishParam.h"

namespace plenova {
namespace {

using fake_wendrel::CallsNamed;
using Times = std::vector<uint64_t>;

constexpr uint16_t kPort = 6000;
constexpr const char* kLocalIp = "127.0.0.1";
constexpr const char* kUrl = "rtmp://127.0.0.1:1935/live/room";
const uint8_t kSpsPps[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE};
// Media stamps far from zero, as a meeting's are.
constexpr uint64_t kStamp0 = 900'000'000;

RtmpPublishParam Settings(const char* url) {
  RtmpPublishParam p = testing::MakePublishParam(640, 360, {}, 48000, 2);
  std::strcpy(p.url, url);
  std::strcpy(p.stream_name, "room");
  return p;
}

std::vector<uint16_t> Ports() {
  std::vector<uint16_t> out;
  for (const auto& call : CallsNamed("SetLocalIP")) out.push_back(call.port);
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

bool PushVideoTo(RtmpStreaming& publisher, uint64_t stamp, bool key) {
  const uint8_t frame[6] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41), 9};
  return publisher.PushRtmpData(frame, sizeof(frame), stamp, 0, key ? 1 : 0, 0);
}
bool PushAudioTo(RtmpStreaming& publisher, uint64_t stamp) {
  const uint8_t frame[4] = {0x21, 2, 3, 4};
  return publisher.PushRtmpData(frame, sizeof(frame), stamp, 1, 0, 0);
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
  bool PushAudio(uint64_t stamp) { return PushAudioTo(publisher_, stamp); }
  bool PushVideo(uint64_t stamp, bool key) { return PushVideoTo(publisher_, stamp, key); }

  testing::ManualClock clock_;
  testing::ScopedClock scoped_;
  MemoryPool pool_;
  RtmpStreaming publisher_{fake_wendrel::kLibraryName, RtmpStreaming::Mode::kCallerDrives};
};

TEST_F(RtmpStreamingTest, ConfiguringConnectsNothingAndTheSendThreadConnectsOnPortPlusOne) {
  // The placeholder URL stands for a publisher the client did not configure.
  EXPECT_FALSE(Configure(Settings("rtmp://127.0.0.1/live")));
  EXPECT_FALSE(publisher_.HasValidUrl());
  EXPECT_FALSE(PushAudio(kStamp0));
  ASSERT_TRUE(Configure(Settings(kUrl)));
  EXPECT_TRUE(publisher_.HasValidUrl());
  EXPECT_TRUE(fake_wendrel::Calls().empty());
  publisher_.startRtmp();
  EXPECT_EQ(publisher_.state(), RtmpStreaming::State::kConnecting);
  Step();
  const auto ip = CallsNamed("SetLocalIP").at(0);
  EXPECT_EQ(ip.text, kLocalIp);
  EXPECT_EQ(ip.port, kPort + 1);
  const auto start = CallsNamed("Start").at(0);
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
  const size_t announced = CallsNamed("SetMediaType").size();
  EXPECT_EQ(Step(), RtmpStreaming::kWaitForWork);  // connected, nothing to send
  EXPECT_EQ(publisher_.state(), RtmpStreaming::State::kPublishing);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 1);
  EXPECT_EQ(CallsNamed("SetMediaType").size(), announced + 1);
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
    ::testing::Values(
        ConnectFailure{"GetFME", ScriptWith(&fake_wendrel::Script::fail_get_fme),
                       "_Plenova_ GetFME() failed!", 1},
        ConnectFailure{"Initialize", ScriptWith(&fake_wendrel::Script::fail_initialize),
                       "_Plenova_ RTMP 初始化失败", 1},
        ConnectFailure{"SetLocalIP", ScriptWith(&fake_wendrel::Script::fail_set_local_ip),
                       "_Plenova_ Set LocalIp() failed!", 0},
        ConnectFailure{"Start", ScriptWith(&fake_wendrel::Script::fail_start),
                       "_Plenova_ Start() failed!", 1},
        // The server takes the connection, refuses the media.
        ConnectFailure{"SetMediaType", ScriptWith(&fake_wendrel::Script::fail_set_media_type),
                       "_Plenova_ SetMediaType() Failed!", 2}),
    [](const auto& info) { return std::string(info.param.name); });

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
    PushVideoTo(publisher, kStamp0 + 3600u * i, i == 0);
    PushAudioTo(publisher, kStamp0 + 1920u * i);
  }
  EXPECT_TRUE(wait_for([&] { return CallsNamed("PushMediaSample").size() == 60; }));
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
