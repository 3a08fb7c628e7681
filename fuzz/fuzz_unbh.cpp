// The BH reader over arbitrary files: the header walk, self-extractor
// offsets, stored, fused and deflated data and the traditional cipher (a
// password is set, so encrypted entries are decoded too), in a test run
// that writes nothing. The input lives in a memory file (memfd).
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/bh/bh_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-bh.bh");
  if (!file.Fill(data, size)) return 0;
  qmx::TUnBh bh;
  bh.SetArchiveFile(file.Path());
  if (bh.ArchiveFile().empty()) return 0;
  bh.SetFileSpec({"*.*"});
  bh.Password = "secret";
  bh.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int) {};
  bh.Test();
  return 0;
}
