#pragma once

#include <string>

namespace plenova::log {

// The names one logging call site prints in its prefix: the source module
// (file name without extension) and the function as "Class::Method".
// Built once per call site from __FILE_NAME__ and __PRETTY_FUNCTION__.
class LogSite {
 public:
  LogSite(const char* file_name, const char* pretty_function);

  const char* module() const { return module_.c_str(); }
  const char* function() const { return function_.c_str(); }

  // "void plenova::PlenovaImp::SetAuidoParam(const AudioParam*)" gives
  // "PlenovaImp::SetAuidoParam"; a free function gives its bare name.
  static std::string ShortFunctionName(const std::string& pretty);

 private:
  std::string module_;
  std::string function_;
};

}  // namespace plenova::log
