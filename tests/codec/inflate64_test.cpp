// Deflate64 and plain Deflate decoding: real Deflate64 archives (corpus and
// fresh 7-Zip ones) against their CRCs and against 7-Zip's own extraction,
// plain streams against zlib, hand-built blocks for the mode differences,
// and damaged input.
#include "archive/codec/inflate64.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <random>

#include "archive/codec/crc.h"
#include "archive/zip/zip_reader.h"
#include "support/corpus.h"
#include "tests/codec/window_test_util.h"
#include "tests/support/temp_dir.h"

namespace qmx {
namespace {

namespace fs = std::filesystem;
using namespace wintest;
const std::string kCorpus = test::CorpusDir() + "/zip/";

TRun Inflate(const Bytes& data, std::int64_t at, std::int64_t packed, bool deflate64,
             std::int64_t limit = -1, const bool* cancel = nullptr) {
  return RunDecoder(
      data, at, packed,
      [&](TLegacyInput& in, TLegacyWriteFunc w) {
        return InflateEntry(in, std::move(w), deflate64, limit, cancel);
      },
      cancel);
}

TRun Inflate(const Bytes& data, bool deflate64, std::int64_t limit = -1) {
  return Inflate(data, 0, static_cast<std::int64_t>(data.size()), deflate64, limit);
}

Bytes Noise(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<std::uint8_t>(rng());
  return b;
}

// Text with repeats near and far, then noise.
Bytes Mixed(std::size_t n) {
  Bytes b;
  std::mt19937 rng(3);
  while (b.size() < n) {
    const std::string word = "entry" + std::to_string(rng() % 50) + (rng() % 7 ? " " : "\n");
    b.insert(b.end(), word.begin(), word.end());
    if (rng() % 40 == 0) {
      const Bytes noise = Noise(rng() % 600, rng());
      b.insert(b.end(), noise.begin(), noise.end());
    }
  }
  b.resize(n);
  return b;
}

Bytes RawDeflate(const Bytes& in, int level, int strategy, int windowBits = -15) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, windowBits, 8, strategy), Z_OK);
  Bytes out(deflateBound(&z, in.size()) + 64);
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Fixed-code symbols, first bit first.
void FixedLiteral(TBitWriter& w, int v) {
  if (v < 144)
    w.Code(0x30 + v, 8);
  else if (v < 256)
    w.Code(0x190 + v - 144, 9);
  else if (v < 280)
    w.Code(v - 256, 7);
  else
    w.Code(0xC0 + v - 280, 8);
}

// --- real archives

TEST(Inflate64Corpus, EveryDeflate64EntryDecodesToItsCrc) {
  int decoded = 0;
  for (const char* name : {"legacy/commons-compress/COMPRESS-380.zip",
                           "legacy/commons-compress/COMPRESS-380-readbeyondmemory.zip",
                           "legacy/commons-compress/lorem-ipsum-deflate64.zip",
                           "legacy/sharpcompress/Zip.deflate64.zip"}) {
    const Bytes zip = Load(kCorpus + name);
    ASSERT_FALSE(zip.empty()) << name;
    for (const TEntry& e : ListZip(zip)) {
      if (e.Method != 9) continue;
      SCOPED_TRACE(std::string(name) + ": " + e.Name);
      const TRun run = Inflate(zip, e.DataAt, e.Packed, true);
      EXPECT_EQ(run.Result, wrOk);
      EXPECT_EQ(static_cast<std::int64_t>(run.Out.size()), e.Unpacked);
      EXPECT_EQ(Crc32(run.Out.data(), run.Out.size()), e.Crc);
      EXPECT_LE(run.SourceEnd, e.DataAt + e.Packed);
      ++decoded;
    }
  }
  EXPECT_EQ(decoded, 6);
}

std::map<std::string, bool> Extract(const std::string& archive, const std::string& dir) {
  TUnZip z;
  std::map<std::string, bool> verdicts;
  z.SetArchiveFile(archive);
  z.SetExtractDir(dir);
  z.SetFileSpec({"*.*"});
  z.OnEnd = [&](TZipCommon&, const std::string& name, bool pass) { verdicts[name] = pass; };
  z.Extract();
  return verdicts;
}

TEST(Inflate64Corpus, ReaderExtractsDeflate64Entries) {
  test::TempDir tmp;
  const auto verdicts = Extract(kCorpus + "legacy/sharpcompress/Zip.deflate64.zip", tmp / "x/");
  EXPECT_EQ(verdicts.size(), 6u);  // three files and three directories
  for (auto& [name, pass] : verdicts) EXPECT_TRUE(pass) << name;
  EXPECT_EQ(test::ReadFile(tmp / "x/exe/test.exe"),
            test::ReadFile(kCorpus + "expected/sharpcompress/test.exe"));
  EXPECT_EQ(test::ReadFile(tmp / "x/jpg/test.jpg"),
            test::ReadFile(kCorpus + "expected/sharpcompress/test.jpg"));
}

TEST(Inflate64SevenZip, ArchivesMatchSevenZipsOwnExtraction) {
  test::TempDir tmp;
  const std::string src = tmp / "src/";
  fs::create_directories(src + "sub");
  test::WriteFile(src + "a.txt", "hello deflate64\n");
  test::WriteFile(src + "sub/empty.txt", "");
  const Bytes text = Mixed(20000);
  test::WriteFile(src + "sub/text.txt", std::string(text.begin(), text.end()));
  // Far repeats: a 40 KB noise block seen again 60 KB later can only be
  // matched with distances beyond 32 KiB.
  Bytes big = Noise(40000, 11), gap = Noise(20000, 12);
  big.insert(big.end(), gap.begin(), gap.end());
  big.insert(big.end(), big.begin(), big.begin() + 40000);
  const Bytes tail = Mixed(150000);
  big.insert(big.end(), tail.begin(), tail.end());
  test::WriteFile(src + "big.bin", std::string(big.begin(), big.end()));

  const std::string arc = tmp / "d64.zip";
  ASSERT_EQ(test::Run("cd '" + src + "' && 7zz a -tzip -mm=Deflate64 -mx=9 '" + arc +
                      "' . >/dev/null 2>&1"),
            0);
  ASSERT_EQ(test::Run("7zz x -y -o'" + tmp / "ref" + "' '" + arc + "' >/dev/null 2>&1"), 0);

  const Bytes zip = Load(arc);
  int deflate64 = 0;
  for (const TEntry& e : ListZip(zip)) deflate64 += e.Method == 9;
  EXPECT_GE(deflate64, 2);  // the tiny files may be stored

  const auto verdicts = Extract(arc, tmp / "out/");
  EXPECT_GE(verdicts.size(), 4u);
  for (auto& [name, pass] : verdicts) EXPECT_TRUE(pass) << name;
  for (const char* name : {"a.txt", "sub/empty.txt", "sub/text.txt", "big.bin"}) {
    EXPECT_EQ(test::ReadFile(tmp / "out/" + name), test::ReadFile(tmp / "ref/" + name)) << name;
    EXPECT_EQ(test::ReadFile(tmp / "out/" + name), test::ReadFile(src + name)) << name;
  }

  // The far matches really are there: the 32 KiB mode cannot decode them.
  for (const TEntry& e : ListZip(zip)) {
    if (e.Name != "big.bin") continue;
    const TRun plain = Inflate(zip, e.DataAt, e.Packed, false);
    EXPECT_FALSE(plain.Result == wrOk && Crc32(plain.Out.data(), plain.Out.size()) == e.Crc);
  }
}

// --- plain mode against zlib

TEST(InflatePlain, DecodesZlibStreamsOfEveryBlockKind) {
  const Bytes data = Mixed(300000);
  const struct {
    int Level, Strategy;
  } kinds[] = {{0, Z_DEFAULT_STRATEGY}, {1, Z_DEFAULT_STRATEGY},
               {9, Z_DEFAULT_STRATEGY}, {6, Z_FIXED},
               {6, Z_HUFFMAN_ONLY},     {6, Z_RLE}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.Level * 10 + k.Strategy);
    const TRun run = Inflate(RawDeflate(data, k.Level, k.Strategy), false);
    EXPECT_EQ(run.Result, wrOk);
    EXPECT_TRUE(run.Out == data);
  }
  const TRun empty = Inflate(RawDeflate({}, 6, Z_DEFAULT_STRATEGY), false);
  EXPECT_EQ(empty.Result, wrOk);
  EXPECT_TRUE(empty.Out.empty());
}

// --- mode differences

TEST(InflateModes, LengthCode285) {
  TBitWriter w;
  w.Put(1, 1).Put(1, 2);
  FixedLiteral(w, 'z');
  FixedLiteral(w, 285);
  w.Put(0, 16);  // extra bits, Deflate64 only
  w.Code(0, 5);  // distance 1
  FixedLiteral(w, 256);
  const TRun d64 = Inflate(w.Buf, true);
  ASSERT_EQ(d64.Result, wrOk);
  EXPECT_EQ(d64.Out, Bytes(4, 'z'));  // 1 + base 3

  // Plain mode reads no extra bits: the zero bits become distance code 0
  // and the next zero bits an end-of-block code.
  TBitWriter p;
  p.Put(1, 1).Put(1, 2);
  FixedLiteral(p, 'z');
  FixedLiteral(p, 285);
  p.Code(0, 5);
  FixedLiteral(p, 256);
  const TRun plain = Inflate(p.Buf, false);
  ASSERT_EQ(plain.Result, wrOk);
  EXPECT_EQ(plain.Out, Bytes(259, 'z'));

  TBitWriter big;  // 16 extra bits of all ones: 3 + 65535
  big.Put(1, 1).Put(1, 2);
  FixedLiteral(big, 'k');
  FixedLiteral(big, 285);
  big.Put(0xFFFF, 16).Code(0, 5);
  FixedLiteral(big, 256);
  const TRun far = Inflate(big.Buf, true);
  ASSERT_EQ(far.Result, wrOk);
  EXPECT_EQ(far.Out, Bytes(65539, 'k'));
}

// A stored block of `prefix` noise, then a fixed block copying 3 bytes from
// the distance code `dcode` with extra bits 0.
Bytes FarCopy(const Bytes& prefix, int dcode, int extra) {
  TBitWriter w;
  w.Put(0, 1).Put(0, 2);
  const auto n = static_cast<std::uint16_t>(prefix.size());
  w.Byte(n & 0xFF).Byte(n >> 8).Byte(~n & 0xFF).Byte((~n >> 8) & 0xFF);
  for (auto b : prefix) w.Byte(b);
  w.Put(1, 1).Put(1, 2);
  FixedLiteral(w, 257);  // length 3
  w.Code(static_cast<std::uint32_t>(dcode), 5).Put(0, extra);
  FixedLiteral(w, 256);
  return w.Buf;
}

TEST(InflateModes, DistanceCodes30And31OnlyInDeflate64) {
  const Bytes prefix = Noise(60000, 5);
  for (int code : {30, 31}) {
    SCOPED_TRACE(code);
    const std::size_t dist = code == 30 ? 32769 : 49153;
    const TRun d64 = Inflate(FarCopy(prefix, code, 14), true);
    ASSERT_EQ(d64.Result, wrOk);
    ASSERT_EQ(d64.Out.size(), prefix.size() + 3);
    for (int i = 0; i < 3; ++i)
      EXPECT_EQ(d64.Out[prefix.size() + i], prefix[prefix.size() - dist + i]);
    EXPECT_EQ(Inflate(FarCopy(prefix, code, 14), false).Result, wrBadData);
  }
  // A distance before the start of the output is corrupt in both modes.
  EXPECT_EQ(Inflate(FarCopy(Noise(100, 6), 29, 13), true).Result, wrBadData);
}

TEST(InflateModes, BadBlocks) {
  TBitWriter stored;  // NLEN not the complement of LEN
  stored.Put(1, 1).Put(0, 2).Byte(5).Byte(0).Byte(0xFA).Byte(0xFE);
  for (int i = 0; i < 5; ++i) stored.Byte('s');
  EXPECT_EQ(Inflate(stored.Buf, false).Result, wrBadData);

  TBitWriter type3;
  type3.Put(1, 1).Put(3, 2).Put(0, 13);
  EXPECT_EQ(Inflate(type3.Buf, true).Result, wrBadData);

  TBitWriter repeat;  // dynamic header opening with "repeat previous"
  repeat.Put(1, 1).Put(2, 2).Put(0, 5).Put(0, 5).Put(0, 4);
  repeat.Put(1, 3).Put(0, 3).Put(0, 3).Put(1, 3);  // one-bit codes: 0 is "0", 16 is "1"
  repeat.Code(1, 1).Put(0, 2).Put(0, 16);
  EXPECT_EQ(Inflate(repeat.Buf, false).Result, wrBadData);
}

// --- limits and damage

TEST(InflateDamage, TruncationCapCancelAndWriteFailure) {
  const Bytes data = Mixed(200000);
  const Bytes packed = RawDeflate(data, 9, Z_DEFAULT_STRATEGY);
  Bytes padded = packed;
  padded.resize(packed.size() + 100, 0xAA);  // the source holds more than the entry
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, packed.size() / 3, packed.size() - 1}) {
    SCOPED_TRACE(cut);
    const TRun run = Inflate(padded, 0, static_cast<std::int64_t>(cut), false);
    EXPECT_EQ(run.Result, wrInputShort);
    EXPECT_LE(run.SourceEnd, static_cast<std::int64_t>(cut));
    EXPECT_TRUE(std::equal(run.Out.begin(), run.Out.end(), data.begin()));
  }

  const TRun capped = Inflate(packed, false, 12345);
  EXPECT_EQ(capped.Result, wrOk);
  EXPECT_TRUE(capped.Out == Bytes(data.begin(), data.begin() + 12345));

  bool cancel = true;
  EXPECT_EQ(Inflate(packed, 0, static_cast<std::int64_t>(packed.size()), false, -1, &cancel).Result,
            wrCanceled);

  TMemoryStream32 src;
  src.Write(packed.data(), static_cast<std::int64_t>(packed.size()));
  src.SetPosition(0);
  TLegacyInput in(src, static_cast<std::int64_t>(packed.size()));
  int calls = 0;
  EXPECT_EQ(InflateEntry(
                in, [&](const void*, std::int64_t n) { return ++calls == 3 ? 0 : n; }, false),
            wrWriteError);
  EXPECT_EQ(calls, 3);
}

TEST(InflateDamage, RandomAndMutatedInputEndsWithAResult) {
  const Bytes good = RawDeflate(Mixed(5000), 9, Z_DEFAULT_STRATEGY);
  std::mt19937 rng(9);
  for (int i = 0; i < 600; ++i) {
    Bytes data = good;
    if (i % 2) {
      data.assign(1 + rng() % 3000, 0);
      for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    } else {
      for (int k = 0; k < 3; ++k) data[rng() % data.size()] ^= 1 << (rng() % 8);
    }
    const TRun run = Inflate(data, (i & 2) != 0, 100000);
    EXPECT_LE(run.Out.size(), 100000u);
    EXPECT_TRUE(run.Result >= wrCanceled + 1 && run.Result <= wrBadCounts) << run.Result;
  }
}

// --- GZip members

TEST(InflateGZip, TrailerAndNextMemberFollowTheStream) {
  const Bytes one = Mixed(70000), two = Noise(3000, 4);
  Bytes file = RawDeflate(one, 6, Z_DEFAULT_STRATEGY, 31);
  const Bytes second = RawDeflate(two, 1, Z_DEFAULT_STRATEGY, 31);
  file.insert(file.end(), second.begin(), second.end());

  TMemoryStream32 src;
  src.Write(file.data(), static_cast<std::int64_t>(file.size()));
  src.SetPosition(0);
  TLegacyInput in(src, static_cast<std::int64_t>(file.size()));
  Bytes out;
  TInflater inflater(
      in,
      [&](const void* p, std::int64_t n) {
        out.insert(out.end(), static_cast<const std::uint8_t*>(p),
                   static_cast<const std::uint8_t*>(p) + n);
        return n;
      },
      false);
  for (const Bytes* member : {&one, &two}) {
    std::uint8_t header[10];
    for (auto& b : header) ASSERT_TRUE(inflater.ReadByte(b));
    ASSERT_EQ(header[0], 0x1F);
    const std::size_t before = out.size();
    ASSERT_EQ(inflater.Run(), wrOk);
    Bytes trailer(8);
    for (auto& b : trailer) ASSERT_TRUE(inflater.ReadByte(b));
    EXPECT_TRUE(Bytes(out.begin() + before, out.end()) == *member);
    EXPECT_EQ(Le(trailer, 0, 4), Crc32(member->data(), member->size()));
    EXPECT_EQ(Le(trailer, 4, 4), member->size());
  }
  std::uint8_t extra;
  EXPECT_FALSE(inflater.ReadByte(extra));
}

}  // namespace
}  // namespace qmx
