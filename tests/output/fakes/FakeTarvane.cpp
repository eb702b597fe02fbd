#include "tests/output/fakes/FakeTarvane.h"

namespace fake_tarvane {

int FakeRecord::LiveStart(const char* path) {
  starts.emplace_back(path);
  // The real recorder reports the opened file on its own thread.
  if (live_start_result == 0 && callback != nullptr) callback(stream_id, kTarvaneStarted);
  return live_start_result;
}

int FakeRecord::LiveStop() {
  ++stops;
  return live_stop_result;
}

int FakeRecord::SendLiveData(const uint8_t* data, uint32_t length, uint32_t tag,
                             uint64_t timestamp) {
  writes.push_back(Write{tag, timestamp, std::vector<uint8_t>(data, data + length)});
  return tag == kTarvaneTagVideo ? video_write_result : 0;
}

int FakeRecord::SetStateCallback(uint32_t id, TarvaneStateCallback cb) {
  if (set_callback_result != 0) return set_callback_result;
  stream_id = id;
  callback = cb;
  return 0;
}

std::vector<uint64_t> FakeRecord::Times(uint32_t tag) const {
  std::vector<uint64_t> out;
  for (const Write& write : writes)
    if (write.tag == tag) out.push_back(write.timestamp);
  return out;
}

Registry& registry() {
  static Registry r;
  return r;
}

void Reset() { registry() = Registry{}; }

namespace {

ITarvaneRecord* Create(const char* path, const Mp4VideoDesc* video, const Mp4AudioDesc* audio) {
  if (registry().fail_create) return nullptr;
  auto record = std::make_unique<FakeRecord>();
  record->create_path = path;
  record->video = *video;
  record->audio = *audio;
  registry().records.push_back(std::move(record));
  return registry().records.back().get();
}

void Destroy(ITarvaneRecord* record) { static_cast<FakeRecord*>(record)->destroyed = true; }

}  // namespace

plenova::Mp4RecorderApi Api() { return plenova::Mp4RecorderApi{&Create, &Destroy}; }

}  // namespace fake_tarvane
