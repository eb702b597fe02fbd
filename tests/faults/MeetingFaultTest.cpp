// A participant whose audio stops for a while; a client that stops as a whole.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

// A meeting where one voice of two (or the only voice) stops for a while and
// then comes back; returns the MP4 path.
struct StallRun {
  std::string mp4;
  double before = 4, stall = 0, after = 0;
};

StallRun RecordStall(bool other_voice) {
  StallRun run;
  run.stall = FaultSeconds(3, 5);
  run.after = FaultSeconds(6, 20);
  const std::string folder =
      TempFolder(other_voice ? "fault_stall_one_of_two" : "fault_stall_only_voice");
  const Meeting m = FlashAndBeep(other_voice);
  IPlenova* recorder = CreatePlenova(folder.c_str());
  if (recorder == nullptr) return run;
  MeetingClient client(recorder);
  run.mp4 = folder + "/stall.mp4";
  client.Start(m, run.mp4);
  client.Run(run.before);
  // The stalled voice's frames go to a stream the layout does not hold: the
  // mixer hears nothing from the voice, and the voice's clock runs on.
  client.meeting().audio[0].id = "beep-stalled";
  client.Run(run.stall);
  client.meeting().audio[0].id = "beep";
  client.Run(run.after);
  recorder->StopMp4Record();
  DeletePlenova(recorder);
  return run;
}

// Flashes and beeps in the part after the stall are no more than 45 ms apart
// (a loaded machine may add a picture of jitter to a flash); the fault this
// catches is the hundreds of milliseconds of a lost sync.
void ExpectSyncAfterStall(const StallRun& run, double duration, double limit = 0.045) {
  const double worst = WorstFlashBeepDistance(run.mp4, MeetingClient::kBeepHz, 200, 200, 240, 240,
                                              duration - run.after + 1, 3);
  std::printf("[ measured ] worst flash-to-beep distance after the stall: %.3f s\n", worst);
  EXPECT_GE(worst, 0) << "too few flashes after the stall";
  EXPECT_LE(worst, limit) << "out of sync after the stall";
}

// A stall run's file: it probes, and its pictures decode without errors.
void ReadRecording(const std::string& mp4, ProbeResult* probe, Decoded* pictures) {
  *probe = Probe(mp4);
  ASSERT_TRUE(probe->ok) << probe->error;
  DecodeOptions options;
  options.audio = false;
  *pictures = Decode(mp4, options);
  ASSERT_TRUE(pictures->ok) << pictures->error;
  EXPECT_EQ(pictures->decode_errors, 0);
}

class AudioStallTest : public ::testing::TestWithParam<bool> {};

TEST_P(AudioStallTest, VideoFlowsAsTheStallRulesSay) {
  const bool other_voice = GetParam();
  const StallRun run = RecordStall(other_voice);
  ASSERT_FALSE(run.mp4.empty());
  ProbeResult probe;
  Decoded decoded;
  ASSERT_NO_FATAL_FAILURE(ReadRecording(run.mp4, &probe, &decoded));
  // While another voice goes on nothing is held; with the only voice gone
  // the video is held too, and flows again once the voice is back (the
  // pictures that would go out before video already written are dropped at
  // the resume, a gap of a few pictures at most).
  const double flowing_from = other_voice ? 0 : probe.duration - run.after + 1;
  EXPECT_LT(LargestPictureGap(decoded, flowing_from), other_voice ? 0.2 : 0.3);
  EXPECT_NEAR(probe.duration, run.before + run.stall + run.after, 0.6);
  // The output keeps the audio's gap where nothing was heard; the video held
  // during it comes back with the audio, not behind it for the rest of the
  // recording.
  ExpectSyncAfterStall(run, probe.duration);
}

INSTANTIATE_TEST_SUITE_P(Voices, AudioStallTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "OneOfTwo" : "OnlyVoice"; });

// The client's own threads stop for a while (the host was busy) and then
// go on with the next stamps of its media clock: everything it sends after
// the stall comes late by the stall. The meeting is placed later as a whole
// after a moment: the output skips the stall and goes on with every frame
// after it, in sync, instead of dropping them all.
TEST(ClientStallTest, AClientThatStopsAsAWholeGoesOnInSync) {
  for (const double stall : {0.6, 1.5}) {
    SCOPED_TRACE(stall);
    StallRun run;
    run.before = 3;
    run.stall = stall;
    run.after = FaultSeconds(5, 15);
    const std::string folder = TempFolder("fault_client_stall");
    IPlenova* recorder = CreatePlenova(folder.c_str());
    ASSERT_NE(recorder, nullptr);
    MeetingClient client(recorder);
    run.mp4 = folder + "/client_stall.mp4";
    ASSERT_TRUE(client.Start(FlashAndBeep(true), run.mp4));
    client.Run(run.before);
    std::this_thread::sleep_for(std::chrono::duration<double>(stall));
    client.Run(run.after);
    EXPECT_EQ(recorder->StopMp4Record(), 0);
    DeletePlenova(recorder);

    ProbeResult probe;
    Decoded decoded;
    ASSERT_NO_FATAL_FAILURE(ReadRecording(run.mp4, &probe, &decoded));
    // All but the moment of patience after the stall is there; the output
    // runs on from the stall, as long as what was sent and the stall.
    EXPECT_GT(probe.duration, run.before + run.after - 0.5);
    EXPECT_LT(probe.duration, run.before + stall + run.after + 0.5);
    EXPECT_LT(LargestPictureGap(decoded, probe.duration - run.after + 1), 0.2);
    ExpectSyncAfterStall(run, probe.duration);
  }
}

}  // namespace
}  // namespace plenova::testing
