#pragma once

// The file a recording is written to: a POSIX descriptor with the few
// operations the muxer's I/O needs. Virtual so that tests can put a failing
// disk under a recording.

#include <cstdint>
#include <string>

namespace plenova {

class FileOutput {
 public:
  FileOutput() = default;
  virtual ~FileOutput();
  FileOutput(const FileOutput&) = delete;
  FileOutput& operator=(const FileOutput&) = delete;

  // Creates or truncates `path` for writing; false with the system's text in
  // `error`.
  virtual bool Open(const std::string& path, std::string* error);
  // Writes all of `data`; the bytes written, or a negative errno.
  virtual int Write(const uint8_t* data, int size);
  // lseek semantics; the new offset or a negative errno.
  virtual int64_t Seek(int64_t offset, int whence);
  // Cuts the file to `size` bytes; false on failure.
  bool Truncate(int64_t size);
  // Flushes the file to the device; false on failure.
  bool Sync();
  void Close();
  // The end of the data written so far.
  int64_t Size() const { return size_; }

 protected:
  int fd_ = -1;
  int64_t position_ = 0;
  int64_t size_ = 0;
};

}  // namespace plenova
