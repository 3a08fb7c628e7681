#include "archive/formats/arj/arj_format.h"

#include <memory>
#include <string>

#include "archive/base/format_registry.h"
#include "archive/formats/arj/arj_reader.h"

namespace qmx {

namespace {

constexpr const char* kArjNames[] = {"Stored", "Most", "2nd Most", "2nd Fast"};

std::string ArjMethodName(int method, std::uint16_t, bool isDir, const std::string&, int) {
  const char* found = MethodFromTable(kArjNames, method, 0);
  if (!found && isDir) found = kMethodDir;
  return found ? found : kMethodUnsupported;
}

}  // namespace

void RegisterArjFormats() {
  TFormatRegistry& reg = TFormatRegistry::Instance();
  struct TArjType {
    TArcType Type;
    const char* DisplayName;
    const char* Extension;
    bool SelfExtractor;
  };
  const TArjType types[] = {
      {atArj, "ARJ archive", ".arj", false},
      {atArjExe, "self-extracting ARJ archive", ".exe", true},
  };
  for (const TArjType& t : types) {
    TFormatRow row = ReaderRow<TUnARJ>(t.Type, t.DisplayName, {t.Extension}, "TUnARJ",
                                       ArjMethodName, t.SelfExtractor);
    // Volumes ".a01", ".a02" ... follow the plain archive; a self-extracting
    // set has no documented naming (the reader still finds ".a01").
    if (!t.SelfExtractor) {
      row.VolumeLetter = 'a';
      row.VolumeFamilyExt = ".Arj";
    }
    reg.Add(std::move(row));
  }
}

}  // namespace qmx
