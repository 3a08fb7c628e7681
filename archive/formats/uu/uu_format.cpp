#include "archive/formats/uu/uu_format.h"

#include <memory>

#include "archive/base/format_registry.h"
#include "archive/formats/uu/uu_reader.h"

namespace qmx {

void RegisterUuFormats() {
  TFormatRegistry::Instance().Add(ReaderRow<TUUDecode>(
      atUUE, "uuencoded text", {".uue", ".uu", ".xxe", ".b64"}, "TUUDecode", nullptr));
}

}  // namespace qmx
