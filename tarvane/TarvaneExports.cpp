// The library's two entry points.

#include "tarvane/Tarvane.h"
#include "tarvane/TarvaneRecord.h"

TARVANE_API ITarvaneRecord* CreateRecord(const char* path, const Mp4VideoDesc* video,
                                         const Mp4AudioDesc* audio) {
  try {
    return plenova::TarvaneRecord::Create(path, video, audio).release();
  } catch (...) {
    return nullptr;
  }
}

TARVANE_API void DestroyRecord(ITarvaneRecord* record) { delete record; }
