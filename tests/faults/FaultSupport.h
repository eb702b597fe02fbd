#pragma once

// Shared pieces of the fault tests: the flash-and-beep meeting, free ports,
// file and memory sizes and the short/full switch.

#include <string>

#include "tests/integration/MeetingClient.h"
#include "tests/support/RtmpServer.h"

namespace plenova::testing {

// A flashing window (left half of 1280x720) beside a still blue one, a
// voice that beeps with each flash and, when asked, a 440 Hz voice.
Meeting FlashAndBeep(bool with_voice);

// PLENOVA_FAULTS_FULL=1 selects the long form of every fault.
bool FullFaults();
// `short_value` normally, `full_value` in the long form.
double FaultSeconds(double short_value, double full_value);


// The size of a file, 0 when it does not exist.
long long FileSize(const std::string& path);
// Resident set size of this process in KiB.
long ResidentKib();

}  // namespace plenova::testing
