#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/MemoryPool.h"
#include "common/PoolBufferPtr.h"
#include "pavanel/VideoEncodeGeneric.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"

namespace plenova {

class AVSynBuffer;
class IVideoEncoderOutputs;
class VideoEncodeBuffer;

// The H.264 encoding stage: takes finished canvases from the encode buffer,
// encodes them with the H.264 library, and puts every encoded picture with
// its key flag and the stream's SPS/PPS into the A/V sync buffer. The first
// SPS/PPS also go to the outputs, before the first picture.
class VideoEncode {
 public:
  static constexpr int kSpsPpsCapacity = 256;

  // Outcome of one cycle of the encoding thread.
  enum class Cycle { kEncoded, kIdle, kReopened };

  VideoEncode();
  // Takes the given encoder (null: nothing will ever be encoded).
  explicit VideoEncode(std::unique_ptr<VideoEncodeGeneric> encoder);
  ~VideoEncode();
  VideoEncode(const VideoEncode&) = delete;
  VideoEncode& operator=(const VideoEncode&) = delete;

  // Stores the borrowed pointers (they outlive this object; `pool`, the one
  // the canvases come from, is only checked: each canvas names its pool), and
  // opens the encoder at `rate` (25 when `rate` is 0, so that a layout that
  // declares no rate still records). False only when refused; an open failure leaves the
  // encoder closed and is logged.
  bool VideoEncodeInit(int32_t bitrate, int32_t rate, int32_t width, int32_t height,
                       VideoEncodeBuffer* encodeBuffer, AVSynBuffer* synBuffer, MemoryPool* pool,
                       IVideoEncoderOutputs* streaming);
  // Closes the encoder. Always true.
  bool VideoEncodeUnint();

  // One cycle of the encoding thread: encode the next canvas, or reopen the
  // encoder for the rate of the next canvas, or report that none waits.
  Cycle EncodeCycle();
  // The thread body: cycles while the run flag is set, waiting for the
  // compositor's next canvas when the buffer is empty.
  void VideoEncodeThreadFunc();
  bool StartThread();
  // Clears the run flag and joins the thread; harmless when not running.
  void StopThread();

  // Encodes one canvas, which goes back to its pool when the handle drops.
  // `canvas` is not null (asserted; false otherwise).
  bool VideoEncodeFunc(PoolBufferPtr canvas);

  // Cuts the SPS and PPS (with their start codes) out of the first output
  // and, when a picture follows them in it, hands them to the outputs.
  // False when there is no SPS or the parameter sets exceed 256 bytes.
  bool ExtractSpsPps(const uint8_t* bytes, int32_t length);

  // Keeping up: after each encode, the canvases still waiting. When they
  // stay at kBehindDepth or more for kBehindEncodes encodes in a row, the
  // encoder moves one speed step faster; when none waits for kIdleEncodes
  // encodes in a row, one step back. Each change is logged and counted.
  static constexpr int kBehindDepth = 3;
  static constexpr int kBehindEncodes = 10;
  static constexpr int kIdleEncodes = 250;
  void FollowBacklog(int waiting);
  int speed() const { return m_speed.load(std::memory_order_relaxed); }
  uint32_t speed_changes() const { return m_speedChanges.load(std::memory_order_relaxed); }

  int32_t rate() const { return m_rate; }
  bool ready() const { return m_ready; }
  int32_t sps_pps_len() const { return m_spsPpsLen; }
  const uint8_t* sps_pps() const { return m_spsPps; }

 private:
  bool OpenLocked();
  void CloseLocked();

  // Guards the encoder object and its open state; taken by the encoding
  // thread around each encode and by init/unint on the recorder's thread.
  platform::Mutex m_encoder_mutex;
  std::unique_ptr<VideoEncodeGeneric> m_encoder;
  VideoEncoderParam m_param{};
  bool m_opened = false;
  bool m_ready = false;
  uint64_t m_refused = 0;  // canvases not of the encoder's size
  int32_t m_rate = 0;
  int32_t m_bitrate = 0, m_height = 0, m_width = 0;

  // Speed steps; the counts are the encoding thread's, the atomics are read
  // by statistics.
  int m_behind = 0;
  int m_caughtUp = 0;
  std::atomic<int> m_speed{0};
  std::atomic<uint32_t> m_speedChanges{0};

  // Written by the encoding thread (or by init) under m_encoder_mutex, and
  // not again while m_spsPpsWanted stays clear.
  uint8_t m_spsPps[kSpsPpsCapacity] = {};
  int32_t m_spsPpsLen = 0;
  bool m_spsPpsWanted = true;

  // Borrowed; their owner (the recorder) outlives this object.
  VideoEncodeBuffer* m_encodeBuffer = nullptr;
  AVSynBuffer* m_synBuffer = nullptr;
  IVideoEncoderOutputs* m_streaming = nullptr;

  std::atomic<bool> m_run{false};
  platform::Thread m_thread;
};

}  // namespace plenova
