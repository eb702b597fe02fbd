#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/Plenova.h"
#include "audio/IAudioMix.h"
#include "common/EventSink.h"
#include "common/MemoryPool.h"
#include "output/AVStreamInitParam.h"
#include "sync/AVSynBuffer.h"
#include "output/IAVStreaming.h"
#include "sync/IAVSynCtl.h"
#include "platform/Mutex.h"
#include "sync/MediaTimeline.h"
#include "video/IVideoMix.h"

namespace plenova {

// The four engine components a recorder drives. Any of them may be null when
// it could not be allocated; a recorder is only handed out complete.
struct PlenovaComponents {
  std::unique_ptr<IAudioMix> audio;
  std::unique_ptr<IAVStreaming> streaming;
  std::unique_ptr<IAVSynCtl> synCtl;
  std::unique_ptr<IVideoMix> video;

  bool complete() const { return audio && streaming && synCtl && video; }
};

// The recorder object behind both public interfaces. It owns the memory pool,
// the A/V sync buffer and the engine components, validates and stores the
// client's settings and layouts, starts the engine when the first audio and
// the first video layout are known, and hands pushed frames to the mixers.
// Client calls may come from several threads.
class PlenovaImp : public IUpdateStreamInterface, public IPlenova, private EventSink {
 public:
  static constexpr int kMaxAudioStreams = 5;
  static constexpr int kMaxVideoStreams = 20;
  static constexpr size_t kMaxIdLength = 255;
  // Largest canvas and rectangle side in pixels: larger values cannot be
  // allocated or encoded.
  static constexpr int32_t kMaxPictureSide = 8192;
  // Window and picture positions lie within -8192..8192 on each axis, so that
  // a position plus a size always fits 32 bits.
  static constexpr int32_t kMaxPosition = 8192;
  // The H.264 encoder takes canvases of even sides from 2 pixels and bit
  // rates from 1000 bit/s.
  static constexpr int32_t kMinCanvasSide = 2;
  static constexpr int32_t kMinVideoBitrate = 1000;
  // Declared stream rates are hints (0: unknown) of at most this many frames
  // a second; the outputs always run at kOutputFps.
  static constexpr int32_t kMaxDeclaredFps = 120;
  static constexpr int32_t kOutputFps = 25;
  // waitMaxTime counts mixed audio frames; at most this many, so that the
  // sync controller's 90 kHz limit fits 32 bits at any mixer rate.
  static constexpr int32_t kMaxWaitMaxTime = 10000;

  explicit PlenovaImp(PlenovaComponents components);
  ~PlenovaImp() override;
  PlenovaImp(const PlenovaImp&) = delete;
  PlenovaImp& operator=(const PlenovaImp&) = delete;

  // IUpdateStreamInterface
  void UpdateAudioStreamInfo(AudioStreamInfoUpdate* info) override;
  void UpdateVideoStreamInfo(VideoStreamInfoUpdate* info) override;
  void UpdatePictureStreamInfo(PictureStreamInfoUpdate* info) override;

  // IPlenova
  IUpdateStreamInterface* GetUpdateStreamInterface() override;
  int PlenovaInit(void* p1, void* p2, void* p3) override;
  int PlenovaUnint() override;
  void SetAuidoParam(AudioParam* param) override;
  void SetVideoParam(VideoParam* param) override;
  int StartMp4Record(const char* path) override;
  int StopMp4Record() override;
  int SetMp4RecordCallback(int streamid, Mp4RecordStateCallback callback) override;
  int PushAudioFrame(int channels, int sampling_per_bits, int sampling_rate, void* buffer,
                     int buflen, uint64_t stamptime, const char* streamId) override;
  int PushVideoFrame(int source_w, int source_h, const char* streamId, int fps, void* buffer,
                     int buflen, uint64_t stamptime, uint32_t extra) override;
  int StopRecord() override;
  int StartRecord(const char* url) override;
  const char* GetVersion() override { return PLENOVA_VERSION_STRING; }
  int SetTargetDelay(int milliseconds) override;
  int SetEventCallback(PlenovaEventCallback callback, void* user) override;
  int GetStatistics(PlenovaStatistics* statistics) override;

 private:
  // EventSink: hands an output's event to the host's callback.
  void Report(const PlenovaEvent& event) override;

 public:
  // State a test or a diagnostic may read.
  bool started() const { return m_started; }
  bool layout_given() const { return m_layout_given; }
  bool running() const { return m_running; }
  bool audio_param_ok() const { return m_audio_param_ok; }
  bool video_param_ok() const { return m_video_param_ok; }
  // Copies taken under the parameter lock.
  AVStreamInitParam stream_param() const;
  AVSynCtlParam synctl_param() const;
  void* p1() const { return m_p1; }
  void* p2() const { return m_p2; }
  void* p3() const { return m_p3; }
  MemoryPool& pool() { return m_pool; }

 private:
  struct AudioEntry {
    int32_t channel = 0;
    int32_t sampling_per_bits = 0;
    int32_t sampling_rate = 0;
    std::string streamId;
  };
  struct AudioHeader {
    int32_t frames_per_second = 0;
    int32_t channels = 0;
    int32_t sampling_rate = 0;
    int32_t sampling_per_bits = 0;
    bool operator==(const AudioHeader&) const = default;
  };
  // The canvas of one engine run: taken once, at the first video layout of
  // the run, and handed to the compositor, the picture overlay, the encoder,
  // the sync controller and the output description alike.
  struct Canvas {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bitrate = 0;
  };
  struct VideoEntry {
    int32_t fps = 0;
    int32_t source_h = 0;
    int32_t source_w = 0;
    std::string streamId;
    int32_t target_h = 0;
    int32_t target_w = 0;
    int32_t x_position = 0;
    int32_t y_position = 0;
    int32_t videoType = 0;
  };
  // The last accepted AudioParam with its own copies of the strings.
  struct AcceptedAudioParam {
    bool valid = false;
    std::string filePath, url_1, url_2, StreamName_1, StreamName_2;
  };

  bool AudioLayoutChanged(const AudioStreamInfoUpdate& u) const;
  void StoreAudioLayout(const AudioStreamInfoUpdate& u);
  bool VideoLayoutChanged(const VideoStreamInfoUpdate& u) const;
  void StoreVideoLayout(const VideoStreamInfoUpdate& u);
  void ApplyPictureLayout(PictureStreamInfo* entries, int32_t count);
  // Records that one of the two first layouts is done and, when the other
  // one is too, starts the engine: both in one step under the control lock,
  // so that of two first layouts arriving at once exactly one starts it.
  // Called with a layout lock held.
  void FirstLayoutDone();
  // Initialises the sync controller and the outputs from copies of the
  // records, then starts every thread. Caller holds the control lock.
  void StartEngineLocked();
  // A layout entry whose rectangle, position or declared rate is outside the
  // limits above.
  static bool EntryFits(int32_t fps, int32_t target_w, int32_t target_h, int32_t x, int32_t y);

  bool ResolveMp4Folder(const char* filePath, std::string* folder);

  // Declared first: destroyed last, after every component that borrows them.
  MemoryPool m_pool;
  AVSynBuffer m_synBuffer;
  MediaTimeline m_timeline;

  std::unique_ptr<IAudioMix> m_audioMix;
  std::unique_ptr<IAVStreaming> m_streaming;
  std::unique_ptr<IAVSynCtl> m_synCtl;
  std::unique_ptr<IVideoMix> m_videoMix;

  // Lock order: video layout lock, audio layout lock, control lock,
  // parameter lock; then the components' own locks.
  // Video and picture layout updates, video frame intake, PlenovaUnint,
  // destructor. Guards the first video and picture flags, the video table,
  // the picture record and m_canvas.
  platform::Mutex m_video_layout_lock;
  // Audio layout updates, audio frame intake, PlenovaUnint, destructor.
  // Guards the first audio flag and the audio table.
  platform::Mutex m_audio_layout_lock;
  // Engine start (inside a layout update), PlenovaUnint and the recording and
  // streaming controls, which it serialises with each other. Guards
  // m_layout_given, m_started, m_stream_init_done.
  platform::Mutex m_control_lock;
  // SetAuidoParam, SetVideoParam, and every reader and writer of the records
  // below: the client's settings and the layout values that go with them.
  // Held briefly; SetAuidoParam alone calls out under it (the re-initialisation
  // of the outputs on a URL change).
  mutable platform::Mutex m_param_lock;

  AcceptedAudioParam m_accepted_audio;
  VideoParam m_accepted_video{};
  AVStreamInitParam m_stream_param;
  VideoMixInitParam m_video_record;
  VideoMixInitParam m_picture_record;
  AVSynCtlParam m_synctl_param;
  Canvas m_canvas;

  std::array<AudioEntry, kMaxAudioStreams> m_audio_streams;
  int32_t m_audio_stream_count = 0;
  AudioHeader m_audio_header;
  int32_t m_video_stream_count = 0;
  std::array<VideoEntry, kMaxVideoStreams> m_video_streams;
  // A picture layout given before the video mixer had a canvas; applied by
  // the first video layout.
  std::vector<PictureStreamInfo> m_pending_pictures;
  bool m_pictures_pending = false;

  // Read by frame intake without a lock.
  std::atomic<bool> m_audio_param_ok{false};
  std::atomic<bool> m_video_param_ok{false};
  std::atomic<bool> m_started{false};
  std::atomic<bool> m_stream_init_done{false};
  // Re-armed by PlenovaUnint under the control lock while the updates read
  // them under their layout locks.
  std::atomic<bool> m_first_audio_update{true};
  std::atomic<bool> m_first_video_update{true};
  bool m_first_picture_update = true;
  std::atomic<bool> m_layout_given{false};
  std::atomic<bool> m_running{false};

  // Frames refused at intake, per stream id (at most kMaxRefusedIds ids).
  // Client threads count, GetStatistics reads.
  static constexpr size_t kMaxRefusedIds = 64;
  void CountRefused(const char* streamId);
  // The push operations' work; a refusal is counted by the caller.
  int QueueAudioFrame(int channels, int sampling_per_bits, int sampling_rate, void* buffer,
                      int buflen, uint64_t stamptime, const char* streamId);
  int QueueVideoFrame(int source_w, int source_h, const char* streamId, int fps, void* buffer,
                      int buflen, uint64_t stamptime, uint32_t extra);
  platform::Mutex m_refused_lock;
  std::vector<std::pair<std::string, uint64_t>> m_refused;

  // The host's event callback; guarded by m_event_lock, taken by any thread
  // that reports or sets it (never while calling it).
  platform::Mutex m_event_lock;
  PlenovaEventCallback m_event_callback = nullptr;
  void* m_event_user = nullptr;

  std::atomic<uint64_t> m_audio_frames{0};
  std::atomic<uint64_t> m_video_frames{0};

  void* m_p1 = nullptr;
  void* m_p2 = nullptr;
  void* m_p3 = nullptr;
  Mp4RecordStateCallback m_mp4_callback = nullptr;
  int32_t m_mp4_callback_streamid = 0;
  // Whether RTMP publishing and MP4 recording are on is the dispatcher's to
  // say (IAVStreaming::RtmpRequested, Mp4RecordRequested): a recording may
  // end by itself when its file cannot be opened or written.
};

}  // namespace plenova
