#include "archive/base/names.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "archive/platform/codepage.h"
#include "archive/platform/files.h"
#include "support/env_guard.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

namespace fs = std::filesystem;

constexpr double kOneMinute = 60.0 / 86400.0;

// --- paths and names

TEST(PathPieces, SlashesAndJoining) {
  EXPECT_EQ(AppendSlash(""), "");
  EXPECT_EQ(AppendSlash("a/b"), "a/b/");
  EXPECT_EQ(AppendSlash("a/b/"), "a/b/");
  EXPECT_EQ(RemoveSlash("a/b/"), "a/b");
  EXPECT_EQ(RemoveSlash("a/b"), "a/b");
  EXPECT_EQ(RemoveSlash(""), "");
  // An empty directory gives nothing at all, not the bare name.
  EXPECT_EQ(JoinPath("", "x.txt"), "");
  EXPECT_EQ(JoinPath("d", "x.txt"), "d/x.txt");
  EXPECT_EQ(JoinPath("d/", "x.txt"), "d/x.txt");
  EXPECT_EQ(SlashToDelim("a\\b/c\\"), "a/b/c/");
  EXPECT_EQ(DelimToSlash("a\\b/c"), "a/b/c");
}

TEST(PathPieces, SplitTokenConsumesTheText) {
  std::string s = "a,b";
  EXPECT_EQ(SplitToken(s, ","), "a");
  EXPECT_EQ(s, "b");
  EXPECT_EQ(SplitToken(s, ","), "b");
  EXPECT_EQ(s, "");
  std::string multi = "x::y::";
  EXPECT_EQ(SplitToken(multi, "::"), "x");
  EXPECT_EQ(SplitToken(multi, "::"), "y");
  EXPECT_EQ(multi, "");
  // An empty separator must not leave the text in place (callers loop).
  std::string any = "abc";
  EXPECT_EQ(SplitToken(any, ""), "abc");
  EXPECT_EQ(any, "");
}

TEST(PathPieces, ExtensionsAndDots) {
  EXPECT_EQ(FirstDotPos("abc"), 3u);
  EXPECT_EQ(FirstDotPos("a.b.c"), 1u);
  EXPECT_EQ(ReplaceExtension("data.tar.gz", ".zip"), "data.zip");
  // The first dot wins even when it sits in the directory part.
  EXPECT_EQ(ReplaceExtension("my.dir/file.txt", ".bak"), "my.bak");
  EXPECT_EQ(ExtractFilePath("a/b/c.txt"), "a/b/");
  EXPECT_EQ(ExtractFilePath("c.txt"), "");
  EXPECT_EQ(ExtractFileName("a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFileName("a/b/"), "");
  EXPECT_EQ(ExtractFileExt("a.d/b.tar.gz"), ".gz");
  EXPECT_EQ(ExtractFileExt("a.d/readme"), "");
  EXPECT_EQ(ChangeFileExt("a.d/b.tar", ".tgz"), "a.d/b.tgz");
  EXPECT_EQ(ChangeFileExt("a.d/readme", ".txt"), "a.d/readme.txt");
}

TEST(PathPieces, DriveAndUncShapes) {
  EXPECT_TRUE(IsDrivePath("C:\\dir"));
  EXPECT_TRUE(IsDrivePath("c:/x"));
  EXPECT_FALSE(IsDrivePath("C:\\"));   // too short
  EXPECT_FALSE(IsDrivePath("ab/cd"));  // a plain relative path
  EXPECT_FALSE(IsDrivePath("\\\\server\\share"));
  EXPECT_TRUE(IsUncPath("\\\\server\\share"));
  EXPECT_TRUE(IsUncPath("//server/share"));
  EXPECT_FALSE(IsUncPath("//"));
  EXPECT_FALSE(IsUncPath("/srv/share"));
}

TEST(PathPieces, NormaliseSeparatorsRespectsDoubleByteNames) {
  // 0x95 0x5C is one Shift-JIS character whose trail byte looks like "\".
  EXPECT_EQ(NormaliseSeparators("dir\\\x95\x5C.txt"), "dir/\x95\x5C.txt");
  EXPECT_EQ(NormaliseSeparators("a\xFF"
                                "b\xFF"
                                "c"),
            "a/b/c");
  EXPECT_EQ(NormaliseSeparators("  sub\\name.doc \t"), "sub/name.doc");
  EXPECT_EQ(NormaliseSeparators("   "), "");
}

// Switches to a UTF-8 system code page and the given OEM code page.
class CodePageNames : public ::testing::Test {
 protected:
  void SetUp() override {
    old_locale_ = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
  }
  void TearDown() override {
    env_.reset();
    std::setlocale(LC_ALL, old_locale_.c_str());
    ResetCodePages();
  }
  void UseOem(const char* cp) {
    env_->Set("QMX_OEM_CODEPAGE", cp);
    ResetCodePages();
  }

 private:
  std::optional<test::TEnvGuard> env_{std::in_place};
  std::string old_locale_;
};

TEST_F(CodePageNames, Cp437StoredNamesRoundTrip) {
  UseOem("CP437");
  const std::string stored = "caf\x82\\men\x81.txt";  // "café\menü.txt" in CP437
  const std::string local = NameToWindows(stored, true);
  EXPECT_EQ(local, "caf\xC3\xA9/men\xC3\xBC.txt");
  EXPECT_EQ(NameToArchive(local, true), "caf\x82/men\x81.txt");
  // Without translation only the separators change.
  EXPECT_EQ(NameToWindows(stored, false), "caf\x82/men\x81.txt");
  EXPECT_EQ(NameToArchive("a/b\\c", false), "a/b/c");
  EXPECT_EQ(AnsiToOem("caf\xC3\xA9/x", true), "caf\x82/x");
  EXPECT_EQ(AnsiToOem("caf\xC3\xA9/x", false), "caf\xC3\xA9/x");
}

TEST_F(CodePageNames, UnrepresentableNamesKeepTheirBytes) {
  UseOem("CP437");
  const std::string chinese = "\xE4\xB8\xAD/\xE6\x96\x87.txt";  // 中/文.txt
  const std::string stored = NameToArchive(chinese, true);
  EXPECT_EQ(stored, chinese);
  // Such a name is flagged as UTF-8 in the archive and read back untranslated.
  EXPECT_EQ(NameToWindows(stored, false), chinese);
}

TEST_F(CodePageNames, Cp936StoredNames) {
  UseOem("CP936");
  const std::string gbk = "\xD6\xD0\\\xCE\xC4.jar";  // 中\文.jar in GBK
  const std::string local = NameToWindows(gbk, true);
  EXPECT_EQ(local, "\xE4\xB8\xAD/\xE6\x96\x87.jar");
  EXPECT_EQ(NameToArchive(local, true), "\xD6\xD0/\xCE\xC4.jar");
}

TEST_F(CodePageNames, Cp932TrailByteIsNotASeparator) {
  UseOem("CP932");
  // 0x95 0x5C is one character whose trail byte equals "\".
  EXPECT_EQ(NameToWindows("\x95\x5C\\a.txt", true), "\xE8\xA1\xA8/a.txt");
}

// --- files and directories

class TempTree : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp_.emplace();
    root_ = RemoveSlash(tmp_->path());
  }
  void TearDown() override { tmp_.reset(); }
  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
  void Touch(const std::string& rel, const std::string& data = "x") const {
    std::ofstream(Path(rel), std::ios::binary) << data;
  }

  std::optional<test::TempDir> tmp_;
  std::string root_;
};

TEST_F(TempTree, ForceDirs) {
  // Existing: nothing is touched.
  struct stat before {};
  ASSERT_EQ(stat(root_.c_str(), &before), 0);
  EXPECT_TRUE(ForceDirs(root_));
  EXPECT_TRUE(ForceDirs(root_ + "/"));
  EXPECT_TRUE(fs::is_empty(root_));

  EXPECT_TRUE(ForceDirs(Path("a/b/c")));
  EXPECT_TRUE(fs::is_directory(Path("a/b/c")));
  EXPECT_TRUE(ForceDirs(Path("a/x/../y/")));
  EXPECT_TRUE(fs::is_directory(Path("a/y")));

  Touch("plain");
  EXPECT_FALSE(ForceDirs(Path("plain/sub/dir")));
  EXPECT_FALSE(fs::exists(Path("plain/sub")));
  EXPECT_FALSE(ForceDirs(""));
}

TEST_F(TempTree, ForceDirsRelativeToCurrentDirectory) {
  const std::string old = fs::current_path();
  ASSERT_EQ(chdir(root_.c_str()), 0);
  const bool made = ForceDirs("rel/deeper");
  ASSERT_EQ(chdir(old.c_str()), 0);
  EXPECT_TRUE(made);
  EXPECT_TRUE(fs::is_directory(Path("rel/deeper")));
}

TEST_F(TempTree, ExistenceTests) {
  Touch("Report.TXT");
  Touch("other.doc");
  fs::create_directory(Path("sub"));
  EXPECT_TRUE(DirectoryExists(root_));
  EXPECT_TRUE(DirectoryExists(Path("sub")));
  EXPECT_FALSE(DirectoryExists(Path("other.doc")));
  EXPECT_FALSE(DirectoryExists(Path("missing")));
  EXPECT_FALSE(DirectoryExists(""));

  EXPECT_TRUE(FileExistsWild(Path("other.doc")));
  EXPECT_TRUE(FileExistsWild(Path("sub")));
  EXPECT_FALSE(FileExistsWild(Path("nothing.doc")));
  // Wildcards match without regard to case, as masks do.
  EXPECT_TRUE(FileExistsWild(Path("*.txt")));
  EXPECT_TRUE(FileExistsWild(Path("rep??t.*")));
  EXPECT_FALSE(FileExistsWild(Path("*.zip")));
  EXPECT_FALSE(FileExistsWild(Path("missing/*.txt")));
}

TEST_F(TempTree, WriteableFiles) {
  Touch("w.txt");
  Touch("r.txt");
  Touch(".hidden");
  fs::create_directory(Path("d"));
  fs::permissions(Path("r.txt"),
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  EXPECT_TRUE(IsWriteableFile(Path("w.txt")));
  EXPECT_FALSE(IsWriteableFile(Path("r.txt")));
  EXPECT_FALSE(IsWriteableFile(Path(".hidden")));
  EXPECT_FALSE(IsWriteableFile(Path("d")));
  EXPECT_FALSE(IsWriteableFile(Path("gone.txt")));
}

TEST_F(TempTree, DirHoldsNoFiles) {
  fs::create_directories(Path("empty/a/b"));
  fs::create_directories(Path("empty/c"));
  EXPECT_TRUE(DirHoldsNoFiles(Path("empty")));
  EXPECT_TRUE(DirHoldsNoFiles(Path("empty/a/b")));

  fs::create_directories(Path("full/a/b"));
  Touch("full/a/b/f.txt", "");  // even an empty file counts
  EXPECT_FALSE(DirHoldsNoFiles(Path("full")));

  EXPECT_FALSE(DirHoldsNoFiles(Path("missing")));

  // A link loop is content, not something to walk into.
  fs::create_directories(Path("loop/d"));
  fs::create_directory_symlink(Path("loop"), Path("loop/d/back"));
  EXPECT_FALSE(DirHoldsNoFiles(Path("loop")));
}

// --- numbers and dates

TEST(Numbers, PercentRoundsHalvesToEven) {
  EXPECT_EQ(Percent(0, 5), 0);
  EXPECT_EQ(Percent(-10, 5), 0);
  EXPECT_EQ(Percent(200, 1), 0);  // 0.5
  EXPECT_EQ(Percent(200, 3), 2);  // 1.5
  EXPECT_EQ(Percent(200, 5), 2);  // 2.5
  EXPECT_EQ(Percent(200, 7), 4);  // 3.5
  EXPECT_EQ(Percent(3, 2), 67);
  EXPECT_EQ(Percent(100, 150), 100);
  EXPECT_EQ(Percent(100, -5), 0);
  // Byte counts near the 64-bit limit must not overflow on the way.
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(Percent(kMax, kMax), 100);
  EXPECT_EQ(Percent(kMax, kMax / 2), 50);
  EXPECT_EQ(Percent(kMax, kMax / 200), 0);  // just under 0.5
}

TEST(Numbers, Ratio) {
  EXPECT_EQ(Ratio(100, 25), 75);
  EXPECT_EQ(Ratio(0, 0), 0);
  EXPECT_EQ(Ratio(10, 12), 0);
  EXPECT_EQ(Ratio(10, 10), 0);
  EXPECT_EQ(Ratio(100, 0), 100);
  EXPECT_EQ(Ratio(200, 199), 0);  // 0.5
  EXPECT_EQ(Ratio(200, 197), 2);  // 1.5
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(Ratio(kMax, kMax / 4), 75);
}

TEST(Numbers, SwapAndSignatures) {
  EXPECT_EQ(SwapHalves(0x12345678u), 0x56781234u);
  EXPECT_EQ(SwapHalves(SwapHalves(0xCAFEBABEu)), 0xCAFEBABEu);
  for (std::uint16_t v : {0x1E1F, 0x8B1F, 0x9D1F, 0x9E1F, 0xA01F})
    EXPECT_TRUE(IsCompressedStreamSignature(v)) << v;
  for (std::uint16_t v : {0x1F8B, 0x0000, 0x9F1F, 0x8B1E, 0x504B})
    EXPECT_FALSE(IsCompressedStreamSignature(v)) << v;
}

TEST(Dates, EncodeDateTimeCountsFromTheEpochOf1899) {
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 30, 0, 0, 0), 0.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1900, 1, 1, 0, 0, 0), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(1980, 1, 1, 12, 0, 0), 29221.5);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2000, 3, 1, 0, 0, 0) - EncodeDateTime(2000, 2, 28, 0, 0, 0), 2.0);
  EXPECT_DOUBLE_EQ(EncodeDateTime(2100, 3, 1, 0, 0, 0) - EncodeDateTime(2100, 2, 28, 0, 0, 0), 1.0);
}

TEST(Dates, DosDateToDateTime) {
  const double fallback = 29221.0 + kOneMinute;
  EXPECT_DOUBLE_EQ(DosDateToDateTime(0), fallback);
  EXPECT_DOUBLE_EQ(DosDateToDateTime(0x00210020), fallback);
  // 2024-03-15 13:45:30
  const std::uint32_t packed = ((44u << 9 | 3u << 5 | 15u) << 16) | (13u << 11 | 45u << 5 | 15u);
  EXPECT_DOUBLE_EQ(DosDateToDateTime(packed), EncodeDateTime(2024, 3, 15, 13, 45, 30));
  // Leap day valid in 1980, not in 1981.
  EXPECT_DOUBLE_EQ(DosDateToDateTime((0u << 9 | 2u << 5 | 29u) << 16),
                   EncodeDateTime(1980, 2, 29, 0, 0, 0));
  const std::uint32_t invalid[] = {
      (0u << 9 | 13u << 5 | 1u) << 16,             // month 13
      (0u << 9 | 0u << 5 | 1u) << 16,              // month 0
      (0u << 9 | 1u << 5 | 0u) << 16,              // day 0
      (1u << 9 | 2u << 5 | 29u) << 16,             // 1981-02-29
      (0u << 9 | 4u << 5 | 31u) << 16,             // April 31st
      (0u << 9 | 1u << 5 | 1u) << 16 | 24u << 11,  // hour 24
      (0u << 9 | 1u << 5 | 1u) << 16 | 60u << 5,   // minute 60
      (0u << 9 | 1u << 5 | 1u) << 16 | 30u,        // second 60
  };
  for (std::uint32_t v : invalid) EXPECT_DOUBLE_EQ(DosDateToDateTime(v), fallback) << std::hex << v;
}

TEST(Dates, DateTimeToDosDateInvertsAndTruncatesSeconds) {
  for (std::uint32_t v : {0x00210020u, 0x58B7B3CFu, 0x00210000u, 0xFF9FBF7Du, 0x4C2C0000u})
    EXPECT_EQ(DateTimeToDosDate(DosDateToDateTime(v)), v) << std::hex << v;
  // 23:59:59 keeps its day; the odd second drops to 58.
  EXPECT_EQ(DateTimeToDosDate(EncodeDateTime(2001, 12, 31, 23, 59, 59)),
            ((21u << 9 | 12u << 5 | 31u) << 16) | (23u << 11 | 59u << 5 | 29u));
  // Out of the DOS range: clamped to its ends.
  EXPECT_EQ(DateTimeToDosDate(EncodeDateTime(1970, 6, 1, 0, 0, 0)), 0x00210000u);
  EXPECT_EQ(DateTimeToDosDate(EncodeDateTime(2200, 1, 1, 0, 0, 0)), 0xFF9FBF7Du);
}

// --- method names

TEST(MethodNames, ZipFamily) {
  EXPECT_EQ(MethodName(atZip, 0, 0), "Stored");
  EXPECT_EQ(MethodName(atZip, 6, 0), "Imploded");
  EXPECT_EQ(MethodName(atJar, 8, 0x0000), "DeflateN");
  EXPECT_EQ(MethodName(atZip, 8, 0x0002), "DeflateX");
  EXPECT_EQ(MethodName(atZipExe, 8, 0x0004), "DeflateF");
  EXPECT_EQ(MethodName(atZipMV, 8, 0x0807), "DeflateS");  // other bits ignored
  EXPECT_EQ(MethodName(atZipDS, 9, 0x0002), "Def-64X");
  EXPECT_EQ(MethodName(atJarExe, 10, 0), "DCL-implode");
  EXPECT_EQ(MethodName(atZip, 12, 0), "BZip2");
  EXPECT_EQ(MethodName(atZip, 14, 0), "LZMA");
  EXPECT_EQ(MethodName(atZip, 93, 0), "Zstd");
  EXPECT_EQ(MethodName(atZip, 95, 0), "XZ");
  EXPECT_EQ(MethodName(atZip, 98, 0), "Unsupported");
  EXPECT_EQ(MethodName(atZip, 98, 0, true), "<Dir>");
  // AES entries show the method recorded in their AES field.
  EXPECT_EQ(MethodName(atZip, 99, 0x0003, false, {}, 8), "DeflateX");
  EXPECT_EQ(MethodName(atZip, 99, 0, false, {}, 0), "Stored");
  EXPECT_EQ(MethodName(atZip, 99, 0, false, {}, 99), "Unsupported");
  EXPECT_EQ(MethodName(atZip, 99, 0, true, {}, 42), "<Dir>");
  EXPECT_EQ(MethodName(atZip, 99, 0), "Unsupported");
}

TEST(MethodNames, OtherFamilies) {
  struct Case {
    TArcType type;
    int method;
    bool dir;
    const char* want;
  };
  const Case cases[] = {
      {atAceExe, 4, false, "Best"},        {atAceExe, 5, false, "Unsupported"},
      {atArc, 11, false, "Stored"},        {atArcExe, 8, false, "Pack10"},
      {atArc, 0, true, "<Dir>"},           {atArj, 3, false, "2nd Fast"},
      {atArj, 7, true, "<Dir>"},           {atBhExe, 1, false, "Fused1"},
      {atBh, 4, true, "Unsupported"},      {atCab, 0x1503, false, "Lzx"},
      {atCabExe, 0x0101, false, "MsZIP"},  {atCab, 7, false, "Lzx7"},
      {atGZip, 144, false, "LzwMAGIC"},    {atGZip, 0x1E1F, false, "PackMAGIC"},
      {atGZip, 0xA01F, false, "LzhMAGIC"}, {atGZip, 0x8B1F, false, "Unsupported"},
      {atHA, 14, false, "<Dir>"},          {atHA, 15, false, "Special"},
      {atLha, '0', false, "Stored"},       {atLzhExe, '5', false, "Frozen-5"},
      {atLzh, 100, false, "<Dir>"},        {atLhaExe, '8', false, "Unsupported"},
      {atPak, 8, false, "Varible"},        {atPakExe, 11, false, "Distill"},
      {atRar, '3', false, "Normal"},       {atRarExe, '3', true, "<Dir>"},
      {atZoo, 2, false, "Greatest"},       {atUUE, 0, true, "Unsupported"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MethodName(c.type, c.method, 0, c.dir), c.want)
        << ArcTypeName(c.type) << " " << c.method;
  EXPECT_EQ(MethodName(atBh, 8, 0x0006), "DeflateS");
  EXPECT_EQ(MethodName(atTar, 0, 0, false, "a/b.txt"), "Tarred");
  EXPECT_EQ(MethodName(atTar, 1, 0, false, "a/b/"), "<Dir>");
  EXPECT_EQ(MethodName(atTar, 1, 0, false, "a\\b\\"), "<Dir>");
  EXPECT_EQ(MethodName(atTar, 1, 0, false, "a/b.txt"), "Unsupported");
}

TEST(ArcTypeNames, MatchTheEnumerators) {
  EXPECT_STREQ(ArcTypeName(atNA), "atNA");
  EXPECT_STREQ(ArcTypeName(atJar), "atJar");
  EXPECT_STREQ(ArcTypeName(atMsGZ), "atMsGZ");
  EXPECT_STREQ(ArcTypeName(atZoo), "atZoo");
  EXPECT_STREQ(ArcTypeName(static_cast<TArcType>(kArcTypeCount)), "");
  EXPECT_STREQ(ArcTypeName(static_cast<TArcType>(255)), "");
}

}  // namespace
}  // namespace qmx
