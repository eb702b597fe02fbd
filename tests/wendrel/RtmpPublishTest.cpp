// libwendrel.so loaded by file name as the engine loads it, publishing
// libx264 and libavcodec media to a real nginx RTMP server on 127.0.0.1.

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/DynamicLibrary.h"
#include "tests/support/PublishParam.h"
#include "tests/support/MediaInspect.h"
#include "tests/support/RtmpServer.h"
#include "tests/support/SyntheticMedia.h"
#include "wendrel/Wendrel.h"

namespace plenova {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The nine functions, resolved by name.
struct Wendrel {
  platform::DynamicLibrary library;
  WendrelGetFME get = nullptr;
  WendrelDeleteFME del = nullptr;
  WendrelInitialize initialize = nullptr;
  WendrelSetLocalIP set_local_ip = nullptr;
  WendrelSetMediaType set_media_type = nullptr;
  WendrelStart start = nullptr;
  WendrelStop stop = nullptr;
  WendrelPushMediaSample push = nullptr;
  WendrelRelease release = nullptr;

  bool Load() {
    if (!library.Load(kWendrelLibraryName)) return false;
    get = reinterpret_cast<WendrelGetFME>(library.Symbol("GetFME"));
    del = reinterpret_cast<WendrelDeleteFME>(library.Symbol("DeleteFME"));
    initialize = reinterpret_cast<WendrelInitialize>(library.Symbol("Initialize"));
    set_local_ip = reinterpret_cast<WendrelSetLocalIP>(library.Symbol("SetLocalIP"));
    set_media_type = reinterpret_cast<WendrelSetMediaType>(library.Symbol("SetMediaType"));
    start = reinterpret_cast<WendrelStart>(library.Symbol("Start"));
    stop = reinterpret_cast<WendrelStop>(library.Symbol("Stop"));
    push = reinterpret_cast<WendrelPushMediaSample>(library.Symbol("PushMediaSample"));
    release = reinterpret_cast<WendrelRelease>(library.Symbol("Release"));
    return get && del && initialize && set_local_ip && set_media_type && start && stop && push &&
           release;
  }
};

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kRate = 48000;
constexpr int kChannels = 2;

// Media pushed the way the engine's send thread does: audio clock +213333
// per AAC frame at 48 kHz, video clock +400000 per frame at 25 fps.
class Publisher {
 public:
  explicit Publisher(Wendrel* api)
      : api_(api), video_(kWidth, kHeight, 25, 25), audio_(kRate, kChannels) {
    handle_ = api_->get();
  }
  ~Publisher() { api_->del(handle_); }

  bool Connect(const std::string& url, const std::string& name) {
    if (!api_->initialize(handle_) || !api_->set_local_ip(handle_, "127.0.0.1", 5001)) return false;
    if (!api_->start(handle_, url.c_str(), name.c_str())) return false;
    RtmpPublishParam param =
        testing::MakePublishParam(kWidth, kHeight, video_.ParameterSets(), kRate, kChannels);
    return api_->set_media_type(handle_, &param);
  }

  // Pushes until `seconds` of media went out or `stop_on_failure` and a push
  // failed. Returns the number of failed pushes.
  int Push(double seconds, bool stop_on_failure = false) {
    int failures = 0;
    const uint64_t end = audio_clock_ + static_cast<uint64_t>(seconds * 1e7);
    while (std::min(audio_clock_, video_clock_) < end) {
      const auto before = Clock::now();
      bool ok;
      if (audio_clock_ <= video_clock_) {
        const auto frame = audio_.Next(false);
        ok = api_->push(handle_, frame.data(), static_cast<uint32_t>(frame.size()), audio_clock_,
                        kWendrelKindAudio, 1, 0);
        audio_clock_ += 213333;
      } else {
        bool key = false;
        const auto unit = video_.Next(&key);
        ok = api_->push(handle_, unit.data(), static_cast<uint32_t>(unit.size()), video_clock_,
                        kWendrelKindVideo, 0, key ? 1 : 0);
        video_clock_ += 400000;
      }
      longest_call_ = std::max(longest_call_, Seconds(Clock::now() - before));
      if (!ok) {
        ++failures;
        if (stop_on_failure) break;
      }
    }
    return failures;
  }

  void Stop() { api_->stop(handle_); }
  double longest_call() const { return longest_call_; }

 private:
  Wendrel* api_;  // owned by the test
  void* handle_ = nullptr;
  testing::H264Generator video_;
  testing::AacGenerator audio_;
  uint64_t audio_clock_ = 0;
  uint64_t video_clock_ = 0;
  double longest_call_ = 0;
};

std::string UniqueName(const char* stem) {
  return std::string(stem) + "_" + std::to_string(getpid()) + "_" +
         std::to_string(Clock::now().time_since_epoch().count() % 1000000);
}

// Waits for nginx to finish a recording: the file exists and ffprobe reads
// both streams. The server writes it on its own time, so this polls.
testing::ProbeResult WaitForRecording(const std::string& path) {
  testing::ProbeResult probe;
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (Clock::now() < deadline) {
    if (std::filesystem::exists(path)) {
      probe = testing::Probe(path);
      if (probe.streams.size() >= 2) return probe;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return probe;
}

class RtmpPublishTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(api.Load()) << api.library.Error(); }
  Wendrel api;
};

TEST_F(RtmpPublishTest, TenSecondsReachTheServerAsAStereoRecording) {
  const char* port = std::getenv("PLENOVA_TEST_RTMP_PORT");
  const char* records = std::getenv("PLENOVA_TEST_RTMP_RECORD_DIR");
  if (port == nullptr || records == nullptr) {
    GTEST_SKIP() << "needs a local RTMP server: run `scripts/rtmp-server.sh start 19350 DIR` and "
                    "export PLENOVA_TEST_RTMP_PORT=19350 PLENOVA_TEST_RTMP_RECORD_DIR=DIR "
                    "(scripts/test.sh does this)";
  }
  const std::string name = UniqueName("ten_seconds");
  {
    Publisher publisher(&api);
    ASSERT_TRUE(publisher.Connect(std::string("rtmp://127.0.0.1:") + port + "/live/", name));
    EXPECT_EQ(publisher.Push(10.0), 0);
  }
  const testing::ProbeResult probe = WaitForRecording(std::string(records) + "/" + name + ".flv");
  ASSERT_TRUE(probe.ok);
  const size_t video = probe.Get(0, "codec_type") == "audio" ? 1 : 0, audio = 1 - video;
  EXPECT_EQ(probe.Get(video, "codec_name"), "h264");
  EXPECT_EQ(probe.Get(video, "width"), std::to_string(kWidth));
  EXPECT_EQ(probe.Get(audio, "codec_name"), "aac");
  EXPECT_EQ(probe.Get(audio, "channels"), "2");
  EXPECT_EQ(probe.Get(audio, "sample_rate"), std::to_string(kRate));
  EXPECT_NEAR(probe.duration, 10.0, 0.1);
  EXPECT_EQ(testing::DecodeErrors(std::string(records) + "/" + name + ".flv"), "");
}

TEST_F(RtmpPublishTest, AServerStoppedMidStreamFailsPushesAndARestartPublishesAgain) {
  const int port = 19360 + getpid() % 200;
  const std::string records = testing::TestOutputDir("rtmp_restart");
  testing::RtmpServer server(port, records);
  if (!server.Start()) GTEST_SKIP() << "nginx with the RTMP module could not start";
  const std::string url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live";

  Publisher first(&api);
  ASSERT_TRUE(first.Connect(url, "first"));
  ASSERT_EQ(first.Push(2.0), 0);
  std::thread stopper([&] { server.Stop(); });
  // Pushing on while the server goes away: a push fails, none hangs.
  const int failures = first.Push(600.0, true);
  stopper.join();
  EXPECT_EQ(failures, 1);
  EXPECT_LT(first.longest_call(), 7.0);
  const auto after = Clock::now();
  EXPECT_GT(first.Push(1.0), 0);
  EXPECT_LT(Seconds(Clock::now() - after), 2.0);
  first.Stop();

  {
    Publisher refused(&api);
    EXPECT_FALSE(refused.Connect(url, "nobody_listens"));
  }

  ASSERT_TRUE(server.Start());
  {
    Publisher second(&api);
    ASSERT_TRUE(second.Connect(url, "second"));
    EXPECT_EQ(second.Push(3.0), 0);
  }
  const testing::ProbeResult probe = WaitForRecording(records + "/second.flv");
  ASSERT_TRUE(probe.ok);
  EXPECT_NEAR(probe.duration, 3.0, 0.1);
}

TEST_F(RtmpPublishTest, ASilentServerTimesOutAndStopEndsTheWaitEarly) {
  const auto url = [](const testing::DeafServer& server) {
    return "rtmp://127.0.0.1:" + std::to_string(server.port()) + "/live";
  };
  testing::DeafServer silent;
  void* handle = api.get();
  auto before = Clock::now();
  EXPECT_FALSE(api.start(handle, url(silent).c_str(), "s"));
  const double timed_out = Seconds(Clock::now() - before);
  EXPECT_GT(timed_out, 3.0);
  EXPECT_LT(timed_out, 8.0);

  testing::DeafServer other;
  bool started = true;
  before = Clock::now();
  std::thread starter([&] { started = api.start(handle, url(other).c_str(), "s"); });
  while (other.accepted() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  api.stop(handle);
  starter.join();
  EXPECT_FALSE(started);
  EXPECT_LT(Seconds(Clock::now() - before), 3.0);
  api.del(handle);
}

}  // namespace
}  // namespace plenova
