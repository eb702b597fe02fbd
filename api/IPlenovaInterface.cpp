// The library's two exported entry points and the process's log set-up.

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "api/Plenova.h"
#include "fflog/FfLog.h"
#include "log/PlenovaLog.h"
#include "platform/FileSystem.h"
#include "recorder/EngineComponents.h"
#include "recorder/PlenovaImp.h"

namespace {

// Paths are kept within 260 bytes: the base folder may have at most 245
// characters so that "/LiveRecordLog" and its terminator fit.
constexpr size_t kMaxBaseFolder = 245;

// Guards the one-time log set-up against concurrent first calls.
std::mutex g_first_call_mutex;
bool g_first_call = true;

// FFmpeg's lines in the engine log, at the level FfLog chose.
void WriteFfmpegLine(int level, const char* line, void* /*context*/) {
  switch (level) {
    case Log::kError: PLN_RAW_ERROR("_FFmpeg_ %s", line); break;
    case Log::kWarning: PLN_RAW_WARNING("_FFmpeg_ %s", line); break;
    case Log::kMessage: PLN_RAW_MESSAGE("_FFmpeg_ %s", line); break;
    default: PLN_RAW_DEBUG("_FFmpeg_ %s", line); break;
  }
}

// Gives FFmpeg its default log callback back when the engine is unloaded, so
// that no FFmpeg message reaches WriteFfmpegLine once it is gone.
struct FfmpegLogRoute {
  bool routed = false;  // set under g_first_call_mutex, read at unload
  ~FfmpegLogRoute() {
    if (routed) FfLogRestore();
  }
};
FfmpegLogRoute g_ffmpeg_log_route;

void OpenLogOnce(const char* dir) {
  std::lock_guard<std::mutex> lock(g_first_call_mutex);
  if (!g_first_call) return;
  g_first_call = false;

  const std::string base = dir != nullptr ? std::string(dir) : plenova::platform::ExecutableDir();
  if (base.empty() || base.size() > kMaxBaseFolder) {
    std::fprintf(stderr, "Plenova: log folder base '%s' is %s; the log stays closed\n",
                 base.c_str(), base.empty() ? "empty" : "longer than 245 characters");
    return;
  }
  const std::string log_folder = base + "/LiveRecordLog";
  if (!plenova::platform::DirExists(log_folder)) {
    PLN_LOG_ERROR("configPath is not exist ,create it");
    plenova::platform::CreateDir(log_folder);
  }
  const std::string config_file = base + "/Log.xml";
  std::printf("%s\n", config_file.c_str());
  std::printf("%s\n", log_folder.c_str());
  std::fflush(stdout);
  const bool opened =
      Log::open2(true, "name=Plenova", false, config_file.c_str(), log_folder.c_str());
  PLN_RAW_ERROR("_Plenoav_ Log::Path=%s", log_folder.c_str());
  // FFmpeg's messages follow the engine's into its log unless Log.xml leaves
  // them to the host (which may have set its own FFmpeg log callback).
  if (opened && Log::ffmpegToLog()) {
    g_ffmpeg_log_route.routed = FfLogRoute(&WriteFfmpegLine, nullptr, Log::level()) == 0;
  }
}

}  // namespace

PLENOVA_API IPlenova* CreatePlenova(const char* dir) {
  OpenLogOnce(dir);
  plenova::PlenovaComponents components = plenova::MakeEngineComponents();
  if (!components.complete()) {
    PLN_RAW_ERROR("CreatePlenova: an engine component could not be allocated");
    return nullptr;
  }
  auto* recorder = new (std::nothrow) plenova::PlenovaImp(std::move(components));
  if (recorder == nullptr) return nullptr;
  return recorder;  // the IPlenova base, not the object's first address
}

PLENOVA_API void DeletePlenova(IPlenova* recorder) {
  PLN_RAW_ERROR("Delete Plenova : %p", static_cast<void*>(recorder));
  if (recorder != nullptr) {
    recorder->PlenovaUnint();
    delete recorder;
  }
  PLN_RAW_ERROR("Delete Plenova success : %p", static_cast<void*>(recorder));
}
