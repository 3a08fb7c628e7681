// The ZIP reader over arbitrary files: detection, the central directory and
// local-scan walks, local header checks, passwords and every decoder, in a
// test run that decodes into nothing. The input lives in a memory file
// (memfd) that the reader opens by its /proc path, so no run touches the
// disk. Damaged-archive prompts are unassigned, so the local-scan mode
// runs too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/zip/zip_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-unzip.zip");
  if (!file.Fill(data, size)) return 0;
  qmx::TUnZip unzip;
  unzip.SetArchiveFile(file.Path());
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
