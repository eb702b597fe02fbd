#pragma once

// Wendrel: the RTMP publishing library. The engine loads it at run time
// ("libwendrel.so") and resolves these nine functions by name.

#include <cstdint>

#include "wendrel/RtmpPublishParam.h"

#define WENDREL_API extern "C" __attribute__((visibility("default")))

// Sample kinds for PushMediaSample.
constexpr uint64_t kWendrelKindAudio = 40;
constexpr uint64_t kWendrelKindVideo = 60;

// A new publisher handle, or null.
WENDREL_API void* GetFME();
// Ends any blocked call on the handle, disconnects and frees it.
WENDREL_API void DeleteFME(void* handle);
WENDREL_API bool Initialize(void* handle);
// Records the local address (an IPv4 text or empty) and port to bind the
// outgoing connection to; false for an invalid address.
WENDREL_API bool SetLocalIP(void* handle, const char* local_ip, uint16_t port);
// Announces the media: FLV metadata and the AVC and AAC sequence headers.
WENDREL_API bool SetMediaType(void* handle, RtmpPublishParam* param);
// Connects to `url` and publishes `stream_name` (not appended twice when the
// URL already ends with "/" + name).
WENDREL_API bool Start(void* handle, const char* url, const char* stream_name);
// Ends the publication and any call blocked on the handle, from any
// thread; the handle connects no more (DeleteFME it).
WENDREL_API void Stop(void* handle);
// Sends one sample: raw AAC (no ADTS) or Annex B H.264. `timestamp` in
// 100-ns units; kind 40 audio, 60 video; is_audio 1 or 0.
WENDREL_API bool PushMediaSample(void* handle, const uint8_t* data, uint32_t length,
                                 uint64_t timestamp, uint64_t kind, uint32_t is_audio,
                                 uint8_t key_frame);
WENDREL_API void Release();

// Types for run-time resolution.
using WendrelGetFME = void* (*)();
using WendrelDeleteFME = void (*)(void*);
using WendrelInitialize = bool (*)(void*);
using WendrelSetLocalIP = bool (*)(void*, const char*, uint16_t);
using WendrelSetMediaType = bool (*)(void*, RtmpPublishParam*);
using WendrelStart = bool (*)(void*, const char*, const char*);
using WendrelStop = void (*)(void*);
using WendrelPushMediaSample = bool (*)(void*, const uint8_t*, uint32_t, uint64_t, uint64_t,
                                        uint32_t, uint8_t);
using WendrelRelease = void (*)();

// The file the engine loads.
constexpr const char* kWendrelLibraryName = "libwendrel.so";
