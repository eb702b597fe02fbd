// Stream keys in publishing URLs and stream names never reach the engine's
// log, its messages to the client or the command-line tool's output. A test
// program of its own: the log is the one the process's first recorder opens.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

namespace fs = std::filesystem;

const std::string kKey = "SECRETKEY7731";
const std::string kToken = "SECRETTOKEN2291";
const std::string kName = "SECRETNAME4410";

std::mutex g_messages_mutex;  // guards g_messages; the publishers' threads and the test
std::vector<std::string> g_messages;
void OnMessage(const char* text, int) {
  std::lock_guard lock(g_messages_mutex);
  g_messages.emplace_back(text);
}

bool HoldsASecret(const std::string& text) {
  return text.find(kKey) != std::string::npos || text.find(kToken) != std::string::npos ||
         text.find(kName) != std::string::npos;
}

// The local RTMP server of the test script, or a port where nobody listens
// (then the publishers log their failed tries, which name the URL too).
std::string Base() {
  const char* url = std::getenv("PLENOVA_TEST_RTMP_URL");
  return url != nullptr ? url : "rtmp://127.0.0.1:1/live";
}

TEST(KeyMaskFaultTest, StreamKeysReachNeitherTheLogNorTheMessagesNorTheToolsOutput) {
  const std::string folder = TempFolder("fault_key_mask");
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  recorder->PlenovaInit(nullptr, nullptr, reinterpret_cast<void*>(&OnMessage));
  MeetingClient client(recorder);
  Meeting m;
  m.canvas_w = 320;
  m.canvas_h = 240;
  m.video = {Participant("cam", kRed, 0, 0, 320, 240, 320, 240)};
  m.audio = {Voice("voice", 440)};
  client.Configure(m);
  const std::string url = Base() + "/" + kKey + "?token=" + kToken;
  const std::string second = Base() + "/" + kKey + "2";
  AudioParam a{};
  a.url_1 = url.c_str();
  a.url_2 = second.c_str();
  a.StreamName_1 = kName.c_str();
  a.StreamName_2 = kName.c_str();
  a.local_port = 40000;
  a.audio_bitrate = 64000;
  a.waitMaxTime = 25;
  std::snprintf(a.local_Ip, sizeof a.local_Ip, "127.0.0.1");
  a.Enable_rtmp = true;
  recorder->SetAuidoParam(&a);
  ASSERT_EQ(recorder->StartRecord(url.c_str()), 0);
  client.DeclareLayout();
  client.Run(2.5);
  EXPECT_EQ(recorder->StopRecord(), 0);
  DeletePlenova(recorder);

  {
    std::lock_guard lock(g_messages_mutex);
    ASSERT_FALSE(g_messages.empty());
    for (const std::string& message : g_messages) EXPECT_FALSE(HoldsASecret(message)) << message;
  }
  size_t lines = 0, masked = 0;
  ASSERT_TRUE(fs::exists(folder + "/LiveRecordLog"));
  for (const auto& entry : fs::directory_iterator(folder + "/LiveRecordLog")) {
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line); ++lines) {
      EXPECT_FALSE(HoldsASecret(line)) << entry.path() << ": " << line;
      if (line.find("/****") != std::string::npos) ++masked;
    }
  }
  EXPECT_GT(lines, 100u);
  EXPECT_GT(masked, 0u) << "the URLs were logged, masked";

  // The tool prints what it publishes to, and why it cannot.
  const char* bin = std::getenv("PLENOVA_BINARY_DIR");
  ASSERT_NE(bin, nullptr);
  const std::string program = std::string(bin) + "/bin/plenova-record";
  for (const std::string& base : {Base(), std::string("rtmp://127.0.0.1:1/live")}) {
    const std::string output =
        RunCommand("cd '" + folder + "' && '" + program +
                   "' --duration 1 --no-mp4 --participants 1 "
                   "--canvas 320x240 --log-dir '" +
                   folder + "/tool' --rtmp '" + base + "/" + kKey + "?token=" + kToken + "' 2>&1")
            .output;
    EXPECT_FALSE(HoldsASecret(output)) << output;
    EXPECT_NE(output.find("/****"), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace plenova::testing
