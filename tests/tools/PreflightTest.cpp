#include <gtest/gtest.h>

#include <fstream>

#include "tests/tools/ToolTestSupport.h"
#include "tools/plenova-record/PngWriter.h"
#include "tools/plenova-record/Preflight.h"

namespace plenova::record {
namespace {

using testing::TempDir;

TEST(Preflight, OutputFolderIsCreatedOrRefusedWithItsName) {
  TempDir dir;
  std::string error;
  const std::string nested = dir.File("a/b/c");
  EXPECT_TRUE(CheckOutputFolder(nested, &error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(nested));
  EXPECT_TRUE(std::filesystem::is_empty(nested)) << "the probe file is removed";
  std::ofstream(dir.File("file")) << "x";
  EXPECT_FALSE(CheckOutputFolder(dir.File("file/sub"), &error));
  EXPECT_NE(error.find(dir.File("file/sub")), std::string::npos) << error;
}

TEST(Preflight, DefaultMp4PathIsTimeStampedUnderPlenovaMp4) {
  std::tm when{};
  when.tm_year = 2026 - 1900;
  when.tm_mon = 11;
  when.tm_mday = 5;
  when.tm_hour = 20;
  when.tm_min = 7;
  when.tm_sec = 9;
  when.tm_isdst = -1;
  EXPECT_EQ(DefaultMp4Path(std::mktime(&when)), "PlenovaMp4/plenova-20261205-200709.mp4");
}

TEST(PngWriter, WritesTheCanvasSizeAndItsColours) {
  TempDir dir;
  const int w = 320;
  const int h = 180;
  // Left half pure red, right half mid grey (BT.601 limited range).
  std::vector<uint8_t> canvas(w * h * 3 / 2);
  uint8_t* y = canvas.data();
  uint8_t* u = y + w * h;
  uint8_t* v = u + w * h / 4;
  for (int row = 0; row < h; ++row) {
    for (int col = 0; col < w; ++col) y[row * w + col] = col < w / 2 ? 81 : 126;
  }
  for (int row = 0; row < h / 2; ++row) {
    for (int col = 0; col < w / 2; ++col) {
      u[row * w / 2 + col] = col < w / 4 ? 90 : 128;
      v[row * w / 2 + col] = col < w / 4 ? 240 : 128;
    }
  }
  std::string error;
  const std::string path = dir.File("preview.png");
  ASSERT_TRUE(WriteI420AsPng(path, canvas.data(), w, h, &error)) << error;
  EXPECT_FALSE(std::filesystem::exists(path + ".part"));
  testing::RgbImage image;
  ASSERT_TRUE(testing::DecodePng(path, &image));
  EXPECT_EQ(image.width, w);
  EXPECT_EQ(image.height, h);
  const uint8_t* red = image.At(40, 90);
  EXPECT_GE(red[0], 235);
  EXPECT_LE(red[1], 20);
  EXPECT_LE(red[2], 20);
  const uint8_t* grey = image.At(280, 90);
  EXPECT_NEAR(grey[0], 128, 6);
  EXPECT_NEAR(grey[1], 128, 6);
  EXPECT_NEAR(grey[2], 128, 6);
  EXPECT_FALSE(WriteI420AsPng(dir.File("missing/preview.png"), canvas.data(), w, h, &error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

}  // namespace
}  // namespace plenova::record
