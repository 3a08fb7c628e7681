#include "archive/formats/cab/cab_format.h"

#include <memory>
#include <string>

#include "archive/base/format_registry.h"
#include "archive/formats/cab/cab_reader.h"
#include "archive/formats/cab/cab_writer.h"

namespace qmx {

namespace {

constexpr const char* kCabNames[] = {"Stored", "MsZIP", "Quantum", "Lzx"};

std::string CabMethodName(int method, std::uint16_t, bool, const std::string&, int) {
  const int kind = method & 0x0F;
  if (kind >= 4) return "Lzx" + std::to_string(kind);
  return kCabNames[kind];
}

}  // namespace

void RegisterCabFormats() {
  TFormatRegistry& reg = TFormatRegistry::Instance();
  // The converter names no reader for a self-extracting cabinet; the
  // checker tests both forms, so that a cabinet the converter has just
  // written can be tested like any other archive.
  struct TCabType {
    TArcType Type;
    const char* DisplayName;
    const char* Extension;
    bool SelfExtractor;
    const char* ConvertReader;
  };
  const TCabType types[] = {
      {atCab, "Cabinet", ".cab", false, "TUnCab"},
      {atCabExe, "self-extracting Cabinet", ".exe", true, ""},
  };
  for (const TCabType& t : types) {
    TFormatRow row = ReaderRow<TUnCab>(t.Type, t.DisplayName, {t.Extension}, "TUnCab",
                                       CabMethodName, t.SelfExtractor);
    row.ConvertReaderName = t.ConvertReader;
    if (row.ConvertReaderName.empty()) row.ConvertReader = nullptr;
    row.ReadByLibrary = true;
    reg.Add(std::move(row));
  }

  TWriterRow writer;
  writer.Type = tyCab;
  writer.Names = {"cab"};
  writer.WriterName = "TMakeCab";
  writer.Method = cmMsZip;
  writer.DefaultExt = ".CAB";
  writer.Create = [] { return std::make_unique<TMakeCab>(); };
  reg.AddWriter(std::move(writer));
}

}  // namespace qmx
