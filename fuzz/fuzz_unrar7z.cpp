// The RAR and 7z readers over arbitrary files: detection's offset, the
// volume checks of the headers, libarchive's entry walk and the copy of
// each entry through the framework, in a test run that writes nothing.
// libarchive itself is not instrumented; what is checked is our side.
#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/formats/libarchive/rar_format.h"
#include "archive/formats/sevenzip/sevenzip_format.h"
#include "fuzz/fuzz_support.h"

namespace {

template <class TReader>
void TestWith(const qmx::fuzz::TMemoryFile& file) {
  TReader reader;
  reader.SetArchiveFile(file.Path());
  if (reader.ArchiveFile().empty()) return;
  reader.SetFileSpec({"*.*"});
  reader.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                      int) {};
  reader.Test();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-unrar7z");
  if (!file.Fill(data, size)) return 0;
  TestWith<qmx::TUnRar>(file);
  TestWith<qmx::TUn7z>(file);
  return 0;
}
