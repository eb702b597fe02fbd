#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace plenova::testing {

// Collects every line written through the logging library while it lives.
// Only one LogCapture may exist at a time.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Lines containing `text`.
  int Count(const std::string& text);
  bool Contains(const std::string& text) { return Count(text) > 0; }

 private:
  static void Hook(int level, const char* line, void* context);

  // Guards `lines_`; taken by writing threads and the test thread.
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace plenova::testing
