#pragma once

// The call site of a log line: the names a line prints in its prefix, and the
// writer that prints them. Header only, so that the engine and the companion
// libraries prefix their lines alike without linking each other:
//
//   QUILLET_LOG_AT(writeError, 54, 4000u, "_Tarvane_ LiveStart %s", path);
//
// writes "File:TarvaneRecord,Line=00123  Function: TarvaneRecord::LiveStart
// _Tarvane_ LiveStart ...".

#include <string>
#include <vector>

#include "quillet/Log.h"

namespace quillet {

// The names one logging call site prints in its prefix: the source module
// (file name without extension) and the function as "Class::Method".
// Built once per call site from __FILE_NAME__ and __PRETTY_FUNCTION__.
class LogSite {
 public:
  LogSite(const char* file_name, const char* pretty_function)
      : module_(file_name != nullptr ? file_name : ""),
        function_(ShortFunctionName(pretty_function != nullptr ? pretty_function : "")) {
    const auto dot = module_.rfind('.');
    if (dot != std::string::npos && dot > 0) module_.resize(dot);
  }

  const char* module() const { return module_.c_str(); }
  const char* function() const { return function_.c_str(); }

  // "void plenova::PlenovaImp::SetAuidoParam(const AudioParam*)" gives
  // "PlenovaImp::SetAuidoParam"; a free function gives its bare name.
  static std::string ShortFunctionName(const std::string& pretty);

 private:
  std::string module_;
  std::string function_;
};

inline std::string LogSite::ShortFunctionName(const std::string& pretty) {
  // Cut the parameter list: the first '(' outside template brackets that
  // follows the name (skip "operator()" and "(anonymous namespace)").
  int depth = 0;
  size_t name_end = pretty.size();
  for (size_t i = 0; i < pretty.size(); ++i) {
    const char c = pretty[i];
    if (c == '<')
      ++depth;
    else if (c == '>')
      --depth;
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
    if (c == '<')
      ++depth;
    else if (c == '>')
      --depth;
    else if (c == ' ' && depth == 0)
      name_begin = i + 1;
  }
  qualified = qualified.substr(name_begin);
  // Split on "::" outside brackets and keep the last two components.
  std::vector<std::string> parts;
  depth = 0;
  size_t start = 0;
  for (size_t i = 0; i + 1 < qualified.size(); ++i) {
    const char c = qualified[i];
    if (c == '<')
      ++depth;
    else if (c == '>')
      --depth;
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

}  // namespace quillet

// The prefix of a located line: module, line, function.
#define QUILLET_SITE_PREFIX "File:%s,Line=%05d  Function: %s "

// Writes `format` through Log::`writer` with `module_id` and `code`; the
// first three conversions of `format` receive the call site's module, line
// and function.
#define QUILLET_SITE_AT(writer, module_id, code, format, ...)                          \
  do {                                                                                 \
    static const ::quillet::LogSite quillet_site_(__FILE_NAME__, __PRETTY_FUNCTION__); \
    ::Log::writer(module_id, code, format, quillet_site_.module(), __LINE__,           \
                  quillet_site_.function() __VA_OPT__(, ) __VA_ARGS__);                \
  } while (0)

// As QUILLET_SITE_AT, with QUILLET_SITE_PREFIX in front of `format`.
#define QUILLET_LOG_AT(writer, module_id, code, format, ...) \
  QUILLET_SITE_AT(writer, module_id, code, QUILLET_SITE_PREFIX format __VA_OPT__(, ) __VA_ARGS__)
