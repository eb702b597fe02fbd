#include "tools/plenova-record/Preflight.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace plenova::record {

std::string DefaultMp4Path(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char name[64];
  std::strftime(name, sizeof(name), "plenova-%Y%m%d-%H%M%S.mp4", &local);
  return std::string("PlenovaMp4/") + name;
}

bool CheckOutputFolder(const std::string& folder, std::string* error) {
  const std::filesystem::path dir =
      folder.empty() ? std::filesystem::path(".") : std::filesystem::path(folder);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec || !std::filesystem::is_directory(dir, ec)) {
    *error =
        "cannot create the folder " + dir.string() + (ec ? ": " + ec.message() : std::string());
    return false;
  }
  const std::filesystem::path probe = dir / (".plenova-record-probe-" + std::to_string(getpid()));
  std::FILE* file = std::fopen(probe.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write in the folder " + dir.string() + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(file);
  std::filesystem::remove(probe, ec);
  return true;
}

bool CheckTcpReachable(const std::string& host, int port, int timeout_ms, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + gai_strerror(rc);
    return false;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> list(found, &freeaddrinfo);
  std::string last = "no address";
  for (addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
    const int fd =
        socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) {
      last = std::strerror(errno);
      continue;
    }
    int result = connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (result == EINPROGRESS) {
      pollfd p{fd, POLLOUT, 0};
      const int ready = poll(&p, 1, timeout_ms);
      if (ready == 0) {
        result = ETIMEDOUT;
      } else {
        socklen_t len = sizeof(result);
        if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &len) != 0) result = errno;
      }
    }
    close(fd);
    if (result == 0) return true;
    last = std::strerror(result);
  }
  *error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + last;
  return false;
}

}  // namespace plenova::record
