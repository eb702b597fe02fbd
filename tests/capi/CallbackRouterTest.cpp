// The routing of the engine's callbacks, which carry no user pointer, to
// the callback and user pointer of the C handle they belong to.

#include "capi/CallbackRouter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace plenova::capi {
namespace {

// What the C callbacks of one handle received.
struct Received {
  std::vector<int> states;
  std::vector<int> canvas_sizes;
  std::vector<std::string> messages;
  std::vector<int> sample_sizes;
  std::vector<std::string> events;  // "size output kind attempt delay bytes text"
};

void OnState(int32_t state, void* user) { static_cast<Received*>(user)->states.push_back(state); }
void OnCanvas(const uint8_t*, int32_t size, void* user) {
  static_cast<Received*>(user)->canvas_sizes.push_back(size);
}
void OnSample(const uint8_t*, int32_t size, void* user) {
  static_cast<Received*>(user)->sample_sizes.push_back(size);
}
void OnMessage(const char* text, int32_t code, void* user) {
  static_cast<Received*>(user)->messages.push_back(std::string(text) + "/" + std::to_string(code));
}

void OnEvent(const plenova_event* e, void* user) {
  static_cast<Received*>(user)->events.push_back(
      std::to_string(e->size) + " " + std::to_string(e->output) + " " + std::to_string(e->kind) +
      " " + std::to_string(e->attempt) + " " + std::to_string(e->delay_ms) + " " +
      std::to_string(e->bytes) + " " + e->text);
}
void Throw(const plenova_event*, void*) {
  throw std::runtime_error("a host's callback that throws");
}

class CallbackRouterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int slot : claimed_) router_.Release(slot);
  }
  int Claim() {
    const int slot = router_.Claim();
    if (slot >= 0) claimed_.push_back(slot);
    return slot;
  }
  // A handle's slot with all four callbacks going to `received`.
  int Handle(Received* received) {
    const int slot = Claim();
    router_.SetMp4State(slot, &OnState, received);
    router_.SetCanvas(slot, &OnCanvas, received);
    router_.SetSample(slot, &OnSample, received);
    router_.SetMessage(slot, &OnMessage, received);
    router_.SetEvent(slot, &OnEvent, received);
    return slot;
  }

  CallbackRouter& router_ = CallbackRouter::Instance();
  std::vector<int> claimed_;
};

// Canvases, MP4 states and file events of two handles at once are checked
// through the real library by c_api_test; samples and messages here.
TEST_F(CallbackRouterTest, EachHandlesEntriesReachOnlyItsOwnCallbacks) {
  Received a, b;
  const int sa = Handle(&a);
  const int sb = Handle(&b);
  ASSERT_NE(sa, sb);
  // What the engine holds: plain functions, one per slot.
  EXPECT_NE(CallbackRouter::SampleEntry(sa), CallbackRouter::SampleEntry(sb));
  EXPECT_NE(CallbackRouter::MessageEntry(sa), CallbackRouter::MessageEntry(sb));
  uint8_t pixel = 0;
  CallbackRouter::SampleEntry(sb)(&pixel, 7);
  CallbackRouter::MessageEntry(sa)("connected", 3);
  EXPECT_TRUE(a.sample_sizes.empty());
  EXPECT_EQ(b.sample_sizes, (std::vector<int>{7}));
  EXPECT_EQ(a.messages, (std::vector<std::string>{"connected/3"}));
  EXPECT_TRUE(b.messages.empty());
}

// The engine's event callback has a user pointer: one entry serves every
// handle, and the slot rides in the pointer the handle registered.
TEST_F(CallbackRouterTest, EventsReachTheirHandleAsTheCRecord) {
  Received a, b;
  const int sa = Handle(&a);
  const int sb = Handle(&b);
  const PlenovaEventCallback entry = CallbackRouter::EventEntry();
  PlenovaEvent reconnecting{};
  reconnecting.size = sizeof reconnecting;
  reconnecting.output = PLENOVA_OUTPUT_RTMP_2;
  reconnecting.kind = PLENOVA_EVENT_RECONNECTING;
  reconnecting.attempt = 3;
  reconnecting.delay_ms = 4000;
  reconnecting.text = "rtmp://127.0.0.1/live/****";
  PlenovaEvent closed{};
  closed.output = PLENOVA_OUTPUT_MP4;
  closed.kind = PLENOVA_EVENT_FILE_CLOSED;
  closed.bytes = 123456789012ull;
  closed.text = nullptr;  // the C side always gets a string
  entry(&reconnecting, CallbackRouter::EventUser(sb));
  entry(&closed, CallbackRouter::EventUser(sa));
  entry(nullptr, CallbackRouter::EventUser(sa));
  entry(&closed, nullptr);  // no slot
  entry(&closed, CallbackRouter::EventUser(CallbackRouter::kSlots));
  const std::string size = std::to_string(sizeof(plenova_event));
  EXPECT_EQ(b.events,
            (std::vector<std::string>{size + " 2 3 3 4000 0 rtmp://127.0.0.1/live/****"}));
  EXPECT_EQ(a.events, (std::vector<std::string>{size + " 0 7 0 0 123456789012 "}));

  // A host's callback that throws is contained in the entry.
  router_.SetEvent(sa, &Throw, nullptr);
  EXPECT_NO_THROW(entry(&closed, CallbackRouter::EventUser(sa)));
  router_.SetEvent(sa, nullptr, nullptr);
  entry(&closed, CallbackRouter::EventUser(sa));
  router_.Release(sb);
  entry(&reconnecting, CallbackRouter::EventUser(sb));
  EXPECT_EQ(a.events.size(), 1u);
  EXPECT_EQ(b.events.size(), 1u);
}

// A setter on a client thread and the forwarding on an engine thread
// (checked under ThreadSanitizer): every call reaches one whole target.
TEST_F(CallbackRouterTest, CallbacksChangeWhileAnEngineThreadCalls) {
  Received a, b;
  const int slot = Handle(&a);
  std::atomic<bool> done{false};
  std::thread engine([&] {
    uint8_t pixel = 0;
    for (int i = 0; i < 5000; ++i) CallbackRouter::SampleEntry(slot)(&pixel, 1);
    done = true;
  });
  for (int i = 0; !done.load(); ++i) router_.SetSample(slot, &OnSample, (i % 2) != 0 ? &a : &b);
  engine.join();
  EXPECT_EQ(a.sample_sizes.size() + b.sample_sizes.size(), 5000u);
}

}  // namespace

extern "C" const long plenova_c_constants[];
extern "C" const long plenova_c_layout[];

namespace {

// C takes its constants from plenova_c.h, C++ from Plenova.h; the records
// are laid out by two compilers. Both must agree with the C++ interface.
TEST(CInterfaceRecords, CConstantsAndLayoutsAreTheCxxOnes) {
  const std::vector<long> constants(plenova_c_constants, plenova_c_constants + 13);
  EXPECT_EQ(constants, (std::vector<long>{
                           PLENOVA_OUTPUT_MP4, PLENOVA_OUTPUT_RTMP_1, PLENOVA_OUTPUT_RTMP_2,
                           PLENOVA_OUTPUT_COUNT, PLENOVA_EVENT_CONNECTING, PLENOVA_EVENT_PUBLISHING,
                           PLENOVA_EVENT_RECONNECTING, PLENOVA_EVENT_FAILED, PLENOVA_EVENT_STOPPED,
                           PLENOVA_EVENT_FILE_OPENED, PLENOVA_EVENT_FILE_CLOSED,
                           PLENOVA_EVENT_WRITE_ERROR, PLENOVA_MAX_STREAM_STATISTICS}));
  const std::vector<long> layout(plenova_c_layout, plenova_c_layout + 15);
  const auto at = [](size_t offset) { return static_cast<long>(offset); };
  EXPECT_EQ(
      layout,
      (std::vector<long>{
          at(sizeof(PlenovaEvent)), at(offsetof(PlenovaEvent, bytes)),
          at(offsetof(PlenovaEvent, text)), at(sizeof(PlenovaOutputStatistics)),
          at(offsetof(PlenovaOutputStatistics, outage_ms)),
          at(offsetof(PlenovaOutputStatistics, last_error)), at(sizeof(PlenovaStreamStatistics)),
          at(offsetof(PlenovaStreamStatistics, accepted)),
          at(offsetof(PlenovaStreamStatistics, queue_depth)), at(sizeof(PlenovaStatistics)),
          at(offsetof(PlenovaStatistics, outputs)), at(offsetof(PlenovaStatistics, streams)),
          at(offsetof(PlenovaStatistics, canvases_composed)),
          at(offsetof(PlenovaStatistics, av_offset_ms)),
          at(offsetof(PlenovaStatistics, reserved))}));
}

}  // namespace
}  // namespace plenova::capi
