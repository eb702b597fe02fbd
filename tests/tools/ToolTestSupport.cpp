#include "tests/tools/ToolTestSupport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace plenova::record::testing {

LoopbackPort::LoopbackPort(bool listening) {
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  socklen_t len = sizeof(addr);
  getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (listening) listen(fd_, 1);
}

LoopbackPort::~LoopbackPort() { close(fd_); }

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "plenova-record-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? std::filesystem::path(made) : std::filesystem::temp_directory_path();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string RecorderProgram() {
  const char* dir = std::getenv("PLENOVA_BINARY_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/bin/plenova-record";
}

}  // namespace plenova::record::testing
