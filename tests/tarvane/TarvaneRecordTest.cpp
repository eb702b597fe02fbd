// The recorder with the real muxer, fed by libx264 and libavcodec, checked
// with ffprobe and ffmpeg as a user's player would read the file.

#include "tarvane/TarvaneRecord.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>

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
    if (!sent_headers_) {
      const auto sets = video_.ParameterSets();
      failures += record_->SendLiveData(sets.data(), static_cast<uint32_t>(sets.size()),
                                        kTarvaneTagVideo, kClockStart) != 0;
      sent_headers_ = true;
    }
    elapsed_ms_ += seconds * 1000;
    const double end_ms = elapsed_ms_;
    const int jitter[] = {0, 6, -4, 11, 2, -8, 5, 0};
    for (;;) {
      const double audio_ms = audio_frames_ * 1024000.0 / rate_;
      const double video_ms = video_frames_ * 40.0;
      if (std::min(audio_ms, video_ms) >= end_ms) break;
      if (audio_ms <= video_ms) {
        const auto frame = audio_.Next(adts_);
        const double stamp = audio_ms + jitter[audio_frames_ % 8];
        failures += record_->SendLiveData(
                        frame.data(), static_cast<uint32_t>(frame.size()), kTarvaneTagAudio,
                        kClockStart + static_cast<uint64_t>(std::max(0.0, stamp))) != 0;
        ++audio_frames_;
      } else {
        bool key = false;
        const auto unit = video_.Next(&key);
        failures +=
            record_->SendLiveData(unit.data(), static_cast<uint32_t>(unit.size()), kTarvaneTagVideo,
                                  kClockStart + static_cast<uint64_t>(video_ms)) != 0;
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

// A disk that takes `limit` bytes and then reports it is full.
class FullDiskOutput : public FileOutput {
 public:
  explicit FullDiskOutput(int64_t limit) : limit_(limit) {}
  int Write(const uint8_t* data, int size) override {
    if (Size() + size > limit_) {
      const int room = static_cast<int>(std::max<int64_t>(0, limit_ - Size()));
      if (room > 0) FileOutput::Write(data, room);
      return -ENOSPC;
    }
    return FileOutput::Write(data, size);
  }

 private:
  const int64_t limit_;
};

TEST(Mp4WriteError, AFullDiskStopsTheRecordingAndLeavesAValidFile) {
  StateLog::Clear();
  const std::string path = testing::TestOutputDir("mp4_full_disk") + "/full.mp4";
  const Mp4VideoDesc video = VideoDesc();
  const Mp4AudioDesc audio = AudioDesc(48000, 2);
  auto record = TarvaneRecord::Create(path.c_str(), &video, &audio,
                                      [] { return std::make_unique<FullDiskOutput>(50 * 1024); });
  ASSERT_NE(record, nullptr);
  record->SetStateCallback(3, &StateLog::Callback);
  ASSERT_EQ(record->LiveStart(path.c_str()), 0);
  Feeder feeder(record.get(), 48000, 2, false);
  const int failures = feeder.Feed(10.0);
  EXPECT_GT(failures, 0);
  EXPECT_EQ(record->GetState(), kTarvaneWriteError);
  const auto reports = StateLog::Get();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1], std::make_pair(3u, uint32_t{kTarvaneWriteError}));
  // Nothing more is taken, and stopping is clean.
  const std::vector<uint8_t> frame = {0x21, 0x10, 0x04};
  EXPECT_NE(record->SendLiveData(frame.data(), 3, kTarvaneTagAudio, kClockStart + 30000), 0);
  EXPECT_EQ(record->LiveStop(), 0);

  const std::string bytes = ReadFile(path);
  EXPECT_LE(bytes.size(), 50u * 1024);
  EXPECT_EQ(record->GetBytesWritten(), bytes.size());
  const testing::ProbeResult probe = testing::Probe(path);
  ASSERT_TRUE(probe.ok);
  EXPECT_EQ(probe.Get(0, "codec_name"), "h264");
  EXPECT_GT(probe.duration, 1.0);
  EXPECT_EQ(testing::DecodeErrors(path), "");

  // The recorder is usable again on a good disk... here the same one, so it
  // fails again, but cleanly.
  ASSERT_EQ(record->LiveStart(path.c_str()), 0);
  EXPECT_EQ(record->LiveStop(), 0);
}

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
  const auto mono = AacGenerator(16000, 1).Next(true);
  EXPECT_NE(record->SendLiveData(mono.data(), static_cast<uint32_t>(mono.size()), kTarvaneTagAudio,
                                 kClockStart + 1990),
            0);
  EXPECT_EQ(record->LiveStop(), 0);
  record->WaitUntilFinished();
  EXPECT_NEAR(testing::Probe(path).duration, 2.0, 0.05);
  EXPECT_EQ(testing::DecodeErrors(path), "");
}

TEST(Mp4Restart, AStartRightAfterAStopGivesTwoWholeFiles) {
  StateLog::Clear();
  const std::string dir = testing::TestOutputDir("mp4_restart");
  const Mp4VideoDesc video = VideoDesc();
  const Mp4AudioDesc audio = AudioDesc(48000, 2);
  auto record = TarvaneRecord::Create(nullptr, &video, &audio);
  record->SetStateCallback(4, &StateLog::Callback);
  for (const char* name : {"/first.mp4", "/second.mp4"}) {
    ASSERT_EQ(record->LiveStart((dir + name).c_str()), 0);
    Feeder feeder(record.get(), 48000, 2, true);
    EXPECT_EQ(feeder.Feed(2.0), 0);
    ASSERT_EQ(record->LiveStop(), 0);  // the next start follows at once
  }
  record.reset();  // waits for the last file
  EXPECT_EQ(
      StateLog::Get(),
      (std::vector<std::pair<uint32_t, uint32_t>>{
          {4, kTarvaneStarted}, {4, kTarvaneStopped}, {4, kTarvaneStarted}, {4, kTarvaneStopped}}));
  for (const char* name : {"/first.mp4", "/second.mp4"}) {
    EXPECT_NEAR(testing::Probe(dir + name).duration, 2.0, 0.05) << name;
    EXPECT_EQ(ReadFile(dir + name).find("moof"), std::string::npos) << name;
  }
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
  const auto sets = h264.ParameterSets();
  ASSERT_EQ(record->SendLiveData(sets.data(), static_cast<uint32_t>(sets.size()), kTarvaneTagVideo,
                                 kClockStart),
            0);
  const double frame_ms = 1024000.0 / c.rate;
  constexpr double kOffsetMs = 100;
  int audio_frames = 0;
  for (int picture = 0; picture < 50; ++picture) {
    const double picture_ms = picture * 40.0;
    for (double ms; (ms = kOffsetMs + audio_frames * frame_ms) < picture_ms; ++audio_frames) {
      const auto frame = aac.Next(c.adts);
      ASSERT_EQ(record->SendLiveData(frame.data(), static_cast<uint32_t>(frame.size()),
                                     kTarvaneTagAudio, kClockStart + static_cast<uint64_t>(ms)),
                0);
    }
    bool key = false;
    const auto unit = h264.Next(&key);
    ASSERT_EQ(
        record->SendLiveData(unit.data(), static_cast<uint32_t>(unit.size()), kTarvaneTagVideo,
                             kClockStart + static_cast<uint64_t>(picture_ms)),
        0);
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

// A recording that never saw a key frame has nothing to play: no file, and
// its own state, whatever else arrived.
class NothingRecordedTest : public ::testing::TestWithParam<int> {};

TEST_P(NothingRecordedTest, NoKeyFrameLeavesNoFileAndSaysSo) {
  const int audio_frames = GetParam();
  StateLog::Clear();
  const std::string path =
      testing::TestOutputDir("mp4_empty_" + std::to_string(audio_frames)) + "/empty.mp4";
  const Mp4VideoDesc video = VideoDesc();
  const Mp4AudioDesc audio = AudioDesc(48000, 2);
  auto record = TarvaneRecord::Create(path.c_str(), &video, &audio);
  record->SetStateCallback(6, &StateLog::Callback);
  ASSERT_EQ(record->LiveStart(nullptr), 0);
  H264Generator h264(kWidth, kHeight, kFps, 50);
  const auto sets = h264.ParameterSets();
  EXPECT_EQ(record->SendLiveData(sets.data(), static_cast<uint32_t>(sets.size()), kTarvaneTagVideo,
                                 kClockStart),
            0);
  AacGenerator aac(48000, 2);
  for (int n = 0; n < audio_frames; ++n) {
    const auto frame = aac.Next(true);
    EXPECT_EQ(record->SendLiveData(frame.data(), static_cast<uint32_t>(frame.size()),
                                   kTarvaneTagAudio, kClockStart + 21 * n),
              0);
  }
  EXPECT_EQ(record->LiveStop(), 0);
  EXPECT_FALSE(std::ifstream(path).good());
  EXPECT_EQ(record->GetState(), kTarvaneNothingRecorded);
  EXPECT_EQ(StateLog::Get(), (std::vector<std::pair<uint32_t, uint32_t>>{
                                 {6, kTarvaneStarted}, {6, kTarvaneNothingRecorded}}));
}

INSTANTIATE_TEST_SUITE_P(AudioFrames, NothingRecordedTest, ::testing::Values(0, 1, 40));

// Recordings of a few samples each, in every order the engine can send them
// and with times on both sides of the first key frame: libavformat must
// never see a timestamp that makes it abort the process, and what is kept
// plays.
class ShortRecordingTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(ShortRecordingTest, NeverAbortsAndKeepsOnlyPlayableFiles) {
  std::mt19937 random(GetParam());
  const std::string dir = testing::TestOutputDir("mp4_short_" + std::to_string(GetParam()));
  const Mp4VideoDesc video = VideoDesc();
  const Mp4AudioDesc audio = AudioDesc(48000, 2);
  H264Generator running(kWidth, kHeight, kFps, 50);
  AacGenerator aac(48000, 2);
  int kept = 0;
  for (int run = 0; run < 150; ++run) {
    const std::string path = dir + "/short" + std::to_string(run % 4) + ".mp4";
    auto record = TarvaneRecord::Create(path.c_str(), &video, &audio);
    ASSERT_EQ(record->LiveStart(nullptr), 0);
    uint64_t audio_ms = kClockStart + random() % 50;
    uint64_t video_ms = kClockStart + random() % 50;
    bool has_key = false;
    const int samples = static_cast<int>(random() % 9);
    for (int i = 0; i < samples; ++i) {
      if (random() % 2 == 0) {
        const auto frame = aac.Next(random() % 2 == 0);
        record->SendLiveData(frame.data(), static_cast<uint32_t>(frame.size()), kTarvaneTagAudio,
                             audio_ms);
        audio_ms += 21;
      } else {
        bool key = false;
        std::vector<uint8_t> unit;
        if (random() % 3 == 0) {
          H264Generator fresh(kWidth, kHeight, kFps, 50);  // opens with a key frame
          unit = fresh.Next(&key);
        } else {
          unit = running.Next(&key);
        }
        has_key = has_key || key;
        // Video may be stamped a little before or after the audio sent so far.
        const uint64_t stamp = video_ms + random() % 60;
        record->SendLiveData(unit.data(), static_cast<uint32_t>(unit.size()), kTarvaneTagVideo,
                             stamp >= 40 ? stamp - 40 : 0);
        video_ms += 40;
      }
    }
    ASSERT_EQ(record->LiveStop(), 0);
    record->WaitUntilFinished();
    const bool file = std::ifstream(path).good();
    EXPECT_EQ(file, record->GetState() == kTarvaneStopped) << "run " << run;
    if (!has_key) {
      EXPECT_FALSE(file) << "run " << run;
    }
    // A few of the kept files are decoded; the muxer's own checks above ran
    // on all of them.
    if (file && kept++ < 3) {
      EXPECT_EQ(testing::DecodeErrors(path), "") << "run " << run;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ShortRecordingTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
}  // namespace plenova
