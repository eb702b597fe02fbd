/* The C interface's constants and record layouts as the C compiler sees
 * them, for the C++ test to compare with the C++ interface. */

#include <stddef.h>

#include "api/plenova_c.h"

const long plenova_c_constants[] = {
    PLENOVA_OUTPUT_MP4,           PLENOVA_OUTPUT_RTMP_1,     PLENOVA_OUTPUT_RTMP_2,
    PLENOVA_OUTPUT_COUNT,         PLENOVA_EVENT_CONNECTING,  PLENOVA_EVENT_PUBLISHING,
    PLENOVA_EVENT_RECONNECTING,   PLENOVA_EVENT_FAILED,      PLENOVA_EVENT_STOPPED,
    PLENOVA_EVENT_FILE_OPENED,    PLENOVA_EVENT_FILE_CLOSED, PLENOVA_EVENT_WRITE_ERROR,
    PLENOVA_MAX_STREAM_STATISTICS};

const long plenova_c_layout[] = {(long)sizeof(plenova_event),
                                 (long)offsetof(plenova_event, bytes),
                                 (long)offsetof(plenova_event, text),
                                 (long)sizeof(plenova_output_statistics),
                                 (long)offsetof(plenova_output_statistics, outage_ms),
                                 (long)offsetof(plenova_output_statistics, last_error),
                                 (long)sizeof(plenova_stream_statistics),
                                 (long)offsetof(plenova_stream_statistics, accepted),
                                 (long)offsetof(plenova_stream_statistics, queue_depth),
                                 (long)sizeof(plenova_statistics),
                                 (long)offsetof(plenova_statistics, outputs),
                                 (long)offsetof(plenova_statistics, streams),
                                 (long)offsetof(plenova_statistics, canvases_composed),
                                 (long)offsetof(plenova_statistics, av_offset_ms),
                                 (long)offsetof(plenova_statistics, reserved)};
