// The gzip reader over arbitrary files: member headers, concatenated
// members, compress data, and a tar found inside, which is tested through
// a temporary file of its own.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/formats/gzip/gzip_reader.h"

namespace {

struct TMemoryFile {
  int Fd = ::memfd_create("fuzz-gzip.gz", MFD_CLOEXEC);
  std::string Path = "/proc/self/fd/" + std::to_string(Fd);
};

std::string TempFolder() {
  char tmpl[] = "/tmp/qmx-fuzz-gzip-XXXXXX";
  const char* dir = ::mkdtemp(tmpl);
  return dir ? dir : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TMemoryFile file;
  static const std::string temp = TempFolder();
  if (file.Fd < 0 || ::ftruncate(file.Fd, 0) != 0) return 0;
  if (size && ::pwrite(file.Fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  qmx::TUnGZip gz;
  gz.SetArchiveFile(file.Path);
  if (gz.ArchiveFile().empty()) return 0;
  gz.SetTempDir(temp);
  gz.SetFileSpec({"*.*"});
  gz.OnNestedTarFile = [](qmx::TZipCommon&, const std::string&, bool& doUnTar) { doUnTar = true; };
  gz.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int) {};
  gz.Test();
  return 0;
}
