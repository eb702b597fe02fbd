#pragma once

#include "recorder/PlenovaImp.h"

namespace plenova {

// Builds the engine's components in their order of creation: the audio
// mixer, the output dispatcher (recording MP4 through the MP4 recorder
// library and publishing through the RTMP library), the sync controller and
// the video mixer. A component that cannot be allocated is left null.
PlenovaComponents MakeEngineComponents();

}  // namespace plenova
