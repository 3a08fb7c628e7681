// The tar reader over arbitrary files: the header walk, GNU long names,
// pax records, base-256 sizes and the copy of each entry, in a test run
// that writes nothing. The input lives in a memory file (memfd).
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/tar/tar_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-tar.tar");
  if (!file.Fill(data, size)) return 0;
  qmx::TUnTar tar;
  tar.SetArchiveFile(file.Path());
  if (tar.ArchiveFile().empty()) return 0;
  tar.SetFileSpec({"*.*"});
  tar.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                   int) {};
  tar.Test();
  return 0;
}
