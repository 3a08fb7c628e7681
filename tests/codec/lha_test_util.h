// Helpers for the LHA codec tests: coding and decoding over memory, a
// minimal level-0 archive around coded data, and a walk over the entries
// of level 0-3 archives.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive/codec/crc.h"
#include "archive/codec/lha_coder.h"
#include "archive/codec/lha_decoder.h"
#include "tests/codec/window_test_util.h"

namespace qmx::lhatest {

using test::Bytes;

inline Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

struct TCoded {
  TLhaCoderResult Result;
  Bytes Packed;
  std::vector<std::int64_t> Writes;  // size of every write
};

inline TCoded Compress(const Bytes& data, const TLhaCoderParams& params,
                       const bool* cancel = nullptr) {
  TCoded c;
  std::size_t at = 0;
  c.Result = LhaCompress(
      [&](void* buf, std::int64_t n) {
        // Odd-sized pieces, as a block reader may hand out.
        const std::size_t k =
            std::min<std::size_t>({static_cast<std::size_t>(n), data.size() - at, 10007});
        std::memcpy(buf, data.data() + at, k);
        at += k;
        return static_cast<std::int64_t>(k);
      },
      [&](const void* p, std::int64_t n) {
        c.Writes.push_back(n);
        c.Packed.insert(c.Packed.end(), static_cast<const std::uint8_t*>(p),
                        static_cast<const std::uint8_t*>(p) + n);
        return n;
      },
      static_cast<std::int64_t>(data.size()), params, cancel);
  return c;
}

inline wintest::TRun Decode(const Bytes& packed, TLhaMethod method, std::int64_t size,
                            const bool* cancel = nullptr) {
  return wintest::RunDecoder(
      packed, 0, static_cast<std::int64_t>(packed.size()),
      [&](TLegacyInput& in, TLegacyWriteFunc w) {
        return LhaDecode(in, std::move(w), method, size, cancel);
      },
      cancel);
}

// A level-0 archive of one entry holding Packed as Method's data.
inline Bytes Level0(const std::string& method, const Bytes& packed, const Bytes& original,
                    const std::string& name = "data.bin") {
  Bytes h(22);
  h[0] = static_cast<std::uint8_t>(22 + name.size());
  std::memcpy(&h[2], method.data(), 5);
  auto le32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) h[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  le32(7, static_cast<std::uint32_t>(packed.size()));
  le32(11, static_cast<std::uint32_t>(original.size()));
  le32(15, (46u << 25) | (12u << 21) | (8u << 16) | (12u << 11));  // 2026-12-08 12:00
  h[19] = 0x20;
  h[20] = 0;
  h[21] = static_cast<std::uint8_t>(name.size());
  for (char ch : name) h.push_back(static_cast<std::uint8_t>(ch));
  const std::uint16_t crc = Crc16(original.data(), original.size());
  h.push_back(static_cast<std::uint8_t>(crc));
  h.push_back(static_cast<std::uint8_t>(crc >> 8));
  unsigned sum = 0;
  for (std::size_t i = 2; i < h.size(); ++i) sum += h[i];
  h[1] = static_cast<std::uint8_t>(sum);
  h.insert(h.end(), packed.begin(), packed.end());
  h.push_back(0);  // end of archive
  return h;
}

struct TLhaEntry {
  std::string Method;
  int Level = 0;
  std::uint16_t Crc = 0;
  std::int64_t Original = 0;
  std::size_t DataAt = 0;
  std::int64_t Packed = 0;
};

// Entries of an LHA archive, from its first header on (leading junk such
// as a self-extractor stub is skipped). Stops at a 0 byte or a header that
// does not fit.
inline std::vector<TLhaEntry> WalkLha(const Bytes& a) {
  std::vector<TLhaEntry> out;
  auto le = [&](std::size_t at, int n) -> std::uint32_t {
    std::uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | a[at + static_cast<std::size_t>(i)];
    return v;
  };
  std::size_t p = 0;
  while (p + 24 < a.size() &&
         !(a[p + 2] == '-' && a[p + 3] == 'l' && a[p + 6] == '-' && a[p + 20] <= 3))
    ++p;
  while (p + 24 < a.size() && a[p] != 0) {
    TLhaEntry e;
    e.Method.assign(reinterpret_cast<const char*>(&a[p + 2]), 5);
    e.Level = a[p + 20];
    e.Original = le(p + 11, 4);
    std::int64_t packed = le(p + 7, 4);
    std::size_t data = 0;
    if (e.Level == 0 || e.Level == 1) {
      const std::size_t name = a[p + 21];
      if (p + 24 + name > a.size()) break;
      e.Crc = static_cast<std::uint16_t>(le(p + 22 + name, 2));
      data = p + 2 + a[p];
      if (e.Level == 1) {
        // Extended headers follow the base header and count as packed data.
        std::size_t next = le(data - 2, 2);
        while (next > 0 && data + next <= a.size()) {
          data += next;
          packed -= static_cast<std::int64_t>(next);
          next = le(data - 2, 2);
        }
      }
    } else if (e.Level == 2) {
      e.Crc = static_cast<std::uint16_t>(le(p + 21, 2));
      data = p + le(p, 2);
    } else {
      e.Crc = static_cast<std::uint16_t>(le(p + 21, 2));
      data = p + le(p + 24, 4);
    }
    e.DataAt = data;
    e.Packed = packed;
    if (packed < 0 || data + static_cast<std::size_t>(packed) > a.size()) break;
    out.push_back(e);
    p = data + static_cast<std::size_t>(packed);
  }
  return out;
}

}  // namespace qmx::lhatest
