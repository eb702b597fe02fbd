#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "quillet/Log.h"
#include "quillet/LogConfig.h"
#include "tests/support/LogCapture.h"

namespace {

namespace fs = std::filesystem;

TEST(LogConfigTest, ReadsTheThreeSettings) {
  quillet::LogConfig config;
  std::string problem;
  ASSERT_TRUE(
      quillet::ParseLogConfig("<?xml version=\"1.0\"?>\n<Log>\n <Level> debug </Level>\n"
                              " <MaxFileSize>65536</MaxFileSize><MaxFiles>3</MaxFiles>\n</Log>\n",
                              &config, &problem));
  EXPECT_EQ(config.level, 0);
  EXPECT_EQ(config.max_file_size, 65536u);
  EXPECT_EQ(config.max_files, 3);
}

TEST(LogConfigTest, RefusesMalformedDocumentsAndValues) {
  for (const char* text :
       {"", "<Log>", "<Log><Level>loud</Level></Log>", "<Log><MaxFiles>0</MaxFiles></Log>",
        "<Log><MaxFileSize>12abc</MaxFileSize></Log>", "<Log><Level>debug</Log>"}) {
    quillet::LogConfig config;
    std::string problem;
    EXPECT_FALSE(quillet::ParseLogConfig(text, &config, &problem)) << text;
    EXPECT_FALSE(problem.empty()) << text;
  }
}

// Log.xml is read as XML: a commented-out setting has no effect, CDATA and
// character references read as text, unknown elements and attributes are
// ignored, and a setting given twice or a broken document is refused.
TEST(LogConfigTest, ReadsTheDocumentAsXml) {
  struct Case {
    const char* text;
    int level;
  };
  for (const Case& c : {
           Case{"<Log><!-- <Level>debug</Level> --><Level>error</Level></Log>", 3},
           Case{"<Log>\n  <!--\n  <Level>debug</Level>\n  -->\n  <Level>warning</Level>\n</Log>",
                2},
           Case{"<Log><Level>error</Level><!-- <Level>debug</Level> --></Log>", 3},
           Case{"<Log><Level><![CDATA[debug]]></Level></Log>", 0},
           Case{"<Log><Level>&#100;ebug</Level></Log>", 0},
           Case{"<?xml version=\"1.0\"?><!-- settings -->\n<Log version=\"2\"><Colour>red</Colour>"
                "<Level>error</Level></Log>",
                3},
       }) {
    quillet::LogConfig config;
    std::string problem;
    ASSERT_TRUE(quillet::ParseLogConfig(c.text, &config, &problem)) << c.text << ": " << problem;
    EXPECT_EQ(config.level, c.level) << c.text;
  }
  for (const char* text : {"<Log><Level>debug</Level><Level>error</Level></Log>",
                           "<Log><!-- <Level>debug</Level></Log>",
                           "<Config><Level>debug</Level></Config>", "<Log><Level>debug</Level>"}) {
    quillet::LogConfig config;
    std::string problem;
    EXPECT_FALSE(quillet::ParseLogConfig(text, &config, &problem)) << text;
    EXPECT_FALSE(problem.empty()) << text;
  }
}

TEST(LogConfigTest, FFmpegLogSaysWhoseFFmpegMessagesAre) {
  struct Case {
    const char* text;
    bool ok;
    bool to_log;
  };
  for (const Case& c :
       {Case{"<Log/>", true, true}, Case{"<Log><FFmpegLog>engine</FFmpegLog></Log>", true, true},
        Case{"<Log><FFmpegLog> host </FFmpegLog></Log>", true, false},
        Case{"<Log><FFmpegLog>stderr</FFmpegLog></Log>", false, true}}) {
    quillet::LogConfig config;
    std::string problem;
    EXPECT_EQ(quillet::ParseLogConfig(c.text, &config, &problem), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(config.ffmpeg_to_log, c.to_log) << c.text;
    }
  }
}

// The log is opened once per process, so one test covers the whole life:
// writes before open2 are harmless, a malformed Log.xml gives defaults and
// one warning line, lines reach the file from many threads, and a second
// open2 changes nothing.
TEST(QuilletTest, OpensOnceWritesFromManyThreadsAndFallsBackOnBadConfig) {
  Log::writeError(54, 4000, "before open %d", 1);  // must not crash

  const fs::path dir = fs::path(::testing::TempDir()) / ("quillet_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const fs::path config = dir / "Log.xml";
  std::ofstream(config) << "<Log><Level>nonsense</Level></Log>";

  ASSERT_TRUE(Log::open2(true, "name=QuilletTest", false, config.c_str(), dir.c_str()));
  EXPECT_EQ(Log::level(), 1);  // defaults

  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < 100; ++i) Log::writeError(54, 4000, "thread %d line %d", t, i);
    });
  }
  for (auto& w : writers) w.join();
  Log::writeDebug(54, 3000, "filtered debug line");
  const std::string long_line(5000, 'x');
  Log::writeError(54, 4000, "long %s end", long_line.c_str());

  EXPECT_TRUE(Log::open2(true, "name=Other", false, nullptr, dir.c_str()));
  EXPECT_FALSE(fs::exists(dir / "Other.log"));

  std::ifstream in(dir / "QuilletTest.log");
  std::stringstream text;
  text << in.rdbuf();
  const std::string content = text.str();
  EXPECT_EQ(content.find("before open"), std::string::npos);
  EXPECT_NE(content.find("Log.xml ignored"), std::string::npos);
  EXPECT_NE(content.find("thread 3 line 99"), std::string::npos);
  EXPECT_EQ(content.find("filtered debug line"), std::string::npos);
  EXPECT_NE(content.find(long_line + " end"), std::string::npos);
  size_t lines = 0;
  for (char c : content) lines += c == '\n';
  EXPECT_EQ(lines, 1u + 400u + 1u);
}

TEST(QuilletTest, HookSeesEveryLevel) {
  plenova::testing::LogCapture capture;
  Log::writeDebug(54, 3000, "debug %s", "a");
  Log::writeMessage(54, 3000, "message %s", "b");
  EXPECT_EQ(capture.LevelOf("debug a"), Log::kDebug);
  EXPECT_EQ(capture.LevelOf("message b"), Log::kMessage);
}

}  // namespace
