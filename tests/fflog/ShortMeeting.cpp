#include "tests/fflog/ShortMeeting.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "api/Plenova.h"
#include "tests/integration/MeetingClient.h"

namespace plenova::testing {

void RecordShortMeeting(const std::string& folder, const std::string& log_xml,
                        const std::string& rtmp_url) {
  std::ofstream(folder + "/Log.xml") << log_xml;
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  {
    MeetingClient client(recorder);
    Meeting meeting;
    meeting.canvas_w = 320;
    meeting.canvas_h = 180;
    meeting.video_bitrate = 300000;
    meeting.video = {Participant("cam", kRed, 0, 0, 320, 180, 320, 180)};
    meeting.audio = {Voice("mic", 440)};
    client.Start(meeting, folder + "/meeting.mp4", rtmp_url);
    client.Run(2);
    recorder->StopMp4Record();
    if (!rtmp_url.empty()) recorder->StopRecord();
  }
  DeletePlenova(recorder);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

int CountLogLines(const std::string& log, char level, const std::vector<std::string>& parts) {
  const std::string tag = std::string("] [") + level + "] ";
  std::istringstream in(log);
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    bool all = line.find(tag) != std::string::npos;
    for (const std::string& part : parts) all = all && line.find(part) != std::string::npos;
    count += all;
  }
  return count;
}

}  // namespace plenova::testing
