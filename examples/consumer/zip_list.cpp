// zip_list ARCHIVE: lists the entries of a ZIP or JAR archive with libqmxarc.
//
// The ZIP component lists an existing archive when its Switch is swRead:
// Compress() then only reads the central directory (or, when that is
// damaged, the local headers) and raises OnRead once per entry, with the
// entry's facts in ListedEntry(). Nothing is written.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "archive/base/errors.h"
#include "archive/zip/zip_writer.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: zip_list ARCHIVE\n");
    return 2;
  }

  qmx::TZip zip;
  zip.SetArchiveFile(argv[1]);
  zip.Switch = qmx::swRead;

  // Components report errors through OnError instead of throwing.
  bool failed = false;
  zip.OnError = [&](qmx::TZipCommon&, const std::string& file, const std::string& detail,
                    const std::string&, int code) {
    std::fprintf(stderr, "zip_list: %s: %s %s\n", file.empty() ? argv[1] : file.c_str(),
                 qmx::ErrorMessage(code).c_str(), detail.c_str());
    failed = true;
  };

  std::printf("%12s %12s  %-10s %s\n", "Size", "Packed", "Method", "Name");
  zip.OnRead = [&](qmx::TZipCommon&, int, int) {
    const qmx::TZipListedEntry& e = zip.ListedEntry();
    std::printf("%12" PRId64 " %12" PRId64 "  %-10s %s\n", e.UnpackedSize, e.PackedSize,
                e.MethodName.c_str(), e.FileName.c_str());
  };

  const int listed = zip.Compress();
  std::printf("%d entries\n", listed);
  return failed ? 1 : 0;
}
