#include "tests/support/LogCapture.h"

#include "quillet/Log.h"

namespace plenova::testing {

LogCapture::LogCapture() { Log::setLineHook(&LogCapture::Hook, this); }

LogCapture::~LogCapture() { Log::setLineHook(nullptr, nullptr); }

void LogCapture::Hook(int, const char* line, void* context) {
  auto* self = static_cast<LogCapture*>(context);
  std::lock_guard<std::mutex> lock(self->mutex_);
  self->lines_.emplace_back(line);
}

int LogCapture::Count(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const std::string& line : lines_)
    if (line.find(text) != std::string::npos) ++n;
  return n;
}

}  // namespace plenova::testing
