#include "pavanel/VideoEncodeGeneric.h"

#include <new>

#include "pavanel/VideoEncodeX264.h"

VideoEncodeGeneric* VideoEncodeGeneric::Create() {
  return new (std::nothrow) VideoEncodeX264();
}
