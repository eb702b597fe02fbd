#pragma once

// A participant fed from a media file: decoded with libavformat/libavcodec,
// pictures letterboxed into the chosen I420 size with libswscale, sound
// converted to the chosen PCM format with libswresample. The file loops at
// its end. Used from one thread only.

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "libavptr/LibavPtr.h"
#include "tools/plenova-record/ParticipantSource.h"

namespace plenova::record {

class MediaFileSource : public ParticipantSource {
 public:
  // Null with a one-line reason in `error` when the file cannot be read or
  // has neither audio nor video.
  static std::unique_ptr<MediaFileSource> Open(const std::string& path, SourceFormat format,
                                               std::string* error);

  // The picture shown at media time index / 25 s: the last decoded frame
  // whose time has come (black before the first one).
  bool FillVideo(int64_t index, uint8_t* i420) override;
  // The next 20 ms of sound; silence where the file has none.
  bool FillAudio(int64_t index, int16_t* pcm) override;

  bool HasVideo() const { return video_ != nullptr; }
  bool HasAudio() const { return audio_ != nullptr; }

 private:
  struct Picture {
    double time;  // seconds since the first loop's start
    std::vector<uint8_t> i420;
  };

  MediaFileSource(SourceFormat format, std::string path)
      : format_(format), path_(std::move(path)) {}
  bool OpenDecoders(std::string* error);
  // Reads and decodes one packet; at the end of the file drains the decoders
  // and starts the next loop. False once nothing more can be read.
  bool ReadMore();
  void Drain(AVCodecContext* codec, bool video);
  // Takes every frame the decoder has ready.
  void ReceiveFrames(AVCodecContext* codec, bool video);
  void TakeVideoFrame(const AVFrame* frame);
  void TakeAudioFrame(const AVFrame* frame);

  const SourceFormat format_;
  const std::string path_;
  libavptr::InputFormatPtr input_;
  libavptr::CodecContextPtr video_;
  libavptr::CodecContextPtr audio_;
  int video_stream_ = -1;
  int audio_stream_ = -1;
  libavptr::FramePtr frame_;
  libavptr::PacketPtr packet_;
  libavptr::SwsPtr sws_;
  libavptr::SwrPtr swr_;
  libavptr::AudioFifoPtr fifo_;
  std::vector<uint8_t> converted_audio_;
  std::deque<Picture> pictures_;
  std::vector<uint8_t> shown_;  // the picture last handed out
  double loop_offset_ = 0;      // seconds added to this loop's timestamps
  double loop_end_ = 0;         // latest media end seen in this loop
  bool produced_in_loop_ = false;
  bool exhausted_ = false;
};

}  // namespace plenova::record
