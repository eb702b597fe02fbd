#pragma once

// Pushes one participant's frames into the engine in real time: video frame k
// at k * 40 ms with timestamp k * 3600, audio frame n at n * 20 ms with
// timestamp n * 1800 (90 kHz ticks from frame counts, never from the wall
// clock). One pusher runs on one thread of its own.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "tools/plenova-record/ParticipantSource.h"

namespace plenova::record {

// Totals over every participant; written by the pusher threads, read by the
// status line.
struct PushCounters {
  std::atomic<uint64_t> video_pushed{0};
  std::atomic<uint64_t> video_refused{0};
  std::atomic<uint64_t> audio_pushed{0};
  std::atomic<uint64_t> audio_refused{0};
  std::atomic<uint64_t> skipped{0};  // frames given up after the thread fell far behind
};

class ParticipantPusher {
 public:
  // Frames further behind than this are skipped rather than pushed in a burst.
  static constexpr uint32_t kMaxLagMs = 500;

  // `engine` and `counters` are borrowed and outlive the pusher. A
  // participant whose camera is off pushes no video; one past the engine's
  // five audio streams pushes no audio.
  ParticipantPusher(IPlenova* engine, std::unique_ptr<ParticipantSource> source,
                    SourceFormat format, std::string stream_id, bool push_video, bool push_audio,
                    PushCounters* counters);

  // Pushes every frame due at `elapsed_ms` after the start and returns the
  // elapsed time at which the next one is due.
  uint32_t Step(uint32_t elapsed_ms);

  // Steps on the process clock until `stop` is set; elapsed time counts from
  // `start_ms` (a TimeGetTime value shared by every participant).
  void Run(const std::atomic<bool>& stop, uint32_t start_ms);

  const std::string& stream_id() const { return stream_id_; }

 private:
  void PushVideo(int64_t index);
  void PushAudio(int64_t index);

  IPlenova* const engine_;  // borrowed
  std::unique_ptr<ParticipantSource> source_;
  const SourceFormat format_;
  const std::string stream_id_;
  const bool push_video_;
  const bool push_audio_;
  PushCounters* const counters_;  // borrowed
  std::vector<uint8_t> video_buffer_;
  std::vector<int16_t> audio_buffer_;
  int64_t next_video_ = 0;
  int64_t next_audio_ = 0;
};

}  // namespace plenova::record
