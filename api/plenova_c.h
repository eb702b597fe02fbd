#ifndef PLENOVA_C_H
#define PLENOVA_C_H

/* Plenova's C interface (C99 and later, and C++): the operations of the C++
 * interface in Plenova.h over an opaque handle, with callbacks that carry a
 * user pointer. It lives in libplenova_c.so, a thin layer over libplenova.so.
 *
 * Conventions:
 *  - Every function that can fail returns an int: PLENOVA_OK (0) or one of
 *    the negative PLENOVA_ERR_* codes; plenova_strerror names them. No
 *    function aborts or lets a C++ exception out. What a live recorder
 *    refuses is also written to the engine's log (LiveRecordLog under the
 *    folder given to the first plenova_create); a null handle has no log.
 *  - Units: timestamps are ticks of a 90 kHz clock; bit rates are in bit/s;
 *    sizes in pixels; buffer lengths in bytes.
 *  - Strings are NUL-terminated; the library copies what it keeps.
 *  - A handle may be used from several threads at once, except that
 *    plenova_destroy must not overlap any other call on the same handle.
 *  - Callbacks run on the engine's threads. They must return quickly and
 *    must not call plenova_destroy on their own handle. Replacing a callback
 *    does not wait for a call of the old one that is already running; once
 *    plenova_destroy has returned, none of the handle's callbacks runs.
 *  - Records whose name ends in _param, _info or _layout mirror the C++
 *    records field for field and never grow. Records that may grow in later
 *    versions begin with a uint32_t `size` that the caller sets to
 *    sizeof(record); the library then reads or fills only the fields that
 *    both sides know, so an older client keeps working with a newer library.
 */

#include <stddef.h>  // NOLINT(modernize-deprecated-headers): a C header
#include <stdint.h>  // NOLINT(modernize-deprecated-headers)

#include "PlenovaVersion.h"

#ifdef __cplusplus
/* C++ takes the output and event constants below from the C++ interface,
 * where they are enumerators of the same names and values. */
#include "Plenova.h"
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define PLENOVA_C_API __attribute__((visibility("default")))
#else
#define PLENOVA_C_API
#endif

/* Results. */
#define PLENOVA_OK 0
#define PLENOVA_ERR_INVALID (-1)   /* a null handle, or an argument the library cannot use */
#define PLENOVA_ERR_REFUSED (-2)   /* the engine refused the call; its log says why */
#define PLENOVA_ERR_NO_MEMORY (-3) /* an allocation failed */
#define PLENOVA_ERR_LIMIT (-4)     /* too many handles alive in this process */
#define PLENOVA_ERR_INTERNAL (-5)  /* an unexpected failure inside the library */

/* MP4 recorder states reported to the MP4 state callback. */
#define PLENOVA_MP4_STARTED 1
#define PLENOVA_MP4_STOPPED 2
#define PLENOVA_MP4_WRITE_ERROR 3 /* e.g. a full disk; the file stays valid up to it */
#define PLENOVA_MP4_OPEN_FAILED 4

/* Row order of a pushed picture (the `extra` argument of plenova_push_video). */
#define PLENOVA_ROWS_TOP_DOWN 0u
#define PLENOVA_ROWS_BOTTOM_UP 2u

/* A recorder. */
typedef struct plenova_handle plenova_t;

/* Output settings (SetAuidoParam in the C++ interface). */
typedef struct plenova_audio_param {
  const char* file_path;     /* MP4 output folder; NULL: ./PlenovaMp4 */
  const char* url_1;         /* first RTMP destination; NULL or empty: unset */
  const char* url_2;         /* second RTMP destination; same rule */
  const char* stream_name_1; /* stream name for url_1; NULL or empty: "livestream" */
  const char* stream_name_2; /* stream name for url_2; same rule */
  int32_t local_port;        /* must not be 0 when enable_rtmp is set */
  int32_t audio_bitrate;     /* AAC bit rate in bit/s, at least 1 */
  int32_t wait_max_time;     /* AAC frames audio may be missing before video is held; >= 0 */
  char local_ip[16];         /* local IPv4 address as text, NUL-terminated */
  int32_t enable_write_mp4;  /* non-zero: MP4 recording wanted */
  int32_t enable_rtmp;       /* non-zero: RTMP publishing wanted */
  int32_t param_tag;         /* carried, not interpreted */
} plenova_audio_param;

/* Canvas settings (SetVideoParam). */
typedef struct plenova_video_param {
  int32_t target_bitrate; /* H.264 bit rate in bit/s, at least 1 */
  int32_t target_h;       /* canvas height, 1 to 8192 */
  int32_t target_w;       /* canvas width, 1 to 8192 */
  int32_t video_tag;      /* carried, not interpreted */
} plenova_video_param;

/* One audio input stream. */
typedef struct plenova_audio_stream_info {
  int32_t channel;
  int32_t sampling_per_bits;
  int32_t sampling_rate; /* Hz */
  const char* stream_id; /* at most 255 characters */
} plenova_audio_stream_info;

/* The audio layout (UpdateAudioStreamInfo). */
typedef struct plenova_audio_layout {
  const plenova_audio_stream_info* streams;
  int32_t stream_count;             /* 1 to 5 */
  int32_t target_frames_per_second; /* mixed frames per second, 1 to 100 */
  int32_t target_channels;          /* 1 or 2 */
  int32_t target_sampling_rate;     /* Hz, 8000 to 96000 */
  int32_t target_sampling_per_bits; /* 16 */
} plenova_audio_layout;

/* One video input stream and its rectangle on the canvas; also one
 * camera-off picture slot (the engine paints its built-in 640 x 360
 * placeholder into the rectangle). */
typedef struct plenova_video_stream_info {
  int32_t fps;
  int32_t source_h;
  int32_t source_w;
  const char* stream_id; /* at most 255 characters */
  int32_t target_h;      /* at most 8192; made even in the caller's array */
  int32_t target_w;      /* at most 8192; made even in the caller's array */
  int32_t x;             /* left edge on the canvas */
  int32_t y;             /* top edge on the canvas */
  int32_t video_type;    /* 1: letterbox fit into the rectangle; otherwise centred crop */
} plenova_video_stream_info;

/* The video layout (UpdateVideoStreamInfo) or the picture layout
 * (UpdatePictureStreamInfo). */
typedef struct plenova_video_layout {
  int32_t stream_count; /* 1 to 20 */
  plenova_video_stream_info* streams;
} plenova_video_layout;

/* Callbacks; `user` is the pointer given with the callback. */
/* Each finished canvas: I420, width * height * 3 / 2 bytes, valid during the call. */
typedef void (*plenova_canvas_callback)(const uint8_t* canvas, int32_t size, void* user);
/* Each encoded video sample handed to an RTMP publisher, valid during the call. */
typedef void (*plenova_sample_callback)(const uint8_t* data, int32_t size, void* user);
/* A publisher's message text and code. */
typedef void (*plenova_message_callback)(const char* text, int32_t code, void* user);
/* An MP4 recorder state (PLENOVA_MP4_*). */
typedef void (*plenova_mp4_state_callback)(int32_t state, void* user);

/* --- Events and statistics -------------------------------------------
 *
 * The same records as PlenovaEvent and PlenovaStatistics of the C++
 * interface, field for field. Each begins with its size, so that it can grow
 * at its end. */

#ifndef __cplusplus
/* The outputs events and statistics name (index of plenova_statistics.outputs). */
enum {
  PLENOVA_OUTPUT_MP4 = 0,
  PLENOVA_OUTPUT_RTMP_1 = 1,
  PLENOVA_OUTPUT_RTMP_2 = 2,
  PLENOVA_OUTPUT_COUNT = 3
};

/* What happened to an output (plenova_event.kind). */
enum {
  PLENOVA_EVENT_CONNECTING = 1,   /* RTMP: a connection is being made (attempt) */
  PLENOVA_EVENT_PUBLISHING = 2,   /* RTMP: media flow to the server */
  PLENOVA_EVENT_RECONNECTING = 3, /* RTMP: no connection; attempt `attempt` comes in `delay_ms` */
  PLENOVA_EVENT_FAILED = 4,       /* the output gave up; text: why */
  PLENOVA_EVENT_STOPPED = 5,      /* RTMP: stopped by the client (MP4: FILE_CLOSED) */
  PLENOVA_EVENT_FILE_OPENED = 6,  /* MP4: text: the path */
  PLENOVA_EVENT_FILE_CLOSED = 7,  /* MP4: text: the path, bytes: its size */
  PLENOVA_EVENT_WRITE_ERROR = 8 /* MP4: writing failed; text: why (the file stays valid up to it) */
};

#define PLENOVA_MAX_STREAM_STATISTICS 32
#endif

/* One event of an output. The record and its text are valid during the
 * call only. */
typedef struct plenova_event {
  uint32_t size;    /* sizeof(plenova_event) as the library knows it */
  int32_t output;   /* PLENOVA_OUTPUT_* */
  int32_t kind;     /* PLENOVA_EVENT_* */
  int32_t attempt;  /* CONNECTING and RECONNECTING: 1 for the first try */
  int32_t delay_ms; /* RECONNECTING: until the next try */
  int32_t reserved;
  uint64_t bytes;   /* FILE_CLOSED: the file's size */
  const char* text; /* never NULL: a path, a URL with its key masked, or a reason */
} plenova_event;

/* One output (MP4, RTMP 1, RTMP 2). */
typedef struct plenova_output_statistics {
  int32_t state;       /* the last PLENOVA_EVENT_* of the output; 0 before any */
  uint32_t reconnects; /* times a connection was lost or failed and tried again */
  uint64_t bytes_sent; /* media bytes handed to the server or the file */
  uint64_t packets_sent;
  uint64_t dropped;        /* samples lost on the way (full queue, no connection) */
  uint32_t queue_depth;    /* samples waiting to be sent or written */
  uint32_t bitrate;        /* bit/s over the last second */
  uint64_t outage_ms;      /* RTMP: time publishing was asked for but not happening */
  uint32_t latency_p50_ms; /* from the push of a frame to its video leaving, last 10 s */
  uint32_t latency_p99_ms;
  char last_error[128]; /* empty when none */
} plenova_output_statistics;

/* One input stream. */
typedef struct plenova_stream_statistics {
  char id[64];           /* the stream id, cut to 63 characters */
  int32_t audio;         /* 1 audio, 0 video */
  int32_t listed;        /* 1 while the layout lists it */
  uint64_t accepted;     /* frames queued */
  uint64_t refused;      /* frames the engine refused (see its log) */
  uint64_t dropped_late; /* frames that came after their time */
  uint64_t dropped_full; /* frames lost to a full queue */
  uint32_t queue_depth;  /* frames waiting now */
  uint32_t reserved;
} plenova_stream_statistics;

/* A snapshot of a recorder. */
typedef struct plenova_statistics {
  uint32_t size; /* set by the caller to sizeof(plenova_statistics) */
  uint32_t stream_count;
  plenova_output_statistics outputs[PLENOVA_OUTPUT_COUNT];
  plenova_stream_statistics streams[PLENOVA_MAX_STREAM_STATISTICS];
  uint64_t canvases_composed;
  uint64_t canvases_skipped; /* given up to catch up with the timeline */
  uint64_t audio_frames_mixed;
  uint64_t audio_gain_reductions; /* mixed frames whose sum had to be turned down */
  uint64_t audio_silent_spans;    /* mixer frames no voice delivered anything for */
  int32_t av_offset_ms;           /* last video minus last audio written by the sync stage */
  uint32_t target_delay_ms;
  uint32_t timeline_adjustments; /* moves of the media clock mapping so far */
  uint32_t encoder_preset;       /* 0 veryfast, 1 superfast, 2 ultrafast */
  uint32_t encoder_preset_changes;
  uint32_t reserved;
} plenova_statistics;

/* An output's event; see plenova_set_event_callback. */
typedef void (*plenova_event_callback)(const plenova_event* event, void* user);

/* The library's version, "major.minor.patch" (static storage), and as
 * major * 10000 + minor * 100 + patch. Compare with PLENOVA_VERSION_STRING
 * and PLENOVA_VERSION_NUMBER, the version of these headers. */
PLENOVA_C_API const char* plenova_version(void);
PLENOVA_C_API int32_t plenova_version_number(void);

/* A short English text for a result code. Static storage; never NULL. */
PLENOVA_C_API const char* plenova_strerror(int code);

/* Creates a recorder into *out. `log_dir` names the folder under which the
 * log folder "LiveRecordLog" and the log settings "Log.xml" are looked for
 * (NULL: the executable's folder); only the first creation in a process
 * opens the log. *out is NULL on failure. */
PLENOVA_C_API int plenova_create(const char* log_dir, plenova_t** out);

/* Stops and destroys a recorder; NULL is harmless. */
PLENOVA_C_API void plenova_destroy(plenova_t* recorder);

/* Callbacks. Each may be set or cleared (NULL) at any time; it takes effect
 * for the next call. */
PLENOVA_C_API int plenova_set_canvas_callback(plenova_t* recorder, plenova_canvas_callback callback,
                                              void* user);
PLENOVA_C_API int plenova_set_sample_callback(plenova_t* recorder, plenova_sample_callback callback,
                                              void* user);
PLENOVA_C_API int plenova_set_message_callback(plenova_t* recorder,
                                               plenova_message_callback callback, void* user);
PLENOVA_C_API int plenova_set_mp4_state_callback(plenova_t* recorder,
                                                 plenova_mp4_state_callback callback, void* user);

/* What happens to the outputs (connecting, publishing, reconnecting, failed,
 * stopped, MP4 file opened and closed, write errors), on an engine thread,
 * with `user`. Set or cleared (NULL) at any time, like the callbacks above. */
PLENOVA_C_API int plenova_set_event_callback(plenova_t* recorder, plenova_event_callback callback,
                                             void* user);

/* Fills `statistics` up to its `size`, which the caller sets to
 * sizeof(plenova_statistics) before the call; on return `size` says how much
 * the library filled (the smaller of the two records). Cheap enough for any
 * rate, from any thread. PLENOVA_ERR_INVALID for a NULL record or a size
 * below that of its first two fields. */
PLENOVA_C_API int plenova_get_statistics(plenova_t* recorder, plenova_statistics* statistics);

/* Output and canvas settings. The engine checks the values: a refused set
 * is written to its log and leaves the previous settings, and pushes fail
 * until a good set is given. */
PLENOVA_C_API int plenova_set_audio_param(plenova_t* recorder, const plenova_audio_param* param);
PLENOVA_C_API int plenova_set_video_param(plenova_t* recorder, const plenova_video_param* param);

/* The meeting's layout. The first audio and the first video layout together
 * start the engine; later ones change it while it runs. The engine checks
 * the values as for the settings. */
PLENOVA_C_API int plenova_set_audio_layout(plenova_t* recorder, const plenova_audio_layout* layout);
PLENOVA_C_API int plenova_set_video_layout(plenova_t* recorder, plenova_video_layout* layout);
PLENOVA_C_API int plenova_set_picture_layout(plenova_t* recorder, plenova_video_layout* layout);

/* Frames, from any thread. The engine copies the data before returning.
 * Audio: interleaved signed 16-bit PCM. Video: I420 of width * height * 3 / 2
 * bytes; `extra` is PLENOVA_ROWS_TOP_DOWN or PLENOVA_ROWS_BOTTOM_UP.
 * PLENOVA_ERR_REFUSED when the engine is not running or the frame does not
 * fit the layout. */
PLENOVA_C_API int plenova_push_audio(plenova_t* recorder, const char* stream_id, int32_t channels,
                                     int32_t sampling_per_bits, int32_t sampling_rate,
                                     const void* data, int32_t size, uint64_t timestamp);
PLENOVA_C_API int plenova_push_video(plenova_t* recorder, const char* stream_id, int32_t width,
                                     int32_t height, int32_t fps, const void* data, int32_t size,
                                     uint64_t timestamp, uint32_t extra);

/* Recording and publishing. Either may be asked for before the engine runs;
 * it then starts with the engine. */
PLENOVA_C_API int plenova_start_mp4(plenova_t* recorder, const char* path);
PLENOVA_C_API int plenova_stop_mp4(plenova_t* recorder);
PLENOVA_C_API int plenova_start_rtmp(plenova_t* recorder, const char* url);
PLENOVA_C_API int plenova_stop_rtmp(plenova_t* recorder);

/* The target delay (SetTargetDelay): how late a frame may arrive, in
 * milliseconds 0 to 1000, and still be placed on the output; taken when the
 * engine next starts. */
PLENOVA_C_API int plenova_set_target_delay(plenova_t* recorder, int32_t milliseconds);

/* Stops the engine (PlenovaUnint): frame intake closes and the mixing,
 * compositing and sync threads stop; outputs stay until stopped. The next
 * pair of first layouts starts it again. */
PLENOVA_C_API int plenova_stop(plenova_t* recorder);

#ifdef __cplusplus
}
#endif

#endif /* PLENOVA_C_H */
