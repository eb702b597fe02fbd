#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/AudioEncode.h"
#include "audio/AudioEncodeBuffer.h"
#include "audio/IAudioMix.h"
#include "audio/ManageInUseBuffer_ForAudioMix.h"
#include "common/MemoryPool.h"
#include "common/StreamStatistics.h"
#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "sync/MediaTimeline.h"

namespace plenova {

// Set-up of the mixer. Every pointer is borrowed and outlives the mixer.
struct AudioMixSetup {
  const AudioStreamInfo* streams = nullptr;
  int32_t streamCount = 0;
  AudioEncodeBuffer* encodeBuffer = nullptr;
  MemoryPool* pool = nullptr;
  AVSynBuffer* synBuffer = nullptr;
  AudioEncode* encoder = nullptr;
  MediaTimeline* timeline = nullptr;
  int32_t target_audio_frames_per_seconds = 0;
  int32_t target_audio_channels = 0;
  int32_t target_audio_sampling_rate = 0;
  int32_t target_audio_sampling_per_bits = 0;
};

// One entry of the stream table.
struct AudioMixStreamSlot {
  std::unique_ptr<ManageInUseBuffer_ForAudioMix> queue;
  int32_t channel = 0;
  bool isWork = false;  // takes part in mixing
  int32_t sampling_per_bits = 0;
  int32_t sampling_rate = 0;
  bool streamExist = false;             // listed in the layout, or arrived by itself
  std::optional<std::string> streamId;  // none in a free slot
  TimelineStream clock;                 // the stream's place on the media timeline
  // End of the last frame queued, on the mixer's sample timeline: a frame
  // that begins within kJoinToleranceMs of it continues the stream there.
  bool joined = false;
  int64_t lastEnd = 0;
  StreamCounters counters;
};

// A stream the last layout update removed.
struct AudioMixOldStream {
  int32_t channel = 0;
  int32_t sampling_per_bits = 0;
  int32_t sampling_rate = 0;
  std::optional<std::string> streamId;
};

// What one pass of the mixing loop asks of the loop.
struct AudioMixCycle {
  enum Wait { kPoll, kNone, kPace };
  Wait wait = kPoll;
  uint32_t sleepMs = 0;  // with kPace: milliseconds until the next cycle is due
};

// Counts of what happened to the frames, for statistics. Any thread reads.
struct AudioMixCounters {
  std::atomic<uint64_t> accepted{0};     // frames queued
  std::atomic<uint64_t> refused{0};      // frames refused (no slot)
  std::atomic<uint64_t> droppedLate{0};  // frames whose time had passed
  std::atomic<uint64_t> droppedFull{0};  // frames lost to a full queue
  std::atomic<uint64_t> mixed{0};        // mixer frames produced
  std::atomic<uint64_t> silentSpans{0};  // spans no stream delivered anything for
  std::atomic<uint64_t> gainReductions{0};
};

// Sums the PCM frames of up to five streams into one stream on the
// meeting's media timeline and feeds the AAC encoder. Frames arrive on
// client threads and are placed by their timestamps on a sample timeline
// that starts at the timeline's origin; the mixing thread produces one
// mixer frame for each span [T, T + one frame) once the span is due, from
// the samples each stream delivered for that span. Samples a stream did
// not deliver are silence; frames whose span has been mixed are dropped.
class AudioMix {
 public:
  static constexpr int kMaxStreams = 5;
  // What the step asks for while no frame has anchored the timeline; the
  // thread then waits for the anchoring (or a stop) to wake it instead.
  static constexpr uint32_t kPollSleepMs = 20;
  // A frame that begins this close to where its stream's previous frame
  // ended continues the stream without a gap or an overlap.
  static constexpr int32_t kJoinToleranceMs = 4;
  // Further behind than this, the mixer skips to the present instead of
  // catching up span by span.
  static constexpr int64_t kMaxCatchUpMs = 1000;

  AudioMix();
  // The thread must have been stopped.
  ~AudioMix();
  AudioMix(const AudioMix&) = delete;
  AudioMix& operator=(const AudioMix&) = delete;

  // Enters the listed streams (inactive until an update lists them) and the
  // target format. False only for a missing record. Before the thread runs.
  bool AudioMixInit(const AudioMixSetup* setup);
  // Takes the new target format and stream list: listed streams become
  // active, streams no longer listed are removed with their queued frames.
  // Client thread.
  void UpdataAudioMix(const AudioMixUpdateParam* param);
  // Places one frame on the timeline by its timestamp and queues it. Frames
  // of a stream the last update removed are dropped; frames of an unknown
  // stream take a free slot and wait there until an update lists the
  // stream; frames whose span has already been mixed are dropped (a dropped
  // frame's buffer goes back to its pool). False for a frame without a
  // buffer or stream id, or when no slot is free. Client thread.
  bool AudioMixPushdata(AudioMixFrame frame);
  void AudioMixUnint();

  // Starts and stops the mixing thread; stop returns when it has ended.
  // Frames queued before a start are dropped: the timeline is anchored
  // anew by the next frame. Control thread.
  void start();
  void stop();

  // One pass of the mixing loop at timer value `now`: mixes the next span
  // when it is due, then runs the encoding step. Mixing thread (or a test).
  AudioMixCycle AudioMixStep(uint32_t now);

  // Mixer frame bytes for a format (channels x rate x bits / fps / 8, with
  // a fixed size for degenerate formats).
  static int32_t FrameSize(int32_t channels, int32_t sampling_rate, int32_t sampling_per_bits,
                           int32_t fps);

  // Observers for the control side and tests.
  int32_t AudioFrameSize();
  // The stamp the next mixed frame will carry, and where its span ends.
  uint64_t NextStamp();
  uint64_t NextEndStamp();
  const AudioMixCounters& Counters() const { return m_counters; }
  // Every stream in the table with its counters, under the mixer's lock.
  std::vector<StreamStatistics> StreamStatisticsSnapshot();
  // Copies of the tables, taken under the mixer's lock.
  std::array<AudioMixOldStream, kMaxStreams> OldStreams();
  // Slot `i`'s flags and queued frame count (-1 without a queue).
  struct SlotView {
    std::optional<std::string> streamId;
    int32_t channel = 0, sampling_per_bits = 0, sampling_rate = 0;
    bool isWork = false, streamExist = false;
    int queued = -1;
  };
  SlotView Slot(int i);

 private:
  void AuidoMixThreadFunc();
  // Mixes the span that begins at sample `position` (stamped `stamp`) from
  // every active stream. Returns whether anything was produced.
  bool GetMixedData(int64_t position, uint64_t stamp);
  // Mixes one frame from the streams' spans (see MixPcm16Frame) and hands it
  // to the encode buffer.
  void AudioMixFunction(std::span<const std::span<const int16_t>> inputs, uint64_t stamp,
                        uint32_t tick);
  bool CheckStreamInfoExist(const AudioStreamInfo* streams, int32_t count);
  void EncodeStep();
  void DumpTablesLocked();
  void LogQueueStatisticsLocked();
  int FindSlotLocked(const char* id, int32_t channel, int32_t bits, int32_t rate) const;
  int FirstFreeSlotLocked() const;
  void FillSlotLocked(AudioMixStreamSlot& slot, const char* id, int32_t channel, int32_t bits,
                      int32_t rate);
  // Samples per channel of one mixer frame.
  int32_t SpanFramesLocked() const;
  // Output time of sample `position` of the current grid.
  uint64_t StampOfLocked(int64_t position) const;
  // Starts the sample timeline at `origin` for anchoring `epoch`, dropping
  // what was queued for another one.
  void AdoptEpochLocked(uint64_t epoch, uint64_t origin);
  void FlushQueuesLocked();

  // Borrowed from the audio path's owner; outlive the mixer.
  MemoryPool* m_pool = nullptr;
  AudioEncodeBuffer* m_encodeBuffer = nullptr;
  AudioEncode* m_encoder = nullptr;
  AVSynBuffer* m_synBuffer = nullptr;
  MediaTimeline* m_timeline = nullptr;

  // Guards the stream tables, the target format and frame size, and the
  // sample timeline below; taken by layout updates and frame pushes on
  // client threads and by each mixing cycle. Taken before a queue's mutex,
  // the timeline's and the pool's.
  platform::Mutex m_mutex;
  std::array<AudioMixStreamSlot, kMaxStreams> m_streaminfo_current;
  std::array<AudioMixOldStream, kMaxStreams> m_streaminfo_old;
  int32_t m_audio_frame_size = 0;
  int32_t m_target_audio_channels = 0;
  int32_t m_target_audio_sampling_rate = 0;
  int32_t m_target_audio_sampling_per_bits = 0;
  // Written before the thread starts; read by it.
  int32_t m_target_audio_frames_per_seconds = 0;
  // The sample timeline: its origin and anchoring, and the sample up to
  // which everything has been mixed. Grid positions are counted from the
  // origin; a change of target format starts a new grid at the next span.
  bool m_hasEpoch = false;
  uint64_t m_epoch = 0;
  uint64_t m_origin = 0;
  int64_t m_mixedUntil = 0;
  std::vector<int16_t> m_spans;  // one span per slot, reused every cycle

  // Set by the timeline when a frame anchors it, and by stop().
  platform::Event m_wake;
  platform::Thread m_thread;
  std::atomic<bool> m_running{false};
  uint64_t m_mixCount = 0;
  uint64_t m_statCount = 0;
  uint64_t m_countedFrames = 0;
  AudioMixCounters m_counters;
};

}  // namespace plenova
