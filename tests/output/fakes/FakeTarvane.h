#pragma once

// A scripted stand-in for the MP4 recorder library, handed to the
// dispatcher as its CreateRecord/DestroyRecord pair. Records stay in the
// registry after DestroyRecord so tests can read what they were given.

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "output/AVStreamingImp.h"
#include "tarvane/Tarvane.h"

namespace fake_tarvane {

struct Write {
  uint32_t tag = 0;
  uint64_t timestamp = 0;
  std::vector<uint8_t> data;
};

// Calls may come from the writer's thread while the test reads: everything
// is guarded by `mutex`, and the helpers below take it.
class FakeRecord : public ITarvaneRecord {
 public:
  // Results to answer with.
  int live_start_result = 0;
  int video_write_result = 0;
  // A failed video write is a write error (reported, GetState says so).
  bool video_failure_is_write_error = false;

  // What the recorder was given.
  Mp4VideoDesc video{};
  int stops = 0;
  std::vector<Write> writes;
  uint32_t stream_id = 0;
  TarvaneStateCallback callback = nullptr;
  bool destroyed = false;
  uint32_t state = 0;  // the last state reported

  int LiveStart(const char* path) override;
  int LiveStop() override;
  uint32_t GetState() override;
  uint64_t GetBytesWritten() override { return 0; }
  int SendLiveData(const uint8_t* data, uint32_t length, uint32_t tag, uint64_t timestamp) override;
  int SetStateCallback(uint32_t id, TarvaneStateCallback cb) override;

  // Timestamps of the writes with `tag`.
  std::vector<uint64_t> Times(uint32_t tag);
  size_t WriteCount();
  int Stops();

  std::mutex mutex;

 private:
  void Report(uint32_t new_state);
};

// Filled by the engine's threads through Create; the test reads it once
// those calls are done.
struct Registry {
  bool fail_create = false;
  std::set<std::string> open_fails;  // paths whose LiveStart fails
  std::vector<std::unique_ptr<FakeRecord>> records;
};

// The process's registry; Reset empties it.
Registry& registry();
void Reset();
plenova::Mp4RecorderApi Api();

}  // namespace fake_tarvane
