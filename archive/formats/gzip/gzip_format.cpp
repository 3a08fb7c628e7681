#include "archive/formats/gzip/gzip_format.h"

#include <memory>
#include <string>

#include "archive/base/format_registry.h"
#include "archive/formats/gzip/gzip_reader.h"

namespace qmx {

namespace {

std::string GZipMethodName(int method, std::uint16_t, bool, const std::string&, int) {
  switch (method) {
    case 0:
      return "Stored";
    case 8:
      return "Deflate";
    case 144:
      return "LzwMAGIC";
    case 0x1E1F:
      return "PackMAGIC";
    case 0xA01F:
      return "LzhMAGIC";
    default:
      return kMethodUnsupported;
  }
}

}  // namespace

void RegisterGZipFormats() {
  TFormatRegistry::Instance().Add(ReaderRow<TUnGZip>(atGZip, "GZip file", {".gz", ".tgz", ".z"},
                                                     "TUnGZip", GZipMethodName));
}

}  // namespace qmx
