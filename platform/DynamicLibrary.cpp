#include "platform/DynamicLibrary.h"

#include <dlfcn.h>

#include "platform/FileSystem.h"

namespace plenova::platform {

DynamicLibrary::~DynamicLibrary() { Free(); }

bool DynamicLibrary::Load(const std::string& file_name) {
  Free();
  error_.clear();
  if (file_name.empty()) {
    error_ = "empty library name";
    return false;
  }
  if (file_name.find('/') == std::string::npos) {
    const std::string beside_engine = ModuleDir() + "/" + file_name;
    handle_ = dlopen(beside_engine.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (handle_ == nullptr) handle_ = dlopen(file_name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    error_ = message != nullptr ? message : "dlopen failed";
    return false;
  }
  return true;
}

void* DynamicLibrary::Symbol(const char* symbol) const {
  if (handle_ == nullptr || symbol == nullptr) return nullptr;
  return dlsym(handle_, symbol);
}

void DynamicLibrary::Free() {
  if (handle_ != nullptr) dlclose(handle_);
  handle_ = nullptr;
}

}  // namespace plenova::platform
