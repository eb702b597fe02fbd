#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "audio/AacLcLibrary.h"
#include "audio/AudioEncodeBuffer.h"
#include "common/PoolBufferPtr.h"
#include "platform/Mutex.h"

namespace plenova {

class AVSynBuffer;
class IAVSynCtl;

// Encodes element after element of PCM into AAC-LC frames and puts each into
// the sync buffer stamped with the time of the audio it decodes to: the
// encoder hands out a frame one element late, and its first frame is the
// decoder's priming, one frame before the first element.
class AudioEncode {
 public:
  // `library` is borrowed and outlives the object; null means libaaclc.so.
  explicit AudioEncode(const AacLcLibrary* library = nullptr);
  // Closes the encoder.
  ~AudioEncode();
  AudioEncode(const AudioEncode&) = delete;
  AudioEncode& operator=(const AudioEncode&) = delete;

  // Opens the encoder for the format. Each pointer may be null, which keeps
  // the earlier one; all are borrowed and outlive the object. Tells the
  // encode buffer its element size and the sync controller the AAC frame
  // length in 90 kHz units. 0, or -1 when the format is refused (the encoder
  // is then closed, but remembers the format it was asked for, so elements
  // of that format are taken and dropped instead of piling up).
  int32_t aac_encode_init(IAVSynCtl* synCtl, AudioEncodeBuffer* encodeBuffer,
                          AVSynBuffer* synBuffer, int32_t channels, int32_t sampling_rate,
                          int32_t sampling_per_bits);
  // Encodes one element; its block goes back to its pool when the handle
  // drops. -1 for a null element or fps below 1 (nothing encoded). Mixing
  // thread.
  int32_t aac_encode_frame(PoolBufferPtr element, int32_t fps);
  // 0, or -1 when no encoder is open. Frames still in the encoder's delay are
  // dropped.
  int32_t aac_encode_close();

  // The format the encoder was last opened (or asked to open) with.
  AudioFormat Format();

 private:
  int32_t CloseLocked();

  const AacLcLibrary* m_library;  // borrowed; outlives the object
  // Guards every member below; taken by the mixing thread and the control
  // thread (initialisation). Held while the sync buffer is called.
  platform::Mutex m_mutex;
  // The elements inside the encoder, oldest first, and the one whose audio
  // the next frame out carries.
  struct Pending {
    uint64_t stamp = 0;
    uint32_t tick = 0;
  };
  std::deque<Pending> m_pending;
  bool m_hasPrevious = false;
  Pending m_previous;
  AVSynBuffer* m_synBuffer = nullptr;  // borrowed
  AudioFormat m_format;
  uint32_t m_max_output_bytes = 0;
  std::vector<uint8_t> m_output;
  int32_t m_input_frame_bytes = 0;
  int32_t m_element_frames = 0;  // samples per channel of one element
  AacLcHandle m_handle = nullptr;
};

}  // namespace plenova
