// Every public operation with every argument at its edges, through the
// shared library. One row per case: each bad call gets its documented result
// and a log line naming the refusal, nothing crashes (ASan/UBSan), a refused
// call leaves the recorder as it was, and the same calls fired at a running
// meeting leave its recording intact.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "api/Plenova.h"
#include "tests/integration/MeetingClient.h"
#include "tests/support/LogCapture.h"
#include "tests/support/MediaInspect.h"

namespace plenova::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kPcmLen = 48000 / 50 * 2 * 2;  // one 20 ms stereo frame
constexpr int kSideW = 320, kSideH = 180;
constexpr int kPictureLen = kSideW * kSideH * 3 / 2;
constexpr uint64_t kHour = 90000ull * 3600;
const std::string kLongId(10 * 1024, 'x');
const std::string kId256(256, 'i');
const std::string kId255(255, 'i');
const std::string kPath256 = "/tmp/" + std::string(251, 'p');
const std::string kLongUrl = "rtmp://127.0.0.1/live/" + std::string(10 * 1024, 'u');

// The meeting every case meets: a red camera over the whole canvas with a
// blue one in the bottom-right corner, a 440 Hz voice and a silent one. The
// bad calls aim at the side streams ("vside", "aside").
Meeting SideMeeting() {
  Meeting m;
  m.canvas_w = 640;
  m.canvas_h = 360;
  m.video = {Participant("cam", kRed, 0, 0, 640, 360, kSideW, kSideH),
             Participant("vside", kBlue, 480, 270, 160, 90, kSideW, kSideH)};
  m.audio = {Voice("voice", 440), Voice("aside", 0)};
  return m;
}

// A recorder and the calls the cases make on it: each helper makes one call
// with good arguments unless told otherwise and returns its result.
struct Target {
  IPlenova* r = nullptr;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(1280 * 720 * 3 / 2 + 16, 16);

  int Audio(int len = kPcmLen, uint64_t stamp = 0, const char* id = "aside", int channels = 2,
            int bits = 16, int rate = 48000) {
    return r->PushAudioFrame(channels, bits, rate, buffer.data(), len, stamp, id);
  }
  int Video(int len = kPictureLen, uint64_t stamp = 0, const char* id = "vside", int w = kSideW,
            int h = kSideH, uint32_t extra = 0, int fps = 25) {
    return r->PushVideoFrame(w, h, id, fps, buffer.data(), len, stamp, extra);
  }
  static AudioParam GoodAudioParam() {
    AudioParam a{};
    a.audio_bitrate = 64000;
    a.waitMaxTime = 25;
    a.local_port = 40000;
    std::strcpy(a.local_Ip, "127.0.0.1");
    a.Enable_write_mp4 = true;
    return a;
  }
  int SetAudio(const std::function<void(AudioParam&)>& change) {
    AudioParam a = GoodAudioParam();
    change(a);
    r->SetAuidoParam(&a);
    return 0;
  }
  int SetVideo(const std::function<void(VideoParam&)>& change) {
    VideoParam v{800000, 360, 640, 0};
    change(v);
    r->SetVideoParam(&v);
    return 0;
  }
  // The meeting's layouts plus an extra entry ("ghost") that `change` may
  // spoil; the arrays have room for one past every limit.
  int AudioLayout(const std::function<void(AudioStreamInfoUpdate&, AudioStreamInfo&)>& change) {
    std::vector<AudioStreamInfo> s(6, AudioStreamInfo{2, 16, 48000, "aghost"});
    s[0].streamId = "voice";
    s[1].streamId = "aside";
    AudioStreamInfoUpdate u{s.data(), 3, 50, 2, 48000, 16};
    change(u, s[2]);
    r->GetUpdateStreamInterface()->UpdateAudioStreamInfo(&u);
    return 0;
  }
  int VideoLayout(const std::function<void(VideoStreamInfoUpdate&, VideoStreamInfo&)>& change) {
    std::vector<VideoStreamInfo> s(21,
                                   VideoStreamInfo{25, kSideH, kSideW, "ghost", 90, 160, 0, 0, 0});
    s[0] = {25, kSideH, kSideW, "cam", 360, 640, 0, 0, 0};
    s[1] = {25, kSideH, kSideW, "vside", 90, 160, 480, 270, 0};
    VideoStreamInfoUpdate u{3, s.data()};
    change(u, s[2]);
    r->GetUpdateStreamInterface()->UpdateVideoStreamInfo(&u);
    return 0;
  }
  int Pictures(const std::function<void(PictureStreamInfoUpdate&, PictureStreamInfo&)>& change) {
    std::vector<PictureStreamInfo> s(21,
                                     PictureStreamInfo{25, 360, 640, nullptr, 90, 160, 0, 0, 0});
    PictureStreamInfoUpdate u{1, s.data()};
    change(u, s[0]);
    r->GetUpdateStreamInterface()->UpdatePictureStreamInfo(&u);
    return 0;
  }
};

// How far the recorder is when a case makes its call.
enum class Stage { kCreated, kConfigured, kRunning };

struct BadCase {
  const char* name;
  Stage stage;
  std::function<int(Target&)> call;
  int result;       // what the (last) call returns; 0 for calls returning nothing
  const char* log;  // text of the line naming the refusal; null: none required
  // Results of a good audio and a good video push after the call, and whether
  // the call may be fired at a running meeting without changing what it shows.
  int audio_after = 0, video_after = 0;
  bool interleave = true;
};

const char* const kIllegal = "'s value is illegall";
const char* const kNotRunning = "Can't Push Data";
const char* const kBadLength = "is not correct";

// Results of the pushes after a refused parameter call: that medium stops.
struct After {
  int audio, video;
  bool interleave;
};
constexpr After kAudioStops{-1, 0, false};
constexpr After kVideoStops{0, -1, false};

BadCase Row(const char* name, Stage stage, std::function<int(Target&)> call, int result,
            const char* log, After after = {0, 0, true}) {
  return {name, stage, std::move(call), result, log, after.audio, after.video, after.interleave};
}

constexpr Stage kRun = Stage::kRunning;
constexpr Stage kNew = Stage::kCreated;
constexpr Stage kSet = Stage::kConfigured;

std::vector<BadCase> Cases() {
  using T = Target;
  using AU = AudioStreamInfoUpdate;
  using AI = AudioStreamInfo;
  using VU = VideoStreamInfoUpdate;
  using VI = VideoStreamInfo;
  using PU = PictureStreamInfoUpdate;
  using PI = PictureStreamInfo;
  // One row a line: the table reads as a table.
  // clang-format off
  return {
      // Output settings.
      Row("AudioParamNull", kRun, [](T& t) { t.r->SetAuidoParam(nullptr); return 0; }, 0, kIllegal, kAudioStops),
      Row("AudioBitrateZero", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.audio_bitrate = 0; }); }, 0, kIllegal, kAudioStops),
      Row("AudioBitrateNegative", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.audio_bitrate = INT_MIN; }); }, 0, kIllegal, kAudioStops),
      Row("RtmpWithoutPort", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.Enable_rtmp = true; a.local_port = 0; }); }, 0, kIllegal, kAudioStops),
      Row("WaitMaxTimeNegative", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.waitMaxTime = -1; }); }, 0, kIllegal, kAudioStops),
      Row("StreamNameOf10KB", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.StreamName_1 = kLongId.c_str(); }); }, 0, kIllegal, kAudioStops),
      Row("StreamName2Of256", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.StreamName_2 = kId256.c_str(); }); }, 0, kIllegal, kAudioStops),
      Row("LocalIpUnterminated", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { std::memset(a.local_Ip, '1', sizeof a.local_Ip); }); }, 0, kIllegal, kAudioStops),
      Row("Mp4FolderOf256", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.filePath = kPath256.c_str(); }); }, 0, "Mp4File path is invalid,use default path"),
      Row("UrlOf10KB", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.url_1 = a.url_2 = kLongUrl.c_str(); }); }, 0, "rtmp://127.0.0.1/live"),
      Row("VideoParamNull", kRun, [](T& t) { t.r->SetVideoParam(nullptr); return 0; }, 0, kIllegal, kVideoStops),
      Row("VideoBitrateZero", kRun, [](T& t) { return t.SetVideo([](VideoParam& v) { v.target_bitrate = 0; }); }, 0, kIllegal, kVideoStops),
      Row("CanvasWidthZero", kRun, [](T& t) { return t.SetVideo([](VideoParam& v) { v.target_w = 0; }); }, 0, kIllegal, kVideoStops),
      Row("CanvasHeightNegative", kRun, [](T& t) { return t.SetVideo([](VideoParam& v) { v.target_h = -360; }); }, 0, kIllegal, kVideoStops),
      Row("CanvasOnePast", kRun, [](T& t) { return t.SetVideo([](VideoParam& v) { v.target_w = 8193; }); }, 0, kIllegal, kVideoStops),
      Row("CanvasHuge", kRun, [](T& t) { return t.SetVideo([](VideoParam& v) { v.target_w = v.target_h = INT_MAX; }); }, 0, kIllegal, kVideoStops),
      Row("CanvasOdd", kRun, [](T& t) { return t.SetVideo([](VideoParam& v) { v.target_w = 641; v.target_h = 361; }); }, 0, kIllegal, kVideoStops),
      Row("CanvasOnePixel", kRun, [](T& t) { return t.SetVideo([](VideoParam& v) { v.target_w = v.target_h = 1; }); }, 0, kIllegal, kVideoStops),
      Row("CanvasSmallestEven", kSet, [](T& t) { t.SetVideo([](VideoParam& v) { v.target_w = v.target_h = 2; }); t.AudioLayout([](AU&, AI&) {}); t.VideoLayout([](VU&, VI&) {}); return t.Video(); }, 0, nullptr),
      Row("VideoBitrateBelowEncoder", kRun, [](T& t) { return t.SetVideo([](VideoParam& v) { v.target_bitrate = 999; }); }, 0, kIllegal, kVideoStops),
      Row("WaitMaxTimeOnePast", kRun, [](T& t) { return t.SetAudio([](AudioParam& a) { a.waitMaxTime = 10001; }); }, 0, kIllegal, kAudioStops),
      Row("WaitMaxTimeHuge", kSet, [](T& t) { t.SetAudio([](AudioParam& a) { a.waitMaxTime = 2000000; }); t.AudioLayout([](AU&, AI&) {}); t.VideoLayout([](VU&, VI&) {}); return t.Audio(); }, -1, kIllegal),

      // Audio layout.
      Row("AudioLayoutNull", kRun, [](T& t) { t.r->GetUpdateStreamInterface()->UpdateAudioStreamInfo(nullptr); return 0; }, 0, kIllegal),
      Row("AudioCountZero", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.audioStreamCount = 0; }); }, 0, kIllegal),
      Row("AudioCountNegative", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.audioStreamCount = -1; }); }, 0, kIllegal),
      Row("AudioCountSix", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.audioStreamCount = 6; }); }, 0, kIllegal),
      Row("AudioArrayNull", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.astreamInfo = nullptr; }); }, 0, kIllegal),
      Row("MixerFpsZero", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_frames_per_seconds = 0; }); }, 0, kIllegal),
      Row("MixerFpsOnePast", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_frames_per_seconds = 101; }); }, 0, kIllegal),
      Row("MixRateZero", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_sampling_rate = 0; }); }, 0, kIllegal),
      Row("MixRateBelowRange", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_sampling_rate = 7999; }); }, 0, kIllegal),
      Row("MixRateOnePast", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_sampling_rate = 96001; }); }, 0, kIllegal),
      Row("MixBitsZero", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_sampling_per_bits = 0; }); }, 0, kIllegal),
      Row("MixBits24", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_sampling_per_bits = 24; }); }, 0, kIllegal),
      Row("MixChannelsZero", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_channels = 0; }); }, 0, kIllegal),
      Row("MixChannelsThree", kRun, [](T& t) { return t.AudioLayout([](AU& u, AI&) { u.target_audio_channels = 3; }); }, 0, kIllegal),
      Row("AudioIdNull", kRun, [](T& t) { return t.AudioLayout([](AU&, AI& e) { e.streamId = nullptr; }); }, 0, "streamId is NULL"),
      Row("AudioIdOf10KB", kRun, [](T& t) { return t.AudioLayout([](AU&, AI& e) { e.streamId = kLongId.c_str(); }); }, 0, kIllegal),
      Row("AudioIdOf256", kRun, [](T& t) { return t.AudioLayout([](AU&, AI& e) { e.streamId = kId256.c_str(); }); }, 0, kIllegal),
      Row("AudioIdOf255", kRun, [](T& t) { return t.AudioLayout([](AU&, AI& e) { e.streamId = kId255.c_str(); }); }, 0, "Finish Success"),
      Row("AudioEntryOddFormat", kRun, [](T& t) { return t.AudioLayout([](AU&, AI& e) { e.channel = -1; e.sampling_rate = 0; e.sampling_per_bits = INT_MAX; }); }, 0, nullptr),
      Row("AudioLayoutRepeated", kRun, [](T& t) { t.AudioLayout([](AU& u, AI&) { u.audioStreamCount = 2; }); return 0; }, 0, "Is No need Updata"),

      // Video layout.
      Row("VideoLayoutNull", kRun, [](T& t) { t.r->GetUpdateStreamInterface()->UpdateVideoStreamInfo(nullptr); return 0; }, 0, kIllegal),
      Row("VideoCountZero", kRun, [](T& t) { return t.VideoLayout([](VU& u, VI&) { u.InUseStreamCount = 0; }); }, 0, kIllegal),
      Row("VideoCountNegative", kRun, [](T& t) { return t.VideoLayout([](VU& u, VI&) { u.InUseStreamCount = INT_MIN; }); }, 0, kIllegal),
      Row("VideoCount21", kRun, [](T& t) { return t.VideoLayout([](VU& u, VI&) { u.InUseStreamCount = 21; }); }, 0, kIllegal),
      Row("VideoArrayNull", kRun, [](T& t) { return t.VideoLayout([](VU& u, VI&) { u.vstreaminfo = nullptr; }); }, 0, kIllegal),
      Row("VideoIdNull", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.streamId = nullptr; }); }, 0, "streamId is NULL"),
      Row("VideoIdOf10KB", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.streamId = kLongId.c_str(); }); }, 0, kIllegal),
      Row("VideoIdOf256", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.streamId = kId256.c_str(); }); }, 0, kIllegal),
      Row("RectOffTheCanvas", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.x_position_in_target_frame = 640; e.y_position_in_target_frame = 360; }); }, 0, nullptr),
      Row("RectNegativePosition", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.x_position_in_target_frame = -100; e.y_position_in_target_frame = -8192; }); }, 0, nullptr),
      Row("RectPositionOnePast", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.x_position_in_target_frame = 8193; }); }, 0, kIllegal),
      Row("RectPositionNearIntMax", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.x_position_in_target_frame = INT_MAX - 100; e.y_position_in_target_frame = INT_MIN; }); }, 0, kIllegal),
      Row("RectPastTheCanvas", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.x_position_in_target_frame = 600; e.target_w = 642; e.target_h = 362; }); }, 0, nullptr),
      Row("RectEmpty", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.target_w = 0; e.target_h = 1; }); }, 0, nullptr),
      Row("RectNegativeSize", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.target_w = -161; e.target_h = INT_MIN; }); }, 0, nullptr),
      Row("RectOnePast", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.target_w = 8194; }); }, 0, kIllegal),
      Row("SourceHuge", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.source_w = e.source_h = INT_MAX; }); }, 0, nullptr),
      Row("RectHuge", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.target_w = e.target_h = INT_MAX; }); }, 0, kIllegal),
      Row("SourceSizeZero", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.source_w = 0; e.source_h = -1; }); }, 0, nullptr),
      Row("StreamFpsNegative", kRun, [](T& t) { return t.VideoLayout([](VU&, VI& e) { e.fps = -25; }); }, 0, kIllegal),
      Row("FirstLayoutFpsHuge", kSet, [](T& t) { t.AudioLayout([](AU&, AI&) {}); return t.VideoLayout([](VU&, VI& e) { e.fps = INT_MAX; }); }, 0, kIllegal),
      Row("FirstLayoutFps1000", kSet, [](T& t) { t.AudioLayout([](AU&, AI&) {}); t.VideoLayout([](VU& u, VI&) { for (int i = 0; i < 3; ++i) u.vstreaminfo[i].fps = 1000; }); return t.Video(); }, -1, kIllegal),
      Row("FirstLayoutFpsNegative", kSet, [](T& t) { t.AudioLayout([](AU&, AI&) {}); t.VideoLayout([](VU& u, VI&) { for (int i = 0; i < 3; ++i) u.vstreaminfo[i].fps = -1; }); return t.Video(); }, -1, kIllegal),
      Row("FirstLayoutFpsZero", kSet, [](T& t) { t.AudioLayout([](AU&, AI&) {}); t.VideoLayout([](VU& u, VI&) { for (int i = 0; i < 3; ++i) u.vstreaminfo[i].fps = 0; }); return t.Video(); }, 0, "fps is 0"),
      Row("VideoLayoutRepeated", kRun, [](T& t) { t.VideoLayout([](VU& u, VI&) { u.InUseStreamCount = 2; }); return 0; }, 0, "Is No need Updata"),

      // Pictures.
      Row("PicturesNull", kRun, [](T& t) { t.r->GetUpdateStreamInterface()->UpdatePictureStreamInfo(nullptr); return 0; }, 0, kIllegal),
      Row("PictureCountNegative", kRun, [](T& t) { return t.Pictures([](PU& u, PI&) { u.InUseStreamCount = -1; }); }, 0, kIllegal),
      Row("PictureCount21", kRun, [](T& t) { return t.Pictures([](PU& u, PI&) { u.InUseStreamCount = 21; }); }, 0, kIllegal),
      Row("PictureArrayNull", kRun, [](T& t) { return t.Pictures([](PU& u, PI&) { u.vstreaminfo = nullptr; }); }, 0, kIllegal),
      Row("PicturesNone", kRun, [](T& t) { return t.Pictures([](PU& u, PI&) { u.InUseStreamCount = 0; }); }, 0, "Finish Success"),
      Row("PictureOffTheCanvas", kRun, [](T& t) { return t.Pictures([](PU&, PI& e) { e.x_position_in_target_frame = 8000; e.y_position_in_target_frame = -8000; }); }, 0, nullptr),
      Row("PicturePositionNearIntMax", kRun, [](T& t) { return t.Pictures([](PU&, PI& e) { e.x_position_in_target_frame = INT_MAX; e.y_position_in_target_frame = INT_MAX - 1; }); }, 0, kIllegal),
      Row("PictureRectOnePast", kRun, [](T& t) { return t.Pictures([](PU&, PI& e) { e.target_h = 8194; }); }, 0, kIllegal),
      Row("PictureRectHuge", kRun, [](T& t) { return t.Pictures([](PU&, PI& e) { e.target_w = e.target_h = INT_MAX; }); }, 0, kIllegal),
      Row("PictureRectNegative", kRun, [](T& t) { return t.Pictures([](PU&, PI& e) { e.target_w = -2; e.target_h = 0; }); }, 0, nullptr),
      Row("PicturesBeforeLayout", kSet, [](T& t) { return t.Pictures([](PU&, PI& e) { e.target_w = 2000; }); }, 0, "Finish Success"),

      // Audio frames.
      Row("PcmOneShort", kRun, [](T& t) { return t.Audio(kPcmLen - 1); }, 0, nullptr),
      Row("PcmOneLong", kRun, [](T& t) { return t.Audio(kPcmLen + 1); }, 0, nullptr),
      Row("PcmOneByte", kRun, [](T& t) { return t.Audio(1); }, 0, nullptr),
      Row("PcmTenFrames", kRun, [](T& t) { return t.Audio(kPcmLen * 10); }, 0, nullptr),
      Row("PcmLengthZero", kRun, [](T& t) { return t.Audio(0); }, -1, kIllegal),
      Row("PcmLengthNegative", kRun, [](T& t) { return t.Audio(-kPcmLen); }, -1, kIllegal),
      Row("PcmBufferNull", kRun, [](T& t) { return t.r->PushAudioFrame(2, 16, 48000, nullptr, kPcmLen, 0, "aside"); }, -1, kIllegal),
      Row("PcmIdNull", kRun, [](T& t) { return t.Audio(kPcmLen, 0, nullptr); }, -1, kIllegal),
      Row("PcmIdOf10KB", kRun, [](T& t) { return t.Audio(kPcmLen, 0, kLongId.c_str()); }, -1, kIllegal),
      Row("PcmIdOf256", kRun, [](T& t) { return t.Audio(kPcmLen, 0, kId256.c_str()); }, -1, kIllegal),
      Row("PcmChannelsZero", kRun, [](T& t) { return t.Audio(kPcmLen, 0, "aside", 0); }, -1, kIllegal),
      Row("PcmBitsNegative", kRun, [](T& t) { return t.Audio(kPcmLen, 0, "aside", 2, -16); }, -1, kIllegal),
      Row("PcmRateZero", kRun, [](T& t) { return t.Audio(kPcmLen, 0, "aside", 2, 16, 0); }, -1, kIllegal),
      Row("PcmFormatNotDeclared", kRun, [](T& t) { return t.Audio(kPcmLen, 0, "aside", 8, 8, 1); }, 0, nullptr),
      Row("PcmUnknownStreams", kRun, [](T& t) { int r = 0; for (const char* id : {"u1", "u2", "u3", "u4"}) r |= t.Audio(kPcmLen, 0, id); return r; }, 0, nullptr),
      Row("PcmTimestampBackwards", kRun, [](T& t) { t.Audio(kPcmLen, 10 * kHour); return t.Audio(kPcmLen, 0); }, 0, nullptr),
      Row("PcmTimestampHourAhead", kRun, [](T& t) { t.Audio(kPcmLen, 1800); return t.Audio(kPcmLen, 1800 + kHour); }, 0, nullptr),
      Row("PcmTimestampMax", kRun, [](T& t) { return t.Audio(kPcmLen, UINT64_MAX); }, 0, nullptr),
      Row("PcmBeforeLayout", kSet, [](T& t) { return t.Audio(); }, -1, kNotRunning),
      Row("PcmBeforeParameters", kNew, [](T& t) { return t.Audio(); }, -1, kNotRunning),
      Row("PcmWithHalfTheLayout", kSet, [](T& t) { t.AudioLayout([](AU&, AI&) {}); return t.Audio(); }, -1, kNotRunning),

      // Video frames.
      Row("I420OneShort", kRun, [](T& t) { return t.Video(kPictureLen - 1); }, -1, kBadLength),
      Row("I420OneLong", kRun, [](T& t) { return t.Video(kPictureLen + 1); }, -1, kBadLength),
      Row("I420LumaOnly", kRun, [](T& t) { return t.Video(kSideW * kSideH); }, -1, kBadLength),
      Row("I420LengthZero", kRun, [](T& t) { return t.Video(0); }, -1, kIllegal),
      Row("I420LengthNegative", kRun, [](T& t) { return t.Video(INT_MIN); }, -1, kIllegal),
      Row("I420BufferNull", kRun, [](T& t) { return t.r->PushVideoFrame(kSideW, kSideH, "vside", 25, nullptr, kPictureLen, 0, 0); }, -1, kIllegal),
      Row("I420IdNull", kRun, [](T& t) { return t.Video(kPictureLen, 0, nullptr); }, -1, kIllegal),
      Row("I420IdOf10KB", kRun, [](T& t) { return t.Video(kPictureLen, 0, kLongId.c_str()); }, -1, kIllegal),
      Row("I420IdOf256", kRun, [](T& t) { return t.Video(kPictureLen, 0, kId256.c_str()); }, -1, kIllegal),
      Row("I420WidthZero", kRun, [](T& t) { return t.Video(kPictureLen, 0, "vside", 0); }, -1, kIllegal),
      Row("I420HeightNegative", kRun, [](T& t) { return t.Video(kPictureLen, 0, "vside", kSideW, -kSideH); }, -1, kIllegal),
      Row("I420SizeOverflows", kRun, [](T& t) { return t.Video(kPictureLen, 0, "vside", INT_MAX, INT_MAX); }, -1, kBadLength),
      Row("I420SizeWrapsTo32Bits", kRun, [](T& t) { return t.Video(kPictureLen, 0, "vside", 65536, 65536 + kSideH); }, -1, kBadLength),
      Row("I420OddSize", kRun, [](T& t) { return t.Video(321 * 181 * 3 / 2, 0, "vside", 321, 181); }, 0, nullptr),
      Row("I420TinySize", kRun, [](T& t) { return t.Video(1, 0, "vside", 1, 1); }, 0, nullptr),
      Row("I420SizeNotDeclared", kRun, [](T& t) { return t.Video(1280 * 720 * 3 / 2, 0, "vside", 1280, 720); }, 0, nullptr),
      Row("I420OddRowOrder", kRun, [](T& t) { return t.Video(kPictureLen, 0, "vside", kSideW, kSideH, 0xffffffffu); }, 0, nullptr),
      Row("I420FpsNegative", kRun, [](T& t) { return t.Video(kPictureLen, 0, "vside", kSideW, kSideH, 0, -1); }, 0, nullptr),
      Row("I420UnknownStream", kRun, [](T& t) { return t.Video(kPictureLen, 0, "stranger"); }, 0, nullptr),
      Row("I420TimestampBackwards", kRun, [](T& t) { t.Video(kPictureLen, 10 * kHour); return t.Video(kPictureLen, 0); }, 0, nullptr),
      Row("I420TimestampHourAhead", kRun, [](T& t) { t.Video(kPictureLen, 3600); return t.Video(kPictureLen, 3600 + kHour); }, 0, nullptr),
      Row("I420BeforeLayout", kSet, [](T& t) { return t.Video(); }, -1, kNotRunning),
      Row("I420BeforeParameters", kNew, [](T& t) { return t.Video(); }, -1, kNotRunning),

      // Recording and streaming control, also in the wrong order.
      Row("Mp4PathNull", kRun, [](T& t) { return t.r->StartMp4Record(nullptr); }, -1, "Mp4FilePath is NULL"),
      Row("Mp4PathEmpty", kRun, [](T& t) { return t.r->StartMp4Record(""); }, -1, kIllegal),
      Row("Mp4PathOf256", kRun, [](T& t) { return t.r->StartMp4Record(kPath256.c_str()); }, -1, kIllegal),
      Row("Mp4PathOf10KB", kRun, [](T& t) { return t.r->StartMp4Record(kLongUrl.c_str()); }, -1, kIllegal),
      Row("Mp4StartedTwice", kRun, [](T& t) { t.r->StartMp4Record((fs::path(::testing::TempDir()) / "twice.mp4").c_str()); return t.r->StartMp4Record("/tmp/x.mp4"); }, -1, "has already Start"),
      Row("Mp4StoppedTwice", kRun, [](T& t) { t.r->StartMp4Record((fs::path(::testing::TempDir()) / "stop.mp4").c_str()); t.r->StopMp4Record(); return t.r->StopMp4Record(); }, -1, "StartMp4Record has already Stop", {0, 0, false}),
      Row("Mp4StopWithoutStart", kNew, [](T& t) { return t.r->StopMp4Record(); }, -1, "StartMp4Record has already Stop"),
      Row("Mp4StartBeforeParameters", kNew, [](T& t) { return t.r->StartMp4Record((fs::path(::testing::TempDir()) / "early.mp4").c_str()); }, 0, "hasn't called"),
      Row("RtmpUrlNull", kRun, [](T& t) { return t.r->StartRecord(nullptr); }, -1, kIllegal),
      Row("RtmpUrlEmpty", kRun, [](T& t) { return t.r->StartRecord(""); }, -1, kIllegal),
      Row("RtmpUrlOf10KB", kRun, [](T& t) { return t.r->StartRecord(kLongUrl.c_str()); }, -1, kIllegal),
      Row("RtmpStopWithoutStart", kRun, [](T& t) { return t.r->StopRecord(); }, -1, "StartRecord has already Stop"),
      Row("RtmpStoppedTwice", kNew, [](T& t) { t.r->StartRecord("rtmp://127.0.0.1:1/live/x"); t.r->StopRecord(); return t.r->StopRecord(); }, -1, "StartRecord has already Stop"),
      Row("CallbackNull", kRun, [](T& t) { return t.r->SetMp4RecordCallback(1, nullptr); }, -1, "StateCallback is NULL"),
      Row("CallbackIdZero", kRun, [](T& t) { return t.r->SetMp4RecordCallback(0, [](int, int) {}); }, -1, "StateCallback is NULL"),
      Row("CallbackIdNegative", kRun, [](T& t) { return t.r->SetMp4RecordCallback(INT_MIN, [](int, int) {}); }, -1, "StateCallback is NULL"),
      Row("CreateWithFolderOf10KB", kNew, [](T&) { IPlenova* o = CreatePlenova(kLongId.c_str()); DeletePlenova(o); return o != nullptr ? 0 : -1; }, 0, nullptr),
      Row("DeleteNull", kNew, [](T&) { DeletePlenova(nullptr); return 0; }, 0, nullptr),
      Row("InitAllNull", kRun, [](T& t) { return t.r->PlenovaInit(nullptr, nullptr, nullptr); }, 0, "MeetingMessage end"),
      Row("UnintBeforeStart", kNew, [](T& t) { return t.r->PlenovaUnint(); }, 0, "Terminate Success"),
      Row("UnintTwice", kRun, [](T& t) { t.r->PlenovaUnint(); return t.r->PlenovaUnint(); }, 0, "Terminate Success", {-1, -1, false}),
      Row("LayoutAfterUnint", kRun, [](T& t) { t.r->PlenovaUnint(); t.AudioLayout([](AU& u, AI&) { u.audioStreamCount = 2; }); return t.VideoLayout([](VU& u, VI&) { u.InUseStreamCount = 2; }); }, 0, "First Call", {0, 0, false}),
  };
  // clang-format on
}

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class BadInputTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadInputTest, RefusedOrHandledAndTheRecorderCarriesOn) {
  const BadCase& c = GetParam();
  Target t;
  t.r = CreatePlenova(TempFolder("bad_case").c_str());
  ASSERT_NE(t.r, nullptr);
  MeetingClient client(t.r);
  if (c.stage != Stage::kCreated) client.Configure(SideMeeting());
  if (c.stage == Stage::kRunning) client.DeclareLayout();
  {
    LogCapture log;
    EXPECT_EQ(c.call(t), c.result);
    if (c.log != nullptr) {
      EXPECT_TRUE(log.Contains(c.log)) << "no line with \"" << c.log << "\"";
    }
  }
  if (c.stage == Stage::kRunning) {
    EXPECT_EQ(t.Audio(), c.audio_after) << "audio push after the call";
    EXPECT_EQ(t.Video(), c.video_after) << "video push after the call";
  }
  DeletePlenova(t.r);
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, BadInputTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// The cases that leave a running meeting's layout and outputs alone, fired
// between the participants' pushes: the recording still shows and plays what
// they sent.
TEST(BadInputMeetingTest, BadCallsDoNotDisturbARunningMeeting) {
  const std::string folder = TempFolder("bad_meeting");
  const std::string mp4 = folder + "/meeting.mp4";
  Target t;
  t.r = CreatePlenova(folder.c_str());
  ASSERT_NE(t.r, nullptr);
  MeetingClient client(t.r);
  ASSERT_TRUE(client.Start(SideMeeting(), mp4));
  constexpr double kSeconds = 5;
  std::thread meeting([&] { client.Run(kSeconds); });
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  for (const BadCase& c : Cases()) {
    if (c.stage != Stage::kRunning || !c.interleave) continue;
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(t), c.result);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  meeting.join();
  EXPECT_EQ(client.refused(), 0);
  EXPECT_EQ(t.r->StopMp4Record(), 0);
  DeletePlenova(t.r);

  const ProbeResult probe = Probe(mp4);
  ASSERT_TRUE(probe.ok) << probe.error;
  EXPECT_NEAR(probe.duration, kSeconds, 0.5);
  DecodeOptions options;
  options.pictures_at = {1.0, kSeconds - 1};
  const Decoded decoded = Decode(mp4, options);
  ASSERT_TRUE(decoded.ok) << decoded.error;
  EXPECT_EQ(decoded.decode_errors, 0);
  ASSERT_EQ(decoded.pictures.size(), 2u);
  for (const Picture& p : decoded.pictures) {
    SCOPED_TRACE(p.time);
    EXPECT_NEAR(p.Y(160, 90), kRed.y, 12) << "camera";
    EXPECT_NEAR(p.V(160, 90), kRed.v, 12) << "camera";
    EXPECT_NEAR(p.Y(560, 315), kBlue.y, 12) << "side camera";
    EXPECT_NEAR(p.U(560, 315), kBlue.u, 12) << "side camera";
  }
  EXPECT_GT(ToneShare(decoded.sound, 440, 1, kSeconds - 0.5), 0.5);
}

}  // namespace
}  // namespace plenova::testing
