#include "output/AVSynCtl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/output/SyncTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RecordingStreaming.h"

namespace plenova::testing {
namespace {

using Ticks = std::vector<uint64_t>;

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

  // One cycle at the current time; time then moves on by the returned sleep.
  uint32_t Step() {
    const uint32_t sleep = ctl_.Step(now_);
    now_ += sleep;
    return sleep;
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

// --- Audio timeline -------------------------------------------------------

struct GapCase {
  const char* name;
  Ticks in;
  Ticks out;
};

class AudioGapTest : public AVSynCtlTest, public ::testing::WithParamInterface<GapCase> {};

TEST_P(AudioGapTest, TheFirstGapIsKeptAndLaterGapsAreRemoved) {
  Init();
  EXPECT_EQ(RunAudio(GetParam().in), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Timelines, AudioGapTest,
    ::testing::Values(
        GapCase{"GapAfterThreeFrames",
                {100000, 101920, 103840, 109600},
                {100000, 101920, 103840, 105760}},
        GapCase{"GapsAccumulate",
                {5760, 7680, 13440, 15360, 21120},
                {5760, 7680, 9600, 11520, 13440}},
        GapCase{"CloserThanOneFrameIsNoGap", {100000, 101000, 102000}, {100000, 101000, 102000}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVSynCtlTest, ANewFrameDurationAppliesToTheGapsThatFollow) {
  Init();
  ASSERT_EQ(RunAudio({100000, 101920}), (Ticks{100000, 101920}));
  ctl_.SetAudioFrameDuration(2048);
  ctl_.SetAudioFrameDuration(2048);
  // 2048 apart: no gap with the new duration (with 1920 it would be one).
  for (uint64_t ts : {103968, 106016}) {
    ASSERT_TRUE(PutAudio(ts));
  }
  Steps(2);
  EXPECT_EQ(out_.Timestamps(kStreamTypeAudio), (Ticks{100000, 101920, 103968, 106016}));
}

TEST_F(AVSynCtlTest, PollsSlowlyOnlyWhileNothingHasBeenQueuedForAWhile) {
  Init();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Step(), AVSynCtl::kStartPollMs);
  // Video alone starts no timeline and is not written, but keeps the
  // controller watching for the audio it waits for.
  ASSERT_TRUE(PutVideo(3600));
  EXPECT_EQ(Step(), AVSynCtl::kPollMs);
  EXPECT_TRUE(out_.Events().empty());
  EXPECT_EQ(QueuedVideo(), (Ticks{3600}));

  ASSERT_TRUE(PutAudio(1920));
  EXPECT_EQ(Step(), AVSynCtl::kPollMs);  // seeds the timeline
  EXPECT_TRUE(out_.Events().empty());
  const uint32_t lastWrite = now_;
  EXPECT_EQ(Step(), AVSynCtl::kPollMs);
  EXPECT_EQ(out_.Order(), "AV");

  // Drained: the quick poll holds for kBusyHoldMs, then the slow one.
  while (static_cast<uint32_t>(now_ - lastWrite) < AVSynCtl::kBusyHoldMs) {
    ASSERT_EQ(Step(), AVSynCtl::kPollMs);
  }
  EXPECT_EQ(Step(), AVSynCtl::kIdlePollMs);
  // The next sample is written on the first cycle after it came.
  ASSERT_TRUE(PutAudio(3840));
  EXPECT_EQ(Step(), AVSynCtl::kPollMs);
  EXPECT_EQ(out_.Order(), "AVA");
}

// --- Video behind audio ---------------------------------------------------

TEST_F(AVSynCtlTest, EachAudioSampleIsFollowedByTheFramesReleasedWithIt) {
  Init();
  for (uint64_t ts : {93000, 96600, 100200}) {
    ASSERT_TRUE(PutVideo(ts, 25, ts == 93000));
  }
  ASSERT_TRUE(PutAudio(100000));
  ASSERT_TRUE(PutAudio(101920));
  Steps(3);

  EXPECT_EQ(out_.Order(), "AVVVA");
  const auto writes = out_.Writes(kStreamTypeVideo);
  ASSERT_EQ(writes.size(), 3u);
  EXPECT_EQ(out_.Timestamps(kStreamTypeVideo), (Ticks{93000, 96600, 100200}));
  EXPECT_EQ(writes[0].isKeyFrame, 1);
  EXPECT_EQ(writes[1].isKeyFrame, 0);
  // Written frames leave the queue and their blocks go back to the pool.
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 0);
  EXPECT_EQ(pool_.IdleCount(MemoryPool::kClassStep), 5);  // 2 audio and 3 video blocks
}

struct VideoGapCase {
  const char* name;
  Ticks audio;  // one frame put behind each audio sample
  Ticks video;
  Ticks out;
};

class VideoGapTest : public AVSynCtlTest, public ::testing::WithParamInterface<VideoGapCase> {};

TEST_P(VideoGapTest, OnlyFramesMoreThanHalfAFrameBeyondTheAudioAreMoved) {
  Init(25);  // allowance 1800
  for (uint64_t ts : GetParam().audio) {
    ASSERT_TRUE(PutAudio(ts));
  }
  Step();  // seed
  for (uint64_t vts : GetParam().video) {
    ASSERT_TRUE(PutVideo(vts));
    Step();
  }
  EXPECT_EQ(out_.Timestamps(kStreamTypeVideo), GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Allowance, VideoGapTest,
    ::testing::Values(
        // Within half a frame of the audio: written as they came.
        VideoGapCase{"WithinTheAllowance",
                     {100000, 101920, 103840},
                     {100000, 103600, 105600},
                     {100000, 103600, 105600}},
        // 107200 lies beyond 103840 + 1800: the spacing to 103600 beyond
        // 1800 is removed from it and every later frame.
        VideoGapCase{"BeyondTheAllowance",
                     {100000, 101920, 103840, 105760},
                     {100000, 103600, 107200, 107300},
                     {100000, 103600, 105400, 105500}},
        // The first frame's distance from the start is never removed.
        VideoGapCase{"FirstFrameAheadIsKept", {100000, 101920}, {104000, 105000}, {104000, 105000}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Audio starvation -----------------------------------------------------

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
  Step();  // seed
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

  // Audio returns without a gap: it was late, not missing. The held frames
  // lie ahead of it and each is written once the audio has reached it.
  const Ticks held = QueuedVideo();
  ASSERT_TRUE(PutAudio(100000 + c.duration));
  Step();
  EXPECT_EQ(out_.Order(), "AA");
  for (uint64_t ts = 100000 + 2 * c.duration; QueuedVideo().size() > 0 && ts < 300000;
       ts += c.duration) {
    ASSERT_TRUE(PutAudio(ts));
    Step();
    for (const auto& w : out_.Writes(kStreamTypeVideo)) EXPECT_LE(w.timestamp, ts + 1800);
  }
  EXPECT_EQ(out_.Timestamps(kStreamTypeVideo), held);
  for (int i = 0; i < 21; ++i) {
    ASSERT_TRUE(PutVideo(300000 + 3600 * i));
  }
  Step();
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 21);  // the stall has ended: nothing trimmed
}

// waitMaxTime 10 at 1920 per frame: 90000 / 46 * 10 = 19560 ticks, 217.3 ms.
// The timer starts at the cycle that wrote the audio; the limit is passed
// at the cycle whose predecessor lies 218 ms later (+220 ms), and the cycle
// after it trims.
INSTANTIATE_TEST_SUITE_P(Limits, StarvationTest,
                         ::testing::Values(StallCase{"TenFramesOf1920", 10, 1920, 222},
                                           StallCase{"FiveFramesOf2048", 5, 2048, 122},
                                           StallCase{"NoWait", 0, 1920, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Sync across an audio gap ----------------------------------------------

struct ResumeCase {
  const char* name;
  uint32_t stallMs;      // the only voice is missing this long (0: never)
  uint32_t audioLagMs;   // capture to sync buffer, audio
  uint32_t videoLagMs;   // capture to sync buffer, video
  bool heldInEncoder;    // the last audio before the stall comes with the first after it
  // Late frames before the stall make the mixer's stamps skip two frames:
  // its queue holds them until the stall drains it.
  bool lateFrames;
};

class AudioResumeTest : public AVSynCtlTest, public ::testing::WithParamInterface<ResumeCase> {
 protected:
  // A sample's capture stamp: its payload.
  static uint64_t CaptureOf(const RecordingStreaming::Event& e) {
    uint64_t ts = 0;
    std::memcpy(&ts, e.data.data(), std::min(e.data.size(), sizeof ts));
    return ts;
  }
  bool PutAudioAt(uint64_t stamp, uint64_t capture) {
    uint8_t bytes[sizeof capture];
    std::memcpy(bytes, &capture, sizeof capture);
    return buffer_.PutData(bytes, sizeof bytes, stamp, kStreamTypeAudio, 0, 0, nullptr, 0,
                           kChannels, kBits, kRate, kAudioFps, 7);
  }

  // Runs a meeting in fake time, one millisecond at a time: audio every
  // 1920 ticks, video every 3600, each put its lag after capture. The voice
  // is missing for `stallMs` after one second while video goes on.
  void RunMeeting(const ResumeCase& c) {
    constexpr uint64_t kOrigin = 900000;
    constexpr uint32_t kTotalMs = 4000;
    const uint64_t stallFrom = kOrigin + 90000;
    const uint64_t stallTo = stallFrom + uint64_t{c.stallMs} * 90;
    const uint64_t skipFrom = c.lateFrames ? kOrigin + 45000 : UINT64_MAX;
    uint64_t nextAudio = kOrigin, nextVideo = kOrigin;
    std::pair<uint64_t, uint64_t> held{0, 0};  // stamp and capture
    uint32_t due = now_;
    for (uint32_t ms = 0; ms < kTotalMs + c.stallMs; ++ms) {
      const uint64_t clock = kOrigin + uint64_t{ms} * 90;
      for (; nextAudio + uint64_t{c.audioLagMs} * 90 <= clock; nextAudio += kD) {
        if (nextAudio >= stallFrom && nextAudio < stallTo) continue;
        const bool queued = nextAudio >= skipFrom && (c.stallMs == 0 || nextAudio < stallFrom);
        const uint64_t stamp = queued ? nextAudio + 2 * kD : nextAudio;
        const bool lastBeforeStall = c.heldInEncoder && nextAudio + kD >= stallFrom &&
                                     nextAudio < stallFrom;
        if (lastBeforeStall) {
          held = {stamp, nextAudio};
          continue;
        }
        if (held.first != 0) {
          ASSERT_TRUE(PutAudioAt(held.first, held.second));
          held = {0, 0};
        }
        ASSERT_TRUE(PutAudioAt(stamp, nextAudio));
      }
      for (; nextVideo + uint64_t{c.videoLagMs} * 90 <= clock; nextVideo += 3600) {
        ASSERT_TRUE(PutVideo(nextVideo, 25, (nextVideo - kOrigin) % 90000 == 0));
      }
      if (static_cast<int32_t>(now_ - due) >= 0) due = now_ + ctl_.Step(now_);
      ++now_;
    }
    resumedAt_ = c.stallMs > 0 ? stallTo : skipFrom;
  }

  uint64_t resumedAt_ = 0;
};

TEST_P(AudioResumeTest, VideoAfterwardsStaysWithTheAudioCapturedWithIt) {
  Init(25, 10);
  RunMeeting(GetParam());
  // Capture-to-output offset of the audio written last before each frame:
  // a frame must be written where the audio captured with it was.
  int64_t audioShift = -1;
  uint64_t lastVideoOut = 0;
  size_t videoAfter = 0;
  for (const auto& w : out_.Writes()) {
    const auto shift = static_cast<int64_t>(CaptureOf(w)) - static_cast<int64_t>(w.timestamp);
    if (w.streamType == kStreamTypeAudio) {
      audioShift = shift;
      continue;
    }
    EXPECT_GT(w.timestamp, lastVideoOut) << "video written out of order";
    lastVideoOut = w.timestamp;
    if (CaptureOf(w) < resumedAt_) continue;
    ++videoAfter;
    EXPECT_NEAR(static_cast<double>(shift), static_cast<double>(audioShift), 3600.0)
        << "frame " << CaptureOf(w) << " written at " << w.timestamp;
  }
  EXPECT_GT(videoAfter, 40u);
}

// The stalls pass the 217 ms limit, so the held video is trimmed. The
// encoder may hold the last audio sample before the stall until the first
// one after it; video reaches the buffer with its audio or several frames
// after it.
INSTANTIATE_TEST_SUITE_P(
    Gaps, AudioResumeTest,
    ::testing::Values(ResumeCase{"Stall", 3000, 40, 40, false, false},
                      ResumeCase{"StallHeldInEncoder", 3000, 40, 40, true, false},
                      ResumeCase{"StallVideoLate", 3000, 40, 200, true, false},
                      ResumeCase{"ShortStall", 400, 60, 80, true, false},
                      ResumeCase{"StallAfterLateFrames", 3000, 40, 60, true, true},
                      ResumeCase{"LateFramesAreNoStall", 0, 40, 60, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Frame-rate handover --------------------------------------------------

struct HandoverCase {
  const char* name;
  int32_t controllerFps;
  std::vector<int32_t> frameRates;  // queued behind one audio sample
  std::string order;
};

class HandoverTest : public AVSynCtlTest, public ::testing::WithParamInterface<HandoverCase> {};

TEST_P(HandoverTest, EveryFrameIsWrittenAndEachRateChangeIsAnnouncedBeforeIt) {
  Init(GetParam().controllerFps);
  ASSERT_TRUE(PutAudio(100000));
  Ticks expected;
  uint64_t ts = 96000;
  for (int32_t rate : GetParam().frameRates) {
    ASSERT_TRUE(PutVideo(ts, rate));
    expected.push_back(ts);
    ts += 1000;
  }
  Steps(2);
  EXPECT_EQ(out_.Order(), GetParam().order);
  EXPECT_EQ(out_.Timestamps(kStreamTypeVideo), expected);
  EXPECT_EQ(buffer_.VideoQueue()->Count(), 0);

  // Each update carries the rate and parameter sets of the frame after it.
  size_t nextFrame = 0;
  for (const auto& event : out_.Events()) {
    if (event.kind == RecordingStreaming::Kind::kWrite) {
      if (event.streamType == kStreamTypeVideo) ++nextFrame;
      continue;
    }
    ASSERT_LT(nextFrame, GetParam().frameRates.size());
    const int32_t rate = GetParam().frameRates[nextFrame];
    EXPECT_EQ(event.fps, rate);
    EXPECT_EQ(event.spsPps, SpsPpsFor(rate));
    EXPECT_EQ(event.channels, kChannels);
    EXPECT_EQ(event.sampling_per_bits, kBits);
    EXPECT_EQ(event.sampling_rate, kRate);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, HandoverTest,
    ::testing::Values(HandoverCase{"SameRate", 25, {25, 25}, "AVV"},
                      HandoverCase{"ChangeAtTheHead", 30, {25, 25, 25}, "AUVVV"},
                      HandoverCase{"ChangeBehindOldFrames", 25, {25, 25, 30, 30}, "AVVUVV"},
                      HandoverCase{"ThereAndBack", 30, {30, 25, 30}, "AVUVUV"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVSynCtlTest, FramesAt25BehindAControllerAt30AreAllWrittenAfterOneUpdate) {
  Init(30);
  ASSERT_TRUE(PutAudio(100000));
  Step();  // seed
  // The encoder's frames at 25 per second, each queued before the audio
  // sample that covers it.
  Ticks video;
  for (int i = 0; i < 10; ++i) video.push_back(100000 + 3600 * i);
  size_t put = 0;
  for (uint64_t k = 0; k < 20; ++k) {
    const uint64_t audio = 100000 + kD * k;
    if (k > 0) {
      ASSERT_TRUE(PutAudio(audio));
    }
    for (; put < video.size() && video[put] <= audio; ++put) {
      ASSERT_TRUE(PutVideo(video[put], 25, put == 0));
    }
    Step();
  }

  EXPECT_EQ(out_.Timestamps(kStreamTypeVideo), video);
  EXPECT_EQ(out_.UpdateCount(), 1);
  const std::string order = out_.Order();
  EXPECT_EQ(order.find('U'), 1u) << order;  // right behind the first audio sample
  EXPECT_EQ(order.find('V'), 2u) << order;
}

// --- Set-up ---------------------------------------------------------------

struct InitCase {
  const char* name;
  void (*spoil)(AVSynCtlParam&);
};

class RefusedInitTest : public AVSynCtlTest, public ::testing::WithParamInterface<InitCase> {};

TEST_P(RefusedInitTest, IsLoggedAndLeavesTheControllerUnusable) {
  AVSynCtlParam param = SyncParam(&buffer_, &out_);
  GetParam().spoil(param);
  LogCapture log;
  ctl_.InitIAVSynCtl(&param, &pool_);
  EXPECT_TRUE(log.Contains("AVSynCtl::InitIAVSynCtl 's value is illegall"));

  ctl_.StartSynThread();
  EXPECT_TRUE(log.Contains("AVSynCtl::StartSynThread 's AsynCtl is not initialised"));
  ASSERT_TRUE(PutAudio(100000));
  Steps(3);
  EXPECT_TRUE(out_.Events().empty());
  EXPECT_EQ(buffer_.AudioQueue()->Count(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Params, RefusedInitTest,
    ::testing::Values(InitCase{"NoBuffer", [](AVSynCtlParam& p) { p.synBuffer = nullptr; }},
                      InitCase{"NoDispatcher", [](AVSynCtlParam& p) { p.streaming = nullptr; }},
                      InitCase{"Channels0", [](AVSynCtlParam& p) { p.channels = 0; }},
                      InitCase{"Fps0", [](AVSynCtlParam& p) { p.fps = 0; }},
                      InitCase{"NegativeWait", [](AVSynCtlParam& p) { p.waitMaxTime = -1; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AVSynCtlTest, InitBeforeTheFrameDurationIsKnownIsRefused) {
  AVSynCtl fresh;
  const AVSynCtlParam param = SyncParam(&buffer_, &out_);
  LogCapture log;
  fresh.InitIAVSynCtl(&param, &pool_);
  fresh.InitIAVSynCtl(nullptr, &pool_);
  fresh.SetAudioFrameDuration(0);
  EXPECT_TRUE(log.Contains("AVSynCtl::InitIAVSynCtl 's audio frame duration is not set"));
  EXPECT_EQ(log.Count("AVSynCtl::InitIAVSynCtl 's value is illegall"), 1);
  EXPECT_TRUE(log.Contains("AVSynCtl::SetAudioFrameDuration 's value is illegall"));
  ASSERT_TRUE(PutAudio(100000));
  fresh.Step(now_);
  fresh.Step(now_ + 2);
  EXPECT_TRUE(out_.Events().empty());
}

}  // namespace
}  // namespace plenova::testing
