// The ARJ reader over arbitrary files: main and local headers, extended
// headers, the search behind a stub, every method and the garble (with a
// password, so garbled entries are decoded too), in a test run that writes
// nothing. The input lives in a memory file (memfd).
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/arj/arj_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-arj.arj");
  if (!file.Fill(data, size)) return 0;
  qmx::TUnARJ arj;
  arj.SetArchiveFile(file.Path());
  if (arj.ArchiveFile().empty()) return 0;
  arj.SetFileSpec({"*.*"});
  arj.SetPasswords({"secret"});
  arj.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                   int) {};
  arj.Test();
  return 0;
}
