// Types shared by every archive component: archive kinds, the option
// enumerations of the components and the date-time value. The attribute
// sets and the string list live in the lower layers and come along here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/platform/file_attributes.h"
#include "archive/scan/string_list.h"

namespace qmx {

// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

enum TArcType : std::uint8_t {
  atNA,
  atUnsupported,
  atFileOpenErr,
  atUnknown,
  atAce,
  atAceExe,
  atArc,
  atArcExe,
  atArj,
  atArjExe,
  atBh,
  atBhExe,
  atCab,
  atCabExe,
  atGZip,
  atHA,
  atJar,
  atJarExe,
  atLha,
  atLhaExe,
  atLzh,
  atLzhExe,
  atMsGZ,
  atPak,
  atPakExe,
  atRar,
  atRarExe,
  atTar,
  atTarGZip,
  atUUE,
  atZip,
  atZipExe,
  atZipDS,
  atZipMV,
  atZoo,
  at7z
};
inline constexpr int kArcTypeCount = 36;

// Name of a TArcType value as written in code ("atJar").
const char* ArcTypeName(TArcType t);

enum TOverwriteMode : std::uint8_t { omOverwrite, omSkip };
enum TDateAttribute : std::uint8_t { daFileDate, daSysDate, daMaxFileDate };
enum TDeleteOptions : std::uint8_t { doFinal, doAllowUndo };
enum TCompressionMethod : std::uint8_t { cmTempFile, cmInMemory };
enum TStoredDirNames : std::uint8_t {
  sdNone,
  sdAbsolute,
  sdAbsoluteNoDrv,
  sdAbsoluteNoRoot,
  sdRelative,
  sdRelativeStoreStart,
  sdExplorer_Auto,
  sdExplorer_UserDefineDefaultDir
};
enum TEncryptionMethod : std::uint8_t {
  emNone,
  emAES2_128,
  emAES2_192,
  emAES2_256,
  emZIP_v2,
  emUnsupported
};
enum TDeflateType : std::uint8_t { dtDeflateS, dtDeflateF, dtDeflateN, dtDeflateX };

// ZIP record kinds and the set of kinds found in an archive.
enum THeaderType : std::uint8_t { htLocal, htCentral, htEnding, htLocator, htEnding64, htNone };
class THeaderTypeState {
 public:
  constexpr THeaderTypeState() = default;
  constexpr THeaderTypeState(std::initializer_list<THeaderType> items) {
    for (auto h : items) bits_ |= static_cast<std::uint8_t>(1u << h);
  }
  constexpr bool Has(THeaderType h) const { return (bits_ >> h) & 1u; }
  constexpr void Include(THeaderType h) { bits_ |= static_cast<std::uint8_t>(1u << h); }
  constexpr void Exclude(THeaderType h) { bits_ &= static_cast<std::uint8_t>(~(1u << h)); }
  constexpr void Clear() { bits_ = 0; }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr std::uint8_t Bits() const { return bits_; }
  constexpr bool operator==(const THeaderTypeState&) const = default;

 private:
  std::uint8_t bits_ = 0;
};

}  // namespace qmx
