#include "tests/support/LogCapture.h"

#include "quillet/Log.h"

namespace plenova::testing {

LogCapture::LogCapture() { Log::setLineHook(&LogCapture::Hook, this); }

LogCapture::~LogCapture() { Log::setLineHook(nullptr, nullptr); }

void LogCapture::Hook(int level, const char* line, void* context) {
  auto* self = static_cast<LogCapture*>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.emplace_back(level, line);
}

int LogCapture::Count(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto& [level, line] : lines_)
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

int LogCapture::LevelOf(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [level, line] : lines_)
    if (line.find(text) != std::string::npos) return level;
  return -1;
}

std::vector<std::string> LogCapture::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& entry : lines_) out.push_back(entry.second);
  return out;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace plenova::testing
