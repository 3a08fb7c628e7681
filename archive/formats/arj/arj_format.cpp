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
    TFormatRow row;
    row.Type = t.Type;
    row.DisplayName = t.DisplayName;
    row.Extensions = {t.Extension};
    row.RealArchive = row.CanExtract = row.CanTest = true;
    row.SelfExtractor = t.SelfExtractor;
    row.ConvertReaderName = row.TestReaderName = "TUnARJ";
    row.MethodName = ArjMethodName;
    // Volumes ".a01", ".a02" ... follow the plain archive; a self-extracting
    // set has no documented naming (the reader still finds ".a01").
    if (!t.SelfExtractor) {
      row.VolumeLetter = 'a';
      row.VolumeFamilyExt = ".Arj";
    }
    row.ConvertReader = [] { return std::unique_ptr<TUnBase>(std::make_unique<TUnARJ>()); };
    // The checker's inner readers all get its comment buffer.
    row.TestReader = [] {
      std::unique_ptr<TUnBase> r = std::make_unique<TUnARJ>();
      r->SetZipCmntBufSize(32000);
      return r;
    };
    reg.Add(std::move(row));
  }
}

}  // namespace qmx
