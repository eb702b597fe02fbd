#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tools/plenova-record/Options.h"

namespace plenova::record {
namespace {

ParseResult Parse(std::vector<std::string> args) {
  std::vector<const char*> argv{"plenova-record"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  return ParseOptions(static_cast<int>(argv.size()), argv.data());
}

struct Refusal {
  std::vector<std::string> args;
  std::string message;  // part of the error line
};

class OptionRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(OptionRefusal, NamesTheProblem) {
  const ParseResult r = Parse(GetParam().args);
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find(GetParam().message), std::string::npos) << "error was: " << r.error;
  EXPECT_EQ(r.error.find('\n'), std::string::npos) << "one line: " << r.error;
  EXPECT_EQ(r.error.find("secret"), std::string::npos) << "a refused URL shows no stream key";
}

INSTANTIATE_TEST_SUITE_P(
    Options, OptionRefusal,
    ::testing::Values(
        Refusal{{"--frobnicate"}, "unknown option '--frobnicate'"},
        Refusal{{"stray"}, "unexpected argument 'stray'"},
        Refusal{{"--participants"}, "--participants needs a value"},
        Refusal{{"--participants", "21"}, "between 0 and 20"},
        Refusal{{"--participants", "-1"}, "between 0 and 20"},
        Refusal{{"--participants", "3x"}, "whole number"},
        Refusal{{"--participants", "0"}, "nothing to show"},
        Refusal{{"--participants", "18", "--input", "a", "--input", "b", "--input", "c"},
                "too many participants: 21"},
        Refusal{{"--canvas", "1280"}, "WIDTHxHEIGHT"}, Refusal{{"--canvas", "1281x720"}, "even"},
        Refusal{{"--canvas", "8x8"}, "between 16 and 4096"},
        Refusal{{"--source-size", "axb"}, "WIDTHxHEIGHT"},
        Refusal{{"--layout", "mosaic"}, "'grid' or 'speaker'"},
        Refusal{{"--camera-off", "3"}, "only 2 participants"},
        Refusal{{"--camera-off", "1", "--camera-off", "2"}, "at least one participant"},
        Refusal{{"--rtmp", "http://host/live/a"}, "rtmp://HOST"},
        Refusal{{"--rtmp", "rtmp://host"}, "rtmp://HOST"},
        Refusal{{"--rtmp", "rtmp://host/live"}, "rtmp://HOST[:PORT]/APP/STREAM"},
        Refusal{{"--rtmp", "rtmp://host/live/"}, "rtmp://HOST[:PORT]/APP/STREAM"},
        Refusal{{"--rtmp", "rtmp://host:99999/live/a"}, "rtmp://HOST"},
        Refusal{{"--rtmp", "rtmp://host:99999/live/secret-key"}, "rtmp://host:99999/live/****"},
        Refusal{{"--rtmp", "rtmp://a/l/1", "--rtmp", "rtmp://b/l/2", "--rtmp", "rtmp://c/l/3"},
                "at most twice"},
        Refusal{{"--rtmp", "rtmp://h/" + std::string(260, 'a')}, "longer than 255"},
        Refusal{{"--video-bitrate", "0"}, "--video-bitrate must be between"},
        Refusal{{"--audio-bitrate", "1e5"}, "whole number"},
        Refusal{{"--sample-rate", "12345"}, "takes 8000, 16000"},
        Refusal{{"--channels", "6"}, "between 1 and 2"},
        Refusal{{"--duration", "-3"}, "--duration takes seconds"},
        Refusal{{"--duration", "nan"}, "--duration takes seconds"},
        Refusal{{"--preview-interval", "0"}, "--preview-interval takes seconds"},
        Refusal{{"--no-mp4"}, "needs at least one --rtmp"},
        Refusal{{"--no-mp4", "--mp4", "a.mp4", "--rtmp", "rtmp://h/l/s"}, "contradict"},
        Refusal{{"--sync-marks=yes"}, "takes no value"},
        Refusal{{"--mp4", ""}, "1 to 255 characters"},
        Refusal{{"--progress=", "--duration", "1"}, "--progress takes -, fd:N or a file name"},
        Refusal{{"--progress", "fd:one"}, "--progress fd:N takes a descriptor number"},
        Refusal{{"--progress", "fd:-2"}, "--progress fd:N takes a descriptor number"}));

// Words split at spaces.
std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST(Options, EveryValueReachesItsField) {
  const ParseResult r = Parse(Words(
      "--participants 5 --sync-marks --layout speaker --canvas 1920x1080 --crop --source-size "
      "320x180 --mp4 out/m.mp4 --rtmp rtmp://127.0.0.1/live/a --rtmp rtmp://127.0.0.1:1936/live/b "
      "--video-bitrate 3000000 --audio-bitrate 96000 --sample-rate 44100 --channels 1 --duration "
      "2.5 --progress --preview p.png --preview-interval 0.5 --log-dir logs --local-ip 127.0.0.1 "
      "--local-port 20000"));
  ASSERT_TRUE(r.ok) << r.error;
  const RecordOptions& o = r.options;
  EXPECT_EQ(o.participants, 5);
  EXPECT_TRUE(o.sync_marks);
  EXPECT_EQ(o.layout, LayoutKind::kSpeaker);
  EXPECT_EQ(o.canvas_w * 10000 + o.canvas_h, 1920 * 10000 + 1080);
  EXPECT_TRUE(o.crop);
  EXPECT_EQ(o.source_w * 10000 + o.source_h, 320 * 10000 + 180);
  EXPECT_EQ(o.mp4, "out/m.mp4");
  EXPECT_EQ(o.rtmp.size(), 2u);
  EXPECT_EQ(o.video_bitrate, 3000000);
  EXPECT_EQ(o.audio_bitrate, 96000);
  EXPECT_EQ(o.sample_rate, 44100);
  EXPECT_EQ(o.channels, 1);
  EXPECT_DOUBLE_EQ(o.duration, 2.5);
  EXPECT_EQ(o.progress, "-") << "--progress without a value: standard output";
  EXPECT_EQ(o.preview, "p.png");
  EXPECT_DOUBLE_EQ(o.preview_interval, 0.5);
  EXPECT_EQ(o.log_dir, "logs");
  EXPECT_EQ(o.local_ip, "127.0.0.1");
  EXPECT_EQ(o.local_port, 20000);
}

}  // namespace
}  // namespace plenova::record
