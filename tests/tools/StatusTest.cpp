#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tools/plenova-record/EngineEvents.h"
#include "tools/plenova-record/Status.h"

namespace plenova::record {
namespace {

RunStatus Busy() {
  RunStatus s;
  s.elapsed_s = 3725.4;
  s.canvases = 93135;
  s.video_pushed = 186000;
  s.video_refused = 3;
  s.audio_pushed = 372000;
  s.mp4_enabled = true;
  s.mp4_bytes = 5 * 1024 * 1024 + 512 * 1024;
  s.mp4_state = 1;
  s.rtmp_count = 1;
  s.rtmp_message = "Message:_Plenova_ Start() failed! rtmp://127.0.0.1/live/a (code 1)";
  return s;
}

// Busy() as the engine's events and statistics describe it: two publishers,
// the first reconnecting, and two streams.
RunStatus Reporting() {
  RunStatus s = Busy();
  s.rtmp_count = 2;
  s.outputs[PLENOVA_OUTPUT_MP4].kind = PLENOVA_EVENT_FILE_OPENED;
  OutputView& rtmp1 = s.outputs[PLENOVA_OUTPUT_RTMP_1];
  rtmp1.kind = PLENOVA_EVENT_RECONNECTING;
  rtmp1.attempt = 2;
  rtmp1.delay_ms = 2000;
  s.outputs[PLENOVA_OUTPUT_RTMP_2].kind = PLENOVA_EVENT_PUBLISHING;
  s.have_statistics = true;
  PlenovaStatistics& st = s.statistics;
  st.canvases_composed = 93100;
  st.audio_frames_mixed = 186000;
  st.av_offset_ms = -12;
  PlenovaOutputStatistics& out = st.outputs[PLENOVA_OUTPUT_RTMP_1];
  out.bytes_sent = 123456789;
  out.packets_sent = 270000;
  out.reconnects = 3;
  out.outage_ms = 6400;
  out.latency_p50_ms = 85;
  out.latency_p99_ms = 116;
  std::snprintf(out.last_error, sizeof out.last_error,
                "Connection refused\nby rtmp://127.0.0.1/live/key?t=1");
  st.outputs[PLENOVA_OUTPUT_MP4].packets_sent = 280000;
  st.stream_count = 2;
  std::snprintf(st.streams[0].id, sizeof st.streams[0].id, "alice");
  st.streams[0].audio = 1;
  st.streams[0].dropped_late = 4;
  std::snprintf(st.streams[1].id, sizeof st.streams[1].id, "bob smith=1");
  st.streams[1].dropped_late = 7;
  st.streams[1].dropped_full = 1;
  st.streams[1].accepted = 93000;
  return s;
}

// The lines of a progress block as (key, value), checking that each is one.
std::vector<std::pair<std::string, std::string>> Lines(const std::string& block) {
  std::vector<std::pair<std::string, std::string>> out;
  std::istringstream in(block);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    EXPECT_NE(eq, std::string::npos) << line;
    out.emplace_back(line.substr(0, eq), line.substr(eq + 1));
  }
  EXPECT_EQ(block.back(), '\n');
  return out;
}

std::map<std::string, std::string> Map(
    const std::vector<std::pair<std::string, std::string>>& lines) {
  return {lines.begin(), lines.end()};
}

// Each "key=value" word of `expected` is a line of the block.
void ExpectValues(const std::map<std::string, std::string>& kv, const std::string& expected) {
  std::istringstream in(expected);
  for (std::string word; in >> word;) {
    const size_t eq = word.find('=');
    const auto found = kv.find(word.substr(0, eq));
    ASSERT_NE(found, kv.end()) << word;
    EXPECT_EQ(found->second, word.substr(eq + 1)) << word;
  }
}

TEST(Status, ProgressBlockHasOneKeyPerLineForEachOutputAndStreamAndEndsWithProgress) {
  const auto lines = Lines(FormatProgressBlock(Reporting(), false));
  const auto kv = Map(lines);
  EXPECT_EQ(kv.size(), lines.size()) << "a key given twice";
  EXPECT_EQ(lines.front().first, "elapsed_ms");
  EXPECT_EQ(lines.back(), (std::pair<std::string, std::string>{"progress", "continue"}));
  // canvases: the engine's count when it reports one.
  ExpectValues(kv,
               "elapsed_ms=3725400 canvases=93100 out_time_ms=3724000 out_time=01:02:04.000 "
               "video_refused=3 av_offset_ms=-12 mp4_state=recording mp4_bytes=5767168 "
               "mp4_packets=280000 rtmp1_state=reconnecting rtmp1_bytes=123456789 "
               "rtmp1_reconnects=3 rtmp1_outage_ms=6400 rtmp1_latency_p50_ms=85 "
               "rtmp1_latency_p99_ms=116 rtmp2_state=publishing stream.alice.audio.dropped_late=4 "
               "stream.bob_smith_1.video.dropped_late=7 stream.bob_smith_1.video.dropped_full=1 "
               "stream.bob_smith_1.video.accepted=93000");
  EXPECT_EQ(kv.at("rtmp1_last_error"), "Connection refused by rtmp://127.0.0.1/live/****?****");

  const auto last = Lines(FormatProgressBlock(Reporting(), true));
  EXPECT_EQ(last.back(), (std::pair<std::string, std::string>{"progress", "end"}));
}

TEST(Status, WithoutEventsOrStatisticsTheBlockFallsBackToWhatTheProgramSaw) {
  RunStatus s = Busy();
  const auto kv = Map(Lines(FormatProgressBlock(s, false)));
  EXPECT_EQ(kv.at("canvases"), "93135");       // the canvas callback's count
  EXPECT_EQ(kv.at("mp4_state"), "recording");  // the MP4 state report
  EXPECT_EQ(kv.at("rtmp1_state"), "waiting");
  EXPECT_EQ(kv.count("rtmp2_state"), 0u);
  EXPECT_EQ(kv.count("stream.alice.audio.accepted"), 0u);
  s.mp4_enabled = false;
  s.rtmp_count = 0;
  const auto bare = Map(Lines(FormatProgressBlock(s, false)));
  EXPECT_EQ(bare.count("mp4_state") + bare.count("mp4_bytes") + bare.count("rtmp1_state"), 0u);
}

// What the program saw, then the engine's events of each publisher, on one line.
TEST(Status, StatusLineShowsTimeCountsSizeAndStatesOnOneLine) {
  RunStatus switched = Reporting();
  switched.outputs[PLENOVA_OUTPUT_RTMP_1].kind = PLENOVA_EVENT_PUBLISHING;
  switched.outputs[PLENOVA_OUTPUT_RTMP_2].kind = PLENOVA_EVENT_FAILED;
  switched.outputs[PLENOVA_OUTPUT_RTMP_2].text = "server refused the stream";
  const struct {
    RunStatus status;
    std::vector<std::string> parts;
  } cases[] = {{Busy(),
                {"1:02:05", "canvases 93135", "video 186000 pushed (3 refused)",
                 "audio 372000 pushed", "mp4 5.5 MB recording",
                 "rtmp Message:_Plenova_ Start() failed! rtmp://127.0.0.1/live/****"}},
               {Reporting(),
                {"canvases 93100", "dropped 11 late, 1 full",
                 "rtmp1 reconnecting (attempt 2, next in 2000 ms)", "rtmp2 publishing"}},
               {switched, {"rtmp1 publishing  rtmp2 failed: server refused the stream"}}};
  for (const auto& c : cases) {
    const std::string line = FormatStatusLine(c.status);
    for (const std::string& part : c.parts)
      EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
  const std::string quiet = FormatStatusLine(RunStatus{});
  for (const char* absent : {"refused", "mp4", "dropped"})
    EXPECT_EQ(quiet.find(absent), std::string::npos) << absent << " in " << quiet;
}

TEST(Status, SizesTimesAndRoundingAtUnitBoundaries) {
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KB");
  EXPECT_EQ(FormatBytes(int64_t{3} << 30), "3.0 GB");
  EXPECT_EQ(FormatElapsed(59.9), "0:00:59");
  EXPECT_EQ(FormatElapsed(-1), "0:00:00");
  EXPECT_EQ(FormatSeconds(999), "999 ms");
  EXPECT_EQ(FormatSeconds(6449), "6.4 s");
}

struct MaskCase {
  std::string text;
  std::string masked;
};

class UrlMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(UrlMask, HidesStreamKeysQueriesAndPasswords) {
  EXPECT_EQ(MaskUrls(GetParam().text), GetParam().masked);
}

INSTANTIATE_TEST_SUITE_P(
    Status, UrlMask,
    ::testing::Values(MaskCase{"rtmp://127.0.0.1:1935/live/key", "rtmp://127.0.0.1:1935/live/****"},
                      MaskCase{"rtmp://h/live/key?token=abc", "rtmp://h/live/****?****"},
                      MaskCase{"rtmp://h/live?token=abc", "rtmp://h/****?****"},
                      MaskCase{"rtmps://user:pw@h/app/room/key",
                               "rtmps://user:****@h/app/room/****"},
                      MaskCase{"rtmp://h/live/****", "rtmp://h/live/****"},
                      MaskCase{"rtmp://h", "rtmp://h"},
                      MaskCase{"to rtmp://a/l/k1 and (rtmp://b/l/k2) failed",
                               "to rtmp://a/l/**** and (rtmp://b/l/****) failed"},
                      MaskCase{"no url here: /live/key", "no url here: /live/key"}));

TEST(Status, SummaryGivesFilesBytesDropsAndEachPublishersOutages) {
  RunSummary summary;
  RunStatus& s = summary.status;
  s = Reporting();
  s.elapsed_s = 8;
  s.mp4_bytes = 1'000'000;
  s.audio_refused = 2;
  summary.mp4_path = "/tmp/m.mp4";
  summary.rtmp_urls = {"rtmp://127.0.0.1/live/a-key", "rtmp://127.0.0.1/backup/b-key"};
  summary.previews = {"p.png"};
  OutputView& rtmp1 = s.outputs[PLENOVA_OUTPUT_RTMP_1];
  rtmp1.kind = PLENOVA_EVENT_STOPPED;
  rtmp1.published = true;
  rtmp1.outages = 2;
  rtmp1.outage_ms = 6449;
  OutputView& rtmp2 = s.outputs[PLENOVA_OUTPUT_RTMP_2];
  rtmp2.kind = PLENOVA_EVENT_FAILED;
  rtmp2.text = "server refused the stream";
  const std::string text = FormatSummary(summary);
  for (const char* line :
       {"Recorded 8.0 s: 93100 canvases; pushed 186000 video and 372000 audio frames "
        "(3 video and 2 audio refused)\n",
        "Dropped: 11 frames late (7 video, 4 audio), 1 for a full queue\n",
        "MP4: /tmp/m.mp4 (976.6 KB, 1000 kbit/s)\n",
        "RTMP 1: rtmp://127.0.0.1/live/****: published 117.7 MB, 2 outages, 6.4 s in all "
        "(3 reconnects)\n",
        "RTMP 2: rtmp://127.0.0.1/backup/****: not published (failed: server refused the stream)\n",
        "Preview: p.png\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
  }
  EXPECT_EQ(text.find("-key"), std::string::npos) << text;

  rtmp1.outages = 0;
  rtmp2.kind = PLENOVA_EVENT_RECONNECTING;
  rtmp2.attempt = 4;
  rtmp2.delay_ms = 8000;
  rtmp2.published = true;
  rtmp2.outages = 1;
  rtmp2.outage_ms = 20000;
  EXPECT_NE(FormatSummary(summary).find(
                "RTMP 1: rtmp://127.0.0.1/live/****: published 117.7 MB, no outage (3 reconnects)"),
            std::string::npos)
      << FormatSummary(summary);
  EXPECT_NE(FormatSummary(summary).find(
                ": published 0 B, 1 outage, 20.0 s in all; at the end reconnecting (attempt 4, "
                "next in 8000 ms)\n"),
            std::string::npos)
      << FormatSummary(summary);

  // An engine that reports nothing: no counts are made up.
  RunSummary bare;
  bare.status = Busy();
  bare.status.mp4_bytes = -1;
  bare.mp4_path = "/tmp/m.mp4";
  bare.rtmp_urls = {"rtmp://127.0.0.1/live/a-key"};
  const std::string quiet = FormatSummary(bare);
  EXPECT_NE(quiet.find("was not written"), std::string::npos) << quiet;
  EXPECT_NE(quiet.find("RTMP 1: rtmp://127.0.0.1/live/****: the engine reported nothing of it"),
            std::string::npos)
      << quiet;
  EXPECT_EQ(quiet.find("Dropped"), std::string::npos) << quiet;
}

TEST(EngineEvents, CopiesOnlyARequestedCanvasOfTheExpectedSize) {
  EngineEvents& events = EngineEvents::Instance();
  events.Reset(6);
  unsigned char canvas[6] = {1, 2, 3, 4, 5, 6};
  std::vector<uint8_t> out;
  EngineEvents::OnCanvas(canvas, 6);
  EXPECT_FALSE(events.TakeCanvas(&out)) << "nothing was asked for";
  events.RequestCanvas();
  EngineEvents::OnCanvas(canvas, 5);
  EXPECT_FALSE(events.TakeCanvas(&out));
  EXPECT_EQ(events.wrong_size_canvases(), 1u);
  EngineEvents::OnCanvas(canvas, 6);
  canvas[0] = 9;
  EngineEvents::OnCanvas(canvas, 6);  // not asked for any more
  ASSERT_TRUE(events.TakeCanvas(&out));
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(events.TakeCanvas(&out));
  EXPECT_EQ(events.canvases(), 4u);
}

TEST(EngineEvents, KeepsStateReportsAndMessages) {
  EngineEvents& events = EngineEvents::Instance();
  events.Reset(6);
  EngineEvents::OnMp4State(1, 1);
  EngineEvents::OnMp4State(1, 3);
  EngineEvents::OnMessage("Message:_Plenova_ Start() failed!rtmp://x", 1);
  EngineEvents::OnMessage(nullptr, 2);
  EXPECT_EQ(events.mp4_state(), 3);
  EXPECT_EQ(events.Messages(),
            (std::vector<std::string>{"Message:_Plenova_ Start() failed!rtmp://x (code 1)",
                                      "(no text) (code 2)"}));
}

}  // namespace
}  // namespace plenova::record
