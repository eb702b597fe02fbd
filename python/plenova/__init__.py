"""Plenova from Python: records and live-streams multi-party video meetings.

    import plenova
    with plenova.Recorder("/tmp/logs") as rec:
        rec.set_output(plenova.OutputSettings(audio_bitrate=96000))
        rec.set_canvas(plenova.CanvasSettings(1280, 720))
        rec.set_event_callback(print)            # plenova.Event: output, kind, attempt, ...
        rec.start_mp4("/tmp/meeting.mp4")
        rec.set_audio_layout(plenova.AudioLayout([plenova.AudioStream("alice")]))
        rec.set_video_layout([plenova.VideoStream("alice", 640, 360, 0, 0, 1280, 720)])
        rec.push_audio("alice", pcm, stamp)        # bytes, memoryview or NumPy array
        rec.push_video("alice", i420, 640, 360, stamp)
        print(rec.statistics().outputs[plenova.Output.MP4].bytes_sent)
        rec.stop_mp4()

The package loads libplenova_c.so: from PLENOVA_LIBRARY (a path) when set,
else from the library folder of the installation it belongs to, else through
the system's search path. See docs/embedding.md.
"""

from .recorder import (AudioLayout, AudioStream, CanvasSettings, Event, EventKind, Mp4State, Output,
                       OutputSettings, OutputStatistics, PlenovaError, Recorder, Statistics,
                       StreamStatistics, VideoStream, version)

__all__ = ["AudioLayout", "AudioStream", "CanvasSettings", "Event", "EventKind", "Mp4State", "Output",
           "OutputSettings", "OutputStatistics", "PlenovaError", "Recorder", "Statistics",
           "StreamStatistics", "VideoStream", "version"]
