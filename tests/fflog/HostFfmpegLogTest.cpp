// A host that owns FFmpeg's log, and a Log.xml read as XML: with
// <FFmpegLog>host</FFmpegLog> the host's own FFmpeg log callback keeps
// FFmpeg's messages; a commented-out <Level> has no effect, and the level
// "error" leaves only error lines in the engine's log. One test per
// process: the log is opened once.

extern "C" {
#include <libavutil/log.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

#include "tests/fflog/ShortMeeting.h"
#include "tests/integration/MeetingClient.h"

namespace plenova::testing {
namespace {

// What the host's FFmpeg log callback received; FFmpeg calls it from any
// thread.
std::mutex g_host_mutex;  // guards g_host_lines
std::string g_host_lines;

void HostCallback(void* context, int level, const char* format, va_list args) {
  if (level > AV_LOG_INFO) return;
  std::string line(1024, '\0');
  int print_prefix = 1;
  const int length = av_log_format_line2(context, level, format, args, line.data(),
                                         static_cast<int>(line.size()), &print_prefix);
  if (length <= 0) return;
  line.resize(std::min(static_cast<size_t>(length), line.size() - 1));
  std::lock_guard<std::mutex> lock(g_host_mutex);
  g_host_lines += line;
}

TEST(HostFfmpegLog, TheHostKeepsFFmpegsLogAndTheErrorLevelFilters) {
  av_log_set_callback(&HostCallback);
  const std::string folder = TempFolder("host_ffmpeg_log");
  RecordShortMeeting(folder,
                     "<?xml version=\"1.0\"?>\n"
                     "<Log>\n"
                     "  <!-- <Level>debug</Level> -->\n"
                     "  <Level>error</Level>\n"
                     "  <FFmpegLog>host</FFmpegLog>\n"
                     "</Log>\n");
  av_log_set_callback(&av_log_default_callback);
  const std::string log = ReadWholeFile(folder + "/LiveRecordLog/Plenova.log");
  {
    std::lock_guard<std::mutex> lock(g_host_mutex);
    EXPECT_NE(g_host_lines.find("Starting second pass"), std::string::npos) << g_host_lines;
    EXPECT_NE(g_host_lines.find("Qavg"), std::string::npos) << g_host_lines;
  }
  EXPECT_EQ(log.find("_FFmpeg_"), std::string::npos);
  // The engine writes its progress at error level: those lines are there,
  // and nothing below error is.
  EXPECT_GT(CountLogLines(log, 'E', {"MeetingMessage"}), 0) << log;
  EXPECT_EQ(CountLogLines(log, 'W', {}), 0) << log;
  EXPECT_EQ(CountLogLines(log, 'I', {}), 0) << log;
  EXPECT_EQ(CountLogLines(log, 'D', {}), 0) << log;
}

}  // namespace
}  // namespace plenova::testing
