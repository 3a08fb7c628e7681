#include "archive/formats/arc/arc_format.h"

#include <memory>
#include <string>

#include "archive/base/format_registry.h"
#include "archive/formats/arc/arc_reader.h"

namespace qmx {

namespace {

constexpr const char* kArcNames[] = {"Stored",   "Stored",   "Packed",   "Squeezed",
                                     "Crunched", "Crunched", "Squashed", "Pack10",
                                     "Pack11",   "Pack12",   "Stored"};

std::string ArcMethodName(int method, std::uint16_t, bool isDir, const std::string&, int) {
  const char* found = MethodFromTable(kArcNames, method, 1);
  if (!found && isDir) found = kMethodDir;
  return found ? found : kMethodUnsupported;
}

}  // namespace

void RegisterArcFormats() {
  TFormatRegistry& reg = TFormatRegistry::Instance();
  struct TArcRow {
    TArcType Type;
    const char* DisplayName;
    bool SelfExtractor;
  };
  const TArcRow types[] = {
      {atArc, "ARC archive", false},
      {atArcExe, "self-extracting ARC archive", true},
  };
  for (const TArcRow& t : types) {
    reg.Add(ReaderRow<TUnArc>(t.Type, t.DisplayName, {t.SelfExtractor ? ".exe" : ".arc"},
                              "TUnArc", ArcMethodName, t.SelfExtractor));
  }
}

}  // namespace qmx
