#include "tests/output/fakes/FakeTarvane.h"

namespace fake_tarvane {

void FakeRecord::Report(uint32_t new_state) {
  TarvaneStateCallback report = nullptr;
  uint32_t id = 0;
  {
    std::lock_guard lock(mutex);
    state = new_state;
    report = callback;
    id = stream_id;
  }
  // Like the real recorder: never under its own lock.
  if (report != nullptr) report(id, new_state);
}

int FakeRecord::LiveStart(const char*) {
  int result;
  {
    std::lock_guard lock(mutex);
    result = live_start_result;
  }
  Report(result == 0 ? kTarvaneStarted : kTarvaneOpenFailed);
  return result;
}

int FakeRecord::LiveStop() {
  {
    std::lock_guard lock(mutex);
    ++stops;
  }
  Report(kTarvaneStopped);
  return 0;
}

uint32_t FakeRecord::GetState() {
  std::lock_guard lock(mutex);
  return state;
}

int FakeRecord::SendLiveData(const uint8_t* data, uint32_t length, uint32_t tag,
                             uint64_t timestamp) {
  int result;
  bool error;
  {
    std::lock_guard lock(mutex);
    writes.push_back(Write{tag, timestamp, std::vector<uint8_t>(data, data + length)});
    result = tag == kTarvaneTagVideo ? video_write_result : 0;
    error = result != 0 && video_failure_is_write_error;
  }
  if (error) Report(kTarvaneWriteError);
  return result;
}

int FakeRecord::SetStateCallback(uint32_t id, TarvaneStateCallback cb) {
  std::lock_guard lock(mutex);
  stream_id = id;
  callback = cb;
  return 0;
}

std::vector<uint64_t> FakeRecord::Times(uint32_t tag) {
  std::lock_guard lock(mutex);
  std::vector<uint64_t> out;
  for (const Write& write : writes)
    if (write.tag == tag) out.push_back(write.timestamp);
  return out;
}

size_t FakeRecord::WriteCount() {
  std::lock_guard lock(mutex);
  return writes.size();
}

int FakeRecord::Stops() {
  std::lock_guard lock(mutex);
  return stops;
}

Registry& registry() {
  static Registry r;
  return r;
}

void Reset() { registry() = Registry{}; }

namespace {

ITarvaneRecord* Create(const char* path, const Mp4VideoDesc* video, const Mp4AudioDesc*) {
  if (registry().fail_create) return nullptr;
  auto record = std::make_unique<FakeRecord>();
  if (registry().open_fails.count(path) != 0) record->live_start_result = -1;
  record->video = *video;
  registry().records.push_back(std::move(record));
  return registry().records.back().get();
}

void Destroy(ITarvaneRecord* record) {
  auto* fake = static_cast<FakeRecord*>(record);
  std::lock_guard lock(fake->mutex);
  fake->destroyed = true;
}

}  // namespace

plenova::Mp4RecorderApi Api() { return plenova::Mp4RecorderApi{&Create, &Destroy}; }

}  // namespace fake_tarvane
