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
