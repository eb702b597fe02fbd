#pragma once

#include <cstdint>
#include <string>

namespace quillet {

// Settings read from Log.xml.
struct LogConfig {
  int level = 1;                       // 0 debug, 1 message, 2 warning, 3 error
  uint64_t max_file_size = 10u << 20;  // bytes per file before rotation
  int max_files = 5;                   // rotated files kept besides the current one
};

// Parses the text of a Log.xml:
//   <Log>
//     <Level>debug|message|warning|error</Level>
//     <MaxFileSize>bytes</MaxFileSize>
//     <MaxFiles>count</MaxFiles>
//   </Log>
// Every element is optional. Returns false, with `problem` set, when the text
// is not such a document or a value is out of range; `config` is then only
// partly filled and must not be used.
bool ParseLogConfig(const std::string& text, LogConfig* config, std::string* problem);

}  // namespace quillet
