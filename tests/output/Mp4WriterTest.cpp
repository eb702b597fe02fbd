#include "output/Mp4Writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "common/EventSink.h"
#include "common/MemoryPool.h"
#include "tests/output/fakes/FakeTarvane.h"

namespace plenova {
namespace {

constexpr uint64_t kStamp0 = 5'000'000'000ull;
const uint8_t kSets[] = {0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xCE};

Mp4VideoDesc Video(int32_t width = 1280, int32_t height = 720) {
  return {1500000, width, height, 25, kTarvaneCodecH264, kTarvanePixelI420};
}
Mp4AudioDesc Audio() { return {kTarvaneCodecAac, 64000, 48000, 2, 16}; }

// The client's callbacks: what each writer reported, in order.
struct Reports {
  static inline std::mutex mutex;  // guards `seen`; the writer's threads and the test
  static inline std::vector<std::pair<int, int>> seen;
  static void First(int id, int state) { Add(100 + id, state); }
  static void Second(int id, int state) { Add(200 + id, state); }
  static void Add(int id, int state) {
    std::lock_guard lock(mutex);
    seen.emplace_back(id, state);
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

class Mp4WriterTest : public ::testing::Test {
 protected:
  Mp4WriterTest() {
    fake_tarvane::Reset();
    Reports::Clear();
    writer_.SetStateCallback(1, &Reports::First);
  }

  void Write(Mp4Writer& writer, bool audio, uint64_t stamp, bool key = false) {
    PoolBuffer* buffer = pool_.GetEmptyBuffer(8);
    const uint8_t bytes[8] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41), 1, 2, 3};
    std::memcpy(buffer->data, bytes, sizeof(bytes));
    buffer->len = sizeof(bytes);
    buffer->timestamp = stamp;
    AVSample sample{audio ? kStreamTypeAudio : kStreamTypeVideo, static_cast<uint8_t>(key ? 1 : 0),
                    buffer};
    writer.Write(sample, &pool_);
    pool_.PutEmptyBuffer(buffer);
  }
  void Drain(Mp4Writer& writer) {
    while (writer.ProcessOne()) {
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
  Write(writer_, true, kStamp0 - 1920);
  Write(writer_, false, kStamp0 - 3600);  // not a key frame: not written
  Write(writer_, true, kStamp0 + 100);
  Write(writer_, false, kStamp0, true);
  Write(writer_, true, kStamp0 + 2020);
  Write(writer_, false, kStamp0 + 3600);
  Drain(writer_);
  // The parameter sets first, then the file from its key frame on.
  EXPECT_EQ(Record().Times(kTarvaneTagVideo), (std::vector<uint64_t>{0, 0, 40}));
  EXPECT_EQ(Record().Times(kTarvaneTagAudio), (std::vector<uint64_t>{1, 22}));
  EXPECT_EQ(Record().writes.at(0).data, std::vector<uint8_t>(kSets, kSets + sizeof(kSets)));
  EXPECT_TRUE(writer_.IsRecording());
  EXPECT_EQ(Reports::Get(), (Seen{{101, Mp4Writer::kStarted}}));
}

// Stop returns at once; the file is finished behind what was queued for it,
// and its last state comes from the library.
TEST_F(Mp4WriterTest, StopFinishesBehindTheQueuedSamples) {
  ASSERT_EQ(writer_.Start("/tmp/a.mp4", Video(), Audio()), 0);
  Write(writer_, false, kStamp0, true);
  Write(writer_, false, kStamp0 + 3600);
  EXPECT_EQ(writer_.Stop(), 0);
  EXPECT_FALSE(writer_.IsRecording());
  EXPECT_EQ(writer_.Stop(), -1);
  EXPECT_EQ(Record().Stops(), 0);
  Drain(writer_);
  EXPECT_EQ(Record().Times(kTarvaneTagVideo).size(), 2u);
  EXPECT_EQ(Record().Stops(), 1);
  EXPECT_TRUE(Record().destroyed);
  EXPECT_EQ(Reports::Get(), (Seen{{101, Mp4Writer::kStarted}, {101, Mp4Writer::kStopped}}));
}

// The library's states pass through, nothing-recorded included, each once.
class LastStateTest : public Mp4WriterTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(LastStateTest, TheLibrarysLastStateReachesTheClientOnce) {
  ASSERT_EQ(writer_.Start("/tmp/a.mp4", Video(), Audio()), 0);
  Record().stop_state = GetParam();
  Write(writer_, true, kStamp0);
  writer_.Stop();
  Drain(writer_);
  EXPECT_EQ(Reports::Get(),
            (Seen{{101, Mp4Writer::kStarted}, {101, static_cast<int>(GetParam())}}));
}

INSTANTIATE_TEST_SUITE_P(States, LastStateTest,
                         ::testing::Values(kTarvaneStopped, kTarvaneNothingRecorded));

TEST_F(Mp4WriterTest, AFileThatCannotBeOpenedIsReportedAndNotRecording) {
  fake_tarvane::registry().open_fails.insert("/missing/a.mp4");
  EXPECT_EQ(writer_.Start("/missing/a.mp4", Video(), Audio()), -1);
  EXPECT_FALSE(writer_.IsRecording());
  EXPECT_EQ(writer_.Stop(), -1);
  fake_tarvane::registry().fail_create = true;
  EXPECT_EQ(writer_.Start("/tmp/b.mp4", Video(), Audio()), -1);
  fake_tarvane::registry().fail_create = false;
  EXPECT_EQ(writer_.Start("/tmp/c.mp4", Video(), Audio()), 0);
  EXPECT_EQ(Reports::Get(), (Seen{{101, Mp4Writer::kOpenFailed},
                                  {101, Mp4Writer::kOpenFailed},
                                  {101, Mp4Writer::kStarted}}));
  EXPECT_TRUE(writer_.IsRecording());
}

TEST_F(Mp4WriterTest, AWriteErrorEndsTheRecordingAndItsQueuedSamples) {
  ASSERT_EQ(writer_.Start("/tmp/a.mp4", Video(), Audio()), 0);
  Record().video_write_result = -1;
  Record().video_failure_is_write_error = true;
  Write(writer_, false, kStamp0, true);
  Write(writer_, false, kStamp0 + 3600);
  Write(writer_, true, kStamp0 + 100);
  ASSERT_TRUE(writer_.ProcessOne());
  EXPECT_FALSE(writer_.IsRecording());
  Drain(writer_);
  EXPECT_EQ(Record().WriteCount(), 1u);
  EXPECT_EQ(Record().Stops(), 1);
  EXPECT_EQ(Reports::Get(), (Seen{{101, Mp4Writer::kStarted}, {101, Mp4Writer::kWriteError}}));
  // The next recording is a new file with a recorder of its own.
  EXPECT_EQ(writer_.Start("/tmp/b.mp4", Video(), Audio()), 0);
  EXPECT_EQ(fake_tarvane::registry().records.size(), 2u);
}

// What a host sees of recordings: an event for each file opened and closed
// (with its path), failures with their reason, and statistics counting what
// was written and what was lost.
TEST_F(Mp4WriterTest, HostEventsAndStatisticsFollowTheRecordings) {
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
  Write(writer_, false, kStamp0, true);
  Write(writer_, true, kStamp0 + 100);
  Write(writer_, false, kStamp0 + 3600);
  Drain(writer_);
  PlenovaOutputStatistics stats{};
  writer_.CollectStatistics(&stats);
  EXPECT_EQ(stats.packets_sent, 3u);
  EXPECT_EQ(stats.bytes_sent, 24u);
  EXPECT_EQ(stats.queue_depth, 0u);
  EXPECT_EQ(stats.state, PLENOVA_EVENT_FILE_OPENED);
  writer_.Stop();
  Drain(writer_);
  fake_tarvane::registry().open_fails.insert("/missing/b.mp4");
  EXPECT_EQ(writer_.Start("/missing/b.mp4", Video(), Audio()), -1);

  std::vector<int> kinds;
  for (const auto& e : sink.events) {
    EXPECT_EQ(e.output, PLENOVA_OUTPUT_MP4);
    kinds.push_back(e.kind);
  }
  EXPECT_EQ(kinds, (std::vector<int>{PLENOVA_EVENT_FILE_OPENED, PLENOVA_EVENT_FILE_CLOSED,
                                     PLENOVA_EVENT_FAILED}));
  ASSERT_EQ(sink.events.size(), 3u);
  EXPECT_EQ(sink.events[0].text, "/tmp/a.mp4");
  EXPECT_EQ(sink.events[1].text, "/tmp/a.mp4");
  EXPECT_NE(sink.events[2].text.find("/missing/b.mp4"), std::string::npos);
  writer_.CollectStatistics(&stats);
  EXPECT_EQ(stats.state, PLENOVA_EVENT_FAILED);
  EXPECT_NE(std::string(stats.last_error).find("could not be created"), std::string::npos);
}

// Each writer's recordings report to its own callback only.
TEST_F(Mp4WriterTest, TwoWritersReportToTheirOwnCallbacks) {
  Mp4Writer other(fake_tarvane::Api(), Mp4Writer::Mode::kCallerDrives);
  other.SetStateCallback(2, &Reports::Second);
  ASSERT_EQ(writer_.Start("/tmp/a.mp4", Video(), Audio()), 0);
  ASSERT_EQ(other.Start("/tmp/b.mp4", Video(), Audio()), 0);
  other.Stop();
  Drain(other);
  writer_.Stop();
  Drain(writer_);
  EXPECT_EQ(Reports::Get(), (Seen{{101, Mp4Writer::kStarted},
                                  {202, Mp4Writer::kStarted},
                                  {202, Mp4Writer::kStopped},
                                  {101, Mp4Writer::kStopped}}));
}

TEST_F(Mp4WriterTest, ARestartedTimelineGoesOnInTheSameFile) {
  ASSERT_EQ(writer_.Start("/tmp/a.mp4", Video(), Audio()), 0);
  Write(writer_, false, kStamp0, true);
  Write(writer_, false, kStamp0 + 3600);
  writer_.RestartTimeline();
  Write(writer_, true, 1000);
  Write(writer_, false, 0, true);
  Write(writer_, false, 3600);
  Drain(writer_);
  EXPECT_EQ(Record().Times(kTarvaneTagVideo), (std::vector<uint64_t>{0, 40, 80, 120}));
  EXPECT_EQ(Record().Times(kTarvaneTagAudio), (std::vector<uint64_t>{91}));
  EXPECT_EQ(fake_tarvane::registry().records.size(), 1u);
}

TEST_F(Mp4WriterTest, DestructionFinishesTheRunningFile) {
  {
    Mp4Writer writer(fake_tarvane::Api(), Mp4Writer::Mode::kCallerDrives);
    writer.SetStateCallback(3, &Reports::First);
    ASSERT_EQ(writer.Start("/tmp/a.mp4", Video(), Audio()), 0);
    Write(writer, false, kStamp0, true);
  }
  EXPECT_EQ(Record().WriteCount(), 1u);
  EXPECT_EQ(Record().Stops(), 1);
  EXPECT_TRUE(Record().destroyed);
  EXPECT_EQ(Reports::Get().back(), std::make_pair(103, static_cast<int>(Mp4Writer::kStopped)));
}

// A disk that stops answering: the writer's thread waits on it, nothing
// else does. The queue fills, the recording ends with a write error at
// once, and the file is finished once the disk answers again.
TEST(Mp4WriterThread, ADiskThatStopsNeverHoldsUpTheCaller) {
  fake_tarvane::Reset();
  Reports::Clear();
  MemoryPool pool;
  Mp4Writer writer(fake_tarvane::Api());
  writer.SetStateCallback(4, &Reports::First);
  ASSERT_EQ(writer.Start("/tmp/slow.mp4", Video(), Audio()), 0);
  fake_tarvane::FakeRecord& record = *fake_tarvane::registry().records.at(0);
  record.Hold();
  const auto write = [&](uint64_t stamp, bool key) {
    PoolBuffer* buffer = pool.GetEmptyBuffer(8);
    const uint8_t bytes[8] = {0, 0, 0, 1, static_cast<uint8_t>(key ? 0x65 : 0x41), 1, 2, 3};
    std::memcpy(buffer->data, bytes, sizeof(bytes));
    buffer->len = sizeof(bytes);
    buffer->timestamp = stamp;
    AVSample sample{kStreamTypeVideo, static_cast<uint8_t>(key ? 1 : 0), buffer};
    writer.Write(sample, &pool);
    pool.PutEmptyBuffer(buffer);
  };
  write(kStamp0, true);
  record.WaitUntilBlocked();
  for (size_t n = 1; n <= Mp4Writer::kMaxQueuedItems + 10; ++n) write(kStamp0 + 3600 * n, false);
  EXPECT_FALSE(writer.IsRecording());
  EXPECT_EQ(Reports::Get(), (Seen{{104, Mp4Writer::kStarted}, {104, Mp4Writer::kWriteError}}));
  // Another file can start while the disk is still stuck.
  ASSERT_EQ(writer.Start("/tmp/next.mp4", Video(), Audio()), 0);
  record.Release();
}

}  // namespace
}  // namespace plenova
