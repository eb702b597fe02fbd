#pragma once

#include "aaclc/AacLcEncoder.h"

namespace plenova {

// The AAC encoder library's entry points as the engine calls them; tests
// hand AudioEncode a table of their own.
struct AacLcLibrary {
  decltype(&aacLcEncOpen) open;
  decltype(&aacLcEncGetCurrentConfiguration) getConfiguration;
  decltype(&aacLcEncSetConfiguration) setConfiguration;
  decltype(&aacLcEncEncode) encode;
  decltype(&aacLcEncClose) close;
};

// libaaclc.so's own entry points.
const AacLcLibrary& RealAacLcLibrary();

}  // namespace plenova
