#include "archive/formats/lha/lha_format.h"

#include <memory>
#include <string>

#include "archive/base/format_registry.h"
#include "archive/formats/lha/lha_reader.h"
#include "archive/formats/lha/lha_writer.h"

namespace qmx {

namespace {

constexpr const char* kLhaNames[] = {"Stored",   "Frozen-1", "Frozen-2", "Frozen-3",
                                     "Frozen-4", "Frozen-5", "Frozen-6", "Frozen-7"};

std::string LhaMethodName(int method, std::uint16_t, bool, const std::string&, int) {
  // Method codes are the digit of the method id ("-lh5-").
  const char* found = method == 100 ? kMethodDir : MethodFromTable(kLhaNames, method, '0');
  return found ? found : kMethodUnsupported;
}

}  // namespace

void RegisterLhaFormats() {
  TFormatRegistry& reg = TFormatRegistry::Instance();
  struct TLhaType {
    TArcType Type;
    const char* DisplayName;
    const char* Extension;
    bool SelfExtractor;
  };
  const TLhaType types[] = {
      {atLha, "LHA archive", ".lha", false},
      {atLhaExe, "self-extracting LHA archive", ".exe", true},
      {atLzh, "LZH archive", ".lzh", false},
      {atLzhExe, "self-extracting LZH archive", ".exe", true},
  };
  for (const TLhaType& t : types) {
    reg.Add(ReaderRow<TUnLha>(t.Type, t.DisplayName, {t.Extension}, "TUnLha", LhaMethodName,
                              t.SelfExtractor));
  }

  TWriterRow writer;
  writer.Type = tyLzh;
  writer.Names = {"lzh", "lha"};
  writer.WriterName = "TLha";
  writer.Method = cmFrozen6;
  writer.DefaultExt = ".LHA";
  writer.Create = [] { return std::make_unique<TLha>(); };
  reg.AddWriter(std::move(writer));
}

}  // namespace qmx
