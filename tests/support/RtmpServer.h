#pragma once

// Private servers for the tests that publish, all on 127.0.0.1: nginx RTMP
// (scripts/rtmp-server.sh), stunnel in front of it (scripts/rtmps-proxy.sh)
// and a server that never answers.

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace plenova::testing {

// A private nginx RTMP server on 127.0.0.1:port started with
// scripts/rtmp-server.sh, recording into record_dir.
class RtmpServer {
 public:
  RtmpServer(int port, std::string record_dir) : port_(port), record_dir_(std::move(record_dir)) {}
  ~RtmpServer() { Stop(); }
  RtmpServer(const RtmpServer&) = delete;
  RtmpServer& operator=(const RtmpServer&) = delete;

  bool Start();
  // Graceful stop: the recordings are finished.
  void Stop();
  // SIGKILL of the master and its workers, as in a crash.
  void Kill();
  std::string Url(const std::string& stream) const;
  std::string Recording(const std::string& stream) const {
    return record_dir_ + "/" + stream + ".flv";
  }
  // nginx's access log so far: a line per ended session ("PUBLISH" for a
  // publication); empty while stopped.
  std::string AccessLog() const;

 private:
  int port_;
  std::string record_dir_;
  std::string prefix_;  // empty while stopped
};

// stunnel on 127.0.0.1:tls_port in front of an RTMP server on rtmp_port
// (scripts/rtmps-proxy.sh), for publishing over rtmps://.
class TlsProxy {
 public:
  TlsProxy(int tls_port, int rtmp_port) : tls_port_(tls_port), rtmp_port_(rtmp_port) {}
  ~TlsProxy() { Stop(); }
  TlsProxy(const TlsProxy&) = delete;
  TlsProxy& operator=(const TlsProxy&) = delete;

  bool Start();
  void Stop();
  std::string Url(const std::string& stream) const;

 private:
  int tls_port_;
  int rtmp_port_;
  std::string prefix_;  // empty while stopped
};

// Accepts connections on 127.0.0.1 (a port of the system's choosing) and
// never reads from them nor answers.
class DeafServer {
 public:
  DeafServer();
  ~DeafServer();
  DeafServer(const DeafServer&) = delete;
  DeafServer& operator=(const DeafServer&) = delete;
  int port() const { return port_; }
  int accepted() const { return accepted_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::vector<int> sockets_;  // touched by the accepting thread until it is joined
  std::thread thread_;
};

}  // namespace plenova::testing
