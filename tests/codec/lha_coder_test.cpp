#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/temp_dir.h"
#include "tests/codec/codec_test_util.h"
#include "tests/codec/lha_test_util.h"

namespace qmx {
namespace {

using lhatest::Compress;
using lhatest::Decode;
using lhatest::ToBytes;
using test::Bytes;

struct TCase {
  const char* Name;
  TLhaCoderParams Params;
  TLhaMethod Method;
};
const TCase kCases[] = {
    {"lh5", kLh5Params, lmLh5}, {"lh6", kLh6Params, lmLh6}, {"bh", kBhFuseParams, lmLh6}};

void ExpectRoundTrip(const Bytes& data, const std::string& what) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(what + " " + c.Name);
    const auto coded = Compress(data, c.Params);
    ASSERT_EQ(coded.Result, lcOk);
    EXPECT_LT(coded.Packed.size(), data.size() + 1);
    for (auto n : coded.Writes) EXPECT_LE(n, 32768);
    const auto run = Decode(coded.Packed, c.Method, static_cast<std::int64_t>(data.size()));
    ASSERT_EQ(run.Result, wrOk);
    ASSERT_TRUE(run.Out == data);
  }
}

Bytes Text(std::size_t n, std::uint32_t seed = 1) {
  return ToBytes(codectest::TextLike(n, seed));
}

TEST(LhaCoder, RoundTripsTextAndBinary) {
  ExpectRoundTrip(Text(300000), "text");
  ExpectRoundTrip(ToBytes(codectest::BinaryMix(200000)), "binary");
  // A repeat from near the far end of the window.
  Bytes far = Text(8100, 7);
  const Bytes copy(far.begin(), far.begin() + 6000);
  far.insert(far.end(), copy.begin(), copy.end());
  ExpectRoundTrip(far, "far");
}

// The window slides and the block buffer fills at fixed sizes; data ending
// just before, on and after them takes different paths at the end.
TEST(LhaCoder, RoundTripsAroundWindowAndBlockSizes) {
  for (std::size_t n : {8191, 8192, 8193, 16384, 16640, 16641, 16642, 32768, 33025, 33026, 49409,
                        65537, 98304 + 257}) {
    ExpectRoundTrip(Text(n, static_cast<std::uint32_t>(n)), "size " + std::to_string(n));
  }
  // Matches that run to the last byte of the data.
  Bytes tail = Text(9000, 3);
  const Bytes head(tail.begin(), tail.begin() + 300);
  tail.insert(tail.end(), head.begin(), head.end());
  ExpectRoundTrip(tail, "tail match");
}

TEST(LhaCoder, OneRepeatedByteIsOneLiteralThenMaximalMatches) {
  const Bytes data(1 + 256 * 100, 'x');
  for (const auto& c : kCases) {
    const auto coded = Compress(data, c.Params);
    ASSERT_EQ(coded.Result, lcOk);
    ASSERT_GE(coded.Packed.size(), 2u);
    // One block whose symbol count says: the literal and 100 matches.
    EXPECT_EQ(coded.Packed[0] << 8 | coded.Packed[1], 101);
    const auto run = Decode(coded.Packed, c.Method, static_cast<std::int64_t>(data.size()));
    ASSERT_EQ(run.Result, wrOk);
    EXPECT_TRUE(run.Out == data);
  }
}

// After the first block (a literal, then about 10,000 matches at a bit
// each), a long run codes as blocks of one symbol, the maximal match at
// distance 1: with the short forms they cost a few bytes each instead of a
// bit per symbol (6 KiB for the 49,152 matches).
TEST(LhaCoder, SingleCodeBlocksUseTheShortForm) {
  const Bytes data(1 + 256 * 49152, 0);
  const auto coded = Compress(data, kLh5Params);
  ASSERT_EQ(coded.Result, lcOk);
  EXPECT_LT(coded.Packed.size(), 1400u);
  const auto run = Decode(coded.Packed, lmLh5, static_cast<std::int64_t>(data.size()));
  ASSERT_EQ(run.Result, wrOk);
  EXPECT_TRUE(run.Out == data);
}

TEST(LhaCoder, TinyAndRandomInputIsForcedToStore) {
  for (const auto& c : kCases) {
    // Empty input codes as nothing at all, which decodes as empty.
    const auto empty = Compress({}, c.Params);
    EXPECT_EQ(empty.Result, lcOk);
    EXPECT_TRUE(empty.Packed.empty());
    EXPECT_EQ(Decode({}, c.Method, 0).Result, wrOk);
    EXPECT_EQ(Compress({'a'}, c.Params).Result, lcStoreForced);
    std::mt19937 rng(5);
    Bytes noise(100000);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    const auto coded = Compress(noise, c.Params);
    EXPECT_EQ(coded.Result, lcStoreForced);
    // It gives up early: not much more than one block past the source size.
    EXPECT_LT(coded.Packed.size(), noise.size() + 40000);
  }
}

TEST(LhaCoder, ReportsCancelShortSourceAndWriteFailure) {
  const Bytes data = Text(100000);
  const bool cancel = true;
  EXPECT_EQ(Compress(data, kLh5Params, &cancel).Result, lcCanceled);

  std::size_t at = 0;
  auto read = [&](void* buf, std::int64_t n) {
    const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(n), 5000 - at);
    std::memcpy(buf, data.data() + at, k);
    at += k;
    return static_cast<std::int64_t>(k);
  };
  auto sink = [](const void*, std::int64_t n) { return n; };
  EXPECT_EQ(LhaCompress(read, sink, 100000, kLh5Params), lcReadError);

  at = 0;
  auto half = [](const void*, std::int64_t n) { return n / 2; };
  auto whole = [&](void* buf, std::int64_t n) {
    const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(n), data.size() - at);
    std::memcpy(buf, data.data() + at, k);
    at += k;
    return static_cast<std::int64_t>(k);
  };
  EXPECT_EQ(LhaCompress(whole, half, 100000, kLh5Params), lcWriteError);
}

bool HaveTool(const std::string& tool) {
  return test::Run("command -v " + tool + " >/dev/null 2>&1") == 0;
}

// lhasa and 7-Zip read what we code, wrapped in a level-0 archive.
TEST(LhaCoder, PeersReadOurStreams) {
  if (!HaveTool("lha")) GTEST_SKIP() << "lha (lhasa) not installed";
  test::TempDir tmp;
  Bytes data = Text(150000, 11);
  const Bytes mix = ToBytes(codectest::BinaryMix(90000, 4));
  data.insert(data.end(), mix.begin(), mix.end());
  for (const auto& [method, params] :
       {std::pair{"-lh5-", kLh5Params}, std::pair{"-lh6-", kLh6Params}}) {
    SCOPED_TRACE(method);
    const auto coded = Compress(data, params);
    ASSERT_EQ(coded.Result, lcOk);
    const Bytes arc = lhatest::Level0(method, coded.Packed, data);
    const std::string path = tmp / "a.lzh";
    test::WriteFile(path, std::string(arc.begin(), arc.end()));
    EXPECT_EQ(test::Run("lha t '" + path + "' >/dev/null 2>&1"), 0);
    EXPECT_EQ(test::Run("lha pq '" + path + "' > '" + tmp / "p.out" + "' 2>/dev/null"), 0);
    EXPECT_TRUE(test::ReadFile(tmp / "p.out") == std::string(data.begin(), data.end()));
    EXPECT_EQ(test::Run("cd '" + tmp.path() + "' && rm -f data.bin && lha xq a.lzh"), 0);
    EXPECT_TRUE(test::ReadFile(tmp / "data.bin") == std::string(data.begin(), data.end()));
    if (HaveTool("7zz")) {
      EXPECT_EQ(test::Run("7zz t '" + path + "' >/dev/null 2>&1"), 0);
    }
  }
}

}  // namespace
}  // namespace qmx
