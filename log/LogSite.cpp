#include "log/LogSite.h"

#include <vector>

namespace plenova::log {

LogSite::LogSite(const char* file_name, const char* pretty_function)
    : module_(file_name != nullptr ? file_name : ""),
      function_(ShortFunctionName(pretty_function != nullptr ? pretty_function : "")) {
  const auto dot = module_.rfind('.');
  if (dot != std::string::npos && dot > 0) module_.resize(dot);
}

std::string LogSite::ShortFunctionName(const std::string& pretty) {
  // Cut the parameter list: the first '(' outside template brackets that
  // follows the name (skip "operator()" and "(anonymous namespace)").
  int depth = 0;
  size_t name_end = pretty.size();
  for (size_t i = 0; i < pretty.size(); ++i) {
    const char c = pretty[i];
    if (c == '<') ++depth;
    else if (c == '>') --depth;
    else if (c == '(' && depth == 0) {
      if (pretty.compare(i, 21, "(anonymous namespace)") == 0) {
        i += 20;
        continue;
      }
      if (i >= 8 && pretty.compare(i - 8, 8, "operator") == 0) {
        ++i;
        continue;
      }
      name_end = i;
      break;
    }
  }
  std::string qualified = pretty.substr(0, name_end);
  // The name is the last token that is not inside template brackets.
  depth = 0;
  size_t name_begin = 0;
  for (size_t i = 0; i < qualified.size(); ++i) {
    const char c = qualified[i];
    if (c == '<') ++depth;
    else if (c == '>') --depth;
    else if (c == ' ' && depth == 0) name_begin = i + 1;
  }
  qualified = qualified.substr(name_begin);
  // Split on "::" outside brackets and keep the last two components.
  std::vector<std::string> parts;
  depth = 0;
  size_t start = 0;
  for (size_t i = 0; i + 1 < qualified.size(); ++i) {
    const char c = qualified[i];
    if (c == '<') ++depth;
    else if (c == '>') --depth;
    else if (c == ':' && qualified[i + 1] == ':' && depth == 0) {
      parts.push_back(qualified.substr(start, i - start));
      start = i + 2;
      ++i;
    }
  }
  parts.push_back(qualified.substr(start));
  if (parts.size() == 1) return parts[0];
  return parts[parts.size() - 2] + "::" + parts.back();
}

}  // namespace plenova::log
