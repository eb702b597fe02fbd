#include "quillet/LogConfig.h"

#include <cctype>
#include <cstdlib>

namespace quillet {
namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// Finds <tag>value</tag> inside `body`. Returns 0 when absent, 1 when found,
// -1 when the element is opened but not closed.
int Element(const std::string& body, const std::string& tag, std::string* value) {
  const std::string open = "<" + tag + ">", close = "</" + tag + ">";
  const auto b = body.find(open);
  if (b == std::string::npos) return 0;
  const auto e = body.find(close, b + open.size());
  if (e == std::string::npos) return -1;
  *value = Trim(body.substr(b + open.size(), e - b - open.size()));
  return 1;
}

bool ParseNumber(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == nullptr || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

}  // namespace

bool ParseLogConfig(const std::string& text, LogConfig* config, std::string* problem) {
  std::string body;
  if (Element(text, "Log", &body) != 1) {
    *problem = "no <Log> element";
    return false;
  }
  std::string value;
  int found = Element(body, "Level", &value);
  if (found < 0) {
    *problem = "unclosed <Level>";
    return false;
  }
  if (found > 0) {
    if (value == "debug") config->level = 0;
    else if (value == "message" || value == "info") config->level = 1;
    else if (value == "warning") config->level = 2;
    else if (value == "error") config->level = 3;
    else {
      *problem = "unknown level '" + value + "'";
      return false;
    }
  }
  long long number = 0;
  found = Element(body, "MaxFileSize", &value);
  if (found < 0 || (found > 0 && !ParseNumber(value, 4096, 1ll << 32, &number))) {
    *problem = "MaxFileSize must be a byte count from 4096 to 4294967296";
    return false;
  }
  if (found > 0) config->max_file_size = static_cast<uint64_t>(number);
  found = Element(body, "MaxFiles", &value);
  if (found < 0 || (found > 0 && !ParseNumber(value, 1, 1000, &number))) {
    *problem = "MaxFiles must be a count from 1 to 1000";
    return false;
  }
  if (found > 0) config->max_files = static_cast<int>(number);
  return true;
}

}  // namespace quillet
