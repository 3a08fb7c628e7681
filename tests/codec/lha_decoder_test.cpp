#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "support/corpus.h"
#include "support/temp_dir.h"
#include "tests/codec/codec_test_util.h"
#include "tests/codec/lha_test_util.h"

namespace qmx {
namespace {

using lhatest::Decode;
using lhatest::ToBytes;
using test::Bytes;

// Builds streams most significant bit first.
class TMsbWriter {
 public:
  TMsbWriter& Put(int count, std::uint32_t v) {
    for (int i = count - 1; i >= 0; --i) {
      acc_ = static_cast<std::uint8_t>(acc_ << 1 | ((v >> i) & 1));
      if (++n_ == 8) {
        out_.push_back(acc_);
        n_ = 0;
      }
    }
    return *this;
  }
  Bytes Done() {
    Bytes b = out_;
    if (n_) b.push_back(static_cast<std::uint8_t>(acc_ << (8 - n_)));
    return b;
  }

 private:
  Bytes out_;
  std::uint8_t acc_ = 0;
  int n_ = 0;
};

TEST(LhaDecoder, MethodIds) {
  TLhaMethod m;
  for (const auto& [id, want] : std::map<std::string, TLhaMethod>{{"-lh0-", lmStored},
                                                                  {"-lz4-", lmStored},
                                                                  {"-lh1-", lmLh1},
                                                                  {"-lh4-", lmLh4},
                                                                  {"-lh5-", lmLh5},
                                                                  {"-lh6-", lmLh6},
                                                                  {"-lh7-", lmLh7},
                                                                  {"-lzs-", lmLzs},
                                                                  {"-lz5-", lmLz5}}) {
    ASSERT_TRUE(LhaMethodOf(id.c_str(), m)) << id;
    EXPECT_EQ(m, want) << id;
  }
  for (const char* id : {"-lhd-", "-lh2-", "-lh3-", "-lh8-", "-pm0-", "xxxxx"})
    EXPECT_FALSE(LhaMethodOf(id, m)) << id;
}

struct TCorpusEntry {
  std::string File;
  lhatest::TLhaEntry Entry;
  Bytes Data;
};

std::vector<TCorpusEntry> CorpusEntries() {
  std::vector<TCorpusEntry> out;
  namespace fs = std::filesystem;
  const fs::path dir = test::CorpusFile("lha");
  std::vector<fs::path> files;
  for (const auto& f : fs::recursive_directory_iterator(dir)) {
    const auto ext = f.path().extension().string();
    if (ext == ".lzh" || ext == ".lha" || ext == ".lzs") files.push_back(f.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    const Bytes a = test::Load(f.string());
    for (const auto& e : lhatest::WalkLha(a)) out.push_back({f.string(), e, a});
  }
  return out;
}

// Every entry of the archives other LHA tools made decodes to its stored
// size and CRC-16.
TEST(LhaDecoder, DecodesCorpusEntries) {
  std::map<TLhaMethod, int> seen;
  for (const auto& [file, e, data] : CorpusEntries()) {
    TLhaMethod m;
    if (!LhaMethodOf(e.Method.c_str(), m)) continue;
    SCOPED_TRACE(file + " " + e.Method);
    const auto run = wintest::RunDecoder(data, static_cast<std::int64_t>(e.DataAt), e.Packed,
                                         [&](TLegacyInput& in, TLegacyWriteFunc w) {
                                           return LhaDecode(in, std::move(w), m, e.Original);
                                         });
    ASSERT_EQ(run.Result, wrOk);
    ASSERT_EQ(static_cast<std::int64_t>(run.Out.size()), e.Original);
    EXPECT_EQ(Crc16(run.Out.data(), run.Out.size()), e.Crc);
    ++seen[m];
  }
  for (TLhaMethod m : {lmStored, lmLh1, lmLh4, lmLh5, lmLh6, lmLh7, lmLz5})
    EXPECT_GT(seen[m], 0) << "no corpus entry of method " << m;
}

// lhasa prints the same bytes for archives of each method.
TEST(LhaDecoder, AgreesWithLhasaOnCorpusFiles) {
  if (test::Run("command -v lha >/dev/null 2>&1") != 0) GTEST_SKIP() << "no lha";
  test::TempDir tmp;
  for (const char* rel : {"lha/lharc113/lh1.lzh", "lha/larc333/lz5.lzs",
                          "lha/lha_amiga_122/lh4.lzh", "lha/lha213/lh5_long.lzh",
                          "lha/lha_unix114i/lh6_long.lzh", "lha/lha_unix114i/lh7_long.lzh"}) {
    SCOPED_TRACE(rel);
    const std::string path = test::CorpusFile(rel);
    const Bytes a = test::Load(path);
    std::string ours;
    for (const auto& e : lhatest::WalkLha(a)) {
      TLhaMethod m;
      if (!LhaMethodOf(e.Method.c_str(), m)) continue;
      const auto run = wintest::RunDecoder(a, static_cast<std::int64_t>(e.DataAt), e.Packed,
                                           [&](TLegacyInput& in, TLegacyWriteFunc w) {
                                             return LhaDecode(in, std::move(w), m, e.Original);
                                           });
      ASSERT_EQ(run.Result, wrOk);
      ours.append(run.Out.begin(), run.Out.end());
    }
    ASSERT_EQ(test::Run("lha pq '" + path + "' > '" + tmp / "p" + "' 2>/dev/null"), 0);
    EXPECT_TRUE(test::ReadFile(tmp / "p") == ours);
  }
}

// jlha (another LHA writer) at -lh5- and -lh6-.
TEST(LhaDecoder, DecodesJlhaArchives) {
  if (test::Run("command -v jlha >/dev/null 2>&1") != 0) GTEST_SKIP() << "no jlha";
  test::TempDir tmp;
  const std::string text = codectest::TextLike(120000, 9) + codectest::BinaryMix(60000, 3);
  test::WriteFile(tmp / "f.txt", text);
  for (const auto& [opt, want] : {std::pair{"5", "-lh5-"}, std::pair{"6", "-lh6-"}}) {
    SCOPED_TRACE(want);
    std::filesystem::remove(tmp / "j.lzh");
    ASSERT_EQ(
        test::Run("cd '" + tmp.path() + "' && jlha ao" + opt + " j.lzh f.txt >/dev/null 2>&1"), 0);
    const Bytes a = test::Load(tmp / "j.lzh");
    const auto entries = lhatest::WalkLha(a);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Method, want);
    TLhaMethod m;
    ASSERT_TRUE(LhaMethodOf(entries[0].Method.c_str(), m));
    const auto run =
        wintest::RunDecoder(a, static_cast<std::int64_t>(entries[0].DataAt), entries[0].Packed,
                            [&](TLegacyInput& in, TLegacyWriteFunc w) {
                              return LhaDecode(in, std::move(w), m, entries[0].Original);
                            });
    ASSERT_EQ(run.Result, wrOk);
    EXPECT_TRUE(std::string(run.Out.begin(), run.Out.end()) == text);
  }
}

TEST(LhaDecoder, LarcMethodsUseTheirRingPositions) {
  // -lzs-: writing starts at 2031 of 2048; a 1 bit flags a literal.
  TMsbWriter lzs;
  lzs.Put(1, 1).Put(8, 'a').Put(1, 1).Put(8, 'b');
  lzs.Put(1, 0).Put(11, 2031).Put(4, 4);  // "ababab"
  lzs.Put(1, 0).Put(11, 0).Put(4, 1);     // three of the initial spaces
  auto run = Decode(lzs.Done(), lmLzs, 11);
  EXPECT_EQ(run.Result, wrOk);
  EXPECT_EQ(std::string(run.Out.begin(), run.Out.end()), "abababab   ");

  // -lz5-: flag bytes, low bit first; the initial history holds each byte
  // value 13 times from 0, then 0..255 rising.
  const int at = 13 * 'A';
  const int rising = 256 * 13 + '0';
  const Bytes lz5 = {0x01,
                     'z',
                     static_cast<std::uint8_t>(at),
                     static_cast<std::uint8_t>((at >> 8) << 4 | 2),
                     static_cast<std::uint8_t>(rising),
                     static_cast<std::uint8_t>((rising >> 8) << 4 | 7)};
  run = Decode(lz5, lmLz5, 16);
  EXPECT_EQ(run.Result, wrOk);
  EXPECT_EQ(std::string(run.Out.begin(), run.Out.end()), "zAAAAA0123456789");
}

Bytes BlockStart(int symbols) {
  TMsbWriter w;
  w.Put(16, static_cast<std::uint32_t>(symbols));
  return w.Done();
}

TEST(LhaDecoder, RejectsBadTablesAndEmptyBlocks) {
  // Code-length code with three codes of one bit: over-subscribed.
  TMsbWriter over;
  over.Put(16, 1).Put(5, 3).Put(3, 1).Put(3, 1).Put(3, 1).Put(2, 0).Put(32, 0);
  EXPECT_EQ(Decode(over.Done(), lmLh5, 10).Result, wrBadData);
  // One code of one bit: incomplete.
  TMsbWriter under;
  under.Put(16, 1).Put(5, 1).Put(3, 1).Put(32, 0);
  EXPECT_EQ(Decode(under.Done(), lmLh5, 10).Result, wrBadData);
  // Position code of 2 bits for its only symbol: incomplete as well.
  TMsbWriter pos;
  pos.Put(16, 1).Put(5, 0).Put(5, 0).Put(9, 0).Put(9, 'q').Put(4, 1).Put(3, 2).Put(32, 0);
  EXPECT_EQ(Decode(pos.Done(), lmLh5, 10).Result, wrBadData);
  // A single code beyond the alphabet.
  TMsbWriter big;
  big.Put(16, 1).Put(5, 0).Put(5, 0).Put(9, 0).Put(9, 510).Put(32, 0);
  EXPECT_EQ(Decode(big.Done(), lmLh5, 10).Result, wrBadData);
  EXPECT_EQ(Decode(BlockStart(0), lmLh6, 10).Result, wrBadData);
}

TEST(LhaDecoder, StopsAtTheOriginalSizeAndOnShortInput) {
  // One block of 5 literals 'q' in the short forms, claimed as 3 bytes.
  TMsbWriter w;
  w.Put(16, 5).Put(5, 0).Put(5, 0).Put(9, 0).Put(9, 'q').Put(4, 0).Put(4, 0);
  const Bytes five = w.Done();
  auto run = Decode(five, lmLh5, 3);
  EXPECT_EQ(run.Result, wrOk);
  EXPECT_EQ(std::string(run.Out.begin(), run.Out.end()), "qqq");
  // Asked for more than the block holds: the next block header is missing.
  run = Decode(five, lmLh5, 9);
  EXPECT_EQ(run.Result, wrInputShort);
  EXPECT_EQ(run.Out.size(), 5u);

  const Bytes data = ToBytes(codectest::TextLike(50000));
  const auto coded = lhatest::Compress(data, kLh5Params);
  ASSERT_EQ(coded.Result, lcOk);
  const Bytes cut(coded.Packed.begin(), coded.Packed.begin() + coded.Packed.size() / 2);
  run = Decode(cut, lmLh5, 50000);
  EXPECT_EQ(run.Result, wrInputShort);
  EXPECT_LT(run.Out.size(), 50000u);
  EXPECT_EQ(Decode(Bytes(100, 'x'), lmStored, 200).Result, wrInputShort);
  run = Decode(Bytes(100, 'x'), lmStored, 60);
  EXPECT_EQ(run.Result, wrOk);
  EXPECT_EQ(run.Out.size(), 60u);
}

TEST(LhaDecoder, ReportsWriteFailureAndCancel) {
  const Bytes data = ToBytes(codectest::TextLike(200000));
  const auto coded = lhatest::Compress(data, kLh6Params);
  ASSERT_EQ(coded.Result, lcOk);
  for (TLhaMethod m : {lmLh6, lmStored}) {
    const Bytes& in = m == lmStored ? data : coded.Packed;
    TMemoryStream32 src;
    src.Write(in.data(), static_cast<std::int64_t>(in.size()));
    src.SetPosition(0);
    TLegacyInput input(src, static_cast<std::int64_t>(in.size()));
    EXPECT_EQ(LhaDecode(
                  input, [](const void*, std::int64_t n) { return n - 1; }, m, 200000),
              wrWriteError);
    const bool cancel = true;
    EXPECT_EQ(Decode(in, m, 200000, &cancel).Result, wrCanceled);
  }
}

// Whatever the bytes, every decoder ends and never writes past the size.
TEST(LhaDecoder, GarbageEndsWithinBounds) {
  std::mt19937 rng(77);
  for (TLhaMethod m : {lmLh1, lmLh4, lmLh5, lmLh6, lmLh7, lmLzs, lmLz5}) {
    for (int k = 0; k < 40; ++k) {
      Bytes junk(1 + rng() % 3000);
      for (auto& b : junk) b = static_cast<std::uint8_t>(rng());
      const auto run = Decode(junk, m, 100000);
      EXPECT_LE(run.Out.size(), 100000u);
      EXPECT_TRUE(run.Result == wrOk || run.Result == wrBadData || run.Result == wrInputShort)
          << run.Result;
    }
  }
}

}  // namespace
}  // namespace qmx
