#include "archive/zip/zip_locate.h"

#include <gtest/gtest.h>

#include <random>

#include "records_fixture.h"

namespace qmx {
namespace {

using namespace ziptest;

const THeaderTypeState kWhole{htEnding, htCentral, htLocal};

TZipLocation Locate(const TBytes& b) {
  auto s = MemStream(b);
  TZipLocation loc;
  EXPECT_EQ(LocateCentralDirectory(*s, loc), loc.Position);
  return loc;
}

std::uint32_t WordAt(const TBytes& b, std::int64_t at) {
  if (at < 0 || static_cast<std::size_t>(at) + 4 > b.size()) return 0;
  return GetLE32(b.data() + at);
}

TEST(ZipLocate, OrdinaryArchiveWithComment) {
  TBytes zip = PythonZip("a comment");
  auto s = MemStream(zip);
  s->Seek(5, soFromBeginning);
  TZipLocation loc;
  std::int64_t pos = LocateCentralDirectory(*s, loc);
  EXPECT_EQ(s->Position(), 5);  // the caller's position survives
  EXPECT_EQ(pos, PythonStartDir(zip));
  EXPECT_EQ(loc.HeaderFlags, kWhole);
  EXPECT_EQ(loc.End.TotalEntries, 3);
  EXPECT_EQ(loc.EndPosition, static_cast<std::int64_t>(zip.size()) - 22 - 9);
  EXPECT_EQ(loc.CommentPosition, loc.EndPosition + 22);
  EXPECT_EQ(loc.CommentLength, 9);
  EXPECT_EQ(loc.PrefixShift, 0);
}

TEST(ZipLocate, SearchWindowBounds) {
  // A file that is only an end record: its first byte is outside the window.
  auto rec = TZipEndRecord{}.Serialize();
  TBytes only(rec.begin(), rec.end());
  EXPECT_TRUE(Locate(only).HeaderFlags.Empty());
  only.insert(only.begin(), 'x');
  TZipLocation loc = Locate(only);
  EXPECT_EQ(loc.HeaderFlags, THeaderTypeState{htEnding});  // but no directory to read
  EXPECT_EQ(loc.Position, 0);

  // In a longer file the window is the last 32768 bytes exactly.
  auto withComment = [](int n) {
    test::TempDir d;
    Python("import zipfile\nwith zipfile.ZipFile('" + d / "c.zip" +
           "', 'w') as z:\n    z.writestr('a', 'a')\n    z.comment = b'c' * " + std::to_string(n));
    return FileBytes(d / "c.zip");
  };
  EXPECT_EQ(Locate(withComment(32768 - 22)).HeaderFlags, kWhole);
  EXPECT_TRUE(Locate(withComment(32768 - 21)).HeaderFlags.Empty());

  // A record cut off by the end of the file is not the end record.
  TBytes zip = PythonZip();
  TBytes cut = zip;
  for (char c : std::string("PK\x05\x06xyzab", 9)) cut.push_back(static_cast<std::uint8_t>(c));
  EXPECT_EQ(Locate(cut).EndPosition, static_cast<std::int64_t>(zip.size()) - 22);
}

TEST(ZipLocate, DataInFrontWithAndWithoutAdjustedOffsets) {
  TBytes zip = PythonZip();
  test::TempDir d;
  test::WriteFile(d / "sfx.exe", std::string(1000, 'j') + std::string(zip.begin(), zip.end()));
  TZipLocation raw = Locate(FileBytes(d / "sfx.exe"));
  EXPECT_EQ(raw.Position, 1000 + PythonStartDir(zip));
  EXPECT_EQ(raw.HeaderFlags, kWhole);
  EXPECT_EQ(raw.PrefixShift, 1000);

  ASSERT_EQ(test::Run("zip -qA " + d / "sfx.exe"), 0);
  TZipLocation adj = Locate(FileBytes(d / "sfx.exe"));
  EXPECT_EQ(adj.Position, raw.Position);
  EXPECT_EQ(adj.HeaderFlags, kWhole);
  EXPECT_EQ(adj.PrefixShift, 0);

  for (auto [file, shift] : {std::pair{"generated/zip/sfx/mz-stub-unadjusted.exe", 45056},
                             {"generated/zip/sfx/mz-stub-adjusted.exe", 0},
                             {"zip/sfx/libarchive/test_read_format_zip_sfx", 1024}}) {
    TBytes b = FileBytes(Corpus(file));
    TZipLocation loc = Locate(b);
    EXPECT_EQ(loc.HeaderFlags, kWhole) << file;
    EXPECT_EQ(loc.PrefixShift, shift) << file;
    EXPECT_EQ(WordAt(b, loc.Position), kZipCentralSig) << file;
  }
}

TEST(ZipLocate, Zip64RecordsAndTheirPrefix) {
  TBytes plain = FileBytes(Corpus("zip/zip64/libzip/zip64.zip"));
  TZipLocation loc = Locate(plain);
  EXPECT_EQ(loc.HeaderFlags,
            (THeaderTypeState{htEnding, htLocator, htEnding64, htCentral, htLocal}));
  EXPECT_EQ(loc.Position, PythonStartDir(plain));

  // 14 bytes in front, offsets as they were: found right before the Zip64
  // end record, with the prefix measured.
  loc = Locate(FileBytes(Corpus("zip/zip64/zip2/zip64_demo.zip")));
  EXPECT_TRUE(loc.HeaderFlags.Has(htEnding64) && loc.HeaderFlags.Has(htLocal));
  EXPECT_EQ(loc.PrefixShift, 14);
  EXPECT_EQ(loc.Position, loc.Zip64CentralOffset + 14);
}

TEST(ZipLocate, EncipheredHeadersAreFoundAndDeciphered) {
  TBytes zip = PythonZip();
  const TZipLocation plain = Locate(zip);
  auto encipher = [&](std::size_t at, std::size_t size, std::size_t nameLen) {
    EncipherRecord({zip.data() + at, size}, {zip.data() + at + size, nameLen});
    PutLE32(zip.data() + at, EncipheredSignature(GetLE32(zip.data() + at)));
  };
  for (const TEntry& e : CentralEntries(zip)) {
    encipher(e.Header.LocalHeaderOffset, 30, e.Name.size());
    encipher(static_cast<std::size_t>(e.Position), 46, e.Name.size());
  }
  encipher(zip.size() - 22, 22, 0);
  TZipLocation loc = Locate(zip);
  EXPECT_EQ(loc.Position, plain.Position);
  EXPECT_EQ(loc.HeaderFlags, kWhole);
  EXPECT_TRUE(loc.EndEnciphered && loc.CentralEnciphered);
  EXPECT_EQ(loc.End.CentralSize, plain.End.CentralSize);
  TZipCentralHeader expected = plain.FirstCentral;
  expected.Signature = kZipCentralSigX;
  EXPECT_EQ(loc.FirstCentral, expected);
}

TEST(ZipLocate, OwnSixtyFourBitEndRecord) {
  TBytes zip = PythonZip();
  const std::int64_t dir = PythonStartDir(zip);
  auto with64 = [&](std::uint64_t offset, std::size_t prefix) {
    TBytes b(prefix, 'z');
    b.insert(b.end(), zip.begin(), zip.end() - 22);
    TZipEndRecord64 e;
    e.TotalEntries = 3;
    e.CentralSize = static_cast<std::uint32_t>(zip.size() - 22 - dir);
    e.CentralOffset = offset;
    auto r = e.Serialize();
    b.insert(b.end(), r.begin(), r.end());
    return b;
  };
  TZipLocation loc = Locate(with64(dir, 0));
  EXPECT_TRUE(loc.Is64);
  EXPECT_EQ(loc.Position, dir);
  EXPECT_EQ(loc.HeaderFlags, kWhole);
  EXPECT_EQ(loc.CommentPosition, loc.EndPosition + 26);

  // Behind a stub the stored offset is wrong; the directory is found where
  // it ends, right before the record.
  loc = Locate(with64(dir, 100));
  EXPECT_EQ(loc.Position, dir + 100);
  EXPECT_EQ(loc.PrefixShift, 100);
  EXPECT_EQ(Locate(with64(~0ull, 0)).Position, dir);
}

TEST(ZipLocate, WithoutADirectoryTheFirstLocalHeaderIsTheAnswer) {
  TBytes zip = PythonZip();
  std::vector<TEntry> entries = CentralEntries(zip);
  for (const TEntry& e : entries) zip[static_cast<std::size_t>(e.Position) + 2] = 'x';
  zip.insert(zip.begin(), 10, '.');
  TZipLocation loc = Locate(zip);
  EXPECT_EQ(loc.Position, 10);
  EXPECT_EQ(loc.HeaderFlags, THeaderTypeState{htLocal});
  for (const TEntry& e : entries) zip[10 + e.Header.LocalHeaderOffset + 3] = 'x';
  EXPECT_EQ(Locate(zip).Position, -1);

  // The local header search sees a signature across its chunk seam.
  TBytes b(40000, '.');
  PutLE32(b.data() + 32766, kZipLocalSig);
  TZipEndRecord e;
  e.CentralSize = 100;  // points at dots
  auto rec = e.Serialize();
  std::copy(rec.begin(), rec.end(), b.end() - 22);
  EXPECT_EQ(Locate(b).Position, 32766);
}

TEST(ZipLocate, DamagedArchivesNeverCrashOrPointOutside) {
  TBytes zip = PythonZip("comment");
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    TBytes b = zip;
    for (int k = 0; k < 1 + static_cast<int>(rng() % 6); ++k) {
      // Mostly the directory and the end record, where the offsets are.
      std::size_t at = rng() % 2 ? b.size() - 1 - rng() % 160 : rng() % b.size();
      b[at] = static_cast<std::uint8_t>(rng() % 3 ? rng() : (rng() % 2 ? 0xFF : 0));
    }
    if (round % 10 == 0) b.resize(rng() % b.size());
    TZipLocation loc = Locate(b);
    EXPECT_GE(loc.Position, -1);
    EXPECT_LT(loc.Position, static_cast<std::int64_t>(std::max<std::size_t>(b.size(), 1)));
  }
}

}  // namespace
}  // namespace qmx
