#pragma once

#include <cstdint>
#include <string>

namespace quillet {

// Settings read from Log.xml.
struct LogConfig {
  int level = 1;                       // 0 debug, 1 message, 2 warning, 3 error
  uint64_t max_file_size = 10u << 20;  // bytes per file before rotation
  int max_files = 5;                   // rotated files kept besides the current one
  bool ffmpeg_to_log = true;  // FFmpeg's messages go into this log (else: left to the host)
};

// Parses the text of a Log.xml with an XML parser (comments, character
// references and CDATA read as XML says):
//   <Log>
//     <Level>debug|message|warning|error</Level>
//     <MaxFileSize>bytes</MaxFileSize>
//     <MaxFiles>count</MaxFiles>
//     <FFmpegLog>engine|host</FFmpegLog>
//   </Log>
// Every element is optional; unknown elements are ignored. Returns false,
// with `problem` set, when the text is not such a document, a value is out
// of range or a setting is given twice; `config` is then only partly filled
// and must not be used.
bool ParseLogConfig(const std::string& text, LogConfig* config, std::string* problem);

}  // namespace quillet
