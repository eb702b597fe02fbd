#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "audio/AudioMixImp.h"
#include "tests/audio/AudioFakes.h"
#include "tests/support/ManualClock.h"

namespace plenova::testing {
namespace {

// Waits (bounded) until `done` holds; the mixing thread runs on a clock
// that moves by itself, so this waits for work, not for time.
template <typename Pred>
bool Eventually(Pred done) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::yield();
  }
  return true;
}

// The audio path with its mixing thread on a manual clock, the fake encoder
// (no delay, but the priming frame first; one element is exactly one
// 3840-byte mixer frame), a timeline with a 40 ms target delay and the
// recording sync buffer.
class AudioMixThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFakeAac();
    FakeAac().delay = 0;
    FakeAac().input_samples_per_channel = 960;
    syn_.InitBuffer(&pool_);
    AudioStreamInfo info{2, 16, 48000, "a"};
    ASSERT_TRUE(InitOneStreamPath(imp_, &info, &pool_, &syn_, &ctl_, &timeline_, 50));
  }

  // Pushes 20 ms of stream "a" as it arrives now.
  void Push(int16_t tag) {
    const AudioMixFrame f =
        MixFrame(PcmBlock(pool_, std::vector<int16_t>(1920, tag), stamp_, clock_.NowMs()), "a");
    stamp_ += 1800;
    imp_.IAudioMixPushData(&f);
  }

  ManualClock clock_;
  ScopedClock scoped_{&clock_};
  MemoryPool pool_;
  AVSynBuffer syn_;
  SynRecord record_{&syn_, &pool_};
  FakeSynCtl ctl_;
  MediaTimeline timeline_{40};
  AudioMixImp imp_{&FakeAacLibrary()};
  uint64_t stamp_ = 900000;
};

TEST_F(AudioMixThreadTest, WaitsForTheTargetDelayThenMixesSpanAfterSpanAndGoesOnAfterARestart) {
  // Hold the thread in its wait for the first frame while six arrive at once.
  clock_.SetAutoAdvance(false);
  imp_.start();
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  for (int16_t k = 1; k <= 6; ++k) Push(k);
  clock_.SetAutoAdvance(true);
  ASSERT_TRUE(Eventually([&] { return record_.Count() >= 6; }));
  imp_.stop();

  // Waits for the first frame (no time limit); then the first span, which
  // ended with the first frame, waits out the 40 ms target delay from the
  // push; the others were due at once.
  std::vector<uint32_t> sleeps = clock_.Sleeps();
  size_t polls = 0;
  while (polls < sleeps.size() && sleeps[polls] == platform::kWaitForever) ++polls;
  ASSERT_GE(sleeps.size(), polls + 1);
  EXPECT_GE(polls, 1u);
  EXPECT_GT(sleeps[polls], 0u);
  EXPECT_LE(sleeps[polls], 40u);
  std::vector<SynAudioFrame> frames = record_.Frames();
  ASSERT_GE(frames.size(), 6u);
  EXPECT_EQ(PayloadIndex(frames[0]), -1);  // the priming
  for (int k = 1; k < 6; ++k) {
    EXPECT_EQ(PayloadFirstSample(frames[static_cast<size_t>(k)]), k);
    EXPECT_EQ(frames[static_cast<size_t>(k)].timestamp, 900000u + 1800u * (k - 1));
  }

  // A restart anchors the timeline anew: output goes on after what was
  // produced, whatever stamps the client sends now.
  const uint64_t produced_end = imp_.Mixer().NextStamp();
  timeline_.Restart();
  stamp_ = 12345;
  imp_.start();
  for (int16_t k = 7; k <= 9; ++k) Push(k);
  ASSERT_TRUE(Eventually([&] { return record_.Count() >= 9; }));
  imp_.stop();
  frames = record_.Frames();
  const auto resumed = std::find_if(frames.begin(), frames.end(), [](const SynAudioFrame& f) {
    return PayloadFirstSample(f) == 7;
  });
  ASSERT_NE(resumed, frames.end());
  EXPECT_GE(resumed->timestamp, produced_end);
  EXPECT_LE(resumed->timestamp, produced_end + 1800);
}

TEST_F(AudioMixThreadTest, StopWaitsForTheSleepInProgress) {
  clock_.SetAutoAdvance(false);
  Push(1);
  imp_.start();
  ASSERT_TRUE(clock_.WaitForSleepers(1));  // the wait for the target delay
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    imp_.stop();
    stopped = true;
  });
  // Fake time moves on until the thread has seen the stop after its sleep.
  while (!stopped) {
    clock_.Advance(5);
    std::this_thread::yield();
  }
  stopper.join();
}

}  // namespace
}  // namespace plenova::testing
