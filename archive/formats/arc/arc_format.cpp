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
    TFormatRow row;
    row.Type = t.Type;
    row.DisplayName = t.DisplayName;
    row.Extensions = {t.SelfExtractor ? ".exe" : ".arc"};
    row.RealArchive = row.CanExtract = row.CanTest = true;
    row.SelfExtractor = t.SelfExtractor;
    row.ConvertReaderName = row.TestReaderName = "TUnArc";
    row.MethodName = ArcMethodName;
    row.ConvertReader = [] { return std::unique_ptr<TUnBase>(std::make_unique<TUnArc>()); };
    // The checker's inner readers all get its comment buffer.
    row.TestReader = [] {
      std::unique_ptr<TUnBase> r = std::make_unique<TUnArc>();
      r->SetZipCmntBufSize(32000);
      return r;
    };
    reg.Add(std::move(row));
  }
}

}  // namespace qmx
