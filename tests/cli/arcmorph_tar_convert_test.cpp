// Conversions between ZIP, tar, tar+gzip, gzip and compress files: every
// round trip gives the source tree back as the peers extract it, and every
// new archive passes its integrity test.
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

class ArcmorphTarConvert : public qmx::test::TArcmorphTest {
 protected:
  // Text that compresses, bytes that do not, an empty file, a name beyond
  // the 100 bytes of a tar header and one beyond ASCII.
  void MakeSources() {
    const std::string deep = "src/" + std::string(60, 'd') + "/" + std::string(70, 'n') + ".txt";
    ASSERT_EQ(Sh("mkdir -p src/sub/inner '" + fs::path(deep).parent_path().string() + "'"), 0);
    std::string text, noise;
    for (int i = 0; i < 40000; ++i) text += "row " + std::to_string(i * 7919 % 1000) + "\n";
    for (int i = 0; i < 300000; ++i) noise += static_cast<char>((i * 2654435761u) >> 24);
    WriteFile(dir_ / "src/text.txt", text);
    WriteFile(dir_ / "src/sub/noise.bin", noise);
    WriteFile(dir_ / "src/sub/inner/empty", "");
    WriteFile(dir_ / "src/中文名.txt", "中文\n");
    WriteFile(dir_ / deep, "deep\n");
    ASSERT_EQ(Sh("cd src && zip -q -r ../src.zip ."), 0);
  }

  // Converts, expecting success and a passing integrity test.
  void Convert(const std::string& from, const std::string& to) {
    const TResult r = Cli("convert " + from + " " + to);
    EXPECT_EQ(r.code, 0) << from << " -> " << to << "\n" << r.out << r.err;
    // The summary line: entries were tested, none failed.
    EXPECT_NE(r.err.find(" tested, 0 failed"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(", 0 tested"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("FAILED"), std::string::npos) << r.err;
  }
};

TEST_F(ArcmorphTarConvert, ZipTarTgzJarRoundTripsKeepTheTree) {
  MakeSources();
  const auto source = Tree("src");

  Convert("src.zip", "a.tar");
  ASSERT_EQ(Sh("mkdir x_tar && tar -xf a.tar -C x_tar"), 0);
  EXPECT_EQ(Tree("x_tar"), source);

  // The tar and, beside it, its gzip file.
  Convert("src.zip", "b.tgz");
  ASSERT_EQ(Sh("mkdir x_tgz && tar -xzf b.tar.gz -C x_tgz"), 0);
  EXPECT_EQ(Tree("x_tgz"), source);

  // A tar+gzip source goes through its nested tar.
  Convert("b.tar.gz", "c.zip");
  ASSERT_EQ(Sh("mkdir x_c && unzip -qq c.zip -d x_c"), 0);
  EXPECT_EQ(Tree("x_c"), source);

  Convert("a.tar", "d.jar");
  ASSERT_EQ(Sh("mkdir x_d && unzip -qq d.jar -d x_d"), 0);
  EXPECT_EQ(Tree("x_d"), source);
}

TEST_F(ArcmorphTarConvert, GzipAndCompressSourcesBecomeZips) {
  MakeSources();
  ASSERT_EQ(Sh("cp src/sub/noise.bin one.bin && gzip -9 -c one.bin > one.bin.gz && "
               "compress -b12 -c src/text.txt > text.txt.Z"),
            0);

  Convert("one.bin.gz", "g.zip");
  ASSERT_EQ(Sh("mkdir x_g && unzip -qq g.zip -d x_g"), 0);
  const auto g = Tree("x_g");
  ASSERT_EQ(g.size(), 1u);
  EXPECT_EQ(g.count("one.bin"), 1u);
  EXPECT_EQ(g.begin()->second, Tree("src").at("sub/noise.bin"));

  Convert("text.txt.Z", "z.zip");
  ASSERT_EQ(Sh("mkdir x_z && unzip -qq z.zip -d x_z"), 0);
  const auto z = Tree("x_z");
  ASSERT_EQ(z.size(), 1u);
  EXPECT_EQ(z.begin()->second, Tree("src").at("text.txt"));
}

}  // namespace
