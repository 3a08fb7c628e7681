// The encoded-text reader over arbitrary texts: header lines, the choice
// of algorithm, uu/xx/Base64 lines of any shape, in a test run that writes
// nothing. A text that asks for a further part finds none.
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/uu/uu_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-uu.uue");
  if (!file.Fill(data, size)) return 0;
  qmx::TUUDecode uu;
  uu.SetArchiveFile(file.Path());
  if (uu.ArchiveFile().empty()) return 0;
  uu.SetFileSpec({"*.*"});
  uu.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int) {};
  uu.Test();
  return 0;
}
