#pragma once

// A generated participant: a flat colour of its own with a light vertical bar
// sweeping across, and a sine tone of its own. With sync marks, video frame 0
// of every second is white and the first 40 ms of every second carry a loud
// 2 kHz beep instead of the tone, so the two can be matched in a recording.

#include "tools/plenova-record/ParticipantSource.h"

namespace plenova::record {

struct Yuv {
  uint8_t y;
  uint8_t u;
  uint8_t v;
};

class SyntheticSource : public ParticipantSource {
 public:
  static constexpr double kBeepHz = 2000;
  static constexpr int kBeepMs = 1000 / kVideoFps;  // one video frame long
  static constexpr Yuv kFlash{235, 128, 128};
  static constexpr Yuv kBar{200, 128, 128};

  // `index` from 0 picks the colour and the tone.
  SyntheticSource(int index, SourceFormat format, bool sync_marks);

  bool FillVideo(int64_t index, uint8_t* i420) override;
  bool FillAudio(int64_t index, int16_t* pcm) override;

  // The background colour of participant `index` (BT.601, limited range).
  static Yuv Colour(int index);
  // The tone of participant `index` in Hz (300 Hz + 60 Hz per participant).
  static double ToneHz(int index);
  // Left edge of the bar in video frame `frame` of a picture `width` wide;
  // the bar is width / 8 wide (even) and moves 8 pixels a frame.
  static int BarX(int64_t frame, int width);
  static int BarWidth(int width);

 private:
  const int index_;
  const SourceFormat format_;
  const bool sync_marks_;
  const Yuv colour_;
};

}  // namespace plenova::record
