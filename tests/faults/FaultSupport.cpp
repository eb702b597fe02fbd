#include "tests/faults/FaultSupport.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

namespace plenova::testing {

Meeting FlashAndBeep(bool with_voice) {
  Meeting m;
  VideoParticipant flash = Participant("flash", Colour{60, 128, 128}, 0, 0, 640, 720);
  flash.flash = true;
  m.video = {flash, Participant("blue", kBlue, 640, 0, 640, 720)};
  m.audio = {Voice("beep", 0, /*beep=*/true)};
  if (with_voice) m.audio.push_back(Voice("voice", 440));
  return m;
}

bool FullFaults() {
  const char* full = std::getenv("PLENOVA_FAULTS_FULL");
  return full != nullptr && std::string(full) == "1";
}

double FaultSeconds(double short_value, double full_value) {
  return FullFaults() ? full_value : short_value;
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

}  // namespace plenova::testing
