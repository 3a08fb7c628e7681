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
  TFormatRow gz;
  gz.Type = atGZip;
  gz.DisplayName = "GZip file";
  gz.Extensions = {".gz", ".tgz", ".z"};
  gz.RealArchive = gz.CanExtract = gz.CanTest = true;
  gz.ConvertReaderName = gz.TestReaderName = "TUnGZip";
  gz.MethodName = GZipMethodName;
  gz.ConvertReader = [] { return std::unique_ptr<TUnBase>(std::make_unique<TUnGZip>()); };
  // The checker's inner readers all get its comment buffer.
  gz.TestReader = [] {
    std::unique_ptr<TUnBase> r = std::make_unique<TUnGZip>();
    r->SetZipCmntBufSize(32000);
    return r;
  };
  TFormatRegistry::Instance().Add(gz);
}

}  // namespace qmx
