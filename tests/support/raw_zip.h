// Byte-level helpers for decoder tests that take entries straight out of
// small ZIP files (no Zip64) and build code streams bit by bit.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

namespace qmx::test {

using Bytes = std::vector<std::uint8_t>;

// An unreadable file fails the running test with its path.
inline Bytes Load(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) ADD_FAILURE() << "cannot read " << path;
  return Bytes(std::istreambuf_iterator<char>(f), {});
}

inline std::uint32_t Le(const Bytes& b, std::size_t at, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | b.at(at + i);
  return v;
}

struct TEntry {
  std::string Name;
  int Method;
  std::uint16_t Flags;
  std::uint32_t Crc;
  std::int64_t Packed, Unpacked, DataAt;
};

// Sizes, flags and CRC from the central directory, data position from the
// local header.
inline std::vector<TEntry> ListZip(const Bytes& z) {
  std::size_t end = z.size() - 22;
  while (Le(z, end, 4) != 0x06054b50) --end;
  std::vector<TEntry> out;
  std::size_t p = Le(z, end + 16, 4);
  for (std::uint32_t i = 0; i < Le(z, end + 10, 2); ++i) {
    const std::size_t nameLen = Le(z, p + 28, 2), local = Le(z, p + 42, 4);
    out.push_back(
        {std::string(z.begin() + p + 46, z.begin() + p + 46 + nameLen),
         static_cast<int>(Le(z, p + 10, 2)), static_cast<std::uint16_t>(Le(z, p + 8, 2)),
         Le(z, p + 16, 4), Le(z, p + 20, 4), Le(z, p + 24, 4),
         static_cast<std::int64_t>(local + 30 + Le(z, local + 26, 2) + Le(z, local + 28, 2))});
    p += 46 + nameLen + Le(z, p + 30, 2) + Le(z, p + 32, 2);
  }
  return out;
}

// Packs bits low first. Codes writes fixed-width codes; Code writes a
// prefix code first bit first, with Invert complementing it as Implode
// trees store them; Byte starts at the next byte boundary.
struct TBitWriter {
  Bytes Buf;
  int Used = 0;
  TBitWriter& Put(std::uint32_t v, int bits) {
    for (int i = 0; i < bits; ++i, ++Used) {
      if (Used % 8 == 0) Buf.push_back(0);
      Buf.back() |= ((v >> i) & 1) << (Used % 8);
    }
    return *this;
  }
  TBitWriter& Codes(std::initializer_list<std::uint32_t> codes, int bits) {
    for (auto c : codes) Put(c, bits);
    return *this;
  }
  TBitWriter& Code(std::uint32_t code, int bits, bool invert = false) {
    for (int i = bits - 1; i >= 0; --i) Put(((code >> i) & 1) ^ (invert ? 1 : 0), 1);
    return *this;
  }
  TBitWriter& Byte(std::uint8_t b) {
    Used = (Used + 7) / 8 * 8;
    Buf.push_back(b);
    Used += 8;
    return *this;
  }
};

}  // namespace qmx::test
