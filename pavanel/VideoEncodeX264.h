#pragma once

// The library's H.264 encoder: libx264 tuned for live meetings. No B-frames
// and no look-ahead, so every picture comes out of the call that takes it; an
// IDR picture every two seconds with SPS and PPS in band before it; rate
// control held to the bitrate with a one-second VBV buffer for RTMP.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <x264.h>

#include "pavanel/VideoEncodeGeneric.h"

class VideoEncodeX264 final : public VideoEncodeGeneric {
 public:
  VideoEncodeX264();
  ~VideoEncodeX264() override;

  // Opens (or reopens with new settings) the encoder. Non-zero on refused
  // settings or when libx264 fails; then an encoder already open stays open
  // with its old settings.
  int Open(const VideoEncoderParam* param, int reserved) override;
  // Releases the encoder; the last output's data becomes invalid.
  void Close() override;
  // `picture` is one I420 picture of exactly width * height * 3 / 2 bytes,
  // Y then U then V, at the size given to Open (the size of the buffer
  // cannot be checked). The output points into this object and stays valid
  // until the next Encode, Open or Close.
  int Encode(const uint8_t* picture, VideoEncoderOutput* output, int reserved) override;
  // The next picture becomes an IDR picture; the two-second count to the
  // following one starts again there. Ignored while closed.
  void RequestKeyFrame() override;
  int64_t FramesEncoded() const override;
  // Checks `length` against the open size under the same lock as the
  // encode, so a reopening at another size cannot slip in between.
  int EncodeFrame(const uint8_t* picture, size_t length, VideoEncoderOutput* output) override;
  // Moves the open encoder to the analysis settings of the step's x264
  // preset through x264_encoder_reconfig: what a reconfiguration can change
  // (motion search, sub-pixel refinement, partitions, trellis, reference
  // frames up to the opened count) follows the preset, the rest (entropy
  // coding, rate control, GOP, size) stays as opened, so the stream goes on
  // unbroken.
  int SetSpeed(int step) override;
  int Speed() const override;

  VideoEncodeX264(const VideoEncodeX264&) = delete;
  VideoEncodeX264& operator=(const VideoEncodeX264&) = delete;

 private:
  struct EncoderDeleter {
    void operator()(x264_t* encoder) const { x264_encoder_close(encoder); }
  };
  using EncoderPtr = std::unique_ptr<x264_t, EncoderDeleter>;

  // Fills `param` for a live meeting at the given settings; false with the
  // reason in `error` when libx264 refuses them.
  static bool BuildParam(const VideoEncoderParam& settings, x264_param_t* param,
                         std::string* error);
  // Encode with m_lock held; `length` is checked when it is not kUnchecked.
  static constexpr size_t kUnchecked = static_cast<size_t>(-1);
  int EncodeLocked(const uint8_t* picture, size_t length, VideoEncoderOutput* output);
  // Copies the NAL units of one encode call into m_output, leaving out SEI
  // messages, and fills `output`.
  void CollectOutput(const x264_nal_t* nals, int count, VideoEncoderOutput* output);

  // Guards every member below. Taken by each operation, from whichever
  // thread calls it (the engine's encoding thread, and its control thread
  // when it opens, closes or requests a key frame).
  mutable std::mutex m_lock;
  EncoderPtr m_encoder;
  x264_param_t m_param{};  // as opened (step 0)
  int m_speed = 0;
  int32_t m_width = 0;
  int32_t m_height = 0;
  int64_t m_frames = 0;
  bool m_keyframe_requested = false;
  bool m_refusal_reported = false;  // one stderr line per run of refused encodes
  std::vector<uint8_t> m_output;
};
