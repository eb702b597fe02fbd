#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

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
  s.rtmp_state = "Message:_Plenova_ Start() failed! rtmp://127.0.0.1/live/a (code 1)";
  return s;
}

std::map<std::string, std::string> KeyValues(const std::string& line) {
  std::map<std::string, std::string> out;
  std::istringstream in(line);
  std::string pair;
  while (in >> pair) {
    const size_t eq = pair.find('=');
    EXPECT_NE(eq, std::string::npos) << pair;
    out[pair.substr(0, eq)] = pair.substr(eq + 1);
  }
  return out;
}

TEST(Status, ProgressLineIsOneKeyValuePairPerFieldEvenWithSpacesInMessages) {
  const auto kv = KeyValues(FormatProgressLine(Busy()));
  EXPECT_EQ(kv.at("elapsed"), "3725.4");
  EXPECT_EQ(kv.at("canvases"), "93135");
  EXPECT_EQ(kv.at("video_pushed"), "186000");
  EXPECT_EQ(kv.at("video_refused"), "3");
  EXPECT_EQ(kv.at("audio_refused"), "0");
  EXPECT_EQ(kv.at("mp4_bytes"), std::to_string(5 * 1024 * 1024 + 512 * 1024));
  EXPECT_EQ(kv.at("mp4_state"), "recording");
  EXPECT_EQ(kv.at("rtmp_state").find(' '), std::string::npos);
  EXPECT_EQ(kv.size(), 9u);
}

TEST(Status, StatusLineShowsTimeCountsSizeAndStatesOnOneLine) {
  const std::string line = FormatStatusLine(Busy());
  for (const char* part : {"1:02:05", "canvases 93135", "video 186000 pushed (3 refused)", "audio 372000 pushed",
                           "mp4 5.5 MB recording", "rtmp Message:"}) {
    EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
  }
  EXPECT_EQ(line.find('\n'), std::string::npos);
  RunStatus quiet;
  EXPECT_EQ(FormatStatusLine(quiet).find("refused"), std::string::npos);
  EXPECT_EQ(FormatStatusLine(quiet).find("mp4"), std::string::npos);
}

TEST(Status, SizesAndTimesRoundAtUnitBoundaries) {
  EXPECT_EQ(FormatBytes(1023), "1023 B");
  EXPECT_EQ(FormatBytes(1536), "1.5 KB");
  EXPECT_EQ(FormatBytes(int64_t{3} << 30), "3.0 GB");
  EXPECT_EQ(FormatElapsed(59.9), "0:00:59");
  EXPECT_EQ(FormatElapsed(-1), "0:00:00");
}

TEST(Status, SummaryGivesFilesAndTheBitRateAchieved) {
  RunSummary s;
  s.duration_s = 8;
  s.mp4_path = "/tmp/m.mp4";
  s.mp4_bytes = 1'000'000;
  s.rtmp_urls = {"rtmp://127.0.0.1/live/a"};
  s.previews = {"p.png"};
  s.audio_refused = 2;
  const std::string text = FormatSummary(s);
  EXPECT_NE(text.find("Recorded 8.0 s"), std::string::npos) << text;
  EXPECT_NE(text.find("MP4: /tmp/m.mp4 (976.6 KB, 1000 kbit/s)"), std::string::npos) << text;
  EXPECT_NE(text.find("2 audio refused"), std::string::npos) << text;
  EXPECT_NE(text.find("RTMP: published to rtmp://127.0.0.1/live/****"), std::string::npos) << text;
  EXPECT_NE(text.find("Preview: p.png"), std::string::npos) << text;
  s.mp4_bytes = -1;
  EXPECT_NE(FormatSummary(s).find("was not written"), std::string::npos);
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
            (std::vector<std::string>{"Message:_Plenova_ Start() failed!rtmp://x (code 1)", "(no text) (code 2)"}));
}

}  // namespace
}  // namespace plenova::record
