// A client that misuses the engine from several threads: three threads push
// valid media while three others call the public operations at random with
// random, hostile and edge arguments (sizes, rectangles, ids, rates,
// settings, starts, stops and restarts in any order). Nothing may crash,
// hang or leak; afterwards the engine still records a file that decodes
// cleanly.
//
// Seeded: PLENOVA_MISUSE_SEEDS="1,2,3" picks the seeds, PLENOVA_MISUSE_SECONDS
// how long each runs (short form by default; scripts/misuse.sh runs the long
// form). Every call is written, in the order the calls were made, to
// misuse-seed<N>.calls in the test's folder (the path is printed);
// PLENOVA_MISUSE_REPLAY=<file> makes the same calls again from one thread,
// in that order, while the media threads push, so that a failure can be
// replayed and shrunk by deleting lines.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/faults/FaultSupport.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__)
constexpr double kDefaultSeconds = 8;
const char* const kDefaultSeeds = "1,2";
#else
constexpr double kDefaultSeconds = 20;
const char* const kDefaultSeeds = "1,2,3";
#endif

// The meeting the media threads push: two cameras and a voice.
constexpr int kCanvasW = 640, kCanvasH = 240;
constexpr int kCamW = 320, kCamH = 240;
constexpr int kPcmBytes = 48000 / 50 * 2 * 2;  // 20 ms of 48 kHz stereo
// Control-thread pushes read at most this much of their buffer.
constexpr int kHostileBuffer = 1280 * 720 * 3 / 2;

// --- One call --------------------------------------------------------------

enum class Op {
  kAudioParam,
  kVideoParam,
  kAudioLayout,
  kVideoLayout,
  kPictureLayout,
  kGoodLayouts,
  kPushAudio,
  kPushVideo,
  kStartMp4,
  kStopMp4,
  kStartRtmp,
  kStopRtmp,
  kCallback,
  kUnint,
  kInit,
  kCount
};

const char* const kOpNames[] = {"audio_param",    "video_param",  "audio_layout", "video_layout",
                                "picture_layout", "good_layouts", "push_audio",   "push_video",
                                "start_mp4",      "stop_mp4",     "start_rtmp",   "stop_rtmp",
                                "callback",       "unint",        "init"};
static_assert(std::size(kOpNames) == static_cast<size_t>(Op::kCount));

constexpr int kArgs = 12;

// An operation and its arguments, all integers, so that a call is one line
// of text. Strings and pointers are chosen by kind (see Text and Url).
struct Call {
  Op op = Op::kUnint;
  int a[kArgs] = {};

  std::string Line() const {
    std::ostringstream out;
    out << kOpNames[static_cast<int>(op)];
    for (int v : a) out << ' ' << v;
    return out.str();
  }
  static bool Parse(const std::string& line, Call* call) {
    std::istringstream in(line);
    std::string name;
    if (!(in >> name)) return false;
    for (int i = 0; i < static_cast<int>(Op::kCount); ++i)
      if (name == kOpNames[i]) call->op = static_cast<Op>(i);
    for (int& v : call->a)
      if (!(in >> v)) return false;
    return true;
  }
};

// Values at and around the edges of what the engine takes, and beyond.
int Edge(std::mt19937& random) {
  static const int kEdges[] = {0,     1,     -1,      2,       3,           16,    320,  321,
                               640,   641,   1280,    1920,    8191,        8192,  8193, -8192,
                               -8193, 65536, INT_MAX, INT_MIN, INT_MAX - 1, 1000,  999,  25,
                               30,    120,   121,     48000,   44100,       16000, 8000, 96001};
  if (random() % 3 == 0) return static_cast<int>(random() % 2000) - 500;
  return kEdges[random() % std::size(kEdges)];
}

Call RandomCall(std::mt19937& random) {
  Call call;
  // The good layout and pushes come often enough to keep the engine going.
  static const int kWeights[] = {6, 6, 6, 8, 4, 10, 4, 4, 8, 8, 5, 5, 3, 4, 2};
  static_assert(std::size(kWeights) == static_cast<size_t>(Op::kCount));
  int total = 0;
  for (int w : kWeights) total += w;
  int pick = static_cast<int>(random() % static_cast<unsigned>(total));
  int op = 0;
  while (pick >= kWeights[op]) pick -= kWeights[op++];
  call.op = static_cast<Op>(op);
  for (int& v : call.a) v = Edge(random);
  // Kinds of strings and pointers are small numbers.
  call.a[0] = static_cast<int>(random() % 8);
  call.a[1] = static_cast<int>(random() % 8);
  return call;
}

// --- The recorder and its media ----------------------------------------------

std::atomic<uint64_t> g_canvases{0};
void OnCanvas(unsigned char*, int) { ++g_canvases; }
void OnSample(unsigned char*, int) {}
void OnMessage(const char*, int) {}

std::mutex g_states_mutex;  // guards g_states; the engine's threads and the test
std::vector<std::pair<int, int>> g_states;
void OnState(int id, int state) {
  std::lock_guard lock(g_states_mutex);
  g_states.emplace_back(id, state);
}

class Misuse {
 public:
  Misuse(IPlenova* recorder, std::string folder)
      : r_(recorder), folder_(std::move(folder)), hostile_(kHostileBuffer, 77) {
    const char* rtmp = std::getenv("PLENOVA_TEST_RTMP_URL");
    live_url_ = rtmp != nullptr ? std::string(rtmp) + "/misuse" : "rtmp://127.0.0.1:1/live/misuse";
  }

  // A string of kind `kind`.
  const char* Text(int kind) {
    switch (kind % 8) {
      case 0: return nullptr;
      case 1: return "";
      case 2: return "cam1";
      case 3: return "voice";
      case 4: return long_.c_str();
      case 5: return id255_.c_str();
      case 6: return id256_.c_str();
      default: return "stranger";
    }
  }
  const char* Url(int kind) {
    switch (kind % 8) {
      case 0: return nullptr;
      case 1: return "";
      case 2: return live_url_.c_str();
      case 3: return "rtmp://127.0.0.1:1/live/nobody";
      case 4: return "http://127.0.0.1/live/x";
      case 5: return long_url_.c_str();
      case 6: return "rtmps://127.0.0.1:2/live/tls";
      default: return "rtmp://127.0.0.1/live";
    }
  }
  std::string Path(int kind, int n) {
    switch (kind % 6) {
      case 0: return {};
      case 1: return folder_ + "/missing/folder/x.mp4";
      case 2: return std::string(300, 'p');
      default: return folder_ + "/misuse" + std::to_string(n % 16) + ".mp4";
    }
  }

  void Execute(const Call& c, int n) {
    const int* a = c.a;
    switch (c.op) {
      case Op::kAudioParam: {
        AudioParam p{};
        const std::string path = Path(a[0], n);
        p.filePath = a[0] % 6 == 0 ? nullptr : path.c_str();
        p.url_1 = Url(a[1]);
        p.url_2 = Url(a[2] & 7);
        p.StreamName_1 = Text(a[3] & 7);
        p.StreamName_2 = Text(a[4] & 7);
        p.local_port = a[5];
        p.audio_bitrate = a[6];
        p.waitMaxTime = a[7];
        std::snprintf(p.local_Ip, sizeof p.local_Ip, a[8] % 2 ? "127.0.0.1" : "not-an-ip");
        if (a[8] % 5 == 0) std::memset(p.local_Ip, '9', sizeof p.local_Ip);
        p.Enable_write_mp4 = a[9] % 2 != 0;
        p.Enable_rtmp = a[10] % 2 != 0;
        r_->SetAuidoParam(a[11] % 9 == 0 ? nullptr : &p);
        break;
      }
      case Op::kVideoParam: {
        VideoParam v{a[2], a[3], a[4], a[5]};
        if (a[0] % 3 == 0) v = {400000, kCanvasH, kCanvasW, 0};
        r_->SetVideoParam(a[1] % 9 == 0 ? nullptr : &v);
        break;
      }
      case Op::kAudioLayout: {
        std::vector<AudioStreamInfo> s(6, AudioStreamInfo{a[2], a[3], a[4], Text(a[5] & 7)});
        s[0] = {2, 16, 48000, "voice"};
        AudioStreamInfoUpdate u{s.data(), a[0] % 8 - 1, a[6], a[7], a[8], a[9]};
        if (a[1] % 2) u = {s.data(), 1 + a[0] % 5, 50, 2, 48000, 16};
        if (a[10] % 11 == 0) u.astreamInfo = nullptr;
        r_->GetUpdateStreamInterface()->UpdateAudioStreamInfo(a[11] % 13 == 0 ? nullptr : &u);
        break;
      }
      case Op::kVideoLayout: {
        std::vector<VideoStreamInfo> s(
            22, VideoStreamInfo{a[2], a[3], a[4], Text(a[1] & 7), a[5], a[6], a[7], a[8], a[9]});
        s[0] = {25, kCamH, kCamW, "cam1", kCamH, kCamW, 0, 0, 0};
        s[1] = {25, kCamH, kCamW, "cam2", kCamH, kCamW, kCamW, 0, 1};
        VideoStreamInfoUpdate u{a[0] % 23 - 1, s.data()};
        if (a[10] % 11 == 0) u.vstreaminfo = nullptr;
        r_->GetUpdateStreamInterface()->UpdateVideoStreamInfo(a[11] % 13 == 0 ? nullptr : &u);
        break;
      }
      case Op::kPictureLayout: {
        std::vector<PictureStreamInfo> s(
            22, PictureStreamInfo{a[2], a[3], a[4], Text(a[1] & 7), a[5], a[6], a[7], a[8], a[9]});
        PictureStreamInfoUpdate u{a[0] % 23 - 1, s.data()};
        if (a[10] % 11 == 0) u.vstreaminfo = nullptr;
        r_->GetUpdateStreamInterface()->UpdatePictureStreamInfo(a[11] % 13 == 0 ? nullptr : &u);
        break;
      }
      case Op::kGoodLayouts: GoodLayouts(a[0] % 2 == 0); break;
      case Op::kPushAudio:
        r_->PushAudioFrame(a[2], a[3], a[4], a[0] % 7 == 0 ? nullptr : hostile_.data(),
                           std::min(a[5], kHostileBuffer), static_cast<uint64_t>(a[6]) * 90,
                           Text(a[1]));
        break;
      case Op::kPushVideo: {
        // A buffer of the length asked for, so that only the engine's own
        // reading is on trial.
        const int64_t w = a[2], h = a[3];
        int len = std::min(a[4], kHostileBuffer);
        if (a[0] % 2 == 0 && w > 0 && h > 0 && w <= kHostileBuffer && h <= kHostileBuffer &&
            w * h * 3 / 2 <= kHostileBuffer)
          len = static_cast<int>(w * h * 3 / 2);
        r_->PushVideoFrame(a[2], a[3], Text(a[1]), a[5], a[0] % 7 == 0 ? nullptr : hostile_.data(),
                           len, static_cast<uint64_t>(a[6]) * 90, static_cast<uint32_t>(a[7]));
        break;
      }
      case Op::kStartMp4: {
        const std::string path = Path(a[0], n);
        r_->StartMp4Record(a[0] % 6 == 0 ? nullptr : path.c_str());
        break;
      }
      case Op::kStopMp4: r_->StopMp4Record(); break;
      case Op::kStartRtmp: r_->StartRecord(Url(a[0])); break;
      case Op::kStopRtmp: r_->StopRecord(); break;
      case Op::kCallback: r_->SetMp4RecordCallback(a[2], a[0] % 4 == 0 ? nullptr : &OnState); break;
      case Op::kUnint: r_->PlenovaUnint(); break;
      case Op::kInit:
        r_->PlenovaInit(a[0] % 2 ? reinterpret_cast<void*>(&OnCanvas) : nullptr,
                        a[1] % 2 ? reinterpret_cast<void*>(&OnSample) : nullptr,
                        a[2] % 2 ? reinterpret_cast<void*>(&OnMessage) : nullptr);
        break;
      case Op::kCount: break;
    }
  }

  // The settings and layouts of the meeting the media threads push.
  void GoodSettings() {
    AudioParam p{};
    p.audio_bitrate = 64000;
    p.waitMaxTime = 25;
    p.local_port = 40000;
    std::snprintf(p.local_Ip, sizeof p.local_Ip, "127.0.0.1");
    p.Enable_write_mp4 = true;
    r_->SetAuidoParam(&p);
    VideoParam v{400000, kCanvasH, kCanvasW, 0};
    r_->SetVideoParam(&v);
  }
  void GoodLayouts(bool audio_first) {
    AudioStreamInfo voice{2, 16, 48000, "voice"};
    AudioStreamInfoUpdate audio{&voice, 1, 50, 2, 48000, 16};
    VideoStreamInfo cams[2] = {{25, kCamH, kCamW, "cam1", kCamH, kCamW, 0, 0, 0},
                               {25, kCamH, kCamW, "cam2", kCamH, kCamW, kCamW, 0, 1}};
    VideoStreamInfoUpdate video{2, cams};
    IUpdateStreamInterface* layout = r_->GetUpdateStreamInterface();
    if (audio_first) layout->UpdateAudioStreamInfo(&audio);
    layout->UpdateVideoStreamInfo(&video);
    if (!audio_first) layout->UpdateAudioStreamInfo(&audio);
  }

  // The media threads: valid frames in real time, stamps from frame counts,
  // until `stop`.
  void PushMedia(int which, const std::atomic<bool>& stop) {
    const auto start = SteadyClock::now();
    if (which == 2) {
      std::vector<int16_t> pcm(kPcmBytes / 2);
      for (uint64_t n = 0; !stop; ++n) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(20 * n));
        for (size_t i = 0; i < pcm.size(); ++i)
          pcm[i] = static_cast<int16_t>(4000 * ((n * pcm.size() + i) / 50 % 2 ? 1 : -1));
        r_->PushAudioFrame(2, 16, 48000, pcm.data(), kPcmBytes, n * 1800, "voice");
      }
      return;
    }
    std::vector<uint8_t> frame(kCamW * kCamH * 3 / 2, which == 0 ? 80 : 160);
    const char* id = which == 0 ? "cam1" : "cam2";
    for (uint64_t n = 0; !stop; ++n) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(40 * n));
      std::memset(frame.data(), static_cast<int>(40 + n % 100), kCamW * kCamH);
      r_->PushVideoFrame(kCamW, kCamH, id, 25, frame.data(), static_cast<int>(frame.size()),
                         n * 3600, 0);
    }
  }

 private:
  IPlenova* r_;
  std::string folder_;
  std::string live_url_;
  std::vector<uint8_t> hostile_;
  const std::string long_ = std::string(10 * 1024, 'x');
  const std::string id255_ = std::string(255, 'i');
  const std::string id256_ = std::string(256, 'i');
  const std::string long_url_ = "rtmp://127.0.0.1/live/" + std::string(300, 'u');
};

std::vector<unsigned> Seeds() {
  const char* text = std::getenv("PLENOVA_MISUSE_SEEDS");
  std::istringstream in(text != nullptr ? text : kDefaultSeeds);
  std::vector<unsigned> seeds;
  std::string item;
  while (std::getline(in, item, ',')) {
    if (!item.empty()) seeds.push_back(static_cast<unsigned>(std::stoul(item)));
  }
  return seeds;
}

double Seconds() {
  const char* text = std::getenv("PLENOVA_MISUSE_SECONDS");
  return text != nullptr ? std::atof(text) : kDefaultSeconds;
}

class MisuseFaultTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(MisuseFaultTest, RandomCallsFromThreeThreadsLeaveAnEngineThatStillRecords) {
  const unsigned seed = GetParam();
  const char* replay = std::getenv("PLENOVA_MISUSE_REPLAY");
  const std::string folder = TempFolder("fault_misuse_" + std::to_string(seed));
  const std::string calls_path = folder + "/misuse-seed" + std::to_string(seed) + ".calls";
  std::printf("[ misuse ] seed %u, %s; calls in %s\n", seed,
              replay != nullptr ? "replaying" : "random", calls_path.c_str());
  {
    std::lock_guard lock(g_states_mutex);
    g_states.clear();
  }
  IPlenova* recorder = CreatePlenova(folder.c_str());
  ASSERT_NE(recorder, nullptr);
  Misuse misuse(recorder, folder);
  recorder->PlenovaInit(reinterpret_cast<void*>(&OnCanvas), reinterpret_cast<void*>(&OnSample),
                        reinterpret_cast<void*>(&OnMessage));
  misuse.GoodSettings();
  misuse.GoodLayouts(true);

  std::atomic<bool> media_stop{false};
  std::vector<std::thread> media;
  for (int i = 0; i < 3; ++i) media.emplace_back([&, i] { misuse.PushMedia(i, media_stop); });

  // The calls, in the order they were made.
  std::mutex log_mutex;  // guards `log` and `made`
  std::ofstream log(calls_path);
  int made = 0;
  if (replay != nullptr) {
    std::ifstream in(replay);
    for (std::string line; std::getline(in, line);) {
      Call call;
      const size_t space = line.find(' ');  // "<n> <thread> <op> <args>"
      const size_t second = line.find(' ', space + 1);
      if (space == std::string::npos || second == std::string::npos) continue;
      if (!Call::Parse(line.substr(second + 1), &call)) continue;
      log << line << "\n" << std::flush;
      misuse.Execute(call, made++);
    }
  } else {
    const double seconds = Seconds();
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
      callers.emplace_back([&, t] {
        std::mt19937 random(seed * 7919 + static_cast<unsigned>(t));
        const auto end = SteadyClock::now() + std::chrono::duration<double>(seconds);
        while (SteadyClock::now() < end) {
          const Call call = RandomCall(random);
          int n;
          {
            std::lock_guard lock(log_mutex);
            n = made++;
            log << n << ' ' << t << ' ' << call.Line() << "\n" << std::flush;
          }
          misuse.Execute(call, n);
          std::this_thread::sleep_for(std::chrono::milliseconds(random() % 80));
        }
      });
    }
    for (auto& c : callers) c.join();
  }
  std::printf("[ misuse ] seed %u: %d calls\n", seed, made);

  // The engine still records: good settings and layouts, then one file.
  recorder->StopRecord();
  recorder->StopMp4Record();
  misuse.GoodSettings();
  recorder->PlenovaUnint();
  misuse.GoodLayouts(seed % 2 == 0);
  ASSERT_EQ(recorder->SetMp4RecordCallback(99, &OnState), 0);
  const std::string final_mp4 = folder + "/final.mp4";
  ASSERT_EQ(recorder->StartMp4Record(final_mp4.c_str()), 0) << "replay: " << calls_path;
  std::this_thread::sleep_for(std::chrono::seconds(4));
  EXPECT_EQ(recorder->StopMp4Record(), 0);
  media_stop = true;
  for (auto& m : media) m.join();
  DeletePlenova(recorder);

  {
    std::lock_guard lock(g_states_mutex);
    EXPECT_NE(std::find(g_states.begin(), g_states.end(), std::make_pair(99, 2)), g_states.end())
        << "the final recording was not finished; replay: " << calls_path;
  }
  const ProbeResult probe = Probe(final_mp4);
  ASSERT_TRUE(probe.ok) << probe.error << "; replay: " << calls_path;
  const auto* video = probe.Stream("video");
  const auto* audio = probe.Stream("audio");
  ASSERT_NE(video, nullptr);
  ASSERT_NE(audio, nullptr);
  // How much of the four seconds the file holds depends on the sync stage's
  // stamps after the restarts; the file itself must be whole.
  std::printf("[ measured ] seed %u: final file %.2f s, video %s s, audio %s s\n", seed,
              probe.duration, video->count("duration") ? video->at("duration").c_str() : "?",
              audio->count("duration") ? audio->at("duration").c_str() : "?");
  EXPECT_GT(probe.duration, 0.5);
  EXPECT_EQ(DecodeErrors(final_mp4), "") << "replay: " << calls_path;
  // The files of a passing run go; the calls and the log stay.
  if (!HasFailure()) {
    for (const auto& entry : fs::directory_iterator(folder))
      if (entry.path().extension() == ".mp4") fs::remove(entry.path());
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, MisuseFaultTest, ::testing::ValuesIn(Seeds()));

}  // namespace
}  // namespace plenova::testing
