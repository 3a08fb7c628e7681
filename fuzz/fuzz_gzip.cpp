// The gzip reader over arbitrary files: member headers, concatenated
// members, compress data, and a tar found inside, which is tested through
// a temporary file of its own.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "archive/formats/gzip/gzip_reader.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string TempFolder() {
  char tmpl[] = "/tmp/qmx-fuzz-gzip-XXXXXX";
  const char* dir = ::mkdtemp(tmpl);
  return dir ? dir : "/tmp";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const qmx::fuzz::TMemoryFile file("fuzz-gzip.gz");
  static const std::string temp = TempFolder();
  if (!file.Fill(data, size)) return 0;
  qmx::TUnGZip gz;
  gz.SetArchiveFile(file.Path());
  if (gz.ArchiveFile().empty()) return 0;
  gz.SetTempDir(temp);
  gz.SetFileSpec({"*.*"});
  gz.OnNestedTarFile = [](qmx::TZipCommon&, const std::string&, bool& doUnTar) { doUnTar = true; };
  gz.OnError = [](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                  int) {};
  gz.Test();
  return 0;
}
