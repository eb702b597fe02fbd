#pragma once

// The engine's binding to the logging library. Call sites read like the
// engine's messages:
//
//   PLN_LOG_ERROR("MeetingMessage start");
//   PLN_LOG_WARNING("MeetingMessage called twice,return");
//   PLN_RAW_ERROR("_Plenova_ SetAuidoParam audio_bitrate=%d", bitrate);
//
// The PLN_LOG_* forms prepend "File:%s,Line=%05d  Function: %s " with the
// module, the line and "Class::Method"; the PLN_RAW_* forms write the text
// alone. The PLN_SITE_* forms take a whole format whose first three
// conversions are the module, the line and the function, for the messages
// whose prefix is laid out differently:
//
//   PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
//
// Every writer is safe from any thread and harmless before the log is
// opened.

#include "quillet/Log.h"
#include "quillet/LogSite.h"

#define PLN_LOG_MODULE_ID 54
#define PLN_LOG_CODE_ERROR 4000u
#define PLN_LOG_CODE_OTHER 3000u

#define PLN_LOG_PREFIX QUILLET_SITE_PREFIX

#define PLN_SITE_AT(writer, code, format, ...) \
  QUILLET_SITE_AT(writer, PLN_LOG_MODULE_ID, code, format __VA_OPT__(, ) __VA_ARGS__)

#define PLN_LOG_AT(writer, code, format, ...) \
  QUILLET_LOG_AT(writer, PLN_LOG_MODULE_ID, code, format __VA_OPT__(, ) __VA_ARGS__)

#define PLN_SITE_ERROR(format, ...) \
  PLN_SITE_AT(writeError, PLN_LOG_CODE_ERROR, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_SITE_WARNING(format, ...) \
  PLN_SITE_AT(writeWarning, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_SITE_MESSAGE(format, ...) \
  PLN_SITE_AT(writeMessage, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_SITE_DEBUG(format, ...) \
  PLN_SITE_AT(writeDebug, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)

#define PLN_LOG_ERROR(format, ...) \
  PLN_LOG_AT(writeError, PLN_LOG_CODE_ERROR, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_LOG_WARNING(format, ...) \
  PLN_LOG_AT(writeWarning, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_LOG_MESSAGE(format, ...) \
  PLN_LOG_AT(writeMessage, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_LOG_DEBUG(format, ...) \
  PLN_LOG_AT(writeDebug, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)

#define PLN_RAW_ERROR(format, ...) \
  ::Log::writeError(PLN_LOG_MODULE_ID, PLN_LOG_CODE_ERROR, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_RAW_WARNING(format, ...) \
  ::Log::writeWarning(PLN_LOG_MODULE_ID, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_RAW_MESSAGE(format, ...) \
  ::Log::writeMessage(PLN_LOG_MODULE_ID, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)
#define PLN_RAW_DEBUG(format, ...) \
  ::Log::writeDebug(PLN_LOG_MODULE_ID, PLN_LOG_CODE_OTHER, format __VA_OPT__(, ) __VA_ARGS__)
