#pragma once

#include <cstdint>
#include <vector>

#include "audio/AacLcLibrary.h"
#include "audio/AudioMix.h"
#include "audio/AudioMixImp.h"
#include "audio/IAudioMix.h"
#include "common/MemoryPool.h"
#include "sync/AVSynBuffer.h"
#include "sync/IAVSynCtl.h"
#include "sync/MediaTimeline.h"

namespace plenova::testing {

// One AAC frame as the sync buffer queued it.
struct SynAudioFrame {
  std::vector<uint8_t> data;
  uint64_t timestamp = 0;
  uint32_t tick = 0;
  int32_t channels = 0, bits = 0, rate = 0, fps = 0;
};

// Takes the AAC frames out of a real sync buffer's audio queue, as the sync
// controller does, and keeps copies. The queue is bounded: drain it at least
// every few dozen frames. Test thread only; the buffer outlives it.
class SynRecord {
 public:
  explicit SynRecord(AVSynBuffer* syn) : syn_(syn) {}
  void Drain();
  std::vector<SynAudioFrame> Frames();  // drains first
  size_t Count();                       // drains first

 private:
  AVSynBuffer* syn_;
  std::vector<SynAudioFrame> frames_;
};

// A stand-in for the AAC library that behaves as libavcodec's encoder does:
// after `delay` calls that produce nothing, each call puts out one frame;
// the first is the decoder's priming and each later one carries the input
// one before it. Its 8 bytes name that input's index on its encoder (-1 for
// the priming), then the input's first sample (0 for the priming).
struct FakeAacState {
  int delay = 1;
  bool refuse_open = false;
  uint32_t input_samples_per_channel = 1024;
  int open_handles = 0;
  std::vector<uint32_t> open_rates, open_channels;
  std::vector<uint32_t> encoded_samples;  // per encode call
  AacLcConfiguration config{};
};
const AacLcLibrary& FakeAacLibrary();
FakeAacState& FakeAac();
void ResetFakeAac();
// What a fake frame carries (see FakeAacState).
int32_t PayloadIndex(const SynAudioFrame& frame);
int32_t PayloadFirstSample(const SynAudioFrame& frame);

class FakeSynCtl : public IAVSynCtl {
 public:
  void InitIAVSynCtl(const AVSynCtlParam*, MemoryPool*) override {}
  void StartSynThread() override {}
  void StopSynThread() override {}
  void SetAudioFrameDuration(int32_t duration) override { durations.push_back(duration); }
  std::vector<int32_t> durations;
};

// A pool block holding `samples` with the given stamp and tick.
PoolBuffer* PcmBlock(MemoryPool& pool, const std::vector<int16_t>& samples, uint64_t timestamp,
                     uint32_t tick = 0);

// A frame record of the stream `id` in the given format.
AudioMixFrame MixFrame(PoolBufferPtr block, const char* id, int32_t channels = 2,
                       int32_t rate = 48000, int32_t bits = 16);

// Initialises the path for the one stream `info` in the stream's own format
// and activates it, as the recorder does on its first audio layout.
bool InitOneStreamPath(AudioMixImp& imp, AudioStreamInfo* info, MemoryPool* pool, AVSynBuffer* syn,
                       IAVSynCtl* ctl, MediaTimeline* timeline, int32_t fps);

// A mixer set-up for `streams` with a 16-bit target format.
AudioMixSetup MixerSetup(const std::vector<AudioStreamInfo>& streams, MemoryPool* pool,
                         AudioEncodeBuffer* buffer, int32_t fps, int32_t channels, int32_t rate);

}  // namespace plenova::testing
