// The recorder with the real muxer, fed by libx264 and libavcodec, checked
// with ffprobe and ffmpeg as a user's player would read the file.

#include "tarvane/TarvaneRecord.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>

#include "tests/support/MediaInspect.h"
#include "tests/support/SyntheticMedia.h"

namespace plenova {
namespace {

using testing::AacGenerator;
using testing::H264Generator;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kFps = 25;
// The engine's clock is far from zero.
constexpr uint64_t kClockStart = 3'000'000'000ull;

// State reports come from the caller's and the finishing thread; the tests
// read them after WaitUntilFinished.
struct StateLog {
  static inline std::mutex mutex;  // guards `reports`
  static inline std::vector<std::pair<uint32_t, uint32_t>> reports;
  static void Callback(uint32_t id, uint32_t state) {
    std::lock_guard lock(mutex);
    reports.emplace_back(id, state);
  }
  static std::vector<std::pair<uint32_t, uint32_t>> Get() {
    std::lock_guard lock(mutex);
    return reports;
  }
  static void Clear() {
    std::lock_guard lock(mutex);
    reports.clear();
  }
};

// Hands `bytes` to the recorder `ms` after the engine's clock start.
int Send(ITarvaneRecord* record, const std::vector<uint8_t>& bytes, uint32_t tag, double ms) {
  return record->SendLiveData(bytes.data(), static_cast<uint32_t>(bytes.size()), tag,
                              kClockStart + static_cast<uint64_t>(std::max(0.0, ms)));
}

// Feeds `seconds` of media the way the engine does: the SPS/PPS blob first,
// then AAC frames and access units in stamp order, audio stamped with a
// jittery wall clock and video on a 40 ms grid.
class Feeder {
 public:
  Feeder(ITarvaneRecord* record, int rate, int channels, bool adts)
      : record_(record),
        video_(kWidth, kHeight, kFps, 50),
        audio_(rate, channels),
        rate_(rate),
        adts_(adts) {}

  // Returns the number of calls that failed.
  int Feed(double seconds) {
    int failures = 0;
    if (!sent_headers_) failures += Send(record_, video_.ParameterSets(), kTarvaneTagVideo, 0) != 0;
    sent_headers_ = true;
    elapsed_ms_ += seconds * 1000;
    const double end_ms = elapsed_ms_;
    const int jitter[] = {0, 6, -4, 11, 2, -8, 5, 0};
    for (;;) {
      const double audio_ms = audio_frames_ * 1024000.0 / rate_;
      const double video_ms = video_frames_ * 40.0;
      if (std::min(audio_ms, video_ms) >= end_ms) break;
      if (audio_ms <= video_ms) {
        const double stamp = audio_ms + jitter[audio_frames_ % 8];
        failures += Send(record_, audio_.Next(adts_), kTarvaneTagAudio, stamp) != 0;
        ++audio_frames_;
      } else {
        bool key = false;
        failures += Send(record_, video_.Next(&key), kTarvaneTagVideo, video_ms) != 0;
        ++video_frames_;
      }
    }
    return failures;
  }

 private:
  ITarvaneRecord* record_;  // owned by the test
  H264Generator video_;
  AacGenerator audio_;
  const int rate_;
  const bool adts_;
  bool sent_headers_ = false;
  int audio_frames_ = 0;
  int video_frames_ = 0;
  double elapsed_ms_ = 0;
};

Mp4VideoDesc VideoDesc() {
  return {500000, kWidth, kHeight, kFps, kTarvaneCodecH264, kTarvanePixelI420};
}
Mp4AudioDesc AudioDesc(int rate, int channels) {
  return {kTarvaneCodecAac, 64000, rate, channels, 16};
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Decode timestamps of one stream, in file order.
std::vector<double> PacketTimes(const std::string& path, const char* stream) {
  const auto run = testing::RunCommand(std::string("ffprobe -v error -select_streams ") + stream +
                                       " -show_entries packet=dts_time -of csv=p=0 '" + path + "'");
  std::vector<double> times;
  size_t begin = 0;
  while (begin < run.output.size()) {
    size_t end = run.output.find('\n', begin);
    if (end == std::string::npos) end = run.output.size();
    if (end > begin) times.push_back(std::atof(run.output.substr(begin, end - begin).c_str()));
    begin = end + 1;
  }
  return times;
}

void ExpectStrictlyIncreasing(const std::vector<double>& times, const char* what) {
  for (size_t i = 1; i < times.size(); ++i) {
    ASSERT_GT(times[i], times[i - 1]) << what << " packet " << i;
  }
}

struct RecordCase {
  int rate;
  int channels;
  bool adts;
};

class Mp4RecordingTest : public ::testing::TestWithParam<RecordCase> {
 protected:
  void SetUp() override { StateLog::Clear(); }
};

TEST_P(Mp4RecordingTest, SixSecondsGiveAPlayableFileWithTheRightStreams) {
  const RecordCase c = GetParam();
  const std::string dir = testing::TestOutputDir(
      "mp4_" + std::to_string(c.rate) + "_" + std::to_string(c.channels) + (c.adts ? "_adts" : ""));
  const std::string path = dir + "/meeting.mp4";
  const Mp4VideoDesc video = VideoDesc();
  const Mp4AudioDesc audio = AudioDesc(c.rate, c.channels);
  auto record = TarvaneRecord::Create(path.c_str(), &video, &audio);
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(record->SetStateCallback(7, &StateLog::Callback), 0);
  ASSERT_EQ(record->LiveStart(nullptr), 0);
  Feeder feeder(record.get(), c.rate, c.channels, c.adts);
  EXPECT_EQ(feeder.Feed(6.0), 0);
  ASSERT_EQ(record->LiveStop(), 0);
  record->WaitUntilFinished();
  EXPECT_EQ(StateLog::Get(), (std::vector<std::pair<uint32_t, uint32_t>>{{7, kTarvaneStarted},
                                                                         {7, kTarvaneStopped}}));

  const std::string bytes = ReadFile(path);
  EXPECT_EQ(record->GetBytesWritten(), bytes.size());
  // An ordinary file with its index at the front: ftyp, then moov; no
  // fragments left.
  ASSERT_GT(bytes.size(), 16u);
  const uint32_t ftyp_size = (uint8_t(bytes[0]) << 24) | (uint8_t(bytes[1]) << 16) |
                             (uint8_t(bytes[2]) << 8) | uint8_t(bytes[3]);
  EXPECT_EQ(bytes.substr(4, 4), "ftyp");
  EXPECT_EQ(bytes.substr(ftyp_size + 4, 4), "moov");
  EXPECT_EQ(bytes.find("moof"), std::string::npos);
  EXPECT_FALSE(std::ifstream(path + ".tmp").good());

  const testing::ProbeResult probe = testing::Probe(path);
  ASSERT_TRUE(probe.ok);
  EXPECT_EQ(probe.Get(0, "codec_name"), "h264");
  EXPECT_EQ(probe.Get(0, "width"), std::to_string(kWidth));
  EXPECT_EQ(probe.Get(0, "height"), std::to_string(kHeight));
  EXPECT_DOUBLE_EQ(probe.Number(0, "r_frame_rate"), 25.0);
  EXPECT_EQ(probe.Get(1, "codec_name"), "aac");
  EXPECT_EQ(probe.Get(1, "profile"), "LC");
  EXPECT_EQ(probe.Get(1, "sample_rate"), std::to_string(c.rate));
  EXPECT_EQ(probe.Get(1, "channels"), std::to_string(c.channels));
  // Within one frame: the audio may run one AAC frame past the last picture.
  EXPECT_NEAR(probe.duration, 6.0, 1024.0 / c.rate + 0.001);
  EXPECT_NEAR(probe.Number(0, "duration"), 6.0, 0.04);
  EXPECT_EQ(testing::DecodeErrors(path), "");

  ExpectStrictlyIncreasing(PacketTimes(path, "v:0"), "video");
  ExpectStrictlyIncreasing(PacketTimes(path, "a:0"), "audio");

  // Content: every frame in order, and the tone.
  testing::DecodeOptions whole_picture;
  whole_picture.probe_w = kWidth;
  whole_picture.probe_h = kHeight;
  const testing::Decoded decoded = testing::Decode(path, whole_picture);
  const std::vector<double>& lumas = decoded.probe_luma;
  ASSERT_EQ(lumas.size(), 150u);
  for (size_t i = 0; i < lumas.size(); i += 12) {
    EXPECT_NEAR(lumas[i], H264Generator::ExpectedLuma(static_cast<int>(i)), 3.0) << "frame " << i;
  }
  const testing::Sound& sound = decoded.sound;
  ASSERT_GT(sound.channels, 0);
  EXPECT_NEAR(sound.samples.size() / sound.channels / static_cast<double>(sound.rate), 6.0, 0.1);
  EXPECT_NEAR(testing::ToneFrequency(sound.samples, sound.channels, sound.rate), 440.0, 10.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, Mp4RecordingTest,
                         ::testing::Values(RecordCase{48000, 2, true}, RecordCase{16000, 1, false},
                                           RecordCase{44100, 2, false}));

// Bad calls: refused, nothing recorded out of place.
TEST(Mp4Refusals, BadCallsAreRefusedAndChangeNothing) {
  StateLog::Clear();
  const std::string dir = testing::TestOutputDir("mp4_refusals");
  const Mp4VideoDesc video = VideoDesc();
  const Mp4AudioDesc audio = AudioDesc(48000, 2);
  Mp4VideoDesc bad_video = video;
  bad_video.codec = kTarvaneCodecAac;
  Mp4AudioDesc bad_audio = audio;
  bad_audio.sampling_rate = 44000;
  EXPECT_EQ(TarvaneRecord::Create("x.mp4", nullptr, nullptr), nullptr);
  EXPECT_EQ(TarvaneRecord::Create("x.mp4", &bad_video, &audio), nullptr);
  EXPECT_EQ(TarvaneRecord::Create("x.mp4", &video, &bad_audio), nullptr);

  auto record = TarvaneRecord::Create(nullptr, &video, &audio);
  ASSERT_NE(record, nullptr);
  record->SetStateCallback(9, &StateLog::Callback);
  const uint8_t data[] = {0, 0, 0, 1, 0x65, 0x88};
  // No recording yet.
  EXPECT_NE(record->SendLiveData(data, sizeof(data), kTarvaneTagVideo, kClockStart), 0);
  EXPECT_NE(record->LiveStop(), 0);
  // No default path, and an unwritable one.
  EXPECT_NE(record->LiveStart(nullptr), 0);
  EXPECT_NE(record->LiveStart((dir + "/missing/folder/x.mp4").c_str()), 0);
  EXPECT_EQ(record->GetState(), kTarvaneOpenFailed);
  EXPECT_EQ(StateLog::Get().back(), std::make_pair(9u, uint32_t{kTarvaneOpenFailed}));

  const std::string path = dir + "/ok.mp4";
  ASSERT_EQ(record->LiveStart(path.c_str()), 0);
  EXPECT_NE(record->LiveStart((dir + "/other.mp4").c_str()), 0);
  EXPECT_FALSE(std::ifstream(dir + "/other.mp4").good());
  EXPECT_NE(record->SendLiveData(nullptr, 6, kTarvaneTagVideo, kClockStart), 0);
  EXPECT_NE(record->SendLiveData(data, 0, kTarvaneTagVideo, kClockStart), 0);
  EXPECT_NE(record->SendLiveData(data, sizeof(data), 0x12345678, kClockStart), 0);
  const uint8_t garbage[] = {1, 2, 3, 4, 5};
  EXPECT_NE(record->SendLiveData(garbage, sizeof(garbage), kTarvaneTagVideo, kClockStart), 0);

  // The recording itself carries on unharmed.
  Feeder feeder(record.get(), 48000, 2, false);
  EXPECT_EQ(feeder.Feed(2.0), 0);
  // AAC of another rate and layout than the track announces would not decode.
  EXPECT_NE(Send(record.get(), AacGenerator(16000, 1).Next(true), kTarvaneTagAudio, 1990), 0);
  EXPECT_EQ(record->LiveStop(), 0);
  record->WaitUntilFinished();
  EXPECT_NEAR(testing::Probe(path).duration, 2.0, 0.05);
  EXPECT_EQ(testing::DecodeErrors(path), "");
}

// Audio that begins after the first picture keeps its place in the finished
// file (an edit list), rather than sliding back to the picture's time: at
// 8 kHz an AAC frame lasts 128 ms.
class AudioOffsetTest : public ::testing::TestWithParam<RecordCase> {};

TEST_P(AudioOffsetTest, AudioBeginningAfterTheFirstPictureKeepsItsOffset) {
  const RecordCase c = GetParam();
  const std::string path =
      testing::TestOutputDir("mp4_offset_" + std::to_string(c.rate)) + "/offset.mp4";
  const Mp4VideoDesc video = VideoDesc();
  const Mp4AudioDesc audio = AudioDesc(c.rate, c.channels);
  auto record = TarvaneRecord::Create(path.c_str(), &video, &audio);
  ASSERT_EQ(record->LiveStart(nullptr), 0);
  H264Generator h264(kWidth, kHeight, kFps, 50);
  AacGenerator aac(c.rate, c.channels);
  ASSERT_EQ(Send(record.get(), h264.ParameterSets(), kTarvaneTagVideo, 0), 0);
  const double frame_ms = 1024000.0 / c.rate;
  constexpr double kOffsetMs = 100;
  int audio_frames = 0;
  for (int picture = 0; picture < 50; ++picture) {
    const double picture_ms = picture * 40.0;
    for (double ms; (ms = kOffsetMs + audio_frames * frame_ms) < picture_ms; ++audio_frames) {
      ASSERT_EQ(Send(record.get(), aac.Next(c.adts), kTarvaneTagAudio, ms), 0);
    }
    bool key = false;
    ASSERT_EQ(Send(record.get(), h264.Next(&key), kTarvaneTagVideo, picture_ms), 0);
  }
  ASSERT_EQ(record->LiveStop(), 0);
  record->WaitUntilFinished();
  const testing::ProbeResult probe = testing::Probe(path);
  ASSERT_TRUE(probe.ok);
  EXPECT_NEAR(probe.Number(0, "start_time"), 0.0, 0.0005);
  EXPECT_NEAR(probe.Number(1, "start_time"), kOffsetMs / 1000, 0.0015);
  EXPECT_EQ(testing::DecodeErrors(path), "");
}

INSTANTIATE_TEST_SUITE_P(Rates, AudioOffsetTest,
                         ::testing::Values(RecordCase{48000, 2, true}, RecordCase{8000, 1, false}));

}  // namespace
}  // namespace plenova
