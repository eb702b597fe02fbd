// A scripted stand-in for the RTMP library: the nine entry points record
// their arguments and answer from the script.

#include "tests/output/fakes/FakeWendrel.h"

#include <condition_variable>
#include <mutex>

#include "wendrel/Wendrel.h"

namespace fake_wendrel {
namespace {

struct Handle {
  int id;
  bool stopped = false;
};

struct State {
  // Guards everything below; taken by the engine's threads and the test.
  std::mutex mutex;
  std::condition_variable changed;  // a handle was stopped
  int blocked = 0;
  Script script;
  std::vector<Call> calls;
  int next_id = 1;
  int live = 0;
};

State& state() {
  static State s;
  return s;
}

int IdOf(void* handle) { return handle != nullptr ? static_cast<Handle*>(handle)->id : 0; }

Call Named(const char* name, void* handle) {
  Call call;
  call.name = name;
  call.handle = IdOf(handle);
  return call;
}

}  // namespace

void Reset(const Script& script) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().script = script;
  state().calls.clear();
  state().next_id = 1;
}

void SetScript(const Script& script) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().script = script;
}

std::vector<Call> Calls() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().calls;
}

std::vector<Call> CallsNamed(const std::string& name) {
  std::vector<Call> out;
  for (Call& call : Calls())
    if (call.name == name) out.push_back(std::move(call));
  return out;
}

std::vector<uint64_t> PushTimes(bool audio) {
  std::vector<uint64_t> out;
  for (const Call& call : CallsNamed("PushMediaSample"))
    if ((call.is_audio == 1) == audio) out.push_back(call.timestamp);
  return out;
}

int LiveHandles() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().live;
}

int BlockedStarts() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().blocked;
}

}  // namespace fake_wendrel

using fake_wendrel::Call;
using fake_wendrel::Handle;

WENDREL_API void* GetFME() {
  auto& s = fake_wendrel::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.script.fail_get_fme) {
    s.calls.push_back(fake_wendrel::Named("GetFME", nullptr));
    return nullptr;
  }
  auto* handle = new Handle{s.next_id++, false};
  ++s.live;
  s.calls.push_back(fake_wendrel::Named("GetFME", handle));
  return handle;
}

WENDREL_API void DeleteFME(void* handle) {
  auto& s = fake_wendrel::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back(fake_wendrel::Named("DeleteFME", handle));
  if (handle != nullptr) --s.live;
  delete static_cast<Handle*>(handle);
}

WENDREL_API bool Initialize(void* handle) {
  auto& s = fake_wendrel::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back(fake_wendrel::Named("Initialize", handle));
  return !s.script.fail_initialize;
}

WENDREL_API bool SetLocalIP(void* handle, const char* local_ip, uint16_t port) {
  auto& s = fake_wendrel::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Call call = fake_wendrel::Named("SetLocalIP", handle);
  call.text = local_ip != nullptr ? local_ip : "";
  call.port = port;
  s.calls.push_back(std::move(call));
  return !s.script.fail_set_local_ip;
}

WENDREL_API bool SetMediaType(void* handle, RtmpPublishParam* param) {
  auto& s = fake_wendrel::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Call call = fake_wendrel::Named("SetMediaType", handle);
  if (param != nullptr) call.param = *param;
  s.calls.push_back(std::move(call));
  return !s.script.fail_set_media_type;
}

WENDREL_API bool Start(void* handle, const char* url, const char* stream_name) {
  auto& s = fake_wendrel::state();
  std::unique_lock<std::mutex> lock(s.mutex);
  Call call = fake_wendrel::Named("Start", handle);
  call.text = url != nullptr ? url : "";
  call.name_arg = stream_name != nullptr ? stream_name : "";
  s.calls.push_back(std::move(call));
  auto* h = static_cast<Handle*>(handle);
  if (h != nullptr && s.script.block_start) {
    ++s.blocked;
    s.changed.wait(lock, [&] { return h->stopped; });
    --s.blocked;
  }
  if (h != nullptr && h->stopped) return false;
  return !s.script.fail_start;
}

WENDREL_API void Stop(void* handle) {
  auto& s = fake_wendrel::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back(fake_wendrel::Named("Stop", handle));
  if (handle != nullptr) static_cast<Handle*>(handle)->stopped = true;
  s.changed.notify_all();
}

WENDREL_API bool PushMediaSample(void* handle, const uint8_t* data, uint32_t length,
                                 uint64_t timestamp, uint64_t /*kind*/, uint32_t is_audio,
                                 uint8_t key_frame) {
  auto& s = fake_wendrel::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  Call call = fake_wendrel::Named("PushMediaSample", handle);
  call.data.assign(data, data + length);
  call.timestamp = timestamp;
  call.is_audio = is_audio;
  call.key = key_frame;
  s.calls.push_back(std::move(call));
  return true;
}

WENDREL_API void Release() {
  auto& s = fake_wendrel::state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.calls.push_back(fake_wendrel::Named("Release", nullptr));
}
