// The ZIP reader over arbitrary files: detection, the central directory and
// local-scan walks, local header checks, passwords and every decoder, in a
// test run that decodes into nothing. The input lives in a memory file
// (memfd) that the reader opens by its /proc path, so no run touches the
// disk. Damaged-archive prompts are unassigned, so the local-scan mode
// runs too.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/zip/zip_reader.h"

namespace {

struct TMemoryFile {
  int Fd = ::memfd_create("fuzz-unzip.zip", MFD_CLOEXEC);
  std::string Path = "/proc/self/fd/" + std::to_string(Fd);
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const TMemoryFile file;
  if (file.Fd < 0 || ::ftruncate(file.Fd, 0) != 0) return 0;
  if (size && ::pwrite(file.Fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  qmx::TUnZip unzip;
  unzip.SetArchiveFile(file.Path);
  if (unzip.ArchiveFile().empty()) return 0;
  unzip.SetFileSpec({"*.*"});
  // One password: each AES entry derives its key once per password tried.
  unzip.SetPasswords({"secret"});
  unzip.PasswordAttempts = 1;
  int errors = 0;
  unzip.OnError = [&](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                      int) { ++errors; };
  unzip.Test();
  return 0;
}
