// FFmpeg's own messages in a whole meeting through libplenova.so, with the
// default setting: they go into the engine's log at FFmpeg's level and not
// to the host's standard error. One test per process: the log is opened
// once.

#include <gtest/gtest.h>

#include <string>

#include "tests/fflog/ShortMeeting.h"
#include "tests/integration/MeetingClient.h"

namespace plenova::testing {
namespace {

TEST(FfmpegInEngineLog, MessagesReachTheEngineLogAtTheirLevelAndNotStandardError) {
  const std::string folder = TempFolder("ffmpeg_in_engine_log");
  ::testing::internal::CaptureStderr();  // the process's descriptor 2, to a file
  // Port 1 refuses the connection: the RTMP path logs FFmpeg's error.
  RecordShortMeeting(folder, "<Log><Level>message</Level></Log>\n",
                     "rtmp://127.0.0.1:1/live/secretkey42");
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string log = ReadWholeFile(folder + "/LiveRecordLog/Plenova.log");
  // The MP4 rewrite with the index in front, the AAC encoder's summary and
  // the refused TCP connection, each with FFmpeg's own prefix.
  EXPECT_GE(CountLogLines(log, 'I', {"_FFmpeg_ [mp4 @ 0x", "Starting second pass"}), 1) << log;
  EXPECT_GE(CountLogLines(log, 'I', {"_FFmpeg_ [aac @ 0x", "Qavg"}), 1) << log;
  EXPECT_GE(CountLogLines(log, 'E', {"_FFmpeg_ [tcp @ 0x", "Connection refused"}), 1) << log;
  EXPECT_EQ(CountLogLines(log, 'E', {"_FFmpeg_", "secretkey42"}) +
                CountLogLines(log, 'W', {"_FFmpeg_", "secretkey42"}) +
                CountLogLines(log, 'I', {"_FFmpeg_", "secretkey42"}),
            0);
  for (const char* text :
       {"Starting second pass", "Qavg", "Connection refused", "[mp4 @", "[tcp @"})
    EXPECT_EQ(err.find(text), std::string::npos) << text << " on standard error:\n" << err;
}

}  // namespace
}  // namespace plenova::testing
