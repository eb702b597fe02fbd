#pragma once

#include <cstdint>
#include <span>

namespace plenova {

// The outputs as the H.264 encoder sees them, besides the samples it queues
// in the sync buffer: they take the stream's parameter sets and ask for key
// frames. The dispatcher implements it; the encoder borrows it.
class IVideoEncoderOutputs {
 public:
  virtual ~IVideoEncoderOutputs() = default;
  // The SPS and PPS (Annex B, with start codes) of the stream the encoder
  // has begun, before its first picture is queued; borrowed for the call.
  // Encoding thread, under the encoder's lock: the implementation takes
  // only short locks of its own and never calls back into the encoder.
  virtual void OnParameterSets(std::span<const uint8_t> spsPps) = 0;
  // True once after an output began that wants a key frame to start from (a
  // new MP4 file, a new RTMP connection): the encoder makes its next
  // picture one. Encoding thread.
  virtual bool TakeKeyFrameRequest() = 0;
};

}  // namespace plenova
