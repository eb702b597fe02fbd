#include "tests/tools/ToolTestSupport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "libavptr/LibavPtr.h"

namespace plenova::record::testing {

SourceFormat Format(int width, int height, int sample_rate, int channels) {
  SourceFormat f;
  f.width = width;
  f.height = height;
  f.sample_rate = sample_rate;
  f.channels = channels;
  return f;
}

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
  std::string pattern = (std::filesystem::temp_directory_path() / "plenova-record-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? std::filesystem::path(made) : std::filesystem::temp_directory_path();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.output.append(buffer, n);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string RecorderProgram() {
  const char* dir = std::getenv("PLENOVA_BINARY_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/bin/plenova-record";
}

bool DecodePng(const std::string& path, RgbImage* image) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) return false;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  libavptr::CodecContextPtr context(avcodec_alloc_context3(codec));
  libavptr::PacketPtr packet(av_packet_alloc());
  libavptr::FramePtr frame(av_frame_alloc());
  if (!context || !packet || !frame || avcodec_open2(context.get(), codec, nullptr) < 0) return false;
  if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) return false;
  std::copy(bytes.begin(), bytes.end(), packet->data);
  if (avcodec_send_packet(context.get(), packet.get()) < 0) return false;
  if (avcodec_receive_frame(context.get(), frame.get()) < 0) return false;
  libavptr::SwsPtr sws(sws_getContext(frame->width, frame->height,
                                      static_cast<AVPixelFormat>(frame->format), frame->width,
                                      frame->height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr,
                                      nullptr));
  if (!sws) return false;
  image->width = frame->width;
  image->height = frame->height;
  image->rgb.assign(static_cast<size_t>(frame->width) * frame->height * 3, 0);
  uint8_t* planes[1] = {image->rgb.data()};
  int strides[1] = {frame->width * 3};
  sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
  return true;
}

double ToneFrequency(const std::vector<int16_t>& pcm, int channels, int sample_rate) {
  int crossings = 0;
  const size_t frames = pcm.size() / channels;
  for (size_t i = 1; i < frames; ++i) {
    const int16_t a = pcm[(i - 1) * channels];
    const int16_t b = pcm[i * channels];
    if ((a < 0 && b >= 0) || (a >= 0 && b < 0)) ++crossings;
  }
  return crossings / 2.0 * sample_rate / static_cast<double>(frames);
}

}  // namespace plenova::record::testing
