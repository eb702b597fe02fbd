#pragma once

// The engine's older callbacks carry no user pointer: the canvas, sample and
// message callbacks are plain functions kept per recorder, and the MP4 state
// callback is one function for the whole process that reports the stream id
// its recorder registered. The router gives each C handle a slot with its
// own entry functions (and its own MP4 stream id) and forwards each call to
// the callback and user pointer the handle set. The event callback has a
// user pointer of its own; the router's one entry for it gets the slot there
// and hands the C callback the event as the C record.

#include <array>
#include <cstdint>
#include <mutex>

#include "api/Plenova.h"
#include "api/plenova_c.h"

namespace plenova::capi {

class CallbackRouter {
 public:
  // Handles that can be alive at once in a process.
  static constexpr int kSlots = 64;

  // The one router of the process.
  static CallbackRouter& Instance();

  // A free slot with every callback cleared, or -1 when all are taken.
  int Claim();
  // Clears the slot's callbacks and frees it. The caller makes sure the
  // engine no longer calls the slot's entries (the recorder is destroyed).
  void Release(int slot);

  // Setters; an out-of-range slot is ignored.
  void SetCanvas(int slot, plenova_canvas_callback callback, void* user);
  void SetSample(int slot, plenova_sample_callback callback, void* user);
  void SetMessage(int slot, plenova_message_callback callback, void* user);
  void SetMp4State(int slot, plenova_mp4_state_callback callback, void* user);
  void SetEvent(int slot, plenova_event_callback callback, void* user);

  // The functions to hand to the engine for `slot` (0 <= slot < kSlots).
  static PlenovaCanvasCallback CanvasEntry(int slot);
  static PlenovaSampleCallback SampleEntry(int slot);
  static PlenovaMessageCallback MessageEntry(int slot);
  // One function for every slot; the stream id to register with it.
  static Mp4RecordStateCallback Mp4StateEntry();
  static int Mp4StreamId(int slot) { return slot + 1; }
  // One function for every slot; the user pointer to register with it.
  static PlenovaEventCallback EventEntry();
  static void* EventUser(int slot);

  // Forwarding, on the engine's threads: calls the slot's callback, if one
  // is set, outside the slot's lock.
  void Canvas(int slot, const uint8_t* canvas, int32_t size);
  void Sample(int slot, const uint8_t* data, int32_t size);
  void Message(int slot, const char* text, int32_t code);
  void Mp4State(int stream_id, int32_t state);
  // `user` as registered with EventEntry; the C record holds the fields
  // both records have.
  void Event(void* user, const PlenovaEvent& event);

 private:
  template <typename Callback>
  struct Target {
    Callback callback = nullptr;
    void* user = nullptr;
  };
  struct Slot {
    // Guards the fields below; taken by the setters on client threads and
    // briefly by the forwarding on engine threads. Nothing is called under it.
    std::mutex mutex;
    bool in_use = false;
    Target<plenova_canvas_callback> canvas;
    Target<plenova_sample_callback> sample;
    Target<plenova_message_callback> message;
    Target<plenova_mp4_state_callback> mp4;
    Target<plenova_event_callback> event;
  };
  static bool Valid(int slot) { return slot >= 0 && slot < kSlots; }
  // Clears every target; called with the slot's lock held.
  static void Clear(Slot& slot) {
    slot.canvas = {};
    slot.sample = {};
    slot.message = {};
    slot.mp4 = {};
    slot.event = {};
  }
  template <typename Callback>
  void Store(int slot, Target<Callback> Slot::*field, Callback callback, void* user);
  // The slot's target for `field`; empty for a slot out of range.
  template <typename Callback>
  Target<Callback> Load(int slot, Target<Callback> Slot::*field);

  std::array<Slot, kSlots> slots_;
};

}  // namespace plenova::capi
