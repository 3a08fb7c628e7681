// Implode decoding against PKZIP-era archives (through the decoder and
// through TUnZip), hand-built streams for the dictionary and tree variants,
// and damaged input.
#include "archive/codec/explode.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "archive/codec/crc.h"
#include "archive/zip/zip_reader.h"
#include "support/corpus.h"
#include "tests/codec/window_test_util.h"
#include "tests/support/temp_dir.h"

namespace qmx {
namespace {

using namespace wintest;
const std::string kCorpus = test::CorpusDir() + "/zip/";

TRun Explode(const Bytes& data, std::int64_t at, std::int64_t packed, std::uint16_t flags,
             std::int64_t unpacked, const bool* cancel = nullptr) {
  return RunDecoder(
      data, at, packed,
      [&](TLegacyInput& in, TLegacyWriteFunc w) {
        return ExplodeEntry(in, std::move(w), {flags, packed, unpacked}, cancel);
      },
      cancel);
}

TRun Explode(const Bytes& data, std::uint16_t flags, std::int64_t unpacked) {
  return Explode(data, 0, static_cast<std::int64_t>(data.size()), flags, unpacked);
}

// A tree giving every one of Count codes the same length.
void FlatTree(TBitWriter& w, int count, int length) {
  w.Byte(static_cast<std::uint8_t>(count / 16 - 1));
  for (int i = 0; i < count / 16; ++i) w.Byte(static_cast<std::uint8_t>(0xF0 | (length - 1)));
}

const char* kImplodeArchives[] = {"legacy/commons-compress/imploding-4Kdict-2trees.zip",
                                  "legacy/commons-compress/imploding-8Kdict-3trees.zip",
                                  "legacy/commons-compress/lorem-ipsum-implode.zip",
                                  "legacy/commons-compress/moby-imploded.zip",
                                  "legacy/sharpcompress/Zip.implode.zip",
                                  "legacy/zip2/implode.zip"};

TEST(ExplodeCorpus, EveryImplodedEntryDecodesToItsCrc) {
  int decoded = 0;
  std::map<int, int> variants;  // flag bits 1-2 -> entries seen
  for (const char* name : kImplodeArchives) {
    const Bytes zip = Load(kCorpus + name);
    ASSERT_FALSE(zip.empty()) << name;
    for (const TEntry& e : ListZip(zip)) {
      if (e.Method != 6) continue;
      SCOPED_TRACE(std::string(name) + ": " + e.Name);
      const TRun run = Explode(zip, e.DataAt, e.Packed, e.Flags, e.Unpacked);
      EXPECT_EQ(run.Result, wrOk);
      EXPECT_EQ(static_cast<std::int64_t>(run.Out.size()), e.Unpacked);
      EXPECT_EQ(Crc32(run.Out.data(), run.Out.size()), e.Crc);
      EXPECT_LE(run.SourceEnd, e.DataAt + e.Packed);
      ++variants[e.Flags & 6];
      ++decoded;
    }
  }
  EXPECT_GT(decoded, 100);
  // Both the 4K/two-tree and the 8K/three-tree layouts occur.
  EXPECT_GT(variants[0], 0);
  EXPECT_GT(variants[6], 0);
}

TEST(ExplodeCorpus, ReaderExtractsImplodedEntriesByteForByte) {
  test::TempDir tmp;
  struct TCase {
    const char* Archive;
    const char* Entry;
    const char* Original;
  } cases[] = {
      {"legacy/zip2/implode.zip", "first.txt", "expected/zip2/first.txt"},
      {"legacy/sharpcompress/Zip.implode.zip", "EXE/TEST.EXE", "expected/sharpcompress/test.exe"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Archive);
    const std::string dir = tmp / (std::string(c.Entry).substr(0, 3) + "/");
    TUnZip z;
    std::map<std::string, bool> verdicts;
    z.SetArchiveFile(kCorpus + c.Archive);
    z.SetExtractDir(dir);
    z.SetFileSpec({"*.*"});
    z.OnEnd = [&](TZipCommon&, const std::string& name, bool pass) { verdicts[name] = pass; };
    z.Extract();
    ASSERT_FALSE(verdicts.empty());
    for (auto& [name, pass] : verdicts) EXPECT_TRUE(pass) << name;
    EXPECT_EQ(test::ReadFile(dir + c.Entry), test::ReadFile(kCorpus + c.Original));
  }
}

// --- hand-built streams

TEST(ExplodeStreams, FourKWithoutLiteralTree) {
  TBitWriter w;
  FlatTree(w, 64, 6);  // lengths: symbol s has code s
  FlatTree(w, 64, 6);  // distances
  w.Put(1, 1).Put('a', 8);
  // distance 1, length code 3 -> 3 + 2 bytes (minimum match 2)
  w.Put(0, 1).Put(0, 6).Code(0, 6, true).Code(3, 6, true);
  // distance 100 = (1 << 6 | 35) + 1 reaches before the start: zeros
  w.Put(0, 1).Put(35, 6).Code(1, 6, true).Code(0, 6, true);
  // the last length code takes 8 more bits: 63 + 10 + 2
  w.Put(0, 1).Put(0, 6).Code(0, 6, true).Code(63, 6, true).Put(10, 8);
  const TRun run = Explode(w.Buf, 0, 83);
  ASSERT_EQ(run.Result, wrOk);
  Bytes want(83, 0);
  std::fill(want.begin(), want.begin() + 6, 'a');
  EXPECT_EQ(run.Out, want);
}

TEST(ExplodeStreams, EightKWithLiteralTreeUsesSevenLowBitsAndMinimumThree) {
  TBitWriter w;
  FlatTree(w, 256, 8);
  FlatTree(w, 64, 6);
  FlatTree(w, 64, 6);
  for (char c : std::string("xyz")) w.Put(1, 1).Code(static_cast<std::uint8_t>(c), 8, true);
  // distance (0 << 7 | 2) + 1 = 3, length code 1 -> 4
  w.Put(0, 1).Put(2, 7).Code(0, 6, true).Code(1, 6, true);
  const TRun run = Explode(w.Buf, kImplodeFlag8K | kImplodeFlagLiteralTree, 7);
  ASSERT_EQ(run.Result, wrOk);
  EXPECT_EQ(std::string(run.Out.begin(), run.Out.end()), "xyzxyzx");
}

TEST(ExplodeStreams, UnevenTreeDecodesWithComplementedCanonicalCodes) {
  // Length tree: symbol 0 one bit, symbol 1 two bits, 2..63 eight bits
  // (1/2 + 1/4 + 62/256 leaves the code incomplete, which is allowed).
  TBitWriter w;
  w.Byte(2).Byte(0x00).Byte(0x01).Byte(0xF7);
  // 64 codes need 4 bytes of 16; the tree above covers 1 + 1 + 16 only.
  const TRun bad = Explode(w.Buf, 0, 4);
  EXPECT_EQ(bad.Result, wrBadData);

  TBitWriter ok;
  ok.Byte(5).Byte(0x00).Byte(0x01).Byte(0xD7).Byte(0xF7).Byte(0xF7).Byte(0xF7);
  FlatTree(ok, 64, 6);
  ok.Put(1, 1).Put('q', 8);
  // code 0 is "0", code 1 is "10": distance 1, lengths 0 + 2 and 1 + 2
  ok.Put(0, 1).Put(0, 6).Code(0, 6, true).Code(0, 1, true);
  ok.Put(0, 1).Put(0, 6).Code(0, 6, true).Code(2, 2, true);
  const TRun run = Explode(ok.Buf, 0, 6);
  ASSERT_EQ(run.Result, wrOk);
  EXPECT_EQ(std::string(run.Out.begin(), run.Out.end()), "qqqqqq");
}

TEST(ExplodeStreams, RejectsTreesThatDoNotFit) {
  TBitWriter over;  // 64 codes of 5 bits over-subscribe the code space
  FlatTree(over, 64, 5);
  FlatTree(over, 64, 6);
  EXPECT_EQ(Explode(over.Buf, 0, 10).Result, wrBadData);
  TBitWriter tooMany;  // 80 codes for a 64-code tree
  FlatTree(tooMany, 80, 7);
  EXPECT_EQ(Explode(tooMany.Buf, 0, 10).Result, wrBadData);
}

// --- damage

TEST(ExplodeDamage, TruncatedDataStopsShortWithoutReadingFurther) {
  const Bytes zip = Load(kCorpus + "legacy/commons-compress/imploding-8Kdict-3trees.zip");
  const TEntry e = ListZip(zip).at(0);
  ASSERT_EQ(e.Method, 6);
  for (std::int64_t cut : {std::int64_t{0}, std::int64_t{5}, e.Packed / 2, e.Packed - 1}) {
    SCOPED_TRACE(cut);
    const TRun run = Explode(zip, e.DataAt, cut, e.Flags, e.Unpacked);
    EXPECT_EQ(run.Result, wrInputShort);
    EXPECT_LT(static_cast<std::int64_t>(run.Out.size()), e.Unpacked);
    EXPECT_LE(run.SourceEnd, e.DataAt + cut);
  }
}

TEST(ExplodeDamage, CancelAndWriteFailureStopTheRun) {
  const Bytes zip = Load(kCorpus + "legacy/commons-compress/lorem-ipsum-implode.zip");
  const TEntry e = ListZip(zip).at(0);
  bool cancel = true;
  EXPECT_EQ(Explode(zip, e.DataAt, e.Packed, e.Flags, e.Unpacked, &cancel).Result, wrCanceled);

  TMemoryStream32 src;
  src.Write(zip.data(), static_cast<std::int64_t>(zip.size()));
  src.SetPosition(e.DataAt);
  TLegacyInput in(src, e.Packed);
  int calls = 0;
  const int r =
      ExplodeEntry(in, [&](const void*, std::int64_t n) { return ++calls == 2 ? n - 1 : n; },
                   {e.Flags, e.Packed, e.Unpacked});
  EXPECT_EQ(r, wrWriteError);
  EXPECT_EQ(calls, 2);  // nothing more is offered after the failure
}

TEST(ExplodeDamage, RandomAndMutatedInputEndsWithAResult) {
  const Bytes zip = Load(kCorpus + "legacy/zip2/implode.zip");
  const TEntry e = ListZip(zip).at(0);
  const Bytes good(zip.begin() + e.DataAt, zip.begin() + e.DataAt + e.Packed);
  std::mt19937 rng(7);
  for (int i = 0; i < 400; ++i) {
    Bytes data = good;
    if (i % 2) {
      data.assign(1 + rng() % 2000, 0);
      for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    } else {
      for (int k = 0; k < 4; ++k) data[rng() % data.size()] ^= 1 << (rng() % 8);
    }
    const std::uint16_t flags = static_cast<std::uint16_t>(rng() & 6);
    const TRun run = Explode(data, flags, 5000);
    EXPECT_LE(run.Out.size(), 5000u);
    EXPECT_TRUE(run.Result == wrOk || run.Result == wrInputShort || run.Result == wrBadData)
        << run.Result;
    if (run.Result == wrOk) {
      EXPECT_EQ(run.Out.size(), 5000u);
    }
  }
}

}  // namespace
}  // namespace qmx
