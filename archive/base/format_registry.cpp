#include "archive/base/format_registry.h"

#include "archive/base/extract_framework.h"
#include "archive/base/names.h"
#include "archive/platform/ascii.h"

namespace qmx {

TFormatRegistry::TFormatRegistry() : FRows(kArcTypeCount), FWriters(kOutArcTypeCount) {
  for (int t = 0; t < kArcTypeCount; ++t) FRows[t].Type = static_cast<TArcType>(t);
  for (int t = 0; t < kOutArcTypeCount; ++t) FWriters[t].Type = static_cast<TOutArcType>(t);
}

TFormatRegistry& TFormatRegistry::Instance() {
  static TFormatRegistry registry;
  return registry;
}

void TFormatRegistry::Add(TFormatRow row) {
  if (row.Type < kArcTypeCount) FRows[row.Type] = std::move(row);
}

void TFormatRegistry::AddWriter(TWriterRow row) {
  if (row.Type < kOutArcTypeCount) FWriters[row.Type] = std::move(row);
}

const TFormatRow& TFormatRegistry::Row(TArcType t) const {
  static const TFormatRow kNone;
  return t < kArcTypeCount ? FRows[t] : kNone;
}

const TWriterRow* TFormatRegistry::Writer(TOutArcType t) const {
  return t < kOutArcTypeCount ? &FWriters[t] : nullptr;
}

const TWriterRow* TFormatRegistry::WriterByName(const std::string& typeName) const {
  const std::string n = LowerAscii(typeName);
  for (const TWriterRow& w : FWriters)
    for (const std::string& name : w.Names)
      if (n == name) return &w;
  return nullptr;
}

const TWriterRow* TFormatRegistry::WriterForFile(const std::string& fileName) const {
  const std::string n = LowerAscii(ExtractFileName(fileName));
  const TWriterRow* best = nullptr;
  std::size_t bestLength = 0;
  for (const TWriterRow& w : FWriters) {
    for (const std::string& name : w.Names) {
      const std::string ending = "." + name;
      if (n.size() < ending.size() || ending.size() <= bestLength ||
          n.compare(n.size() - ending.size(), ending.size(), ending) != 0)
        continue;
      best = &w;
      bestLength = ending.size();
    }
  }
  return best;
}

std::unique_ptr<TUnBase> CreateConvertReader(TArcType t) {
  const TFormatRow& row = FormatOf(t);
  return row.ConvertReader ? row.ConvertReader() : nullptr;
}

std::unique_ptr<TUnBase> CreateTestReader(TArcType t) {
  const TFormatRow& row = FormatOf(t);
  return row.TestReader ? row.TestReader() : nullptr;
}

std::unique_ptr<TCompBase> CreateWriter(TOutArcType t) {
  const TWriterRow* row = TFormatRegistry::Instance().Writer(t);
  if (!row || !row->Create) return nullptr;
  std::unique_ptr<TCompBase> writer = row->Create();
  writer->SetCompressMethod(row->Method);
  return writer;
}

std::string DeflateNameByFlags(std::uint16_t flags, bool deflate64) {
  static constexpr const char* kDeflate[] = {"DeflateN", "DeflateX", "DeflateF", "DeflateS"};
  static constexpr const char* kDeflate64[] = {"Def-64N", "Def-64X", "Def-64F", "Def-64S"};
  const int i = (flags & 6) >> 1;
  return deflate64 ? kDeflate64[i] : kDeflate[i];
}

// The listing name of a method, by the archive's type.
std::string MethodName(TArcType type, int method, std::uint16_t flags, bool isDir,
                       const std::string& name, int aesMethod) {
  const TFormatRow& row = FormatOf(type);
  return row.MethodName ? row.MethodName(method, flags, isDir, name, aesMethod)
                        : std::string(kMethodUnsupported);
}

}  // namespace qmx
