#pragma once

// Shared pieces of the fault tests: private RTMP servers that can be killed,
// temporary folders and the short/full switch.

#include <sys/types.h>

#include <string>

#include "tests/integration/MeetingClient.h"

namespace plenova::testing {

// PLENOVA_FAULTS_FULL=1 selects the long form of every fault.
bool FullFaults();
// `short_value` normally, `full_value` in the long form.
double FaultSeconds(double short_value, double full_value);

// A private nginx RTMP server on 127.0.0.1:port started with
// scripts/rtmp-server.sh, recording into record_dir.
class RtmpServer {
 public:
  RtmpServer(int port, std::string record_dir) : port_(port), record_dir_(std::move(record_dir)) {}
  ~RtmpServer() { Stop(); }
  RtmpServer(const RtmpServer&) = delete;
  RtmpServer& operator=(const RtmpServer&) = delete;

  bool Start();
  // Graceful stop: the recordings are finished.
  void Stop();
  // SIGKILL of the master and its workers, as in a crash.
  void Kill();
  std::string Url(const std::string& stream) const;
  std::string Recording(const std::string& stream) const { return record_dir_ + "/" + stream + ".flv"; }

 private:
  int port_;
  std::string record_dir_;
  std::string prefix_;  // empty while stopped
};

// A TCP port on 127.0.0.1 that was free a moment ago (bound, read back and
// released); 0 when none could be had.
int FreeLoopbackPort();

// The size of a file, 0 when it does not exist.
long long FileSize(const std::string& path);
// Resident set size of this process in KiB.
long ResidentKib();

}  // namespace plenova::testing
