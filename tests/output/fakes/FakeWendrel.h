#pragma once

// Control side of the scripted RTMP library (libwendrel_fake.so). Tests link
// the library, so the copy the engine loads by name is the same one whose
// script and call log these functions reach.

#include <cstdint>
#include <string>
#include <vector>

#include "wendrel/RtmpPublishParam.h"

#define FAKE_WENDREL_API __attribute__((visibility("default")))

namespace fake_wendrel {

constexpr const char* kLibraryName = "libwendrel_fake.so";

// One call into the library, in call order.
struct Call {
  std::string name;           // "GetFME", "Initialize", "SetLocalIP", ...
  int handle = 0;             // 1, 2, ... in order of GetFME; 0 for none
  std::string text;           // SetLocalIP address, Start url
  std::string name_arg;       // Start stream name
  uint16_t port = 0;          // SetLocalIP
  RtmpPublishParam param{};   // SetMediaType
  std::vector<uint8_t> data;  // PushMediaSample
  uint64_t timestamp = 0;
  uint32_t is_audio = 0;
  uint8_t key = 0;
};

// What the library answers; everything succeeds by default.
struct Script {
  bool fail_get_fme = false;
  bool fail_initialize = false;
  bool fail_set_local_ip = false;
  bool fail_start = false;
  bool fail_set_media_type = false;
  // Start blocks, like a server that takes the connection and never
  // answers, until Stop is called on its handle (then it fails).
  bool block_start = false;
};

FAKE_WENDREL_API void Reset(const Script& script = Script{});
FAKE_WENDREL_API void SetScript(const Script& script);
FAKE_WENDREL_API std::vector<Call> Calls();
// Calls with this name, in order.
FAKE_WENDREL_API std::vector<Call> CallsNamed(const std::string& name);
// Timestamps (100 ns) of the audio or video pushes, in order.
FAKE_WENDREL_API std::vector<uint64_t> PushTimes(bool audio);
// Handles from GetFME not yet given back through DeleteFME.
FAKE_WENDREL_API int LiveHandles();
// Starts blocked in block_start at the moment.
FAKE_WENDREL_API int BlockedStarts();

}  // namespace fake_wendrel
