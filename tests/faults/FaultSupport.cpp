#include "tests/faults/FaultSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/MediaInspect.h"

namespace plenova::testing {

namespace fs = std::filesystem;

bool FullFaults() {
  const char* full = std::getenv("PLENOVA_FAULTS_FULL");
  return full != nullptr && std::string(full) == "1";
}

double FaultSeconds(double short_value, double full_value) {
  return FullFaults() ? full_value : short_value;
}

std::string FaultFolder(const std::string& name) {
  const fs::path dir = fs::path(::testing::TempDir()) /
                       ("plenova_fault_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  return dir.string();
}

namespace {

std::string Script() {
  const char* root = std::getenv("PLENOVA_SOURCE_DIR");
  return std::string(root == nullptr ? "." : root) + "/scripts/rtmp-server.sh";
}

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

}  // namespace

bool RtmpServer::Start() {
  if (!prefix_.empty()) return true;
  prefix_ = Run(Script() + " start " + std::to_string(port_) + " '" + record_dir_ + "'");
  return !prefix_.empty();
}

void RtmpServer::Stop() {
  if (prefix_.empty()) return;
  Run(Script() + " stop '" + prefix_ + "'");
  prefix_.clear();
}

void RtmpServer::Kill() {
  if (prefix_.empty()) return;
  std::ifstream pid_file(prefix_ + "/master.pid");
  pid_t master = 0;
  pid_file >> master;
  if (master > 0) {
    std::istringstream workers(Run("ps -o pid= --ppid " + std::to_string(master)));
    pid_t worker = 0;
    while (workers >> worker) ::kill(worker, SIGKILL);
    ::kill(master, SIGKILL);
    // The master is the script's background job, reparented to init once
    // the script ended; wait until its port is free again.
    for (int i = 0; i < 100 && ::kill(master, 0) == 0; ++i) ::usleep(20000);
  }
  fs::remove_all(prefix_);
  prefix_.clear();
}

std::string RtmpServer::Url(const std::string& stream) const {
  return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + stream;
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

long ResidentKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

double LargestPictureGap(const Decoded& decoded, double from) {
  double gap = 0;
  for (size_t i = 1; i < decoded.picture_times.size(); ++i)
    if (decoded.picture_times[i - 1] >= from)
      gap = std::max(gap, decoded.picture_times[i] - decoded.picture_times[i - 1]);
  return gap;
}

namespace {

// Where the audio track of `path` jumps forward: (decoded seconds before the
// jump, length of the jump). The decoder hands the samples on without the
// holes, so beep times found in them are moved by the jumps before them.
std::vector<std::pair<double, double>> AudioJumps(const std::string& path) {
  std::vector<std::pair<double, double>> jumps;
  std::istringstream packets(Run("ffprobe -v error -select_streams a -show_entries "
                                 "packet=pts_time,duration_time -of csv=p=0 '" + path + "'"));
  std::string line;
  // The muxer may give the packet before a jump the length of the jump.
  double first = -1, expected = 0, moved = 0, frame = 0;
  while (std::getline(packets, line)) {
    double pts = 0, duration = 0;
    if (std::sscanf(line.c_str(), "%lf,%lf", &pts, &duration) != 2) continue;
    if (first < 0) {
      first = expected = pts;
      frame = duration;
    }
    if (pts - expected > 0.05) {
      jumps.emplace_back(expected - first - moved, pts - expected);
      moved += pts - expected;
    }
    expected = pts + std::min(duration, frame);
  }
  return jumps;
}

}  // namespace

double WorstFlashBeepDistance(const std::string& path, int x, int y, int w, int h, double from,
                              size_t min_flashes) {
  DecodeOptions options;
  options.probe_x = x;
  options.probe_y = y;
  options.probe_w = w;
  options.probe_h = h;
  const Decoded decoded = Decode(path, options);
  if (!decoded.ok) return -1;
  std::vector<double> beeps = ToneOnsets(decoded.sound, MeetingClient::kBeepHz);
  const auto jumps = AudioJumps(path);
  for (double& b : beeps) {
    double moved = 0;
    for (const auto& [at, length] : jumps)
      if (b >= at) moved += length;
    b += decoded.sound.start_time + moved;
  }
  double worst = 0;
  size_t flashes = 0;
  for (double f : Rises(decoded.picture_times, decoded.probe_luma, 160)) {
    if (f < from) continue;
    ++flashes;
    double nearest = 1e9;
    for (double b : beeps) nearest = std::min(nearest, std::fabs(b - f));
    worst = std::max(worst, nearest);
  }
  return flashes < min_flashes ? -1 : worst;
}

}  // namespace plenova::testing
