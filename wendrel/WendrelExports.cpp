// The library's nine entry points; a handle is an RtmpPublisher.

#include "wendrel/RtmpPublisher.h"
#include "wendrel/Wendrel.h"

namespace {

plenova::RtmpPublisher* Publisher(void* handle) {
  return static_cast<plenova::RtmpPublisher*>(handle);
}

}  // namespace

WENDREL_API void* GetFME() {
  try {
    return new plenova::RtmpPublisher();
  } catch (...) {
    return nullptr;
  }
}

WENDREL_API void DeleteFME(void* handle) {
  if (handle == nullptr) return;
  Publisher(handle)->Stop();
  delete Publisher(handle);
}

WENDREL_API bool Initialize(void* handle) {
  return handle != nullptr && Publisher(handle)->Initialize();
}

WENDREL_API bool SetLocalIP(void* handle, const char* local_ip, uint16_t port) {
  return handle != nullptr && Publisher(handle)->SetLocalIP(local_ip, port);
}

WENDREL_API bool SetMediaType(void* handle, RtmpPublishParam* param) {
  try {
    return handle != nullptr && Publisher(handle)->SetMediaType(param);
  } catch (...) {
    return false;
  }
}

WENDREL_API bool Start(void* handle, const char* url, const char* stream_name) {
  try {
    return handle != nullptr && Publisher(handle)->Start(url, stream_name);
  } catch (...) {
    return false;
  }
}

WENDREL_API void Stop(void* handle) {
  if (handle != nullptr) Publisher(handle)->Stop();
}

WENDREL_API bool PushMediaSample(void* handle, const uint8_t* data, uint32_t length,
                                 uint64_t timestamp, uint64_t kind, uint32_t is_audio,
                                 uint8_t key_frame) {
  try {
    return handle != nullptr &&
           Publisher(handle)->PushMediaSample(data, length, timestamp, kind, is_audio, key_frame);
  } catch (...) {
    return false;
  }
}

// Nothing process-wide to release: each handle frees its own connection.
WENDREL_API void Release() {}
