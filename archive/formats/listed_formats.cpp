#include "archive/formats/listed_formats.h"

#include <string>

#include "archive/base/format_registry.h"

namespace qmx {

namespace {

template <std::size_t N>
TMethodNamer TableNamer(const char* const (&names)[N], int first, bool dirWhenUnknown) {
  return [&names, first, dirWhenUnknown](int method, std::uint16_t, bool isDir, const std::string&,
                                         int) -> std::string {
    const char* found = MethodFromTable(names, method, first);
    if (!found && isDir && dirWhenUnknown) found = kMethodDir;
    return found ? found : kMethodUnsupported;
  };
}

constexpr const char* kAceNames[] = {"Fastest", "Fast", "Normal", "Good", "Best"};
constexpr const char* kHaNames[] = {"Cpy", "Asc", "HSC"};
constexpr const char* kPakNames[] = {"Stored",   "RLE",     "Squeezed", "FixedLen", "FixedLen",
                                     "FixedLen", "Varible", "Varible",  "Crushed",  "Distill"};
constexpr const char* kZooNames[] = {"Stored", "Fastest", "Greatest"};

std::string HaMethodName(int method, std::uint16_t, bool, const std::string&, int) {
  if (method == 14) return kMethodDir;
  if (method == 15) return "Special";
  const char* found = MethodFromTable(kHaNames, method, 0);
  return found ? found : kMethodUnsupported;
}

struct TVolumeNaming {
  char Letter;
  const char* FamilyExt;
};
constexpr TVolumeNaming kAceVolumes{'C', ".Ace"};

struct TListed {
  TArcType Type;
  const char* DisplayName;
  TStrings Extensions;
  bool CanExtract, CanTest, SelfExtractor;
  const char* ConvertReader;
  const char* TestReader;
  TMethodNamer MethodName;
  // Their libraries open the archive themselves.
  bool ReadByLibrary = false;
  const TVolumeNaming* Volumes = nullptr;
};

}  // namespace

void RegisterListedFormats() {
  const TMethodNamer ace = TableNamer(kAceNames, 0, false);
  const TMethodNamer pak = TableNamer(kPakNames, 2, false);
  const TMethodNamer zoo = TableNamer(kZooNames, 0, false);
  // Type, name, extensions, extract, test, self-extractor, the converter's
  // reader, the checker's reader, method names, read by a library, volume
  // naming (self-extracting ACE archives have none).
  // clang-format off
  const TListed rows[] = {
      {atAce,     "ACE archive",                 {".ace"}, true,  true,  false, "TUnACE", "TUnACE", ace, true, &kAceVolumes},
      {atAceExe,  "self-extracting ACE archive", {".exe"}, true,  true,  true,  "",       "TUnACE", ace, true},
      {atHA,      "HA archive",                  {".ha"},  false, false, false, "",       "",       HaMethodName},
      {atMsGZ,    "Microsoft compressed file",   {},       false, false, false, "",       "",       nullptr},
      {atPak,     "PAK archive",                 {".pak"}, false, false, false, "",       "",       pak},
      {atPakExe,  "self-extracting PAK archive", {".exe"}, false, false, true,  "",       "",       pak},
      {atTarGZip, "GZip-compressed Tar archive", {".tgz", ".tar.gz"}, false, false, false, "", "", nullptr},
      {atZoo,     "ZOO archive",                 {".zoo"}, true,  true,  false, "TUnZoo", "TUnZoo", zoo},
  };
  // clang-format on
  TFormatRegistry& reg = TFormatRegistry::Instance();
  for (const TListed& l : rows) {
    TFormatRow row;
    row.Type = l.Type;
    row.DisplayName = l.DisplayName;
    row.Extensions = l.Extensions;
    row.RealArchive = true;
    row.CanExtract = l.CanExtract;
    row.CanTest = l.CanTest;
    row.SelfExtractor = l.SelfExtractor;
    row.ConvertReaderName = l.ConvertReader;
    row.TestReaderName = l.TestReader;
    row.MethodName = l.MethodName;
    row.ReadByLibrary = l.ReadByLibrary;
    if (l.Volumes) {
      row.VolumeLetter = l.Volumes->Letter;
      row.VolumeFamilyExt = l.Volumes->FamilyExt;
    }
    reg.Add(std::move(row));
  }
}

}  // namespace qmx
