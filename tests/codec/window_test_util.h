// Helpers for the window decoder tests: corpus access, a minimal ZIP
// directory walk, a bit packer and a decode runner over memory.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "archive/codec/streams.h"
#include "archive/codec/window_decoder.h"

namespace qmx::wintest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Load(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
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
// local header. No Zip64: the test archives are small.
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

// Packs bits low first; Code writes a prefix code first bit first, with
// Invert complementing it as Implode trees store them.
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

struct TRun {
  int Result;
  Bytes Out;
  std::int64_t SourceEnd = 0;  // source position after the run
};

using TDecodeFunc = std::function<int(TLegacyInput&, TLegacyWriteFunc)>;

// Runs Decode over Packed bytes of Data from At, collecting the output.
inline TRun RunDecoder(const Bytes& data, std::int64_t at, std::int64_t packed,
                       const TDecodeFunc& decode, const bool* cancel = nullptr) {
  TMemoryStream32 src;
  src.Write(data.data(), static_cast<std::int64_t>(data.size()));
  src.SetPosition(at);
  TRun run;
  TLegacyInput in(src, packed, {}, cancel);
  run.Result = decode(in, [&](const void* p, std::int64_t n) {
    EXPECT_GT(n, 0);
    EXPECT_LE(n, 65536);
    run.Out.insert(run.Out.end(), static_cast<const std::uint8_t*>(p),
                   static_cast<const std::uint8_t*>(p) + n);
    return n;
  });
  run.SourceEnd = src.Position();
  return run;
}

}  // namespace qmx::wintest
