// Shrink and Reduce against PKZIP-era archives from other projects, against
// hand-built code streams for the rules real archives rarely hit, and
// against damaged input.
#include "archive/zip/legacy_decoders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "archive/codec/crc.h"
#include "support/corpus.h"
#include "tests/support/raw_zip.h"

namespace qmx {
namespace {

using test::Bytes;
using test::ListZip;
using test::Load;
using test::TBitWriter;
using test::TEntry;
const std::string kCorpus = test::CorpusDir() + "/zip/";

struct TRun {
  TLegacyResult Result;
  Bytes Out;
};

// Decodes Packed bytes of Data from At; Method 1 shrinks, 2-5 reduce.
TRun Decode(const Bytes& data, std::int64_t at, std::int64_t packed, int method,
            std::int64_t limit = -1, const bool* cancel = nullptr) {
  TMemoryStream32 src;
  src.Write(data.data(), static_cast<std::int64_t>(data.size()));
  src.SetPosition(at);
  TRun run;
  TLegacyInput in(src, packed, {}, cancel);
  TLegacyOutput out(
      [&](const void* p, std::int64_t n) {
        EXPECT_LE(n, TLegacyOutput::kBufferSize);
        run.Out.insert(run.Out.end(), static_cast<const std::uint8_t*>(p),
                       static_cast<const std::uint8_t*>(p) + n);
        return n;
      },
      limit, cancel);
  run.Result = method == 1 ? UnShrink(in, out) : UnReduce(in, out, method - 1);
  if (run.Result == lrOk) {
    EXPECT_EQ(out.Total(), static_cast<std::int64_t>(run.Out.size()));
  }
  return run;
}

TRun Decode(const Bytes& data, int method, std::int64_t limit = -1) {
  return Decode(data, 0, static_cast<std::int64_t>(data.size()), method, limit);
}

Bytes Str(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// --- real archives

struct TCorpusCase {
  const char* Archive;
  const char* Expected;  // by entry name; "" checks the CRC only
};

TEST(LegacyCorpus, EveryShrunkAndReducedEntryMatchesItsOriginal) {
  const TCorpusCase cases[] = {{"legacy/zip2/shrink.zip", "expected/zip2/first.txt"},
                               {"legacy/zip2/reduce.zip", "expected/zip2/first.txt"},
                               {"legacy/commons-compress/SHRUNK.ZIP", ""},
                               {"legacy/commons-compress/moby-imploded.zip", ""},
                               {"legacy/sharpcompress/Zip.shrink.zip", "expected/sharpcompress/"},
                               {"legacy/sharpcompress/Zip.reduce1.zip", "expected/sharpcompress/"},
                               {"legacy/sharpcompress/Zip.reduce2.zip", "expected/sharpcompress/"},
                               {"legacy/sharpcompress/Zip.reduce3.zip", "expected/sharpcompress/"},
                               {"legacy/sharpcompress/Zip.reduce4.zip", "expected/sharpcompress/"}};
  int decoded = 0;
  for (const auto& c : cases) {
    const Bytes zip = Load(kCorpus + c.Archive);
    ASSERT_FALSE(zip.empty()) << c.Archive;
    for (const TEntry& e : ListZip(zip)) {
      if (e.Method < 1 || e.Method > 5) continue;
      SCOPED_TRACE(std::string(c.Archive) + ": " + e.Name);
      const TRun run = Decode(zip, e.DataAt, e.Packed, e.Method, e.Unpacked);
      ASSERT_EQ(run.Result, lrOk);
      EXPECT_EQ(static_cast<std::int64_t>(run.Out.size()), e.Unpacked);
      EXPECT_EQ(Crc32(run.Out.data(), run.Out.size()), e.Crc);
      std::string expected = c.Expected, lower;
      if (!expected.empty() && expected.back() == '/') {
        for (char ch : e.Name) lower += static_cast<char>(std::tolower(ch));
        expected += lower == "tect.txt" ? "тест.txt" : lower;  // the DOS name lost its Cyrillic
      }
      if (!expected.empty()) {
        Bytes original = Load(kCorpus + expected);
        if (lower == "tect.txt") {  // kept with LF endings; the archives hold CR LF
          Bytes crlf;
          for (auto b : original) {
            if (b == '\n') crlf.push_back('\r');
            crlf.push_back(b);
          }
          original = crlf;
        }
        EXPECT_EQ(run.Out, original);
      }
      ++decoded;
    }
  }
  EXPECT_EQ(decoded, 19);
}

// The reduced JPEG needs more than one 32 KiB refill; reads go through the
// caller's function, which here undoes a simple cipher as ReadBlock would.
TEST(LegacyCorpus, ReadsGoThroughTheCallersFunctionInBoundedChunks) {
  const Bytes zip = Load(kCorpus + "legacy/sharpcompress/Zip.reduce3.zip");
  const TEntry e = ListZip(zip).at(2);
  ASSERT_GT(e.Packed, TLegacyInput::kBufferSize);
  Bytes masked = zip;
  for (auto i = e.DataAt; i < e.DataAt + e.Packed; ++i) masked[i] ^= 0x5A;
  masked.resize(masked.size() + 100, 0xEE);  // never read: the packed size stops us

  TMemoryStream32 src;
  src.Write(masked.data(), static_cast<std::int64_t>(masked.size()));
  src.SetPosition(e.DataAt);
  int calls = 0;
  TLegacyInput in(src, e.Packed, [&](TStream& s, void* buf, std::int64_t n) {
    EXPECT_LE(n, TLegacyInput::kBufferSize);
    ++calls;
    const std::int64_t got = s.Read(buf, n);
    for (std::int64_t i = 0; i < got; ++i) static_cast<std::uint8_t*>(buf)[i] ^= 0x5A;
    return got;
  });
  std::uint32_t crc = 0xFFFFFFFF;
  TLegacyOutput out([&](const void* p, std::int64_t n) { return UpdateCrc32(p, n, crc), n; },
                    e.Unpacked);
  ASSERT_EQ(UnReduce(in, out, 3), lrOk);
  EXPECT_EQ(~crc, e.Crc);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(src.Position(), e.DataAt + e.Packed);
  EXPECT_EQ(in.Remaining(), 0);
}

TEST(LegacyCorpus, WriteFailureAndCancelStopTheDecoder) {
  const Bytes zip = Load(kCorpus + "legacy/sharpcompress/Zip.shrink.zip");
  const TEntry e = ListZip(zip).at(1);  // 45056 bytes: more than one output buffer
  TMemoryStream32 src;
  src.Write(zip.data(), static_cast<std::int64_t>(zip.size()));
  src.SetPosition(e.DataAt);
  TLegacyInput in(src, e.Packed);
  TLegacyOutput failing([](const void*, std::int64_t n) { return n - 1; });
  EXPECT_EQ(UnShrink(in, failing), lrWriteError);
  EXPECT_EQ(LegacyErrorCode(lrWriteError), 25136);

  bool cancel = true;
  EXPECT_EQ(Decode(zip, e.DataAt, e.Packed, 1, -1, &cancel).Result, lrCanceled);
  EXPECT_EQ(LegacyErrorCode(lrCanceled), 25443);
}

// --- Shrink rules

TEST(UnShrink, KwKwKGrowthAndPartialClear) {
  // a b c 257 d: 257=ab 258=bc 259=ca 260=abd; 261 is not defined yet, so it
  // decodes as "d" + 'd' (KwKwK); f adds 262=(261,f).
  TBitWriter w;
  w.Codes({'a', 'b', 'c', 257, 'd', 261, 'f'}, 9);
  // Grow to 10 bits; the clear frees the leaves 258, 259, 260, 262 but keeps
  // 257 and 261, whose only children go in the same clear.
  w.Put(256, 9).Put(1, 9).Put(256, 10).Put(2, 10);
  // Reuse lowest first: 258=fe 259=ef 260=fea 262=abd, then 263 (KwKwK) =ddd.
  w.Codes({'e', 258, 257, 261, 263, 260, 262}, 10);
  const std::string parts[] = {"a", "b",  "c",  "ab", "d",   "dd",  "f",
                               "e", "fe", "ab", "dd", "ddd", "fea", "abd"};
  std::string expected;
  for (const auto& p : parts) expected += p;
  const TRun run = Decode(w.Buf, 1);
  EXPECT_EQ(run.Result, lrOk);
  EXPECT_EQ(run.Out, Str(expected));
  // The limit cuts a string in the middle.
  EXPECT_EQ(Decode(w.Buf, 1, 5).Out, Str("abcab"));
}

TEST(UnShrink, MalformedCodeStreams) {
  auto result = [](TBitWriter w) { return Decode(w.Buf, 1).Result; };
  EXPECT_EQ(result(TBitWriter{}), lrBadBlock);              // no first code
  EXPECT_EQ(result(TBitWriter().Put(300, 9)), lrBadBlock);  // first code not a byte
  EXPECT_EQ(result(TBitWriter().Put('a', 9).Put(256, 9).Put(3, 9)), lrBadBlock);
  TBitWriter grow;
  grow.Put('a', 9);
  for (int bits = 9; bits <= 13; ++bits) grow.Put(256, bits).Put(1, bits);  // to 14
  EXPECT_EQ(result(grow), lrBadBlock);
  // 258 is undefined and not next: its string runs through an empty entry.
  EXPECT_EQ(result(TBitWriter().Put('a', 9).Put(258, 9).Put(258, 9)), lrBadBlock);
  EXPECT_EQ(LegacyErrorCode(lrBadBlock), 25116);
}

TEST(UnShrink, CycleInTheTableIsAStackOverflowAfterFlushing) {
  // a b 257 c 258: 257=ab 258=ba 259=abc 260=cb. The clear frees 258 (the
  // previous code) as the lowest free code, so x then adds (258, 'x') at 258.
  TBitWriter w;
  w.Codes({'a', 'b', 257, 'c', 258, 256, 2, 'x', 258}, 9);
  const TRun run = Decode(w.Buf, 1);
  EXPECT_EQ(run.Result, lrStackOverflow);
  EXPECT_EQ(LegacyErrorCode(run.Result), 25305);
  EXPECT_EQ(run.Out, Str("ababcbax"));
}

// --- Reduce rules: with empty follower sets every byte is 8 plain bits.

Bytes Reduced(const Bytes& bytes) {
  TBitWriter w;
  for (int j = 0; j < 256; ++j) w.Put(0, 6);
  for (auto b : bytes) w.Put(b, 8);
  return w.Buf;
}

TEST(UnReduce, ExpanderLengthsDistancesAndEscape) {
  // Factor 1: V = 2 (length 2+3), W = 2 -> distance 3.
  EXPECT_EQ(Decode(Reduced({'x', 'y', 'z', 144, 0x02, 2}), 2, 8).Out,
            Bytes({'x', 'y', 'z', 'x', 'y', 'z', 'x', 'y'}));
  // V's top bit adds 256 to the distance, which reaches before the start: zeros.
  EXPECT_EQ(Decode(Reduced({'x', 144, 0x80 | 2, 0}), 2, 6).Out, Bytes({'x', 0, 0, 0, 0, 0}));
  EXPECT_EQ(Decode(Reduced({'q', 144, 0, 'r'}), 5, 3).Out, Bytes({'q', 144, 'r'}));
  // Factor 4: length 15 equals the mask and takes an extra byte: 15+2+3 copies
  // from distance 2.
  const TRun run = Decode(Reduced({'a', 'b', 144, 0x0F, 2, 1, 'z'}), 5, 23);
  std::string expected = "ab";
  for (int i = 0; i < 10; ++i) expected += "ab";
  EXPECT_EQ(run.Out, Str(expected + "z"));
  EXPECT_EQ(run.Result, lrOk);
}

TEST(UnReduce, FollowerSetsAndBadIndex) {
  // Set of byte 0 (read last) = {'k','m','n'}: bit 0 + 2-bit index; 'k' has
  // an empty set, so the next byte is 8 plain bits again.
  auto stream = [](std::uint32_t index) {
    TBitWriter w;
    for (int j = 255; j > 0; --j) w.Put(0, 6);
    w.Put(3, 6).Put('k', 8).Put('m', 8).Put('n', 8);
    w.Put(0, 1).Put(index, 2).Put('!', 8);
    return w.Buf;
  };
  EXPECT_EQ(Decode(stream(1), 2, 2).Out, Str("m!"));
  EXPECT_EQ(Decode(stream(3), 2).Result, lrBadBlock);
  EXPECT_EQ(Decode(Reduced({'a'}), 6).Result, lrBadBlock);  // no factor 5
}

// --- damaged input

TEST(LegacyRobustness, TruncatedStreamsGiveAPrefixAndRandomDataStaysBounded) {
  const Bytes zip = Load(kCorpus + "legacy/sharpcompress/Zip.reduce4.zip");
  const std::vector<TEntry> entries = ListZip(zip);
  std::mt19937 rng(20240611);
  for (int i = 0; i < 300; ++i) {
    const TEntry& e = entries[i % entries.size()];
    const Bytes whole(zip.begin() + e.DataAt, zip.begin() + e.DataAt + e.Packed);
    const Bytes cut(whole.begin(), whole.begin() + rng() % whole.size());
    const TRun run = Decode(cut, e.Method, e.Unpacked);
    const TRun full = Decode(whole, e.Method, e.Unpacked);
    ASSERT_TRUE(run.Result == lrOk || run.Result == lrBadBlock) << i;
    ASSERT_LE(run.Out.size(), full.Out.size());
    if (run.Result == lrOk) {
      ASSERT_TRUE(std::equal(run.Out.begin(), run.Out.end(), full.Out.begin()));
    }
  }
  for (int i = 0; i < 600; ++i) {
    Bytes noise(1 + rng() % 3000);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    const int method = 1 + i % 5;
    const TRun run = Decode(noise, method, 1 << 16);
    ASSERT_LE(run.Out.size(), 1u << 16);
    // Without a limit each 9-bit code yields at most one table string.
    if (method == 1) {
      ASSERT_LE(Decode(noise, 1).Out.size(), noise.size() * 8 / 9 * 8192);
    }
  }
}

}  // namespace
}  // namespace qmx
