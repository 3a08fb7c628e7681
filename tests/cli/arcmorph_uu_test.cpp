// arcmorph on encoded text: detection of every framing, listing, testing,
// extracting a split set, converting to a ZIP, and a missing part.
#include <gtest/gtest.h>

#include <string>

#include "cli/cli_run.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::WriteFile;

class ArcmorphUu : public qmx::test::TArcmorphTest {
 protected:
  void MakeSet() {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i * 7919 % 10007) + "\n";
    WriteFile(dir_ / "data.txt", text);
    ASSERT_EQ(Sh("uuencode data.txt data.txt > whole.uue && uuencode -m data.txt b.txt > b.b64 &&"
                 " split -d -n l/3 whole.uue p && mv p00 set.uue && mv p01 set.uu2 &&"
                 " mv p02 set.uu3"),
              0);
  }
};

TEST_F(ArcmorphUu, DetectsListsTestsAndExtracts) {
  MakeSet();
  for (const char* f : {"whole.uue", "b.b64", "set.uue"}) {
    SCOPED_TRACE(f);
    const auto d = Cli(std::string("detect ") + f);
    EXPECT_NE(d.out.find("atUUE"), std::string::npos) << d.out;
    const auto t = Cli(std::string("test ") + f);
    EXPECT_EQ(t.code, 0) << t.out << t.err;
  }
  const auto l = Cli("list b.b64");
  EXPECT_NE(l.out.find("Base64"), std::string::npos) << l.out;
  EXPECT_NE(l.out.find("b.txt"), std::string::npos);
  const auto x = Cli("extract set.uue -d out");
  EXPECT_EQ(x.code, 0) << x.err;
  EXPECT_EQ(Sh("cmp out/data.txt data.txt"), 0);
}

TEST_F(ArcmorphUu, ConvertsToAZipThatPassesItsTest) {
  MakeSet();
  const auto c = Cli("convert set.uue set.zip");
  EXPECT_EQ(c.code, 0) << c.err;
  EXPECT_EQ(Cli("test set.zip").code, 0);
  EXPECT_EQ(Sh("unzip -q set.zip -d unz && cmp unz/data.txt data.txt"), 0);
  const auto b =
      Cli("convert " + qmx::test::CorpusFile("generated/text/implode.zip.xxe") + " xx.zip");
  EXPECT_EQ(b.code, 0) << b.err;
}

TEST_F(ArcmorphUu, AMissingPartIsNamedAndTheDecodedBytesKept) {
  MakeSet();
  ASSERT_EQ(Sh("rm set.uu3"), 0);
  const auto x = Cli("extract set.uue -d out");
  EXPECT_NE(x.code, 0);
  EXPECT_NE(x.err.find("set.uu3"), std::string::npos) << x.err;
  const std::string kept = ReadFile(dir_ / "out/data.txt");
  EXPECT_GT(kept.size(), 1000u);
  EXPECT_EQ(ReadFile(dir_ / "data.txt").compare(0, kept.size(), kept), 0);
}

}  // namespace
