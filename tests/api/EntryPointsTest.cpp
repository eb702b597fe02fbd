// The library as a client sees it: only the public header and the two
// exported functions.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
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
  EXPECT_NE(log.find("_Plenoav_ Log::Path=" + (base / "LiveRecordLog").string()), std::string::npos);
  EXPECT_NE(log.find("Delete Plenova success : (nil)"), std::string::npos);
  EXPECT_NE(log.find("Function: PlenovaImp::PlenovaUnint _Plenova_ Terminate Start"), std::string::npos);
  fs::remove_all(base);
  fs::remove_all(other);
}

TEST(EntryPointsTest, LayoutInterfaceIsTheSameRecorder) {
  IPlenova* recorder = CreatePlenova(nullptr);
  ASSERT_NE(recorder, nullptr);
  IUpdateStreamInterface* layout = recorder->GetUpdateStreamInterface();
  ASSERT_NE(layout, nullptr);
  // Different sub-objects of one object: the layout interface is the first
  // base, the handle the client holds the second.
  EXPECT_NE(static_cast<void*>(layout), static_cast<void*>(recorder));
  EXPECT_EQ(recorder->GetUpdateStreamInterface(), layout);
  EXPECT_EQ(recorder->PlenovaInit(nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(recorder->PlenovaUnint(), 0);
  EXPECT_EQ(recorder->PlenovaUnint(), 0);
  DeletePlenova(recorder);
}

}  // namespace
