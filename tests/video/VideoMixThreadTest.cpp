#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/video/VideoTestSupport.h"

namespace plenova {
namespace {

using testing::kBlack;
using testing::kBlue;
using testing::kGreen;
using testing::kRed;
using testing::StreamInfo;

using MixThreadTest = testing::MixFixture;

const VideoMixStreamInfo kCam = StreamInfo("cam", 64, 36, 0, 0, 320, 180);

// A one-shot event between two threads: one notifies, others wait (false
// after a generous real-time limit, which only a hang reaches).
class Event {
 public:
  void Notify() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    cv_.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(10), [&] { return set_; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }

 private:
  std::mutex mutex_;  // guards set_; taken by the notifying and the waiting threads
  std::condition_variable cv_;
  bool set_ = false;
};

// A paint held open: a client's push of a listed stream and one of an
// unknown stream (which opens a hidden slot) complete without waiting for
// it, change nothing it paints, and the new frame shows on the next canvas.
TEST_F(MixThreadTest, APushCompletesWhileAPaintIsInProgress) {
  Layout({kCam});
  ASSERT_TRUE(Push(kCam, kRed, 1000));
  Event painting;
  Event release;
  mix_.SetPaintHook([&] {
    painting.Notify();
    release.Wait();
  });
  std::thread compositor([&] { Compose(); });
  const bool paint_started = painting.Wait();

  Event pushed;
  std::thread client([&] {
    EXPECT_TRUE(Push(kCam, kBlue, 4600));
    EXPECT_TRUE(PushSized("newcomer", 64, 36, 25, kGreen, 4600));
    pushed.Notify();
  });
  const bool pushed_during_paint = paint_started && pushed.Wait();
  const int queued_during_paint = pushed_during_paint ? Queued(kCam) : -1;
  release.Notify();
  client.join();
  compositor.join();
  ASSERT_TRUE(paint_started);
  EXPECT_TRUE(pushed_during_paint);
  EXPECT_EQ(queued_during_paint, 1);
  EXPECT_TRUE(Canvas().RectIs(0, 0, 320, 180, kRed));

  mix_.SetPaintHook(nullptr);
  Compose();
  EXPECT_TRUE(Canvas().RectIs(0, 0, 320, 180, kBlue));
  EXPECT_TRUE(Canvas().RectIs(320, 0, 320, 360, kBlack));  // the newcomer is not listed
  EXPECT_EQ(Drain().size(), 2u);
  EXPECT_EQ(mix_.Counters().accepted.load(), 3u);
}

// A layout update that comes during a paint waits for it: the paint ends
// with the layout it began with, and the next canvas shows the new one.
TEST_F(MixThreadTest, ALayoutUpdateWaitsForAPaintInProgress) {
  const VideoMixStreamInfo moved = StreamInfo("cam", 64, 36, 320, 180, 320, 180);
  Layout({kCam});
  ASSERT_TRUE(Push(kCam, kRed, 1000));
  Event painting;
  Event release;
  Event updating;
  Event updated;
  bool updated_during_paint = true;
  mix_.SetPaintHook([&] {
    painting.Notify();
    release.Wait();
    updated_during_paint = updated.IsSet();
  });
  std::thread compositor([&] { Compose(); });
  const bool paint_started = painting.Wait();
  std::thread layout([&] {
    updating.Notify();
    mix_.UpdataVideoStreamInfo(&moved, 1);
    updated.Notify();
  });
  updating.Wait();
  release.Notify();
  layout.join();
  compositor.join();
  ASSERT_TRUE(paint_started);
  EXPECT_FALSE(updated_during_paint);
  EXPECT_TRUE(Canvas().RectIs(0, 0, 320, 180, kRed));

  mix_.SetPaintHook(nullptr);
  ASSERT_TRUE(Push(moved, kBlue, 4600));
  Compose();
  EXPECT_TRUE(Canvas().RectIs(320, 180, 320, 180, kBlue));
  EXPECT_TRUE(Canvas().RectIs(0, 0, 320, 180, kBlack));
  EXPECT_EQ(Drain().size(), 2u);
}

}  // namespace
}  // namespace plenova
