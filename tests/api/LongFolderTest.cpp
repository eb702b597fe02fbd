// The first CreatePlenova of this process names a folder too long for the
// log paths: the log stays closed, writes stay harmless, and the recorder is
// still created.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "api/Plenova.h"

namespace {

TEST(LongFolderTest, RefusesTheLogButCreatesTheRecorder) {
  const std::string folder = ::testing::TempDir() + std::string(246, 'x');
  ::testing::internal::CaptureStderr();
  IPlenova* recorder = CreatePlenova(folder.c_str());
  const std::string errors = ::testing::internal::GetCapturedStderr();
  ASSERT_NE(recorder, nullptr);
  EXPECT_NE(errors.find("longer than 245 characters"), std::string::npos) << errors;
  EXPECT_FALSE(std::filesystem::exists(folder));
  EXPECT_EQ(recorder->PlenovaUnint(), 0);  // logs into the closed log: harmless
  DeletePlenova(recorder);
}

}  // namespace
