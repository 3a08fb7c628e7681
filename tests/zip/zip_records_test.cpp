#include "archive/zip/zip_records.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "archive/base/zip_common.h"
#include "archive/zip/zip_component.h"
#include "records_fixture.h"

namespace qmx {
namespace {

using namespace ziptest;

std::string Hex(std::span<const std::uint8_t> b) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (std::uint8_t c : b) s += {digits[c >> 4], digits[c & 15]};
  return s;
}

TBytes Block(std::uint16_t tag, const TBytes& data) {
  TBytes b(4 + data.size());
  PutLE16(b.data(), tag);
  PutLE16(b.data() + 2, static_cast<std::uint16_t>(data.size()));
  std::copy(data.begin(), data.end(), b.begin() + 4);
  return b;
}

TBytes LE64(std::uint64_t v) {
  TBytes b(8);
  PutLE64(b.data(), v);
  return b;
}

TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes out;
  for (const TBytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const TBytes kAes256 = Block(kExtraAes, {2, 0, 'A', 'E', 3, 8, 0});

TEST(ZipRecords, ClassifierMatchesOnlyTheExpectedKind) {
  bool enc = false;
  EXPECT_EQ(ClassifyHeader(kZipEnd64SigX, htEnding, enc), htEnding);
  EXPECT_TRUE(enc);
  EXPECT_EQ(ClassifyHeader(kZipCentralSig, htLocal, enc), htNone);
  EXPECT_FALSE(enc);
  for (std::uint32_t w : {kZip64EndSig, kZip64LocatorSig, kZipSplitSig, kZipLocalSig})
    EXPECT_EQ(ClassifyHeader(w, htEnding), htNone) << std::hex << w;
}

TEST(ZipRecords, HeadersOfARealArchiveDecodeToWhatPythonReports) {
  TBytes zip = PythonZip();
  test::TempDir d;
  test::WriteFile(d / "a.zip", std::string(zip.begin(), zip.end()));
  std::string facts = Python(
      "import zipfile\n"
      "print(';'.join('%s,%d,%d,%d,%d,%d' % (i.filename, i.header_offset,"
      " i.CRC, i.compress_size, i.file_size, i.compress_type) for i in"
      " zipfile.ZipFile('" +
      d / "a.zip" + "').infolist()))");
  std::string mine;
  for (const TEntry& e : CentralEntries(zip)) {
    const TZipCentralHeader& h = e.Header;
    mine += (mine.empty() ? "" : ";") + e.Name + "," + std::to_string(h.LocalHeaderOffset) + "," +
            std::to_string(h.Crc32) + "," + std::to_string(h.PackedSize) + "," +
            std::to_string(h.UnpackedSize) + "," + std::to_string(h.Method);
    std::span<const std::uint8_t, 30> raw(zip.data() + h.LocalHeaderOffset, 30);
    TZipLocalHeader local = TZipLocalHeader::Parse(raw);
    EXPECT_EQ(local.Crc32, h.Crc32);
    EXPECT_EQ(local.DosTime, h.DosTime);
    EXPECT_EQ(local.NameLength, e.Name.size());
    EXPECT_EQ(Hex(local.Serialize()), Hex(raw));
    EXPECT_EQ(Hex(h.Serialize()), Hex({zip.data() + e.Position, 46}));
  }
  EXPECT_EQ(mine, facts);

  TZipEndRecord end{kZipEndSig, 1, 2, 0x0304, 0x0506, 0x0708090A, 0x0B0C0D0E, 0x0F10};
  EXPECT_EQ(Hex(end.Serialize()), "504b050601000200040306050a0908070e0d0c0b100f");
  EXPECT_EQ(TZipEndRecord::Parse(end.Serialize()), end);
  TZipEndRecord64 end64{kZipEnd64Sig, 1, 2, 3, 4, 5, 0x0000000123456789ull, 7};
  EXPECT_EQ(Hex(end64.Serialize()),
            "505b05060100020003000400050000008967452301000000"
            "0700");
}

TEST(ZipRecords, EncipheredHeadersMatchTheCipherOfTheFormatNote) {
  TZipCentralHeader h;
  h.Signature = kZipCentralSigX;
  h.Method = 8;
  h.Crc32 = 0xCBF43926;
  h.NameLength = 9;
  auto rec = h.Serialize();
  TBytes name = ToBytes("dir/a.txt");
  const std::string plain = Hex(rec) + Hex(name);
  // The traditional cipher under the header key, from the format note and
  // independent of our cipher class.
  std::string expected = Python(
      "import zlib\n"
      "def step(k, c): return (~zlib.crc32(bytes([c]), ~k & 0xffffffff)) & 0xffffffff\n"
      "k = [0x12345678 & 0x34567890, 0x12345678 & 0x23456789, 0x34567890 & 0x23456789]\n"
      "out = bytearray()\n"
      "for c in bytes.fromhex('" +
      plain.substr(8) +
      "'):\n"
      "    t = (k[2] | 2) & 0xffff\n"
      "    out.append(c ^ (((t * (t ^ 1)) >> 8) & 0xff))\n"
      "    k[0] = step(k[0], c)\n"
      "    k[1] = ((k[1] + (k[0] & 0xff)) * 134775813 + 1) & 0xffffffff\n"
      "    k[2] = step(k[2], k[1] >> 24)\n"
      "print('" +
      plain.substr(0, 8) + "' + out.hex())");

  EncipherRecord(rec, name);  // the name continues the record's stream
  EXPECT_EQ(Hex(rec) + Hex(name), expected);
  DecipherRecord(rec, name);
  EXPECT_EQ(Hex(rec) + Hex(name), plain);
}

TEST(ZipRecords, Zip64BlockFillsOnlyTheEscapedFields) {
  TZipExtraInfo info;
  info.UnpackedSize = info.PackedSize = info.LocalOffset = 0xFFFFFFFF;
  TBytes three = Block(kExtraZip64, Cat({LE64(0x123456789), LE64(0x2000000FF), LE64(0x3000000AB)}));
  ParseExtraField(three, false, info);  // local: the sizes only, uncompressed first
  EXPECT_EQ(info.UnpackedSize64(), 0x123456789);
  EXPECT_EQ(info.PackedSize64(), 0x2000000FF);
  EXPECT_EQ(info.LocalOffset64(), 0xFFFFFFFF);

  info = TZipExtraInfo{};
  info.PackedSize = info.LocalOffset = 0xFFFFFFFF;  // central, size not escaped
  ParseExtraField(Block(kExtraZip64, Cat({LE64(0x500000001), LE64(0xABCD000600000002)})), true,
                  info);
  EXPECT_EQ(info.UnpackedSize64(), 0);
  EXPECT_EQ(info.PackedSize64(), 0x500000001);
  EXPECT_EQ(info.LocalOffset64(), 0x600000002);  // bits 48-63 dropped

  // Nothing escaped: the block adds nothing and the walk goes on after it.
  info = TZipExtraInfo{};
  info.UnpackedSize = 5;
  ParseExtraField(Cat({Block(kExtraZip64, LE64(0x700000000)), kAes256}), false, info);
  EXPECT_EQ(info.UnpackedSize64(), 5);
  EXPECT_TRUE(info.HasAes);
}

TEST(ZipRecords, LargeFileBlockCarriesHighWordsByHeaderKind) {
  auto central = MakeLargeFileExtra(0x100000000, 0x2300000000, 0x400000000, true);
  ASSERT_EQ(central.Length, 10u);
  TZipExtraInfo info;
  ParseExtraField(central.View(), true, info);
  EXPECT_EQ(info.PackedHigh, 1);
  EXPECT_EQ(info.UnpackedHigh, 0x23);
  EXPECT_EQ(info.OffsetHigh, 4);
  ParseExtraField(central.View(), false, info);  // a local header has no offset
  EXPECT_EQ(info.OffsetHigh, 0);
  EXPECT_EQ(MakeLargeFileExtra(1, 2, 3, false).Length, 0u);

  // An offset of exactly 4 GiB needs the block (high word 1); one less does not.
  auto at4g = MakeLargeFileExtra(10, 10, 0x100000000, true);
  EXPECT_EQ(GetLE16(at4g.Bytes.data() + 8), 1);
  EXPECT_EQ(MakeLargeFileExtra(10, 10, 0xFFFFFFFF, true).Length, 0u);
  // Incompressible data can make the packed size the only large one.
  EXPECT_EQ(MakeLargeFileExtra(0x100000005, 0xFFFFFFF0, 0, false).Length, 8u);
}

TEST(ZipRecords, ExtraWalkSkipsUnknownBlocksStopsAtOversizeOnesAndBoundsWhatItKeeps) {
  TZipExtraInfo info;
  ParseExtraField(Cat({Block(0x5455, {1, 2, 3, 4, 5}), kAes256}), true, info);
  ASSERT_TRUE(info.HasAes);
  EXPECT_EQ(info.AesVendor(), 0x4541);
  EXPECT_EQ(info.AesStrength(), 3);
  EXPECT_EQ(info.AesMethod(), 8);

  TBytes oversize = Block(0x5455, {1, 2});
  PutLE16(oversize.data() + 2, 400);
  ParseExtraField(Cat({oversize, kAes256}), true, info);
  EXPECT_FALSE(info.HasAes);  // cleared first, then never reached

  TBytes strong(300, 0x5A);
  ParseExtraField(Block(kExtraStrongEncryption, strong), true, info);
  EXPECT_TRUE(info.HasStrong);
  EXPECT_EQ(info.StrongLength, kStrongExtraKept);
}

TEST(ZipRecords, EncryptionKindComesFromTheLastBlock) {
  auto strong = [](std::uint16_t alg) {
    TBytes d(8, 0);
    PutLE16(d.data() + 2, alg);
    return Block(kExtraStrongEncryption, d);
  };
  EXPECT_EQ(EncryptionFromExtra({}), emZIP_v2);
  EXPECT_EQ(EncryptionFromExtra(Cat({Block(10, TBytes(32)), kAes256})), emAES2_256);
  EXPECT_EQ(EncryptionFromExtra(Cat({kAes256, Block(10, TBytes(32))})), emZIP_v2);
  EXPECT_EQ(EncryptionFromExtra(strong(0x660E)), emAES2_128);
  EXPECT_EQ(EncryptionFromExtra(strong(0x6610)), emAES2_256);
  EXPECT_EQ(EncryptionFromExtra(strong(0x6601)), emUnsupported);  // DES is not ours
  EXPECT_EQ(EncryptionFromExtra(MakeAesExtra(emAES2_192, 8)), emAES2_192);

  // Real archives: each encrypted entry gets the kind its writer used.
  for (auto [file, kind] :
       {std::pair{"zip/crypto/libzip/encrypt-aes128.zip", emAES2_128},
        {"zip/crypto/libzip/encrypt-aes192.zip", emAES2_192},
        {"zip/crypto/sharpcompress/zipcrypto.zip", emZIP_v2},
        {"zip/crypto/libarchive/test_read_format_zip_encryption_data.zip", emAES2_256}}) {
    int encrypted = 0;
    for (const TEntry& e : CentralEntries(FileBytes(Corpus(file)))) {
      if (!(e.Header.Flags & kZipFlagEncrypted)) continue;
      ++encrypted;
      EXPECT_EQ(EncryptionFromExtra(e.Extra), kind) << file;
    }
    EXPECT_GT(encrypted, 0) << file;
  }
}

TEST(ZipRecords, ComponentReadsAnExtraFieldFromAStream) {
  // Python writes the sizes of a member opened with force_zip64 into a
  // Zip64 block of its local header.
  test::TempDir d;
  ASSERT_EQ(Python("import zipfile\n"
                   "with zipfile.ZipFile('" +
                   d / "f.zip" +
                   "', 'w') as z:\n"
                   "    with z.open('big.bin', 'w', force_zip64=True) as f: f.write(b'abc' * 999)\n"
                   "print('ok')"),
            "ok");
  TBytes f = FileBytes(d / "f.zip");
  TZipLocalHeader local = TZipLocalHeader::Parse(std::span<const std::uint8_t, 30>(f.data(), 30));
  auto s = MemStream(f);
  s->Seek(30 + local.NameLength, soFromBeginning);
  TZipExtraInfo info;
  info.PackedSize = local.PackedSize;
  info.UnpackedSize = local.UnpackedSize;
  class TComponent : public TZipCommon {
   public:
    bool ReadExtraField(TStream& s, std::uint16_t n, TZipExtraInfo& into, bool central) {
      return qmx::ReadExtraField(*this, s, n, into, central);
    }
  } c;
  EXPECT_TRUE(c.ReadExtraField(*s, local.ExtraLength, info, false));
  EXPECT_EQ(info.UnpackedSize64(), 2997);
  EXPECT_EQ(info.PackedSize64(), 2997);

  // Cut short: what arrived is still walked.
  s->Seek(static_cast<std::int64_t>(f.size()) - 10, soFromBeginning);
  EXPECT_FALSE(c.ReadExtraField(*s, 40, info, false));
}

}  // namespace
}  // namespace qmx
