// Updating a hostile existing archive: its directory (or local headers) is
// read, kept entries are copied, and one small file is added.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "archive/platform/files.h"
#include "archive/zip/zip_writer.h"

namespace {

std::string Dir() {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/qmxfuzzXXXXXX";
    std::string d = ::mkdtemp(tmpl) ? tmpl : "/tmp";
    d += "/";
    qmx::CreateDir(d + "src");
    if (FILE* f = std::fopen((d + "src/small.txt").c_str(), "wb")) {
      std::fputs("small file added to the archive\n", f);
      std::fclose(f);
    }
    return d;
  }();
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string archive = Dir() + "input.zip";
  if (FILE* f = std::fopen(archive.c_str(), "wb")) {
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  qmx::TZip zip;
  zip.SetArchiveFile(archive);
  zip.SetFileSpec({Dir() + "src/*.*"});
  zip.SetTempDir(Dir());
  zip.OnReplaceFile = [](qmx::TZipCommon&, const std::string&, const std::string&, qmx::TDateTime,
                         qmx::TDateTime, std::int64_t, std::int64_t, int, int,
                         bool& Replace) { Replace = true; };
  zip.Compress();
  qmx::DeleteFile(archive);
  return 0;
}
