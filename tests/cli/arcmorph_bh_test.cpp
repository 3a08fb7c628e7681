// arcmorph and BH archives: add with each method and encryption, list,
// test and extract them, and convert ZIP -> BH -> ZIP with the tree intact.
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

class ArcmorphBh : public qmx::test::TArcmorphTest {
 protected:
  void MakeSources() {
    ASSERT_EQ(Sh("mkdir -p src/sub/inner"), 0);
    std::string text, noise;
    for (int i = 0; i < 30000; ++i) text += "row " + std::to_string(i * 7919 % 1000) + "\n";
    for (int i = 0; i < 200000; ++i) noise += static_cast<char>((i * 2654435761u) >> 24);
    WriteFile(dir_ / "src/text.txt", text);
    WriteFile(dir_ / "src/sub/noise.bin", noise);
    WriteFile(dir_ / "src/sub/inner/empty", "");
    WriteFile(dir_ / "src/中文名.txt", "中文\n");
  }

  void ExpectTested(const TResult& r) {
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("4 entries tested, 0 failed"), std::string::npos) << r.out << r.err;
  }
};

TEST_F(ArcmorphBh, AddWithEveryMethodThenListTestExtract) {
  MakeSources();
  const auto source = Tree("src");
  const struct {
    const char* Name;
    const char* Options;
  } runs[] = {{"n.bh", ""},
              {"s.bh", "--store"},
              {"x.bh", "--max"},
              {"f.bh", "--fast"},
              {"u.bh", "--fuse"},
              {"e.bh", "--encrypt zip -p pw"},
              {"ue.bh", "--fuse -p pw"}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.Name);
    const TResult add = Cli(std::string("add ") + run.Name + " src -r " + run.Options);
    ASSERT_EQ(add.code, 0) << add.out << add.err;
    const bool encrypted = std::string(run.Options).find("-p") != std::string::npos;
    const TResult list = Cli(std::string("list ") + run.Name);
    EXPECT_EQ(list.code, 0) << list.out << list.err;
    EXPECT_NE(list.out.find("sub/noise.bin"), std::string::npos) << list.out;
    ExpectTested(Cli(std::string("test ") + run.Name + (encrypted ? " -p pw" : "")));
    const std::string to = std::string("x_") + run.Name;
    const TResult ex =
        Cli(std::string("extract ") + run.Name + " -d " + to + (encrypted ? " -p pw" : ""));
    EXPECT_EQ(ex.code, 0) << ex.out << ex.err;
    EXPECT_EQ(Tree(to), source);
    if (encrypted) {
      const TResult wrong = Cli(std::string("test ") + run.Name + " -p other");
      EXPECT_NE(wrong.code, 0) << wrong.out << wrong.err;
    }
  }
  // Adding to an existing archive keeps what is there.
  WriteFile(dir_ / "later.txt", "later\n");
  const TResult more = Cli("add n.bh later.txt");
  EXPECT_EQ(more.code, 0) << more.out << more.err;
  const TResult t = Cli("test n.bh");
  EXPECT_NE(t.out.find("5 entries tested, 0 failed"), std::string::npos) << t.out << t.err;
  // Options BH has no use for are refused.
  EXPECT_NE(Cli("add y.bh src -r --encrypt aes256 -p pw").code, 0);
  EXPECT_NE(Cli("add y.zip src -r --fuse").code, 0);
}

TEST_F(ArcmorphBh, ZipToBhToZipKeepsTheTree) {
  MakeSources();
  ASSERT_EQ(Sh("cd src && zip -q -r ../src.zip ."), 0);
  const auto source = Tree("src");
  for (const auto& [from, to] :
       {std::pair<std::string, std::string>{"src.zip", "mid.bh"}, {"mid.bh", "back.zip"}}) {
    const TResult r = Cli("convert " + from + " " + to);
    EXPECT_EQ(r.code, 0) << from << " -> " << to << "\n" << r.out << r.err;
    EXPECT_NE(r.err.find(" tested, 0 failed"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(", 0 tested"), std::string::npos) << r.err;
  }
  ExpectTested(Cli("test mid.bh"));
  ASSERT_EQ(Sh("mkdir x_back && unzip -qq back.zip -d x_back"), 0);
  EXPECT_EQ(Tree("x_back"), source);

  // No type and no telling extension: a BH archive, as the converter's default.
  const TResult r = Cli("convert src.zip plain");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  ASSERT_TRUE(fs::exists(dir_ / "plain.BH")) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "plain.BH").substr(0, 4), std::string("BH\x05\x07", 4));
  ExpectTested(Cli("test plain.BH"));
  const TResult typed = Cli("convert src.zip typed.out --type bh");
  EXPECT_EQ(typed.code, 0) << typed.out << typed.err;
  EXPECT_EQ(ReadFile(dir_ / "typed.out").substr(0, 4), std::string("BH\x05\x07", 4));
}

}  // namespace
