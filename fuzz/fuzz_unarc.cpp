// The ARC reader over arbitrary files: the header walk and its search for
// lost headers, every method's decoder and the output cap, in a test run
// that writes nothing. The input lives in a memory file (memfd). ARC
// headers carry no check value, so changed fields reach the parser as they
// are.
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/arc/arc_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-arc.arc");
  if (!file.Fill(data, size)) return 0;
  qmx::TUnArc arc;
  arc.SetArchiveFile(file.Path());
  if (arc.ArchiveFile().empty()) return 0;
  arc.SetFileSpec({"*.*"});
  arc.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                   int) {};
  arc.Test();
  return 0;
}
