#include "recorder/EngineComponents.h"

#include <new>

#include "audio/AudioMixImp.h"
#include "output/AVStreamingImp.h"
#include "sync/AVSynCtl.h"
#include "tarvane/Tarvane.h"
#include "video/VideoMixImp.h"

namespace plenova {

PlenovaComponents MakeEngineComponents() {
  PlenovaComponents c;
  c.audio.reset(new (std::nothrow) AudioMixImp());
  c.streaming.reset(new (std::nothrow)
                        AVStreamingImp(Mp4RecorderApi{&CreateRecord, &DestroyRecord}));
  c.synCtl.reset(new (std::nothrow) AVSynCtl());
  c.video.reset(new (std::nothrow) VideoMixImp());
  return c;
}

}  // namespace plenova
