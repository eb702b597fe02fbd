#pragma once

// Synthetic encoded media for the output tests: H.264 from libx264 and
// AAC-LC from libavcodec, with content a decoder can check (read it back
// with tests/support/MediaInspect.h).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plenova::testing {

// Annex B access units without B-frames. Frame n is a flat picture of luma
// ExpectedLuma(n), so a decoded frame says which frame it was.
class H264Generator {
 public:
  H264Generator(int width, int height, int fps, int keyint);
  ~H264Generator();
  H264Generator(const H264Generator&) = delete;
  H264Generator& operator=(const H264Generator&) = delete;

  // SPS and PPS with start codes.
  std::vector<uint8_t> ParameterSets();
  // The next access unit (SPS/PPS in band before key frames) and whether it
  // is a key frame.
  std::vector<uint8_t> Next(bool* key);
  static int ExpectedLuma(int frame) { return 40 + (frame / 25) % 8 * 20; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// AAC-LC frames of 1024 samples of a 440 Hz tone, raw or behind ADTS.
class AacGenerator {
 public:
  AacGenerator(int rate, int channels);
  ~AacGenerator();
  AacGenerator(const AacGenerator&) = delete;
  AacGenerator& operator=(const AacGenerator&) = delete;

  std::vector<uint8_t> Next(bool adts);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A fresh folder under the build tree (or /tmp) for one test's files.
std::string TestOutputDir(const std::string& name);

}  // namespace plenova::testing
