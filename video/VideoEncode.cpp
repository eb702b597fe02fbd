#include "video/VideoEncode.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <span>
#include <utility>

#include "log/PlenovaLog.h"
#include "sync/AVSynBuffer.h"
#include "common/IVideoEncoderOutputs.h"
#include "platform/Clock.h"
#include "video/VideoEncodeBuffer.h"

namespace plenova {
namespace {

constexpr int32_t kDefaultRate = 25;
constexpr int32_t kSpsSearchLimit = 300;
constexpr uint32_t kIdleWaitMs = 200;
constexpr uint32_t kRetryMs = 10;
// Canvases of the wrong size are logged on the first and every 100th.
constexpr uint64_t kRefusalLogEvery = 100;

// Index of the next 00 00 01 at or after `from` and before `end`, or -1.
int32_t FindStartCode(const uint8_t* bytes, int32_t from, int32_t end) {
  for (int32_t i = std::max(from, 0); i + 2 < end; ++i)
    if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1) return i;
  return -1;
}

}  // namespace

VideoEncode::VideoEncode()
    : VideoEncode(std::unique_ptr<VideoEncodeGeneric>(VideoEncodeGeneric::Create())) {}

VideoEncode::VideoEncode(std::unique_ptr<VideoEncodeGeneric> encoder)
    : m_encoder(std::move(encoder)) {
  if (!m_encoder) PLN_LOG_ERROR("Create X264 instance failed!!");
}

VideoEncode::~VideoEncode() {
  StopThread();
  platform::MutexLock lock(m_encoder_mutex);
  CloseLocked();
}

bool VideoEncode::VideoEncodeInit(int32_t bitrate, int32_t rate, int32_t width, int32_t height,
                                  VideoEncodeBuffer* encodeBuffer, AVSynBuffer* synBuffer,
                                  MemoryPool* pool, IVideoEncoderOutputs* streaming) {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Start");
  if (encodeBuffer == nullptr || synBuffer == nullptr || pool == nullptr || bitrate < 1 ||
      rate < 0 || width < 1 || height < 1) {
    PLN_LOG_ERROR("'s value is illegall");
    PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish ");
    return false;
  }
  if (rate == 0) rate = kDefaultRate;
  platform::MutexLock lock(m_encoder_mutex);
  m_encodeBuffer = encodeBuffer;
  m_synBuffer = synBuffer;
  m_streaming = streaming;
  m_bitrate = bitrate;
  m_rate = rate;
  m_width = width;
  m_height = height;
  // A new stream announces its parameter sets again.
  m_spsPpsWanted = true;
  m_param = VideoEncoderParam{rate, 1, width, height, bitrate, 0};
  CloseLocked();
  OpenLocked();
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

bool VideoEncode::VideoEncodeUnint() {
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s Start");
  platform::MutexLock lock(m_encoder_mutex);
  CloseLocked();
  PLN_SITE_ERROR("File:%s,Line=%05d  _Plenova_ Function: %s  Finish Success ");
  return true;
}

bool VideoEncode::OpenLocked() {
  m_opened = m_encoder && m_encoder->Open(&m_param, 0) == 0;
  m_ready = m_opened;
  m_speed.store(0, std::memory_order_relaxed);  // an encoder opens at its first step
  if (!m_opened) {
    PLN_LOG_ERROR("_Plenova_ H.264 encoder open failed: %dx%d %d fps %d bit/s", m_param.width,
                  m_param.height, m_param.fps, m_param.bitrate);
  }
  return m_opened;
}

void VideoEncode::CloseLocked() {
  if (m_opened && m_encoder) m_encoder->Close();
  m_opened = false;
}

VideoEncode::Cycle VideoEncode::EncodeCycle() {
  if (m_encodeBuffer == nullptr) return Cycle::kIdle;
  VideoEncodeBuffer::Result result = m_encodeBuffer->GetData(m_rate);
  if (result.state == VideoEncodeBuffer::kTaken) {
    VideoEncodeFunc(std::move(result.canvas));
    return Cycle::kEncoded;
  }
  if (result.state == VideoEncodeBuffer::kRateDiffers && result.rate > 0) {
    // The compositor's rate differs from the encoder's: follow it. The head
    // canvas is taken on the next cycle.
    platform::MutexLock lock(m_encoder_mutex);
    CloseLocked();
    m_rate = result.rate;
    m_param.fps = result.rate;
    OpenLocked();
    return Cycle::kReopened;
  }
  return Cycle::kIdle;
}

void VideoEncode::VideoEncodeThreadFunc() {
  while (m_run.load(std::memory_order_acquire)) {
    // Idle: wait for the compositor's next canvas (or a stop) instead of
    // polling; the timeout only bounds a wait that nothing ends.
    if (EncodeCycle() == Cycle::kIdle) {
      if (m_encodeBuffer != nullptr && m_encodeBuffer->Count() == 0) {
        m_encodeBuffer->WaitForData(kIdleWaitMs);
      } else {
        platform::SleepMs(kRetryMs);  // nothing to wait on, or a canvas it could not take
      }
    }
  }
  PLN_LOG_ERROR("_Plenova_ VideoEncode Thread Finish Success ");
}

bool VideoEncode::StartThread() {
  if (m_thread.Joinable()) return false;
  m_run = true;
  if (!m_thread.Start([this] { VideoEncodeThreadFunc(); })) {
    m_run = false;
    return false;
  }
  return true;
}

void VideoEncode::StopThread() {
  m_run = false;
  if (m_encodeBuffer != nullptr) m_encodeBuffer->Wake();
  m_thread.Join();
}

bool VideoEncode::VideoEncodeFunc(PoolBufferPtr canvas) {
  assert(canvas != nullptr);  // the encoding cycle passes only canvases it took
  if (canvas == nullptr) return false;
  {
    platform::MutexLock lock(m_encoder_mutex);
    // A canvas of another size than the encoder's would be read past its
    // end: it is not encoded.
    const int64_t expected = int64_t{m_param.width} * m_param.height * 3 / 2;
    if (m_ready && m_opened && (canvas->len != expected || canvas->data == nullptr)) {
      if (m_refused++ % kRefusalLogEvery == 0) {
        PLN_LOG_ERROR(
            "_Plenova_ a canvas of %d bytes for a %dx%d encoder (%lld bytes) is not "
            "encoded (%llu so far)",
            canvas->len, m_param.width, m_param.height, static_cast<long long>(expected),
            static_cast<unsigned long long>(m_refused));
      }
    } else if (m_ready && m_opened) {
      // An output that has just begun starts from this picture.
      if (m_streaming != nullptr && m_streaming->TakeKeyFrameRequest())
        m_encoder->RequestKeyFrame();
      VideoEncoderOutput output{};
      const int result =
          m_encoder->EncodeFrame(canvas->data, static_cast<size_t>(canvas->len), &output);
      const bool key = result == 0;
      if (result >= 0 && output.count > 0 && output.data != nullptr && output.length > 0) {
        if (m_spsPpsWanted && ExtractSpsPps(output.data, output.length)) m_spsPpsWanted = false;
        if (!m_spsPpsWanted) {
          EncodedVideoSample sample;
          sample.data = std::span<const uint8_t>(output.data, static_cast<size_t>(output.length));
          sample.timestamp = canvas->timestamp;
          sample.fps = m_rate;
          sample.isKeyFrame = key;
          sample.parameterSets =
              std::span<const uint8_t>(m_spsPps, static_cast<size_t>(m_spsPpsLen));
          sample.tick = canvas->tick;
          m_synBuffer->PutVideo(sample);
        }
      }
    }
  }
  canvas.reset();
  if (m_encodeBuffer != nullptr) FollowBacklog(m_encodeBuffer->Count());
  return true;
}

void VideoEncode::FollowBacklog(int waiting) {
  m_behind = waiting >= kBehindDepth ? m_behind + 1 : 0;
  m_caughtUp = waiting == 0 ? m_caughtUp + 1 : 0;
  const int current = m_speed.load(std::memory_order_relaxed);
  int step = current;
  if (m_behind >= kBehindEncodes && current + 1 < VideoEncodeGeneric::kSpeedSteps) {
    step = current + 1;
  } else if (m_caughtUp >= kIdleEncodes && current > 0) {
    step = current - 1;
  }
  if (step == current) return;
  m_behind = 0;
  m_caughtUp = 0;
  platform::MutexLock lock(m_encoder_mutex);
  if (!m_opened || !m_encoder || m_encoder->SetSpeed(step) != 0) return;
  m_speed.store(step, std::memory_order_relaxed);
  m_speedChanges.fetch_add(1, std::memory_order_relaxed);
  PLN_LOG_ERROR("_Plenova_ video encoder %s: %d canvases waited; x264 preset %s",
                step > current ? "falls behind" : "keeps up again", waiting,
                VideoEncodeGeneric::SpeedName(step));
}

bool VideoEncode::ExtractSpsPps(const uint8_t* bytes, int32_t length) {
  const int32_t n = std::min(length, kSpsSearchLimit);
  if (bytes == nullptr || n < 1) return false;
  int32_t sps = -1;
  for (int32_t i = FindStartCode(bytes, 0, n); i >= 0; i = FindStartCode(bytes, i + 1, n)) {
    if (i + 3 < n && (bytes[i + 3] & 0x1f) == 7) {
      sps = i;
      break;
    }
  }
  if (sps < 0) return false;
  // A four-byte start code contributes its leading zero; an output that
  // begins with a three-byte code has no byte before it.
  int32_t begin = (sps >= 1 && bytes[sps - 1] == 0) ? sps - 1 : sps;
  const int32_t pps = FindStartCode(bytes, sps + 3, n);
  const int32_t next = pps < 0 ? -1 : FindStartCode(bytes, pps + 3, n);
  int32_t end;
  const bool complete = next >= 0;
  if (complete) {
    end = (bytes[next - 1] == 0) ? next - 1 : next;  // the zero belongs to the next code
  } else {
    // No picture follows within reach: the output is taken whole as the
    // parameter sets, and nobody is told yet.
    begin = 0;
    end = length;
  }
  const int32_t size = end - begin;
  if (size < 1 || size > kSpsPpsCapacity) {
    PLN_LOG_ERROR("_Plenova_ SPS/PPS of %d bytes refused", size);
    return false;
  }
  std::memcpy(m_spsPps, bytes + begin, static_cast<size_t>(size));
  m_spsPpsLen = size;
  if (complete) {
    // Handed over here, before the picture that carries them is queued, so
    // that the outputs hold them before any picture reaches them. The
    // encoder's lock is held: the outputs' side takes only short locks of
    // its own and never calls into the encoder, so no lock order is broken.
    if (m_streaming == nullptr) {
      PLN_LOG_ERROR("_Plenova_ IAVStreaming obj is NULL");
    } else {
      m_streaming->OnParameterSets(
          std::span<const uint8_t>(m_spsPps, static_cast<size_t>(m_spsPpsLen)));
    }
  }
  return true;
}

}  // namespace plenova
