// 7z single-chain coders against 7-Zip itself: 7zz packs a file with the
// coders under test (header uncompressed, so its folder record is read
// here), and the packed stream after the start header must decode to the
// file. Names are held against 7zz's listing; damaged input, lying sizes
// and unknown coders are covered at the end.
#include "archive/codec/sevenzip_coders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "archive/codec/branch_filters.h"
#include "archive/codec/crc.h"
#include "support/corpus.h"
#include "tests/support/temp_dir.h"

namespace qmx {
namespace {

using Bytes = std::vector<std::uint8_t>;

bool Have(const std::string& tool) {
  return test::Run("command -v " + tool + " >/dev/null 2>&1") == 0;
}

Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes Noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<std::uint8_t>(rng());
  return b;
}

// Machine code for the branch filters: this machine's own programs.
Bytes Program() {
  const std::string s = test::ReadFile("/usr/bin/ls");
  return Bytes(s.begin(), s.begin() + std::min<std::size_t>(s.size(), 200000));
}

// Words that each branch filter converts, in the encodings those
// instructions have, between noise and short runs: random bytes alone
// rarely hit the rarer cases (x86 opcodes near each other, RISC-V pairs).
Bytes InstructionSoup(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  auto word = [&](std::uint32_t w) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  };
  auto imm = [&](int bits) { return static_cast<std::uint32_t>(rng()) & ((1u << bits) - 1); };
  while (b.size() < n) {
    const std::uint32_t r = rng();
    switch (r % 16) {
      case 0:  // x86 call/jmp, sometimes several close together
        b.push_back(0xE8 | (r >> 4 & 1));
        word(r & 0x100 ? imm(16) : 0xFFFF0000u | imm(16));
        if (r & 0x200) b.push_back(0xE8);
        break;
      case 1:
        word(0xEB000000u | imm(24));
        break;  // ARM bl
      case 2:
        word(0xF800F000u | imm(11) << 16 | imm(11));
        break;  // Thumb bl
      case 3:
        word(__builtin_bswap32(0x48000001u | imm(24) << 2));
        break;  // PPC bl
      case 4:
        word(__builtin_bswap32((r & 8 ? 0x40000000u : 0x7FC00000u) | imm(22)));
        break;
      case 5:
        word(0x94000000u | imm(26));
        break;  // ARM64 bl
      case 6:
        word(0x90000000u | imm(2) << 29 | imm(19) << 5 | imm(5));
        break;  // adrp
      case 7:
        word(0x6F | (r & 0x100 ? 1u : 5u) << 7 | imm(20) << 12);
        break;   // RISC-V jal
      case 8: {  // RISC-V auipc with a second instruction using its register
        const std::uint32_t rd = imm(5);
        word(0x17 | rd << 7 | imm(20) << 12);
        word((r & 0x100 ? 0x13u : 0x67u) | imm(5) << 7 | (r & 0x200 ? rd : imm(5)) << 15 |
             imm(12) << 20);
        break;
      }
      case 9:  // auipc sp/zero that reads like a stored pair
        word(0x3117 | (r & 0x100 ? 0u : 0x100u) | imm(18) << 14);
        word(rng());
        break;
      case 10:
        b.push_back(0x01);
        b.push_back(0x00);
        break;    // 2-byte RISC-V nop
      case 11: {  // IA-64 bundle with branch slots and IP-relative calls
        std::uint8_t bundle[16];
        for (auto& c : bundle) c = static_cast<std::uint8_t>(rng());
        bundle[0] = static_cast<std::uint8_t>((bundle[0] & 0xE0) | (0x10 + imm(4)));
        bundle[15] = static_cast<std::uint8_t>((bundle[15] & 0x87) | 0x50);  // slot 2 opcode 5
        b.insert(b.end(), bundle, bundle + 16);
        break;
      }
      default:
        word(rng());
        break;
    }
  }
  b.resize(n);
  return b;
}

// Bytes from the few values the converters test for, densely: x86 opcodes
// next to each other, displacement bytes both near and far.
Bytes Dense(std::size_t n, std::uint32_t seed) {
  static const std::uint8_t kValues[] = {0xE8, 0xE9, 0x00, 0xFF, 0x12, 0xEB, 0x48, 0x01};
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = kValues[rng() % 8];
  return b;
}

// The one folder of a 7zz archive with an uncompressed header.
struct TFolder {
  std::vector<T7zCoder> Chain;
  std::vector<std::uint64_t> Sizes;
  std::uint64_t PackedSize = 0;
  Bytes Packed;
  std::string Method;  // as 7zz lists it
  std::string Crc;     // of the last file listed
};

struct TReader {
  const Bytes& B;
  std::size_t Pos;
  std::uint8_t Byte() { return B.at(Pos++); }
  std::uint64_t Number() {
    const std::uint8_t first = Byte();
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
      const std::uint8_t bit = 0x80 >> i;
      if ((first & bit) == 0) return v | (static_cast<std::uint64_t>(first & (bit - 1)) << (8 * i));
      v |= static_cast<std::uint64_t>(Byte()) << (8 * i);
    }
    return v;
  }
  void Expect(std::uint8_t id) { ASSERT_EQ(Byte(), id) << "at " << Pos - 1; }
};

TFolder ReadFolder(const Bytes& a) {
  TFolder f;
  std::uint64_t next = 0;
  for (int i = 0; i < 8; ++i) next |= static_cast<std::uint64_t>(a.at(12 + i)) << (8 * i);
  TReader r{a, static_cast<std::size_t>(32 + next)};
  r.Expect(0x01);  // header
  r.Expect(0x04);  // main streams
  r.Expect(0x06);  // pack info
  EXPECT_EQ(r.Number(), 0u);
  EXPECT_EQ(r.Number(), 1u);
  r.Expect(0x09);
  f.PackedSize = r.Number();
  while (r.Byte() != 0x00) {
  }
  r.Expect(0x07);  // unpack info
  r.Expect(0x0B);
  EXPECT_EQ(r.Number(), 1u);
  r.Expect(0x00);
  const std::uint64_t coders = r.Number();
  std::vector<T7zCoder> record;
  for (std::uint64_t i = 0; i < coders; ++i) {
    const std::uint8_t flags = r.Byte();
    EXPECT_EQ(flags & 0x10, 0) << "not a single chain";
    T7zCoder c;
    for (int k = 0; k < (flags & 0xF); ++k) c.MethodId = (c.MethodId << 8) | r.Byte();
    if (flags & 0x20) {
      const std::uint64_t n = r.Number();
      for (std::uint64_t k = 0; k < n; ++k) c.Props.push_back(r.Byte());
    }
    record.push_back(c);
  }
  // Bind pairs: coder `in` reads what coder `out` writes.
  std::vector<std::uint64_t> from(coders, coders);
  std::vector<bool> feeds(coders, false);
  for (std::uint64_t i = 0; i + 1 < coders; ++i) {
    const std::uint64_t in = r.Number(), out = r.Number();
    from.at(in) = out;
    feeds.at(out) = true;
  }
  r.Expect(0x0C);
  std::vector<std::uint64_t> sizes;
  for (std::uint64_t i = 0; i < coders; ++i) sizes.push_back(r.Number());
  // The chain from the coder whose output is the folder's.
  std::uint64_t k = std::find(feeds.begin(), feeds.end(), false) - feeds.begin();
  for (; k < coders; k = from[k]) {
    f.Chain.push_back(record[k]);
    f.Sizes.push_back(sizes[k]);
  }
  EXPECT_EQ(f.Chain.size(), coders);
  f.Packed.assign(a.begin() + 32, a.begin() + 32 + static_cast<std::ptrdiff_t>(f.PackedSize));
  return f;
}

// The folder of a one-folder archive with the method 7zz lists for it.
TFolder ReadArchive(const std::string& path) {
  TFolder f = ReadFolder(ToBytes(test::ReadFile(path)));
  test::TempDir dir;
  test::Run("7zz l -slt '" + path + "' | sed -n 's/^Method = //p' | tail -1 >" + (dir / "m"));
  test::Run("7zz l -slt '" + path + "' | sed -n 's/^CRC = //p' | tail -1 >" + (dir / "c"));
  f.Method = test::ReadFile(dir / "m");
  f.Crc = test::ReadFile(dir / "c");
  for (std::string* s : {&f.Method, &f.Crc})
    if (!s->empty() && s->back() == '\n') s->pop_back();
  return f;
}

// Packs data with 7zz; args choose the coders.
TFolder Pack(const Bytes& data, const std::string& args) {
  test::TempDir dir;
  test::WriteFile(dir / "f", std::string(data.begin(), data.end()));
  const int rc = test::Run("cd " + dir.path() + " && 7zz a -bd -bso0 -mhc=off -ms=off " + args +
                           " x.7z f >/dev/null");
  EXPECT_EQ(rc, 0) << args;
  return ReadArchive(dir / "x.7z");
}

struct TDecoded {
  TLibraryResult Result;
  Bytes Out;
};

// Reads in uneven small pieces, so every coder meets chunk boundaries.
TDecoded Decode(const std::vector<T7zCoder>& chain, const std::vector<std::uint64_t>& sizes,
                const Bytes& packed, std::size_t piece = 777, const bool* cancel = nullptr) {
  TDecoded d;
  std::size_t at = 0;
  d.Result = Decode7zChain(
      chain, sizes,
      [&](void* buf, std::int64_t n) {
        const std::size_t take =
            std::min({static_cast<std::size_t>(n), packed.size() - at, piece + at % 13});
        std::copy_n(packed.begin() + static_cast<std::ptrdiff_t>(at), take,
                    static_cast<std::uint8_t*>(buf));
        at += take;
        return static_cast<std::int64_t>(take);
      },
      [&](const void* p, std::int64_t n) {
        EXPECT_GT(n, 0);
        const auto* b = static_cast<const std::uint8_t*>(p);
        d.Out.insert(d.Out.end(), b, b + n);
        return true;
      },
      cancel);
  return d;
}

class SevenZipCoders : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Have("7zz")) GTEST_SKIP() << "7zz not installed";
  }
};

void CheckRoundTrip(const char* args, const Bytes& data) {
  SCOPED_TRACE(args);
  const TFolder f = Pack(data, args);
  ASSERT_TRUE(Is7zChainSupported(f.Chain));
  std::string name;
  for (const auto& coder : f.Chain) name += (name.empty() ? "" : " ") + SevenZipCoderName(coder);
  EXPECT_EQ(name, f.Method);
  for (const std::size_t piece : {std::size_t{777}, std::size_t{1} << 20}) {
    const TDecoded d = Decode(f.Chain, f.Sizes, f.Packed, piece);
    EXPECT_EQ(d.Result, lrDone);
    ASSERT_EQ(d.Out.size(), data.size());
    EXPECT_TRUE(d.Out == data) << "piece " << piece;
  }
}

TEST_F(SevenZipCoders, MainDecodersMatch7zz) {
  const Bytes text = ToBytes(std::string(300000, 'a') + "tail");
  const char* cases[] = {
      "-m0=Copy",
      "-m0=LZMA:d=64k",
      "-m0=LZMA:d=96k:lc0:lp2:pb0",
      "-m0=LZMA:d=3m:lc4:pb1",
      "-m0=LZMA2:d=1536k",
      "-m0=LZMA2:d=64k",
      "-m0=Deflate",
      "-m0=Deflate64",
      "-m0=BZip2",
  };
  for (const auto& c : cases) {
    CheckRoundTrip(c, Program());
    CheckRoundTrip(c, Noise(70000, 5));
    CheckRoundTrip(c, text);
  }
  // A dictionary of whole MiB that is no power of two ("LZMA2:3m"): 7zz
  // keeps it only for data larger than it.
  CheckRoundTrip("-m0=LZMA2:d=3m", Noise(3200000, 8));
}

TEST_F(SevenZipCoders, FiltersMatch7zz) {
  const char* cases[] = {
      "-m0=BCJ -m1=Copy",
      "-m0=PPC -m1=Copy",
      "-m0=IA64 -m1=Copy",
      "-m0=ARM -m1=Copy",
      "-m0=ARMT -m1=Copy",
      "-m0=SPARC -m1=Copy",
      "-m0=ARM64 -m1=Copy",
      "-m0=RISCV -m1=Copy",
      "-m0=Delta:4 -m1=Copy",
      "-m0=BCJ -m1=LZMA:d=64k",
      "-m0=PPC -m1=Deflate",
      "-m0=ARM64 -m1=Deflate",
      "-m0=Delta:2 -m1=ARM -m2=LZMA2:d=64k",
  };
  const Bytes soup = InstructionSoup(100003, 9);
  for (const auto& c : cases) {
    CheckRoundTrip(c, Program());
    CheckRoundTrip(c, soup);
    CheckRoundTrip(c, Dense(20000, 4));
    CheckRoundTrip(c, Noise(30011, 7));
  }
}

// Real programs for the other architectures, and 7-Zip's Zstandard, from
// the corpus: each folder must decode to what 7zz extracts.
TEST_F(SevenZipCoders, CorpusFoldersMatch7zz) {
  const char* files[] = {
      "bcj_bzip2",    "bcj_copy",     "bcj_deflate", "bcj_lzma1",     "bcj_lzma2",
      "bzip2",        "copy",         "deflate",     "deflate_arm64", "deflate_powerpc",
      "delta4_lzma1", "delta4_lzma2", "delta_lzma1", "delta_lzma2",   "lzma1",
      "lzma2",        "lzma2_arm",    "lzma2_arm64", "lzma2_powerpc", "lzma2_riscv",
      "lzma2_sparc",  "zstd_arm",     "zstd_bcj",    "zstd_nobcj",    "zstd_sparc",
  };
  for (const char* name : files) {
    const std::string path =
        test::CorpusFile(std::string("7z/libarchive/test_read_format_7zip_") + name + ".7z");
    SCOPED_TRACE(path);
    const TFolder f = ReadArchive(path);
    std::string chain;
    for (const auto& c : f.Chain) chain += (chain.empty() ? "" : " ") + SevenZipCoderName(c);
    EXPECT_EQ(chain, f.Method);
    const TDecoded d = Decode(f.Chain, f.Sizes, f.Packed);
    EXPECT_EQ(d.Result, lrDone);
    test::TempDir dir;
    if (test::Run("7zz e -so '" + path + "' >" + (dir / "out") + " 2>/dev/null") == 0) {
      EXPECT_TRUE(d.Out == ToBytes(test::ReadFile(dir / "out")));
    } else {
      // 7zz reads no Zstandard: the one file's CRC as 7zz lists it judges.
      char crc[9];
      std::snprintf(crc, sizeof crc, "%08X", Crc32(d.Out.data(), d.Out.size()));
      EXPECT_EQ(crc, f.Crc);
    }
  }
}

// The soup gives every filter work to do: none of them leaves it as it was.
TEST_F(SevenZipCoders, FiltersConvertTheSoup) {
  const Bytes soup = InstructionSoup(100003, 9);
  for (const char* f : {"BCJ", "PPC", "IA64", "ARM", "ARMT", "SPARC", "ARM64", "RISCV"}) {
    const TFolder folder = Pack(soup, std::string("-m0=") + f + " -m1=Copy");
    EXPECT_NE(folder.Packed, soup) << f;
  }
}

// ARM64 and RISC-V encoders take the address of the first byte.
TEST_F(SevenZipCoders, StartOffsetsMatch7zz) {
  for (const char* c :
       {"-m0=ARM64:4096 -m1=Copy", "-m0=ARM64:1000 -m1=Copy", "-m0=RISCV:6 -m1=LZMA2:d=64k"})
    CheckRoundTrip(c, InstructionSoup(50000, 11));
}

TEST_F(SevenZipCoders, ZstandardFrames) {
  if (!Have("zstd")) GTEST_SKIP() << "zstd not installed";
  test::TempDir dir;
  const Bytes data = Program();
  test::WriteFile(dir / "f", std::string(data.begin(), data.end()));
  // Two frames, as a multi-threaded writer may produce.
  ASSERT_EQ(test::Run("cd " + dir.path() +
                      " && head -c 100000 f | zstd -q -c >z && tail -c +100001 f"
                      " | zstd -q -c >>z"),
            0);
  const Bytes packed = ToBytes(test::ReadFile(dir / "z"));
  const T7zCoder zstd{0x04F71101, {}};
  const TDecoded d = Decode({{0x03, {0}}, zstd}, {data.size(), data.size()}, packed);
  EXPECT_EQ(d.Result, lrDone);
  Bytes expect = data;
  for (std::size_t i = 1; i < expect.size(); ++i) expect[i] += expect[i - 1];  // Delta:1
  EXPECT_TRUE(d.Out == expect);
  EXPECT_EQ(SevenZipCoderName(zstd), "04F71101");  // 7zz knows no name for it
}

// Damaged and lying folders, per main decoder.
TEST_F(SevenZipCoders, DamagedInput) {
  const Bytes data = Program();
  for (const char* args : {"-m0=Copy", "-m0=LZMA:d=64k", "-m0=LZMA2:d=64k", "-m0=Deflate",
                           "-m0=Deflate64", "-m0=BZip2", "-m0=BCJ -m1=LZMA:d=64k"}) {
    SCOPED_TRACE(args);
    const TFolder f = Pack(data, args);
    const std::uint64_t size = f.Sizes[0];
    // Packed data cut short.
    const Bytes cut(f.Packed.begin(),
                    f.Packed.begin() + static_cast<std::ptrdiff_t>(f.Packed.size() / 2));
    TDecoded d = Decode(f.Chain, f.Sizes, cut);
    EXPECT_TRUE(d.Result == lrShort || d.Result == lrBadData) << d.Result;
    EXPECT_LT(d.Out.size(), size);
    if (f.Chain.back().MethodId == 0) {
      EXPECT_EQ(d.Result, lrShort);
    }
    // A declared size below the real one ends the output there.
    std::vector<std::uint64_t> small(f.Sizes.size(), size / 3);
    d = Decode(f.Chain, small, f.Packed);
    EXPECT_EQ(d.Result, lrDone);
    EXPECT_TRUE(d.Out == Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(size / 3)));
    // One above it is never met.
    std::vector<std::uint64_t> big(f.Sizes.size(), size + 1000);
    d = Decode(f.Chain, big, f.Packed);
    EXPECT_NE(d.Result, lrDone);
    EXPECT_LE(d.Out.size(), size + 1000);
    // Noise in place of the packed data.
    if (f.Chain.back().MethodId != 0) {
      d = Decode(f.Chain, f.Sizes, Noise(f.Packed.size(), 3));
      EXPECT_NE(d.Result, lrDone);
      EXPECT_LE(d.Out.size(), size);
    }
  }
}

TEST_F(SevenZipCoders, StopsWhenCancelledOrRefused) {
  const Bytes data = Program();
  const TFolder f = Pack(data, "-m0=ARM64 -m1=LZMA2:d=64k");
  const bool cancel = true;
  EXPECT_EQ(Decode(f.Chain, f.Sizes, f.Packed, 777, &cancel).Result, lrStopped);
  std::size_t calls = 0;
  std::size_t at = 0;
  const TLibraryResult r = Decode7zChain(
      f.Chain, f.Sizes,
      [&](void* buf, std::int64_t n) {
        const std::size_t take = std::min(static_cast<std::size_t>(n), f.Packed.size() - at);
        std::copy_n(f.Packed.begin() + static_cast<std::ptrdiff_t>(at), take,
                    static_cast<std::uint8_t*>(buf));
        at += take;
        return static_cast<std::int64_t>(take);
      },
      [&](const void*, std::int64_t) { return ++calls < 2; }, nullptr);
  EXPECT_EQ(r, lrStopped);
  EXPECT_EQ(calls, 2u);
}

TEST(SevenZipCoderSupport, OnlySingleChainsOfKnownCoders) {
  const T7zCoder lzma{0x030101, {0x5D, 0, 0, 1, 0}}, bcj{0x03030103, {}}, copy{0x00, {}};
  EXPECT_TRUE(Is7zChainSupported({bcj, lzma}));
  EXPECT_TRUE(Is7zChainSupported({{0x03, {3}}, bcj, copy}));
  EXPECT_FALSE(Is7zChainSupported({lzma, bcj}));  // a filter cannot read the packed data
  EXPECT_FALSE(Is7zChainSupported({lzma, copy}));
  EXPECT_FALSE(Is7zChainSupported({}));
  const std::vector<T7zCoder> unsupported = {
      {0x030401, {6, 0, 0, 0, 1}},  // PPMd
      {0x0303011B, {}},             // BCJ2
      {0x06F10701, {0x13}},         // 7zAES
      {0x99, {}},                   // unknown
      {0x030101, {0x5D, 0, 0, 1}},  // LZMA without all its properties
      {0x21, {41}},                 // LZMA2 dictionary beyond 4 GiB
      {0x03, {}},                   // Delta without its distance
      {0x0A, {1, 2}},               // a branch filter's offset is 4 bytes
  };
  for (const auto& c : unsupported) {
    EXPECT_FALSE(Is7zCoderSupported(c)) << SevenZipCoderName(c);
    EXPECT_EQ(Decode7zChain(
                  {c}, {10}, [](void*, std::int64_t) { return std::int64_t{0}; },
                  [](const void*, std::int64_t) { return true; }, nullptr),
              lrBadData);
  }
  // Filters keep the size: differing sizes are a damaged record.
  EXPECT_EQ(Decode7zChain(
                {bcj, copy}, {10, 11}, [](void*, std::int64_t) { return std::int64_t{0}; },
                [](const void*, std::int64_t) { return true; }, nullptr),
            lrBadData);
}

// A dictionary size from a hostile record is refused before anything is
// reserved for it; one beyond the folder's size is cut down to it, so the
// folder still decodes.
TEST_F(SevenZipCoders, DictionaryBoundedByFolderSize) {
  const Bytes packed(64, 0);
  for (const T7zCoder& c : {T7zCoder{0x030101, {0x5D, 0xFF, 0xFF, 0xFF, 0xFF}},
                            T7zCoder{0x21, {40}}, T7zCoder{0x21, {39}}})
    EXPECT_EQ(Decode({c}, {1u << 30}, packed).Result, lrBadData) << SevenZipCoderName(c);
  const Bytes data = Program();
  for (const char* args : {"-m0=LZMA:d=64k", "-m0=LZMA2:d=64k"}) {
    TFolder f = Pack(data, args);
    auto& props = f.Chain[0].Props;
    if (props.size() == 1) {
      props[0] = 40;
    } else {
      std::fill(props.begin() + 1, props.end(), 0xFF);
    }
    const TDecoded d = Decode(f.Chain, f.Sizes, f.Packed);
    EXPECT_EQ(d.Result, lrDone) << args;
    EXPECT_TRUE(d.Out == data) << args;
  }
}

// Names 7zz shows for coders this reader leaves to others, from the corpus
// archives' listings.
TEST(SevenZipCoderSupport, NamesOfOtherCoders) {
  EXPECT_EQ(SevenZipCoderName({0x030401, {6, 0, 0, 0, 1}}), "PPMD:o6:mem24");
  EXPECT_EQ(SevenZipCoderName({0x06F10701, {0x13}}), "7zAES:19");
  EXPECT_EQ(SevenZipCoderName({0x0303011B, {}}), "BCJ2");
  EXPECT_EQ(SevenZipCoderName({0x21, {9}}), "LZMA2:96k");
  EXPECT_EQ(SevenZipCoderName({0x21, {17}}), "LZMA2:1536k");
  // An offset 7zz does not write, patched into one of its archives.
  EXPECT_EQ(SevenZipCoderName({0x0A, {0, 0, 0, 0}}), "ARM64:0");
}

}  // namespace
}  // namespace qmx
