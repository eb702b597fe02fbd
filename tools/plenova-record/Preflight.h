#pragma once

// Checks made before the engine starts, so that a user learns at once, in
// plain words, what is wrong with the outputs.

#include <ctime>
#include <string>

namespace plenova::record {

// PlenovaMp4/plenova-YYYYMMDD-HHMMSS.mp4 for the local time `when`.
std::string DefaultMp4Path(std::time_t when);

// Creates `folder` (and its parents) when missing and proves it writable by
// creating and removing a file in it. Empty means the current folder.
bool CheckOutputFolder(const std::string& folder, std::string* error);

// Opens and closes a TCP connection to host:port within `timeout_ms`.
bool CheckTcpReachable(const std::string& host, int port, int timeout_ms, std::string* error);

}  // namespace plenova::record
