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

namespace {

namespace fs = std::filesystem;

// Log.xml is read as XML: a commented-out setting has no effect, CDATA and
// character references read as text, unknown elements and attributes are
// ignored, and a setting given twice, a bad value or a broken document is
// refused with a reason. Rows: text, accepted, then level, file size, files
// and whether FFmpeg's messages go into the log when accepted.
TEST(LogConfigTest, ReadsTheDocumentAsXml) {
  struct Case {
    const char* text;
    bool ok;
    int level = 1;
    uint64_t max_file_size = 10u << 20;
    int max_files = 5;
    bool ffmpeg_to_log = true;
  };
  for (const Case& c : {
           Case{"<?xml version=\"1.0\"?>\n<Log>\n <Level> debug </Level>\n <MaxFileSize>65536"
                "</MaxFileSize><MaxFiles>3</MaxFiles>\n</Log>\n",
                true, 0, 65536, 3},
           Case{"<Log><!-- <Level>debug</Level> --><Level>error</Level></Log>", true, 3},
           Case{"<Log>\n  <!--\n  <Level>debug</Level>\n  -->\n  <Level>warning</Level>\n</Log>",
                true, 2},
           Case{"<Log><Level>error</Level><!-- <Level>debug</Level> --></Log>", true, 3},
           Case{"<Log><Level><![CDATA[debug]]></Level></Log>", true, 0},
           Case{"<Log><Level>&#100;ebug</Level></Log>", true, 0},
           Case{"<?xml version=\"1.0\"?><!-- settings -->\n<Log version=\"2\"><Colour>red</Colour>"
                "<Level>error</Level></Log>",
                true, 3},
           Case{"<Log/>", true},
           Case{"<Log><FFmpegLog>engine</FFmpegLog></Log>", true},
           Case{"<Log><FFmpegLog> host </FFmpegLog></Log>", true, 1, 10u << 20, 5, false},
           Case{"<Log><FFmpegLog>stderr</FFmpegLog></Log>", false},
           Case{"", false},
           Case{"<Log>", false},
           Case{"<Log><Level>loud</Level></Log>", false},
           Case{"<Log><MaxFiles>0</MaxFiles></Log>", false},
           Case{"<Log><MaxFileSize>12abc</MaxFileSize></Log>", false},
           Case{"<Log><Level>debug</Log>", false},
           Case{"<Log><Level>debug</Level><Level>error</Level></Log>", false},
           Case{"<Log><!-- <Level>debug</Level></Log>", false},
           Case{"<Config><Level>debug</Level></Config>", false},
           Case{"<Log><Level>debug</Level>", false},
       }) {
    quillet::LogConfig config;
    std::string problem;
    ASSERT_EQ(quillet::ParseLogConfig(c.text, &config, &problem), c.ok)
        << c.text << ": " << problem;
    if (!c.ok) {
      EXPECT_FALSE(problem.empty()) << c.text;
      continue;
    }
    EXPECT_EQ(config.level, c.level) << c.text;
    EXPECT_EQ(config.max_file_size, c.max_file_size) << c.text;
    EXPECT_EQ(config.max_files, c.max_files) << c.text;
    EXPECT_EQ(config.ffmpeg_to_log, c.ffmpeg_to_log) << c.text;
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

}  // namespace
