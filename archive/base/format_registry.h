// One table of what each archive type is: its names, which reader the
// converter and the checker create for it, which writer makes it, whether it
// can be extracted or tested, whether it has a self-extracting form, and how
// its listings name methods. Each format folder contributes its own rows
// (zip/zip_format.cpp, formats/...); convert/builtin_formats.cpp is the list
// of those contributions. Everything that used to switch on the type reads
// this table instead.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "archive/base/compress_framework.h"
#include "archive/base/extract_framework.h"
#include "archive/base/types.h"

namespace qmx {

class TUnBase;

// The converter's output types.
enum TOutArcType : std::uint8_t { tyBh, tyCab, tyLzh, tyZip, tyTar, tyTarGzip, tyJar };
inline constexpr int kOutArcTypeCount = 7;

// Method name for a listing: method and general-purpose flags of the entry,
// whether it is a directory, its current name (tar tells directories by
// it), and the real method an AES field records (ZIP method 99), -1 when
// none.
using TMethodNamer = std::function<std::string(int method, std::uint16_t flags, bool isDir,
                                               const std::string& name, int aesMethod)>;
using TReaderFactory = std::function<std::unique_ptr<TUnBase>()>;
using TWriterFactory = std::function<std::unique_ptr<TCompBase>()>;

struct TFormatRow {
  TArcType Type = atNA;
  std::string DisplayName;
  // Usual extensions, lower case with the dot (".zip").
  TStrings Extensions;
  // False only for the values that name no archive at all (atNA,
  // atUnsupported, atFileOpenErr, atUnknown).
  bool RealArchive = false;
  // Whether the extraction framework takes the type (the converter's
  // extractable set), and whether the checker does.
  bool CanExtract = false;
  bool CanTest = false;
  // An executable stub precedes the archive; a writer updating it copies
  // the stub first.
  bool SelfExtractor = false;
  // The reader class each of them names for the type ("" for none), and the
  // factory once that reader is built; a type whose factory is empty answers
  // "Invalid or unsupported archive type for this operation".
  std::string ConvertReaderName;
  TReaderFactory ConvertReader;
  std::string TestReaderName;
  TReaderFactory TestReader;
  // Empty: every method is "Unsupported".
  TMethodNamer MethodName;
  // The reader's library opens the archive itself; the framework does not.
  bool ReadByLibrary = false;
  // Multi-volume naming: the letter that starts a volume's extension and
  // the family's extension assumed for a name without one; no letter, no
  // volume naming.
  char VolumeLetter = 0;
  std::string VolumeFamilyExt;
};

// The comment buffer the checker gives each inner reader.
inline constexpr int kCheckerCommentBuf = 32000;

// The row of a type that Reader (named readerName) extracts and tests: a
// real archive in both tables, the checker's copy with its comment buffer.
template <typename Reader>
TFormatRow ReaderRow(TArcType type, std::string displayName, TStrings extensions,
                     std::string readerName, TMethodNamer namer, bool selfExtractor = false) {
  TFormatRow row;
  row.Type = type;
  row.DisplayName = std::move(displayName);
  row.Extensions = std::move(extensions);
  row.RealArchive = row.CanExtract = row.CanTest = true;
  row.SelfExtractor = selfExtractor;
  row.ConvertReaderName = row.TestReaderName = std::move(readerName);
  row.MethodName = std::move(namer);
  row.ConvertReader = [] { return std::unique_ptr<TUnBase>(std::make_unique<Reader>()); };
  row.TestReader = [] {
    std::unique_ptr<TUnBase> r = std::make_unique<Reader>();
    r->SetZipCmntBufSize(kCheckerCommentBuf);
    return r;
  };
  return row;
}

struct TWriterRow {
  TOutArcType Type = tyBh;
  // Names a user may give the type (--type, or a destination's extension
  // without the dot), the first being the usual one: "lzh", "lha".
  TStrings Names;
  std::string WriterName;
  // The compression method set on a fresh writer, and the extension the
  // writer adds to a name without one.
  TCompressMethod Method = cmDeflate;
  std::string DefaultExt;
  // Empty until the writer is built.
  TWriterFactory Create;
};

class TFormatRegistry {
 public:
  static TFormatRegistry& Instance();

  // Replaces the row of the same type.
  void Add(TFormatRow row);
  void AddWriter(TWriterRow row);

  // Every TArcType has a row; one never added says nothing is known.
  const TFormatRow& Row(TArcType t) const;
  // nullptr for a value out of range.
  const TWriterRow* Writer(TOutArcType t) const;
  // The writer a name stands for: a type name ("tgz") or a file name whose
  // ending is one (".tar.gz" beats ".gz"); ASCII case is ignored.
  const TWriterRow* WriterByName(const std::string& typeName) const;
  const TWriterRow* WriterForFile(const std::string& fileName) const;

 private:
  TFormatRegistry();
  std::vector<TFormatRow> FRows;
  std::vector<TWriterRow> FWriters;
};

inline const TFormatRow& FormatOf(TArcType t) {
  return TFormatRegistry::Instance().Row(t);
}

// Reader for a type as the converter or the checker creates it; nullptr
// when the type has none.
std::unique_ptr<TUnBase> CreateConvertReader(TArcType t);
std::unique_ptr<TUnBase> CreateTestReader(TArcType t);
// Writer for an output type with its method set; nullptr when not built.
std::unique_ptr<TCompBase> CreateWriter(TOutArcType t);

// Pieces several formats' method namers share.
std::string DeflateNameByFlags(std::uint16_t flags, bool deflate64);
inline constexpr const char kMethodUnsupported[] = "Unsupported";
inline constexpr const char kMethodDir[] = "<Dir>";
// Name from a table whose first entry belongs to method `first`.
template <std::size_t N>
const char* MethodFromTable(const char* const (&names)[N], int method, int first) {
  if (method < first || method >= first + static_cast<int>(N)) return nullptr;
  return names[method - first];
}

}  // namespace qmx
