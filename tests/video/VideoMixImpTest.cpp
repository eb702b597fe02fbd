#include "video/VideoMixImp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "sync/AVSynBuffer.h"
#include "tests/support/RecordingStreaming.h"

namespace plenova {
namespace {

constexpr int kW = 320, kH = 240;
constexpr uint32_t kStart = 0xFFFFFF00u;

class VideoMixImpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sync_.InitBuffer(&pool_));
    streams_ = {{30, kH, kW, "cam", kH, kW, 0, 0, 0}};
    record_.streams = streams_.data();
    record_.count = 1;
    record_.synBuffer = &sync_;
    record_.target_bitrate = 400000;
    record_.target_h = kH;
    record_.target_w = kW;
    record_.pool = &pool_;
    record_.streaming = &streaming_;
    record_.timeline = &timeline_;
  }

  void Push(uint64_t stamp) {
    PoolBuffer* b = pool_.GetEmptyBuffer(kW * kH * 3 / 2);
    b->len = kW * kH * 3 / 2;
    std::memset(b->data, 200, kW * kH);
    std::memset(b->data + kW * kH, 128, kW * kH / 2);
    b->timestamp = stamp;
    b->extra = 0;
    b->tick = kStart;
    const VideoMixFrame frame{b, kH, kW, "cam", 30, 0};
    EXPECT_FALSE(video_.PushVideoMixData(&frame));  // always false, even when queued
  }

  // One compositing cycle at `now`, then every encoding cycle it enables.
  void Cycle(uint32_t now) {
    video_.mix().VideoMixStep(now);
    while (video_.encode().EncodeCycle() != VideoEncode::Cycle::kIdle) {
    }
  }

  MemoryPool pool_;
  AVSynBuffer sync_;
  MediaTimeline timeline_{0};
  testing::RecordingStreaming streaming_;
  std::vector<VideoStreamInfo> streams_;
  VideoMixInitParam record_;
  VideoMixImp video_;
};

TEST_F(VideoMixImpTest, PushedFramesLeaveAsH264At25CanvasesPerSecond) {
  ASSERT_TRUE(video_.IVideoMixInit(&record_, nullptr));
  EXPECT_EQ(video_.encode().rate(), 25);  // the canvas rate, whatever the streams declare
  video_.UpdataVideoMixParam(&record_);
  for (int k = 0; k < 12; ++k) Push(90000 + 3000u * k);

  uint32_t now = kStart;
  for (int i = 0; i < 12; ++i, now += 40) Cycle(now);

  auto& queue = *sync_.VideoQueue();
  ASSERT_GE(queue.Count(), 10);
  VideoSampleNode* node = queue.Head();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->isKeyFrame, 1);
  uint64_t previous = node->buffer->timestamp;
  EXPECT_EQ(previous, 90000u);  // the first canvas lies at the first frame's time
  for (node = node->next; node != nullptr; node = node->next) {
    EXPECT_EQ(node->fps, 25);
    EXPECT_EQ(node->isKeyFrame, 0);
    EXPECT_EQ(node->buffer->timestamp - previous, 3600u);
    previous = node->buffer->timestamp;
    EXPECT_GT(node->spsPpsLen, 0);
  }
}

TEST_F(VideoMixImpTest, RecordsAreRefusedOrCutAndThreadsStartOnce) {
  EXPECT_FALSE(video_.IVideoMixInit(nullptr, nullptr));
  EXPECT_FALSE(video_.IPictureMixInit(nullptr));
  video_.UpdataVideoMixParam(nullptr);

  std::vector<VideoStreamInfo> many(25, streams_[0]);
  std::vector<std::string> ids;
  for (int i = 0; i < 25; ++i) ids.push_back("s" + std::to_string(i));
  for (int i = 0; i < 25; ++i) many[i].streamId = ids[i].c_str();
  record_.streams = many.data();
  record_.count = 25;
  EXPECT_TRUE(video_.IVideoMixInit(&record_, nullptr));

  video_.StartVideoMixThread();
  video_.StartVideoMixThread();
  video_.StopVideoMixThread();
  video_.StopVideoMixThread();  // nothing left to wait for
}

}  // namespace
}  // namespace plenova
