/* The C interface from a C99 program, through libplenova_c.so and
 * libplenova.so: two recorders at once, each with its own callbacks and user
 * pointers, record two seconds each; each sees its own MP4 file's events and
 * statistics that count what it pushed; bad calls are refused with the
 * documented codes and crash nothing. Usage: c_api_test FOLDER */

#define _POSIX_C_SOURCE 200809L

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "api/plenova_c.h"

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

/* What one recorder's callbacks saw; each recorder has its own. */
typedef struct {
  int states[8];
  int state_count;
  long canvases;
  int canvas_size; /* of the last canvas */
  int events;
  int bad_events;     /* of another output, or a record of another size */
  int opened, closed; /* MP4 FILE_OPENED and FILE_CLOSED events */
  char opened_path[512];
  uint64_t closed_bytes;
} Seen;

static void on_mp4_state(int32_t state, void* user) {
  Seen* seen = (Seen*)user;
  if (seen->state_count < 8) seen->states[seen->state_count++] = state;
}

static void on_event(const plenova_event* event, void* user) {
  Seen* seen = (Seen*)user;
  seen->events++;
  if (event->size != sizeof(plenova_event) || event->output != PLENOVA_OUTPUT_MP4 ||
      event->text == NULL) {
    seen->bad_events++;
    return;
  }
  if (event->kind == PLENOVA_EVENT_FILE_OPENED) {
    seen->opened++;
    snprintf(seen->opened_path, sizeof seen->opened_path, "%s", event->text);
  } else if (event->kind == PLENOVA_EVENT_FILE_CLOSED) {
    seen->closed++;
    seen->closed_bytes = event->bytes;
  }
}

static void on_canvas(const uint8_t* canvas, int32_t size, void* user) {
  Seen* seen = (Seen*)user;
  (void)canvas;
  seen->canvases++;
  seen->canvas_size = size;
}

enum { kRate = 48000, kChannels = 2, kMixFps = 50, kCamW = 160, kCamH = 90 };

typedef struct {
  plenova_t* recorder;
  int canvas_w, canvas_h;
  Seen seen;
  char mp4[512];
} Meeting;

static int start(Meeting* m, const char* folder, const char* name) {
  plenova_audio_param a = {
      .audio_bitrate = 64000, .wait_max_time = 25, .local_ip = "127.0.0.1", .enable_write_mp4 = 1};
  plenova_video_param v = {
      .target_bitrate = 300000, .target_h = m->canvas_h, .target_w = m->canvas_w};
  plenova_audio_stream_info voice = {kChannels, 16, kRate, "mic"};
  plenova_audio_layout audio = {&voice, 1, kMixFps, kChannels, kRate, 16};
  plenova_video_stream_info cam = {25, kCamH, kCamW, "cam", m->canvas_h, m->canvas_w, 0, 0, 0};
  plenova_video_layout video = {1, &cam};
  /* An odd rectangle is made even in the caller's record. */
  plenova_video_stream_info picture = {25, 360, 640, NULL, 45, 81, 0, 0, 0};
  plenova_video_layout pictures = {1, &picture};

  snprintf(m->mp4, sizeof m->mp4, "%s/%s.mp4", folder, name);
  if (plenova_set_audio_param(m->recorder, &a) != PLENOVA_OK ||
      plenova_set_video_param(m->recorder, &v) != PLENOVA_OK ||
      plenova_set_mp4_state_callback(m->recorder, on_mp4_state, &m->seen) != PLENOVA_OK ||
      plenova_set_canvas_callback(m->recorder, on_canvas, &m->seen) != PLENOVA_OK ||
      plenova_set_event_callback(m->recorder, on_event, &m->seen) != PLENOVA_OK ||
      plenova_set_target_delay(m->recorder, 100) != PLENOVA_OK ||
      plenova_start_mp4(m->recorder, m->mp4) != PLENOVA_OK ||
      plenova_set_audio_layout(m->recorder, &audio) != PLENOVA_OK ||
      plenova_set_video_layout(m->recorder, &video) != PLENOVA_OK)
    return 0;
  CHECK(plenova_set_picture_layout(m->recorder, &pictures) == PLENOVA_OK);
  CHECK(picture.target_w == 80 && picture.target_h == 44);
  return 1;
}

static double now_seconds(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void sleep_until(double when) {
  double left = when - now_seconds();
  if (left > 0) {
    struct timespec t;
    t.tv_sec = (time_t)left;
    t.tv_nsec = (long)((left - (double)t.tv_sec) * 1e9);
    nanosleep(&t, NULL);
  }
}

/* Pushes `seconds` of a tone and a grey picture to every meeting, paced in
 * real time: one 20 ms audio frame per step, a picture every other step. */
static void push(Meeting* meetings, int count, double seconds) {
  const int samples = kRate / kMixFps;
  const int pcm_bytes = samples * kChannels * 2;
  const int i420_bytes = kCamW * kCamH * 3 / 2;
  int16_t* pcm = malloc((size_t)pcm_bytes);
  uint8_t* i420 = malloc((size_t)i420_bytes);
  const int steps = (int)(seconds * kMixFps);
  const double begin = now_seconds();
  int step, i, m;
  memset(i420, 128, (size_t)i420_bytes);
  for (step = 0; step < steps; ++step) {
    const uint64_t stamp = 900000000ull + (uint64_t)step * 90000u / kMixFps;
    for (i = 0; i < samples * kChannels; ++i)
      pcm[i] = (int16_t)((i / kChannels) % 48 < 24 ? 3000 : -3000);
    for (m = 0; m < count; ++m) {
      CHECK(plenova_push_audio(meetings[m].recorder, "mic", kChannels, 16, kRate, pcm, pcm_bytes,
                               stamp) == PLENOVA_OK);
      if (step % 2 == 0)
        CHECK(plenova_push_video(meetings[m].recorder, "cam", kCamW, kCamH, 25, i420, i420_bytes,
                                 stamp, PLENOVA_ROWS_TOP_DOWN) == PLENOVA_OK);
    }
    sleep_until(begin + (double)(step + 1) / kMixFps);
  }
  free(pcm);
  free(i420);
}

static long file_size(const char* path) {
  long size = -1;
  FILE* f = fopen(path, "rb");
  if (f == NULL) return -1;
  if (fseek(f, 0, SEEK_END) == 0) size = ftell(f);
  fclose(f);
  return size;
}

/* Every call with a null handle or a null record fails cleanly. */
static void check_refusals(plenova_t* live) {
  uint8_t byte = 0;
  plenova_t* none = NULL;
  CHECK(plenova_create(NULL, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_canvas_callback(none, on_canvas, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_sample_callback(none, NULL, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_message_callback(none, NULL, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_mp4_state_callback(none, on_mp4_state, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_event_callback(none, on_event, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_get_statistics(none, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_audio_param(none, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_video_param(none, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_audio_layout(none, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_video_layout(none, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_picture_layout(none, NULL) == PLENOVA_ERR_INVALID);
  CHECK(plenova_push_audio(none, "mic", 2, 16, kRate, &byte, 1, 0) == PLENOVA_ERR_INVALID);
  CHECK(plenova_push_video(none, "cam", 2, 2, 25, &byte, 1, 0, 0) == PLENOVA_ERR_INVALID);
  CHECK(plenova_start_mp4(none, "x.mp4") == PLENOVA_ERR_INVALID);
  CHECK(plenova_stop_mp4(none) == PLENOVA_ERR_INVALID);
  CHECK(plenova_start_rtmp(none, "rtmp://127.0.0.1/live/x") == PLENOVA_ERR_INVALID);
  CHECK(plenova_stop_rtmp(none) == PLENOVA_ERR_INVALID);
  CHECK(plenova_set_target_delay(none, 60) == PLENOVA_ERR_INVALID);
  CHECK(plenova_stop(none) == PLENOVA_ERR_INVALID);
  plenova_destroy(NULL);

  /* On a live recorder: records the library cannot read, and frames that
   * do not fit, before the engine runs. */
  {
    plenova_audio_layout audio;
    plenova_video_layout video;
    memset(&audio, 0, sizeof audio);
    audio.stream_count = 3; /* with no array */
    video.stream_count = -1;
    video.streams = NULL;
    CHECK(plenova_set_audio_param(live, NULL) == PLENOVA_ERR_INVALID);
    CHECK(plenova_set_video_param(live, NULL) == PLENOVA_ERR_INVALID);
    CHECK(plenova_set_audio_layout(live, NULL) == PLENOVA_ERR_INVALID);
    CHECK(plenova_set_audio_layout(live, &audio) == PLENOVA_ERR_INVALID);
    CHECK(plenova_set_video_layout(live, &video) == PLENOVA_ERR_INVALID);
    CHECK(plenova_set_picture_layout(live, NULL) == PLENOVA_ERR_INVALID);
    CHECK(plenova_push_audio(live, "mic", 2, 16, kRate, NULL, 3840, 0) == PLENOVA_ERR_REFUSED);
    CHECK(plenova_push_video(live, NULL, kCamW, kCamH, 25, &byte, 1, 0, 0) == PLENOVA_ERR_REFUSED);
    CHECK(plenova_start_mp4(live, NULL) == PLENOVA_ERR_REFUSED);
    CHECK(plenova_stop_rtmp(live) == PLENOVA_ERR_REFUSED);
    CHECK(plenova_set_target_delay(live, 1001) == PLENOVA_ERR_REFUSED);
    CHECK(plenova_set_target_delay(live, -1) == PLENOVA_ERR_REFUSED);
  }

  /* Statistics records without room for their head. */
  {
    plenova_statistics stats;
    memset(&stats, 0, sizeof stats);
    CHECK(plenova_get_statistics(live, NULL) == PLENOVA_ERR_INVALID);
    stats.size = 4;
    CHECK(plenova_get_statistics(live, &stats) == PLENOVA_ERR_INVALID);
    CHECK(stats.size == 4);
  }
}

static const plenova_stream_statistics* find_stream(const plenova_statistics* stats, const char* id,
                                                    int audio) {
  uint32_t i;
  for (i = 0; i < stats->stream_count && i < PLENOVA_MAX_STREAM_STATISTICS; ++i) {
    if (strcmp(stats->streams[i].id, id) == 0 && stats->streams[i].audio == audio)
      return &stats->streams[i];
  }
  return NULL;
}

/* The statistics of a recorder that was pushed `audio` and `video` frames
 * with a target delay of 100 ms and records to MP4; then a client whose
 * record ends before the streams gets only what fits. */
static void check_statistics(plenova_t* recorder, uint64_t audio, uint64_t video) {
  static plenova_statistics stats; /* 4 KB: not on the stack */
  const plenova_stream_statistics* mic;
  const plenova_stream_statistics* cam;
  memset(&stats, 0, sizeof stats);
  stats.size = sizeof stats;
  CHECK(plenova_get_statistics(recorder, &stats) == PLENOVA_OK);
  CHECK(stats.size == sizeof stats);
  CHECK(stats.stream_count == 2);
  mic = find_stream(&stats, "mic", 1);
  cam = find_stream(&stats, "cam", 0);
  CHECK(mic != NULL && cam != NULL);
  if (mic != NULL && cam != NULL) {
    /* Every frame pushed is counted once: queued, or dropped late or full. */
    CHECK(mic->accepted + mic->dropped_late + mic->dropped_full == audio);
    CHECK(cam->accepted + cam->dropped_late + cam->dropped_full == video);
    CHECK(mic->accepted > audio / 2 && cam->accepted > video / 2);
    CHECK(mic->listed == 1 && cam->listed == 1);
  }
  CHECK(stats.canvases_composed >= 10);
  CHECK(stats.audio_frames_mixed >= 10);
  CHECK(stats.target_delay_ms == 100);
  CHECK(stats.outputs[PLENOVA_OUTPUT_MP4].bytes_sent > 1000);
  CHECK(stats.outputs[PLENOVA_OUTPUT_MP4].packets_sent > 10);
  CHECK(stats.outputs[PLENOVA_OUTPUT_RTMP_1].bytes_sent == 0);

  memset(&stats, 0xab, sizeof stats);
  stats.size = offsetof(plenova_statistics, streams);
  CHECK(plenova_get_statistics(recorder, &stats) == PLENOVA_OK);
  CHECK(stats.size == offsetof(plenova_statistics, streams));
  CHECK(stats.stream_count == 2);
  CHECK((uint32_t)stats.streams[0].audio == 0xababababu); /* beyond the record: untouched */
}

int main(int argc, char** argv) {
  Meeting meetings[2];
  int i;
  if (argc < 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }

  CHECK(strcmp(plenova_version(), PLENOVA_VERSION_STRING) == 0);
  CHECK(plenova_version_number() == PLENOVA_VERSION_NUMBER);
  CHECK(strcmp(plenova_strerror(PLENOVA_ERR_REFUSED), plenova_strerror(PLENOVA_ERR_INVALID)) != 0);
  CHECK(plenova_strerror(12345) != NULL);

  memset(meetings, 0, sizeof meetings);
  meetings[0].canvas_w = 320;
  meetings[0].canvas_h = 180;
  meetings[1].canvas_w = 160;
  meetings[1].canvas_h = 120;
  for (i = 0; i < 2; ++i) {
    CHECK(plenova_create(argv[1], &meetings[i].recorder) == PLENOVA_OK);
    if (meetings[i].recorder == NULL) return 1;
  }
  check_refusals(meetings[0].recorder);
  CHECK(start(&meetings[0], argv[1], "first"));
  CHECK(start(&meetings[1], argv[1], "second"));
  push(meetings, 2, 2.0);
  for (i = 0; i < 2; ++i) {
    check_statistics(meetings[i].recorder, 2 * kMixFps, kMixFps);
    CHECK(plenova_stop_mp4(meetings[i].recorder) == PLENOVA_OK);
    plenova_destroy(meetings[i].recorder);
  }

  /* Each recorder's reports reached its own user pointer. */
  for (i = 0; i < 2; ++i) {
    const Seen* seen = &meetings[i].seen;
    CHECK(seen->state_count == 2);
    CHECK(seen->states[0] == PLENOVA_MP4_STARTED);
    CHECK(seen->states[1] == PLENOVA_MP4_STOPPED);
    CHECK(seen->canvases >= 10);
    CHECK(seen->canvas_size == meetings[i].canvas_w * meetings[i].canvas_h * 3 / 2);
    CHECK(file_size(meetings[i].mp4) > 1000);
    CHECK(seen->bad_events == 0);
    CHECK(seen->opened == 1 && strcmp(seen->opened_path, meetings[i].mp4) == 0);
    CHECK(seen->closed == 1 && seen->closed_bytes == (uint64_t)file_size(meetings[i].mp4));
  }
  if (failures != 0) fprintf(stderr, "%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
