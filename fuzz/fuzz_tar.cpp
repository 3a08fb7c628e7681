// The tar reader over arbitrary files: the header walk, GNU long names,
// pax records, base-256 sizes and the copy of each entry, in a test run
// that writes nothing. The input lives in a memory file (memfd).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/tar/tar_reader.h"

namespace {

struct TMemoryFile {
  int Fd = ::memfd_create("fuzz-tar.tar", MFD_CLOEXEC);
  std::string Path = "/proc/self/fd/" + std::to_string(Fd);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TMemoryFile file;
  if (file.Fd < 0 || ::ftruncate(file.Fd, 0) != 0) return 0;
  if (size && ::pwrite(file.Fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  qmx::TUnTar tar;
  tar.SetArchiveFile(file.Path);
  if (tar.ArchiveFile().empty()) return 0;
  tar.SetFileSpec({"*.*"});
  tar.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                   int) {};
  tar.Test();
  return 0;
}
