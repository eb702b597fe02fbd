#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tests/video/VideoMixTestSupport.h"

namespace plenova {
namespace {

using testing::g_canvas_calls;
using testing::kBlack;
using testing::kBlue;
using testing::kGreen;
using testing::kRed;
using testing::StreamInfo;
using testing::WaitForCanvases;

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

// Runs the thread on a clock that moves with its sleeps until it has
// produced `canvases` more canvases, then stops it.
void RunThread(VideoMix& mix, int canvases) {
  const int before = g_canvas_calls.load();
  ASSERT_TRUE(mix.start());
  ASSERT_TRUE(WaitForCanvases(before + canvases));
  mix.stop();
}

TEST_F(MixThreadTest, ComposesOnTheGridAndARestartGoesOnAfterWhatWasProduced) {
  Layout({kCam});
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Push(kCam, kRed, 450000 + i * 3600));
  const int first = g_canvas_calls.load();
  RunThread(mix_, 3);
  // On a clock that moves with the thread's sleeps the compositor may run
  // well ahead before the stop lands, and the encoder buffer then keeps only
  // the newest canvases: count back from the last one by every canvas
  // composed.
  const auto first_composed = static_cast<uint64_t>(g_canvas_calls.load() - first);
  const auto first_run = Drain();
  ASSERT_GE(first_run.size(), 1u);
  for (size_t i = 1; i < first_run.size(); ++i)
    EXPECT_EQ(first_run[i].stamp, first_run[i - 1].stamp + 3600);
  EXPECT_EQ(first_run.back().stamp - (first_composed - 1) * 3600, 450000u);
  const uint64_t pending = mix_.next_stamp();
  EXPECT_EQ(pending, first_run.back().stamp + 3600);

  // A restart: the client's clock went on by a minute meanwhile.
  timeline_.Restart();
  const int before = g_canvas_calls.load();
  ASSERT_TRUE(mix_.start());
  ASSERT_TRUE(Push(kCam, kBlue, 450000 + 90000 * 60));
  ASSERT_TRUE(WaitForCanvases(before + 1));
  mix_.stop();
  const auto composed = static_cast<uint64_t>(g_canvas_calls.load() - before);
  const auto second_run = Drain();
  ASSERT_GE(second_run.size(), 1u);
  for (size_t i = 1; i < second_run.size(); ++i)
    EXPECT_EQ(second_run[i].stamp, second_run[i - 1].stamp + 3600);
  EXPECT_EQ(second_run.back().stamp - (composed - 1) * 3600, pending);
  EXPECT_TRUE(Canvas().RectIs(0, 0, 320, 180, kBlue));
}

TEST_F(MixThreadTest, StartTwiceIsRefused) {
  Layout({kCam});
  ASSERT_TRUE(mix_.start());
  EXPECT_FALSE(mix_.start());
  mix_.stop();
  mix_.stop();  // harmless
}

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

// Client threads push while the layout changes and the thread composes;
// the sanitizers check that no push meets a queue being destroyed.
TEST_F(MixThreadTest, PushesRaceLayoutUpdatesSafely) {
  const VideoMixStreamInfo other = StreamInfo("other", 64, 36, 320, 0, 320, 180);
  const VideoMixStreamInfo moved = StreamInfo("cam", 64, 36, 100, 100, 160, 90);
  const VideoMixStreamInfo pic = StreamInfo("", 640, 360, 0, 180, 160, 90);
  Layout({kCam, other});
  ASSERT_TRUE(mix_.PictureMixInit(&pic, 1, kCanvasW, kCanvasH));
  ASSERT_TRUE(mix_.start());
  std::atomic<bool> pushing{true};
  auto pusher = [&](const VideoMixStreamInfo& s, testing::Yuv colour) {
    for (uint64_t n = 0; pushing.load(); ++n) Push(s, colour, 90000 + n * 3600);
  };
  std::thread a(pusher, kCam, kRed);
  std::thread b(pusher, other, kBlue);
  for (int i = 0; i < 60; ++i) {
    const std::vector<VideoMixStreamInfo> layout = i % 3 == 0   ? std::vector{kCam, other}
                                                   : i % 3 == 1 ? std::vector{moved}
                                                                : std::vector{other};
    mix_.UpdataVideoStreamInfo(layout.data(), static_cast<int32_t>(layout.size()));
    mix_.UpdataPictureStreamInfo(&pic, i % 2);
    Drain();
  }
  ASSERT_TRUE(WaitForCanvases(1));
  pushing.store(false);
  a.join();
  b.join();
  mix_.stop();
  EXPECT_GT(g_canvas_calls.load(), 0);
}

}  // namespace
}  // namespace plenova
