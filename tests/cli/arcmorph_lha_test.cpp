// arcmorph with LHA archives: add writes them (-lh6-, --lh5, --store),
// list, test and extract read them through the format table, and convert
// takes ZIP to LZH and back without losing a byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::ReadFile;
using qmx::test::WriteFile;
using TResult = qmx::test::TCliResult;

class ArcmorphLha : public qmx::test::TArcmorphTest {
 protected:
  void MakeSources() {
    ASSERT_EQ(Sh("mkdir -p src/sub/inner"), 0);
    std::string text, noise;
    for (int i = 0; i < 40000; ++i) text += "row " + std::to_string(i * 7919 % 1000) + "\n";
    for (int i = 0; i < 300000; ++i) noise += static_cast<char>((i * 2654435761u) >> 24);
    WriteFile(dir_ / "src/text.txt", text);
    WriteFile(dir_ / "src/sub/noise.bin", noise);
    WriteFile(dir_ / "src/sub/inner/empty", "");
    WriteFile(dir_ / "src/中文名.txt", "中文\n");
  }
};

TEST_F(ArcmorphLha, AddListTestExtract) {
  MakeSources();
  const auto source = Tree("src");
  for (const std::string opt : {"", "--lh5", "--store"}) {
    SCOPED_TRACE(opt);
    const std::string name = "a" + opt + ".lzh";
    TResult r = Cli("add " + name + " src -r " + opt);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    r = Cli("list " + name);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("sub/noise.bin"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Stored"), std::string::npos) << r.out;
    r = Cli("test " + name);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    r = Cli("extract " + name + " -d x" + opt);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(Tree("x" + opt), source);
    if (Sh("command -v lha >/dev/null") == 0) {
      EXPECT_EQ(Sh("lha t " + name + " >/dev/null"), 0);
    }
  }
  // --lh5 is for LHA archives only.
  EXPECT_NE(Cli("add z.zip src -r --lh5").code, 0);
}

TEST_F(ArcmorphLha, ZipToLzhAndBackKeepsTheTree) {
  MakeSources();
  ASSERT_EQ(Sh("cd src && zip -q -r ../src.zip ."), 0);
  const auto source = Tree("src");

  TResult r = Cli("convert src.zip a.lzh");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Cli("test a.lzh").code, 0);
  if (Sh("command -v lha >/dev/null") == 0) {
    ASSERT_EQ(Sh("mkdir x_lha && cd x_lha && lha xq ../a.lzh"), 0);
    EXPECT_EQ(Tree("x_lha"), source);
  }

  r = Cli("convert a.lzh b.zip");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Cli("test b.zip").code, 0);
  ASSERT_EQ(Sh("mkdir x_zip && unzip -qq b.zip -d x_zip"), 0);
  EXPECT_EQ(Tree("x_zip"), source);
}

}  // namespace
