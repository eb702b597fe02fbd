// The C interface: each function checks what it must read itself, copies
// the C records into the C++ ones and calls the recorder through the public
// C++ interface. Exceptions stop here.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#include "api/Plenova.h"
#include "api/plenova_c.h"
#include "capi/CallbackRouter.h"

struct plenova_handle {
  IPlenova* engine = nullptr;  // owned: destroyed by plenova_destroy
  int slot = -1;               // the handle's CallbackRouter slot
};

namespace {

using plenova::capi::CallbackRouter;

// Layout arrays longer than this are not copied; the engine's own limits are
// far below it, so such a layout is refused either way.
constexpr int32_t kMaxLayoutEntries = 64;

// Runs `body`, turning an exception into a result code.
template <typename Body>
int Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PLENOVA_ERR_NO_MEMORY;
  } catch (...) {
    return PLENOVA_ERR_INTERNAL;
  }
}

int EngineResult(int result) { return result == 0 ? PLENOVA_OK : PLENOVA_ERR_REFUSED; }

// The records that may grow are copied as bytes between the C and the C++
// interface: their layouts must be the same, field for field.
#define PLENOVA_SAME_FIELD(c_type, cpp_type, c_field, cpp_field)              \
  static_assert(offsetof(c_type, c_field) == offsetof(cpp_type, cpp_field) && \
                sizeof(c_type::c_field) == sizeof(cpp_type::cpp_field))
#define PLENOVA_SAME(c_type, cpp_type, field) PLENOVA_SAME_FIELD(c_type, cpp_type, field, field)

static_assert(sizeof(plenova_event) == sizeof(PlenovaEvent));
PLENOVA_SAME(plenova_event, PlenovaEvent, size);
PLENOVA_SAME(plenova_event, PlenovaEvent, output);
PLENOVA_SAME(plenova_event, PlenovaEvent, kind);
PLENOVA_SAME(plenova_event, PlenovaEvent, attempt);
PLENOVA_SAME(plenova_event, PlenovaEvent, delay_ms);
PLENOVA_SAME(plenova_event, PlenovaEvent, reserved);
PLENOVA_SAME(plenova_event, PlenovaEvent, bytes);
PLENOVA_SAME(plenova_event, PlenovaEvent, text);

static_assert(sizeof(plenova_output_statistics) == sizeof(PlenovaOutputStatistics));
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, state);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, reconnects);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, bytes_sent);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, packets_sent);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, dropped);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, queue_depth);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, bitrate);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, outage_ms);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, latency_p50_ms);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, latency_p99_ms);
PLENOVA_SAME(plenova_output_statistics, PlenovaOutputStatistics, last_error);

static_assert(sizeof(plenova_stream_statistics) == sizeof(PlenovaStreamStatistics));
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, id);
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, audio);
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, listed);
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, accepted);
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, refused);
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, dropped_late);
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, dropped_full);
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, queue_depth);
PLENOVA_SAME(plenova_stream_statistics, PlenovaStreamStatistics, reserved);

static_assert(sizeof(plenova_statistics) == sizeof(PlenovaStatistics));
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, size);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, stream_count);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, outputs);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, streams);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, canvases_composed);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, canvases_skipped);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, audio_frames_mixed);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, audio_gain_reductions);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, audio_silent_spans);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, av_offset_ms);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, target_delay_ms);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, timeline_adjustments);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, encoder_preset);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, encoder_preset_changes);
PLENOVA_SAME(plenova_statistics, PlenovaStatistics, reserved);

#undef PLENOVA_SAME
#undef PLENOVA_SAME_FIELD

// The head a statistics record must hold: its size and stream count.
constexpr uint32_t kStatisticsHead = offsetof(plenova_statistics, outputs);

bool LayoutCopyable(const void* entries, int32_t count) {
  return entries != nullptr && count >= 1 && count <= kMaxLayoutEntries;
}

// Video and picture entries have the same fields in C++; `Info` is
// VideoStreamInfo or PictureStreamInfo.
template <typename Info>
std::vector<Info> ToEngine(const plenova_video_layout& layout) {
  std::vector<Info> entries;
  if (!LayoutCopyable(layout.streams, layout.stream_count)) return entries;
  entries.reserve(static_cast<size_t>(layout.stream_count));
  for (int32_t i = 0; i < layout.stream_count; ++i) {
    const plenova_video_stream_info& s = layout.streams[i];
    entries.push_back(Info{s.fps, s.source_h, s.source_w, s.stream_id, s.target_h, s.target_w, s.x,
                           s.y, s.video_type});
  }
  return entries;
}

// The engine makes target sizes even in place; the caller's array learns it.
template <typename Info>
void WriteBack(const std::vector<Info>& entries, plenova_video_layout* layout) {
  for (size_t i = 0; i < entries.size(); ++i) {
    layout->streams[i].target_w = entries[i].target_w;
    layout->streams[i].target_h = entries[i].target_h;
  }
}

// Hands a video or picture layout to `update`, which receives the C++
// record (`Update` is VideoStreamInfoUpdate or PictureStreamInfoUpdate). A
// layout the library cannot read goes to the engine without its array, so
// that the engine logs the refusal.
template <typename Info, typename Update, typename Apply>
int ApplyVideoLayout(plenova_video_layout* layout, Apply&& update) {
  if (layout == nullptr) {
    update(nullptr);
    return PLENOVA_ERR_INVALID;
  }
  std::vector<Info> entries = ToEngine<Info>(*layout);
  Update u{layout->stream_count, entries.empty() ? nullptr : entries.data()};
  update(&u);
  if (entries.empty()) return PLENOVA_ERR_INVALID;
  WriteBack(entries, layout);
  return PLENOVA_OK;
}

}  // namespace

extern "C" {

PLENOVA_C_API const char* plenova_version(void) { return PLENOVA_VERSION_STRING; }

PLENOVA_C_API int32_t plenova_version_number(void) { return PLENOVA_VERSION_NUMBER; }

PLENOVA_C_API const char* plenova_strerror(int code) {
  switch (code) {
    case PLENOVA_OK: return "success";
    case PLENOVA_ERR_INVALID: return "invalid argument";
    case PLENOVA_ERR_REFUSED: return "refused by the engine (see its log)";
    case PLENOVA_ERR_NO_MEMORY: return "out of memory";
    case PLENOVA_ERR_LIMIT: return "too many recorders in this process";
    case PLENOVA_ERR_INTERNAL: return "internal error";
    default: return "unknown result code";
  }
}

PLENOVA_C_API int plenova_create(const char* log_dir, plenova_t** out) {
  if (out == nullptr) return PLENOVA_ERR_INVALID;
  *out = nullptr;
  return Guarded([&] {
    CallbackRouter& router = CallbackRouter::Instance();
    const int slot = router.Claim();
    if (slot < 0) return PLENOVA_ERR_LIMIT;
    auto* handle = new (std::nothrow) plenova_handle;
    IPlenova* engine = handle != nullptr ? CreatePlenova(log_dir) : nullptr;
    if (engine == nullptr) {
      delete handle;
      router.Release(slot);
      return PLENOVA_ERR_NO_MEMORY;
    }
    handle->engine = engine;
    handle->slot = slot;
    // The slot's entries stay installed for the recorder's life; what they
    // forward to is set through the router.
    engine->PlenovaInit(reinterpret_cast<void*>(CallbackRouter::CanvasEntry(slot)),
                        reinterpret_cast<void*>(CallbackRouter::SampleEntry(slot)),
                        reinterpret_cast<void*>(CallbackRouter::MessageEntry(slot)));
    if (engine->SetMp4RecordCallback(CallbackRouter::Mp4StreamId(slot),
                                     CallbackRouter::Mp4StateEntry()) != 0 ||
        engine->SetEventCallback(CallbackRouter::EventEntry(), CallbackRouter::EventUser(slot)) !=
            0) {
      DeletePlenova(engine);
      delete handle;
      router.Release(slot);
      return PLENOVA_ERR_INTERNAL;
    }
    *out = handle;
    return PLENOVA_OK;
  });
}

PLENOVA_C_API void plenova_destroy(plenova_t* recorder) {
  if (recorder == nullptr) return;
  Guarded([&] {
    DeletePlenova(recorder->engine);  // joins every engine thread
    CallbackRouter::Instance().Release(recorder->slot);
    delete recorder;
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_canvas_callback(plenova_t* recorder, plenova_canvas_callback callback,
                                              void* user) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    CallbackRouter::Instance().SetCanvas(recorder->slot, callback, user);
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_sample_callback(plenova_t* recorder, plenova_sample_callback callback,
                                              void* user) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    CallbackRouter::Instance().SetSample(recorder->slot, callback, user);
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_message_callback(plenova_t* recorder,
                                               plenova_message_callback callback, void* user) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    CallbackRouter::Instance().SetMessage(recorder->slot, callback, user);
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_mp4_state_callback(plenova_t* recorder,
                                                 plenova_mp4_state_callback callback, void* user) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    CallbackRouter::Instance().SetMp4State(recorder->slot, callback, user);
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_event_callback(plenova_t* recorder, plenova_event_callback callback,
                                             void* user) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    CallbackRouter::Instance().SetEvent(recorder->slot, callback, user);
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_get_statistics(plenova_t* recorder, plenova_statistics* statistics) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    PlenovaStatistics full{};
    if (statistics == nullptr || statistics->size < kStatisticsHead) {
      // The engine logs the refusal.
      full.size = statistics == nullptr ? 0 : statistics->size;
      recorder->engine->GetStatistics(statistics == nullptr ? nullptr : &full);
      return PLENOVA_ERR_INVALID;
    }
    full.size = sizeof full;
    if (recorder->engine->GetStatistics(&full) != 0) return PLENOVA_ERR_REFUSED;
    const uint32_t filled = std::min<uint32_t>(statistics->size, full.size);
    std::memcpy(statistics, &full, filled);
    statistics->size = filled;
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_audio_param(plenova_t* recorder, const plenova_audio_param* param) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    if (param == nullptr) {
      recorder->engine->SetAuidoParam(nullptr);  // logged and refused by the engine
      return PLENOVA_ERR_INVALID;
    }
    AudioParam a{};
    a.filePath = param->file_path;
    a.url_1 = param->url_1;
    a.url_2 = param->url_2;
    a.StreamName_1 = param->stream_name_1;
    a.StreamName_2 = param->stream_name_2;
    a.local_port = param->local_port;
    a.audio_bitrate = param->audio_bitrate;
    a.waitMaxTime = param->wait_max_time;
    static_assert(sizeof(a.local_Ip) == sizeof(param->local_ip));
    std::memcpy(a.local_Ip, param->local_ip, sizeof(a.local_Ip));  // the engine checks the NUL
    a.Enable_write_mp4 = param->enable_write_mp4 != 0;
    a.Enable_rtmp = param->enable_rtmp != 0;
    a.param_tag = param->param_tag;
    recorder->engine->SetAuidoParam(&a);
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_video_param(plenova_t* recorder, const plenova_video_param* param) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    if (param == nullptr) {
      recorder->engine->SetVideoParam(nullptr);
      return PLENOVA_ERR_INVALID;
    }
    VideoParam v{param->target_bitrate, param->target_h, param->target_w, param->video_tag};
    recorder->engine->SetVideoParam(&v);
    return PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_audio_layout(plenova_t* recorder,
                                           const plenova_audio_layout* layout) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    IUpdateStreamInterface* update = recorder->engine->GetUpdateStreamInterface();
    if (layout == nullptr) {
      update->UpdateAudioStreamInfo(nullptr);
      return PLENOVA_ERR_INVALID;
    }
    std::vector<AudioStreamInfo> entries;
    if (LayoutCopyable(layout->streams, layout->stream_count)) {
      entries.reserve(static_cast<size_t>(layout->stream_count));
      for (int32_t i = 0; i < layout->stream_count; ++i) {
        const plenova_audio_stream_info& s = layout->streams[i];
        entries.push_back(
            AudioStreamInfo{s.channel, s.sampling_per_bits, s.sampling_rate, s.stream_id});
      }
    }
    AudioStreamInfoUpdate u{entries.empty() ? nullptr : entries.data(),
                            layout->stream_count,
                            layout->target_frames_per_second,
                            layout->target_channels,
                            layout->target_sampling_rate,
                            layout->target_sampling_per_bits};
    update->UpdateAudioStreamInfo(&u);
    return entries.empty() ? PLENOVA_ERR_INVALID : PLENOVA_OK;
  });
}

PLENOVA_C_API int plenova_set_video_layout(plenova_t* recorder, plenova_video_layout* layout) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    IUpdateStreamInterface* update = recorder->engine->GetUpdateStreamInterface();
    return ApplyVideoLayout<VideoStreamInfo, VideoStreamInfoUpdate>(
        layout, [&](VideoStreamInfoUpdate* u) { update->UpdateVideoStreamInfo(u); });
  });
}

PLENOVA_C_API int plenova_set_picture_layout(plenova_t* recorder, plenova_video_layout* layout) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    IUpdateStreamInterface* update = recorder->engine->GetUpdateStreamInterface();
    return ApplyVideoLayout<PictureStreamInfo, PictureStreamInfoUpdate>(
        layout, [&](PictureStreamInfoUpdate* u) { update->UpdatePictureStreamInfo(u); });
  });
}

PLENOVA_C_API int plenova_push_audio(plenova_t* recorder, const char* stream_id, int32_t channels,
                                     int32_t sampling_per_bits, int32_t sampling_rate,
                                     const void* data, int32_t size, uint64_t timestamp) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    return EngineResult(recorder->engine->PushAudioFrame(channels, sampling_per_bits, sampling_rate,
                                                         const_cast<void*>(data), size, timestamp,
                                                         stream_id));
  });
}

PLENOVA_C_API int plenova_push_video(plenova_t* recorder, const char* stream_id, int32_t width,
                                     int32_t height, int32_t fps, const void* data, int32_t size,
                                     uint64_t timestamp, uint32_t extra) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] {
    return EngineResult(recorder->engine->PushVideoFrame(
        width, height, stream_id, fps, const_cast<void*>(data), size, timestamp, extra));
  });
}

PLENOVA_C_API int plenova_start_mp4(plenova_t* recorder, const char* path) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] { return EngineResult(recorder->engine->StartMp4Record(path)); });
}

PLENOVA_C_API int plenova_stop_mp4(plenova_t* recorder) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] { return EngineResult(recorder->engine->StopMp4Record()); });
}

PLENOVA_C_API int plenova_start_rtmp(plenova_t* recorder, const char* url) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] { return EngineResult(recorder->engine->StartRecord(url)); });
}

PLENOVA_C_API int plenova_stop_rtmp(plenova_t* recorder) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] { return EngineResult(recorder->engine->StopRecord()); });
}

PLENOVA_C_API int plenova_set_target_delay(plenova_t* recorder, int32_t milliseconds) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] { return EngineResult(recorder->engine->SetTargetDelay(milliseconds)); });
}

PLENOVA_C_API int plenova_stop(plenova_t* recorder) {
  if (recorder == nullptr) return PLENOVA_ERR_INVALID;
  return Guarded([&] { return EngineResult(recorder->engine->PlenovaUnint()); });
}

}  // extern "C"
