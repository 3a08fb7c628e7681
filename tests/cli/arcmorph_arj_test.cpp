// arcmorph with ARJ archives made by arj itself: list, test and extract go
// through the format table, verdicts agree with `arj t`, volume sets and
// garbled archives work from the command line, and convert takes an ARJ
// archive to ZIP without losing a byte.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::WriteFile;
using TResult = qmx::test::TCliResult;

class ArcmorphArj : public qmx::test::TArcmorphTest {
 protected:
  void SetUp() override {
    if (Sh("command -v arj >/dev/null") != 0) GTEST_SKIP() << "arj is needed";
    ASSERT_EQ(Sh("mkdir -p src/sub"), 0);
    std::string text, noise;
    for (int i = 0; i < 30000; ++i) text += "line " + std::to_string(i % 977) + "\n";
    std::mt19937 rng(11);
    for (int i = 0; i < 150000; ++i) noise += static_cast<char>(rng() >> 24);
    WriteFile(dir_ / "src/text.txt", text);
    WriteFile(dir_ / "src/sub/noise.bin", noise);
    WriteFile(dir_ / "src/sub/empty", "");
  }
  int Arj(const std::string& args) { return Sh("arj " + args + " >/dev/null 2>&1"); }
};

TEST_F(ArcmorphArj, ListTestExtractConvert) {
  ASSERT_EQ(Arj("a -y -r -m2 a.arj src"), 0);
  const auto source = Tree("src");
  TResult r = Cli("list a.arj");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("src/sub/noise.bin"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("2nd Most"), std::string::npos) << r.out;
  r = Cli("test a.arj");
  EXPECT_EQ(r.code, 0) << r.out << r.err;
  r = Cli("extract a.arj -d x");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Tree("x/src"), source);

  r = Cli("convert a.arj b.zip");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  ASSERT_EQ(Sh("mkdir z && unzip -qq b.zip -d z"), 0);
  EXPECT_EQ(Tree("z/src"), source);
}

TEST_F(ArcmorphArj, VerdictsAgreeWithArj) {
  ASSERT_EQ(Arj("a -y -m1 d.arj src/text.txt src/sub/noise.bin"), 0);
  EXPECT_EQ(Cli("test d.arj").code, 0);
  // Damage the middle of the first entry's data.
  std::string a = ReadFile(dir_ / "d.arj");
  const std::size_t at = a.find("text.txt") + 1000;
  a[at] = static_cast<char>(a[at] ^ 0x55);
  WriteFile(dir_ / "d.arj", a);
  EXPECT_NE(Arj("t -y d.arj"), 0);
  const TResult r = Cli("test d.arj");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.out.find("FAILED  src/text.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("OK      src/sub/noise.bin"), std::string::npos) << r.out;
}

TEST_F(ArcmorphArj, VolumesAndPasswords) {
  ASSERT_EQ(Arj("a -y -r -v40k vol.arj src"), 0);
  ASSERT_EQ(Sh("test -f vol.a01 && test -f vol.a02"), 0);
  TResult r = Cli("extract vol.arj -d x");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Tree("x/src"), Tree("src"));
  // A volume gone: the missing one is named, the entry it splits fails.
  ASSERT_EQ(Sh("rm vol.a02"), 0);
  r = Cli("test vol.arj");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("vol.a02"), std::string::npos) << r.err;
  EXPECT_NE(r.out.find("FAILED  src/sub/noise.bin"), std::string::npos) << r.out;

  ASSERT_EQ(Arj("a -y -r -gpass1 g.arj src"), 0);
  r = Cli("test g.arj");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.out.find("password required"), std::string::npos) << r.out;
  r = Cli("convert g.arj g.zip -p pass1");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  ASSERT_EQ(Sh("mkdir z && unzip -qq g.zip -d z"), 0);
  EXPECT_EQ(Tree("z/src"), Tree("src"));
}

}  // namespace
