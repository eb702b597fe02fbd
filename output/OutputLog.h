#pragma once

// Log lines of the output stage whose prefix names only the module and the
// line ("File:%s,Line=%05d ..."), followed by the caller's arguments.

#include "log/PlenovaLog.h"

#define PLN_FILE_LINE_ERROR(format, ...)                                                      \
  do {                                                                                        \
    static const ::quillet::LogSite pln_file_line_site_(__FILE_NAME__, __PRETTY_FUNCTION__);  \
    PLN_RAW_ERROR(format, pln_file_line_site_.module(), __LINE__ __VA_OPT__(, ) __VA_ARGS__); \
  } while (0)
