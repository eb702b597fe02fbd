#include "tests/support/RecordingStreaming.h"

namespace plenova::testing {

bool RecordingStreaming::WriteData(const AVSample* sample) {
  Event event;
  event.kind = Kind::kWrite;
  if (sample != nullptr) {
    event.streamType = sample->streamType;
    event.isKeyFrame = sample->isKeyFrame;
    if (const PoolBuffer* buffer = sample->buffer; buffer != nullptr) {
      event.timestamp = buffer->timestamp;
      event.tick = buffer->tick;
      if (buffer->data != nullptr && buffer->len > 0)
        event.data.assign(buffer->data, buffer->data + buffer->len);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
    ++writes_;
  }
  cv_.notify_all();
  return true;
}

void RecordingStreaming::IAVStreamUpdata(const uint8_t* spsPps, int32_t len, int32_t channels,
                                         int32_t sampling_per_bits, int32_t sampling_rate,
                                         int32_t fps) {
  Event event;
  event.kind = Kind::kUpdate;
  if (spsPps != nullptr && len > 0) event.spsPps.assign(spsPps, spsPps + len);
  event.channels = channels;
  event.sampling_per_bits = sampling_per_bits;
  event.sampling_rate = sampling_rate;
  event.fps = fps;
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<RecordingStreaming::Event> RecordingStreaming::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<RecordingStreaming::Event> RecordingStreaming::Writes() {
  std::vector<Event> out;
  for (Event& event : Events())
    if (event.kind == Kind::kWrite) out.push_back(std::move(event));
  return out;
}

std::vector<RecordingStreaming::Event> RecordingStreaming::Writes(uint32_t streamType) {
  std::vector<Event> out;
  for (Event& event : Writes())
    if (event.streamType == streamType) out.push_back(std::move(event));
  return out;
}

std::vector<uint64_t> RecordingStreaming::Timestamps(uint32_t streamType) {
  std::vector<uint64_t> out;
  for (const Event& event : Writes(streamType)) out.push_back(event.timestamp);
  return out;
}

int RecordingStreaming::UpdateCount() {
  int n = 0;
  for (const Event& event : Events())
    if (event.kind == Kind::kUpdate) ++n;
  return n;
}

std::string RecordingStreaming::Order() {
  std::string out;
  for (const Event& event : Events()) {
    if (event.kind == Kind::kUpdate) {
      out += 'U';
    } else {
      out += event.streamType == kStreamTypeAudio ? 'A' : 'V';
    }
  }
  return out;
}

bool RecordingStreaming::WaitForWrites(size_t count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex_);
  return cv_.wait_for(lock, limit, [&] { return writes_ >= count; });
}

}  // namespace plenova::testing
