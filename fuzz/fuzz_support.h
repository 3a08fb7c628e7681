// The input of a reader's fuzz target as a memory file (memfd) that the
// reader opens by its /proc path, so no run touches the disk.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace qmx::fuzz {

class TMemoryFile {
 public:
  explicit TMemoryFile(const char* name)
      : fd_(::memfd_create(name, MFD_CLOEXEC)), path_("/proc/self/fd/" + std::to_string(fd_)) {}

  // Replaces the contents; false when the file cannot hold them.
  bool Fill(const std::uint8_t* data, std::size_t size) const {
    if (fd_ < 0 || ::ftruncate(fd_, 0) != 0) return false;
    return size == 0 || ::pwrite(fd_, data, size, 0) == static_cast<ssize_t>(size);
  }
  const std::string& Path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

}  // namespace qmx::fuzz
