// ZIP record layouts shared by the reader, the writer, the integrity checker
// and type detection: signatures, the fixed-size records with explicit
// little-endian decoding, the enciphered-header transform and the extra
// field walk.
//
// Records are decoded byte by byte from untrusted buffers; nothing here
// overlays a struct on file data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "archive/base/types.h"
#include "archive/codec/byte_order.h"

namespace qmx {

// --- signatures, as little-endian words
inline constexpr std::uint32_t kZipLocalSig = 0x04034B50;
inline constexpr std::uint32_t kZipLocalSigX = 0x04034C50;
inline constexpr std::uint32_t kZipCentralSig = 0x02014B50;
inline constexpr std::uint32_t kZipCentralSigX = 0x02014C50;
inline constexpr std::uint32_t kZipEndSig = 0x06054B50;
inline constexpr std::uint32_t kZipEndSigX = 0x06054C50;
inline constexpr std::uint32_t kZipEnd64Sig = 0x06055B50;
inline constexpr std::uint32_t kZipEnd64SigX = 0x06055C50;
inline constexpr std::uint32_t kZip64EndSig = 0x06064B50;
inline constexpr std::uint32_t kZip64LocatorSig = 0x07064B50;
inline constexpr std::uint32_t kZipSplitSig = 0x08074B50;

// The enciphered form of a plain local, central or end signature (second
// byte 0x4B -> 0x4C, 0x5B -> 0x5C).
constexpr std::uint32_t EncipheredSignature(std::uint32_t plain) {
  return plain + 0x0100;
}
constexpr bool IsEnd64Signature(std::uint32_t w) {
  return w == kZipEnd64Sig || w == kZipEnd64SigX;
}

// Returns expected when word is one of that kind's signatures (htEnding
// accepts both end records, plain or enciphered), else htNone. enciphered
// tells whether the record after the signature is enciphered.
THeaderType ClassifyHeader(std::uint32_t word, THeaderType expected, bool& enciphered);
THeaderType ClassifyHeader(std::uint32_t word, THeaderType expected);

// --- general-purpose flags
inline constexpr std::uint16_t kZipFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kZipFlagDescriptor = 0x0008;
inline constexpr std::uint16_t kZipFlagStrongEncryption = 0x0040;
inline constexpr std::uint16_t kZipFlagUtf8 = 0x0800;

// "Version made by": host in the high byte. Entries we write name Unix as
// their host, as zip and 7-Zip do on Linux: readers such as Info-ZIP unzip
// take host 0 names as OEM text and garble UTF-8 ones, and only a Unix host
// carries the file's mode (high 16 bits of the external attributes).
inline constexpr std::uint16_t kZipHostUnix = 3;
inline constexpr std::uint16_t kZipMadeByUnix = (kZipHostUnix << 8) | 20;
inline constexpr std::uint32_t kUnixTypeMask = 0170000;
inline constexpr std::uint32_t kUnixTypeFile = 0100000;
inline constexpr std::uint32_t kUnixTypeDir = 0040000;
inline constexpr std::uint32_t kUnixTypeLink = 0120000;

// The Unix mode of an entry, 0 when its host is not Unix.
constexpr std::uint32_t UnixModeOf(std::uint16_t versionMadeBy, std::uint32_t external) {
  return (versionMadeBy >> 8) == kZipHostUnix ? external >> 16 : 0;
}
constexpr bool IsUnixSymLink(std::uint16_t versionMadeBy, std::uint32_t external) {
  return (UnixModeOf(versionMadeBy, external) & kUnixTypeMask) == kUnixTypeLink;
}
// External attributes for a file or directory we store: its permission bits
// above the documented attribute byte. Links are stored by their content,
// so only the two plain types are ever written.
constexpr std::uint32_t UnixExternalAttributes(std::uint32_t attr, std::uint32_t mode, bool isDir) {
  std::uint32_t perm = mode & 0777;
  if (perm == 0) perm = isDir ? 0755 : 0644;
  return ((isDir ? kUnixTypeDir : kUnixTypeFile) | perm) << 16 | (attr & 0xFF);
}

// --- records
inline constexpr std::size_t kZipLocalSize = 30;
inline constexpr std::size_t kZipCentralSize = 46;
inline constexpr std::size_t kZipEndSize = 22;
inline constexpr std::size_t kZipEnd64Size = 26;
inline constexpr std::size_t kZip64EndSize = 56;
inline constexpr std::size_t kZip64LocatorSize = 20;

struct TZipLocalHeader {
  std::uint32_t Signature = kZipLocalSig;
  std::uint16_t VersionNeeded = 20;
  std::uint16_t Flags = 0;
  std::uint16_t Method = 0;
  std::uint32_t DosTime = 0;  // time in the low half, date in the high half
  std::uint32_t Crc32 = 0;
  std::uint32_t PackedSize = 0;
  std::uint32_t UnpackedSize = 0;
  std::uint16_t NameLength = 0;
  std::uint16_t ExtraLength = 0;

  using TBytes = std::array<std::uint8_t, kZipLocalSize>;
  static TZipLocalHeader Parse(std::span<const std::uint8_t, kZipLocalSize> b);
  TBytes Serialize() const;
  bool operator==(const TZipLocalHeader&) const = default;
};

struct TZipCentralHeader {
  std::uint32_t Signature = kZipCentralSig;
  std::uint16_t VersionMadeBy = 20;
  std::uint16_t VersionNeeded = 20;
  std::uint16_t Flags = 0;
  std::uint16_t Method = 0;
  std::uint32_t DosTime = 0;
  std::uint32_t Crc32 = 0;
  std::uint32_t PackedSize = 0;
  std::uint32_t UnpackedSize = 0;
  std::uint16_t NameLength = 0;
  std::uint16_t ExtraLength = 0;
  std::uint16_t CommentLength = 0;
  std::uint16_t DiskNumberStart = 0;
  std::uint16_t InternalAttributes = 0;
  std::uint32_t ExternalAttributes = 0;
  std::uint32_t LocalHeaderOffset = 0;

  using TBytes = std::array<std::uint8_t, kZipCentralSize>;
  static TZipCentralHeader Parse(std::span<const std::uint8_t, kZipCentralSize> b);
  // The fields a local header shares with a central one (version needed to
  // extra length); the rest keep their defaults.
  static TZipCentralHeader FromLocal(const TZipLocalHeader& l);
  TBytes Serialize() const;
  bool operator==(const TZipCentralHeader&) const = default;
};

struct TZipEndRecord {
  std::uint32_t Signature = kZipEndSig;
  std::uint16_t ThisDisk = 0;
  std::uint16_t CentralDisk = 0;
  std::uint16_t EntriesThisDisk = 0;
  std::uint16_t TotalEntries = 0;
  std::uint32_t CentralSize = 0;
  std::uint32_t CentralOffset = 0;
  std::uint16_t CommentLength = 0;

  using TBytes = std::array<std::uint8_t, kZipEndSize>;
  static TZipEndRecord Parse(std::span<const std::uint8_t, kZipEndSize> b);
  TBytes Serialize() const;
  bool operator==(const TZipEndRecord&) const = default;
};

// Our own end record for archives of 4 GiB and more: the central directory
// offset is 64 bits wide.
struct TZipEndRecord64 {
  std::uint32_t Signature = kZipEnd64Sig;
  std::uint16_t ThisDisk = 0;
  std::uint16_t CentralDisk = 0;
  std::uint16_t EntriesThisDisk = 0;
  std::uint16_t TotalEntries = 0;
  std::uint32_t CentralSize = 0;
  std::uint64_t CentralOffset = 0;
  std::uint16_t CommentLength = 0;

  using TBytes = std::array<std::uint8_t, kZipEnd64Size>;
  static TZipEndRecord64 Parse(std::span<const std::uint8_t, kZipEnd64Size> b);
  TBytes Serialize() const;
  bool operator==(const TZipEndRecord64&) const = default;
};

// Zip64 end of central directory record and locator (read only).
struct TZip64EndRecord {
  std::uint32_t Signature = kZip64EndSig;
  std::uint64_t RecordSize = 0;
  std::uint16_t VersionMadeBy = 0;
  std::uint16_t VersionNeeded = 0;
  std::uint32_t ThisDisk = 0;
  std::uint32_t CentralDisk = 0;
  std::uint64_t EntriesThisDisk = 0;
  std::uint64_t TotalEntries = 0;
  std::uint64_t CentralSize = 0;
  std::uint64_t CentralOffset = 0;

  static TZip64EndRecord Parse(std::span<const std::uint8_t, kZip64EndSize> b);
};

struct TZip64Locator {
  std::uint32_t Signature = kZip64LocatorSig;
  std::uint32_t EndRecordDisk = 0;
  std::uint64_t EndRecordOffset = 0;
  std::uint32_t TotalDisks = 0;

  static TZip64Locator Parse(std::span<const std::uint8_t, kZip64LocatorSize> b);
};

// --- enciphered headers
// The bytes after the 4-byte signature of a record are enciphered under the
// fixed header key; the name that follows a local or central header
// continues the same cipher stream. The signature itself stays readable.
void DecipherRecord(std::span<std::uint8_t> record, std::span<std::uint8_t> name = {});
void EncipherRecord(std::span<std::uint8_t> record, std::span<std::uint8_t> name = {});

// --- compression methods
// An AES entry names this method; its extra block holds the real one.
inline constexpr std::uint16_t kMethodAes = 99;

// --- extra field
inline constexpr std::uint16_t kExtraZip64 = 0x0001;
inline constexpr std::uint16_t kExtraStrongEncryption = 0x0017;
inline constexpr std::uint16_t kExtraLargeFile = 0x0064;
inline constexpr std::uint16_t kExtraAes = 0x9901;
inline constexpr std::size_t kAesExtraDataSize = 7;
inline constexpr std::size_t kStrongExtraKept = 8;

// What the walk of one header's extra field yields. The three 32-bit fields
// go in holding the header's values; a Zip64 block replaces those that are
// 0xFFFFFFFF.
struct TZipExtraInfo {
  std::uint32_t PackedSize = 0;
  std::uint32_t UnpackedSize = 0;
  std::uint32_t LocalOffset = 0;
  // Bits 32-47 of the three values.
  std::uint16_t PackedHigh = 0;
  std::uint16_t UnpackedHigh = 0;
  std::uint16_t OffsetHigh = 0;
  // Bits 48-63 of the Zip64 sizes: no real entry needs them, but a lie
  // must be seen as told.
  std::uint16_t PackedTop = 0;
  std::uint16_t UnpackedTop = 0;
  // First bytes of a strong-encryption block, kept for classification only.
  bool HasStrong = false;
  std::uint8_t StrongLength = 0;
  std::array<std::uint8_t, kStrongExtraKept> StrongData{};
  // AES block: version (2), vendor "AE" (2), strength (1), real method (2).
  bool HasAes = false;
  std::array<std::uint8_t, kAesExtraDataSize> AesData{};

  std::uint16_t AesVersion() const { return GetLE16(AesData.data()); }
  std::uint16_t AesVendor() const { return GetLE16(AesData.data() + 2); }
  std::uint8_t AesStrength() const { return AesData[4]; }
  std::uint16_t AesMethod() const { return GetLE16(AesData.data() + 5); }

  std::int64_t PackedSize64() const {
    return static_cast<std::int64_t>(PackedSize) | (static_cast<std::int64_t>(PackedHigh) << 32);
  }
  std::int64_t UnpackedSize64() const {
    return static_cast<std::int64_t>(UnpackedSize) |
           (static_cast<std::int64_t>(UnpackedHigh) << 32);
  }
  // The whole declared sizes; the Full forms are held at the int64 maximum.
  std::uint64_t PackedSizeDeclared() const { return WithTop(PackedSize64(), PackedTop); }
  std::uint64_t UnpackedSizeDeclared() const { return WithTop(UnpackedSize64(), UnpackedTop); }
  std::int64_t PackedSizeFull() const { return Clamped(PackedSizeDeclared()); }
  std::int64_t UnpackedSizeFull() const { return Clamped(UnpackedSizeDeclared()); }
  std::int64_t LocalOffset64() const {
    return static_cast<std::int64_t>(LocalOffset) | (static_cast<std::int64_t>(OffsetHigh) << 32);
  }

 private:
  static std::uint64_t WithTop(std::int64_t low48, std::uint16_t top) {
    return static_cast<std::uint64_t>(low48) | (static_cast<std::uint64_t>(top) << 48);
  }
  static std::int64_t Clamped(std::uint64_t v) {
    return v > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(v);
  }
};

// Walks extra, filling info. The high words, the strong-encryption and the
// AES data are cleared first; the 32-bit fields are only replaced. Unknown
// blocks are skipped; a block whose size runs past the end ends the walk.
void ParseExtraField(std::span<const std::uint8_t> extra, bool central, TZipExtraInfo& info);

// The encryption kind of an encrypted entry from the last block of its
// extra field: a strong-encryption block gives its algorithm's AES strength,
// an AES block its strength, anything else the traditional cipher. Values
// that name no kind we know give emUnsupported.
TEncryptionMethod EncryptionFromExtra(std::span<const std::uint8_t> extra);

// Salt, verifier and authentication code around an AES entry's data.
constexpr std::int64_t AesSaltLength(TEncryptionMethod m) {
  return (m >= emAES2_128 && m <= emAES2_256) ? 4 * static_cast<int>(m) + 4 : 0;
}

// The large-file block (0x0064) of a header, or an empty span when none is
// needed (no high bits set). Local headers carry 8 bytes, central 10.
struct TLargeFileExtra {
  std::array<std::uint8_t, 10> Bytes{};
  std::size_t Length = 0;
  std::span<const std::uint8_t> View() const { return {Bytes.data(), Length}; }
};
TLargeFileExtra MakeLargeFileExtra(std::int64_t packedSize, std::int64_t unpackedSize,
                                   std::int64_t localOffset, bool central);

// The 11-byte AES block of an AES entry.
std::array<std::uint8_t, 11> MakeAesExtra(TEncryptionMethod strength, std::uint16_t realMethod);

}  // namespace qmx
