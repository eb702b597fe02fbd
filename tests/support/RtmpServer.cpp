#include "tests/support/RtmpServer.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace plenova::testing {

namespace {

std::string Script(const char* name = "rtmp-server.sh") {
  const char* root = std::getenv("PLENOVA_SOURCE_DIR");
  return std::string(root == nullptr ? "." : root) + "/scripts/" + name;
}

std::string Run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
  pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

}  // namespace

bool RtmpServer::Start() {
  if (!prefix_.empty()) return true;
  prefix_ = Run(Script() + " start " + std::to_string(port_) + " '" + record_dir_ + "'");
  return !prefix_.empty();
}

void RtmpServer::Stop() {
  if (prefix_.empty()) return;
  Run(Script() + " stop '" + prefix_ + "'");
  prefix_.clear();
}

void RtmpServer::Kill() {
  if (prefix_.empty()) return;
  std::ifstream pid_file(prefix_ + "/master.pid");
  pid_t master = 0;
  pid_file >> master;
  if (master > 0) {
    // The master is stopped first, so that it cannot start a new worker
    // between the listing and the kill: an orphaned worker would keep the
    // port for the next test.
    ::kill(master, SIGSTOP);
    std::istringstream listing(Run("ps -o pid= --ppid " + std::to_string(master)));
    std::vector<pid_t> workers;
    for (pid_t worker = 0; listing >> worker;) workers.push_back(worker);
    for (pid_t worker : workers) ::kill(worker, SIGKILL);
    ::kill(master, SIGKILL);
    // The master is the script's background job, reparented to init once
    // the script ended; wait until it and its workers are gone and the port
    // is free again.
    auto alive = [&] {
      if (::kill(master, 0) == 0) return true;
      for (pid_t worker : workers)
        if (::kill(worker, 0) == 0) return true;
      return false;
    };
    for (int i = 0; i < 150 && alive(); ++i) ::usleep(20000);
  }
  std::filesystem::remove_all(prefix_);
  prefix_.clear();
}

std::string RtmpServer::Url(const std::string& stream) const {
  return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + stream;
}

std::string RtmpServer::AccessLog() const {
  if (prefix_.empty()) return {};
  std::ifstream in(prefix_ + "/logs/access.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool TlsProxy::Start() {
  if (!prefix_.empty()) return true;
  prefix_ = Run(Script("rtmps-proxy.sh") + " start " + std::to_string(tls_port_) + " " +
                std::to_string(rtmp_port_));
  return !prefix_.empty();
}

void TlsProxy::Stop() {
  if (prefix_.empty()) return;
  Run(Script("rtmps-proxy.sh") + " stop '" + prefix_ + "'");
  prefix_.clear();
}

std::string TlsProxy::Url(const std::string& stream) const {
  return "rtmps://127.0.0.1:" + std::to_string(tls_port_) + "/live/" + stream;
}

DeafServer::DeafServer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 8) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return;
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] {
    while (!stop_) {
      const int s = ::accept(listener_, nullptr, nullptr);
      if (s < 0) break;
      // A tiny receive buffer so that the client's writes block soon.
      int small = 4096;
      ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
      accepted_.fetch_add(1);
      sockets_.push_back(s);
    }
  });
}

DeafServer::~DeafServer() {
  stop_ = true;
  // Shutting the listener down ends a waiting accept(); it is closed once
  // the accepting thread is gone.
  ::shutdown(listener_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
  for (int s : sockets_) ::close(s);
}

}  // namespace plenova::testing
