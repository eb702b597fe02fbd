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

}  // namespace
}  // namespace plenova::record
