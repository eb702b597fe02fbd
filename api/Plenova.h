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
// state code; see docs/architecture.md for the codes).
typedef void (*Mp4RecordStateCallback)(int, int);

// --- Events and statistics -------------------------------------------------
//
// Records a host reads; each begins with its size so that it can grow:
// fields are only ever added at the end.

// The outputs events and statistics name.
enum PlenovaOutput : int32_t {
  PLENOVA_OUTPUT_MP4 = 0,
  PLENOVA_OUTPUT_RTMP_1 = 1,
  PLENOVA_OUTPUT_RTMP_2 = 2,
  PLENOVA_OUTPUT_COUNT = 3,
};

// What happened to an output.
enum PlenovaEventKind : int32_t {
  PLENOVA_EVENT_CONNECTING = 1,    // RTMP: a connection is being made (attempt)
  PLENOVA_EVENT_PUBLISHING = 2,    // RTMP: media flow to the server
  PLENOVA_EVENT_RECONNECTING = 3,  // RTMP: no connection; attempt `attempt` comes in `delay_ms`
  PLENOVA_EVENT_FAILED = 4,        // the output gave up; text: why
  PLENOVA_EVENT_STOPPED = 5,       // RTMP: stopped by the client (MP4: FILE_CLOSED)
  PLENOVA_EVENT_FILE_OPENED = 6,   // MP4: text: the path
  PLENOVA_EVENT_FILE_CLOSED = 7,   // MP4: text: the path, bytes: its size
  PLENOVA_EVENT_WRITE_ERROR = 8,   // MP4: writing failed; text: why (the file stays valid up to it)
};

struct PlenovaEvent {
  uint32_t size;     // sizeof(PlenovaEvent) as the engine knows it
  int32_t output;    // PlenovaOutput
  int32_t kind;      // PlenovaEventKind
  int32_t attempt;   // CONNECTING and RECONNECTING: 1 for the first try
  int32_t delay_ms;  // RECONNECTING: until the next try
  int32_t reserved;
  uint64_t bytes;    // FILE_CLOSED: the file's size
  const char* text;  // never null: a path, a URL with its key masked, or a reason;
                     // valid during the call only
};

// Called on an engine thread, never with a lock of the engine's held that
// a call back into the recorder would need; it must return quickly.
typedef void (*PlenovaEventCallback)(const PlenovaEvent* event, void* user);

struct PlenovaOutputStatistics {
  int32_t state;        // the last PlenovaEventKind of the output; 0 before any
  uint32_t reconnects;  // times a connection was lost or failed and tried again
  uint64_t bytes_sent;  // media bytes handed to the server or the file
  uint64_t packets_sent;
  uint64_t dropped;         // samples lost on the way (full queue, no connection)
  uint32_t queue_depth;     // samples waiting to be sent or written
  uint32_t bitrate;         // bit/s over the last second
  uint64_t outage_ms;       // RTMP: time publishing was asked for but not happening
  uint32_t latency_p50_ms;  // from the push of a frame to its video leaving, last 10 s
  uint32_t latency_p99_ms;
  char last_error[128];  // empty when none
};

struct PlenovaStreamStatistics {
  char id[64];            // the stream id, cut to 63 characters
  int32_t audio;          // 1 audio, 0 video
  int32_t listed;         // 1 while the layout lists it
  uint64_t accepted;      // frames queued
  uint64_t refused;       // frames the engine refused (see its log)
  uint64_t dropped_late;  // frames that came after their time
  uint64_t dropped_full;  // frames lost to a full queue
  uint32_t queue_depth;   // frames waiting now
  uint32_t reserved;
};

#define PLENOVA_MAX_STREAM_STATISTICS 32

struct PlenovaStatistics {
  uint32_t size;  // set by the caller to sizeof(PlenovaStatistics) of its header
  uint32_t stream_count;
  PlenovaOutputStatistics outputs[PLENOVA_OUTPUT_COUNT];
  PlenovaStreamStatistics streams[PLENOVA_MAX_STREAM_STATISTICS];
  uint64_t canvases_composed;
  uint64_t canvases_skipped;  // given up to catch up with the timeline
  uint64_t audio_frames_mixed;
  uint64_t audio_gain_reductions;  // mixed frames whose sum had to be turned down
  uint64_t audio_silent_spans;     // mixer frames no voice delivered anything for
  int32_t av_offset_ms;            // last video minus last audio written by the sync stage
  uint32_t target_delay_ms;
  uint32_t timeline_adjustments;  // moves of the media clock mapping so far
  uint32_t encoder_preset;        // 0 veryfast, 1 superfast, 2 ultrafast
  uint32_t encoder_preset_changes;
  uint32_t reserved;
};

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

  // Where this recorder's events go (null: nowhere). `user` is handed back
  // with each. Any thread; returns 0.
  virtual int SetEventCallback(PlenovaEventCallback callback, void* user) = 0;

  // Fills `statistics` up to its `size` (set by the caller), cheap enough to
  // call at any rate from any thread. 0, or -1 for a null record or a size
  // below that of the first two fields.
  virtual int GetStatistics(PlenovaStatistics* statistics) = 0;
};

// Creates a recorder. `dir` names the folder under which the log folder
// "LiveRecordLog" is placed (null: the executable's folder); only the first
// call of a process opens the log. Returns null when the recorder cannot be
// built.
PLENOVA_API IPlenova* CreatePlenova(const char* dir);

// Stops and destroys a recorder; null is harmless.
PLENOVA_API void DeletePlenova(IPlenova* recorder);
