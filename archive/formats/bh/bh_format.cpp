#include "archive/formats/bh/bh_format.h"

#include <string>

#include "archive/base/format_registry.h"

namespace qmx {

namespace {

constexpr const char* kBhNames[] = {"Stored", "Fused1", "Deflate", "Fused3"};

std::string BhMethodName(int method, std::uint16_t flags, bool, const std::string&, int) {
  if (method == 8) return DeflateNameByFlags(flags, false);
  const char* found = MethodFromTable(kBhNames, method, 0);
  return found ? found : kMethodUnsupported;
}

}  // namespace

void RegisterBhFormats() {
  TFormatRegistry& reg = TFormatRegistry::Instance();
  for (const bool exe : {false, true}) {
    TFormatRow row;
    row.Type = exe ? atBhExe : atBh;
    row.DisplayName = exe ? "self-extracting BH archive" : "BH archive";
    row.Extensions = {exe ? ".exe" : ".bh"};
    row.RealArchive = row.CanExtract = row.CanTest = true;
    row.SelfExtractor = exe;
    row.ConvertReaderName = row.TestReaderName = "TUnBh";
    row.MethodName = BhMethodName;
    reg.Add(std::move(row));
  }

  TWriterRow writer;
  writer.Type = tyBh;
  writer.Names = {"bh"};
  writer.WriterName = "TBlakHole";
  writer.Method = cmDeflate;
  writer.DefaultExt = ".BH";
  reg.AddWriter(std::move(writer));
}

}  // namespace qmx
