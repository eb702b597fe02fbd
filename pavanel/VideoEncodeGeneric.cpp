#include "pavanel/VideoEncodeGeneric.h"

#include <new>

#include "pavanel/VideoEncodeX264.h"

VideoEncodeGeneric* VideoEncodeGeneric::Create() { return new (std::nothrow) VideoEncodeX264(); }

const char* VideoEncodeGeneric::SpeedName(int step) {
  static constexpr const char* kNames[kSpeedSteps] = {"veryfast", "superfast", "ultrafast"};
  return step >= 0 && step < kSpeedSteps ? kNames[step] : "";
}
