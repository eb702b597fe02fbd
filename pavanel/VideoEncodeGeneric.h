#pragma once

// Pavanel: the H.264 encoder library.

#include <cstddef>
#include <cstdint>

#define PAVANEL_API __attribute__((visibility("default")))

// Open settings.
struct VideoEncoderParam {
  int32_t fps;           // frames per second
  int32_t input_format;  // 1: I420
  int32_t width;
  int32_t height;
  int32_t bitrate;  // bit/s (not kbit/s), like the audio bitrate; at least 1000
  int32_t flags;    // 0: defaults for live meetings
};
static_assert(sizeof(VideoEncoderParam) == 24);

// Output of one encode call; the data stays valid until the next call.
struct VideoEncoderOutput {
  uint8_t* data;   // Annex B byte stream (start codes 00 00 00 01 / 00 00 01)
  int32_t count;   // NAL units; 0 when the call produced nothing
  int32_t length;  // bytes at `data`
};

// One H.264 encoder. Operations in virtual-table order.
class PAVANEL_API VideoEncodeGeneric {
 public:
  static VideoEncodeGeneric* Create();

  // 0 on success.
  virtual int Open(const VideoEncoderParam* param, int reserved) = 0;
  virtual void Close() = 0;
  // Encodes one I420 picture of width * height * 3 / 2 bytes. Returns 0 for
  // a key frame, 1 for another frame, -1 on failure.
  virtual int Encode(const uint8_t* picture, VideoEncoderOutput* output, int reserved) = 0;
  // The next picture is encoded as a key frame.
  virtual void RequestKeyFrame() = 0;
  // Frames encoded since Open.
  virtual int64_t FramesEncoded() const = 0;
  virtual ~VideoEncodeGeneric() = default;
  // Encode with the length of the picture: a picture that is not exactly
  // width * height * 3 / 2 bytes of the size given to Open is refused (-1)
  // and not read. Otherwise as Encode.
  virtual int EncodeFrame(const uint8_t* picture, size_t length, VideoEncoderOutput* output) = 0;
  // Speed steps for an encoder that cannot keep up: 0 is the quality the
  // encoder opens with, each higher step is faster and less efficient (see
  // kSpeedSteps). Takes effect from the next picture, on the same stream (no
  // new parameter sets, no key frame). 0, or -1 for a step out of range or
  // a closed encoder. Reopening goes back to step 0.
  static constexpr int kSpeedSteps = 3;
  virtual int SetSpeed(int step) = 0;
  virtual int Speed() const = 0;
  // The name of a step ("veryfast", "superfast", "ultrafast").
  static const char* SpeedName(int step);
};
