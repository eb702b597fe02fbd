#include "tools/plenova-record/EngineEvents.h"

#include <cstring>

namespace plenova::record {
namespace {
constexpr size_t kMaxMessages = 100;
}

EngineEvents& EngineEvents::Instance() {
  static EngineEvents instance;
  return instance;
}

void EngineEvents::OnCanvas(unsigned char* canvas, int size) { Instance().Canvas(canvas, size); }

void EngineEvents::OnMessage(const char* text, int code) { Instance().Message(text, code); }

void EngineEvents::OnMp4State(int /*stream_id*/, int state) {
  Instance().mp4_state_.store(state, std::memory_order_relaxed);
}

void EngineEvents::Reset(int canvas_bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  canvases_ = 0;
  wrong_size_ = 0;
  mp4_state_ = 0;
  canvas_wanted_ = false;
  canvas_bytes_ = canvas_bytes;
  canvas_ready_ = false;
  canvas_.clear();
  messages_.clear();
}

void EngineEvents::RequestCanvas() { canvas_wanted_.store(true, std::memory_order_release); }

bool EngineEvents::TakeCanvas(std::vector<uint8_t>* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!canvas_ready_) return false;
  out->swap(canvas_);
  canvas_ready_ = false;
  return true;
}

std::vector<std::string> EngineEvents::Messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

void EngineEvents::Canvas(const unsigned char* canvas, int size) {
  canvases_.fetch_add(1, std::memory_order_relaxed);
  // Only a requested canvas is copied: the callback runs on the compositing
  // thread 25 times a second.
  if (!canvas_wanted_.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (canvas == nullptr || size != canvas_bytes_) {
    wrong_size_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  canvas_.assign(canvas, canvas + size);
  canvas_ready_ = true;
  canvas_wanted_.store(false, std::memory_order_release);
}

void EngineEvents::Message(const char* text, int code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (messages_.size() >= kMaxMessages) messages_.erase(messages_.begin());
  messages_.push_back(std::string(text != nullptr ? text : "(no text)") + " (code " +
                      std::to_string(code) + ")");
}

}  // namespace plenova::record
