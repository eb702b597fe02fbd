#pragma once

// libavformat's MP4 muxer writing a fragmented MP4 into a FileOutput, and
// the rewrite of a finished fragmented file into an ordinary one.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libavptr/LibavPtr.h"

namespace plenova {

class FileOutput;

class Mp4Muxer {
 public:
  struct VideoTrack {
    int width = 0;
    int height = 0;
    int fps = 0;
    int bitrate = 0;
    std::vector<uint8_t> avc_config;  // AVCDecoderConfigurationRecord
  };
  struct AudioTrack {
    int rate = 0;
    int channels = 0;
    int bitrate = 0;
    std::array<uint8_t, 2> aac_config{};  // AudioSpecificConfig
  };
  // A fragment is closed at every video key frame and at least this often:
  // a killed process loses at most this much plus the samples on their way.
  static constexpr int64_t kFragmentUs = 500000;

  // Writes the header into `output` (borrowed; must outlive the muxer). Null
  // with libavformat's text in `error` on failure.
  static std::unique_ptr<Mp4Muxer> Open(FileOutput* output, const VideoTrack* video,
                                        const AudioTrack* audio, std::string* error);
  ~Mp4Muxer();

  // One sample at `position` (90 kHz for video, samples for audio), which
  // must be at least 0 and after the track's previous one. Video is
  // length-prefixed NAL units, audio one raw AAC frame. Each track's latest
  // sample is held until the next one gives its exact duration. False with
  // the error text when the write failed; the muxer is then unusable.
  bool Write(bool video, const uint8_t* data, size_t size, int64_t position, bool key,
             std::string* error);
  // Writes the last fragment and the fragment index.
  bool Finish(std::string* error);
  // File size up to the end of the last fragment written whole.
  int64_t complete_size() const { return complete_size_; }

  // Rewrites the MP4 at `from` into `to` as a non-fragmented file with the
  // index at the front. False with the error text on failure (`to` may then
  // hold a partial file).
  static bool Remux(const std::string& from, const std::string& to, std::string* error);

 private:
  using Packet = libavptr::PacketPtr;
  static int WritePacket(void* opaque, uint8_t* data, int size);
  static int64_t SeekPacket(void* opaque, int64_t offset, int whence);

  Mp4Muxer() = default;
  bool Flush(std::string* error);
  // Writes the held sample of `index` lasting until `next` (its time base).
  bool WriteHeld(int index, int64_t next, std::string* error);

  FileOutput* output_ = nullptr;  // borrowed from the recorder
  libavptr::CustomIoPtr io_;
  libavptr::OutputFormatPtr context_;  // writes through io_
  int video_index_ = -1;
  int audio_index_ = -1;
  int64_t video_duration_ = 0;  // 90 kHz ticks of one frame
  Packet held_[2];              // per stream index; null when none
  bool has_last_[2] = {false, false};
  int64_t last_position_[2] = {0, 0};  // the last position given to Write, per stream index
  int64_t complete_size_ = 0;
  int write_error_ = 0;  // the first failed write's errno, negative
};

}  // namespace plenova
