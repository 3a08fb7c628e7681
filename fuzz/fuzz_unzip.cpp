// The ZIP reader over arbitrary files: detection, the central directory and
// local-scan walks, local header checks, passwords and every decoder, in a
// test run (nothing is written). Damaged-archive prompts are unassigned, so
// the local-scan mode runs too.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "archive/zip/zip_reader.h"

namespace {

const std::string& TempName() {
  static const std::string name = "/tmp/qmx-fuzz-unzip-" + std::to_string(::getpid()) + ".zip";
  return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& name = TempName();
  if (std::FILE* f = std::fopen(name.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  qmx::TUnZip unzip;
  unzip.SetArchiveFile(name);
  if (unzip.ArchiveFile().empty()) return 0;
  unzip.SetFileSpec({"*.*"});
  unzip.SetPasswords({"secret", "password", "test"});
  unzip.PasswordAttempts = 1;
  int errors = 0;
  unzip.OnError = [&](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                      int) { ++errors; };
  unzip.Test();
  return 0;
}
