// The Cabinet reader over arbitrary files: our adapter between libmspack
// and our streams (offsets, seeks past the end, the allocation cap, sets
// whose next cabinet is missing) in a test run that writes nothing.
// libmspack itself is not instrumented. The input lives in a memfd.
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/cab/cab_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-cab.cab");
  if (!file.Fill(data, size)) return 0;
  qmx::TUnCab cab;
  cab.SetArchiveFile(file.Path());
  if (cab.ArchiveFile().empty()) return 0;
  cab.SetFileSpec({"*.*"});
  cab.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                   int) {};
  cab.Test();
  return 0;
}
