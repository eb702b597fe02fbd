#include "sync/AVSynCtl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/sync/SyncTestSupport.h"
#include "tests/support/RecordingStreaming.h"

namespace plenova::testing {
namespace {

// The controller's cycles are driven one by one through Step, on times that
// start just before the 32-bit wrap of the millisecond counter.
class AVSynCtlTest : public SyncBufferFixture {
 protected:
  static constexpr uint32_t kStart = 0xFFFFFFFFu - 100u;

  void SetUp() override {
    SyncBufferFixture::SetUp();
    ctl_.SetAudioFrameDuration(kD);
  }

  void Init(int32_t fps = 25, int32_t waitMaxTime = 10) {
    const AVSynCtlParam param = SyncParam(&buffer_, &out_, fps, waitMaxTime);
    ctl_.InitIAVSynCtl(&param, &pool_);
  }

  // One cycle at the current time; time then moves on by the returned wait
  // (not when the controller waits for a put: the test's next put ends it).
  uint32_t Step() {
    const uint32_t wait = ctl_.Step(now_);
    if (wait != AVSynCtl::kWaitForWork) now_ += wait;
    return wait;
  }
  void Steps(int n) {
    for (int i = 0; i < n; ++i) Step();
  }

  // Puts every audio timestamp, then runs one cycle to seed the timeline
  // and one per sample; returns the written audio timestamps.
  Ticks RunAudio(const Ticks& in) {
    for (uint64_t ts : in) EXPECT_TRUE(PutAudio(ts));
    Steps(static_cast<int>(in.size()) + 1);
    return out_.Timestamps(kStreamTypeAudio);
  }

  uint32_t now_ = kStart;
  RecordingStreaming out_;
  AVSynCtl ctl_;
};

TEST_F(AVSynCtlTest, WaitsForPutsAndRunsAgainAtOnceOnlyWhileAudioIsWritten) {
  Init();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Step(), AVSynCtl::kWaitForWork);
  // Video alone starts no timeline and is not written: the controller
  // waits for the audio it needs.
  ASSERT_TRUE(PutVideo(3600));
  EXPECT_EQ(Step(), AVSynCtl::kWaitForWork);
  EXPECT_TRUE(out_.Events().empty());
  EXPECT_EQ(QueuedVideo(), (Ticks{3600}));

  // Each cycle that writes audio is followed at once by another, until the
  // audio queue is drained.
  ASSERT_TRUE(PutAudio(1920));
  ASSERT_TRUE(PutAudio(3840));
  EXPECT_EQ(Step(), 0u);
  EXPECT_EQ(Step(), 0u);
  EXPECT_EQ(out_.Order(), "AVA");
  // Drained: the wait for audio runs until the wait limit, 10 frames of
  // 1920 (19560 ticks, 217.3 ms); the cycle that reaches it is followed at
  // once by the one that trims, and then only a put brings work.
  const uint32_t drained = now_;
  EXPECT_EQ(Step(), 218u);
  EXPECT_EQ(Step(), 0u);
  EXPECT_EQ(Step(), AVSynCtl::kWaitForWork);
  EXPECT_EQ(static_cast<uint32_t>(now_ - drained), 218u);
  // The next sample is written on the first cycle after it came.
  ASSERT_TRUE(PutAudio(5760));
  EXPECT_EQ(Step(), 0u);
  EXPECT_EQ(out_.Order(), "AVAA");
  EXPECT_EQ(Step(), 218u);
}

TEST_F(AVSynCtlTest, AWaitForAudioCutShortByAPutEndsAtTheSameLimit) {
  Init();
  ASSERT_TRUE(PutAudio(1920));
  EXPECT_EQ(ctl_.Step(kStart), 0u);
  EXPECT_EQ(ctl_.Step(kStart), 218u);
  // A frame in the same millisecond the wait began leaves the limit where
  // it was: the wait does not turn into one for work only.
  ASSERT_TRUE(PutVideo(1800));
  EXPECT_EQ(ctl_.Step(kStart), 218u);
  // A frame comes 100 ms into the wait: audio is still missing, and the
  // controller waits for the rest of the limit (across the counter's wrap).
  ASSERT_TRUE(PutVideo(3600));
  EXPECT_EQ(ctl_.Step(kStart + 100), 118u);
  EXPECT_EQ(ctl_.Step(kStart + 218), 0u);
  EXPECT_EQ(ctl_.Step(kStart + 218), AVSynCtl::kWaitForWork);
  EXPECT_EQ(out_.Order(), "A");
}

// Each audio sample is followed by the frames stamped before its end; the
// frames after it wait for the audio that covers them.
TEST_F(AVSynCtlTest, EachAudioSampleIsFollowedByTheFramesDueBeforeItsEnd) {
  Init();
  for (uint64_t ts : {93000, 96600, 100200, 103800}) {
    ASSERT_TRUE(PutVideo(ts, 25, ts == 93000));
  }
  ASSERT_TRUE(PutAudio(100000));  // reaches 101920
  Steps(2);
  EXPECT_EQ(out_.Order(), "AVVV");
  ASSERT_TRUE(PutAudio(101920));  // reaches 103840
  Steps(2);
  EXPECT_EQ(out_.Order(), "AVVVAV");
  const auto writes = out_.Writes(kStreamTypeVideo);
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(out_.Timestamps(kStreamTypeVideo), (Ticks{93000, 96600, 100200, 103800}));
  EXPECT_EQ(writes[0].isKeyFrame, 1);
  EXPECT_EQ(writes[1].isKeyFrame, 0);
  // Written frames leave the queue and their blocks go back to the pool.
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 0);
  EXPECT_EQ(pool_.IdleCount(MemoryPool::kClassStep),
            5);  // 5 blocks: the second audio sample reused one
}

struct StallCase {
  const char* name;
  int32_t waitMaxTime;
  int32_t duration;
  // Milliseconds from the cycle that wrote the last audio sample to the
  // first cycle that trims the video queue.
  uint32_t firstTrimMs;
};

class StarvationTest : public AVSynCtlTest, public ::testing::WithParamInterface<StallCase> {};

TEST_P(StarvationTest, VideoIsHeldToTheNewest15AfterTheWaitLimitUntilAudioReturns) {
  const StallCase& c = GetParam();
  ctl_.SetAudioFrameDuration(c.duration);
  Init(25, c.waitMaxTime);
  ASSERT_TRUE(PutAudio(100000));
  const uint32_t lastAudio = now_;
  Step();
  ASSERT_EQ(out_.Order(), "A");

  Ticks video;
  for (int i = 0; i < 21; ++i) {
    video.push_back(100000 + 3600 * (i + 1));
    ASSERT_TRUE(PutVideo(video.back()));
  }
  uint32_t trimmedAt = 0;
  while (trimmedAt == 0 && static_cast<uint32_t>(now_ - lastAudio) < 1000) {
    const uint32_t at = now_;
    Step();
    if (buffer_.VideoQueue()->Count() < 21) trimmedAt = at;
  }
  EXPECT_EQ(static_cast<uint32_t>(trimmedAt - lastAudio), c.firstTrimMs);
  EXPECT_EQ(QueuedVideo(), Ticks(video.end() - 15, video.end()));

  // Still stalled: each cycle trims again and nothing is written.
  for (int i = 0; i < 6; ++i) {
    ASSERT_TRUE(PutVideo(200000 + 3600 * i));
  }
  Step();
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 15);
  EXPECT_EQ(out_.Order(), "A");

  // Audio returns: the held frames lie ahead of it and each is written once
  // the audio has reached it, with its own stamp.
  const Ticks held = QueuedVideo();
  ASSERT_TRUE(PutAudio(100000 + c.duration));
  Step();
  EXPECT_EQ(out_.Order(), "AA");
  for (uint64_t ts = 100000 + 2 * c.duration; QueuedVideo().size() > 0 && ts < 300000;
       ts += c.duration) {
    ASSERT_TRUE(PutAudio(ts));
    Step();
    for (const auto& w : out_.Writes(kStreamTypeVideo))
      EXPECT_LT(w.timestamp, ts + static_cast<uint64_t>(c.duration));
  }
  EXPECT_EQ(out_.Timestamps(kStreamTypeVideo), held);
  for (int i = 0; i < 21; ++i) {
    ASSERT_TRUE(PutVideo(300000 + 3600 * i));
  }
  Step();
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 21);  // the stall has ended: nothing trimmed
}

// waitMaxTime 10 at 1920 per frame: 90000 / 46 * 10 = 19560 ticks, 217.3 ms;
// 5 at 2048: 90000 / 43 * 5 = 10465 ticks, 116.3 ms. The timer starts on
// the cycle right after the one that wrote the audio; the limit is reached
// on the cycle 218 (117) ms later, which the cycle that trims follows at
// once.
INSTANTIATE_TEST_SUITE_P(Limits, StarvationTest,
                         ::testing::Values(StallCase{"TenFramesOf1920", 10, 1920, 218},
                                           StallCase{"FiveFramesOf2048", 5, 2048, 117},
                                           StallCase{"NoWait", 0, 1920, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace plenova::testing
