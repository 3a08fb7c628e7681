// arcmorph with ARC archives made by arc itself: list, test and extract go
// through the format table, test verdicts agree with `arc t`, and convert
// takes an ARC archive to ZIP without losing a byte.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::WriteFile;
using TResult = qmx::test::TCliResult;

class ArcmorphArc : public qmx::test::TArcmorphTest {
 protected:
  void SetUp() override {
    if (Sh("command -v arc >/dev/null") != 0) GTEST_SKIP() << "arc is needed";
    ASSERT_EQ(Sh("mkdir -p src"), 0);
    std::string text, noise;
    for (int i = 0; i < 30000; ++i) text += "line " + std::to_string(i % 977) + "\n";
    std::mt19937 rng(11);
    for (int i = 0; i < 150000; ++i) noise += static_cast<char>(rng() >> 24);
    WriteFile(dir_ / "src/text.txt", text);
    WriteFile(dir_ / "src/noise.bin", noise);
    WriteFile(dir_ / "src/empty", "");
  }
  int Arc(const std::string& args) { return Sh("cd src && arc " + args + " >/dev/null 2>&1"); }
};

TEST_F(ArcmorphArc, ListTestExtractConvert) {
  ASSERT_EQ(Arc("a ../a.arc *"), 0);
  ASSERT_EQ(Arc("aq ../q.arc *"), 0);
  const auto source = Tree("src");
  for (const std::string a : {"a.arc", "q.arc"}) {
    SCOPED_TRACE(a);
    TResult r = Cli("list " + a);
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("noise.bin"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(a == "a.arc" ? "Crunched" : "Squashed"), std::string::npos) << r.out;
    r = Cli("test " + a);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    r = Cli("extract " + a + " -d x" + a);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_EQ(Tree("x" + a), source);
    r = Cli("convert " + a + " " + a + ".zip");
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    ASSERT_EQ(Sh("mkdir z" + a + " && unzip -qq " + a + ".zip -d z" + a), 0);
    EXPECT_EQ(Tree("z" + a), source);
  }
}

TEST_F(ArcmorphArc, VerdictsAgreeWithArc) {
  ASSERT_EQ(Arc("a ../d.arc *"), 0);
  EXPECT_EQ(Sh("arc t d.arc >/dev/null 2>&1"), 0);
  EXPECT_EQ(Cli("test d.arc").code, 0);
  // Damage the middle of the text's crunched data.
  std::string a = ReadFile(dir_ / "d.arc");
  const std::size_t at = a.find("text.txt") + 27 + 2000;
  a[at] = static_cast<char>(a[at] ^ 0x55);
  WriteFile(dir_ / "d.arc", a);
  EXPECT_NE(Sh("arc t d.arc >/dev/null 2>&1"), 0);
  const TResult r = Cli("test d.arc");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.out.find("FAILED  text.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("OK      noise.bin"), std::string::npos) << r.out;
}

}  // namespace
