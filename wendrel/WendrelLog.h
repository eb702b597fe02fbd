#pragma once

// The RTMP library's log lines. They go to the process's log (libquillet),
// which the engine opens, prefixed like the engine's own lines
// ("File:%s,Line=%05d  Function: %s "); before the log is opened they are
// dropped. Safe from any thread. A URL or stream name goes into a line only
// through quillet/UrlMask.h.

#include "quillet/LogSite.h"

#define WDR_LOG_MODULE_ID 54
#define WDR_LOG_ERROR(format, ...) \
  QUILLET_LOG_AT(writeError, WDR_LOG_MODULE_ID, 4000u, format __VA_OPT__(, ) __VA_ARGS__)
#define WDR_LOG_WARNING(format, ...) \
  QUILLET_LOG_AT(writeWarning, WDR_LOG_MODULE_ID, 3000u, format __VA_OPT__(, ) __VA_ARGS__)
#define WDR_LOG_MESSAGE(format, ...) \
  QUILLET_LOG_AT(writeMessage, WDR_LOG_MODULE_ID, 3000u, format __VA_OPT__(, ) __VA_ARGS__)
#define WDR_LOG_DEBUG(format, ...) \
  QUILLET_LOG_AT(writeDebug, WDR_LOG_MODULE_ID, 3000u, format __VA_OPT__(, ) __VA_ARGS__)
