#pragma once

// The MP4 recorder behind ITarvaneRecord. While recording it writes a
// fragmented MP4 (a fragment at least every second, each flushed to the file
// as soon as it is complete), so a killed process leaves a playable file. The
// file starts at its first video key frame (Mp4Timeline places every sample).
// A clean LiveStop closes that file at once and rewrites it, on a finishing
// thread, as an ordinary MP4 with its index at the front; kTarvaneStopped is
// reported when the rewritten file is in place. A LiveStop before any key
// frame removes the file and reports kTarvaneNothingRecorded. Calls may come
// from any thread and are serialised inside. Reports of kTarvaneStarted,
// kTarvaneOpenFailed, kTarvaneWriteError and kTarvaneNothingRecorded are made
// on the calling thread, kTarvaneStopped on the finishing thread; never under
// the recorder's lock.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarvane/FileOutput.h"
#include "tarvane/Mp4Timeline.h"
#include "tarvane/Tarvane.h"

namespace plenova {

class Mp4Muxer;

class TarvaneRecord final : public ITarvaneRecord {
 public:
  using OutputFactory = std::function<std::unique_ptr<FileOutput>()>;
  // Audio frames held until the first video key frame (about 10 s at
  // 48 kHz); the oldest go first.
  static constexpr size_t kMaxPendingAudio = 512;

  // Null when the descriptions are unusable (the reason is logged). Either
  // description may be null for a single-track recording, not both.
  // `factory` makes the file for each recording (a plain file when empty).
  static std::unique_ptr<TarvaneRecord> Create(const char* path, const Mp4VideoDesc* video,
                                               const Mp4AudioDesc* audio,
                                               OutputFactory factory = {});
  ~TarvaneRecord() override;

  // `path` null or empty: the path given at creation. Refused (-1) while a
  // recording runs; an unwritable path reports kTarvaneOpenFailed and
  // returns -1.
  int LiveStart(const char* path) override;
  // Ends the recording and starts rewriting its file; 0 when a recording
  // (even one ended by a write error) was ended, -1 when none was running.
  int LiveStop() override;
  uint32_t GetState() override;
  uint64_t GetBytesWritten() override;
  // 0 when the sample was taken (or deliberately skipped: video before the
  // first key frame); -1 for bad input or when no recording runs.
  int SendLiveData(const uint8_t* data, uint32_t length, uint32_t tag, uint64_t timestamp) override;
  int SetStateCallback(uint32_t stream_id, TarvaneStateCallback callback) override;

  // Waits until the file of the last LiveStop is final. A later LiveStart
  // and the destructor wait the same way.
  void WaitUntilFinished();

 private:
  struct PendingAudio {
    std::vector<uint8_t> data;
    uint64_t timestamp;  // ms, as given
  };
  // What a call has to report once the lock is released.
  struct Report {
    uint32_t state = 0;
    TarvaneStateCallback callback = nullptr;
    uint32_t stream_id = 0;
  };

  TarvaneRecord(std::string path, const Mp4VideoDesc* video, const Mp4AudioDesc* audio,
                OutputFactory factory);

  int SendVideoLocked(const uint8_t* data, uint32_t length, uint64_t timestamp, Report* report);
  int SendAudioLocked(const uint8_t* data, uint32_t length, uint64_t timestamp, Report* report);
  // Writes the file header at the first video key frame (the first audio
  // frame without video), then the held audio from the file's zero on.
  bool StartMuxerLocked(Report* report);
  // Places one AAC frame and writes it; a frame that cannot be placed is
  // skipped (counted, logged) and is no failure.
  bool WriteAudioLocked(const uint8_t* data, size_t size, uint64_t timestamp, Report* report);
  bool WriteLocked(bool video, const uint8_t* data, size_t size, int64_t position, bool key,
                   Report* report);
  // Ends the recording after a failed write: the file is cut back to the last
  // complete fragment.
  void FailLocked(Report* report);
  void SetStateLocked(uint32_t state, Report* report);
  // On the finishing thread: the fragmented file at `path` becomes ordinary.
  void Finish(const std::string& path);
  static void Deliver(const Report& report);

  const std::string default_path_;
  const bool has_video_;
  const bool has_audio_;
  const Mp4VideoDesc video_desc_;
  const Mp4AudioDesc audio_desc_;
  const OutputFactory factory_;

  // Guards everything below; taken by every public call, whatever its thread.
  std::mutex mutex_;
  TarvaneStateCallback callback_ = nullptr;
  uint32_t stream_id_ = 0;
  uint32_t state_ = 0;
  uint64_t bytes_written_ = 0;
  bool recording_ = false;  // between LiveStart and LiveStop, even after a write error
  bool failed_ = false;     // a write failed; samples are refused until LiveStop
  std::string path_;
  std::unique_ptr<Mp4Muxer> muxer_;  // null until the header is written
  std::unique_ptr<FileOutput> output_;
  std::unique_ptr<Mp4Timeline> timeline_;
  std::vector<uint8_t> sps_;
  std::vector<uint8_t> pps_;
  bool has_aac_config_ = false;
  int aac_rate_ = 0;
  int aac_channels_ = 0;
  bool seen_key_frame_ = false;
  std::vector<PendingAudio> pending_audio_;
  uint64_t dropped_video_ = 0;
  uint64_t dropped_audio_ = 0;
  // The thread rewriting the last stopped file; joined without the lock.
  std::unique_ptr<std::jthread> finisher_;
};

}  // namespace plenova
