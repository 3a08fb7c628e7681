#include "archive/formats/bh/bh_format.h"

#include <memory>
#include <string>

#include "archive/base/format_registry.h"
#include "archive/formats/bh/bh_reader.h"
#include "archive/formats/bh/bh_writer.h"

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
    reg.Add(ReaderRow<TUnBh>(exe ? atBhExe : atBh, exe ? "self-extracting BH archive" : "BH archive",
                             {exe ? ".exe" : ".bh"}, "TUnBh", BhMethodName, exe));
  }

  TWriterRow writer;
  writer.Type = tyBh;
  writer.Names = {"bh"};
  writer.WriterName = "TBlakHole";
  writer.Method = cmDeflate;
  writer.DefaultExt = ".BH";
  writer.Create = [] { return std::unique_ptr<TCompBase>(std::make_unique<TBlakHole>()); };
  reg.AddWriter(std::move(writer));
}

}  // namespace qmx
