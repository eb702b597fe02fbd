// An MP4 library that takes two seconds for every write from some point on,
// as a disk that has stopped answering would: the live stream keeps its
// pace and the recording ends with a write error instead of holding up the
// engine. The library is the real one behind a stand-in whose CreateRecord
// and DestroyRecord this program exports, so that libplenova.so binds to
// them (the program is linked with its symbols exported).

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tarvane/Tarvane.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

// Writes take this long once `stalled` is set.
std::atomic<bool> g_stalled{false};
constexpr auto kStall = std::chrono::seconds(2);

class SlowRecord : public ITarvaneRecord {
 public:
  explicit SlowRecord(ITarvaneRecord* real) : real_(real) {}
  ITarvaneRecord* real() const { return real_; }
  int LiveStart(const char* path) override { return real_->LiveStart(path); }
  int LiveStop() override { return real_->LiveStop(); }
  uint32_t GetState() override { return real_->GetState(); }
  uint64_t GetBytesWritten() override { return real_->GetBytesWritten(); }
  int SendLiveData(const uint8_t* data, uint32_t length, uint32_t tag,
                   uint64_t timestamp) override {
    if (g_stalled) std::this_thread::sleep_for(kStall);
    return real_->SendLiveData(data, length, tag, timestamp);
  }
  int SetStateCallback(uint32_t id, TarvaneStateCallback callback) override {
    return real_->SetStateCallback(id, callback);
  }

 private:
  ITarvaneRecord* real_;  // owned; given back through the real DestroyRecord
};

using CreateFn = ITarvaneRecord* (*)(const char*, const Mp4VideoDesc*, const Mp4AudioDesc*);
using DestroyFn = void (*)(ITarvaneRecord*);

}  // namespace
}  // namespace plenova::testing

// The stand-ins libplenova.so binds to; the real functions come next in the
// search order.
extern "C" __attribute__((visibility("default"))) ITarvaneRecord* CreateRecord(
    const char* path, const Mp4VideoDesc* video, const Mp4AudioDesc* audio) {
  using namespace plenova::testing;
  static const auto real = reinterpret_cast<CreateFn>(dlsym(RTLD_NEXT, "CreateRecord"));
  ITarvaneRecord* record = real != nullptr ? real(path, video, audio) : nullptr;
  return record != nullptr ? new SlowRecord(record) : nullptr;
}

extern "C" __attribute__((visibility("default"))) void DestroyRecord(ITarvaneRecord* record) {
  using namespace plenova::testing;
  static const auto real = reinterpret_cast<DestroyFn>(dlsym(RTLD_NEXT, "DestroyRecord"));
  auto* slow = static_cast<SlowRecord*>(record);
  if (slow == nullptr) return;
  if (real != nullptr) real(slow->real());
  delete slow;
}

namespace plenova::testing {
namespace {

std::mutex g_states_mutex;  // guards g_states; the engine's threads and the test
std::vector<int> g_states;
void OnState(int, int state) {
  std::lock_guard lock(g_states_mutex);
  g_states.push_back(state);
}

TEST(SlowDiskFaultTest, AStalledMp4LibraryNeverHoldsUpTheLiveStream) {
  const std::string folder = TempFolder("fault_slow_disk");
  RtmpServer server(19396, folder + "/records");
  ASSERT_TRUE(server.Start()) << "cannot start nginx on 127.0.0.1:19396";
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  ASSERT_EQ(recorder->SetMp4RecordCallback(9, &OnState), 0);
  MeetingClient client(recorder);
  Meeting m;
  m.canvas_w = 640;
  m.canvas_h = 360;
  m.video_bitrate = 600000;
  m.video = {Participant("red", kRed, 0, 0, 640, 360)};
  m.audio = {Voice("voice", 440)};
  const std::string mp4 = folder + "/slow.mp4";
  ASSERT_TRUE(client.Start(m, mp4, server.Url("live")));
  client.Run(2);
  g_stalled = true;
  const double stalled = FaultSeconds(10, 30);
  client.Run(stalled);
  const auto stopping = std::chrono::steady_clock::now();
  EXPECT_EQ(recorder->StopRecord(), 0);
  recorder->StopMp4Record();
  const double stop_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - stopping).count();
  DeletePlenova(recorder);
  g_stalled = false;
  server.Stop();
  std::printf("[ measured ] both stops returned after %.3f s\n", stop_s);
  EXPECT_LT(stop_s, 1.0);
  {
    std::lock_guard lock(g_states_mutex);
    ASSERT_FALSE(g_states.empty());
    EXPECT_EQ(g_states.front(), 1);
    // The library could not keep up: the recording ended with state 3.
    EXPECT_NE(std::find(g_states.begin(), g_states.end(), 3), g_states.end());
  }
  // The live stream kept its pace through the stall: all its pictures, no
  // holes.
  DecodeOptions options;
  options.audio = false;
  const Decoded live = Decode(server.Recording("live"), options);
  ASSERT_TRUE(live.ok) << live.error;
  EXPECT_EQ(live.decode_errors, 0);
  const double seconds = 2 + stalled;
  EXPECT_GT(live.picture_times.size(), static_cast<size_t>((seconds - 1) * 25));
  EXPECT_LT(LargestPictureGap(live), 0.2);
  // What the MP4 holds plays, up to where it stopped keeping up.
  const ProbeResult probe = Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
}

}  // namespace
}  // namespace plenova::testing
