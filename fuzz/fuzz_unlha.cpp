// The LHA reader over arbitrary files: header levels 0 to 3, extended
// headers, the search behind a stub and every decoder, in a test run that
// writes nothing. The input lives in a memory file (memfd).
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/lha/lha_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-lha.lzh");
  if (!file.Fill(data, size)) return 0;
  qmx::TUnLha lha;
  lha.SetArchiveFile(file.Path());
  if (lha.ArchiveFile().empty()) return 0;
  lha.SetFileSpec({"*.*"});
  lha.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                   int) {};
  lha.Test();
  return 0;
}
