// arcmorph with Cabinet files: list, test and extract read them through the
// format table with 7-Zip's verdicts, add writes them (MSZIP, --store) and
// convert takes ZIP to CAB and back with its integrity test.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "cli/cli_run.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::ReadFile;
using qmx::test::WriteFile;
using TResult = qmx::test::TCliResult;

class ArcmorphCab : public qmx::test::TArcmorphTest {
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

TEST_F(ArcmorphCab, TestGivesSevenZipsVerdictOnTheCorpus) {
  // 7-Zip's verdicts (tests/corpus/listings/cab); lzx_16bit is the one
  // 7-Zip alone fails, cabextract passes it as we do.
  const std::map<std::string, bool> verdicts = {
      {"test_read_format_cab_1.cab", true},
      {"test_read_format_cab_2.cab", true},
      {"test_read_format_cab_3.cab", true},
      {"test_read_format_cab_filename_cp932.cab", true},
      {"test_read_format_cab_lzx_e8.cab", true},
      {"test_read_format_cab_lzx_literal_control.cab", true},
      {"test_read_format_cab_multi.p1.cab", true},
      {"test_read_format_cab_multi.p2.cab", true},
      {"test_read_format_cab_lzx_invalid_history.cab", false},
      {"test_read_format_cab_lzx_oob.cab", false},
      {"test_read_format_cab_skip_malformed.cab", false},
  };
  for (const auto& [file, pass] : verdicts) {
    SCOPED_TRACE(file);
    const std::string path = qmx::test::CorpusFile("cab/libarchive/" + file);
    TResult r = Cli("test '" + path + "'");
    EXPECT_EQ(r.code == 0, pass) << r.out << r.err;
    const int peer = Sh("7zz t '" + path + "' >/dev/null 2>&1");
    EXPECT_EQ(peer == 0, pass);
  }
  TResult l =
      Cli("list '" + qmx::test::CorpusFile("cab/libarchive/test_read_format_cab_lzx_e8.cab") + "'");
  EXPECT_NE(l.out.find("Lzx"), std::string::npos) << l.out;
}

TEST_F(ArcmorphCab, AddListTestExtract) {
  MakeSources();
  const auto source = Tree("src");
  for (const std::string opt : {"", "--store"}) {
    SCOPED_TRACE(opt);
    const std::string name = "a" + opt + ".cab";
    TResult r = Cli("add " + name + " src -r " + opt);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    r = Cli("list " + name);
    EXPECT_NE(r.out.find(opt.empty() ? "MsZIP" : "Stored"), std::string::npos) << r.out;
    EXPECT_EQ(Cli("test " + name).code, 0);
    EXPECT_EQ(Cli("extract " + name + " -d x" + opt).code, 0);
    EXPECT_EQ(Tree("x" + opt), source);
    EXPECT_EQ(Sh("7zz t " + name + " >/dev/null && cabextract -q -t " + name + " >/dev/null"), 0);
  }
  // Behind a self-extractor stub the cabinet is found where detection saw it.
  ASSERT_EQ(Sh("(printf MZ; head -c 20000 /dev/zero; cat a.cab) > sfx.exe"), 0);
  EXPECT_NE(Cli("detect sfx.exe").out.find("atCabExe"), std::string::npos);
  EXPECT_EQ(Cli("test sfx.exe").code, 0);
  EXPECT_EQ(Cli("extract sfx.exe -d xs").code, 0);
  EXPECT_EQ(Tree("xs"), source);
  EXPECT_NE(Cli("add z.cab src -r --lh5").code, 0);
  // Not a cabinet: never overwritten by one.
  WriteFile(dir_ / "text.cab", "just text\n");
  EXPECT_NE(Cli("add text.cab src -r").code, 0);
  EXPECT_EQ(ReadFile(dir_ / "text.cab"), "just text\n");
}

TEST_F(ArcmorphCab, ZipToCabAndBackKeepsTheTree) {
  MakeSources();
  ASSERT_EQ(Sh("cd src && zip -qr ../in.zip ."), 0);
  TResult r = Cli("convert in.zip mid.cab");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_NE(r.err.find("4 tested, 0 failed"), std::string::npos) << r.err;
  EXPECT_EQ(Sh("mkdir cx && cabextract -q -d cx mid.cab"), 0);
  EXPECT_EQ(Tree("cx"), Tree("src"));
  r = Cli("convert mid.cab back.zip");
  ASSERT_EQ(r.code, 0) << r.out << r.err;
  EXPECT_EQ(Sh("mkdir z && cd z && unzip -q ../back.zip"), 0);
  EXPECT_EQ(Tree("z"), Tree("src"));
}

}  // namespace
