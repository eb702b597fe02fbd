#include "output/Mp4Writer.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/EventSink.h"
#include "common/MemoryPool.h"
#include "tests/output/TestSample.h"
#include "tests/output/fakes/FakeTarvane.h"

namespace plenova {
namespace {

constexpr uint64_t kStamp0 = 5'000'000'000ull;
const uint8_t kSets[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE};

Mp4VideoDesc Video() { return {1500000, 1280, 720, 25, kTarvaneCodecH264, kTarvanePixelI420}; }
Mp4AudioDesc Audio() { return {kTarvaneCodecAac, 64000, 48000, 2, 16}; }

// The client's callback: what the writers reported, in order.
struct Reports {
  static inline std::mutex mutex;  // guards `seen`; the writer's threads and the test
  static inline std::vector<std::pair<int, int>> seen;
  static void First(int id, int state) {
    std::lock_guard lock(mutex);
    seen.emplace_back(100 + id, state);
  }
  static std::vector<std::pair<int, int>> Get() {
    std::lock_guard lock(mutex);
    return seen;
  }
  static void Clear() {
    std::lock_guard lock(mutex);
    seen.clear();
  }
};
using Seen = std::vector<std::pair<int, int>>;

void Write(Mp4Writer& writer, MemoryPool& pool, bool audio, uint64_t stamp, bool key = false) {
  writer.Write(testing::TestSample(pool, audio, key, stamp).get(), &pool);
}

class Mp4WriterTest : public ::testing::Test {
 protected:
  Mp4WriterTest() {
    fake_tarvane::Reset();
    Reports::Clear();
    writer_.SetStateCallback(1, &Reports::First);
  }

  void Write(bool audio, uint64_t stamp, bool key = false) {
    plenova::Write(writer_, pool_, audio, stamp, key);
  }
  void Drain() {
    while (writer_.ProcessOne()) {
    }
  }
  fake_tarvane::FakeRecord& Record(size_t index = 0) {
    return *fake_tarvane::registry().records.at(index);
  }

  MemoryPool pool_;
  Mp4Writer writer_{fake_tarvane::Api(), Mp4Writer::Mode::kCallerDrives};
};

TEST_F(Mp4WriterTest, SamplesGoOutByTheirStampsFromTheFirstKeyFrame) {
  writer_.SetParameterSets(kSets, sizeof(kSets));
  ASSERT_EQ(writer_.Start("/tmp/a.mp4", Video(), Audio()), 0);
  Write(true, kStamp0 - 1920);
  Write(false, kStamp0 - 3600);  // not a key frame: not written
  Write(true, kStamp0 + 100);
  Write(false, kStamp0, true);
  Write(true, kStamp0 + 2020);
  Write(false, kStamp0 + 3600);
  Drain();
  // The parameter sets first, then the file from its key frame on.
  EXPECT_EQ(Record().Times(kTarvaneTagVideo), (std::vector<uint64_t>{0, 0, 40}));
  EXPECT_EQ(Record().Times(kTarvaneTagAudio), (std::vector<uint64_t>{1, 22}));
  EXPECT_EQ(Record().writes.at(0).data, std::vector<uint8_t>(kSets, kSets + sizeof(kSets)));
  EXPECT_TRUE(writer_.IsRecording());
  EXPECT_EQ(Reports::Get(), (Seen{{101, Mp4Writer::kStarted}}));
}

// What a host and the client see of recordings: an event for each file
// opened and closed (with its path), failures (no recorder object, a file
// that cannot be opened) with their reason, and statistics counting what
// was written.
TEST_F(Mp4WriterTest, HostEventsStatesAndStatisticsFollowTheRecordings) {
  struct Sink : EventSink {
    void Report(const PlenovaEvent& e) override { events.push_back({e.output, e.kind, e.text}); }
    struct Event {
      int output, kind;
      std::string text;
    };
    std::vector<Event> events;
  } sink;
  writer_.SetEventSink(&sink);
  ASSERT_EQ(writer_.Start("/tmp/a.mp4", Video(), Audio()), 0);
  Write(false, kStamp0, true);
  Write(true, kStamp0 + 100);
  Write(false, kStamp0 + 3600);
  Drain();
  PlenovaOutputStatistics stats{};
  writer_.CollectStatistics(&stats);
  EXPECT_EQ(stats.packets_sent, 3u);
  EXPECT_EQ(stats.bytes_sent, 24u);
  EXPECT_EQ(stats.queue_depth, 0u);
  EXPECT_EQ(stats.state, PLENOVA_EVENT_FILE_OPENED);
  writer_.Stop();
  Drain();
  fake_tarvane::registry().fail_create = true;
  EXPECT_EQ(writer_.Start("/tmp/b.mp4", Video(), Audio()), -1);
  fake_tarvane::registry().fail_create = false;
  fake_tarvane::registry().open_fails.insert("/missing/b.mp4");
  EXPECT_EQ(writer_.Start("/missing/b.mp4", Video(), Audio()), -1);
  EXPECT_FALSE(writer_.IsRecording());
  EXPECT_EQ(writer_.Stop(), -1);

  std::vector<int> kinds;
  for (const auto& e : sink.events) {
    EXPECT_EQ(e.output, PLENOVA_OUTPUT_MP4);
    kinds.push_back(e.kind);
  }
  EXPECT_EQ(kinds, (std::vector<int>{PLENOVA_EVENT_FILE_OPENED, PLENOVA_EVENT_FILE_CLOSED,
                                     PLENOVA_EVENT_FAILED, PLENOVA_EVENT_FAILED}));
  ASSERT_EQ(sink.events.size(), 4u);
  EXPECT_EQ(sink.events[0].text, "/tmp/a.mp4");
  EXPECT_EQ(sink.events[1].text, "/tmp/a.mp4");
  EXPECT_NE(sink.events[3].text.find("/missing/b.mp4"), std::string::npos);
  writer_.CollectStatistics(&stats);
  EXPECT_EQ(stats.state, PLENOVA_EVENT_FAILED);
  EXPECT_NE(std::string(stats.last_error).find("could not be created"), std::string::npos);
  EXPECT_EQ(Reports::Get(), (Seen{{101, Mp4Writer::kStarted},
                                  {101, Mp4Writer::kStopped},
                                  {101, Mp4Writer::kOpenFailed},
                                  {101, Mp4Writer::kOpenFailed}}));
}

TEST_F(Mp4WriterTest, AWriteErrorEndsTheRecordingAndItsQueuedSamples) {
  ASSERT_EQ(writer_.Start("/tmp/a.mp4", Video(), Audio()), 0);
  Record().video_write_result = -1;
  Record().video_failure_is_write_error = true;
  Write(false, kStamp0, true);
  Write(false, kStamp0 + 3600);
  Write(true, kStamp0 + 100);
  ASSERT_TRUE(writer_.ProcessOne());
  EXPECT_FALSE(writer_.IsRecording());
  Drain();
  EXPECT_EQ(Record().WriteCount(), 1u);
  EXPECT_EQ(Record().Stops(), 1);
  EXPECT_EQ(Reports::Get(), (Seen{{101, Mp4Writer::kStarted}, {101, Mp4Writer::kWriteError}}));
  // The next recording is a new file with a recorder of its own.
  EXPECT_EQ(writer_.Start("/tmp/b.mp4", Video(), Audio()), 0);
  EXPECT_EQ(fake_tarvane::registry().records.size(), 2u);
}

}  // namespace
}  // namespace plenova
