#pragma once

#include <string>

namespace plenova::platform {

// A shared library loaded at run time (LoadLibrary/GetProcAddress/FreeLibrary).
// The folder of the engine's own module is searched first, the way Windows
// searches the application folder, then the system's usual search path.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Loads `file_name` (a bare file name such as "libwendrel.so", or a path).
  // Frees any library held before. On failure returns false and keeps the
  // loader's message for Error().
  bool Load(const std::string& file_name);

  // Address of `symbol`, or nullptr when no library is loaded or it lacks the
  // symbol.
  void* Symbol(const char* symbol) const;

  // Frees the library; harmless when none is loaded.
  void Free();

  bool IsLoaded() const { return handle_ != nullptr; }
  const std::string& Error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace plenova::platform
