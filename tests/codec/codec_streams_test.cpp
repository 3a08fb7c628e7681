#include "archive/codec/codec_streams.h"

#include <gtest/gtest.h>

#include <random>

#include "archive/base/types.h"
#include "archive/codec/crc.h"
#include "codec_test_util.h"
#include "support/corpus.h"

namespace qmx {
namespace {

using codectest::ContentsOf;
using codectest::Fill;

std::uint32_t CrcOf(const std::string& s) {
  return Crc32(s.data(), s.size());
}

std::string Deflated(const std::string& data, int level = dtDeflateN) {
  TMemoryStream32 src, dst;
  Fill(src, data);
  std::uint32_t crc = 0;
  EXPECT_TRUE(DeflateFile(src, dst, TCodecParams{}, nullptr, level, -15, crc));
  EXPECT_EQ(crc, CrcOf(data));
  return ContentsOf(dst);
}

// Output and the final result: 1 at the end of the data, else the negative
// result Read returned.
std::pair<std::string, int> Inflated(const std::string& packed, std::int64_t chunk = 65536) {
  TMemoryStream32 src;
  Fill(src, packed);
  TDecompressStream ds(src, -15);
  std::string out, buf(static_cast<std::size_t>(chunk), '\0');
  for (;;) {
    const std::int64_t n = ds.Read(buf.data(), chunk);
    if (n < 0) return {out, static_cast<int>(n)};
    out.append(buf, 0, static_cast<std::size_t>(n));
    if (ds.EndOfData()) return {out, kCodecStreamEnd};
  }
}

TEST(Deflate, RoundTripsAtEveryLevelIncludingEmptyInput) {
  const std::string text = codectest::TextLike(1536 * 1024), mixed = codectest::BinaryMix(200000);
  for (int level = dtDeflateS; level <= dtDeflateX; ++level) {
    for (const std::string* data : {&text, &mixed}) {
      EXPECT_EQ(Inflated(Deflated(*data, level)), std::make_pair(*data, kCodecStreamEnd)) << level;
    }
  }
  EXPECT_GT(Deflated(text, dtDeflateS).size(), text.size());  // level 0 only frames
  EXPECT_LT(Deflated(text, dtDeflateF).size(), text.size() / 2);

  TEntryCrc entry;  // still holding 0xFFFFFFFF: an empty source makes it 0
  TCodecParams params;
  params.EntryCrc = &entry;
  TMemoryStream32 src, dst;
  std::uint32_t crc = 0xDEAD;
  EXPECT_TRUE(DeflateFile(src, dst, params, nullptr, dtDeflateN, -15, crc));
  EXPECT_EQ(crc, 0u);
  EXPECT_EQ(entry.Crc32, 0u);
  EXPECT_EQ(Inflated(ContentsOf(dst)), std::make_pair(std::string(), kCodecStreamEnd));
}

TEST(Deflate, WritesFullCodecBuffersThenOneTailAndKeepsItsPlace) {
  const std::string data = codectest::BinaryMix(1000000, 77);
  codectest::TSpyStream dst;
  dst.WriteBuffer("HEAD", 4);
  dst.writes.clear();
  {
    TCompressStream cs(dst, dtDeflateN, -15);
    for (std::size_t off = 0; off < data.size(); off += 100000) {
      cs.WriteBuffer(data.data() + off, 100000);
      dst.SetPosition(0);  // someone else seeks the archive in between
    }
    EXPECT_EQ(cs.Position(), 1000000);
    EXPECT_EQ(cs.Seek(10, soFromBeginning), -1);
  }
  ASSERT_GE(dst.writes.size(), 3u);
  for (std::size_t i = 0; i + 1 < dst.writes.size(); ++i) EXPECT_EQ(dst.writes[i], 131070);
  EXPECT_LE(dst.writes.back(), 131070);
  const std::string all = ContentsOf(dst);
  EXPECT_EQ(all.substr(0, 4), "HEAD");
  EXPECT_EQ(Inflated(all.substr(4)).first, data);
}

TEST(Deflate, InteroperatesWithPythonZlibBothWays) {
  test::TempDir dir;
  const std::string data = codectest::TextLike(300000, 3);
  test::WriteFile(dir / "ours", Deflated(data, dtDeflateX));
  test::WriteFile(dir / "plain", data);
  ASSERT_EQ(test::Run("python3 -c 'import sys,zlib; d=zlib.decompressobj(wbits=-15); "
                      "o=d.decompress(open(sys.argv[1],\"rb\").read()); assert d.eof; "
                      "open(sys.argv[2],\"wb\").write(o)' " +
                      dir / "ours" + " " + dir / "ours.out"),
            0);
  EXPECT_EQ(test::ReadFile(dir / "ours.out"), data);
  for (const char* level : {"1", "6", "9"}) {
    ASSERT_EQ(test::Run(std::string("python3 -c 'import sys,zlib; c=zlib.compressobj(") + level +
                        ", wbits=-15); d=open(sys.argv[1],\"rb\").read(); "
                        "open(sys.argv[2],\"wb\").write(c.compress(d)+c.flush())' " +
                        dir / "plain" + " " + dir / "py"),
              0);
    EXPECT_EQ(Inflated(test::ReadFile(dir / "py"), 4096), std::make_pair(data, kCodecStreamEnd))
        << level;
  }
}

TEST(Inflate, CorruptOrTruncatedInputGivesNegativeResults) {
  const std::string packed = Deflated(codectest::TextLike(100000));
  EXPECT_EQ(Inflated(packed.substr(0, packed.size() / 2)).second, kCodecBufError);
  EXPECT_EQ(Inflated("").second, kCodecBufError);
  EXPECT_EQ(Inflated(std::string("\x07\x00\x00", 3)).second, kCodecDataError);  // block type 3
  EXPECT_EQ(Inflated(std::string("\x01\x05\x00\x00\x00", 5)).second, kCodecDataError);
  EXPECT_EQ(Inflated(std::string("\x01\x00\x00\xFF\xFF", 5)),  // empty final stored block
            std::make_pair(std::string(), kCodecStreamEnd));
  std::mt19937 rng(42);
  for (int i = 0; i < 200; ++i) {  // random damage: a result, never a crash or hang
    std::string bad = packed;
    for (int k = 0; k < 4; ++k) bad[rng() % bad.size()] ^= static_cast<char>(1 + rng() % 255);
    const int r = Inflated(bad).second;
    EXPECT_TRUE(r == kCodecStreamEnd || r == kCodecDataError || r == kCodecBufError) << r;
  }
}

TEST(Inflate, SeekSemanticsChunkedReadsAndSourceLeftAfterTheData) {
  const std::string data = codectest::TextLike(50000, 8), packed = Deflated(data);
  codectest::TSpyStream src;
  Fill(src, "PREFIX" + packed + "TRAILER");
  src.SetPosition(6);
  {
    TDecompressStream ds(src, -15);
    std::string buf(data.size() + 100, '\0');
    ASSERT_EQ(ds.Read(buf.data(), 1000), 1000);
    EXPECT_EQ(ds.Seek(400, soFromBeginning), 1000);  // backwards: nothing
    EXPECT_EQ(ds.Seek(-10, soFromCurrent), 1000);
    EXPECT_EQ(ds.Seek(0, soFromEnd), 1000);
    EXPECT_EQ(ds.Seek(3000, soFromCurrent), 4000);  // forward: decode and drop
    ASSERT_EQ(ds.Read(buf.data(), 10), 10);
    EXPECT_EQ(buf.substr(0, 10), data.substr(4000, 10));

    src.SetPosition(0);  // the restart must not depend on where src stands
    src.reads.clear();
    EXPECT_EQ(ds.Seek(0, soFromBeginning), 0);
    EXPECT_EQ(ds.ReadChunk(buf.data(), 100, 60000), 60000);
    EXPECT_TRUE(ds.EndOfData());
    EXPECT_EQ(60000 - ds.AvailOut(), 50000);
    EXPECT_EQ(buf.substr(0, data.size()), data);
    for (std::int64_t n : src.reads) EXPECT_EQ(n, 100);
    EXPECT_EQ(ds.Read(buf.data(), 10), 0);
  }
  char tail[8] = {};
  src.ReadBuffer(tail, 7);
  EXPECT_STREQ(tail, "TRAILER");
}

// Real gzip members from other tools; the body is raw Deflate and the
// trailer follows wherever the data ends (some files carry padding).
TEST(Inflate, DecodesGzipMembersFromTheCorpus) {
  const std::string dir = test::CorpusDir() + "/gzip/dotnet-runtime-assets/";
  for (const char* name :
       {"TestDocument.txt.gz", "quickfox_repeated.gz", "random_org_10k.bin.gz"}) {
    const std::string gz = test::ReadFile(dir + name);
    ASSERT_TRUE(gz.size() > 18 && gz[3] == 0) << name;  // these have no optional fields
    TMemoryStream32 src;
    Fill(src, gz);
    src.SetPosition(10);
    std::string out(1 << 20, '\0');
    std::int64_t n = 0;
    {
      TDecompressStream ds(src, -15);
      n = ds.Read(out.data(), static_cast<std::int64_t>(out.size()));
      ASSERT_TRUE(ds.EndOfData()) << name;
    }
    std::uint32_t trailer[2];
    src.ReadBuffer(trailer, 8);
    EXPECT_EQ(Crc32(out.data(), static_cast<std::size_t>(n)), trailer[0]) << name;
    EXPECT_EQ(n, trailer[1]) << name;
  }
}

TEST(StoreAndCrcPasses, CrcKindsBytesToDoProgressAndCancel) {
  const std::string data = codectest::BinaryMix(250000, 6);
  for (int kind : {16, 32}) {
    TMemoryStream32 src, dst;
    Fill(src, data);
    std::int64_t todo = 250000;
    TEntryCrc entry;
    TCodecParams params;
    params.BytesToDo = &todo;
    params.EntryCrc = &entry;
    int progress = 0;
    auto on_progress = [&](TStream32& s) { progress += &s == &src; };  // stored: the source
    EXPECT_TRUE(StoreFile(on_progress, src, params, kind, dst));
    EXPECT_EQ(todo, 0);
    EXPECT_EQ(progress, 3);  // 102,400-byte chunks
    EXPECT_EQ(ContentsOf(dst), data);
    if (kind == 32) {
      EXPECT_EQ(entry.Crc32, CrcOf(data));
    } else {
      EXPECT_EQ(entry.Crc16, Crc16(data.data(), data.size()));
    }
  }
  TMemoryStream32 src, dst;
  Fill(src, data);
  src.SetPosition(777);
  bool cancel = false;
  EXPECT_EQ(CalcFileCrc32(src, TCodecParams{}, &cancel, nullptr, 0), ~CrcOf(data));
  EXPECT_EQ(src.Position(), 0);
  EXPECT_EQ(CalcFileCrc32(src, TCodecParams{}, &cancel, nullptr, 1000),
            ~CrcOf(data.substr(0, 1000)));

  TCodecParams params;
  params.Cancel = &cancel;
  int chunks = 0;
  codectest::TPumpGuard pump([&] { cancel = ++chunks == 2; });
  EXPECT_FALSE(StoreFile(nullptr, src, params, 32, dst));
  EXPECT_EQ(dst.Size(), 102400);
}

TEST(DeflateFile, CancelFromProgressStopsWithConsistentCrcAndBytesToDo) {
  const std::string data = codectest::TextLike(2 << 20);
  TMemoryStream32 src, dst;
  Fill(src, data);
  bool cancel = false;
  std::int64_t todo = 2 << 20;
  TCodecParams params;
  params.Cancel = &cancel;
  params.BytesToDo = &todo;
  int progress = 0;
  std::uint32_t crc = 0;
  EXPECT_FALSE(DeflateFile(
      src, dst, params, [&](TStream32&) { cancel = ++progress == 3; }, dtDeflateN, -15, crc));
  EXPECT_EQ(progress, 3);  // one report per 131,072-byte chunk taken in
  EXPECT_EQ(todo, (2 << 20) - 3 * 131072);
  EXPECT_EQ(crc, CrcOf(data.substr(0, 3 * 131072)));
}

TEST(Encryption, WholeBuffersGoThroughTheCipherAndTheCrcIsLeftAlone) {
  const std::string data = codectest::BinaryMix(400000, 11);
  TMemoryStream32 src, dst;
  Fill(src, data);
  codectest::TXorCipher enc, dec;
  TCodecParams params;
  params.Encryption = emZIP_v2;
  params.Cipher = &enc;
  std::uint32_t crc = 0xABCD;
  ASSERT_TRUE(DeflateFile(src, dst, params, nullptr, dtDeflateN, -15, crc));
  EXPECT_EQ(crc, 0xABCDu);  // an encrypted entry gets its CRC from a separate pass
  ASSERT_GE(enc.enc_sizes.size(), 2u);
  for (std::size_t i = 0; i + 1 < enc.enc_sizes.size(); ++i) EXPECT_EQ(enc.enc_sizes[i], 131070u);
  dst.SetPosition(0);
  TDecompressStream ds(dst, -15, emZIP_v2, &dec);
  std::string out(data.size(), '\0');
  EXPECT_EQ(ds.Read(out.data(), static_cast<std::int64_t>(out.size())), 400000);
  EXPECT_EQ(out, data);

  // Stored: encrypted, the precomputed CRC kept, the source untouched.
  TMemoryStream32 stored;
  TEntryCrc entry{0x11223344u, 0};
  params.EntryCrc = &entry;
  codectest::TXorCipher enc2, dec2;
  params.Cipher = &enc2;
  EXPECT_TRUE(StoreFile(nullptr, src, params, 32, stored));
  EXPECT_EQ(entry.Crc32, 0x11223344u);
  std::string bytes = ContentsOf(stored);
  EXPECT_NE(bytes, data);
  dec2.DecryptBuffer(reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(bytes, data);
  EXPECT_EQ(ContentsOf(src), data);

  params.Cipher = nullptr;  // never silently written in plain text
  EXPECT_THROW(DeflateFile(src, dst, params, nullptr, dtDeflateN, -15, crc), std::invalid_argument);
}

}  // namespace
}  // namespace qmx
