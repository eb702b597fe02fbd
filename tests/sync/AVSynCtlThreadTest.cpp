#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sync/AVSynCtl.h"
#include "tests/sync/SyncTestSupport.h"
#include "tests/support/RecordingStreaming.h"

namespace plenova::testing {
namespace {

// The controller on its own thread, paced by the manual clock.
class AVSynCtlThreadTest : public SyncBufferFixture {
 protected:
  void SetUp() override {
    SyncBufferFixture::SetUp();
    ctl_->SetAudioFrameDuration(kD);
    Init(10);
  }
  void Init(int32_t waitMaxTime) {
    const AVSynCtlParam param = SyncParam(&buffer_, &out_, 25, waitMaxTime);
    ctl_->InitIAVSynCtl(&param, &pool_);
  }
  void TearDown() override {
    clock_.SetAutoAdvance(true);  // lets a thread held in a sleep finish
    if (ctl_ != nullptr) ctl_->StopSynThread();
  }

  // Keeps a producer within the queue's bounds so that nothing is dropped.
  static void WaitForRoom(const std::function<int()>& count, int below) {
    while (count() >= below) std::this_thread::yield();
  }
  static void WaitUntil(const std::function<bool()>& done) {
    while (!done()) std::this_thread::yield();
  }

  RecordingStreaming out_;
  std::unique_ptr<AVSynCtl> ctl_ = std::make_unique<AVSynCtl>();
};

TEST_F(AVSynCtlThreadTest, ConcurrentProducersAreWrittenCompleteAndInOrder) {
  constexpr int kAudio = 300;
  constexpr int kVideo = 150;
  // Time stands still while the producers run: no stall may trim video.
  clock_.SetAutoAdvance(false);
  ctl_->StartSynThread();
  std::atomic<int> videoPut{0};
  std::thread audio([&] {
    for (int i = 0; i < kAudio; ++i) {
      // Audio never runs ahead of the frames its timeline has reached, so
      // every frame has an audio sample behind it.
      const int due = std::min(kVideo, static_cast<int>(i * kD / 3600));
      WaitForRoom([&] { return due - videoPut.load(); }, 1);
      WaitForRoom([&] { return buffer_.AudioQueue()->Count(); }, 40);
      EXPECT_TRUE(PutAudio(100000 + kD * i));
    }
  });
  std::thread video([&] {
    for (int i = 0; i < kVideo; ++i) {
      WaitForRoom([&] { return buffer_.VideoQueue()->Count(); }, 15);
      EXPECT_TRUE(PutVideo(100000 + 3600 * i));
      ++videoPut;
    }
  });
  audio.join();
  video.join();
  ASSERT_TRUE(PutAudio(100000 + kD * kAudio));  // releases the last frames
  ASSERT_TRUE(out_.WaitForWrites(kAudio + 1 + kVideo));
  ctl_->StopSynThread();

  const std::string order = out_.Order();
  EXPECT_EQ(order[0], 'A');
  Ticks audioIn;
  for (int i = 0; i <= kAudio; ++i) audioIn.push_back(100000 + kD * i);
  EXPECT_EQ(out_.Timestamps(kStreamTypeAudio), audioIn);
  EXPECT_EQ(out_.Writes(kStreamTypeVideo).size(), static_cast<size_t>(kVideo));
}

}  // namespace
}  // namespace plenova::testing
