#pragma once

// Quillet: the engine's logging library. One class of static functions; safe
// to call from any thread, and harmless before open2 (lines then go only to
// the line hook, if one is set).

#include <cstdint>

#define QUILLET_API __attribute__((visibility("default")))

class QUILLET_API Log {
 public:
  enum Level : int { kDebug = 0, kMessage = 1, kWarning = 2, kError = 3 };

  // Opens the log once per process. `options` is a ';'-separated list of
  // key=value pairs; the one key read is "name" (log file stem, default
  // "Plenova"). `config_path` names an optional Log.xml (see docs/embedding.md):
  // a missing or malformed file means defaults and one warning line.
  // `log_dir` is the folder for the log files. A second call returns true and
  // changes nothing. Returns false when the log file cannot be created (the
  // writers then stay harmless).
  static bool open2(bool enable, const char* options, bool console, const char* config_path,
                    const char* log_dir);

  // printf-style writers. `module` and `code` are carried for the caller
  // (the engine passes 54 and 4000 or 3000) and are not interpreted.
  static void writeError(int64_t module, uint32_t code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void writeWarning(int64_t module, uint32_t code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void writeMessage(int64_t module, uint32_t code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));
  static void writeDebug(int64_t module, uint32_t code, const char* format, ...)
      __attribute__((format(printf, 3, 4)));

  // Receives every formatted line, whatever the configured level, on the
  // writing thread. Meant for tests and embedding; nullptr removes it. The
  // hook must not call the writers.
  using LineHook = void (*)(int level, const char* line, void* context);
  static void setLineHook(LineHook hook, void* context);

  // The settings in force (after open2 has read Log.xml).
  static int level();
  static uint64_t maxFileSize();
  static int maxFiles();
  // Whether FFmpeg's messages belong in this log (Log.xml's <FFmpegLog>,
  // "engine" by default) or are left to the host ("host").
  static bool ffmpegToLog();
};
