#include "pavanel/VideoEncodeX264.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <string>

namespace {

// Limits of what Open accepts.
constexpr int32_t kMaxDimension = 8192;
constexpr int32_t kMaxFps = 120;
constexpr int32_t kMinBitrate = 1000;  // bit/s; libx264 counts whole kbit/s
constexpr int32_t kInputI420 = 1;
constexpr int32_t kKeyFrameSeconds = 2;

constexpr int kNalSei = 6;

void WriteFailure(const std::string& reason) {
  std::fprintf(stderr, "pavanel: %s\n", reason.c_str());
}

// libx264 reports its own failures here, from the calling thread or its
// worker threads; only errors matter to the caller.
void OnX264Log(void* /*unused*/, int level, const char* format, va_list args) {
  if (level > X264_LOG_ERROR) {
    return;
  }
  char text[512];
  std::vsnprintf(text, sizeof(text), format, args);
  std::string line = std::string("x264: ") + text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  WriteFailure(line);
}

// Empty when the settings are usable, otherwise why not.
std::string CheckSettings(const VideoEncoderParam* param) {
  if (param == nullptr) {
    return "no settings";
  }
  if (param->fps < 1 || param->fps > kMaxFps) {
    return "fps " + std::to_string(param->fps) + " is outside 1.." + std::to_string(kMaxFps);
  }
  if (param->input_format != kInputI420) {
    return "input_format " + std::to_string(param->input_format) + " is not 1 (I420)";
  }
  for (int32_t value : {param->width, param->height}) {
    if (value < 2 || value > kMaxDimension || value % 2 != 0) {
      return "size " + std::to_string(param->width) + "x" + std::to_string(param->height) +
             " is not even and within 2.." + std::to_string(kMaxDimension);
    }
  }
  if (param->bitrate < kMinBitrate) {
    return "bitrate " + std::to_string(param->bitrate) + " bit/s is below " +
           std::to_string(kMinBitrate);
  }
  if (param->flags != 0) {
    return "flags " + std::to_string(param->flags) + " are not 0";
  }
  return {};
}

}  // namespace

VideoEncodeX264::VideoEncodeX264() = default;

VideoEncodeX264::~VideoEncodeX264() = default;

bool VideoEncodeX264::BuildParam(const VideoEncoderParam& settings, x264_param_t* param,
                                 std::string* error) {
  // veryfast keeps a 1920x1080 canvas in real time on two cores;
  // zerolatency removes B-frames, look-ahead and frame threading delay.
  if (x264_param_default_preset(param, "veryfast", "zerolatency") < 0) {
    *error = "x264 refused the veryfast preset";
    return false;
  }
  param->pf_log = OnX264Log;
  param->p_log_private = nullptr;
  param->i_log_level = X264_LOG_ERROR;

  param->i_threads = X264_THREADS_AUTO;
  param->i_width = settings.width;
  param->i_height = settings.height;
  param->i_csp = X264_CSP_I420;
  param->i_fps_num = static_cast<uint32_t>(settings.fps);
  param->i_fps_den = 1;
  param->i_timebase_num = 1;
  param->i_timebase_den = static_cast<uint32_t>(settings.fps);
  param->b_vfr_input = 0;

  // A fixed GOP: an IDR picture every two seconds and nowhere else, so that
  // a viewer joining the stream waits at most that long.
  param->i_keyint_max = settings.fps * kKeyFrameSeconds;
  param->i_keyint_min = param->i_keyint_max;
  param->i_scenecut_threshold = 0;
  param->b_open_gop = 0;
  param->i_bframe = 0;

  // Average bitrate capped by a VBV of one second at that rate.
  const int kbit = settings.bitrate / 1000;
  param->rc.i_rc_method = X264_RC_ABR;
  param->rc.i_bitrate = kbit;
  param->rc.i_vbv_max_bitrate = kbit;
  param->rc.i_vbv_buffer_size = kbit;

  // Annex B with SPS and PPS in band before every IDR picture.
  param->b_annexb = 1;
  param->b_repeat_headers = 1;
  param->b_aud = 0;

  if (x264_param_apply_profile(param, "high") < 0) {
    *error = "x264 refused the high profile";
    return false;
  }
  return true;
}

int VideoEncodeX264::Open(const VideoEncoderParam* param, int /*reserved*/) {
  try {
    const std::string refusal = CheckSettings(param);
    if (!refusal.empty()) {
      WriteFailure("Open refused: " + refusal);
      return -1;
    }
    x264_param_t settings;
    std::string error;
    if (!BuildParam(*param, &settings, &error)) {
      WriteFailure("Open failed: " + error);
      return -1;
    }
    EncoderPtr encoder(x264_encoder_open(&settings));
    if (!encoder) {
      WriteFailure("Open failed: x264_encoder_open refused " + std::to_string(param->width) + "x" +
                   std::to_string(param->height) + " at " + std::to_string(param->fps) + " fps");
      return -1;
    }
    // The previous encoder, if any, is released after the lock.
    std::lock_guard<std::mutex> lock(m_lock);
    m_encoder.swap(encoder);
    m_param = settings;
    m_speed = 0;
    m_width = param->width;
    m_height = param->height;
    m_frames = 0;
    m_keyframe_requested = false;
    m_refusal_reported = false;
    m_output.clear();
    return 0;
  } catch (const std::exception& e) {
    WriteFailure(std::string("Open failed: ") + e.what());
    return -1;
  }
}

int VideoEncodeX264::SetSpeed(int step) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_encoder || step < 0 || step >= kSpeedSteps) return -1;
  if (step == m_speed) return 0;
  x264_param_t preset;
  if (x264_param_default_preset(&preset, SpeedName(step), "zerolatency") < 0) return -1;
  x264_param_t changed = m_param;
  if (step > 0) {
    changed.analyse = preset.analyse;
    changed.i_frame_reference = std::min(preset.i_frame_reference, m_param.i_frame_reference);
    changed.b_deblocking_filter = preset.b_deblocking_filter;
  }
  if (x264_encoder_reconfig(m_encoder.get(), &changed) < 0) {
    WriteFailure(std::string("SetSpeed: x264 refused the ") + SpeedName(step) + " settings");
    return -1;
  }
  m_speed = step;
  return 0;
}

int VideoEncodeX264::Speed() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_speed;
}

void VideoEncodeX264::Close() {
  EncoderPtr closing;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    closing = std::move(m_encoder);
    m_output.clear();
  }
  // libx264 joins its worker threads here, outside the lock.
}

int VideoEncodeX264::Encode(const uint8_t* picture, VideoEncoderOutput* output, int /*reserved*/) {
  std::lock_guard<std::mutex> lock(m_lock);
  return EncodeLocked(picture, kUnchecked, output);
}

int VideoEncodeX264::EncodeFrame(const uint8_t* picture, size_t length,
                                 VideoEncoderOutput* output) {
  std::lock_guard<std::mutex> lock(m_lock);
  return EncodeLocked(picture, length, output);
}

int VideoEncodeX264::EncodeLocked(const uint8_t* picture, size_t length,
                                  VideoEncoderOutput* output) {
  if (output != nullptr) {
    *output = VideoEncoderOutput{nullptr, 0, 0};
  }
  const size_t expected = static_cast<size_t>(m_width) * static_cast<size_t>(m_height) * 3 / 2;
  if (m_encoder && length != kUnchecked && length != expected) {
    if (!m_refusal_reported) {
      m_refusal_reported = true;
      WriteFailure("Encode refused: a picture of " + std::to_string(length) + " bytes for a " +
                   std::to_string(m_width) + "x" + std::to_string(m_height) + " encoder (" +
                   std::to_string(expected) + " bytes)");
    }
    return -1;
  }
  if (picture == nullptr || output == nullptr || !m_encoder) {
    if (!m_refusal_reported) {
      m_refusal_reported = true;
      WriteFailure(!m_encoder ? "Encode refused: the encoder is not open"
                              : "Encode refused: no picture or no output record");
    }
    return -1;
  }
  m_refusal_reported = false;

  const size_t luma = static_cast<size_t>(m_width) * static_cast<size_t>(m_height);
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  // libx264 copies the planes before it returns and never writes them.
  uint8_t* base = const_cast<uint8_t*>(picture);
  in.img.plane[0] = base;
  in.img.plane[1] = base + luma;
  in.img.plane[2] = base + luma + luma / 4;
  in.img.i_stride[0] = m_width;
  in.img.i_stride[1] = m_width / 2;
  in.img.i_stride[2] = m_width / 2;
  in.i_pts = m_frames;
  in.i_type = m_keyframe_requested ? X264_TYPE_IDR : X264_TYPE_AUTO;

  x264_picture_t out;
  x264_nal_t* nals = nullptr;
  int count = 0;
  const int bytes = x264_encoder_encode(m_encoder.get(), &nals, &count, &in, &out);
  if (bytes < 0) {
    WriteFailure("Encode failed: x264_encoder_encode returned " + std::to_string(bytes));
    return -1;
  }
  m_keyframe_requested = false;
  ++m_frames;
  if (bytes == 0 || count <= 0) {
    return 1;
  }
  try {
    CollectOutput(nals, count, output);
  } catch (const std::exception& e) {
    WriteFailure(std::string("Encode failed: ") + e.what());
    return -1;
  }
  return out.b_keyframe ? 0 : 1;
}

void VideoEncodeX264::CollectOutput(const x264_nal_t* nals, int count, VideoEncoderOutput* output) {
  // libx264 opens its first stream with an SEI naming itself and its
  // settings; decoders do not need it, and the stream starts with SPS, PPS
  // and the IDR slice without it.
  m_output.clear();
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    if (nals[i].i_type == kNalSei) {
      continue;
    }
    m_output.insert(m_output.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
    ++kept;
  }
  if (kept == 0) {
    return;
  }
  output->data = m_output.data();
  output->count = kept;
  output->length = static_cast<int32_t>(m_output.size());
}

void VideoEncodeX264::RequestKeyFrame() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_encoder) {
    m_keyframe_requested = true;
  }
}

int64_t VideoEncodeX264::FramesEncoded() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_frames;
}
