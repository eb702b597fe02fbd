"""The Python package over libplenova_c.so: frames read in place, refusals,
and a real recording checked with ffprobe and decoded content."""

import ctypes
import datetime
import json
import os
import re
import subprocess
import sys
import time

import numpy
import pytest

import plenova
from plenova.recorder import frame_pointer

from conftest import run_tool

SOURCE = os.environ.get("PLENOVA_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))

# Colours (Y, U, V) of the two cameras.
RED = (81, 90, 240)
BLUE = (41, 240, 110)


def header_version():
    with open(os.path.join(SOURCE, "api", "PlenovaVersion.h")) as header:
        return re.search(r'PLENOVA_VERSION_STRING "([^"]+)"', header.read()).group(1)


def test_version_is_the_headers():
    assert plenova.version() == header_version()


def test_frames_are_read_in_place():
    """Every accepted buffer type is handed to the library at its own
    address: no copy is made on the way."""
    data = bytes(range(200))
    in_place = numpy.frombuffer(data, numpy.uint8).ctypes.data  # the bytes object's own buffer
    assert frame_pointer(data)[:2] == (in_place, 200)

    writable = bytearray(100)
    own = ctypes.addressof((ctypes.c_char * 100).from_buffer(writable))
    assert frame_pointer(writable)[:2] == (own, 100)
    assert frame_pointer(memoryview(writable)[10:])[:2] == (own + 10, 90)

    # A read-only view of bytes, not starting at the front.
    assert frame_pointer(memoryview(data)[2:])[:2] == (in_place + 2, 198)

    picture = numpy.zeros((90 * 3 // 2, 160), dtype=numpy.uint8)  # an I420 frame as rows
    assert frame_pointer(picture)[:2] == (picture.ctypes.data, picture.nbytes)
    frozen = picture.copy()
    frozen.flags.writeable = False
    assert frame_pointer(frozen)[:2] == (frozen.ctypes.data, frozen.nbytes)
    pcm = numpy.zeros(1920, dtype=numpy.int16)
    assert frame_pointer(pcm)[:2] == (pcm.ctypes.data, 3840)

    with pytest.raises(ValueError):
        frame_pointer(picture[:, ::2])  # not contiguous


def test_refusals_raise_or_return_false_and_a_closed_recorder_refuses(log_dir):
    recorder = plenova.Recorder(log_dir)
    # Frames before the engine runs are refused, not errors.
    assert recorder.push_audio("nobody", bytes(3840), 0) is False
    assert recorder.push_video("nobody", numpy.zeros(160 * 90 * 3 // 2, numpy.uint8), 160, 90, 0) is False
    with pytest.raises(plenova.PlenovaError) as refused:
        recorder.stop_mp4()  # nothing recording
    assert refused.value.code == -2
    with pytest.raises(plenova.PlenovaError) as invalid:
        recorder.set_video_layout([])
    assert invalid.value.code == -1
    recorder.close()
    recorder.close()
    with pytest.raises(plenova.PlenovaError):
        recorder.push_audio("nobody", bytes(3840), 0)


def test_statistics_record_is_the_librarys_and_a_new_recorder_reads_empty(log_dir):
    """The ctypes mirror of the statistics record has the size the library
    fills, and a recorder that never ran reports nothing but its settings."""
    from plenova import _native
    with plenova.Recorder(log_dir) as recorder:
        # Room for more than the mirror: the library says how much it filled.
        room = (ctypes.c_uint8 * (ctypes.sizeof(_native.Statistics) + 256))()
        native = _native.Statistics.from_buffer(room)
        native.size = len(room)
        assert recorder._lib.plenova_get_statistics(recorder._handle, ctypes.byref(native)) == 0
        assert native.size == ctypes.sizeof(_native.Statistics)

        recorder.set_target_delay(250)
        stats = recorder.statistics()
        assert stats.streams == [] and stats.canvases_composed == 0
        assert stats.target_delay_ms == 250
        assert set(stats.outputs) == set(plenova.Output)
        assert all(o.state is None and o.bytes_sent == 0 and o.last_error == "" for o in stats.outputs.values())


def i420(width, height, colour):
    frame = numpy.empty(width * height * 3 // 2, dtype=numpy.uint8)
    frame[:width * height] = colour[0]
    frame[width * height:width * height * 5 // 4] = colour[1]
    frame[width * height * 5 // 4:] = colour[2]
    return frame


def tone(frequency, start, count, rate=48000):
    t = (numpy.arange(start, start + count) / rate)
    mono = (numpy.sin(2 * numpy.pi * frequency * t) * 8000).astype(numpy.int16)
    return numpy.repeat(mono, 2)  # interleaved stereo


def test_records_a_meeting_from_numpy_bytes_and_memoryview_with_events_and_statistics(log_dir, tmp_path):
    """Three seconds recorded from every accepted buffer type, with a late
    picture, a late audio frame and a picture of the wrong size: the MP4 is
    checked with ffprobe and decoded content, the statistics count each
    stream's frames and the MP4 output's bytes, and the events name the file
    and its size."""
    path = str(tmp_path / "meeting.mp4")
    states, canvases, events = [], [], []
    pushed = {"tone": 0, "quiet": 0, "left": 0, "right": 0}
    refused = []
    started = time.time()
    with plenova.Recorder(log_dir) as recorder:
        recorder.set_mp4_state_callback(states.append)
        recorder.set_canvas_callback(lambda canvas: canvases.append(canvas) if len(canvases) < 30 else None)
        recorder.set_event_callback(events.append)
        recorder.set_output(plenova.OutputSettings(audio_bitrate=64000, wait_max_time=25))
        recorder.set_canvas(plenova.CanvasSettings(320, 180, bitrate=300000))
        recorder.set_target_delay(100)
        recorder.start_mp4(path)
        recorder.set_audio_layout(plenova.AudioLayout([plenova.AudioStream("tone"),
                                                       plenova.AudioStream("quiet")]))
        cameras = [plenova.VideoStream("left", 160, 90, 0, 0, 160, 180),
                   plenova.VideoStream("right", 160, 90, 160, 0, 161, 180)]
        recorder.set_video_layout(cameras)
        assert cameras[1].target_w == 160  # made even, written back

        left = i420(160, 90, RED)                     # a NumPy array
        right_bytes = bytes(i420(160, 90, BLUE))      # bytes
        right_view = memoryview(bytearray(right_bytes))
        quiet = memoryview(bytes(3840))               # a read-only memoryview

        def push(stream, accepted):
            pushed[stream] += accepted
            return accepted

        begin = time.monotonic()
        for step in range(150):  # 3 s of 20 ms audio frames, a picture every 40 ms
            stamp = 900_000_000 + step * 1800
            refused.append(not push("tone", recorder.push_audio("tone", tone(440, step * 960, 960), stamp)))
            refused.append(not push("quiet", recorder.push_audio("quiet", quiet, stamp)))
            if step % 2 == 0:
                refused.append(not push("left", recorder.push_video("left", left, 160, 90, stamp)))
                refused.append(not push("right", recorder.push_video(
                    "right", right_bytes if step % 4 else right_view, 160, 90, stamp)))
            if step == 60:
                # Half a second behind what was already shown and mixed.
                push("left", recorder.push_video("left", left, 160, 90, stamp - 45000))
                push("tone", recorder.push_audio("tone", tone(440, 0, 960), stamp - 45000))
                assert recorder.push_video("left", left[:-1], 160, 90, stamp) is False
            delay = begin + (step + 1) * 0.02 - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        running = recorder.statistics()
        recorder.stop_mp4()
        # Stopping returns at once; the file is final when its event comes.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not any(e.kind == plenova.EventKind.FILE_CLOSED for e in events):
            time.sleep(0.05)
        stopped = recorder.statistics()
    assert not any(refused)
    assert states == [plenova.Mp4State.STARTED, plenova.Mp4State.STOPPED]
    assert len(canvases) == 30 and all(len(c) == 320 * 180 * 3 // 2 for c in canvases)
    last = numpy.frombuffer(canvases[-1], numpy.uint8)
    assert abs(int(last[90 * 320 + 80]) - RED[0]) < 12 and abs(int(last[90 * 320 + 240]) - BLUE[0]) < 12

    assert running.target_delay_ms == 100
    assert running.canvases_composed >= 25 and running.audio_frames_mixed >= 50
    for stream_id, audio in (("tone", True), ("quiet", True), ("left", False), ("right", False)):
        stream = running.stream(stream_id, audio)
        assert stream is not None and stream.listed, running.streams
        assert stream.accepted + stream.dropped_late + stream.dropped_full == pushed[stream_id], stream
        assert stream.dropped_late >= (1 if stream_id in ("tone", "left") else 0), stream
    assert running.stream("left", False).refused == 1
    mp4 = running.outputs[plenova.Output.MP4]
    assert mp4.state == plenova.EventKind.FILE_OPENED
    assert mp4.bytes_sent > 1000 and mp4.packets_sent > 50, mp4
    assert running.outputs[plenova.Output.RTMP_1].state is None
    assert stopped.outputs[plenova.Output.MP4].state == plenova.EventKind.FILE_CLOSED
    assert [(e.output, e.kind) for e in events] == [(plenova.Output.MP4, plenova.EventKind.FILE_OPENED),
                                                   (plenova.Output.MP4, plenova.EventKind.FILE_CLOSED)], events
    assert os.path.samefile(events[0].text, path) and os.path.samefile(events[1].text, path)
    assert events[1].bytes == os.path.getsize(path)

    probe = json.loads(run_tool("ffprobe", "-v", "error", "-show_format", "-show_streams",
                                "-of", "json", path))
    video = [s for s in probe["streams"] if s["codec_type"] == "video"]
    audio = [s for s in probe["streams"] if s["codec_type"] == "audio"]
    assert [(s["codec_name"], s["width"], s["height"]) for s in video] == [("h264", 320, 180)]
    assert [(s["codec_name"], s["sample_rate"], s["channels"]) for s in audio] == [("aac", "48000", 2)]
    assert abs(float(probe["format"]["duration"]) - 3.0) < 0.5
    tags = probe["format"]["tags"]
    assert tags["encoder"] == "Plenova " + header_version()
    created = datetime.datetime.strptime(tags["creation_time"], "%Y-%m-%dT%H:%M:%S.%fZ")
    created = created.replace(tzinfo=datetime.timezone.utc).timestamp()
    assert started - 2 <= created <= time.time() + 2

    # The pictures: red on the left, blue on the right, in the middle of the file.
    frame = numpy.frombuffer(run_tool("ffmpeg", "-v", "error", "-ss", "1.5", "-i", path, "-frames:v", "1",
                                      "-f", "rawvideo", "-pix_fmt", "yuv420p", "-", binary=True),
                             numpy.uint8)
    y, u, v = frame[:320 * 180].reshape(180, 320), frame[320 * 180:320 * 180 * 5 // 4].reshape(90, 160), \
        frame[320 * 180 * 5 // 4:].reshape(90, 160)
    for (x, colour) in ((80, RED), (240, BLUE)):
        assert abs(int(y[90, x]) - colour[0]) < 12, (x, y[90, x])
        assert abs(int(u[45, x // 2]) - colour[1]) < 12, (x, u[45, x // 2])
        assert abs(int(v[45, x // 2]) - colour[2]) < 12, (x, v[45, x // 2])

    # The sound: the 440 Hz tone (880 zero crossings a second), in the middle second.
    pcm = numpy.frombuffer(run_tool("ffmpeg", "-v", "error", "-i", path, "-ac", "1", "-ar", "16000",
                                    "-f", "s16le", "-", binary=True), numpy.int16)
    middle = pcm[16000:32000].astype(numpy.int32)
    assert numpy.abs(middle).max() > 2000
    crossings = numpy.count_nonzero(numpy.signbit(middle[1:]) != numpy.signbit(middle[:-1]))
    assert abs(crossings - 880) < 40


def test_the_example_records_a_meeting(tmp_path):
    path = str(tmp_path / "example.mp4")
    subprocess.run([sys.executable, os.path.join(SOURCE, "examples", "python", "record_meeting.py"), path,
                    "--seconds", "2", "--log-dir", str(tmp_path)], check=True, timeout=60)
    probe = json.loads(run_tool("ffprobe", "-v", "error", "-show_streams", "-of", "json", path))
    assert sorted(s["codec_name"] for s in probe["streams"]) == ["aac", "h264"]
