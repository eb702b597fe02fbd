#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plenova {

// What became of one input stream's frames, for the host's statistics.
// Kept by the mixer that queues the stream, under its lock.
struct StreamCounters {
  uint64_t accepted = 0;     // frames queued
  uint64_t droppedLate = 0;  // frames whose time had passed when they came
  uint64_t droppedFull = 0;  // frames lost to a full queue
  uint64_t skipped = 0;      // frames a newer one replaced before they showed
};

// One stream's counters with its id and queue depth, as a snapshot.
struct StreamStatistics {
  std::string id;
  bool audio = false;
  bool listed = false;  // in the current layout
  StreamCounters counters;
  int queued = 0;
};

// What a mixer tells the host's statistics.
struct MixStatistics {
  std::vector<StreamStatistics> streams;
  uint64_t mixed = 0;           // audio: mixer frames produced
  uint64_t gainReductions = 0;  // audio
  uint64_t silentSpans = 0;     // audio
  uint64_t composed = 0;        // video: canvases handed on
  uint64_t skipped = 0;         // video: canvases given up to catch up
  int encoderSpeed = 0;         // video: the H.264 encoder's speed step
  uint32_t encoderSpeedChanges = 0;
};

}  // namespace plenova
