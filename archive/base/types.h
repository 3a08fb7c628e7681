// Types shared by every archive component: archive kinds, attribute sets,
// the option enumerations of the components and the date-time value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qmx {

// Days since 30 December 1899; the fraction is the time of day.
using TDateTime = double;

using TStrings = std::vector<std::string>;

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
  atZoo
};
inline constexpr int kArcTypeCount = 35;

// Name of a TArcType value as written in code ("atJar").
const char* ArcTypeName(TArcType t);

enum TqmxFileAttribute : std::uint8_t {
  fsZeroAttr,
  fsReadOnly,
  fsHidden,
  fsSysFile,
  fsVolumeID,
  fsDirectory,
  fsArchive,
  fsCompressed,
  fsEncrypted
};

// Set of attributes in a 16-bit word, bit n for ordinal n.
class TqmxFileAttributes {
 public:
  constexpr TqmxFileAttributes() = default;
  constexpr TqmxFileAttributes(std::initializer_list<TqmxFileAttribute> items) {
    for (auto a : items) bits_ |= static_cast<std::uint16_t>(1u << a);
  }
  static constexpr TqmxFileAttributes FromWord(std::uint16_t w) {
    TqmxFileAttributes s;
    s.bits_ = w;
    return s;
  }
  constexpr std::uint16_t Word() const { return bits_; }
  constexpr bool Has(TqmxFileAttribute a) const { return (bits_ >> a) & 1u; }
  constexpr bool Empty() const { return bits_ == 0; }
  // Ordinals above 15 are ignored.
  constexpr void SetAttribute(int ordinal, bool on) {
    if (ordinal < 0 || ordinal > 15) return;
    if (on)
      bits_ |= static_cast<std::uint16_t>(1u << ordinal);
    else
      bits_ &= static_cast<std::uint16_t>(~(1u << ordinal));
  }
  constexpr void Include(TqmxFileAttribute a) { SetAttribute(a, true); }
  constexpr void Exclude(TqmxFileAttribute a) { SetAttribute(a, false); }
  constexpr bool operator==(const TqmxFileAttributes&) const = default;

 private:
  std::uint16_t bits_ = 0;
};

// Windows attribute bits, as the platform layer reports them.
inline constexpr std::uint32_t faReadOnly = 0x01;
inline constexpr std::uint32_t faHidden = 0x02;
inline constexpr std::uint32_t faSysFile = 0x04;
inline constexpr std::uint32_t faVolumeID = 0x08;
inline constexpr std::uint32_t faDirectory = 0x10;
inline constexpr std::uint32_t faArchive = 0x20;
inline constexpr std::uint32_t faNormal = 0x80;
inline constexpr std::uint32_t faCompressed = 0x800;
inline constexpr std::uint32_t faNotContentIndexed = 0x2000;
inline constexpr std::uint32_t faEncrypted = 0x4000;

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
