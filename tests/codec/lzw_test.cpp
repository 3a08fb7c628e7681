// The compress decoder against ncompress's own output, and against streams
// made to break it.
#include "archive/codec/lzw.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "archive/codec/streams.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using test::ReadFile;
int Sh(const std::string& cmd) {
  return test::Run(cmd);
}
using test::TempDir;
using test::WriteFile;

struct TDecoded {
  TLzwResult Result;
  std::string Out;
};

// Decodes a whole .Z file image (header included).
TDecoded Decode(const std::string& z) {
  TMemoryStream32 src;
  if (z.size() > 3) src.Write(z.data() + 3, static_cast<std::int64_t>(z.size() - 3));
  src.Seek(0, soFromBeginning);
  TLegacyInput in(src, src.Size());
  TDecoded d;
  d.Result = UnLzwDecode(
      in,
      [&](const void* b, std::int64_t n) {
        d.Out.append(static_cast<const char*>(b), static_cast<std::size_t>(n));
        return n;
      },
      z.size() > 2 ? static_cast<std::uint8_t>(z[2]) : 0);
  return d;
}

// Text that compresses, then bytes that do not: the code table fills and
// compress sends CLEAR codes in block mode.
std::string Sample(std::size_t textBytes, std::size_t randomBytes) {
  std::string s;
  for (std::size_t i = 0; s.size() < textBytes; ++i)
    s += "line " + std::to_string(i * 7919 % 1013) + " of the sample\n";
  std::mt19937 rng(7);
  for (std::size_t i = 0; i < randomBytes; ++i) s.push_back(static_cast<char>(rng() & 0xFF));
  return s;
}

// Packs codes of the given widths low bit first.
std::string Pack(std::uint8_t flags, const std::vector<std::pair<std::uint32_t, int>>& codes) {
  std::string z = {'\x1F', '\x9D', static_cast<char>(flags)};
  std::uint64_t acc = 0;
  int n = 0;
  for (auto [code, bits] : codes) {
    acc |= static_cast<std::uint64_t>(code) << n;
    n += bits;
    while (n >= 8) {
      z.push_back(static_cast<char>(acc & 0xFF));
      acc >>= 8;
      n -= 8;
    }
  }
  if (n > 0) z.push_back(static_cast<char>(acc & 0xFF));
  return z;
}

TEST(Lzw, DecodesEveryCodeWidthOfCompress) {
  TempDir dir;
  const std::string data = Sample(300000, 200000);
  WriteFile(dir / "in", data);
  for (int bits = 10; bits <= 16; ++bits) {
    SCOPED_TRACE(bits);
    const std::string z = dir / ("in" + std::to_string(bits) + ".Z");
    ASSERT_EQ(Sh("compress -c -b" + std::to_string(bits) + " " + dir / "in" + " > " + z), 0);
    const TDecoded d = Decode(ReadFile(z));
    EXPECT_EQ(d.Result, lzwOk);
    EXPECT_TRUE(d.Out == data) << d.Out.size() << " of " << data.size() << " bytes";
  }
}

TEST(Lzw, AgreesWithUncompressAcrossClearCodes) {
  // Mixed data over several megabytes makes compress reset its table.
  TempDir dir;
  std::string data;
  for (int round = 0; round < 6; ++round) data += Sample(200000, 150000);
  WriteFile(dir / "in", data);
  ASSERT_EQ(Sh("compress -c -b12 " + dir / "in" + " > " + dir / "in.Z"), 0);
  ASSERT_EQ(Sh("uncompress -c " + dir / "in.Z" + " > " + dir / "peer"), 0);
  const TDecoded d = Decode(ReadFile(dir / "in.Z"));
  EXPECT_EQ(d.Result, lzwOk);
  EXPECT_TRUE(d.Out == ReadFile(dir / "peer"));
}

TEST(Lzw, HandMadeStreams) {
  // Non-block mode: 'a' 'b' define 256 = "ab"; 256 then defines 257 =
  // "ba"; 258 is the entry being defined ("ab" + 'a').
  const TDecoded plain = Decode(Pack(0x10, {{'a', 9}, {'b', 9}, {256, 9}, {258, 9}}));
  EXPECT_EQ(plain.Result, lzwOk);
  EXPECT_EQ(plain.Out, "abababa");

  // Block mode: CLEAR drops back to 9 bits and literals follow.
  const TDecoded cleared = Decode(Pack(0x90, {{'x', 9},
                                              {256, 9},
                                              {0, 9},  // rest of the group of eight
                                              {0, 9},
                                              {0, 9},
                                              {0, 9},
                                              {0, 9},
                                              {0, 9},
                                              {'y', 9},
                                              {'z', 9}}));
  EXPECT_EQ(cleared.Result, lzwOk);
  EXPECT_EQ(cleared.Out, "xyz");
}

// Packs the codes of a non-block stream as compress does: the width grows
// when the next free entry passes the widest code, after padding the old
// width's group of eight.
std::string PackGrowing(std::uint8_t flags, const std::vector<std::uint32_t>& codes) {
  std::vector<std::pair<std::uint32_t, int>> out;
  int bits = 9;
  std::uint32_t freeEnt = 256;
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (i > 0 && freeEnt > (1u << bits) - 1 && bits < (flags & 0x1F)) {
      while (out.size() % 8) out.push_back({0, bits});
      ++bits;
    }
    out.push_back({codes[i], bits});
    if (i > 0) ++freeEnt;
  }
  return Pack(flags, out);
}

TEST(Lzw, LongStringsAcrossOutputBlocks) {
  // Each code is the one being defined: strings of 1, 2, 3 ... 6001 'a's,
  // many longer than what is left of an output block when they come.
  std::vector<std::uint32_t> codes = {'a'};
  for (std::uint32_t c = 256; c < 256 + 6000; ++c) codes.push_back(c);
  TempDir dir;
  const std::string z = PackGrowing(0x10, codes);
  WriteFile(dir / "a.Z", z);
  const TDecoded d = Decode(z);
  EXPECT_EQ(d.Result, lzwOk);
  const std::size_t want = 6001u * 6002u / 2;
  EXPECT_EQ(d.Out.size(), want);
  EXPECT_EQ(d.Out.find_first_not_of('a'), std::string::npos);
  ASSERT_EQ(Sh("uncompress -c " + dir / "a.Z" + " > " + dir / "peer"), 0);
  EXPECT_TRUE(d.Out == ReadFile(dir / "peer"));
}

TEST(Lzw, RefusesWhatCompressNeverWrites) {
  EXPECT_EQ(Decode(Pack(0x91, {{'a', 9}})).Result, lzwBadFlags);  // 17 bits
  EXPECT_EQ(Decode(Pack(0x9F, {{'a', 9}})).Result, lzwBadFlags);
  EXPECT_EQ(Decode(Pack(0xB0, {{'a', 9}})).Result, lzwBadFlags);  // reserved bit
  EXPECT_EQ(Decode(Pack(0x90, {{300, 9}})).Result, lzwBadFirst);
  // A code beyond the next free one.
  const TDecoded d = Decode(Pack(0x90, {{'a', 9}, {'b', 9}, {400, 9}}));
  EXPECT_EQ(d.Result, lzwBadCode);
  EXPECT_EQ(d.Out, "ab");
}

TEST(Lzw, SurvivesAnyInput) {
  // Whatever the bytes, the decoder ends with a result and bounded output.
  std::mt19937 rng(42);
  for (int round = 0; round < 400; ++round) {
    std::string z = {'\x1F', '\x9D'};
    z.push_back(static_cast<char>((round & 1 ? 0x80 : 0) | (9 + round % 8)));
    const std::size_t n = 1 + rng() % 3000;
    for (std::size_t i = 0; i < n; ++i) z.push_back(static_cast<char>(rng() & 0xFF));
    // Mostly small codes, so decoding goes on for a while.
    if (round % 3 == 0)
      for (std::size_t i = 3; i < z.size(); i += 2) z[i] = static_cast<char>(z[i] & 0x1F);
    const TDecoded d = Decode(z);
    EXPECT_LE(d.Out.size(), n * 8 * 65536u);
  }
}

}  // namespace
}  // namespace qmx
