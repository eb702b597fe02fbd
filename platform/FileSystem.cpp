#include "platform/FileSystem.h"

#include <dlfcn.h>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace plenova::platform {
namespace {

std::string ParentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

std::string ExecutableDir() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return {};
  return ParentOf(std::string(buffer, static_cast<size_t>(n)));
}

std::string ModuleDir() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleDir), &info) == 0 || info.dli_fname == nullptr)
    return ExecutableDir();
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return ExecutableDir();
  return ParentOf(resolved);
}

std::string CurrentDir() {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof(buffer)) == nullptr) return {};
  return buffer;
}

bool DirExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  return errno == EEXIST && DirExists(path);
}

}  // namespace plenova::platform
