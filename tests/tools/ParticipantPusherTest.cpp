#include <gtest/gtest.h>

#include <memory>

#include "tests/tools/ToolTestSupport.h"
#include "tools/plenova-record/ParticipantPusher.h"

namespace plenova::record {
namespace {

using testing::FakeEngine;

// Marks each frame with its index, so a test can see which frame was pushed.
class CountingSource : public ParticipantSource {
 public:
  bool FillVideo(int64_t index, uint8_t* i420) override {
    i420[0] = static_cast<uint8_t>(index);
    return true;
  }
  bool FillAudio(int64_t index, int16_t* pcm) override {
    reinterpret_cast<uint8_t*>(pcm)[0] = static_cast<uint8_t>(index);
    return true;
  }
};

SourceFormat SmallFormat() { return testing::Format(32, 16, 16000, 1); }

struct PusherFixture : public ::testing::Test {
  FakeEngine engine;
  PushCounters counters;
  std::unique_ptr<ParticipantPusher> Make(bool video = true, bool audio = true) {
    return std::make_unique<ParticipantPusher>(&engine, std::make_unique<CountingSource>(),
                                               SmallFormat(), "participant-1", video, audio,
                                               &counters);
  }
  std::vector<FakeEngine::Push> Of(bool video) const {
    std::vector<FakeEngine::Push> out;
    for (const auto& p : engine.pushes) {
      if (p.video == video) out.push_back(p);
    }
    return out;
  }
};

TEST_F(PusherFixture, TimestampsComeFromFrameCountsAndFramesAreDueOnTheirPeriod) {
  auto pusher = Make();
  EXPECT_EQ(pusher->Step(0), 20u);  // audio frame 1 is due first
  EXPECT_EQ(pusher->Step(19), 20u);
  EXPECT_EQ(pusher->Step(20), 40u);
  EXPECT_EQ(pusher->Step(100), 120u);
  const auto video = Of(true);
  const auto audio = Of(false);
  ASSERT_EQ(video.size(), 3u);  // 0, 40, 80 ms
  ASSERT_EQ(audio.size(), 6u);  // 0, 20, ..., 100 ms
  for (size_t k = 0; k < video.size(); ++k) {
    EXPECT_EQ(video[k].stamptime, k * 3600);
    EXPECT_EQ(video[k].first_byte, k);
    EXPECT_EQ(video[k].buflen, 32 * 16 * 3 / 2);
    EXPECT_EQ(video[k].width * 100 + video[k].height, 32 * 100 + 16);
    EXPECT_EQ(video[k].stream_id, "participant-1");
  }
  for (size_t n = 0; n < audio.size(); ++n) {
    EXPECT_EQ(audio[n].stamptime, n * 1800);
    EXPECT_EQ(audio[n].first_byte, n);
    EXPECT_EQ(audio[n].buflen, 320 * 2);  // 20 ms of 16 kHz mono
    EXPECT_EQ(audio[n].height, 16000);
  }
  EXPECT_EQ(counters.video_pushed.load(), 3u);
  EXPECT_EQ(counters.audio_pushed.load(), 6u);
}

TEST_F(PusherFixture, AFarLateThreadSkipsAheadInsteadOfBursting) {
  auto pusher = Make();
  pusher->Step(0);
  engine.pushes.clear();
  pusher->Step(2000);
  const auto video = Of(true);
  ASSERT_FALSE(video.empty());
  // Only the last half second is pushed, and the timeline keeps its place:
  // stamps still follow the frame number.
  EXPECT_EQ(video.front().stamptime, (2000 - ParticipantPusher::kMaxLagMs) / 40 * 3600u);
  EXPECT_EQ(video.back().stamptime, 50 * 3600u);
  EXPECT_GT(counters.skipped.load(), 0u);
  EXPECT_LE(engine.pushes.size(), 40u);
}

}  // namespace
}  // namespace plenova::record
