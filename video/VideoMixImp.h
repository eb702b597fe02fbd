#pragma once

#include <array>
#include <memory>

#include "platform/Mutex.h"
#include "video/IVideoMix.h"
#include "video/VideoEncode.h"
#include "video/VideoEncodeBuffer.h"
#include "video/VideoMix.h"
#include "video/VideoMixStreamInfo.h"

namespace plenova {

// The video path as one component: the compositor, the encoder input buffer
// and the H.264 encoding stage, with their two threads. Converts the
// recorder's layout records into the compositor's stream lists.
class VideoMixImp : public IVideoMix {
 public:
  static constexpr int kMaxStreams = 20;

  VideoMixImp();
  // Encodes with `encoder` instead of the H.264 library (null: never encodes).
  explicit VideoMixImp(std::unique_ptr<VideoEncodeGeneric> encoder);
  // Stops the threads if they still run.
  ~VideoMixImp() override;

  bool IVideoMixInit(const VideoMixInitParam* param, PlenovaCanvasCallback callback) override;
  bool IPictureMixInit(const VideoMixInitParam* param) override;
  void IVideoMixUnint() override;
  void IPictureMixUnint() override;
  bool PushVideoMixData(VideoMixFrame frame) override;
  // Refused (with a log line) while the threads run.
  void StartVideoMixThread() override;
  void StopVideoMixThread() override;
  void UpdataVideoMixParam(const VideoMixInitParam* param) override;
  void UpdataPictureMixParam(const VideoMixInitParam* param) override;
  void CollectStatistics(MixStatistics* out) override;

  // The parts, for tests that drive the stages step by step.
  VideoMix& mix() { return m_mix; }
  VideoEncode& encode() { return m_encode; }
  VideoEncodeBuffer& encode_buffer() { return m_encodeBuffer; }

 private:
  using Table = std::array<VideoMixStreamInfo, kMaxStreams>;
  // Converts the record's elements (VideoStreamInfo or PictureStreamInfo,
  // same layout) into `table`; returns the count, cut at 20 with a log line.
  static int32_t Convert(const VideoMixInitParam& param, bool with_ids, Table* table);

  // Declared in the order of construction; the compositor feeds the buffer
  // and is destroyed first.
  VideoEncodeBuffer m_encodeBuffer;
  VideoEncode m_encode;
  VideoMix m_mix;
  // Serialises IVideoMixUnint, IPictureMixUnint and starting and stopping
  // the threads; taken by the recorder's threads.
  platform::Mutex m_mutex;
  bool m_threads_running = false;
};

}  // namespace plenova
