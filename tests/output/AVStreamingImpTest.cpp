#include "output/AVStreamingImp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "common/MemoryPool.h"
#include "tests/output/TestSample.h"
#include "tests/output/fakes/FakeWendrel.h"
#include "tests/support/ManualClock.h"

namespace plenova {
namespace {

using fake_wendrel::CallsNamed;

// The MP4 recorder library as the dispatcher sees it. Each record keeps what
// it was given and lives to the end of the test; everything runs on the
// test's thread.
struct FakeRecord : ITarvaneRecord {
  Mp4VideoDesc video{};
  int stops = 0;
  std::vector<std::pair<uint32_t, uint64_t>> writes;  // tag, timestamp
  TarvaneStateCallback callback = nullptr;
  uint32_t id = 0;
  uint32_t state = 0;

  int LiveStart(const char*) override { return Report(kTarvaneStarted); }
  int LiveStop() override {
    ++stops;
    return Report(kTarvaneStopped);
  }
  uint32_t GetState() override { return state; }
  uint64_t GetBytesWritten() override { return 0; }
  int SendLiveData(const uint8_t*, uint32_t, uint32_t tag, uint64_t timestamp) override {
    writes.emplace_back(tag, timestamp);
    return 0;
  }
  int SetStateCallback(uint32_t i, TarvaneStateCallback cb) override {
    id = i;
    callback = cb;
    return 0;
  }
  int Report(uint32_t s) {
    state = s;
    if (callback != nullptr) callback(id, s);
    return 0;
  }
  std::vector<uint64_t> Times(uint32_t tag) const {
    std::vector<uint64_t> out;
    for (const auto& [t, stamp] : writes)
      if (t == tag) out.push_back(stamp);
    return out;
  }
};

std::vector<std::unique_ptr<FakeRecord>> g_records;
ITarvaneRecord* CreateFake(const char*, const Mp4VideoDesc* video, const Mp4AudioDesc*) {
  g_records.push_back(std::make_unique<FakeRecord>());
  g_records.back()->video = *video;
  return g_records.back().get();
}
void DestroyFake(ITarvaneRecord*) {}

constexpr uint32_t kClockStart = 2000000;
constexpr const char* kUrl1 = "rtmp://127.0.0.1:1935/live/one";
constexpr const char* kUrl2 = "rtmp://127.0.0.1:1935/live/two";
constexpr const char* kPlaceholder = "rtmp://127.0.0.1/live";
const uint8_t kSpsPps[] = {0, 0, 0, 1, 0x67, 0x42, 0xC0, 0x1E, 0, 0, 0, 1, 0x68, 0xCE};

AVStreamInitParam Param(int32_t rate = 48000, const char* url2 = kPlaceholder) {
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
  p.video.fps = 25;
  return p;
}

class AVStreamingImpTest : public ::testing::Test {
 protected:
  AVStreamingImpTest() : clock_(kClockStart), scoped_(&clock_) {
    fake_wendrel::Reset();
    g_records.clear();
    dispatcher_ = std::make_unique<AVStreamingImp>(Mp4RecorderApi{&CreateFake, &DestroyFake},
                                                   fake_wendrel::kLibraryName,
                                                   AVStreamingImp::Threads::kCallerDrives);
  }
  ~AVStreamingImpTest() override { dispatcher_.reset(); }

  void Init(const AVStreamInitParam& param = Param(), void* p2 = nullptr) {
    dispatcher_->IAVStreamInit(&param, &pool_, p2, nullptr, 0);
  }
  // Initialised with `param`, the parameter sets given and publishing to
  // `url` (connected by Drive()).
  void Publish(const AVStreamInitParam& param = Param(), const char* url = kUrl1) {
    Init(param);
    dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
    ASSERT_EQ(dispatcher_->StartRecord(url), 0);
  }
  bool WriteVideo(bool key, uint64_t stamp = 0) {
    return dispatcher_->WriteData(&testing::TestSample(pool_, false, key, stamp).get());
  }
  bool WriteAudio(uint64_t stamp = 0) {
    return dispatcher_->WriteData(&testing::TestSample(pool_, true, false, stamp).get());
  }
  // Starts MP4 recording into the fake recorder and returns it.
  FakeRecord& StartMp4(const char* path = "/tmp/a.mp4") {
    EXPECT_EQ(dispatcher_->StartMp4Record(path), 0);
    return *g_records.back();
  }
  // Runs the MP4 writer and the publishers until none has work.
  void Drive() {
    while (dispatcher_->Mp4WriterForTest().ProcessOne()) {
    }
    for (int index : {1, 2}) {
      RtmpStreaming& publisher = dispatcher_->PublisherForTest(index);
      if (!publisher.Started()) continue;
      while (publisher.SendStep(clock_.NowMs()) == 0) {
      }
    }
  }

  testing::ManualClock clock_;
  testing::ScopedClock scoped_;
  MemoryPool pool_;
  std::unique_ptr<AVStreamingImp> dispatcher_;
};

// --- MP4 ---------------------------------------------------------------------

// An engine restart keeps the file going on the new timeline; a restart on
// another canvas finishes it instead, since an MP4 track has one picture
// size.
TEST_F(AVStreamingImpTest, AnEngineRestartGoesOnInTheFileUnlessTheCanvasChanges) {
  Init();
  auto& record = StartMp4();
  WriteVideo(true, 1'000'000);
  Init();
  WriteVideo(true, 3600);
  Drive();
  EXPECT_EQ(record.Times(kTarvaneTagVideo), (std::vector<uint64_t>{0, 40}));
  EXPECT_TRUE(dispatcher_->Mp4RecordRequested());

  AVStreamInitParam smaller = Param();
  smaller.video.video_width = 640;
  smaller.video.video_height = 360;
  Init(smaller);
  EXPECT_FALSE(dispatcher_->Mp4RecordRequested());
  Drive();
  EXPECT_EQ(record.stops, 1);
  // The next file describes the new canvas.
  auto& next = StartMp4("/tmp/b.mp4");
  EXPECT_EQ(next.video.width, 640);
  EXPECT_EQ(next.video.height, 360);
  EXPECT_EQ(next.video.fps, 25);
}

// A new file and a new connection each start from a key frame made for
// them, not from the next one of the stream's two-second cadence.
TEST_F(AVStreamingImpTest, ANewFileOrConnectionAsksTheEncoderForAKeyFrameOnce) {
  Init();
  EXPECT_FALSE(dispatcher_->TakeKeyFrameRequest());
  StartMp4();
  EXPECT_TRUE(dispatcher_->TakeKeyFrameRequest());
  EXPECT_FALSE(dispatcher_->TakeKeyFrameRequest());
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  ASSERT_EQ(dispatcher_->StartRecord(kUrl1), 0);
  EXPECT_FALSE(dispatcher_->TakeKeyFrameRequest());  // not connected yet
  Drive();
  EXPECT_TRUE(dispatcher_->TakeKeyFrameRequest());
  EXPECT_FALSE(dispatcher_->TakeKeyFrameRequest());
}

// --- RTMP publishing --------------------------------------------------------

TEST_F(AVStreamingImpTest, EngineRestartKeepsPublishingOnOneConnection) {
  ASSERT_EQ(dispatcher_->SetRecordUrl(kUrl1), 0);
  Init();
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  Drive();
  WriteVideo(true, 1'000'000);
  Drive();
  Init();  // the engine stopped and started again
  WriteVideo(true, 0);
  WriteVideo(false, 3600);
  Drive();
  EXPECT_EQ(CallsNamed("Start").size(), 1u);
  // The stream goes on one frame after the last picture.
  EXPECT_EQ(fake_wendrel::PushTimes(false), (std::vector<uint64_t>{0, 400000, 800000}));
}

TEST_F(AVStreamingImpTest, UrlChangeWhilePublishingRestartsOnTheNewUrls) {
  Publish();
  Drive();
  AVStreamInitParam changed = Param(48000, kUrl2);
  std::strcpy(changed.url_1, "rtmp://127.0.0.1:1935/live/uno");
  dispatcher_->IAVStreamInit(&changed, &pool_, nullptr, nullptr, 1);
  Drive();
  const auto starts = CallsNamed("Start");
  ASSERT_EQ(starts.size(), 3u);
  EXPECT_EQ(starts[1].text, "rtmp://127.0.0.1:1935/live/uno");
  EXPECT_EQ(starts[1].name_arg, "uno");
  EXPECT_EQ(starts[2].text, kUrl2);
  EXPECT_EQ(fake_wendrel::LiveHandles(), 2);
}

int g_hooked = 0;
void CountSample(unsigned char*, int) { ++g_hooked; }

TEST_F(AVStreamingImpTest, BothConfiguredDestinationsPublish) {
  g_hooked = 0;
  Init(Param(48000, kUrl2), reinterpret_cast<void*>(&CountSample));
  dispatcher_->AVStreamingSetSpsPpsInfo(kSpsPps, sizeof(kSpsPps));
  ASSERT_EQ(dispatcher_->StartRecord(kUrl1), 0);
  Drive();
  const auto starts = CallsNamed("Start");
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[1].text, kUrl2);
  EXPECT_EQ(starts[1].name_arg, "two");
  EXPECT_TRUE(WriteVideo(true));
  EXPECT_TRUE(WriteAudio());
  Drive();
  const auto pushes = CallsNamed("PushMediaSample");
  ASSERT_EQ(pushes.size(), 4u);
  EXPECT_NE(pushes[0].handle, pushes[2].handle);
  EXPECT_EQ(g_hooked, 1) << "the sample hook sees each video sample once";
}

}  // namespace
}  // namespace plenova
