#pragma once

// Helpers shared by the plenova-record tests: scratch folders, a closed
// port, the program of this build, and decoding pictures back.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/MediaInspect.h"

namespace plenova::record::testing {

// The media checks shared by every test folder.
using plenova::testing::CommandResult;
using plenova::testing::DecodeErrors;
using plenova::testing::Probe;
using plenova::testing::ProbeResult;
using plenova::testing::RunCommand;
using plenova::testing::WorstFlashBeepDistance;

// A TCP socket bound to a free loopback port, listening when asked; a port
// bound but not listening refuses connections.
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listening);
  ~LoopbackPort();
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The plenova-record program of this build.
std::string RecorderProgram();

}  // namespace plenova::record::testing
