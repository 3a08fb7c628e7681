// arcmorph with RAR and 7z archives: list, test and extract go through the
// format table, convert turns them into ZIP archives that pass their own
// test and 7-Zip's, and damaged or encrypted archives end with a nonzero
// exit and a reason.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/cli_run.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using TResult = qmx::test::TCliResult;

class ArcmorphRar7z : public qmx::test::TArcmorphTest {
 protected:
  std::string Rar(const std::string& name) {
    return qmx::test::CorpusFile("rar/libarchive/" + name);
  }
  bool Have7zz() { return Sh("command -v 7zz >/dev/null") == 0; }
  void MakeSources() {
    ASSERT_EQ(Sh("mkdir -p src/sub"), 0);
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "row " + std::to_string(i * 31 % 977) + "\n";
    qmx::test::WriteFile(dir_ / "src/text.txt", text);
    qmx::test::WriteFile(dir_ / "src/sub/中文.txt", "中文\n");
    qmx::test::WriteFile(dir_ / "src/sub/empty", "");
  }
};

TEST_F(ArcmorphRar7z, RarListTestExtractAndConvert) {
  const std::string rar = Rar("test_read_format_rar5_multiple_files.rar");
  TResult r = Cli("list '" + rar + "'");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("RAR5"), std::string::npos) << r.out;
  r = Cli("test '" + rar + "'");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  r = Cli("extract '" + rar + "' -d x");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  const auto extracted = Tree("x");
  EXPECT_FALSE(extracted.empty());

  r = Cli("convert '" + rar + "' out.zip");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  r = Cli("extract out.zip -d y");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Tree("y"), extracted);
  if (Have7zz()) {
    EXPECT_EQ(Sh("7zz t out.zip >/dev/null"), 0);
  }

  // A volume set through its first part.
  r = Cli("extract '" + Rar("test_read_format_rar5_multiarchive.part01.rar") + "' -d v");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Tree("v").size(), 2u);
}

TEST_F(ArcmorphRar7z, SevenZipListTestExtractAndConvert) {
  if (!Have7zz()) GTEST_SKIP() << "7zz missing";
  MakeSources();
  ASSERT_EQ(Sh("cd src && 7zz a ../a.7z . >/dev/null"), 0);
  const auto source = Tree("src");
  TResult r = Cli("detect a.7z");
  EXPECT_NE(r.out.find("at7z"), std::string::npos) << r.out;
  r = Cli("list a.7z");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("sub/中文.txt"), std::string::npos) << r.out;
  r = Cli("test a.7z");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  r = Cli("extract a.7z -d x");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Tree("x"), source);

  r = Cli("convert a.7z b.zip");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Sh("7zz t b.zip >/dev/null"), 0);
  ASSERT_EQ(Sh("7zz x -oz b.zip >/dev/null"), 0);
  EXPECT_EQ(Tree("z"), source);
}

TEST_F(ArcmorphRar7z, DamagedAndEncryptedArchivesFailWithAReason) {
  for (const char* name :
       {"test_read_format_rar_invalid1.rar", "test_read_format_rar_encryption_header.rar",
        "test_read_format_rar5_truncated_huff.rar"}) {
    SCOPED_TRACE(name);
    TResult r = Cli("test '" + Rar(name) + "'");
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("Error#"), std::string::npos) << r.err;
    r = Cli("extract '" + Rar(name) + "' -d x");
    EXPECT_NE(r.code, 0);
  }
  const std::string sevenZip =
      qmx::test::CorpusFile("7z/libarchive/test_read_format_7zip_malformed.7z");
  TResult r = Cli("test '" + sevenZip + "'");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("Corrupt input"), std::string::npos) << r.err;
  r = Cli("convert '" + sevenZip + "' c.zip");
  EXPECT_NE(r.code, 0);
  EXPECT_FALSE(fs::exists(dir_ / "c.zip"));
}

}  // namespace
