#include "tests/tools/ToolTestSupport.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "libavptr/LibavPtr.h"

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

bool DecodePng(const std::string& path, RgbImage* image) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  if (bytes.empty()) return false;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
  libavptr::CodecContextPtr context(avcodec_alloc_context3(codec));
  libavptr::PacketPtr packet(av_packet_alloc());
  libavptr::FramePtr frame(av_frame_alloc());
  if (!context || !packet || !frame || avcodec_open2(context.get(), codec, nullptr) < 0)
    return false;
  if (av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) return false;
  std::copy(bytes.begin(), bytes.end(), packet->data);
  if (avcodec_send_packet(context.get(), packet.get()) < 0) return false;
  if (avcodec_receive_frame(context.get(), frame.get()) < 0) return false;
  libavptr::SwsPtr sws(sws_getContext(
      frame->width, frame->height, static_cast<AVPixelFormat>(frame->format), frame->width,
      frame->height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
  if (!sws) return false;
  image->width = frame->width;
  image->height = frame->height;
  image->rgb.assign(static_cast<size_t>(frame->width) * frame->height * 3, 0);
  uint8_t* planes[1] = {image->rgb.data()};
  int strides[1] = {frame->width * 3};
  sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
  return true;
}

}  // namespace plenova::record::testing
