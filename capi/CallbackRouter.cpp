#include "capi/CallbackRouter.h"

#include <cstdint>
#include <utility>

namespace plenova::capi {
namespace {

// The entries run on the engine's threads: nothing may leave them.
template <typename Forward>
void Contained(Forward&& forward) noexcept {
  try {
    forward(CallbackRouter::Instance());
  } catch (...) {
  }
}

template <int N>
void CanvasAt(unsigned char* canvas, int size) {
  Contained([&](CallbackRouter& router) { router.Canvas(N, canvas, size); });
}
template <int N>
void SampleAt(unsigned char* data, int size) {
  Contained([&](CallbackRouter& router) { router.Sample(N, data, size); });
}
template <int N>
void MessageAt(const char* text, int code) {
  Contained([&](CallbackRouter& router) { router.Message(N, text, code); });
}
void Mp4StateAt(int stream_id, int state) {
  Contained([&](CallbackRouter& router) { router.Mp4State(stream_id, state); });
}
void EventAt(const PlenovaEvent* event, void* user) {
  if (event == nullptr) return;
  Contained([&](CallbackRouter& router) { router.Event(user, *event); });
}

// One distinct function per slot for each per-recorder callback.
template <int... N>
constexpr std::array<PlenovaCanvasCallback, sizeof...(N)> CanvasTable(
    std::integer_sequence<int, N...>) {
  return {&CanvasAt<N>...};
}
template <int... N>
constexpr std::array<PlenovaSampleCallback, sizeof...(N)> SampleTable(
    std::integer_sequence<int, N...>) {
  return {&SampleAt<N>...};
}
template <int... N>
constexpr std::array<PlenovaMessageCallback, sizeof...(N)> MessageTable(
    std::integer_sequence<int, N...>) {
  return {&MessageAt<N>...};
}
constexpr auto kCanvasEntries =
    CanvasTable(std::make_integer_sequence<int, CallbackRouter::kSlots>());
constexpr auto kSampleEntries =
    SampleTable(std::make_integer_sequence<int, CallbackRouter::kSlots>());
constexpr auto kMessageEntries =
    MessageTable(std::make_integer_sequence<int, CallbackRouter::kSlots>());

}  // namespace

CallbackRouter& CallbackRouter::Instance() {
  static CallbackRouter* router =
      new CallbackRouter;  // never destroyed: engine threads may outlive exit
  return *router;
}

int CallbackRouter::Claim() {
  for (int i = 0; i < kSlots; ++i) {
    Slot& slot = slots_[i];
    std::lock_guard<std::mutex> lock(slot.mutex);
    if (slot.in_use) continue;
    slot.in_use = true;
    Clear(slot);
    return i;
  }
  return -1;
}

void CallbackRouter::Release(int slot) {
  if (!Valid(slot)) return;
  Slot& s = slots_[slot];
  std::lock_guard<std::mutex> lock(s.mutex);
  s.in_use = false;
  Clear(s);
}

template <typename Callback>
void CallbackRouter::Store(int slot, Target<Callback> Slot::*field, Callback callback, void* user) {
  if (!Valid(slot)) return;
  std::lock_guard<std::mutex> lock(slots_[slot].mutex);
  slots_[slot].*field = Target<Callback>{callback, user};
}

template <typename Callback>
CallbackRouter::Target<Callback> CallbackRouter::Load(int slot, Target<Callback> Slot::*field) {
  if (!Valid(slot)) return {};
  std::lock_guard<std::mutex> lock(slots_[slot].mutex);
  return slots_[slot].*field;
}

void CallbackRouter::SetCanvas(int slot, plenova_canvas_callback callback, void* user) {
  Store(slot, &Slot::canvas, callback, user);
}
void CallbackRouter::SetSample(int slot, plenova_sample_callback callback, void* user) {
  Store(slot, &Slot::sample, callback, user);
}
void CallbackRouter::SetMessage(int slot, plenova_message_callback callback, void* user) {
  Store(slot, &Slot::message, callback, user);
}
void CallbackRouter::SetMp4State(int slot, plenova_mp4_state_callback callback, void* user) {
  Store(slot, &Slot::mp4, callback, user);
}
void CallbackRouter::SetEvent(int slot, plenova_event_callback callback, void* user) {
  Store(slot, &Slot::event, callback, user);
}

PlenovaCanvasCallback CallbackRouter::CanvasEntry(int slot) {
  return Valid(slot) ? kCanvasEntries[slot] : nullptr;
}
PlenovaSampleCallback CallbackRouter::SampleEntry(int slot) {
  return Valid(slot) ? kSampleEntries[slot] : nullptr;
}
PlenovaMessageCallback CallbackRouter::MessageEntry(int slot) {
  return Valid(slot) ? kMessageEntries[slot] : nullptr;
}
Mp4RecordStateCallback CallbackRouter::Mp4StateEntry() { return &Mp4StateAt; }
PlenovaEventCallback CallbackRouter::EventEntry() { return &EventAt; }
// The slot travels in the user pointer as slot + 1, so that null is no slot.
void* CallbackRouter::EventUser(int slot) {
  return Valid(slot) ? reinterpret_cast<void*>(static_cast<uintptr_t>(slot) + 1) : nullptr;
}

void CallbackRouter::Canvas(int slot, const uint8_t* canvas, int32_t size) {
  const auto target = Load(slot, &Slot::canvas);
  if (target.callback != nullptr) target.callback(canvas, size, target.user);
}

void CallbackRouter::Sample(int slot, const uint8_t* data, int32_t size) {
  const auto target = Load(slot, &Slot::sample);
  if (target.callback != nullptr) target.callback(data, size, target.user);
}

void CallbackRouter::Message(int slot, const char* text, int32_t code) {
  const auto target = Load(slot, &Slot::message);
  if (target.callback != nullptr) target.callback(text, code, target.user);
}

void CallbackRouter::Mp4State(int stream_id, int32_t state) {
  if (stream_id < 1 || stream_id > kSlots) return;
  const auto target = Load(stream_id - 1, &Slot::mp4);
  if (target.callback != nullptr) target.callback(state, target.user);
}

void CallbackRouter::Event(void* user, const PlenovaEvent& event) {
  const uintptr_t tag = reinterpret_cast<uintptr_t>(user);
  if (tag < 1 || tag > static_cast<uintptr_t>(kSlots)) return;
  const auto target = Load(static_cast<int>(tag - 1), &Slot::event);
  if (target.callback == nullptr) return;
  plenova_event out{};
  out.size = sizeof out;
  out.output = event.output;
  out.kind = event.kind;
  out.attempt = event.attempt;
  out.delay_ms = event.delay_ms;
  out.bytes = event.bytes;
  out.text = event.text != nullptr ? event.text : "";
  target.callback(&out, target.user);
}

}  // namespace plenova::capi
