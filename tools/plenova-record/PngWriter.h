#pragma once

// Writes an I420 picture as a PNG file, through libswscale and libavcodec's
// PNG encoder. The file is written beside its final name and then renamed,
// so a viewer never sees half a picture.

#include <cstdint>
#include <string>

namespace plenova::record {

// `i420` holds width * height * 3 / 2 bytes. False with a reason in `error`.
bool WriteI420AsPng(const std::string& path, const uint8_t* i420, int width, int height,
                    std::string* error);

}  // namespace plenova::record
