"""ctypes declarations of the C interface (plenova_c.h) and the loading of
libplenova_c.so. Private to the package; the records mirror the C ones field
for field."""

import ctypes
import os

SONAME = "libplenova_c.so.1"

_u8_p = ctypes.POINTER(ctypes.c_uint8)

CanvasCallback = ctypes.CFUNCTYPE(None, _u8_p, ctypes.c_int32, ctypes.c_void_p)
SampleCallback = ctypes.CFUNCTYPE(None, _u8_p, ctypes.c_int32, ctypes.c_void_p)
MessageCallback = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_int32, ctypes.c_void_p)
Mp4StateCallback = ctypes.CFUNCTYPE(None, ctypes.c_int32, ctypes.c_void_p)

OUTPUT_COUNT = 3
MAX_STREAM_STATISTICS = 32


class Event(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("output", ctypes.c_int32),
        ("kind", ctypes.c_int32),
        ("attempt", ctypes.c_int32),
        ("delay_ms", ctypes.c_int32),
        ("reserved", ctypes.c_int32),
        ("bytes", ctypes.c_uint64),
        ("text", ctypes.c_char_p),
    ]


EventCallback = ctypes.CFUNCTYPE(None, ctypes.POINTER(Event), ctypes.c_void_p)


class OutputStatistics(ctypes.Structure):
    _fields_ = [
        ("state", ctypes.c_int32),
        ("reconnects", ctypes.c_uint32),
        ("bytes_sent", ctypes.c_uint64),
        ("packets_sent", ctypes.c_uint64),
        ("dropped", ctypes.c_uint64),
        ("queue_depth", ctypes.c_uint32),
        ("bitrate", ctypes.c_uint32),
        ("outage_ms", ctypes.c_uint64),
        ("latency_p50_ms", ctypes.c_uint32),
        ("latency_p99_ms", ctypes.c_uint32),
        ("last_error", ctypes.c_char * 128),
    ]


class StreamStatistics(ctypes.Structure):
    _fields_ = [
        ("id", ctypes.c_char * 64),
        ("audio", ctypes.c_int32),
        ("listed", ctypes.c_int32),
        ("accepted", ctypes.c_uint64),
        ("refused", ctypes.c_uint64),
        ("dropped_late", ctypes.c_uint64),
        ("dropped_full", ctypes.c_uint64),
        ("queue_depth", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
    ]


class Statistics(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("stream_count", ctypes.c_uint32),
        ("outputs", OutputStatistics * OUTPUT_COUNT),
        ("streams", StreamStatistics * MAX_STREAM_STATISTICS),
        ("canvases_composed", ctypes.c_uint64),
        ("canvases_skipped", ctypes.c_uint64),
        ("audio_frames_mixed", ctypes.c_uint64),
        ("audio_gain_reductions", ctypes.c_uint64),
        ("audio_silent_spans", ctypes.c_uint64),
        ("av_offset_ms", ctypes.c_int32),
        ("target_delay_ms", ctypes.c_uint32),
        ("timeline_adjustments", ctypes.c_uint32),
        ("encoder_preset", ctypes.c_uint32),
        ("encoder_preset_changes", ctypes.c_uint32),
        ("reserved", ctypes.c_uint32),
    ]


class AudioParam(ctypes.Structure):
    _fields_ = [
        ("file_path", ctypes.c_char_p),
        ("url_1", ctypes.c_char_p),
        ("url_2", ctypes.c_char_p),
        ("stream_name_1", ctypes.c_char_p),
        ("stream_name_2", ctypes.c_char_p),
        ("local_port", ctypes.c_int32),
        ("audio_bitrate", ctypes.c_int32),
        ("wait_max_time", ctypes.c_int32),
        ("local_ip", ctypes.c_char * 16),
        ("enable_write_mp4", ctypes.c_int32),
        ("enable_rtmp", ctypes.c_int32),
        ("param_tag", ctypes.c_int32),
    ]


class VideoParam(ctypes.Structure):
    _fields_ = [
        ("target_bitrate", ctypes.c_int32),
        ("target_h", ctypes.c_int32),
        ("target_w", ctypes.c_int32),
        ("video_tag", ctypes.c_int32),
    ]


class AudioStreamInfo(ctypes.Structure):
    _fields_ = [
        ("channel", ctypes.c_int32),
        ("sampling_per_bits", ctypes.c_int32),
        ("sampling_rate", ctypes.c_int32),
        ("stream_id", ctypes.c_char_p),
    ]


class AudioLayout(ctypes.Structure):
    _fields_ = [
        ("streams", ctypes.POINTER(AudioStreamInfo)),
        ("stream_count", ctypes.c_int32),
        ("target_frames_per_second", ctypes.c_int32),
        ("target_channels", ctypes.c_int32),
        ("target_sampling_rate", ctypes.c_int32),
        ("target_sampling_per_bits", ctypes.c_int32),
    ]


class VideoStreamInfo(ctypes.Structure):
    _fields_ = [
        ("fps", ctypes.c_int32),
        ("source_h", ctypes.c_int32),
        ("source_w", ctypes.c_int32),
        ("stream_id", ctypes.c_char_p),
        ("target_h", ctypes.c_int32),
        ("target_w", ctypes.c_int32),
        ("x", ctypes.c_int32),
        ("y", ctypes.c_int32),
        ("video_type", ctypes.c_int32),
    ]


class VideoLayout(ctypes.Structure):
    _fields_ = [
        ("stream_count", ctypes.c_int32),
        ("streams", ctypes.POINTER(VideoStreamInfo)),
    ]


def _candidates():
    """Where libplenova_c is looked for, in order."""
    explicit = os.environ.get("PLENOVA_LIBRARY")
    if explicit:
        yield explicit
    try:
        from . import _location  # written by cmake --install
    except ImportError:
        _location = None
    if _location is not None:
        here = os.path.dirname(os.path.abspath(__file__))
        yield os.path.normpath(os.path.join(here, _location.LIBRARY_DIR, SONAME))
    yield SONAME  # the system's search path (ld.so.conf, LD_LIBRARY_PATH)


def _declare(lib):
    i32, u32, u64, vp, cp = ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_void_p, ctypes.c_char_p
    handle = ctypes.c_void_p
    protos = {
        "plenova_version": (cp, []),
        "plenova_version_number": (i32, []),
        "plenova_strerror": (cp, [ctypes.c_int]),
        "plenova_create": (ctypes.c_int, [cp, ctypes.POINTER(handle)]),
        "plenova_destroy": (None, [handle]),
        "plenova_set_canvas_callback": (ctypes.c_int, [handle, CanvasCallback, vp]),
        "plenova_set_sample_callback": (ctypes.c_int, [handle, SampleCallback, vp]),
        "plenova_set_message_callback": (ctypes.c_int, [handle, MessageCallback, vp]),
        "plenova_set_mp4_state_callback": (ctypes.c_int, [handle, Mp4StateCallback, vp]),
        "plenova_set_event_callback": (ctypes.c_int, [handle, EventCallback, vp]),
        "plenova_get_statistics": (ctypes.c_int, [handle, ctypes.POINTER(Statistics)]),
        "plenova_set_audio_param": (ctypes.c_int, [handle, ctypes.POINTER(AudioParam)]),
        "plenova_set_video_param": (ctypes.c_int, [handle, ctypes.POINTER(VideoParam)]),
        "plenova_set_audio_layout": (ctypes.c_int, [handle, ctypes.POINTER(AudioLayout)]),
        "plenova_set_video_layout": (ctypes.c_int, [handle, ctypes.POINTER(VideoLayout)]),
        "plenova_set_picture_layout": (ctypes.c_int, [handle, ctypes.POINTER(VideoLayout)]),
        "plenova_push_audio": (ctypes.c_int, [handle, cp, i32, i32, i32, vp, i32, u64]),
        "plenova_push_video": (ctypes.c_int, [handle, cp, i32, i32, i32, vp, i32, u64, u32]),
        "plenova_start_mp4": (ctypes.c_int, [handle, cp]),
        "plenova_stop_mp4": (ctypes.c_int, [handle]),
        "plenova_start_rtmp": (ctypes.c_int, [handle, cp]),
        "plenova_stop_rtmp": (ctypes.c_int, [handle]),
        "plenova_set_target_delay": (ctypes.c_int, [handle, i32]),
        "plenova_stop": (ctypes.c_int, [handle]),
    }
    for name, (restype, argtypes) in protos.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def load():
    """The loaded library with its prototypes declared; OSError when none of
    the candidates loads."""
    errors = []
    for candidate in _candidates():
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(f"{candidate}: {error}")
            continue
        _declare(lib)
        return lib
    raise OSError("libplenova_c not found (set PLENOVA_LIBRARY to its path): " + "; ".join(errors))
