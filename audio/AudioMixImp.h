#pragma once

#include "audio/AudioEncode.h"
#include "audio/AudioEncodeBuffer.h"
#include "audio/AudioMix.h"
#include "audio/IAudioMix.h"
#include "platform/Mutex.h"

namespace plenova {

// The whole audio path of one recorder: mixer, encode buffer and AAC
// encoder, driven through IAudioMix.
class AudioMixImp : public IAudioMix {
 public:
  // `library` is borrowed and outlives the object; null means libaaclc.so.
  explicit AudioMixImp(const AacLcLibrary* library = nullptr);
  ~AudioMixImp() override;
  AudioMixImp(const AudioMixImp&) = delete;
  AudioMixImp& operator=(const AudioMixImp&) = delete;

  bool IAudioMixInit(const AudioMixInitParam* param) override;
  bool IAudioMixPushData(AudioMixFrame frame) override;
  void IAudioMixUnint() override;
  void start() override;
  void stop() override;
  void UpdataAudioMixImp(const AudioMixUpdateParam* param) override;
  void CollectStatistics(MixStatistics* out) override;

  AudioMix& Mixer() { return m_mix; }
  AudioEncodeBuffer& EncodeBuffer() { return m_encodeBuffer; }

 private:
  // Constructed in this order, destroyed in reverse.
  AudioEncodeBuffer m_encodeBuffer;
  AudioEncode m_encode;
  AudioMix m_mix;
  // Serialises IAudioMixUnint, start and stop; taken by the control thread.
  platform::Mutex m_mutex;
};

}  // namespace plenova
