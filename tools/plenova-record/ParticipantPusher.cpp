#include "tools/plenova-record/ParticipantPusher.h"

#include <algorithm>

#include "platform/Clock.h"

namespace plenova::record {
namespace {

constexpr int64_t kVideoPeriodMs = 1000 / kVideoFps;
constexpr int64_t kAudioPeriodMs = 1000 / kAudioFramesPerSecond;
constexpr uint64_t kVideoTicks = kTicksPerSecond / kVideoFps;
constexpr uint64_t kAudioTicks = kTicksPerSecond / kAudioFramesPerSecond;

// Moves `next` past frames more than the allowed lag behind `elapsed`.
int64_t SkipLate(int64_t next, int64_t period, int64_t elapsed, std::atomic<uint64_t>* skipped) {
  const int64_t oldest_kept = (elapsed - ParticipantPusher::kMaxLagMs) / period;
  if (next < oldest_kept) {
    skipped->fetch_add(static_cast<uint64_t>(oldest_kept - next), std::memory_order_relaxed);
    return oldest_kept;
  }
  return next;
}

}  // namespace

ParticipantPusher::ParticipantPusher(IPlenova* engine, std::unique_ptr<ParticipantSource> source,
                                     SourceFormat format, std::string stream_id, bool push_video,
                                     bool push_audio, PushCounters* counters)
    : engine_(engine),
      source_(std::move(source)),
      format_(format),
      stream_id_(std::move(stream_id)),
      push_video_(push_video),
      push_audio_(push_audio),
      counters_(counters),
      video_buffer_(format.VideoFrameBytes()),
      audio_buffer_(static_cast<size_t>(format.SamplesPerAudioFrame()) * format.channels) {}

uint32_t ParticipantPusher::Step(uint32_t elapsed_ms) {
  const int64_t elapsed = elapsed_ms;
  int64_t due = INT64_MAX;
  if (push_audio_) {
    next_audio_ = SkipLate(next_audio_, kAudioPeriodMs, elapsed, &counters_->skipped);
    while (next_audio_ * kAudioPeriodMs <= elapsed) PushAudio(next_audio_++);
    due = std::min(due, next_audio_ * kAudioPeriodMs);
  }
  if (push_video_) {
    next_video_ = SkipLate(next_video_, kVideoPeriodMs, elapsed, &counters_->skipped);
    while (next_video_ * kVideoPeriodMs <= elapsed) PushVideo(next_video_++);
    due = std::min(due, next_video_ * kVideoPeriodMs);
  }
  if (due == INT64_MAX) due = elapsed + 1000;  // nothing to push: idle
  return static_cast<uint32_t>(due);
}

void ParticipantPusher::Run(const std::atomic<bool>& stop, uint32_t start) {
  while (!stop.load(std::memory_order_acquire)) {
    const uint32_t elapsed = platform::TimeGetTime() - start;
    const uint32_t due = Step(elapsed);
    const uint32_t now = platform::TimeGetTime() - start;
    // Short sleeps keep a stop request answered quickly.
    if (due > now) platform::SleepMs(std::min<uint32_t>(due - now, 20));
  }
}

void ParticipantPusher::PushVideo(int64_t index) {
  if (!source_->FillVideo(index, video_buffer_.data())) {
    counters_->video_refused.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const int rc = engine_->PushVideoFrame(
      format_.width, format_.height, stream_id_.c_str(), kVideoFps, video_buffer_.data(),
      static_cast<int>(video_buffer_.size()), static_cast<uint64_t>(index) * kVideoTicks, 0);
  (rc == 0 ? counters_->video_pushed : counters_->video_refused)
      .fetch_add(1, std::memory_order_relaxed);
}

void ParticipantPusher::PushAudio(int64_t index) {
  if (!source_->FillAudio(index, audio_buffer_.data())) {
    counters_->audio_refused.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const int rc = engine_->PushAudioFrame(
      format_.channels, 16, format_.sample_rate, audio_buffer_.data(), format_.AudioFrameBytes(),
      static_cast<uint64_t>(index) * kAudioTicks, stream_id_.c_str());
  (rc == 0 ? counters_->audio_pushed : counters_->audio_refused)
      .fetch_add(1, std::memory_order_relaxed);
}

}  // namespace plenova::record
