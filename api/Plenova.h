#pragma once

// Plenova: records and live-streams multi-party video meetings.
//
// The client creates a recorder with CreatePlenova, describes its outputs
// (SetAuidoParam, SetVideoParam), declares the meeting's layout through the
// IUpdateStreamInterface of the same object, and pushes raw frames from any
// thread: interleaved signed 16-bit PCM and planar I420 (Y plane, then U,
// then V). The engine mixes, composites 25 canvases a second, encodes AAC and
// H.264 and delivers them to up to two RTMP servers and an MP4 file.
//
// Units: timestamps are ticks of a 90 kHz clock; bit rates are in bit/s;
// sizes in pixels; buffer lengths in bytes. Operations that return int give 0
// on success and -1 on failure. Every refusal is written to the log folder
// (LiveRecordLog beside the folder given to the first CreatePlenova).

#include <cstdint>

#include "PlenovaVersion.h"

#define PLENOVA_API extern "C" __attribute__((visibility("default")))

// Output settings (SetAuidoParam).
struct AudioParam {
  const char* filePath;      // MP4 output folder; null or over 255 characters: ./PlenovaMp4
  const char* url_1;         // first RTMP destination; null, empty or 256+ characters: unset
  const char* url_2;         // second RTMP destination; same rule
  const char* StreamName_1;  // stream name for url_1; null or empty: "livestream"
  const char* StreamName_2;  // stream name for url_2; same rule
  int32_t local_port;        // local port; must not be 0 when Enable_rtmp is true
  int32_t audio_bitrate;     // AAC bit rate in bit/s, at least 1
  int32_t waitMaxTime;       // AAC frames audio may be missing before video is held; >= 0
  char local_Ip[16];         // local IPv4 address as text, NUL-terminated
  bool Enable_write_mp4;     // MP4 recording wanted
  bool Enable_rtmp;          // RTMP publishing wanted
  int32_t param_tag;         // carried, not interpreted
};

// Canvas settings (SetVideoParam).
struct VideoParam {
  int32_t target_bitrate;  // H.264 bit rate in bit/s, at least 1
  int32_t target_h;        // canvas height, 1 to 8192
  int32_t target_w;        // canvas width, 1 to 8192
  int32_t video_tag;       // carried, not interpreted
};

// One audio input stream.
struct AudioStreamInfo {
  int32_t channel;
  int32_t sampling_per_bits;
  int32_t sampling_rate;  // Hz
  const char* streamId;   // must not be null; at most 255 characters
};

// The audio layout (UpdateAudioStreamInfo).
struct AudioStreamInfoUpdate {
  AudioStreamInfo* astreamInfo;
  int32_t audioStreamCount;                 // 1 to 5
  int32_t target_audio_frames_per_seconds;  // mixed frames per second, 1 to 100
  int32_t target_audio_channels;            // 1 or 2
  int32_t target_audio_sampling_rate;       // Hz, 8000 to 96000
  int32_t target_audio_sampling_per_bits;   // 16
};

// One video input stream and its rectangle on the canvas.
struct VideoStreamInfo {
  int32_t fps;
  int32_t source_h;
  int32_t source_w;
  const char* streamId;  // must not be null; at most 255 characters
  int32_t target_h;      // at most 8192; made even by UpdateVideoStreamInfo (written back)
  int32_t target_w;      // at most 8192; made even by UpdateVideoStreamInfo (written back)
  int32_t x_position_in_target_frame;
  int32_t y_position_in_target_frame;
  int32_t videoType;  // 1: letterbox fit into the rectangle; otherwise centred crop
};

// The video layout (UpdateVideoStreamInfo).
struct VideoStreamInfoUpdate {
  int32_t InUseStreamCount;  // 1 to 20
  VideoStreamInfo* vstreaminfo;
};

// A "camera-off" picture slot; same fields as VideoStreamInfo. The engine
// paints its built-in 640 x 360 placeholder into the rectangle.
struct PictureStreamInfo {
  int32_t fps;
  int32_t source_h;
  int32_t source_w;
  const char* streamId;
  int32_t target_h;
  int32_t target_w;
  int32_t x_position_in_target_frame;
  int32_t y_position_in_target_frame;
  int32_t videoType;
};

// The picture layout (UpdatePictureStreamInfo).
struct PictureStreamInfoUpdate {
  int32_t InUseStreamCount;
  PictureStreamInfo* vstreaminfo;
};

// Client callbacks.
// p1 of PlenovaInit: each finished canvas (I420, width * height * 3 / 2
// bytes), on the compositing thread.
typedef void (*PlenovaCanvasCallback)(unsigned char* canvas, int size);
// p2 of PlenovaInit: each encoded video sample handed to an RTMP publisher.
typedef void (*PlenovaSampleCallback)(unsigned char* data, int len);
// p3 of PlenovaInit: a publisher's message text and code.
typedef void (*PlenovaMessageCallback)(const char* text, int code);
// MP4 recorder state reports: (stream id given to SetMp4RecordCallback,
// state code; see the README for the codes).
typedef void (*Mp4RecordStateCallback)(int, int);

// The meeting's layout.
class IUpdateStreamInterface {
 public:
  virtual ~IUpdateStreamInterface() = default;
  virtual void UpdateAudioStreamInfo(AudioStreamInfoUpdate* info) = 0;
  virtual void UpdateVideoStreamInfo(VideoStreamInfoUpdate* info) = 0;
  virtual void UpdatePictureStreamInfo(PictureStreamInfoUpdate* info) = 0;
};

// The recorder.
class IPlenova {
 public:
  virtual ~IPlenova() = default;
  // The layout interface of the same recorder.
  virtual IUpdateStreamInterface* GetUpdateStreamInterface() = 0;
  // p1: PlenovaCanvasCallback, p2: PlenovaSampleCallback, p3:
  // PlenovaMessageCallback; a null argument keeps the previous one. Returns 0.
  virtual int PlenovaInit(void* p1, void* p2, void* p3) = 0;
  // Stops the engine; the next pair of first layouts starts it again. Returns 0.
  virtual int PlenovaUnint() = 0;
  virtual void SetAuidoParam(AudioParam* param) = 0;
  virtual void SetVideoParam(VideoParam* param) = 0;
  virtual int StartMp4Record(const char* path) = 0;
  virtual int StopMp4Record() = 0;
  virtual int SetMp4RecordCallback(int streamid, Mp4RecordStateCallback callback) = 0;
  // One frame of interleaved PCM; stamptime in 90 kHz ticks.
  virtual int PushAudioFrame(int channels, int sampling_per_bits, int sampling_rate, void* buffer,
                             int buflen, uint64_t stamptime, const char* streamId) = 0;
  // One I420 picture of source_w * source_h * 3 / 2 bytes; stamptime in
  // 90 kHz ticks; extra: 0 rows top-down, 2 rows bottom-up.
  virtual int PushVideoFrame(int source_w, int source_h, const char* streamId, int fps,
                             void* buffer, int buflen, uint64_t stamptime, uint32_t extra) = 0;
  virtual int StopRecord() = 0;
  virtual int StartRecord(const char* url) = 0;

  // Operations added later come after all of the above, whose slots never
  // move, so a client built against an older header keeps working.

  // The library's version, "major.minor.patch" (static storage). A client
  // may compare it with PLENOVA_VERSION_STRING, the version of its headers.
  virtual const char* GetVersion() = 0;

  // The target delay in milliseconds, 0 to 1000 (default 60): how late a
  // frame may arrive, measured against the meeting's media clock, and still
  // be placed on the output. Later frames are dropped. Taken when the engine
  // next starts. Returns 0, or -1 outside the range.
  virtual int SetTargetDelay(int milliseconds) = 0;
};

// Creates a recorder. `dir` names the folder under which the log folder
// "LiveRecordLog" is placed (null: the executable's folder); only the first
// call of a process opens the log. Returns null when the recorder cannot be
// built.
PLENOVA_API IPlenova* CreatePlenova(const char* dir);

// Stops and destroys a recorder; null is harmless.
PLENOVA_API void DeletePlenova(IPlenova* recorder);
