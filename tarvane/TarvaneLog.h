#pragma once

// The MP4 library's log lines. They go to the process's log (libquillet),
// which the engine opens, prefixed like the engine's own lines
// ("File:%s,Line=%05d  Function: %s "); before the log is opened they are
// dropped. Safe from any thread.

#include "quillet/LogSite.h"

#define TVN_LOG_MODULE_ID 54
#define TVN_LOG_ERROR(format, ...) \
  QUILLET_LOG_AT(writeError, TVN_LOG_MODULE_ID, 4000u, format __VA_OPT__(, ) __VA_ARGS__)
#define TVN_LOG_WARNING(format, ...) \
  QUILLET_LOG_AT(writeWarning, TVN_LOG_MODULE_ID, 3000u, format __VA_OPT__(, ) __VA_ARGS__)
#define TVN_LOG_MESSAGE(format, ...) \
  QUILLET_LOG_AT(writeMessage, TVN_LOG_MODULE_ID, 3000u, format __VA_OPT__(, ) __VA_ARGS__)
