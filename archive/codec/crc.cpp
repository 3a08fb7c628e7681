#include "archive/codec/crc.h"

#include <array>

namespace qmx {
namespace {

constexpr std::array<std::uint32_t, 256> MakeCrc32Table() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[n] = c;
  }
  return t;
}

constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
  std::array<std::uint16_t, 256> t{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
    t[n] = static_cast<std::uint16_t>(c);
  }
  return t;
}

constexpr auto kCrc32 = MakeCrc32Table();
constexpr auto kCrc16 = MakeCrc16Table();

// Slicing-by-8 tables for the hot CRC-32 path; built once from the table above.
struct Slice8 {
  std::uint32_t t[8][256];
  Slice8() {
    for (int n = 0; n < 256; ++n) t[0][n] = kCrc32[n];
    for (int n = 0; n < 256; ++n)
      for (int k = 1; k < 8; ++k) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  }
};
const Slice8& Slices() {
  static const Slice8 s;
  return s;
}

}  // namespace

const std::array<std::uint32_t, 256> CRC32TABLE = kCrc32;
const std::array<std::uint16_t, 256> CRC16TABLE = kCrc16;

void UpdateCrc32(const void* buf, std::int64_t len, std::uint32_t& acc) {
  if (len <= 0) return;
  const auto* p = static_cast<const std::uint8_t*>(buf);
  std::uint32_t c = acc;
  const auto& s = Slices().t;
  while (len >= 8) {
    std::uint32_t lo = c ^ (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                            static_cast<std::uint32_t>(p[2]) << 16 |
                            static_cast<std::uint32_t>(p[3]) << 24);
    c = s[7][lo & 0xFF] ^ s[6][(lo >> 8) & 0xFF] ^ s[5][(lo >> 16) & 0xFF] ^ s[4][lo >> 24] ^
        s[3][p[4]] ^ s[2][p[5]] ^ s[1][p[6]] ^ s[0][p[7]];
    p += 8;
    len -= 8;
  }
  while (len-- > 0) c = kCrc32[(c ^ *p++) & 0xFF] ^ (c >> 8);
  acc = c;
}

void UpdateCrc16(const void* buf, std::int64_t len, std::uint16_t& acc) {
  if (len <= 0) return;
  const auto* p = static_cast<const std::uint8_t*>(buf);
  std::uint16_t c = acc;
  while (len-- > 0) c = static_cast<std::uint16_t>(kCrc16[(c ^ *p++) & 0xFF] ^ (c >> 8));
  acc = c;
}

std::uint32_t Crc32(const void* buf, std::size_t len) {
  std::uint32_t acc = 0xFFFFFFFFu;
  UpdateCrc32(buf, static_cast<std::int64_t>(len), acc);
  return acc ^ 0xFFFFFFFFu;
}

std::uint16_t Crc16(const void* buf, std::size_t len) {
  std::uint16_t acc = 0;
  UpdateCrc16(buf, static_cast<std::int64_t>(len), acc);
  return acc;
}

}  // namespace qmx
