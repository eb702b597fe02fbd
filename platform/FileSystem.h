#pragma once

#include <string>

namespace plenova::platform {

// Folder of the running executable, without a trailing '/'; empty when the
// system cannot tell.
std::string ExecutableDir();

// Folder of the module (shared library or program) that contains the engine
// code, without a trailing '/'.
std::string ModuleDir();

// The process's current directory; empty when it cannot be read.
std::string CurrentDir();

bool DirExists(const std::string& path);

// Creates one folder level; true when it exists afterwards.
bool CreateDir(const std::string& path);

}  // namespace plenova::platform
