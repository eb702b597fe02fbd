#pragma once

// A two-second meeting through libplenova.so for the log tests: the first
// CreatePlenova of the process reads `folder`/Log.xml, the meeting is
// recorded to `folder`/meeting.mp4 (and published to `rtmp_url` when given),
// and the recorder is deleted, so every file is finished.

#include <string>
#include <vector>

namespace plenova::testing {

// Writes `log_xml` as the folder's Log.xml and records the meeting.
void RecordShortMeeting(const std::string& folder, const std::string& log_xml,
                        const std::string& rtmp_url = {});

std::string ReadWholeFile(const std::string& path);

// Lines of the engine log with the level letter `level` ('E', 'W', 'I',
// 'D') that contain every one of `parts`.
int CountLogLines(const std::string& log, char level, const std::vector<std::string>& parts);

}  // namespace plenova::testing
