#include "archive/formats/uu/uu_format.h"

#include <memory>

#include "archive/base/format_registry.h"
#include "archive/formats/uu/uu_reader.h"

namespace qmx {

void RegisterUuFormats() {
  TFormatRow row;
  row.Type = atUUE;
  row.DisplayName = "uuencoded text";
  row.Extensions = {".uue", ".uu", ".xxe", ".b64"};
  row.RealArchive = row.CanExtract = row.CanTest = true;
  row.ConvertReaderName = row.TestReaderName = "TUUDecode";
  row.ConvertReader = [] { return std::unique_ptr<TUnBase>(std::make_unique<TUUDecode>()); };
  // The checker's inner readers all get its comment buffer.
  row.TestReader = [] {
    std::unique_ptr<TUnBase> r = std::make_unique<TUUDecode>();
    r->SetZipCmntBufSize(32000);
    return r;
  };
  TFormatRegistry::Instance().Add(std::move(row));
}

}  // namespace qmx
