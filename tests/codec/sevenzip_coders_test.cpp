// 7z single-chain coders against 7-Zip itself: 7zz packs a file with the
// coders under test (header uncompressed, so its folder record is read
// here), and the packed stream after the start header must decode to the
// file, with the coder names 7zz lists. The corpus adds real programs for
// other processors and 7-Zip's Zstandard.
#include "archive/codec/sevenzip_coders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "archive/codec/crc.h"
#include "support/corpus.h"
#include "tests/support/temp_dir.h"

namespace qmx {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

Bytes Noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<std::uint8_t>(rng());
  return b;
}

// Machine code: this machine's own programs.
Bytes Program() {
  const Bytes b = ToBytes(test::ReadFile("/usr/bin/ls"));
  return Bytes(b.begin(), b.begin() + std::min<std::ptrdiff_t>(b.size(), 200000));
}

// The byte values the converters look for, densely: x86 opcodes close
// together, near and far displacements, RISC-V pairs and stored-pair look-
// alikes, the other processors' call opcodes.
Bytes Dense(std::size_t n, std::uint32_t seed) {
  static const std::uint8_t kValues[] = {0xE8, 0xE9, 0x00, 0xFF, 0xEB, 0xF0, 0xF8, 0x48,
                                         0x01, 0x40, 0x7F, 0x94, 0x90, 0xEF, 0x17, 0x31};
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = kValues[rng() % 16];
  return b;
}

// The one folder of a 7z archive with an uncompressed header.
struct TFolder {
  std::vector<T7zCoder> Chain;
  std::vector<std::uint64_t> Sizes;
  Bytes Packed;
  std::string Method, Crc;  // as 7zz lists them (for the last file)
};

struct TReader {
  const Bytes& B;
  std::size_t Pos;
  std::uint8_t Byte() { return B.at(Pos++); }
  std::uint64_t Number() {
    const std::uint8_t first = Byte();
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
      if ((first & (0x80 >> i)) == 0) return v | std::uint64_t(first & ((0x80 >> i) - 1)) << 8 * i;
      v |= std::uint64_t(Byte()) << 8 * i;
    }
    return v;
  }
};

std::string Listed(const std::string& path, const std::string& field) {
  test::TempDir dir;
  test::Run("7zz l -slt '" + path + "' | sed -n 's/^" + field +
            " = //p' | tail -1 | tr -d '\\n' >" + (dir / "v"));
  return test::ReadFile(dir / "v");
}

// Pack info, then the folder's coders, bind pairs and sizes.
TFolder ReadArchive(const std::string& path) {
  const Bytes a = ToBytes(test::ReadFile(path));
  TFolder f;
  TReader r{a, 32};
  for (int i = 0; i < 8; ++i) r.Pos += std::size_t(a.at(12 + i)) << 8 * i;
  for (const std::uint8_t id : {0x01, 0x04, 0x06, 0x00, 0x01, 0x09}) EXPECT_EQ(r.Number(), id);
  const std::uint64_t packed = r.Number();
  while (r.Byte() != 0x00) {
  }
  for (const std::uint8_t id : {0x07, 0x0B, 0x01, 0x00}) EXPECT_EQ(r.Number(), id);
  const std::uint64_t coders = r.Number();
  std::vector<T7zCoder> record(coders);
  for (auto& c : record) {
    const std::uint8_t flags = r.Byte();
    EXPECT_EQ(flags & 0x10, 0) << "not a single chain";
    for (int k = 0; k < (flags & 0xF); ++k) c.MethodId = (c.MethodId << 8) | r.Byte();
    if (flags & 0x20) c.Props.resize(r.Number());
    for (auto& p : c.Props) p = r.Byte();
  }
  // Coder `in` reads what coder `out` writes; the one nobody reads is the
  // folder's output.
  std::vector<std::uint64_t> from(coders, coders);
  std::vector<bool> read(coders, false);
  for (std::uint64_t i = 0; i + 1 < coders; ++i) {
    const std::uint64_t in = r.Number(), out = r.Number();
    from.at(in) = out;
    read.at(out) = true;
  }
  EXPECT_EQ(r.Byte(), 0x0C);
  std::vector<std::uint64_t> sizes(coders);
  for (auto& s : sizes) s = r.Number();
  for (auto k = std::uint64_t(std::find(read.begin(), read.end(), false) - read.begin());
       k < coders; k = from[k]) {
    f.Chain.push_back(record[k]);
    f.Sizes.push_back(sizes[k]);
  }
  EXPECT_EQ(f.Chain.size(), coders);
  f.Packed.assign(a.begin() + 32, a.begin() + 32 + static_cast<std::ptrdiff_t>(packed));
  f.Method = Listed(path, "Method");
  f.Crc = Listed(path, "CRC");
  return f;
}

// Packs data with 7zz; args choose the coders.
TFolder Pack(const Bytes& data, const std::string& args) {
  test::TempDir dir;
  test::WriteFile(dir / "f", std::string(data.begin(), data.end()));
  EXPECT_EQ(test::Run("cd " + dir.path() + " && 7zz a -bd -bso0 -mhc=off -ms=off " + args +
                      " x.7z f >/dev/null"),
            0)
      << args;
  return ReadArchive(dir / "x.7z");
}

struct TDecoded {
  TLibraryResult Result;
  Bytes Out;
};

// Reads in uneven pieces, so every coder meets chunk boundaries.
TDecoded Decode(const std::vector<T7zCoder>& chain, const std::vector<std::uint64_t>& sizes,
                const Bytes& packed, std::size_t piece = 777, const bool* cancel = nullptr,
                std::size_t maxWrites = SIZE_MAX) {
  TDecoded d;
  std::size_t at = 0, writes = 0;
  d.Result = Decode7zChain(
      chain, sizes,
      [&](void* buf, std::int64_t n) {
        const std::size_t take = std::min({std::size_t(n), packed.size() - at, piece + at % 13});
        std::copy_n(packed.begin() + std::ptrdiff_t(at), take, static_cast<std::uint8_t*>(buf));
        at += take;
        return std::int64_t(take);
      },
      [&](const void* p, std::int64_t n) {
        EXPECT_GT(n, 0);
        d.Out.insert(d.Out.end(), static_cast<const std::uint8_t*>(p),
                     static_cast<const std::uint8_t*>(p) + n);
        return ++writes < maxWrites;
      },
      cancel);
  return d;
}

std::string ChainName(const std::vector<T7zCoder>& chain) {
  std::string name;
  for (const auto& c : chain) name += (name.empty() ? "" : " ") + SevenZipCoderName(c);
  return name;
}

class SevenZipCoders : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::Run("command -v 7zz >/dev/null") != 0) GTEST_SKIP() << "7zz not installed";
  }
};

void CheckRoundTrip(const std::string& args, const Bytes& data) {
  SCOPED_TRACE(args);
  const TFolder f = Pack(data, args);
  ASSERT_TRUE(Is7zChainSupported(f.Chain));
  EXPECT_EQ(ChainName(f.Chain), f.Method);
  for (const std::size_t piece : {std::size_t{777}, std::size_t{1} << 20}) {
    const TDecoded d = Decode(f.Chain, f.Sizes, f.Packed, piece);
    EXPECT_EQ(d.Result, lrDone);
    EXPECT_TRUE(d.Out == data) << "piece " << piece;
  }
}

TEST_F(SevenZipCoders, MainDecodersMatch7zz) {
  const Bytes text = ToBytes(std::string(300000, 'a') + "tail");
  for (const char* c :
       {"-m0=Copy", "-m0=LZMA:d=64k", "-m0=LZMA:d=64k:eos", "-m0=LZMA:d=96k:lc0:lp2:pb0",
        "-m0=LZMA2:d=1536k", "-m0=LZMA2:d=64k", "-m0=Deflate", "-m0=Deflate64", "-m0=BZip2"}) {
    for (const Bytes& data : {Program(), Noise(70000, 5), text}) CheckRoundTrip(c, data);
  }
  // Whole MiB that are no power of two ("3m"): 7zz keeps them only for
  // data larger than that.
  CheckRoundTrip("-m0=LZMA2:d=3m", Noise(3200000, 8));
}

TEST_F(SevenZipCoders, FiltersMatch7zz) {
  const Bytes dense = Dense(30000, 4);
  for (const std::string f : {"BCJ", "PPC", "IA64", "ARM", "ARMT", "SPARC", "ARM64", "RISCV",
                              "Delta:4", "ARM64:4096", "ARM64:1000", "RISCV:6"}) {
    for (const Bytes& data : {Program(), dense}) CheckRoundTrip("-m0=" + f + " -m1=Copy", data);
    // Each filter had work to do here.
    if (f.find(':') == std::string::npos) {
      EXPECT_NE(Pack(dense, "-m0=" + f + " -m1=Copy").Packed, dense) << f;
    }
  }
  for (const char* c : {"-m0=BCJ -m1=LZMA:d=64k", "-m0=PPC -m1=Deflate", "-m0=ARM64 -m1=Deflate",
                        "-m0=Delta:2 -m1=ARM -m2=LZMA2:d=64k"})
    CheckRoundTrip(c, Program());
}

TEST_F(SevenZipCoders, CorpusFoldersMatch7zz) {
  for (const char* name :
       {"bcj_bzip2",    "bcj_copy",     "bcj_deflate", "bcj_lzma1",     "bcj_lzma2",
        "bzip2",        "copy",         "deflate",     "deflate_arm64", "deflate_powerpc",
        "delta4_lzma1", "delta4_lzma2", "delta_lzma1", "delta_lzma2",   "lzma1",
        "lzma2",        "lzma2_arm",    "lzma2_arm64", "lzma2_powerpc", "lzma2_riscv",
        "lzma2_sparc",  "zstd_arm",     "zstd_bcj",    "zstd_nobcj",    "zstd_sparc"}) {
    const std::string path =
        test::CorpusFile(std::string("7z/libarchive/test_read_format_7zip_") + name + ".7z");
    SCOPED_TRACE(path);
    const TFolder f = ReadArchive(path);
    EXPECT_EQ(ChainName(f.Chain), f.Method);
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

TEST_F(SevenZipCoders, ZstandardFrames) {
  if (test::Run("command -v zstd >/dev/null") != 0) GTEST_SKIP() << "zstd not installed";
  test::TempDir dir;
  Bytes data = Program();
  test::WriteFile(dir / "f", std::string(data.begin(), data.end()));
  // Two frames, as a multi-threaded writer may make.
  ASSERT_EQ(test::Run("cd " + dir.path() +
                      " && head -c 100000 f | zstd -q >z && tail -c +100001 f | zstd -q >>z"),
            0);
  const T7zCoder zstd{0x04F71101, {}};
  const TDecoded d =
      Decode({{0x03, {0}}, zstd}, {data.size(), data.size()}, ToBytes(test::ReadFile(dir / "z")));
  EXPECT_EQ(d.Result, lrDone);
  for (std::size_t i = 1; i < data.size(); ++i) data[i] += data[i - 1];  // Delta:1
  EXPECT_TRUE(d.Out == data);
  EXPECT_EQ(SevenZipCoderName(zstd), "04F71101");  // 7zz knows no name for it
}

TEST_F(SevenZipCoders, DamagedAndLyingFolders) {
  const Bytes data = Program();
  for (const char* args : {"-m0=Copy", "-m0=LZMA:d=64k", "-m0=LZMA2:d=64k", "-m0=Deflate",
                           "-m0=Deflate64", "-m0=BZip2", "-m0=BCJ -m1=LZMA:d=64k"}) {
    SCOPED_TRACE(args);
    const TFolder f = Pack(data, args);
    const std::size_t size = f.Sizes[0];
    const bool copy = f.Chain.back().MethodId == 0;
    // Packed data cut short.
    TDecoded d = Decode(f.Chain, f.Sizes, Bytes(f.Packed.begin(), f.Packed.end() - 300));
    EXPECT_TRUE(d.Result == lrShort || (!copy && d.Result == lrBadData)) << d.Result;
    EXPECT_LT(d.Out.size(), size);
    // A declared size below the real one ends the output there.
    d = Decode(f.Chain, std::vector<std::uint64_t>(f.Chain.size(), size / 3), f.Packed);
    EXPECT_EQ(d.Result, lrDone);
    EXPECT_TRUE(d.Out == Bytes(data.begin(), data.begin() + std::ptrdiff_t(size / 3)));
    // One above it is never met.
    d = Decode(f.Chain, std::vector<std::uint64_t>(f.Chain.size(), size + 1000), f.Packed);
    EXPECT_NE(d.Result, lrDone);
    EXPECT_LE(d.Out.size(), size + 1000);
    if (!copy) {
      d = Decode(f.Chain, f.Sizes, Noise(f.Packed.size(), 3));
      EXPECT_NE(d.Result, lrDone);
      EXPECT_LE(d.Out.size(), size);
    }
  }
  // A cancel flag, or a write that refuses more, stops the chain.
  const TFolder f = Pack(data, "-m0=ARM64 -m1=LZMA2:d=64k");
  const bool cancel = true;
  EXPECT_EQ(Decode(f.Chain, f.Sizes, f.Packed, 777, &cancel).Result, lrStopped);
  EXPECT_EQ(Decode(f.Chain, f.Sizes, f.Packed, 777, nullptr, 1).Result, lrStopped);
}

// A dictionary size from a hostile record is refused before anything is
// reserved for it; one beyond the folder's size is cut down to it, so the
// folder still decodes.
TEST_F(SevenZipCoders, DictionaryBoundedByFolderSize) {
  for (const T7zCoder& c : {T7zCoder{0x030101, {0x5D, 0xFF, 0xFF, 0xFF, 0xFF}},
                            T7zCoder{0x21, {40}}, T7zCoder{0x21, {39}}})
    EXPECT_EQ(Decode({c}, {1u << 30}, Bytes(64)).Result, lrBadData) << SevenZipCoderName(c);
  const Bytes data = Program();
  for (const char* args : {"-m0=LZMA:d=64k", "-m0=LZMA2:d=64k"}) {
    TFolder f = Pack(data, args);
    auto& props = f.Chain[0].Props;
    std::fill(props.begin() + (props.size() == 5), props.end(), props.size() == 5 ? 0xFF : 40);
    const TDecoded d = Decode(f.Chain, f.Sizes, f.Packed);
    EXPECT_EQ(d.Result, lrDone) << args;
    EXPECT_TRUE(d.Out == data) << args;
  }
}

TEST(SevenZipCoderSupport, OnlySingleChainsOfKnownCoders) {
  const T7zCoder lzma{0x030101, {0x5D, 0, 0, 1, 0}}, bcj{0x03030103, {}}, copy{0x00, {}};
  EXPECT_TRUE(Is7zChainSupported({bcj, lzma}));
  EXPECT_TRUE(Is7zChainSupported({{0x03, {3}}, bcj, copy}));
  EXPECT_FALSE(Is7zChainSupported({lzma, bcj}));  // a filter cannot read the packed data
  EXPECT_FALSE(Is7zChainSupported({lzma, copy}));
  EXPECT_FALSE(Is7zChainSupported({}));
  auto none = [](void*, std::int64_t) { return std::int64_t{0}; };
  auto any = [](const void*, std::int64_t) { return true; };
  // PPMd, BCJ2, 7zAES, an unknown id, LZMA short of properties, LZMA2 past
  // 4 GiB, Delta without its distance, a branch offset not of 4 bytes.
  for (const T7zCoder& c :
       {T7zCoder{0x030401, {6, 0, 0, 0, 1}}, T7zCoder{0x0303011B, {}}, T7zCoder{0x06F10701, {0x13}},
        T7zCoder{0x99, {}}, T7zCoder{0x030101, {0x5D, 0, 0, 1}}, T7zCoder{0x21, {41}},
        T7zCoder{0x03, {}}, T7zCoder{0x0A, {1, 2}}}) {
    EXPECT_FALSE(Is7zCoderSupported(c)) << SevenZipCoderName(c);
    EXPECT_EQ(Decode7zChain({c}, {10}, none, any, nullptr), lrBadData);
  }
  // Filters keep the size: differing sizes are a damaged record.
  EXPECT_EQ(Decode7zChain({bcj, copy}, {10, 11}, none, any, nullptr), lrBadData);
  // Names from the corpus archives' listings, and of a start offset 7zz
  // does not write (patched into one of its archives).
  EXPECT_EQ(SevenZipCoderName({0x030401, {6, 0, 0, 0, 1}}), "PPMD:o6:mem24");
  EXPECT_EQ(SevenZipCoderName({0x06F10701, {0x13}}), "7zAES:19");
  EXPECT_EQ(SevenZipCoderName({0x0303011B, {}}), "BCJ2");
  EXPECT_EQ(SevenZipCoderName({0x0A, {0, 0, 0, 0}}), "ARM64:0");
}

}  // namespace
}  // namespace qmx
