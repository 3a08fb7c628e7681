// The tar reader on archives made byte by byte (long names, sizes, damage,
// hostile names and links) and on archives written by other tar programs.
#include "archive/formats/tar/tar_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/files.h"
#include "archive/platform/paths.h"
#include "formats/tar_test_support.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using namespace qmx::test;

int Sh(const std::string& cmd) {
  return test::Run(cmd);
}

struct TTarRun {
  TReaderLog Log;
  int Count = 0;
};

TTarRun ExtractImage(TempDir& dir, const std::string& image, bool test = false,
                     bool createDirs = true) {
  WriteFile(dir / "a.tar", image);
  Sh("mkdir -p " + dir / "out");
  TTarRun run;
  TUnTar tar;
  Attach(tar, run.Log);
  tar.CreateStoredDirs = createDirs;
  tar.SetArchiveFile(dir / "a.tar");
  tar.SetExtractDir(dir / "out");
  tar.SetFileSpec({"*.*"});
  run.Count = test ? tar.Test() : tar.Extract();
  return run;
}

TEST(TarFields, NumbersInOctalAndBase256) {
  const std::uint8_t octal[12] = {'0', '0', '0', '1', '7', '5', '0', ' ', 0, 0, 0, 0};
  EXPECT_EQ(TarNumber(octal, 12), 1000);
  const std::uint8_t spaced[12] = {' ', ' ', '1', '7', '5', '0', 0, '7', '7', 0, 0, 0};
  EXPECT_EQ(TarNumber(spaced, 12), 1000);  // digits after the NUL do not count
  std::uint8_t big[12] = {0x80, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0};
  EXPECT_EQ(TarNumber(big, 12), std::int64_t{1} << 32);
  // Negative (a time before 1970): two's complement.
  std::uint8_t neg[12];
  std::memset(neg, 0xFF, 12);
  neg[11] = 0xFE;
  EXPECT_EQ(TarNumber(neg, 12), -2);
  // More than 63 bits is no size at all.
  std::uint8_t huge[12] = {0x80, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_LT(TarNumber(huge, 12), 0);
  EXPECT_EQ(TarTimeToDosDate(0), 0x00210020u);
}

TEST(TarReader, LongNamesFromEveryWriterConvention) {
  TempDir dir;
  const std::string longDir(120, 'd'), longFile(110, 'f');
  std::string image;
  TCraftedTarEntry plain;
  plain.Name = "plain.txt";
  plain.Data = "plain\n";
  image += TarBlock(plain);
  // GNU: a "././@LongLink" record names the next header.
  image += GnuLongName(longDir + "/" + longFile);
  TCraftedTarEntry gnu;
  gnu.Name = (longDir + "/" + longFile).substr(0, 100);
  gnu.Data = "gnu\n";
  gnu.Magic = std::string("ustar  \0", 8);
  image += TarBlock(gnu);
  // POSIX ustar: the prefix field.
  TCraftedTarEntry prefixed;
  prefixed.Prefix = "p/" + std::string(100, 'q');
  prefixed.Name = "in-prefix.txt";
  prefixed.Data = "prefix\n";
  image += TarBlock(prefixed);
  // GNU headers keep other data where the prefix would be.
  TCraftedTarEntry gnuPrefix = prefixed;
  gnuPrefix.Magic = std::string("ustar  \0", 8);
  gnuPrefix.Prefix = "junk";
  gnuPrefix.Name = "gnu-no-prefix.txt";
  image += TarBlock(gnuPrefix);
  // pax: path and size records; a global record is no entry.
  image += PaxBlock({{"comment", "global"}}).replace(156, 1, "g");
  image += PaxBlock({{"path", "pax/" + std::string(200, 'x') + ".txt"}, {"size", "4"}});
  TCraftedTarEntry paxed;
  paxed.Name = "PaxHeaders/ignored";
  paxed.Data = "pax\n";
  paxed.SizeText = "77777777777";  // the pax size wins
  image += TarBlock(paxed);
  image += TarEnd();

  // The global record's checksum changed with its type: make it again.
  {
    TCraftedTarEntry g;
    g.Name = "PaxHeaders/global";
    g.Type = 'g';
    g.Data = "16 comment=abc\n";
    const std::string good = PaxBlock({{"comment", "global"}});
    const std::size_t at = image.find(good.substr(0, 100));
    if (at != std::string::npos) image.replace(at, good.size(), TarBlock(g));
  }

  const TTarRun run = ExtractImage(dir, image);
  EXPECT_EQ(run.Log.Failed.size(), 0u) << run.Log.ErrorText();
  EXPECT_EQ(ReadFile(dir / "out/plain.txt"), "plain\n");
  EXPECT_EQ(ReadFile(dir / ("out/" + longDir + "/" + longFile)), "gnu\n");
  EXPECT_EQ(ReadFile(dir / ("out/p/" + std::string(100, 'q') + "/in-prefix.txt")), "prefix\n");
  EXPECT_EQ(ReadFile(dir / "out/gnu-no-prefix.txt"), "prefix\n");
  EXPECT_EQ(ReadFile(dir / ("out/pax/" + std::string(200, 'x') + ".txt")), "pax\n");
  EXPECT_EQ(run.Count, 5);
  for (const std::string& name : run.Log.Begun) {
    EXPECT_EQ(name.find("LongLink"), std::string::npos);
    EXPECT_EQ(name.find("PaxHeaders"), std::string::npos);
  }
}

TEST(TarReader, SizesSteerTheWalk) {
  TempDir dir;
  std::string image;
  TCraftedTarEntry a;
  a.Name = "thousand";
  a.Data = std::string(1000, 'k');
  a.SizeText = "0001750 ";
  image += TarBlock(a);
  TCraftedTarEntry b;
  b.Name = "base256";
  b.Data = "binary size\n";
  b.Base256Size = static_cast<std::int64_t>(b.Data.size());
  image += TarBlock(b);
  TCraftedTarEntry dirEntry;
  dirEntry.Name = "emptydir/";
  dirEntry.Type = '5';
  image += TarBlock(dirEntry);
  image += TarEnd();
  // Anything after the end blocks is no part of the archive.
  TCraftedTarEntry after;
  after.Name = "after-end";
  image += TarBlock(after);

  const TTarRun run = ExtractImage(dir, image);
  EXPECT_EQ(ReadFile(dir / "out/thousand"), std::string(1000, 'k'));
  EXPECT_EQ(ReadFile(dir / "out/base256"), "binary size\n");
  EXPECT_TRUE(IsDirectory(dir / "out/emptydir"));
  EXPECT_FALSE(FileExists(dir / "out/after-end"));
  EXPECT_TRUE(run.Log.Errors.empty()) << run.Log.ErrorText();

  // Without CreateStoredDirs a directory entry makes nothing.
  TempDir dir2;
  ExtractImage(dir2, image, false, false);
  EXPECT_FALSE(IsDirectory(dir2 / "out/emptydir"));
}

TEST(TarReader, DamageEndsTheListingWithAnError) {
  TempDir dir;
  TCraftedTarEntry good;
  good.Name = "good.txt";
  good.Data = "good\n";
  TCraftedTarEntry bad;
  bad.Name = "bad.txt";
  bad.Data = "bad\n";
  bad.BadChecksum = true;
  TCraftedTarEntry later;
  later.Name = "later.txt";
  const TTarRun run =
      ExtractImage(dir, TarBlock(good) + TarBlock(bad) + TarBlock(later) + TarEnd());
  EXPECT_EQ(ReadFile(dir / "out/good.txt"), "good\n");
  EXPECT_FALSE(FileExists(dir / "out/bad.txt"));
  EXPECT_FALSE(FileExists(dir / "out/later.txt"));
  EXPECT_TRUE(run.Log.HasError(E_HEADER_NOT_FOUND)) << run.Log.ErrorText();

  // A checksum field of zeros is no header.
  TempDir dir2;
  TCraftedTarEntry zero = good;
  zero.ZeroChecksum = true;
  const TTarRun run2 = ExtractImage(dir2, TarBlock(zero) + TarEnd());
  EXPECT_EQ(run2.Count, 0);
  EXPECT_FALSE(FileExists(dir2 / "out/good.txt"));
}

TEST(TarReader, HostileSizesReadNothingBeyondTheFile) {
  TempDir dir;
  TCraftedTarEntry huge;
  huge.Name = "huge";
  huge.Data = "only this\n";
  huge.Base256Size = std::int64_t{1} << 40;
  const TTarRun run = ExtractImage(dir, TarBlock(huge));
  EXPECT_EQ(run.Log.Passed.size(), 0u);
  EXPECT_TRUE(run.Log.HasError(E_READ_FILE)) << run.Log.ErrorText();
  EXPECT_FALSE(FileExists(dir / "out/huge"));

  // A pax record claiming gigabytes is damage, not something to load.
  TempDir dir2;
  TCraftedTarEntry pax;
  pax.Name = "PaxHeaders/big";
  pax.Type = 'x';
  pax.Base256Size = std::int64_t{1} << 33;
  const TTarRun run2 = ExtractImage(dir2, TarBlock(pax) + TarEnd());
  EXPECT_EQ(run2.Count, 0);
  EXPECT_TRUE(run2.Log.HasError(E_HEADER_NOT_FOUND));

  // A GNU long name as big as the file.
  TempDir dir3;
  TCraftedTarEntry longName;
  longName.Name = "././@LongLink";
  longName.Type = 'L';
  longName.SizeText = "77777777777";
  const TTarRun run3 = ExtractImage(dir3, TarBlock(longName) + TarEnd());
  EXPECT_EQ(run3.Count, 0);
  EXPECT_TRUE(run3.Log.HasError(E_HEADER_NOT_FOUND));
}

TEST(TarReader, NamesStayInsideTheTarget) {
  TempDir dir;
  std::string image;
  for (const char* name : {"../escape.txt", "/etc/abs.txt", "a/../../up.txt", "./dot.txt"}) {
    TCraftedTarEntry h;
    h.Name = name;
    h.Data = "x";
    image += TarBlock(h);
  }
  const TTarRun run = ExtractImage(dir, image + TarEnd());
  EXPECT_FALSE(FileExists(dir / "escape.txt"));
  EXPECT_FALSE(FileExists(dir / "up.txt"));
  EXPECT_TRUE(FileExists(dir / "out/escape.txt"));
  EXPECT_TRUE(FileExists(dir / "out/etc/abs.txt"));
  EXPECT_TRUE(FileExists(dir / "out/dot.txt"));
  EXPECT_TRUE(run.Log.HasError(E_INVALID_NAME));
}

TEST(TarReader, AnEntryWithoutANameFailsInTestAndExtraction) {
  // Its data cannot land anywhere: a failed entry, as bsdtar and GNU tar
  // fail it, never a silent loss. The entries around it are unharmed.
  TempDir dir;
  std::string image;
  for (const char* name : {"a.txt", "", "b.txt"}) {
    TCraftedTarEntry h;
    h.Name = name;
    h.Data = "data";
    image += TarBlock(h);
  }
  for (bool test : {true, false}) {
    SCOPED_TRACE(test ? "test" : "extract");
    const TTarRun run = ExtractImage(dir, image + TarEnd(), test);
    ASSERT_EQ(run.Log.Passed.size(), 2u);
    EXPECT_EQ(ExtractFileName(run.Log.Passed[1]), "b.txt");
    EXPECT_EQ(run.Log.Failed.size(), 1u);
    EXPECT_TRUE(run.Log.HasError(E_INVALID_NAME)) << run.Log.ErrorText();
  }
  EXPECT_EQ(ReadFile(dir / "out/b.txt"), "data");
}

TEST(TarReader, LinksAndDevicesAreReportedAndSkipped) {
  TempDir dir;
  std::string image;
  TCraftedTarEntry target;
  target.Name = "target.txt";
  target.Data = "target\n";
  image += TarBlock(target);
  struct TSpecial {
    const char* name;
    char type;
  };
  for (TSpecial s : {TSpecial{"sym", '2'}, TSpecial{"hard", '1'}, TSpecial{"chr", '3'},
                     TSpecial{"blk", '4'}, TSpecial{"fifo", '6'}}) {
    TCraftedTarEntry h;
    h.Name = s.name;
    h.Type = s.type;
    h.LinkName = "../../etc/passwd";
    image += TarBlock(h);
  }
  // A file written through a link of the same name must land in the target.
  TCraftedTarEntry through;
  through.Name = "sym";
  through.Data = "plain file\n";
  image += TarBlock(through);
  TCraftedTarEntry last;
  last.Name = "last.txt";
  last.Data = "last\n";
  image += TarBlock(last);

  const TTarRun run = ExtractImage(dir, image + TarEnd());
  EXPECT_EQ(ReadFile(dir / "out/target.txt"), "target\n");
  EXPECT_EQ(ReadFile(dir / "out/last.txt"), "last\n");
  EXPECT_EQ(ReadFile(dir / "out/sym"), "plain file\n");
  for (const char* name : {"hard", "chr", "blk", "fifo"}) {
    EXPECT_EQ(FileMode(dir / ("out/" + std::string(name))), 0u) << name;
    bool reported = false;
    for (const auto& e : run.Log.Errors)
      reported |= e.first == E_SKIPPED_FILE && e.second.find(name) != std::string::npos;
    EXPECT_TRUE(reported) << name << "\n" << run.Log.ErrorText();
  }
  EXPECT_NE(run.Log.ErrorText().find("symbolic link to ../../etc/passwd"), std::string::npos);

  // Testing has nothing to refuse: every entry passes.
  TempDir dir2;
  const TTarRun test = ExtractImage(dir2, image + TarEnd(), true);
  EXPECT_EQ(test.Log.Failed.size(), 0u);
  EXPECT_TRUE(test.Log.Errors.empty()) << test.Log.ErrorText();
}

TEST(TarReader, PermissionsAndTimesFromTheHeader) {
  TempDir dir;
  TCraftedTarEntry h;
  h.Name = "script.sh";
  h.Data = "#!/bin/sh\n";
  h.Mode = 04750;  // set-id is never restored
  h.MTime = 1600000000;
  TCraftedTarEntry d;
  d.Name = "private/";
  d.Type = '5';
  d.Mode = 0700;
  ExtractImage(dir, TarBlock(h) + TarBlock(d) + TarEnd());
  EXPECT_EQ(FileMode(dir / "out/script.sh"), Umasked(0750));
  EXPECT_EQ(FileMode(dir / "out/private"), Umasked(0700));
  EXPECT_LE(std::llabs(FileMTime(dir / "out/script.sh") - 1600000000), 2);
}

// ------------------------------------------------------------------ peers

class TarPeers : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string src = dir_ / "src";
    ASSERT_EQ(Sh("mkdir -p " + src + "/d/sub " + src + "/d/" + std::string(90, 'n')), 0);
    WriteFile(src + "/d/a.txt", "hello\n");
    std::string big;
    for (int i = 0; i < 20000; ++i) big += std::to_string(i * 7919 % 10007) + "\n";
    WriteFile(src + "/d/sub/big.txt", big);
    WriteFile(src + "/d/empty", "");
    WriteFile(src + "/d/" + std::string(90, 'n') + "/" + std::string(90, 'f') + ".txt", "long\n");
    ASSERT_EQ(Sh("cd " + src +
                 " && chmod 0750 d/a.txt && ln -s a.txt d/link && "
                 "touch -d '2021-03-04 05:06:08' d/a.txt d/sub/big.txt && "
                 "touch -d '2020-01-02 03:04:05' d/sub"),
              0);
  }

  // Extracts with TUnTar and with GNU tar; both trees must hold the same
  // files with the same bytes and times, and no link on our side.
  void Compare(const std::string& tarFile) {
    SCOPED_TRACE(tarFile);
    const std::string ours = dir_ / ("ours-" + tarFile), peer = dir_ / ("peer-" + tarFile);
    ASSERT_EQ(Sh("mkdir -p " + ours + " " + peer + " && tar -xf " + dir_ / tarFile + " -C " + peer),
              0);
    TReaderLog log;
    TUnTar tar;
    Attach(tar, log);
    tar.SetArchiveFile(dir_ / tarFile);
    tar.SetExtractDir(ours);
    tar.SetFileSpec({"*.*"});
    tar.Extract();
    ASSERT_EQ(Sh("find " + peer + " -type l -delete"), 0);
    EXPECT_EQ(Sh("diff -r " + peer + " " + ours), 0);
    EXPECT_EQ(Sh("test -z \"$(find " + ours + " -type l)\""), 0);
    const std::string a = "/d/a.txt", big = "/d/sub/big.txt";
    EXPECT_LE(std::llabs(FileMTime(ours + a) - FileMTime(peer + a)), 2);
    EXPECT_LE(std::llabs(FileMTime(ours + big) - FileMTime(peer + big)), 2);
    EXPECT_EQ(FileMode(ours + a), FileMode(peer + a));
    // GNU tar does not always restore a directory's time; the header has it.
    EXPECT_LE(std::llabs(FileMTime(ours + "/d/sub") - FileMTime(dir_ / "src/d/sub")), 2);
    for (const auto& e : log.Errors)
      EXPECT_NE(e.second.find("link"), std::string::npos) << e.second;
  }

  TempDir dir_;
};

TEST_F(TarPeers, GnuTarInEveryFormat) {
  for (const char* format : {"gnu", "oldgnu", "pax", "ustar", "v7"}) {
    const std::string name = std::string(format) + ".tar";
    // v7 has no room for the long name.
    const std::string exclude =
        std::string(format) == "v7" ? " --exclude=" + std::string(90, 'n') : "";
    ASSERT_EQ(Sh("cd " + dir_ / "src" + " && tar --format=" + format + exclude + " -cf " +
                 dir_ / name + " d"),
              0)
        << format;
    Compare(name);
  }
}

TEST_F(TarPeers, BsdtarSevenZipAndPython) {
  ASSERT_EQ(Sh("cd " + dir_ / "src" +
               " && bsdtar --format ustar -cf ../bsd-ustar.tar d && "
               "bsdtar --format pax -cf ../bsd-pax.tar d"),
            0);
  Compare("bsd-ustar.tar");
  Compare("bsd-pax.tar");
  ASSERT_EQ(Sh("cd " + dir_ / "src" + " && 7zz a -ttar -snl ../7z.tar d > /dev/null"), 0);
  Compare("7z.tar");
  for (const char* format : {"GNU_FORMAT", "PAX_FORMAT"}) {
    const std::string name = std::string("py-") + format + ".tar";
    ASSERT_EQ(Sh("cd " + dir_ / "src" + " && python3 -c \"import tarfile; t = tarfile.open('../" +
                 name + "', 'w', format=tarfile." + format + "); t.add('d'); t.close()\""),
              0);
    Compare(name);
  }
}

}  // namespace
}  // namespace qmx
