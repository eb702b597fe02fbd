#include "quillet/LogConfig.h"

#include <tinyxml2.h>

#include <cctype>
#include <cstdlib>

namespace quillet {
namespace {

std::string Trim(const char* text) {
  const std::string s = text != nullptr ? text : "";
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// The trimmed text of the one child `name` of `root`. Returns 0 when absent,
// 1 when found, -1 (with `problem` set) when given more than once.
int Setting(const tinyxml2::XMLElement* root, const char* name, std::string* value,
            std::string* problem) {
  const tinyxml2::XMLElement* element = root->FirstChildElement(name);
  if (element == nullptr) return 0;
  if (element->NextSiblingElement(name) != nullptr) {
    *problem = std::string("<") + name + "> given twice";
    return -1;
  }
  *value = Trim(element->GetText());
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
  tinyxml2::XMLDocument document;
  if (document.Parse(text.data(), text.size()) != tinyxml2::XML_SUCCESS) {
    *problem =
        std::string("not XML: ") + (document.ErrorStr() != nullptr ? document.ErrorStr() : "");
    return false;
  }
  const tinyxml2::XMLElement* root = document.RootElement();
  if (root == nullptr || std::string(root->Name()) != "Log") {
    *problem = "no <Log> element";
    return false;
  }
  std::string value;
  int found = Setting(root, "Level", &value, problem);
  if (found < 0) return false;
  if (found > 0) {
    if (value == "debug")
      config->level = 0;
    else if (value == "message" || value == "info")
      config->level = 1;
    else if (value == "warning")
      config->level = 2;
    else if (value == "error")
      config->level = 3;
    else {
      *problem = "unknown level '" + value + "'";
      return false;
    }
  }
  long long number = 0;
  found = Setting(root, "MaxFileSize", &value, problem);
  if (found < 0) return false;
  if (found > 0 && !ParseNumber(value, 4096, 1ll << 32, &number)) {
    *problem = "MaxFileSize must be a byte count from 4096 to 4294967296";
    return false;
  }
  if (found > 0) config->max_file_size = static_cast<uint64_t>(number);
  found = Setting(root, "MaxFiles", &value, problem);
  if (found < 0) return false;
  if (found > 0 && !ParseNumber(value, 1, 1000, &number)) {
    *problem = "MaxFiles must be a count from 1 to 1000";
    return false;
  }
  if (found > 0) config->max_files = static_cast<int>(number);
  found = Setting(root, "FFmpegLog", &value, problem);
  if (found < 0) return false;
  if (found > 0) {
    if (value == "engine")
      config->ffmpeg_to_log = true;
    else if (value == "host")
      config->ffmpeg_to_log = false;
    else {
      *problem = "FFmpegLog must be 'engine' or 'host', not '" + value + "'";
      return false;
    }
  }
  return true;
}

}  // namespace quillet
