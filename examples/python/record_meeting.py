#!/usr/bin/env python3
"""Records a short synthetic meeting to an MP4 from Python: two cameras
(flat colours from NumPy arrays) side by side on a 640x360 canvas and two
voices (tones), pushed in real time.

    python3 record_meeting.py meeting.mp4 --seconds 5

The plenova package must be importable (PYTHONPATH=<prefix>/lib/python3/
dist-packages after cmake --install, or python/ in the source tree with
PLENOVA_LIBRARY=build/bin/libplenova_c.so).
"""

import argparse
import time

import numpy

import plenova

RATE = 48000           # Hz, stereo 16-bit
MIX_FPS = 50           # 20 ms audio frames
CAMERA = (320, 180)    # each camera's picture


def solid_i420(width, height, y, u, v):
    size = width * height
    return numpy.concatenate([numpy.full(size, y, numpy.uint8),
                              numpy.full(size // 4, u, numpy.uint8),
                              numpy.full(size // 4, v, numpy.uint8)])


def tone(frequency, first_sample, samples):
    t = numpy.arange(first_sample, first_sample + samples) / RATE
    mono = (numpy.sin(2 * numpy.pi * frequency * t) * 6000).astype(numpy.int16)
    return numpy.repeat(mono, 2)


def record(path, seconds, log_dir=None):
    states = []
    with plenova.Recorder(log_dir) as recorder:
        recorder.set_mp4_state_callback(lambda state: states.append(state))
        recorder.set_output(plenova.OutputSettings(audio_bitrate=96000))
        recorder.set_canvas(plenova.CanvasSettings(640, 360, bitrate=800000))
        recorder.start_mp4(path)
        recorder.set_audio_layout(plenova.AudioLayout(
            [plenova.AudioStream("alice"), plenova.AudioStream("bob")], frames_per_second=MIX_FPS))
        recorder.set_video_layout([plenova.VideoStream("alice", *CAMERA, 0, 0, 320, 360, video_type=1),
                                   plenova.VideoStream("bob", *CAMERA, 320, 0, 320, 360)])
        pictures = {"alice": solid_i420(*CAMERA, 81, 90, 240), "bob": solid_i420(*CAMERA, 41, 240, 110)}
        voices = {"alice": 440, "bob": 660}
        samples = RATE // MIX_FPS
        begin = time.monotonic()
        for step in range(int(seconds * MIX_FPS)):
            stamp = step * 90000 // MIX_FPS  # 90 kHz ticks from the media clock
            for name, frequency in voices.items():
                recorder.push_audio(name, tone(frequency, step * samples, samples), stamp)
            if step % 2 == 0:  # 25 pictures a second
                for name, picture in pictures.items():
                    recorder.push_video(name, picture, *CAMERA, stamp)
            delay = begin + (step + 1) / MIX_FPS - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        recorder.stop_mp4()
    return states


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("path", help="MP4 file to write")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--log-dir", default=None, help="folder for LiveRecordLog (default: here)")
    args = parser.parse_args()
    states = record(args.path, args.seconds, args.log_dir or ".")
    print(f"plenova {plenova.version()}: {args.path} ({', '.join(s.name for s in states)})")
    return 0 if plenova.Mp4State.STOPPED in states else 1


if __name__ == "__main__":
    raise SystemExit(main())
