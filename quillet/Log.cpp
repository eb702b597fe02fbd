#include "quillet/Log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <vector>

#include "quillet/LogConfig.h"

namespace {

struct State {
  // Guards opening; writers never take it.
  std::mutex open_mutex;
  std::atomic<bool> opened{false};
  std::shared_ptr<spdlog::logger> logger;  // written once under open_mutex
  std::atomic<spdlog::logger*> active{nullptr};
  std::atomic<int> level{Log::kMessage};
  std::atomic<uint64_t> max_file_size{quillet::LogConfig{}.max_file_size};
  std::atomic<int> max_files{quillet::LogConfig{}.max_files};
  std::atomic<bool> ffmpeg_to_log{quillet::LogConfig{}.ffmpeg_to_log};
  // Guards the hook pair; writers take it shared, setLineHook exclusively.
  std::shared_mutex hook_mutex;
  Log::LineHook hook = nullptr;
  void* hook_context = nullptr;
};

State& state() {
  static State* s = new State;  // never destroyed: writers may run during exit
  return *s;
}

spdlog::level::level_enum ToSpd(int level) {
  switch (level) {
    case Log::kDebug: return spdlog::level::debug;
    case Log::kMessage: return spdlog::level::info;
    case Log::kWarning: return spdlog::level::warn;
    default: return spdlog::level::err;
  }
}

std::string OptionValue(const char* options, const std::string& key) {
  if (options == nullptr) return {};
  std::stringstream in(options);
  std::string item;
  while (std::getline(in, item, ';')) {
    const auto eq = item.find('=');
    if (eq != std::string::npos && item.substr(0, eq) == key) return item.substr(eq + 1);
  }
  return {};
}

void Emit(int level, const char* format, va_list args) {
  char stack[1024];
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(stack, sizeof(stack), format, copy);
  va_end(copy);
  if (n < 0) return;
  std::vector<char> heap;
  const char* line = stack;
  if (static_cast<size_t>(n) >= sizeof(stack)) {
    heap.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(heap.data(), heap.size(), format, args);
    line = heap.data();
  }

  State& s = state();
  {
    std::shared_lock<std::shared_mutex> lock(s.hook_mutex);
    if (s.hook != nullptr) s.hook(level, line, s.hook_context);
  }
  if (level < s.level.load(std::memory_order_relaxed)) return;
  if (spdlog::logger* logger = s.active.load(std::memory_order_acquire))
    logger->log(ToSpd(level), "{}", line);
}

}  // namespace

bool Log::open2(bool enable, const char* options, bool /*console*/, const char* config_path,
                const char* log_dir) {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.open_mutex);
  if (s.opened.load()) return true;
  if (!enable || log_dir == nullptr) return false;

  quillet::LogConfig config;
  std::string config_problem;
  if (config_path != nullptr && config_path[0] != '\0') {
    std::ifstream file(config_path);
    if (file) {
      std::stringstream text;
      text << file.rdbuf();
      if (!quillet::ParseLogConfig(text.str(), &config, &config_problem))
        config = quillet::LogConfig{};
    } else {
      config_problem = std::string("cannot read ") + config_path;
    }
  }
  s.level.store(config.level);
  s.max_file_size.store(config.max_file_size);
  s.max_files.store(config.max_files);
  s.ffmpeg_to_log.store(config.ffmpeg_to_log);

  std::string name = OptionValue(options, "name");
  if (name.empty()) name = "Plenova";
  const std::string path = std::string(log_dir) + "/" + name + ".log";
  try {
    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        path, config.max_file_size, static_cast<size_t>(config.max_files));
    s.logger = std::make_shared<spdlog::logger>("quillet", std::move(sink));
    s.logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%L] [%t] %v");
    s.logger->set_level(spdlog::level::trace);
    // The engine writes its progress at error level; flushing there keeps the
    // log complete up to a crash.
    s.logger->flush_on(spdlog::level::warn);
  } catch (const spdlog::spdlog_ex& e) {
    std::fprintf(stderr, "Quillet: cannot open log file %s: %s\n", path.c_str(), e.what());
    return false;
  }
  s.active.store(s.logger.get(), std::memory_order_release);
  s.opened.store(true);
  if (!config_problem.empty())
    s.logger->warn("Log.xml ignored ({}); using defaults", config_problem);
  return true;
}

#define QUILLET_WRITER(name, lvl)                              \
  void Log::name(int64_t, uint32_t, const char* format, ...) { \
    if (format == nullptr) return;                             \
    va_list args;                                              \
    va_start(args, format);                                    \
    Emit(lvl, format, args);                                   \
    va_end(args);                                              \
  }

QUILLET_WRITER(writeError, kError)
QUILLET_WRITER(writeWarning, kWarning)
QUILLET_WRITER(writeMessage, kMessage)
QUILLET_WRITER(writeDebug, kDebug)

#undef QUILLET_WRITER

void Log::setLineHook(LineHook hook, void* context) {
  State& s = state();
  std::unique_lock<std::shared_mutex> lock(s.hook_mutex);
  s.hook = hook;
  s.hook_context = context;
}

int Log::level() { return state().level.load(); }
uint64_t Log::maxFileSize() { return state().max_file_size.load(); }
int Log::maxFiles() { return state().max_files.load(); }
bool Log::ffmpegToLog() { return state().ffmpeg_to_log.load(); }
