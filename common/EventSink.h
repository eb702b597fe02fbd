#pragma once

#include "api/Plenova.h"

namespace plenova {

// Where the outputs report what happens to them; the recorder hands each
// report on to the host's event callback. Report may be called from any
// thread, but never while the caller holds a lock that a call back into the
// recorder could need.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Report(const PlenovaEvent& event) = 0;
};

}  // namespace plenova
