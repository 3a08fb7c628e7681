#include "archive/formats/tar/tar_header.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "archive/platform/files.h"

namespace qmx {

std::int64_t TarNumber(const std::uint8_t* field, std::size_t length) {
  if (length == 0) return 0;
  if (field[0] & 0x80) {
    // Base-256, two's complement; the first byte's top bit is the marker.
    const bool negative = (field[0] & 0x40) != 0;
    std::uint64_t v = negative ? ~std::uint64_t{0} : 0;
    std::uint8_t first = field[0] & 0x7F;
    if (negative) first |= 0x80;
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint8_t b = i == 0 ? first : field[i];
      // Bits shifted out must all be copies of the sign.
      const std::uint8_t top = static_cast<std::uint8_t>(v >> 56);
      if (i >= 1 && top != (negative ? 0xFF : 0x00)) return -1;
      v = (v << 8) | b;
    }
    const auto s = static_cast<std::int64_t>(v);
    if (negative ? s >= 0 : s < 0) return -1;
    return s;
  }
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < length && field[i] != 0; ++i) {
    if (field[i] < '0' || field[i] > '7') continue;
    if (v > (static_cast<std::uint64_t>(INT64_MAX) >> 3)) return -1;
    v = (v << 3) | static_cast<std::uint64_t>(field[i] - '0');
  }
  return static_cast<std::int64_t>(v);
}

bool PutTarNumber(std::uint8_t* field, std::size_t width, std::uint64_t value) {
  std::memset(field, 0, width);
  const std::size_t digits = width - 1;
  if (digits * 3 >= 64 || value < (std::uint64_t{1} << (digits * 3))) {
    for (std::size_t i = digits; i-- > 0;) {
      field[i] = static_cast<std::uint8_t>('0' + (value & 7));
      value >>= 3;
    }
    return true;
  }
  // Base-256: the high bit of the first byte marks it; the remaining
  // width*8-1 bits hold the value.
  if ((width - 1) * 8 < 64 && (value >> ((width - 1) * 8)) != 0) return false;
  for (std::size_t i = width; i-- > 1;) {
    field[i] = static_cast<std::uint8_t>(value & 0xFF);
    value >>= 8;
  }
  field[0] = 0x80;
  return true;
}

std::uint32_t TarChecksum(const std::uint8_t* block) {
  std::uint32_t sum = 0;
  for (std::int64_t i = 0; i < kTarBlock; ++i) sum += (i >= 148 && i < 156) ? 32u : block[i];
  return sum;
}

bool TarChecksumMatches(const std::uint8_t* block) {
  const std::int64_t stored = TarNumber(block + 148, 8);
  std::int64_t sumU = 0, sumS = 0;
  for (int i = 0; i < kTarBlock; ++i) {
    const std::uint8_t b = (i >= 148 && i < 156) ? ' ' : block[i];
    sumU += b;
    sumS += static_cast<std::int8_t>(b);
  }
  return stored == sumU || stored == sumS;
}

std::uint32_t TarTimeToDosDate(std::int64_t seconds) {
  if (seconds == 0) return 0x00210020;
  // Outside what a DOS date holds: the nearest end of its range.
  constexpr std::int64_t kFirst = 315532800;  // 1980-01-01 UTC
  constexpr std::int64_t kLast = 4354819199;  // 2107-12-31 UTC
  seconds = std::clamp(seconds, kFirst + 86400, kLast - 86400);
  return UnixToDosDateTime(static_cast<std::time_t>(seconds));
}

}  // namespace qmx
