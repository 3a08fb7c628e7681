#include "archive/convert/arc_detect.h"

#include <gtest/gtest.h>

#include <cstring>

#include "archive/base/zip_common.h"
#include "archive/platform/disk_service.h"
#include "archive/zip/zip_component.h"
#include "pe_builder.h"
#include "zip/records_fixture.h"

namespace qmx {

// Failure messages name the type.
static void PrintTo(TArcType t, std::ostream* os) {
  *os << ArcTypeName(t);
}

namespace {

using namespace petest;
using test::TempDir;
using ziptest::Corpus;
using ziptest::PythonStartDir;

const THeaderTypeState kWhole{htEnding, htCentral, htLocal};

std::string Str(const TBytes& b) {
  return std::string(b.begin(), b.end());
}

const std::string kStub = Str(BuildPe({}));

TDetectResult Detect(const std::string& path, const std::string& data = {}) {
  if (!data.empty()) test::WriteFile(path, data);
  TFileStream32 s(path, fmOpenRead);
  TDetectResult r;
  EXPECT_EQ(DetectArcType(s, path, r), r.Type);
  return r;
}

// An Info-ZIP archive of two small files, "made.zip" in d.
std::string MakeZip(const TempDir& d) {
  test::WriteFile(d / "one.txt", std::string(3000, 'a'));
  test::WriteFile(d / "two.txt", "second file\n");
  EXPECT_EQ(test::Run("cd " + d.path() + " && zip -q made.zip one.txt two.txt"), 0);
  return test::ReadFile(d / "made.zip");
}

// A simulated disk, installed for one test.
struct TFakeDisk : TDiskService {
  TDriveType Type;
  std::string Label;
  bool Known;
  TFakeDisk(TDriveType t, std::string l, bool k) : Type(t), Label(std::move(l)), Known(k) {}
  bool DriveOf(const std::string&, TDriveInfo& i) override {
    i = TDriveInfo{};
    i.Type = Type;
    i.Label = Label;
    return Known;
  }
  bool DiskSpace(const std::string&, std::int64_t&, std::int64_t&) override { return false; }
};
struct TDiskGuard {
  TDiskGuard(TDriveType t, std::string l, bool known = true) {
    SetDiskService(std::make_shared<TFakeDisk>(t, std::move(l), known));
  }
  ~TDiskGuard() { SetDiskService(nullptr); }
};

TEST(ArcDetect, FilesOfNineteenBytesOrLessAreNothing) {
  TempDir d;
  const std::string gz = "\x1F\x8B\x08";
  EXPECT_EQ(Detect(d / "a", gz + std::string(16, 'x')).Type, atNA);
  auto r = Detect(d / "b", gz + std::string(17, 'x'));
  EXPECT_EQ(r.Type, atGZip);
  EXPECT_EQ(r.ArchivePosition, 0);
  EXPECT_EQ(r.ArchiveSize, 20);
}

TEST(ArcDetect, ZipArchiveIsJarByItsExtensionOnly) {
  TempDir d;
  std::string zip = MakeZip(d);
  for (auto [name, type] : {std::pair{"game.jar", atJar},
                            {"game.zip", atZip},
                            {"game.JAR", atJar},
                            {"game.jar.bak", atZip}}) {
    auto r = Detect(d / name, zip);
    EXPECT_EQ(r.Type, type) << name;
    EXPECT_EQ(r.ArchivePosition, PythonStartDir(d / name)) << name;
    EXPECT_EQ(r.Zip.HeaderFlags, kWhole) << name;
  }
  ASSERT_EQ(test::Run("cd " + d.path() + " && jar cf tool.jar one.txt two.txt"), 0);
  EXPECT_EQ(Detect(d / "tool.jar").Type, atJar);
}

TEST(ArcDetect, ZipBehindAnExecutableStubIsNeverAJar) {
  TempDir d;
  for (const char* f :
       {"generated/zip/sfx/mz-stub-adjusted.exe", "generated/zip/sfx/mz-stub-unadjusted.exe"}) {
    auto r = Detect(d / "sfx.jar", test::ReadFile(Corpus(f)));
    EXPECT_EQ(r.Type, atZipExe) << f;
    EXPECT_EQ(r.ArchivePosition, PythonStartDir(Corpus(f))) << f;
  }
  // An ELF self-extractor is no stub we know: a zip with data in front.
  EXPECT_EQ(Detect(Corpus("generated/zip/sfx/unzipsfx-elf.sfx")).Type, atZip);
}

TEST(ArcDetect, SelfExtractorsAtKnownOffsets) {
  TempDir d;
  std::string zip = MakeZip(d);
  const std::int64_t dir = PythonStartDir(d / "made.zip");
  auto stub = [](std::size_t n, std::size_t at, const std::string& what) {
    std::string s(n, '\0');
    s[0] = 'M', s[1] = 'Z';
    return s.replace(at, what.size(), what);
  };
  for (std::size_t at : {7612u, 25661u}) {
    auto r = Detect(d / "z.exe", stub(at, 0, "MZ") + zip);
    EXPECT_EQ(r.Type, atZipExe);
    EXPECT_EQ(r.ArchivePosition, static_cast<std::int64_t>(at) + dir);
  }
  auto r = Detect(d / "arc.exe", stub(9000, 6867, "\x1A\x09"));
  EXPECT_EQ(r.Type, atArcExe);
  EXPECT_EQ(r.ArchivePosition, 6867);  // the stub's own offset is kept
  r = Detect(d / "lha.exe", stub(3000, 1947, "-lh5-"));
  EXPECT_EQ(r.Type, atLhaExe);
  EXPECT_EQ(r.ArchivePosition, 1945);

  for (auto [file, pos] : {std::pair{"lha/lha213/sfx.exe", 1636},  // where the DOS image ends
                           {"lha/lharc113/sfx.com", 1263}}) {      // no MZ header: the scan
    r = Detect(Corpus(file));
    EXPECT_EQ(r.Type, atLhaExe) << file;
    EXPECT_EQ(r.ArchivePosition, pos) << file;
  }
}

TEST(ArcDetect, StringTableOffsetsOfSelfExtractors) {
  TempDir d;
  std::string zip = MakeZip(d);
  const std::string junk(50, 'j');
  const std::int64_t at = static_cast<std::int64_t>(kStubSize + junk.size());
  TPeOptions o;
  o.ImageEnd = 0x100;                                          // the image end would mislead
  o.Strings = {{1, U16("60")}, {2, U16(std::to_string(at))}};  // tried in turn
  auto r = Detect(d / "zip.exe", Str(BuildPe(o)) + junk + zip);
  EXPECT_EQ(r.Type, atZipExe);
  EXPECT_EQ(r.ArchivePosition, at + PythonStartDir(d / "made.zip"));

  o.Strings = {{1, U16(std::to_string(kStubSize))}};
  r = Detect(d / "ace.exe", Str(BuildPe(o)) + "0123456**ACE**" + std::string(99, 'a'));
  EXPECT_EQ(r.Type, atAceExe);
  EXPECT_EQ(r.ArchivePosition, static_cast<std::int64_t>(kStubSize));
  // Not a number: the string table is given up.
  o.Strings = {{1, U16("12a")}, {2, U16(std::to_string(kStubSize))}};
  EXPECT_EQ(Detect(d / "nan.exe", Str(BuildPe(o)) + "Rar!" + std::string(99, 'r')).Type, atNA);
}

TEST(ArcDetect, CompressedFilesAreUnsupportedBehindAStub) {
  TempDir d;
  EXPECT_EQ(Detect(Corpus("generated/compress/first.txt.Z")).Type, atGZip);
  const std::string gz = test::ReadFile(Corpus("generated/gzip/first.txt.comment.gz"));
  auto r = Detect(d / "gz.exe", kStub + gz);  // where the image ends
  EXPECT_EQ(r.Type, atUnsupported);
  EXPECT_EQ(r.ArchivePosition, static_cast<std::int64_t>(kStubSize));
  TPeOptions o;
  o.ImageEnd = 0x200;
  o.Strings = {{1, U16(std::to_string(kStubSize))}};
  EXPECT_EQ(Detect(d / "gz2.exe", Str(BuildPe(o)) + gz).Type, atUnsupported);
}

TEST(ArcDetect, SpannedSetsByDriveAndLabel) {
  TempDir d;
  std::string zip = MakeZip(d);
  // The last disk of a set holds the central directory and the end record.
  const std::string last = zip.substr(static_cast<std::size_t>(PythonStartDir(d / "made.zip")));
  for (auto [type, label, expect] : {std::tuple{drvFixed, "PKBACK# 001", atZipMV},
                                     {drvRemovable, "PKBACK# 001", atZipDS},
                                     {drvRemovable, "pkback# 002", atZipDS},
                                     {drvRemovable, "PKBACK#1", atZipMV}}) {
    TDiskGuard g(type, label);
    auto r = Detect(d / "last.zip", last);
    EXPECT_EQ(r.Type, expect) << type << " " << label;
    EXPECT_TRUE(r.Zip.HeaderFlags.Has(htCentral));
  }
  {
    TDiskGuard unknown(drvRemovable, "PKBACK# 001", false);
    EXPECT_EQ(Detect(d / "last.zip").Type, atNA);
  }
  // A first volume (split marker) and last volumes whose end record names
  // another disk.
  TDiskGuard g(drvFixed, "");
  for (const char* f : {"zip/split/infozip-3/split_zip_created_by_zip.z01",
                        "zip/split/infozip-3/split_zip_created_by_zip.zip"})
    EXPECT_EQ(Detect(Corpus(f)).Type, atZipMV) << f;
}

TEST(ArcDetect, UuencodedText) {
  TempDir d;
  EXPECT_EQ(Detect(d / "a", "Some mail text\nbegin 644 x\nM86)C\n`\nend\n").Type, atUUE);
  EXPECT_EQ(Detect(d / "b", "begin-base64 644 x\nMQ==\n====\n").Type, atUUE);
  EXPECT_EQ(Detect(d / "c", "we begin 644 here\nMaybe a line start, no begin\n").Type, atNA);
  EXPECT_EQ(Detect(d / "f", std::string(5000, 'x') + "\nbegin 644 too late\n").Type, atNA);
  for (const char* f : {"text/libarchive/test_read_filter_uudecode_raw.uu",
                        "generated/text/first.txt.xxe", "generated/text/implode.zip.crlf.uue"})
    EXPECT_EQ(Detect(Corpus(f)).Type, atUUE) << f;
}

TEST(ArcDetect, TarNeedsAValidHeaderChecksum) {
  TempDir d;
  MakeZip(d);
  ASSERT_EQ(
      test::Run("cd " + d.path() + " && tar cf t.tar made.zip && tar cf l.tar -V Vol1 one.txt"), 0);
  EXPECT_EQ(Detect(d / "t.tar").Type, atTar);
  auto r = Detect(d / "l.tar");
  EXPECT_EQ(r.Type, atTar);
  EXPECT_EQ(r.ArchivePosition, 512);  // behind the volume label
  // A wrong checksum falls through to the ZIP tests: the member is found.
  std::string bad = test::ReadFile(d / "t.tar");
  bad[0] = 'x';
  EXPECT_EQ(Detect(d / "bad.tar", bad).Type, atZip);
  for (const char* f : {"tar/go/v7.tar", "tar/go/gnu.tar", "tar/go/pax.tar"})
    EXPECT_EQ(Detect(Corpus(f)).Type, atTar) << f;
  EXPECT_EQ(ParseOctal(ziptest::ToBytes(" 17 8 9\0"
                                        "77")),
            017u);
}

TEST(ArcDetect, SignatureTables) {
  TempDir d;
  for (auto [head, type] : {std::pair<std::string, TArcType>{"Rar!\x1A\x07", atRar},
                            {std::string("MSCF\0\0\0\0", 8), atCab},
                            {"BH\x05\x07", atBh},
                            {"PKG5", atUnknown},
                            {"\x60\xEA\x20", atArj},
                            {"ZOO 2.10", atZoo},
                            {"\xB7\xDFTW", atArc},
                            {"\x13\x5D\x65\x8C", atMsGZ},
                            {"PLCI", atNA},
                            {"7z\xBC\xAF\x27\x1C", at7z},
                            {"xxxxxxx**ACE**", atAce},
                            {"HA\x02\x01xxx**ACE**", atAce}})
    EXPECT_EQ(Detect(d / "f", head + std::string(100, '\x01')).Type, type) << head;
  std::string lha(128, '\0');  // leading zeros before a header at 128
  auto r = Detect(d / "mac", lha + test::ReadFile(Corpus("lha/lha213/lh5.lzh")));
  EXPECT_EQ(r.Type, atLha);
  EXPECT_EQ(r.ArchivePosition, 128);

  // Behind a stub most compressed or foreign kinds are unsupported.
  TDetectResult res;
  TMemoryStream32 s;
  TArcDetector det(s, "", res);
  auto w = [](const char* b) { return GetLE32(reinterpret_cast<const std::uint8_t*>(b)); };
  for (auto [bytes, stub] : {std::pair{"xx-l", atLhaExe},
                             {"\x1A\x02..", atUnsupported},
                             {"\x1A\x0B..", atPakExe},
                             {"%!..", atUnsupported},
                             {"PK\x03\x04", atZipExe},
                             {"ZOO ", atUnsupported}})
    EXPECT_EQ(det.ClassifySignature(smBehindStub, w(bytes)), stub) << bytes;
  EXPECT_EQ(det.ClassifySignature(smFileStart, w("\xB7\x92..")), atArcExe);
  EXPECT_EQ(res.ArchivePosition, 7716);
}

TEST(ArcDetect, ForwardScanRules) {
  TempDir d;
  auto at = [&](std::size_t pos, const std::string& what, std::size_t size = 300) {
    std::string s(std::max(size, pos + what.size() + 1), ' ');
    return Detect(d / "scan", s.replace(pos, what.size(), what));
  };
  const std::string arj("\x60\xEA\x14\x00", 4);  // header size 20
  auto r = at(100, arj + std::string(26, 'h') + "\x60\xEA");
  EXPECT_EQ(r.Type, atArjExe);
  EXPECT_EQ(r.ArchivePosition, 100);
  EXPECT_EQ(at(100, arj + std::string(28, 'h')).Type, atNA);  // no next header id
  r = at(50, "**ACE**");
  EXPECT_EQ(r.Type, atAceExe);
  EXPECT_EQ(r.ArchivePosition, 43);
  EXPECT_EQ(at(40, "BH\x05\x07").Type, atBhExe);
  EXPECT_EQ(at(40, "BH\x05\x07\x0F\x94\xC3\x84").Type, atNA);
  // A cabinet inside the first block ends the look at that block only.
  const std::string cab("MSCF\0\0\0\0", 8);
  EXPECT_EQ(at(10, cab + "Rar!").Type, atNA);
  std::string two(40000, ' ');
  r = Detect(d / "two", two.replace(10, 8, cab).replace(33000, 4, "Rar!"));
  EXPECT_EQ(r.Type, atRarExe);
  EXPECT_EQ(r.ArchivePosition, 33000);
  EXPECT_EQ(at(11 * 32768 + 10, "Rar!").Type, atNA);  // past 11 blocks
}

// Counts the bytes read, to check what detection touches.
class TCountingStream : public TMemoryStream32 {
 public:
  std::int64_t Read(void* buf, std::int64_t n) override {
    std::int64_t r = TMemoryStream32::Read(buf, n);
    total += std::max<std::int64_t>(r, 0);
    return r;
  }
  std::int64_t total = 0;
};

TEST(ArcDetect, OrdinaryArchiveIsReadAtItsStartAndEndOnly) {
  TempDir d;
  ASSERT_EQ(test::Run("cd " + d.path() + " && head -c 2000000 /dev/urandom > r && zip -q0 b.zip r"),
            0);
  std::string zip = test::ReadFile(d / "b.zip");
  TCountingStream s;
  s.Write(zip.data(), static_cast<std::int64_t>(zip.size()));
  int hooks = 0;
  s.ReadHook = [&](TStream32&) { ++hooks; };
  TDetectResult r;
  EXPECT_EQ(DetectArcType(s, "b.zip", r), atZip);
  EXPECT_LT(s.total, 32767 + 32768 + 200);
  EXPECT_EQ(hooks, 0);
  EXPECT_TRUE(static_cast<bool>(s.ReadHook));  // handed back afterwards
}

class TComponent : public TZipCommon {
 public:
  const TZipLocation& ZipLocation() const { return ZipLocationOf(*this); }
};

TEST(ArcDetect, ComponentKeepsWhatDetectionFound) {
  TempDir d;
  test::WriteFile(d / "game.jar", MakeZip(d));
  TComponent c;
  c.SetArchiveFile(d / "game.jar");
  EXPECT_EQ(c.ArcType(), atJar);
  EXPECT_EQ(c.ArchivePosition(), PythonStartDir(d / "game.jar"));
  EXPECT_EQ(c.HeaderFlags(), kWhole);
  EXPECT_EQ(c.ZipLocation().End.TotalEntries, 2);
  EXPECT_EQ(c.VolumeLetter(), 'j');

  test::WriteFile(d / "game.jar", "\x1F\x8B\x08" + std::string(40, 'z'));
  c.SetArcType(atZip);  // the value is ignored: detected again
  EXPECT_EQ(c.ArcType(), atGZip);
  EXPECT_TRUE(c.HeaderFlags().Empty());
  DeleteFile(d / "game.jar");
  c.SetArcType(atZip);
  EXPECT_EQ(c.ArcType(), atFileOpenErr);
}

TEST(ArcDetect, VolumeNamingFollowsTheDetectedType) {
  TempDir d;
  const std::string rar = "Rar!\x1A\x07" + std::string(100, 'r');
  const std::string arj = "\x60\xEA" + std::string(100, 'a');
  struct {
    std::string name, data;
    TArcType type;
    char letter;
    int number;
  } cases[] = {
      {"set.r05", rar, atRar, 'r', 6},
      {"set", rar, atRar, 'q', 0},  // no extension: taken as "Rar"
      {"plain.arj", arj, atArj, 'a', 1},
      {"sfx.exe", kStub + arj, atArjExe, 0, 0},  // self-extracting ARJ: none
  };
  for (const auto& c : cases) {
    test::WriteFile(d / c.name, c.data);
    TComponent comp;
    comp.SetArchiveFile(d / c.name);
    EXPECT_EQ(comp.ArcType(), c.type) << c.name;
    EXPECT_EQ(comp.VolumeLetter(), c.letter) << c.name;
    EXPECT_EQ(comp.VolumeNumber(), c.number) << c.name;
  }
}

}  // namespace
}  // namespace qmx
