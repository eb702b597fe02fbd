#include "tarvane/FileOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace plenova {

FileOutput::~FileOutput() { Close(); }

bool FileOutput::Open(const std::string& path, std::string* error) {
  Close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    if (error != nullptr) *error = std::strerror(errno);
    return false;
  }
  position_ = 0;
  size_ = 0;
  return true;
}

int FileOutput::Write(const uint8_t* data, int size) {
  if (fd_ < 0) return -EBADF;
  int done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd_, data + done, static_cast<size_t>(size - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -errno;
    }
    if (n == 0) return -ENOSPC;
    done += static_cast<int>(n);
    position_ += n;
    size_ = std::max(size_, position_);
  }
  return done;
}

int64_t FileOutput::Seek(int64_t offset, int whence) {
  if (fd_ < 0) return -EBADF;
  const off_t result = ::lseek(fd_, offset, whence);
  if (result < 0) return -errno;
  position_ = result;
  return result;
}

bool FileOutput::Truncate(int64_t size) {
  if (fd_ < 0 || ::ftruncate(fd_, size) != 0) return false;
  size_ = size;
  position_ = std::min(position_, size);
  return true;
}

bool FileOutput::Sync() { return fd_ >= 0 && ::fsync(fd_) == 0; }

void FileOutput::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace plenova
