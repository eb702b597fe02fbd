#pragma once

// What the engine reports through its client callbacks: canvases (p1 of
// PlenovaInit), publisher messages (p3) and MP4 state reports. The engine's
// callbacks carry no user pointer, so one process-wide instance collects
// them; the callbacks run on engine threads.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace plenova::record {

class EngineEvents {
 public:
  // The process-wide instance the static callbacks feed.
  static EngineEvents& Instance();

  // Callbacks in the engine's signatures.
  static void OnCanvas(unsigned char* canvas, int size);
  static void OnMessage(const char* text, int code);
  static void OnMp4State(int stream_id, int state);

  // Forgets everything; `canvas_bytes` is the expected canvas size.
  void Reset(int canvas_bytes);

  // Asks for a copy of the next canvas.
  void RequestCanvas();
  // Moves the requested canvas into `out` once it has arrived.
  bool TakeCanvas(std::vector<uint8_t>* out);

  uint64_t canvases() const { return canvases_.load(std::memory_order_relaxed); }
  uint64_t wrong_size_canvases() const { return wrong_size_.load(std::memory_order_relaxed); }
  // The last MP4 state reported (0 before any; 1 started, 2 stopped, 3 write
  // error, 4 open failed).
  int mp4_state() const { return mp4_state_.load(std::memory_order_relaxed); }
  // Publisher messages in arrival order, each "text (code N)".
  std::vector<std::string> Messages();

 private:
  void Canvas(const unsigned char* canvas, int size);
  void Message(const char* text, int code);

  std::atomic<uint64_t> canvases_{0};
  std::atomic<uint64_t> wrong_size_{0};
  std::atomic<int> mp4_state_{0};
  std::atomic<bool> canvas_wanted_{false};
  // Guards the members below; taken by the engine's compositing and
  // publisher threads and by the program's main thread.
  std::mutex mutex_;
  int canvas_bytes_ = 0;
  bool canvas_ready_ = false;
  std::vector<uint8_t> canvas_;
  std::vector<std::string> messages_;
};

}  // namespace plenova::record
