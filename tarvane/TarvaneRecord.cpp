#include "tarvane/TarvaneRecord.h"

#include <algorithm>
#include <cstdio>
#include <system_error>
#include <utility>

#include "tarvane/MediaBitstream.h"
#include "tarvane/Mp4Muxer.h"
#include "tarvane/TarvaneLog.h"

namespace plenova {
namespace {

// Logs the first of a kind of dropped sample and then every 100th.
bool WorthLogging(uint64_t count) { return count == 1 || count % 100 == 0; }

int AacSamplingRateOf(const bitstream::AdtsHeader& adts) {
  return bitstream::AacSamplingRate(adts.sampling_index);
}

bool ValidVideo(const Mp4VideoDesc& video) {
  return video.codec == kTarvaneCodecH264 && video.width > 0 && video.width <= 8192 &&
         video.height > 0 && video.height <= 8192 && video.fps > 0 && video.fps <= 240 &&
         video.bitrate >= 0;
}

bool ValidAudio(const Mp4AudioDesc& audio) {
  std::array<uint8_t, 2> config;
  return audio.codec == kTarvaneCodecAac && audio.bitrate >= 0 &&
         bitstream::BuildAacConfig(audio.sampling_rate, audio.channels, &config);
}

}  // namespace

std::unique_ptr<TarvaneRecord> TarvaneRecord::Create(const char* path, const Mp4VideoDesc* video,
                                                     const Mp4AudioDesc* audio,
                                                     OutputFactory factory) {
  if (video == nullptr && audio == nullptr) {
    TVN_LOG_ERROR("_Tarvane_ CreateRecord without video and audio description");
    return nullptr;
  }
  if (video != nullptr && !ValidVideo(*video)) {
    TVN_LOG_ERROR("_Tarvane_ CreateRecord bad video description codec=0x%08x %dx%d fps=%d",
                  video->codec, video->width, video->height, video->fps);
    return nullptr;
  }
  if (audio != nullptr && !ValidAudio(*audio)) {
    TVN_LOG_ERROR("_Tarvane_ CreateRecord bad audio description codec=0x%08x rate=%d channels=%d",
                  audio->codec, audio->sampling_rate, audio->channels);
    return nullptr;
  }
  if (!factory) factory = [] { return std::make_unique<FileOutput>(); };
  return std::unique_ptr<TarvaneRecord>(
      new TarvaneRecord(path != nullptr ? path : "", video, audio, std::move(factory)));
}

TarvaneRecord::TarvaneRecord(std::string path, const Mp4VideoDesc* video, const Mp4AudioDesc* audio,
                             OutputFactory factory)
    : default_path_(std::move(path)),
      has_video_(video != nullptr),
      has_audio_(audio != nullptr),
      video_desc_(video != nullptr ? *video : Mp4VideoDesc{}),
      audio_desc_(audio != nullptr ? *audio : Mp4AudioDesc{}),
      factory_(std::move(factory)) {}

TarvaneRecord::~TarvaneRecord() {
  bool recording;
  {
    std::lock_guard lock(mutex_);
    recording = recording_;
  }
  if (recording) LiveStop();
  WaitUntilFinished();
}

void TarvaneRecord::WaitUntilFinished() {
  std::unique_ptr<std::jthread> finisher;
  {
    std::lock_guard lock(mutex_);
    finisher = std::move(finisher_);
  }
  if (finisher != nullptr && finisher->get_id() != std::this_thread::get_id()) finisher->join();
}

void TarvaneRecord::SetStateLocked(uint32_t state, Report* report) {
  state_ = state;
  report->state = state;
  report->callback = callback_;
  report->stream_id = stream_id_;
}

void TarvaneRecord::Deliver(const Report& report) {
  if (report.state != 0 && report.callback != nullptr)
    report.callback(report.stream_id, report.state);
}

int TarvaneRecord::SetStateCallback(uint32_t stream_id, TarvaneStateCallback callback) {
  std::lock_guard lock(mutex_);
  callback_ = callback;
  stream_id_ = stream_id;
  return 0;
}

uint32_t TarvaneRecord::GetState() {
  std::lock_guard lock(mutex_);
  return state_;
}

uint64_t TarvaneRecord::GetBytesWritten() {
  std::lock_guard lock(mutex_);
  return bytes_written_;
}

int TarvaneRecord::LiveStart(const char* path) {
  WaitUntilFinished();
  Report report;
  int result = 0;
  {
    std::lock_guard lock(mutex_);
    const std::string target = (path != nullptr && path[0] != '\0') ? path : default_path_;
    if (recording_) {
      TVN_LOG_ERROR("_Tarvane_ LiveStart refused: recording %s still runs", path_.c_str());
      return -1;
    }
    if (target.empty()) {
      TVN_LOG_ERROR("_Tarvane_ LiveStart refused: no path");
      return -1;
    }
    auto output = factory_();
    std::string error;
    if (output == nullptr || !output->Open(target, &error)) {
      TVN_LOG_ERROR("_Tarvane_ LiveStart cannot open %s: %s", target.c_str(), error.c_str());
      SetStateLocked(kTarvaneOpenFailed, &report);
      result = -1;
    } else {
      path_ = target;
      output_ = std::move(output);
      muxer_.reset();
      timeline_ = std::make_unique<Mp4Timeline>(has_audio_ ? audio_desc_.sampling_rate : 48000);
      sps_.clear();
      pps_.clear();
      has_aac_config_ = false;
      seen_key_frame_ = false;
      pending_audio_.clear();
      dropped_video_ = dropped_audio_ = 0;
      bytes_written_ = 0;
      recording_ = true;
      failed_ = false;
      SetStateLocked(kTarvaneStarted, &report);
      TVN_LOG_MESSAGE("_Tarvane_ LiveStart %s", path_.c_str());
    }
  }
  Deliver(report);
  return result;
}

int TarvaneRecord::SendLiveData(const uint8_t* data, uint32_t length, uint32_t tag,
                                uint64_t timestamp) {
  if (data == nullptr || length == 0) {
    TVN_LOG_ERROR("_Tarvane_ SendLiveData refused: no data (length %u)", length);
    return -1;
  }
  if (tag != kTarvaneTagVideo && tag != kTarvaneTagAudio) {
    TVN_LOG_ERROR("_Tarvane_ SendLiveData refused: unknown tag 0x%08x", tag);
    return -1;
  }
  Report report;
  int result;
  {
    std::lock_guard lock(mutex_);
    if (!recording_ || failed_) return -1;
    if (tag == kTarvaneTagVideo) {
      if (!has_video_) {
        TVN_LOG_ERROR("_Tarvane_ SendLiveData refused: video sample for an audio-only recording");
        return -1;
      }
      result = SendVideoLocked(data, length, timestamp, &report);
    } else {
      if (!has_audio_) {
        TVN_LOG_ERROR("_Tarvane_ SendLiveData refused: audio sample for a video-only recording");
        return -1;
      }
      result = SendAudioLocked(data, length, timestamp, &report);
    }
  }
  Deliver(report);
  return result;
}

int TarvaneRecord::SendVideoLocked(const uint8_t* data, uint32_t length, uint64_t timestamp,
                                   Report* report) {
  const bitstream::AccessUnitInfo info = bitstream::InspectAccessUnit(data, length);
  if (!info.has_picture && info.sps.empty() && info.pps.empty()) {
    TVN_LOG_ERROR("_Tarvane_ SendLiveData refused: %u bytes of video hold no H.264 NAL unit",
                  length);
    return -1;
  }
  if (muxer_ == nullptr) {
    if (!info.sps.empty()) sps_ = info.sps;
    if (!info.pps.empty()) pps_ = info.pps;
  }
  if (!info.has_picture) return 0;  // parameter sets only
  if (muxer_ == nullptr) {
    if (!info.has_idr) {
      if (WorthLogging(++dropped_video_)) {
        TVN_LOG_WARNING("_Tarvane_ video before the first key frame skipped (%llu so far)",
                        static_cast<unsigned long long>(dropped_video_));
      }
      return 0;
    }
    if (sps_.empty() || pps_.empty()) {
      if (WorthLogging(++dropped_video_)) {
        TVN_LOG_WARNING("_Tarvane_ key frame without SPS/PPS skipped (%llu so far)",
                        static_cast<unsigned long long>(dropped_video_));
      }
      return 0;
    }
    // The file starts here.
    timeline_->SetZero(timestamp);
    if (!StartMuxerLocked(report)) return -1;
  }
  int64_t position = 0;
  if (!timeline_->PlaceVideo(timestamp, &position)) {
    if (WorthLogging(++dropped_video_)) {
      TVN_LOG_WARNING(
          "_Tarvane_ video at %llu ms does not fit the file's timeline, skipped "
          "(%llu so far)",
          static_cast<unsigned long long>(timestamp),
          static_cast<unsigned long long>(dropped_video_));
    }
    return 0;
  }
  seen_key_frame_ = true;
  const std::vector<uint8_t> sample = bitstream::AnnexBToLengthPrefixed(data, length, true);
  if (!WriteLocked(true, sample.data(), sample.size(), position, info.has_idr, report)) return -1;
  // The audio that came ahead of the first key frame, from the zero on.
  std::vector<PendingAudio> pending;
  pending.swap(pending_audio_);
  for (const PendingAudio& frame : pending) {
    if (!WriteAudioLocked(frame.data.data(), frame.data.size(), frame.timestamp, report)) return -1;
  }
  return 0;
}

int TarvaneRecord::SendAudioLocked(const uint8_t* data, uint32_t length, uint64_t timestamp,
                                   Report* report) {
  bitstream::AdtsHeader adts;
  if (bitstream::ParseAdts(data, length, &adts)) {
    if (!has_aac_config_) {
      const int rate = bitstream::AacSamplingRate(adts.sampling_index);
      if (adts.object_type != 2 || adts.channels < 1) {
        TVN_LOG_ERROR("_Tarvane_ SendLiveData refused: ADTS object type %d channels %d",
                      adts.object_type, adts.channels);
        return -1;
      }
      if (rate != audio_desc_.sampling_rate || adts.channels != audio_desc_.channels) {
        TVN_LOG_WARNING(
            "_Tarvane_ ADTS says %d Hz %d channels, description %d Hz %d channels; "
            "the stream wins",
            rate, adts.channels, audio_desc_.sampling_rate, audio_desc_.channels);
      }
      has_aac_config_ = true;
      aac_rate_ = rate;
      aac_channels_ = adts.channels;
      timeline_->SetAudioRate(rate);
    }
    if (AacSamplingRateOf(adts) != aac_rate_ || adts.channels != aac_channels_) {
      // The track was announced otherwise; these frames would not decode.
      if (WorthLogging(++dropped_audio_)) {
        TVN_LOG_ERROR(
            "_Tarvane_ SendLiveData refused: ADTS %d Hz %d channels in a %d Hz %d "
            "channel track (%llu so far)",
            AacSamplingRateOf(adts), adts.channels, aac_rate_, aac_channels_,
            static_cast<unsigned long long>(dropped_audio_));
      }
      return -1;
    }
    data += adts.header_size;
    length = static_cast<uint32_t>(adts.frame_length - adts.header_size);
    if (length == 0) return 0;
  }
  if (!has_aac_config_) {
    has_aac_config_ = true;
    aac_rate_ = audio_desc_.sampling_rate;
    aac_channels_ = audio_desc_.channels;
  }
  if (muxer_ == nullptr) {
    if (!has_video_) {
      // Without video the first audio frame is the file's zero.
      timeline_->SetZero(timestamp);
      if (!StartMuxerLocked(report)) return -1;
    } else {
      // Held until the first key frame says where the file starts.
      if (pending_audio_.size() >= kMaxPendingAudio) {
        pending_audio_.erase(pending_audio_.begin());
        if (WorthLogging(++dropped_audio_)) {
          TVN_LOG_WARNING("_Tarvane_ no key frame yet, oldest audio dropped (%llu so far)",
                          static_cast<unsigned long long>(dropped_audio_));
        }
      }
      pending_audio_.push_back({std::vector<uint8_t>(data, data + length), timestamp});
      return 0;
    }
  }
  return WriteAudioLocked(data, length, timestamp, report) ? 0 : -1;
}

bool TarvaneRecord::WriteAudioLocked(const uint8_t* data, size_t size, uint64_t timestamp,
                                     Report* report) {
  int64_t position = 0;
  if (!timeline_->PlaceAudio(timestamp, &position)) {
    // Before the file's zero, or a jump the file cannot hold.
    if (WorthLogging(++dropped_audio_)) {
      TVN_LOG_WARNING(
          "_Tarvane_ audio at %llu ms is outside the file's timeline, skipped "
          "(%llu so far)",
          static_cast<unsigned long long>(timestamp),
          static_cast<unsigned long long>(dropped_audio_));
    }
    return true;
  }
  return WriteLocked(false, data, size, position, true, report);
}

bool TarvaneRecord::StartMuxerLocked(Report* report) {
  Mp4Muxer::VideoTrack video;
  Mp4Muxer::AudioTrack audio;
  if (has_video_) {
    video.width = video_desc_.width;
    video.height = video_desc_.height;
    video.fps = video_desc_.fps;
    video.bitrate = video_desc_.bitrate;
    video.avc_config = bitstream::BuildAvcConfig(sps_, pps_);
    if (video.avc_config.empty()) {
      TVN_LOG_ERROR("_Tarvane_ unusable SPS (%zu bytes) or PPS (%zu bytes)", sps_.size(),
                    pps_.size());
      sps_.clear();
      pps_.clear();
      return false;
    }
  }
  if (has_audio_) {
    // Until a frame says otherwise, the description is the configuration.
    audio.rate = has_aac_config_ ? aac_rate_ : audio_desc_.sampling_rate;
    audio.channels = has_aac_config_ ? aac_channels_ : audio_desc_.channels;
    audio.bitrate = audio_desc_.bitrate;
    bitstream::BuildAacConfig(audio.rate, audio.channels, &audio.aac_config);
    has_aac_config_ = true;
    aac_rate_ = audio.rate;
    aac_channels_ = audio.channels;
    timeline_->SetAudioRate(audio.rate);
  }
  std::string error;
  muxer_ = Mp4Muxer::Open(output_.get(), has_video_ ? &video : nullptr,
                          has_audio_ ? &audio : nullptr, &error);
  if (muxer_ == nullptr) {
    TVN_LOG_ERROR("_Tarvane_ writing the header of %s failed: %s", path_.c_str(), error.c_str());
    FailLocked(report);
    return false;
  }
  bytes_written_ = static_cast<uint64_t>(muxer_->complete_size());
  return true;
}

bool TarvaneRecord::WriteLocked(bool video, const uint8_t* data, size_t size, int64_t position,
                                bool key, Report* report) {
  std::string error;
  if (!muxer_->Write(video, data, size, position, key, &error)) {
    TVN_LOG_ERROR("_Tarvane_ writing %s failed: %s", path_.c_str(), error.c_str());
    FailLocked(report);
    return false;
  }
  bytes_written_ = static_cast<uint64_t>(muxer_->complete_size());
  return true;
}

void TarvaneRecord::FailLocked(Report* report) {
  const int64_t keep = muxer_ != nullptr ? muxer_->complete_size() : 0;
  muxer_.reset();
  if (!output_->Truncate(keep)) {
    TVN_LOG_ERROR("_Tarvane_ cutting %s back to %lld bytes failed", path_.c_str(),
                  static_cast<long long>(keep));
  }
  output_->Close();
  bytes_written_ = static_cast<uint64_t>(keep);
  failed_ = true;
  pending_audio_.clear();
  SetStateLocked(kTarvaneWriteError, report);
}

int TarvaneRecord::LiveStop() {
  Report report;
  {
    std::lock_guard lock(mutex_);
    if (!recording_) {
      TVN_LOG_WARNING("_Tarvane_ LiveStop: no recording runs");
      return -1;
    }
    recording_ = false;
    if (failed_) {
      // The write error was reported and the file already closed.
      output_.reset();
      TVN_LOG_MESSAGE("_Tarvane_ LiveStop %s after a write error, %llu bytes kept", path_.c_str(),
                      static_cast<unsigned long long>(bytes_written_));
      return 0;
    }
    if (muxer_ == nullptr) {
      // No key frame arrived: nothing playable to keep.
      output_.reset();
      std::remove(path_.c_str());
      bytes_written_ = 0;
      pending_audio_.clear();
      TVN_LOG_WARNING("_Tarvane_ LiveStop %s: no video key frame arrived, no file kept",
                      path_.c_str());
      SetStateLocked(kTarvaneNothingRecorded, &report);
    } else {
      std::string error;
      if (!muxer_->Finish(&error)) {
        TVN_LOG_ERROR("_Tarvane_ finishing %s failed: %s", path_.c_str(), error.c_str());
        FailLocked(&report);
        output_.reset();
      } else {
        muxer_.reset();
        output_->Sync();
        bytes_written_ = static_cast<uint64_t>(output_->Size());
        output_.reset();
        TVN_LOG_MESSAGE("_Tarvane_ LiveStop %s, %llu bytes recorded", path_.c_str(),
                        static_cast<unsigned long long>(bytes_written_));
        const std::string path = path_;
        try {
          finisher_ = std::make_unique<std::jthread>([this, path] { Finish(path); });
        } catch (const std::system_error&) {
          TVN_LOG_WARNING("_Tarvane_ no thread to rewrite %s; the fragmented file stays",
                          path_.c_str());
          SetStateLocked(kTarvaneStopped, &report);
        }
      }
    }
  }
  Deliver(report);
  return 0;
}

void TarvaneRecord::Finish(const std::string& path) {
  // Rewritten beside the original and renamed over it, so that the
  // fragmented file stays whole until the ordinary one is.
  const std::string temporary = path + ".tmp";
  std::string error;
  if (Mp4Muxer::Remux(path, temporary, &error)) {
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
      TVN_LOG_WARNING("_Tarvane_ renaming %s failed; the fragmented file stays", temporary.c_str());
      std::remove(temporary.c_str());
    }
  } else {
    TVN_LOG_WARNING("_Tarvane_ rewriting %s failed (%s); the fragmented file stays", path.c_str(),
                    error.c_str());
    std::remove(temporary.c_str());
  }
  uint64_t size = 0;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    std::fseek(file, 0, SEEK_END);
    size = static_cast<uint64_t>(std::max(0L, std::ftell(file)));
    std::fclose(file);
  }
  Report report;
  {
    std::lock_guard lock(mutex_);
    if (!recording_ && path == path_) {
      bytes_written_ = size;
      SetStateLocked(kTarvaneStopped, &report);
    }
  }
  TVN_LOG_MESSAGE("_Tarvane_ %s finished, %llu bytes", path.c_str(),
                  static_cast<unsigned long long>(size));
  Deliver(report);
}

}  // namespace plenova
