#pragma once

// Tarvane: the MP4 recorder library.

#include <cstdint>

#define TARVANE_API extern "C" __attribute__((visibility("default")))

// Four-character tags, read as big-endian numbers.
constexpr uint32_t kTarvaneTagVideo = 0x76696465;   // "vide"
constexpr uint32_t kTarvaneTagAudio = 0x61756469;   // "audi"
constexpr uint32_t kTarvaneCodecH264 = 0x68323634;  // "h264"
constexpr uint32_t kTarvanePixelI420 = 0x69343230;  // "i420"
constexpr uint32_t kTarvaneCodecAac = 0x61616320;   // "aac "

// State codes, the second value of a state report; the first is the stream
// id given to SetStateCallback.
enum TarvaneState : uint32_t {
  kTarvaneStarted = 1,     // LiveStart opened the file
  kTarvaneStopped = 2,     // LiveStop finished the file
  kTarvaneWriteError = 3,  // a write failed (disk full...); recording stopped, file valid up to it
  kTarvaneOpenFailed = 4,  // LiveStart could not open the file
  kTarvaneNothingRecorded = 5,  // LiveStop found no video key frame (no audio in an audio-only
                                // recording) since LiveStart: there is nothing to play, and no
                                // file is kept
};

struct Mp4VideoDesc {
  int32_t bitrate;  // bit/s
  int32_t width;
  int32_t height;
  int32_t fps;
  uint32_t codec;  // kTarvaneCodecH264
  uint32_t pixel;  // kTarvanePixelI420
};
static_assert(sizeof(Mp4VideoDesc) == 24);

struct Mp4AudioDesc {
  uint32_t codec;   // kTarvaneCodecAac
  int32_t bitrate;  // bit/s
  int32_t sampling_rate;
  int32_t channels;
  int32_t bits_per_sample;
};
static_assert(sizeof(Mp4AudioDesc) == 20);

using TarvaneStateCallback = void (*)(uint32_t stream_id, uint32_t state);

// One recorder. Operations in virtual-table order (the destructor takes the
// first two entries).
class ITarvaneRecord {
 public:
  virtual ~ITarvaneRecord() = default;
  // Opens `path` and starts a recording; 0 on success.
  virtual int LiveStart(const char* path) = 0;
  // Finishes the file; 0 on success.
  virtual int LiveStop() = 0;
  // The last TarvaneState reported (0 before any).
  virtual uint32_t GetState() = 0;
  // Bytes written to the current or last file.
  virtual uint64_t GetBytesWritten() = 0;
  // One H.264 access unit (Annex B) or AAC frame (raw or ADTS), tagged
  // kTarvaneTagVideo or kTarvaneTagAudio, at `timestamp` milliseconds. The
  // file starts at its first video key frame: video before it is skipped,
  // audio before it is held until it comes and then written from its time
  // on. 0 on success.
  virtual int SendLiveData(const uint8_t* data, uint32_t length, uint32_t tag,
                           uint64_t timestamp) = 0;
  virtual int SetStateCallback(uint32_t stream_id, TarvaneStateCallback callback) = 0;
};

// A recorder for the described media; `path` is a default file path. Null on
// failure.
TARVANE_API ITarvaneRecord* CreateRecord(const char* path, const Mp4VideoDesc* video,
                                         const Mp4AudioDesc* audio);
TARVANE_API void DestroyRecord(ITarvaneRecord* record);
