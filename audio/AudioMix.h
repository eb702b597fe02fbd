#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio/AudioEncode.h"
#include "audio/AudioEncodeBuffer.h"
#include "audio/IAudioMix.h"
#include "audio/ManageInUseBuffer_ForAudioMix.h"
#include "common/MemoryPool.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"

namespace plenova {

// Set-up of the mixer. Every pointer is borrowed and outlives the mixer.
struct AudioMixSetup {
  const AudioStreamInfo* streams = nullptr;
  int32_t streamCount = 0;
  AudioEncodeBuffer* encodeBuffer = nullptr;
  MemoryPool* pool = nullptr;
  AVSynBuffer* synBuffer = nullptr;
  AudioEncode* encoder = nullptr;
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
  bool streamExist = false;  // listed in the layout, or arrived by itself
  std::optional<std::string> streamId;  // none in a free slot
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
  uint32_t due = 0;  // with kPace: timer value when the next cycle is due
};

// Sums the PCM frames of up to five streams into one stream on a paced
// 90 kHz timeline and feeds the AAC encoder. Frames arrive on client
// threads; the mixing thread takes the oldest frame of every active stream
// once per mixer frame period.
class AudioMix {
 public:
  static constexpr int kMaxStreams = 5;
  // Sleep between looks at the queues while no frame has come yet: an idle
  // engine wakes rarely, and the timeline starts at most this late.
  static constexpr uint32_t kPollSleepMs = 20;

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
  // Queues one frame (ownership of its buffer passes). Frames of a stream
  // the last update removed are dropped; frames of an unknown stream take a
  // free slot and wait there until an update lists the stream. False for a
  // missing frame, or when no slot is free (the buffer goes back to the
  // pool). Client thread.
  bool AudioMixPushdata(const AudioMixFrame* frame);
  void AudioMixUnint();

  // Starts and stops the mixing thread; stop returns when it has ended. The
  // timeline survives a stop: after a start it continues one frame period
  // after the last stamp issued. Control thread.
  void start();
  void stop();

  // One pass of the mixing loop at timer value `now`: a look at the queues
  // or a mixing cycle, then the encoding step. Mixing thread (or a test).
  AudioMixCycle AudioMixStep(uint32_t now);
  // Milliseconds to sleep before the cycle due at `due`, at timer value
  // `now`: due - now + 5 up to 500 ms early, 50 when earlier, 0 when late.
  static uint32_t PacingSleepMs(uint32_t due, uint32_t now);

  // Mixer frame bytes for a format (channels x rate x bits / fps / 8, with
  // a fixed size for degenerate formats).
  static int32_t FrameSize(int32_t channels, int32_t sampling_rate, int32_t sampling_per_bits,
                           int32_t fps);

  // Observers for the control side and tests.
  int32_t AudioFrameSize();
  // The stamp the next mixed frame will carry; not while the thread runs.
  uint64_t NextStamp();
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
  struct Triple {
    uint64_t firstStamp;
    bool found;
    uint32_t cycleState;
  };

  void AuidoMixThreadFunc();
  Triple GetMixedData(uint64_t timestamp, bool lookOnly);
  void AudioMixFunction(PoolBuffer* const* frames, int count, uint64_t timestamp);
  bool CheckStreamInfoExist(const AudioStreamInfo* streams, int32_t count);
  void EncodeStep();
  void DumpTablesLocked();
  void LogQueueStatisticsLocked();
  void GiveBack(PoolBuffer* buffer);
  uint64_t StampOf(uint64_t frames) const;
  int FindSlotLocked(const char* id, int32_t channel, int32_t bits, int32_t rate) const;
  int FirstFreeSlotLocked() const;
  void FillSlotLocked(AudioMixStreamSlot& slot, const char* id, int32_t channel, int32_t bits,
                      int32_t rate);

  // Borrowed from the audio path's owner; outlive the mixer.
  MemoryPool* m_pool = nullptr;
  AudioEncodeBuffer* m_encodeBuffer = nullptr;
  AudioEncode* m_encoder = nullptr;
  AVSynBuffer* m_synBuffer = nullptr;

  // Guards the stream tables, the target format and frame size; taken by
  // layout updates and frame pushes on client threads and by each mixing
  // cycle. Taken before a queue's mutex and the pool's.
  platform::Mutex m_mutex;
  std::array<AudioMixStreamSlot, kMaxStreams> m_streaminfo_current;
  std::array<AudioMixOldStream, kMaxStreams> m_streaminfo_old;
  int32_t m_audio_frame_size = 0;
  int32_t m_target_audio_channels = 0;
  int32_t m_target_audio_sampling_rate = 0;
  int32_t m_target_audio_sampling_per_bits = 0;
  // Written before the thread starts; read by it.
  int32_t m_target_audio_frames_per_seconds = 0;

  // The thread's own state: written by the mixing thread only while it runs,
  // by start() before it runs; read by observers after stop().
  platform::Thread m_thread;
  std::atomic<bool> m_running{false};
  bool m_waitingOrigin = true;
  uint64_t m_firstStamp = 0;
  bool m_found = false;
  uint32_t m_cycleState = 1;
  uint64_t m_origin = 0;
  uint64_t m_nextStamp = 0;
  uint32_t m_startTick = 0;
  uint32_t m_nowTick = 0;
  uint64_t m_pacedFrames = 0;
  uint64_t m_timelineFrames = 0;
  uint64_t m_mixCount = 0;
  uint64_t m_statCount = 0;
  uint64_t m_countedFrames = 0;
};

}  // namespace plenova
