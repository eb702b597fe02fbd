// The publisher over a scripted connection: what goes on the wire, in which
// order, with which timestamps, and how failures and refusals behave.

#include "wendrel/RtmpPublisher.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tarvane/MediaBitstream.h"
#include "tests/support/PublishParam.h"
#include "wendrel/FlvTags.h"

namespace plenova {
namespace {

using Bytes = std::vector<uint8_t>;

// What the scripted connection saw; outlives the connections it hands out.
struct Wire {
  std::vector<std::string> urls;
  Bytes bytes;
  int writes = 0;
  int fail_connect = 0;        // the next this many connects fail
  int fail_after_writes = -1;  // writes that succeed before every write fails
  int closes = 0;
};

class ScriptedTransport : public RtmpTransport {
 public:
  explicit ScriptedTransport(Wire* wire) : wire_(wire) {}
  bool Connect(const std::string& url, int, std::string* error) override {
    wire_->urls.push_back(url);
    if (wire_->fail_connect > 0) {
      --wire_->fail_connect;
      *error = "refused";
      return false;
    }
    return true;
  }
  bool Write(const uint8_t* data, size_t size, int, std::string* error) override {
    if (wire_->fail_after_writes >= 0 && wire_->writes >= wire_->fail_after_writes) {
      *error = "broken pipe";
      return false;
    }
    ++wire_->writes;
    wire_->bytes.insert(wire_->bytes.end(), data, data + size);
    return true;
  }
  void Close(int) override { ++wire_->closes; }
  void Interrupt() override {}

 private:
  Wire* wire_;  // owned by the test
};

struct Tag {
  uint8_t type;
  uint32_t timestamp;
  Bytes payload;
};

// Parses the FLV bytes on the wire; fails the test on a malformed stream.
std::vector<Tag> ParseFlv(const Bytes& bytes) {
  std::vector<Tag> tags;
  EXPECT_GE(bytes.size(), 13u);
  if (bytes.size() < 13) return tags;
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 3), "FLV");
  size_t at = 13;
  while (at + 11 <= bytes.size()) {
    Tag tag;
    tag.type = bytes[at];
    const size_t size = (bytes[at + 1] << 16) | (bytes[at + 2] << 8) | bytes[at + 3];
    tag.timestamp = (bytes[at + 4] << 16) | (bytes[at + 5] << 8) | bytes[at + 6] |
                    (uint32_t{bytes[at + 7]} << 24);
    EXPECT_LE(at + 11 + size + 4, bytes.size());
    if (at + 11 + size + 4 > bytes.size()) break;
    tag.payload.assign(bytes.begin() + at + 11, bytes.begin() + at + 11 + size);
    const uint32_t previous = (bytes[at + 11 + size] << 24) | (bytes[at + 12 + size] << 16) |
                              (bytes[at + 13 + size] << 8) | bytes[at + 14 + size];
    EXPECT_EQ(previous, size + 11);
    tags.push_back(std::move(tag));
    at += 11 + size + 4;
  }
  EXPECT_EQ(at, bytes.size());
  return tags;
}

const Bytes kSps = {0x67, 0x42, 0xC0, 0x1E, 0xDA, 0x02};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kOtherSps = {0x67, 0x42, 0xC0, 0x1F, 0xDA, 0x03};

Bytes AnnexB(std::initializer_list<Bytes> units) {
  Bytes out;
  for (const Bytes& unit : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

RtmpPublishParam Param(int rate, int channels) {
  return testing::MakePublishParam(640, 360, AnnexB({kSps, kPps}), rate, channels);
}

class PublisherTest : public ::testing::Test {
 protected:
  RtmpPublisher publisher{[this] { return std::make_unique<ScriptedTransport>(&wire); }};
  Wire wire;

  bool PushAudio(uint64_t timestamp, const Bytes& frame = {0x21, 0x10, 0x05}) {
    return publisher.PushMediaSample(frame.data(), static_cast<uint32_t>(frame.size()), timestamp,
                                     40, 1, 0);
  }
  bool PushVideo(uint64_t timestamp, const Bytes& unit, bool key) {
    return publisher.PushMediaSample(unit.data(), static_cast<uint32_t>(unit.size()), timestamp, 60,
                                     0, key ? 1 : 0);
  }
};

TEST_F(PublisherTest, SamplesGetMillisecondTimestampsFromTheStartOfTheConnection) {
  const RtmpPublishParam param = Param(48000, 2);
  ASSERT_TRUE(publisher.SetMediaType(&param));  // before Start: kept for later
  ASSERT_TRUE(publisher.Start("rtmps://127.0.0.1/live/room", "room"));
  EXPECT_EQ(wire.urls.back(), "rtmps://127.0.0.1/live/room");
  const uint64_t origin = 123'456'789'000ull;  // 100-ns units, far from zero
  ASSERT_TRUE(PushAudio(origin));
  ASSERT_TRUE(PushVideo(origin, AnnexB({{0x09, 0xF0}, kSps, kPps, {0x65, 0x88, 0x80}}), true));
  ASSERT_TRUE(PushAudio(origin + 213333));
  // ADTS in front of an audio frame is dropped.
  ASSERT_TRUE(PushAudio(origin + 426666, {0xFF, 0xF1, 0x4C, 0x80, 0x01, 0x3F, 0xFC, 0x21, 0x10}));
  ASSERT_TRUE(PushVideo(origin + 400000, AnnexB({{0x41, 0x9A, 0x02}}), false));
  // A sample stamped behind its track's last one is not sent back in time.
  ASSERT_TRUE(PushVideo(origin + 300000, AnnexB({{0x41, 0x9A, 0x03}}), false));

  const std::vector<Tag> tags = ParseFlv(wire.bytes);
  ASSERT_EQ(tags.size(), 9u);  // metadata, two sequence headers, six samples
  EXPECT_EQ(tags[3].timestamp, 0u);
  EXPECT_EQ(tags[3].payload, Bytes({0xAF, 0x01, 0x21, 0x10, 0x05}));
  // Key frame with SPS, PPS and delimiter left out: they are in the header.
  EXPECT_EQ(tags[4].payload, Bytes({0x17, 0x01, 0, 0, 0, 0, 0, 0, 3, 0x65, 0x88, 0x80}));
  EXPECT_EQ(tags[5].timestamp, 21u);
  EXPECT_EQ(tags[6].timestamp, 42u);
  EXPECT_EQ(tags[6].payload, Bytes({0xAF, 0x01, 0x21, 0x10}));
  EXPECT_EQ(tags[7].timestamp, 40u);
  EXPECT_EQ(tags[7].payload[0], 0x27);
  EXPECT_EQ(tags[8].timestamp, 40u);
}

TEST_F(PublisherTest, ANewMediaTypeWhilePublishingIsAnnouncedAtTheCurrentTime) {
  const RtmpPublishParam first = Param(48000, 2);
  ASSERT_TRUE(publisher.Start("rtmp://127.0.0.1/live", "room"));
  ASSERT_TRUE(publisher.SetMediaType(&first));
  ASSERT_TRUE(PushAudio(50'000'000));
  ASSERT_TRUE(PushAudio(60'000'000));
  const RtmpPublishParam second =
      testing::MakePublishParam(1280, 720, AnnexB({kOtherSps, kPps}), 16000, 1);
  ASSERT_TRUE(publisher.SetMediaType(&second));
  ASSERT_TRUE(PushAudio(60'640'000));

  const std::vector<Tag> tags = ParseFlv(wire.bytes);
  ASSERT_EQ(tags.size(), 9u);
  EXPECT_EQ(tags[5].type, flv::kTagScript);
  EXPECT_EQ(tags[5].timestamp, 1000u);
  Bytes expected_video = {0x17, 0, 0, 0, 0};
  const Bytes config = bitstream::BuildAvcConfig(kOtherSps, kPps);
  expected_video.insert(expected_video.end(), config.begin(), config.end());
  EXPECT_EQ(tags[6].payload, expected_video);
  EXPECT_EQ(tags[7].payload, Bytes({0xAE, 0, 0x14, 0x08}));  // 16 kHz mono
  EXPECT_EQ(tags[7].timestamp, 1000u);
  EXPECT_EQ(tags[8].timestamp, 1064u);
  EXPECT_EQ(tags[8].payload[0], 0xAE);
}

TEST_F(PublisherTest, BadCallsAreRefusedAndChangeNothing) {
  EXPECT_FALSE(PushAudio(0));  // not publishing
  EXPECT_FALSE(publisher.Start(nullptr, "room"));
  EXPECT_FALSE(publisher.Start("http://127.0.0.1/live", "room"));
  EXPECT_TRUE(wire.urls.empty());
  wire.fail_connect = 1;
  EXPECT_FALSE(publisher.Start("rtmp://127.0.0.1/live", "room"));

  ASSERT_TRUE(publisher.Start("rtmp://127.0.0.1/live", "room"));
  EXPECT_FALSE(PushAudio(0));  // no media type yet
  const RtmpPublishParam good = Param(48000, 2);
  ASSERT_TRUE(publisher.SetMediaType(&good));
  const size_t announced = wire.bytes.size();
  RtmpPublishParam bad = Param(44000, 2);
  EXPECT_FALSE(publisher.SetMediaType(&bad));
  bad = Param(48000, 9);
  EXPECT_FALSE(publisher.SetMediaType(&bad));
  bad = Param(48000, 2);
  bad.sps_pps_len = 300;
  EXPECT_FALSE(publisher.SetMediaType(&bad));
  bad = Param(48000, 2);
  bad.sps_pps[4] = 0x41;  // no SPS left
  EXPECT_FALSE(publisher.SetMediaType(&bad));
  EXPECT_FALSE(publisher.SetMediaType(nullptr));
  EXPECT_EQ(wire.bytes.size(), announced);

  const Bytes frame = {0x21, 0x10};
  EXPECT_FALSE(publisher.PushMediaSample(nullptr, 2, 0, 40, 1, 0));
  EXPECT_FALSE(publisher.PushMediaSample(frame.data(), 0, 0, 40, 1, 0));
  EXPECT_FALSE(publisher.PushMediaSample(frame.data(), 2, 0, 60, 1, 0));  // kind and flag disagree
  EXPECT_FALSE(publisher.PushMediaSample(frame.data(), 2, 0, 40, 7, 0));
  EXPECT_FALSE(PushVideo(0, {1, 2, 3}, false));  // not H.264
  EXPECT_EQ(wire.bytes.size(), announced);
  // The good announcement still holds.
  EXPECT_TRUE(PushAudio(0));
}

}  // namespace
}  // namespace plenova
