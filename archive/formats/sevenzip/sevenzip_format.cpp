#include "archive/formats/sevenzip/sevenzip_format.h"

#include <string>

#include "archive/base/format_registry.h"
#include "archive/codec/sevenzip_coders.h"

namespace qmx {

void RegisterSevenZipFormats() {
  TFormatRow row = ReaderRow<TUn7z>(
      at7z, "7z archive", {".7z"}, "TUn7z",
      [](int method, std::uint16_t, bool isDir, const std::string&, int) -> std::string {
        if (isDir) return kMethodDir;
        // A method is a 7z coder id; one this library decodes has its name.
        T7zCoder coder;
        coder.MethodId = static_cast<std::uint64_t>(method);
        return method >= 0 && Is7zCoderSupported(coder) ? SevenZipCoderName(coder)
                                                        : std::string(kMethodUnsupported);
      });
  // The reader opens the volumes itself.
  row.ReadByLibrary = true;
  TFormatRegistry::Instance().Add(std::move(row));
}

}  // namespace qmx
