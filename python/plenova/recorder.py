"""The recorder: the Python face of the C interface (plenova_c.h).

Settings and layouts are dataclasses; frames are pushed from any object with
the buffer protocol (bytes, bytearray, memoryview, a NumPy array) without
copying it in Python: the engine copies each frame once, before the push
returns. Callbacks are Python callables that run on the engine's threads.
"""

import ctypes
import enum
import threading
import weakref
from dataclasses import dataclass, fields
from typing import Callable, Dict, List, Optional, Sequence, Union

from . import _native

_lib = None
_lib_lock = threading.Lock()


def _library():
    global _lib
    with _lib_lock:
        if _lib is None:
            _lib = _native.load()
        return _lib


def version() -> str:
    """The engine library's version, "major.minor.patch"."""
    return _library().plenova_version().decode()


class PlenovaError(Exception):
    """A call the library refused; `code` is the C interface's result
    (PLENOVA_ERR_*), and the engine's log says more."""

    def __init__(self, operation: str, code: int, text: Optional[str] = None):
        self.code = code
        if text is None:
            text = _library().plenova_strerror(code).decode()
        super().__init__(f"{operation}: {text} ({code})")


class Mp4State(enum.IntEnum):
    """States the MP4 recorder reports."""
    STARTED = 1
    STOPPED = 2
    WRITE_ERROR = 3   # e.g. a full disk; the file stays valid up to it
    OPEN_FAILED = 4


class Output(enum.IntEnum):
    """The outputs events and statistics name."""
    MP4 = 0
    RTMP_1 = 1
    RTMP_2 = 2


class EventKind(enum.IntEnum):
    """What happened to an output."""
    CONNECTING = 1    # RTMP: a connection is being made (attempt)
    PUBLISHING = 2    # RTMP: media flow to the server
    RECONNECTING = 3  # RTMP: no connection; attempt `attempt` comes in `delay_ms`
    FAILED = 4        # the output gave up; text: why
    STOPPED = 5       # RTMP: stopped by the client (MP4: FILE_CLOSED)
    FILE_OPENED = 6   # MP4: text: the path
    FILE_CLOSED = 7   # MP4: text: the path, bytes: its size
    WRITE_ERROR = 8   # MP4: writing failed; text: why (the file stays valid up to it)


def _known(kind, value):
    """`value` as a member of the enum `kind`, or the int when it names none
    (a newer library may report more)."""
    return kind(value) if value in kind._value2member_map_ else value


def _decode(raw: bytes) -> str:
    return raw.decode(errors="replace")


@dataclass(frozen=True)
class Event:
    """One event of an output (set_event_callback)."""
    output: Union[Output, int]
    kind: Union[EventKind, int]
    attempt: int = 0   # CONNECTING and RECONNECTING: 1 for the first try
    delay_ms: int = 0  # RECONNECTING: until the next try
    bytes: int = 0     # FILE_CLOSED: the file's size
    text: str = ""     # a path, a URL with its stream key masked, or a reason


@dataclass(frozen=True)
class OutputStatistics:
    """One output. Bytes and packets count what was handed to the server or
    the file; the latencies run from the push of a frame to its video leaving,
    over the last 10 s."""
    state: Optional[Union[EventKind, int]]  # the output's last event; None before any
    reconnects: int
    bytes_sent: int
    packets_sent: int
    dropped: int          # samples lost on the way (full queue, no connection)
    queue_depth: int      # samples waiting to be sent or written
    bitrate: int          # bit/s over the last second
    outage_ms: int        # RTMP: time publishing was asked for but not happening
    latency_p50_ms: int
    latency_p99_ms: int
    last_error: str       # empty when none


@dataclass(frozen=True)
class StreamStatistics:
    """One input stream: what became of the frames pushed for it."""
    stream_id: str        # cut to 63 characters
    audio: bool
    listed: bool          # the current layout lists it
    accepted: int         # frames queued
    refused: int          # frames the engine refused (see its log)
    dropped_late: int     # frames that came after their time
    dropped_full: int     # frames lost to a full queue
    queue_depth: int      # frames waiting now


ENCODER_PRESETS = ("veryfast", "superfast", "ultrafast")


@dataclass(frozen=True)
class Statistics:
    """A snapshot of a recorder (Recorder.statistics)."""
    outputs: Dict[Output, OutputStatistics]
    streams: List[StreamStatistics]
    canvases_composed: int
    canvases_skipped: int        # given up to catch up with the timeline
    audio_frames_mixed: int
    audio_gain_reductions: int   # mixed frames whose sum had to be turned down
    audio_silent_spans: int      # mixer frames no voice delivered anything for
    av_offset_ms: int            # last video minus last audio written by the sync stage
    target_delay_ms: int
    timeline_adjustments: int    # moves of the media clock mapping so far
    encoder_preset: str          # "veryfast", "superfast" or "ultrafast"
    encoder_preset_changes: int

    def stream(self, stream_id: str, audio: bool) -> Optional[StreamStatistics]:
        """The audio or video stream of that id, or None."""
        return next((s for s in self.streams if s.stream_id == stream_id and s.audio == audio), None)


def _copy_fields(record, native, **special):
    """`record` (a dataclass) from the ctypes record of the same field names;
    `special` gives the fields whose values need converting."""
    values = {f.name: special[f.name] if f.name in special else getattr(native, f.name)
              for f in fields(record)}
    return record(**values)


def _event(native) -> Event:
    return Event(output=_known(Output, native.output), kind=_known(EventKind, native.kind),
                 attempt=native.attempt, delay_ms=native.delay_ms, bytes=native.bytes,
                 text=_decode(native.text or b""))


def _statistics(native) -> Statistics:
    outputs = {output: _copy_fields(OutputStatistics, native.outputs[output],
                                    state=_known(EventKind, native.outputs[output].state) or None,
                                    last_error=_decode(native.outputs[output].last_error))
               for output in Output}
    count = min(native.stream_count, _native.MAX_STREAM_STATISTICS)
    streams = [_copy_fields(StreamStatistics, s, stream_id=_decode(s.id), audio=bool(s.audio),
                            listed=bool(s.listed))
               for s in native.streams[:count]]
    preset = native.encoder_preset
    return _copy_fields(Statistics, native, outputs=outputs, streams=streams,
                        encoder_preset=ENCODER_PRESETS[preset] if preset < len(ENCODER_PRESETS)
                        else str(preset))


@dataclass
class OutputSettings:
    """What to produce (AudioParam in the C++ interface). Bit rates in bit/s."""
    audio_bitrate: int = 96000
    enable_write_mp4: bool = True
    enable_rtmp: bool = False
    url_1: Optional[str] = None
    url_2: Optional[str] = None
    stream_name_1: Optional[str] = None
    stream_name_2: Optional[str] = None
    file_path: Optional[str] = None   # MP4 folder; None: ./PlenovaMp4
    local_ip: str = "127.0.0.1"
    local_port: int = 0               # must not be 0 with enable_rtmp
    wait_max_time: int = 10           # AAC frames audio may be missing before video is held
    param_tag: int = 0


@dataclass
class CanvasSettings:
    """The composed picture (VideoParam): size in pixels, H.264 bit rate in bit/s."""
    width: int
    height: int
    bitrate: int = 1500000
    video_tag: int = 0


@dataclass
class AudioStream:
    """One voice: interleaved signed 16-bit PCM."""
    stream_id: str
    channels: int = 2
    sampling_rate: int = 48000
    bits: int = 16


@dataclass
class AudioLayout:
    """The voices and the mixed format: `frames_per_second` mixed frames a second."""
    streams: List[AudioStream]
    frames_per_second: int = 50
    channels: int = 2
    sampling_rate: int = 48000
    bits: int = 16


@dataclass
class VideoStream:
    """One camera (or, in a picture layout, one camera-off picture slot, whose
    stream id may be None) and its rectangle on the canvas. `video_type` 1
    letterboxes the picture into the rectangle; other values crop its centre.
    The engine makes target sizes even; set_video_layout writes them back."""
    stream_id: Optional[str]
    source_w: int
    source_h: int
    x: int
    y: int
    target_w: int
    target_h: int
    fps: int = 25
    video_type: int = 0


def _text(value: Optional[str]) -> Optional[bytes]:
    return None if value is None else value.encode()


def frame_pointer(data):
    """(address, length, keep) for a frame's bytes without copying them: keep
    holds what must stay alive until the push returns. Accepts bytes and any
    C-contiguous buffer; a read-only buffer other than bytes needs NumPy to be
    read in place (without it, it is copied once)."""
    if isinstance(data, bytes):
        return ctypes.cast(ctypes.c_char_p(data), ctypes.c_void_p).value or 0, len(data), data
    view = memoryview(data)
    if not view.c_contiguous:
        raise ValueError("frame data must be C-contiguous")
    view = view.cast("B") if view.ndim != 1 or view.format != "B" else view
    if view.nbytes == 0:
        return 0, 0, view
    if not view.readonly:
        array = (ctypes.c_char * view.nbytes).from_buffer(view)
        return ctypes.addressof(array), view.nbytes, (view, array)
    try:
        import numpy
    except ImportError:
        copy = (ctypes.c_char * view.nbytes).from_buffer_copy(view)
        return ctypes.addressof(copy), view.nbytes, copy
    array = numpy.frombuffer(view, dtype=numpy.uint8)
    return array.ctypes.data, view.nbytes, (view, array)


class _CallGate:
    """Lets calls into a handle run concurrently and makes close wait for the
    ones under way, so that the handle is never destroyed under a call."""

    def __init__(self):
        self._condition = threading.Condition()
        self._calls = 0
        self._closed = False

    def enter(self):
        with self._condition:
            if self._closed:
                raise PlenovaError("recorder", -1, "the recorder is closed")
            self._calls += 1

    def leave(self):
        with self._condition:
            self._calls -= 1
            if self._calls == 0:
                self._condition.notify_all()

    def close(self) -> bool:
        """True for the first close, once no call is under way."""
        with self._condition:
            if self._closed:
                return False
            self._closed = True
            self._condition.wait_for(lambda: self._calls == 0)
            return True


# Set while a callback of this package runs on an engine thread.
_in_callback = threading.local()


def _destroy(lib, handle, callbacks):
    # `callbacks` keeps the ctypes trampolines alive until the engine, which
    # may call them up to the end, is gone.
    lib.plenova_destroy(handle)
    callbacks.clear()


class Recorder:
    """One recorder (a C handle). Use it as a context manager or call close();
    it is closed at the latest when the interpreter exits. Methods may be
    called from several threads; close() waits for calls under way. A
    callback must not close its own recorder."""

    def __init__(self, log_dir: Optional[str] = None):
        self._lib = _library()
        handle = ctypes.c_void_p()
        code = self._lib.plenova_create(_text(log_dir), ctypes.byref(handle))
        if code != 0:
            raise PlenovaError("create", code)
        self._handle = handle
        self._gate = _CallGate()
        # Kind -> the ctypes trampolines installed; kept until the handle is
        # destroyed.
        self._callbacks = {}
        self._finalizer = weakref.finalize(self, _destroy, self._lib, handle, self._callbacks)

    # Lifetime.

    def close(self):
        """Stops and destroys the recorder; later calls raise PlenovaError."""
        if getattr(_in_callback, "active", False):
            raise RuntimeError("a recorder cannot be closed from one of its callbacks")
        if self._gate.close():
            self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _call(self, operation, function, *args):
        self._gate.enter()
        try:
            code = function(self._handle, *args)
        finally:
            self._gate.leave()
        if code != 0:
            raise PlenovaError(operation, code)

    # Settings and layouts.

    def set_output(self, settings: OutputSettings):
        p = _native.AudioParam(
            file_path=_text(settings.file_path), url_1=_text(settings.url_1),
            url_2=_text(settings.url_2), stream_name_1=_text(settings.stream_name_1),
            stream_name_2=_text(settings.stream_name_2), local_port=settings.local_port,
            audio_bitrate=settings.audio_bitrate, wait_max_time=settings.wait_max_time,
            local_ip=settings.local_ip.encode()[:15], enable_write_mp4=int(settings.enable_write_mp4),
            enable_rtmp=int(settings.enable_rtmp), param_tag=settings.param_tag)
        self._call("set_output", self._lib.plenova_set_audio_param, ctypes.byref(p))

    def set_canvas(self, settings: CanvasSettings):
        p = _native.VideoParam(target_bitrate=settings.bitrate, target_h=settings.height,
                               target_w=settings.width, video_tag=settings.video_tag)
        self._call("set_canvas", self._lib.plenova_set_video_param, ctypes.byref(p))

    def set_audio_layout(self, layout: AudioLayout):
        """The voices; the first audio and first video layout start the engine."""
        ids = [_text(s.stream_id) for s in layout.streams]
        streams = (_native.AudioStreamInfo * max(1, len(ids)))(
            *[_native.AudioStreamInfo(s.channels, s.bits, s.sampling_rate, i)
              for s, i in zip(layout.streams, ids)])
        native = _native.AudioLayout(streams, len(ids), layout.frames_per_second, layout.channels,
                                     layout.sampling_rate, layout.bits)
        self._call("set_audio_layout", self._lib.plenova_set_audio_layout, ctypes.byref(native))

    def _video_layout(self, operation, function, streams: Sequence[VideoStream]):
        ids = [_text(s.stream_id) for s in streams]
        array = (_native.VideoStreamInfo * max(1, len(ids)))(
            *[_native.VideoStreamInfo(s.fps, s.source_h, s.source_w, i, s.target_h, s.target_w,
                                      s.x, s.y, s.video_type)
              for s, i in zip(streams, ids)])
        native = _native.VideoLayout(len(ids), array)
        self._call(operation, function, ctypes.byref(native))
        for stream, entry in zip(streams, array):
            stream.target_w, stream.target_h = entry.target_w, entry.target_h

    def set_video_layout(self, streams: Sequence[VideoStream]):
        """The cameras and their rectangles (target sizes are made even in place)."""
        self._video_layout("set_video_layout", self._lib.plenova_set_video_layout, streams)

    def set_picture_layout(self, pictures: Sequence[VideoStream]):
        """Rectangles that show the built-in camera-off picture."""
        self._video_layout("set_picture_layout", self._lib.plenova_set_picture_layout, pictures)

    # Frames. A refused frame (engine not running, a size that does not fit
    # the layout) returns False: it is bad or late media, not a failure.

    def push_audio(self, stream_id: str, data, timestamp: int, channels: int = 2,
                   sampling_rate: int = 48000, bits: int = 16) -> bool:
        """One frame of interleaved PCM; `timestamp` in 90 kHz ticks."""
        address, length, keep = frame_pointer(data)
        self._gate.enter()
        try:
            code = self._lib.plenova_push_audio(self._handle, stream_id.encode(), channels, bits,
                                                sampling_rate, address, length, timestamp)
        finally:
            self._gate.leave()
        del keep  # the engine has copied the frame
        return self._pushed("push_audio", code)

    def push_video(self, stream_id: str, data, width: int, height: int, timestamp: int,
                   fps: int = 25, bottom_up: bool = False) -> bool:
        """One I420 picture of width * height * 3 / 2 bytes; `timestamp` in 90 kHz ticks."""
        address, length, keep = frame_pointer(data)
        self._gate.enter()
        try:
            code = self._lib.plenova_push_video(self._handle, stream_id.encode(), width, height, fps,
                                                address, length, timestamp, 2 if bottom_up else 0)
        finally:
            self._gate.leave()
        del keep  # the engine has copied the frame
        return self._pushed("push_video", code)

    @staticmethod
    def _pushed(operation, code) -> bool:
        if code == 0:
            return True
        if code == -2:  # PLENOVA_ERR_REFUSED
            return False
        raise PlenovaError(operation, code)

    # Outputs.

    def start_mp4(self, path: str):
        self._call("start_mp4", self._lib.plenova_start_mp4, path.encode())

    def stop_mp4(self):
        self._call("stop_mp4", self._lib.plenova_stop_mp4)

    def start_rtmp(self, url: str):
        self._call("start_rtmp", self._lib.plenova_start_rtmp, url.encode())

    def stop_rtmp(self):
        self._call("stop_rtmp", self._lib.plenova_stop_rtmp)

    def set_target_delay(self, milliseconds: int):
        """How late a frame may arrive (0 to 1000 ms) and still be placed on
        the output; taken when the engine next starts."""
        self._call("set_target_delay", self._lib.plenova_set_target_delay, milliseconds)

    def stop(self):
        """Stops the engine; the next pair of first layouts starts it again."""
        self._call("stop", self._lib.plenova_stop)

    def statistics(self) -> Statistics:
        """A snapshot of the outputs, the input streams and the mixers; cheap
        enough to call at any rate, from any thread."""
        native = _native.Statistics()
        native.size = ctypes.sizeof(native)
        self._call("statistics", self._lib.plenova_get_statistics, ctypes.byref(native))
        return _statistics(native)

    # Callbacks: each is a Python callable (None clears it) run on an engine
    # thread. Every kind goes through _set_callback, which keeps the ctypes
    # trampoline alive and marks the thread while the callable runs.

    def _set_callback(self, kind, setter, functype, adapt, callback):
        if callback is None:
            trampoline = functype()
        else:
            def call(*args):
                _in_callback.active = True
                try:
                    adapt(callback, *args)
                finally:
                    _in_callback.active = False
            trampoline = functype(call)
        # Every trampoline stays alive until the handle is destroyed: an engine
        # thread may still be running the one just replaced.
        self._callbacks.setdefault(kind, []).append(trampoline)
        self._call("set_" + kind + "_callback", setter, trampoline, None)

    def set_mp4_state_callback(self, callback: Optional[Callable[[Mp4State], None]]):
        """callback(state): the MP4 recorder's states (Mp4State; an unknown one as int)."""
        def adapt(fn, state, _user):
            fn(_known(Mp4State, state))
        self._set_callback("mp4_state", self._lib.plenova_set_mp4_state_callback,
                           _native.Mp4StateCallback, adapt, callback)

    def set_event_callback(self, callback: Optional[Callable[[Event], None]]):
        """callback(event): what happens to the outputs (an Event), on an engine thread."""
        self._set_callback("event", self._lib.plenova_set_event_callback, _native.EventCallback,
                           lambda fn, event, _user: fn(_event(event.contents)), callback)

    def set_canvas_callback(self, callback: Optional[Callable[[bytes], None]]):
        """callback(canvas): each composed canvas as I420 bytes, 25 a second."""
        self._set_callback("canvas", self._lib.plenova_set_canvas_callback, _native.CanvasCallback,
                           lambda fn, data, size, _user: fn(ctypes.string_at(data, size)), callback)

    def set_sample_callback(self, callback: Optional[Callable[[bytes], None]]):
        """callback(sample): each encoded video sample handed to an RTMP publisher."""
        self._set_callback("sample", self._lib.plenova_set_sample_callback, _native.SampleCallback,
                           lambda fn, data, size, _user: fn(ctypes.string_at(data, size)), callback)

    def set_message_callback(self, callback: Optional[Callable[[str, int], None]]):
        """callback(text, code): an RTMP publisher's messages."""
        self._set_callback("message", self._lib.plenova_set_message_callback,
                           _native.MessageCallback,
                           lambda fn, text, code, _user: fn(text.decode(errors="replace"), code),
                           callback)
