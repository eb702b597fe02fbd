#include "tests/audio/AudioFakes.h"

#include <cstring>
#include <utility>

namespace plenova::testing {

void SynRecord::Drain() {
  AVSynBuffer::ManageInUseBuffer_A* queue = syn_->AudioQueue();
  while (queue->getdata(0)) {
    const AudioSampleNode* node = queue->Current();
    const PoolBuffer* b = node->buffer.get();
    frames_.push_back(SynAudioFrame{{b->data, b->data + b->len},
                                    b->timestamp,
                                    b->tick,
                                    node->channels,
                                    node->sampling_per_bits,
                                    node->sampling_rate,
                                    node->fps});
    syn_->GiveBackAudio(queue->Current()->buffer.release());
    queue->ResetCurrent();
  }
}

std::vector<SynAudioFrame> SynRecord::Frames() {
  Drain();
  return frames_;
}

size_t SynRecord::Count() { return Frames().size(); }

namespace {

FakeAacState g_fake;

struct FakeHandle {
  int calls = 0;
  std::vector<int16_t> first_samples;  // of this encoder's calls
};

AacLcHandle FakeOpen(uint32_t rate, uint32_t channels, uint32_t* input_samples,
                     uint32_t* max_output) {
  g_fake.open_rates.push_back(rate);
  g_fake.open_channels.push_back(channels);
  if (g_fake.refuse_open) return nullptr;
  *input_samples = g_fake.input_samples_per_channel * channels;
  *max_output = 64;
  ++g_fake.open_handles;
  return reinterpret_cast<AacLcHandle>(new FakeHandle);
}

AacLcConfiguration* FakeGetConfiguration(AacLcHandle) { return &g_fake.config; }

int FakeSetConfiguration(AacLcHandle, const AacLcConfiguration* config) {
  g_fake.config = *config;
  return 1;
}

int FakeEncode(AacLcHandle handle, const int16_t* input, uint32_t samples, uint8_t* output,
               uint32_t size) {
  FakeHandle* h = reinterpret_cast<FakeHandle*>(handle);
  const int call = h->calls++;
  g_fake.encoded_samples.push_back(samples);
  h->first_samples.push_back(samples > 0 ? input[0] : 0);
  if (call < g_fake.delay || size < 8) return 0;
  // The first frame out is the decoder's priming; each later one carries
  // the input one before it.
  const int32_t index = call - g_fake.delay - 1;
  std::memcpy(output, &index, 4);
  const int32_t first = index >= 0 ? h->first_samples[static_cast<size_t>(index)] : 0;
  std::memcpy(output + 4, &first, 4);
  return 8;
}

int FakeClose(AacLcHandle handle) {
  --g_fake.open_handles;
  delete reinterpret_cast<FakeHandle*>(handle);
  return 0;
}

}  // namespace

const AacLcLibrary& FakeAacLibrary() {
  static const AacLcLibrary library{FakeOpen, FakeGetConfiguration, FakeSetConfiguration,
                                    FakeEncode, FakeClose};
  return library;
}

FakeAacState& FakeAac() { return g_fake; }

void ResetFakeAac() { g_fake = FakeAacState{}; }

PoolBuffer* PcmBlock(MemoryPool& pool, const std::vector<int16_t>& samples, uint64_t timestamp,
                     uint32_t tick) {
  const int32_t bytes = static_cast<int32_t>(samples.size() * 2);
  PoolBuffer* block = pool.GetEmptyBuffer(bytes);
  std::memcpy(block->data, samples.data(), static_cast<size_t>(bytes));
  block->len = bytes;
  block->timestamp = timestamp;
  block->tick = tick;
  return block;
}

AudioMixFrame MixFrame(PoolBufferPtr block, const char* id, int32_t channels, int32_t rate,
                       int32_t bits) {
  return AudioMixFrame{std::move(block), id, channels, bits, rate, 0};
}

int32_t PayloadFirstSample(const SynAudioFrame& frame) {
  int32_t v = 0;
  if (frame.data.size() >= 8) std::memcpy(&v, frame.data.data() + 4, 4);
  return v;
}

bool InitOneStreamPath(AudioMixImp& imp, AudioStreamInfo* info, MemoryPool* pool, AVSynBuffer* syn,
                       IAVSynCtl* ctl, MediaTimeline* timeline, int32_t fps) {
  const AudioMixInitParam p{
      info, 1, pool, syn, ctl, timeline, fps, info->channel, info->sampling_rate, 16};
  if (!imp.IAudioMixInit(&p)) return false;
  AudioMixUpdateParam u{info, 1, info->channel, info->sampling_rate, 16};
  imp.UpdataAudioMixImp(&u);
  return true;
}

AudioMixSetup MixerSetup(const std::vector<AudioStreamInfo>& streams, MemoryPool* pool,
                         AudioEncodeBuffer* buffer, int32_t fps, int32_t channels, int32_t rate) {
  return AudioMixSetup{streams.data(),
                       static_cast<int32_t>(streams.size()),
                       buffer,
                       pool,
                       nullptr,
                       nullptr,
                       nullptr,
                       fps,
                       channels,
                       rate,
                       16};
}

int32_t PayloadIndex(const SynAudioFrame& frame) {
  int32_t v = 0;
  if (frame.data.size() >= 4) std::memcpy(&v, frame.data.data(), 4);
  return v;
}

}  // namespace plenova::testing
