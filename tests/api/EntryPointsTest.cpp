// The library as a client sees it: only the public header and the two
// exported functions.

#include <gtest/gtest.h>

#include <cstddef>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "api/Plenova.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The first CreatePlenova of a process sets up the log; the order of the
// calls matters, so one test walks through them.
TEST(EntryPointsTest, FirstCallSetsUpTheLogAndLaterCallsDoNot) {
  const fs::path base = fs::path(::testing::TempDir()) / ("entry_" + std::to_string(::getpid()));
  const fs::path other = base.string() + "_other";
  fs::create_directories(base);
  fs::create_directories(other);
  ASSERT_FALSE(fs::exists(base / "LiveRecordLog"));

  ::testing::internal::CaptureStdout();
  IPlenova* first = CreatePlenova(base.c_str());
  const std::string printed = ::testing::internal::GetCapturedStdout();
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(fs::is_directory(base / "LiveRecordLog"));
  EXPECT_EQ(printed, (base / "Log.xml").string() + "\n" + (base / "LiveRecordLog").string() + "\n");

  IPlenova* second = CreatePlenova(other.c_str());
  ASSERT_NE(second, nullptr);
  EXPECT_FALSE(fs::exists(other / "LiveRecordLog"));

  DeletePlenova(second);
  DeletePlenova(first);
  DeletePlenova(nullptr);

  const std::string log = ReadAll(base / "LiveRecordLog" / "Plenova.log");
  EXPECT_NE(log.find("_Plenoav_ Log::Path=" + (base / "LiveRecordLog").string()),
            std::string::npos);
  fs::remove_all(base);
  fs::remove_all(other);
}

// The vtable slot of a virtual function of IPlenova. In the Itanium C++ ABI
// a pointer to a virtual member function holds 1 + the slot's byte offset.
template <typename Function>
size_t SlotOf(Function IPlenova::*member) {
  uintptr_t words[2];
  static_assert(sizeof(member) == sizeof(words));
  std::memcpy(words, &member, sizeof(words));
  return (words[0] - 1) / sizeof(void*);
}

// A client built against an older header calls the original operations by
// their slots: none may move, and later operations come after them (slots 0
// and 1 are the destructor's two entries).
TEST(EntryPointsTest, OperationsKeepTheirSlotsAndLaterOnesComeAfterThem) {
  EXPECT_EQ(SlotOf(&IPlenova::GetUpdateStreamInterface), 2u);
  EXPECT_EQ(SlotOf(&IPlenova::PlenovaInit), 3u);
  EXPECT_EQ(SlotOf(&IPlenova::PlenovaUnint), 4u);
  EXPECT_EQ(SlotOf(&IPlenova::SetAuidoParam), 5u);
  EXPECT_EQ(SlotOf(&IPlenova::SetVideoParam), 6u);
  EXPECT_EQ(SlotOf(&IPlenova::StartMp4Record), 7u);
  EXPECT_EQ(SlotOf(&IPlenova::StopMp4Record), 8u);
  EXPECT_EQ(SlotOf(&IPlenova::SetMp4RecordCallback), 9u);
  EXPECT_EQ(SlotOf(&IPlenova::PushAudioFrame), 10u);
  EXPECT_EQ(SlotOf(&IPlenova::PushVideoFrame), 11u);
  EXPECT_EQ(SlotOf(&IPlenova::StopRecord), 12u);
  EXPECT_EQ(SlotOf(&IPlenova::StartRecord), 13u);
  EXPECT_EQ(SlotOf(&IPlenova::GetVersion), 14u);
  EXPECT_EQ(SlotOf(&IPlenova::SetTargetDelay), 15u);
  EXPECT_EQ(SlotOf(&IPlenova::SetEventCallback), 16u);
  EXPECT_EQ(SlotOf(&IPlenova::GetStatistics), 17u);

  IPlenova* recorder = CreatePlenova(nullptr);
  ASSERT_NE(recorder, nullptr);
  EXPECT_STREQ(recorder->GetVersion(), PLENOVA_VERSION_STRING);
  DeletePlenova(recorder);
}

// The records a host reads cross the library's boundary: their layout only
// ever grows at the end.
static_assert(sizeof(PlenovaEvent) == 40 && offsetof(PlenovaEvent, text) == 32);
static_assert(sizeof(PlenovaOutputStatistics) == 184 &&
              offsetof(PlenovaOutputStatistics, last_error) == 56);
static_assert(sizeof(PlenovaStreamStatistics) == 112 &&
              offsetof(PlenovaStreamStatistics, accepted) == 72);
static_assert(offsetof(PlenovaStatistics, outputs) == 8 &&
              offsetof(PlenovaStatistics, streams) == 560 &&
              offsetof(PlenovaStatistics, canvases_composed) == 4144 &&
              sizeof(PlenovaStatistics) == 4208);

// A host built against an older, shorter record gets what fits in it; one
// without room for the head is refused.
TEST(EntryPointsTest, StatisticsFillWhatTheCallersRecordHolds) {
  IPlenova* recorder = CreatePlenova(nullptr);
  ASSERT_NE(recorder, nullptr);
  EXPECT_EQ(recorder->GetStatistics(nullptr), -1);
  PlenovaStatistics stats{};
  stats.size = 4;
  EXPECT_EQ(recorder->GetStatistics(&stats), -1);
  stats.size = offsetof(PlenovaStatistics, streams);
  stats.canvases_composed = 77;
  EXPECT_EQ(recorder->GetStatistics(&stats), 0);
  EXPECT_EQ(stats.size, offsetof(PlenovaStatistics, streams));
  EXPECT_EQ(stats.canvases_composed, 77u);  // beyond the caller's size: untouched
  stats.size = sizeof stats;
  EXPECT_EQ(recorder->GetStatistics(&stats), 0);
  EXPECT_EQ(stats.size, sizeof stats);
  EXPECT_EQ(stats.canvases_composed, 0u);
  EXPECT_EQ(stats.target_delay_ms, 60u);
  EXPECT_EQ(recorder->SetEventCallback(nullptr, nullptr), 0);
  DeletePlenova(recorder);
}

}  // namespace
