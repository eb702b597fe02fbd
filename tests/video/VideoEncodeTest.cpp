#include "video/VideoEncode.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "sync/AVSynBuffer.h"
#include "tests/support/RecordingStreaming.h"
#include "video/VideoEncodeBuffer.h"

namespace plenova {
namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSlice4 = {0, 0, 0, 1, 0x41, 0x9a, 0x02};

// An encoder whose outputs and open results a test scripts.
class ScriptedEncoder : public VideoEncodeGeneric {
 public:
  struct Script {
    int open_result = 0;
    std::vector<Bytes> outputs;  // one per Encode call, the first reused when exhausted
    std::vector<int> results;    // Encode results, 1 when exhausted
    int encodes = 0;
    int key_frame_requests = 0;
    std::vector<int> speeds;  // steps asked for, in order
  };
  explicit ScriptedEncoder(Script* script) : s_(script) {}
  int Open(const VideoEncoderParam*, int) override { return s_->open_result; }
  void Close() override {}
  int Encode(const uint8_t*, VideoEncoderOutput* out, int) override {
    const size_t i = static_cast<size_t>(s_->encodes++);
    current_ = i < s_->outputs.size() ? s_->outputs[i] : kSlice4;
    out->data = current_.data();
    out->count = 1;
    out->length = static_cast<int32_t>(current_.size());
    return i < s_->results.size() ? s_->results[i] : 1;
  }
  void RequestKeyFrame() override { ++s_->key_frame_requests; }
  int64_t FramesEncoded() const override { return s_->encodes; }
  int EncodeFrame(const uint8_t* picture, size_t, VideoEncoderOutput* out) override {
    return Encode(picture, out, 1);
  }
  int SetSpeed(int step) override {
    s_->speeds.push_back(step);
    speed_ = step;
    return 0;
  }
  int Speed() const override { return speed_; }

 private:
  Script* s_;
  Bytes current_;
  int speed_ = 0;
};

// Asks for a key frame when a test says so, besides recording the writes.
class KeyFrameStreaming : public testing::RecordingStreaming {
 public:
  bool TakeKeyFrameRequest() override { return key_frame_wanted.exchange(false); }
  std::atomic<bool> key_frame_wanted{false};
};

class VideoEncodeTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sync_.InitBuffer(&pool_)); }

  std::unique_ptr<VideoEncode> Scripted() {
    return std::make_unique<VideoEncode>(std::make_unique<ScriptedEncoder>(&script_));
  }
  PoolBuffer* Canvas(uint64_t stamp) {
    PoolBuffer* b = pool_.GetEmptyBuffer(64 * 32 * 3 / 2);
    b->len = 64 * 32 * 3 / 2;
    std::memset(b->data, 16, static_cast<size_t>(b->len));
    b->timestamp = stamp;
    b->tick = 1234;
    return b;
  }

  MemoryPool pool_;
  AVSynBuffer sync_;
  VideoEncodeBuffer buffer_;
  KeyFrameStreaming streaming_;
  ScriptedEncoder::Script script_;
};

// An encoder that falls behind moves to faster steps, one at a time and no
// further than the last; one that keeps up for ten seconds comes back a
// step. A short backlog or a single idle moment changes nothing.
TEST_F(VideoEncodeTest, ABacklogMakesTheEncoderFasterStepByStepAndRoomSlowerAgain) {
  auto encode = Scripted();
  ASSERT_TRUE(encode->VideoEncodeInit(1000000, 25, 64, 32, &buffer_, &sync_, &pool_, &streaming_));
  const auto follow = [&](int waiting, int encodes) {
    for (int i = 0; i < encodes; ++i) encode->FollowBacklog(waiting);
  };
  follow(VideoEncode::kBehindDepth, VideoEncode::kBehindEncodes - 1);
  follow(0, 1);
  follow(VideoEncode::kBehindDepth, VideoEncode::kBehindEncodes - 1);
  EXPECT_TRUE(script_.speeds.empty());
  follow(VideoEncode::kBehindDepth, 1);
  EXPECT_EQ(script_.speeds, (std::vector<int>{1}));
  follow(VideoEncode::kBehindDepth + 5, 5 * VideoEncode::kBehindEncodes);
  EXPECT_EQ(script_.speeds, (std::vector<int>{1, 2}));
  EXPECT_EQ(encode->speed(), 2);
  follow(0, VideoEncode::kIdleEncodes - 1);
  follow(1, 1);
  follow(0, VideoEncode::kIdleEncodes - 1);
  EXPECT_EQ(script_.speeds.size(), 2u);
  follow(0, 1);
  EXPECT_EQ(script_.speeds, (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(encode->speed_changes(), 3u);
  // A reopened encoder starts again at its first step.
  encode->VideoEncodeInit(1000000, 25, 64, 32, &buffer_, &sync_, &pool_, &streaming_);
  EXPECT_EQ(encode->speed(), 0);
}

// An output that has just begun asks for a key frame; the next picture is one.
TEST_F(VideoEncodeTest, AnOutputThatBeginsGetsAKeyFrameAtOnce) {
  auto encode = Scripted();
  ASSERT_TRUE(encode->VideoEncodeInit(500000, 25, 64, 32, &buffer_, &sync_, &pool_, &streaming_));
  encode->VideoEncodeFunc(AdoptPoolBuffer(Canvas(3600), &pool_));
  EXPECT_EQ(script_.key_frame_requests, 0);
  streaming_.key_frame_wanted = true;
  encode->VideoEncodeFunc(AdoptPoolBuffer(Canvas(7200), &pool_));
  encode->VideoEncodeFunc(AdoptPoolBuffer(Canvas(10800), &pool_));
  EXPECT_EQ(script_.key_frame_requests, 1);
}

}  // namespace
}  // namespace plenova
