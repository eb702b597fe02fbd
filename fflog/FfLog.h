#pragma once

// FfLog: the one place that sets the log callback of the FFmpeg libraries in
// the process (libavutil holds a single callback for libavformat,
// libavcodec and libswscale alike). The engine hands it a sink so that
// FFmpeg's messages land in the engine's log instead of on the host's
// standard error.

#define FFLOG_API extern "C" __attribute__((visibility("default")))

// Receives one complete FFmpeg line as FFmpeg prints it ("[mp4 @ 0x55..]
// Starting second pass: ..."), without its newline and with the secrets of
// RTMP URLs masked ("rtmp://host/app/****"), at the engine log's
// level: 0 debug, 1 message, 2 warning, 3 error. Called on the thread that
// logged, from several threads at once; it must not log through FFmpeg.
typedef void (*FfLogSink)(int level, const char* line, void* context);

// Makes FFmpeg's log go to `sink` (with `context`), replacing whatever
// callback was set. FFmpeg's panic, fatal and error messages arrive at level
// 3, warnings at 2, info at 1; verbose, debug and trace messages are dropped,
// and so is every line below `min_level`, before it is formatted.
// Returns 0, or -1 (and changes nothing) when `sink` is null.
FFLOG_API int FfLogRoute(FfLogSink sink, void* context, int min_level);

// Gives FFmpeg back its default callback (standard error) when FfLogRoute
// installed the router; harmless otherwise. A line being formatted on
// another thread may still reach the old sink while this returns.
FFLOG_API void FfLogRestore(void);
