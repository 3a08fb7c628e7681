// The 37-byte record in front of every BH entry, shared by the writer and
// the reader. An entry is that record, the stored name, the extra bytes,
// then its data (which starts with the 12-byte encryption header when flag
// bit 0 is set). All numbers are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "archive/codec/byte_order.h"

namespace qmx {

inline constexpr std::size_t kBhHeadSize = 37;
inline constexpr std::uint32_t kBhSignature = 0x07054842;  // "BH" 5 7
inline constexpr std::uint8_t kBhVersion = 7;
inline constexpr std::uint8_t kBhFlagEncrypted = 0x01;
inline constexpr std::uint8_t kBhMethodStored = 0;
inline constexpr std::uint8_t kBhMethodFused1 = 1;
inline constexpr std::uint8_t kBhMethodDeflate2 = 2;
inline constexpr std::uint8_t kBhMethodFused3 = 3;
inline constexpr std::uint8_t kBhMethodDeflate = 8;

using TBhHeadBytes = std::array<std::uint8_t, kBhHeadSize>;

struct TBhHeader {
  std::uint32_t Signature = kBhSignature;
  std::uint16_t HeaderLength = 0;
  std::uint8_t FixedSize = kBhHeadSize;
  std::uint8_t Version = kBhVersion;
  std::uint8_t Version2 = 0;
  std::uint8_t Flags = 0;
  std::uint8_t Method = kBhMethodDeflate;
  std::uint32_t DosTime = 0;
  std::uint32_t PackedSize = 0;
  std::uint32_t UnpackedSize = 0;
  std::uint32_t Crc32 = 0;
  std::uint16_t Attributes = 0;
  std::uint32_t Reserved = 0;
  std::uint16_t NameLength = 0;
  std::uint16_t ExtraLength = 0;

  bool Encrypted() const { return (Flags & kBhFlagEncrypted) != 0; }
  // Header, name, extra bytes and data.
  std::int64_t EntryLength() const {
    return static_cast<std::int64_t>(kBhHeadSize) + NameLength + ExtraLength + PackedSize;
  }

  static TBhHeader Parse(const std::uint8_t* p) {
    TBhHeader h;
    h.Signature = GetLE32(p);
    h.HeaderLength = GetLE16(p + 4);
    h.FixedSize = p[6];
    h.Version = p[7];
    h.Version2 = p[8];
    h.Flags = p[9];
    h.Method = p[10];
    h.DosTime = GetLE32(p + 11);
    h.PackedSize = GetLE32(p + 15);
    h.UnpackedSize = GetLE32(p + 19);
    h.Crc32 = GetLE32(p + 23);
    h.Attributes = GetLE16(p + 27);
    h.Reserved = GetLE32(p + 29);
    h.NameLength = GetLE16(p + 33);
    h.ExtraLength = GetLE16(p + 35);
    return h;
  }

  void Put(std::uint8_t* p) const {
    PutLE32(p, Signature);
    PutLE16(p + 4, HeaderLength);
    p[6] = FixedSize;
    p[7] = Version;
    p[8] = Version2;
    p[9] = Flags;
    p[10] = Method;
    PutLE32(p + 11, DosTime);
    PutLE32(p + 15, PackedSize);
    PutLE32(p + 19, UnpackedSize);
    PutLE32(p + 23, Crc32);
    PutLE16(p + 27, Attributes);
    PutLE32(p + 29, Reserved);
    PutLE16(p + 33, NameLength);
    PutLE16(p + 35, ExtraLength);
  }
};

}  // namespace qmx
