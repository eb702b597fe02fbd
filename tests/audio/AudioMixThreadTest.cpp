#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "audio/AudioMixImp.h"
#include "tests/audio/AudioFakes.h"
#include "tests/support/LogCapture.h"
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
// (no delay; one element is exactly one 3840-byte mixer frame) and the
// recording sync buffer.
class AudioMixThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetFakeAac();
    FakeAac().delay = 0;
    FakeAac().input_samples_per_channel = 960;
    syn_.InitBuffer(&pool_);
    AudioStreamInfo info{2, 16, 48000, "a"};
    ASSERT_TRUE(InitOneStreamPath(imp_, &info, &pool_, &syn_, &ctl_, 50));
  }

  void Push(int16_t tag) {
    const AudioMixFrame f = MixFrame(PcmBlock(pool_, std::vector<int16_t>(1920, tag), stamp_), "a");
    stamp_ += 1800;
    imp_.IAudioMixPushData(&f);
  }

  ManualClock clock_;
  ScopedClock scoped_{&clock_};
  MemoryPool pool_;
  AVSynBuffer syn_;
  SynRecord record_{&syn_, &pool_};
  FakeSynCtl ctl_;
  AudioMixImp imp_{&FakeAacLibrary()};
  uint64_t stamp_ = 900000;
};

TEST_F(AudioMixThreadTest, PollsForTheFirstFrameThenPacesAndContinuesTheTimelineAfterARestart) {
  // Hold the thread in its polling nap while the frames arrive, so that all
  // six are queued before it mixes.
  clock_.SetAutoAdvance(false);
  imp_.start();
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  for (int16_t k = 1; k <= 6; ++k) Push(k);
  clock_.SetAutoAdvance(true);
  // Six frames make six elements; the last waits for a successor.
  ASSERT_TRUE(Eventually([&] { return record_.Count() >= 5; }));
  imp_.stop();

  // Polling naps, then wake-ups just after each due time: 20 ms periods,
  // the first 5 ms late by design.
  std::vector<uint32_t> sleeps = clock_.Sleeps();
  size_t polls = 0;
  while (polls < sleeps.size() && sleeps[polls] == AudioMix::kPollSleepMs) ++polls;
  ASSERT_GE(sleeps.size(), polls + 3);
  EXPECT_GE(polls, 1u);
  EXPECT_EQ(sleeps[polls], 25u);
  EXPECT_EQ(sleeps[polls + 1], 20u);
  EXPECT_EQ(sleeps[polls + 2], 20u);

  std::vector<SynAudioFrame> frames = record_.Frames();
  ASSERT_EQ(frames.size(), 5u);
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(PayloadFirstSample(frames[static_cast<size_t>(k)]), k + 1);
    EXPECT_EQ(frames[static_cast<size_t>(k)].timestamp, 900000u + 1800u * (k + 1));
  }

  // After a restart the next frame carries the stamp that was due next.
  const uint64_t due_next = imp_.Mixer().NextStamp();
  ASSERT_GE(due_next, 900000u + 1800u * 7);
  for (int16_t k = 7; k <= 9; ++k) Push(k);
  imp_.start();
  ASSERT_TRUE(Eventually([&] { return record_.Count() >= 8; }));
  imp_.stop();
  frames = record_.Frames();
  ASSERT_EQ(frames.size(), 8u);
  EXPECT_EQ(PayloadFirstSample(frames[5]), 6);
  EXPECT_EQ(PayloadFirstSample(frames[6]), 7);
  EXPECT_EQ(frames[6].timestamp, due_next);
  EXPECT_EQ(frames[7].timestamp, due_next + 1800);
}

TEST_F(AudioMixThreadTest, StopWaitsForTheSleepInProgress) {
  LogCapture log;
  clock_.SetAutoAdvance(false);
  Push(1);
  imp_.start();
  ASSERT_TRUE(clock_.WaitForSleepers(1));  // the first pacing sleep, 25 ms
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
  EXPECT_TRUE(log.Contains("_Plenova_ AudioMix Thread Finish Success"));
  EXPECT_TRUE(log.Contains("停止混音线程成功！"));
}

}  // namespace
}  // namespace plenova::testing
