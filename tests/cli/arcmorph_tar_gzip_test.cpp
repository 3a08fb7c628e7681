// arcmorph on tar, gzip and compress files: listing, testing, extracting
// and converting them, and the peers' verdicts on the corpus.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::WriteFile;

class ArcmorphTarGzip : public qmx::test::TArcmorphTest {
 protected:
  void MakeTree() {
    ASSERT_EQ(Sh("mkdir -p src/proj/lib"), 0);
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "row " + std::to_string(i * 31 % 977) + "\n";
    WriteFile(dir_ / "src/proj/readme.txt", text);
    WriteFile(dir_ / "src/proj/lib/code.c", "int main(void) { return 0; }\n");
    ASSERT_EQ(Sh("cd src && ln -s readme.txt proj/link && tar -czf ../proj.tgz proj && "
                 "tar -cf ../proj.tar proj && gzip -c proj/readme.txt > ../readme.txt.gz && "
                 "compress -c proj/readme.txt > ../readme.Z"),
              0);
  }
};

TEST_F(ArcmorphTarGzip, ListShowsTheEntriesOfAGzippedTar) {
  MakeTree();
  const auto r = Cli("list proj.tgz");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("proj/readme.txt"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("proj/lib/code.c"), std::string::npos);
  EXPECT_EQ(r.out.find("proj.tar"), std::string::npos);
  const auto plain = Cli("list readme.txt.gz");
  EXPECT_NE(plain.out.find("Deflate"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("readme.txt"), std::string::npos);
}

TEST_F(ArcmorphTarGzip, TestAndExtractEveryKind) {
  MakeTree();
  for (const char* file : {"proj.tgz", "proj.tar", "readme.txt.gz", "readme.Z"}) {
    SCOPED_TRACE(file);
    const auto t = Cli(std::string("test ") + file);
    EXPECT_EQ(t.code, 0) << t.out << t.err;
    const std::string out = std::string("x-") + file;
    Cli("extract " + std::string(file) + " -d " + out);
  }
  EXPECT_EQ(Sh("cmp x-proj.tgz/proj/readme.txt src/proj/readme.txt"), 0);
  EXPECT_EQ(Sh("cmp x-proj.tar/proj/lib/code.c src/proj/lib/code.c"), 0);
  EXPECT_EQ(Sh("cmp x-readme.txt.gz/readme.txt src/proj/readme.txt"), 0);
  EXPECT_EQ(Sh("cmp x-readme.Z/readme src/proj/readme.txt"), 0);
  // The link is reported by name and not created; nothing else is missing.
  const auto x = Cli("extract proj.tar -d again");
  EXPECT_NE(x.err.find("proj/link"), std::string::npos) << x.err;
  EXPECT_EQ(Sh("test ! -e again/proj/link && test ! -L again/proj/link"), 0);
  EXPECT_EQ(Sh("test -f again/proj/lib/code.c"), 0);
}

TEST_F(ArcmorphTarGzip, ConvertsToZipAndJar) {
  MakeTree();
  struct TCase {
    std::string from, to, member;
  };
  const std::vector<TCase> cases = {{"proj.tgz", "a.zip", "proj/lib/code.c"},
                                    {"proj.tar", "b.jar", "proj/lib/code.c"},
                                    {"readme.txt.gz", "c.zip", "readme.txt"},
                                    {"readme.Z", "d.zip", "readme"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.from);
    Cli("convert " + c.from + " " + c.to);
    EXPECT_EQ(Sh("unzip -tq " + c.to + " > /dev/null"), 0);
    EXPECT_EQ(Sh("unzip -l " + c.to + " | grep -q '" + c.member + "'"), 0);
    // No intermediate tar travels into the new archive.
    EXPECT_NE(Sh("unzip -l " + c.to + " | grep -q 'proj.tar'"), 0);
  }
  EXPECT_EQ(Sh("unzip -p a.zip proj/readme.txt | cmp - src/proj/readme.txt"), 0);
}

TEST_F(ArcmorphTarGzip, AnEntryNamedLikeTheArchiveSurvivesConversion) {
  // readme.tgz holding "readme": the entry is no intermediate file.
  ASSERT_EQ(Sh("mkdir s && echo 'keep me' > s/readme && cd s && tar czf ../readme.tgz readme"), 0);
  const auto r = Cli("convert readme.tgz out.zip");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Sh("unzip -p out.zip readme | grep -q 'keep me'"), 0);
}

TEST(ArcmorphCorpus, PeerVerdictsOnTarGzipAndCompressFiles) {
  // Files every peer reads; the tests of each must pass.
  const std::vector<std::string> good = {"tar/go/v7.tar",
                                         "tar/go/ustar.tar",
                                         "tar/go/gnu.tar",
                                         "tar/go/star.tar",
                                         "tar/go/pax.tar",
                                         "tar/go/pax-records.tar",
                                         "tar/go/pax-global-records.tar",
                                         "tar/go/gnu-long-nul.tar",
                                         "tar/go/gnu-utf8.tar",
                                         "tar/go/gnu-not-utf8.tar",
                                         "tar/go/hardlink.tar",
                                         "tar/go/trailing-slash.tar",
                                         "tar/go/writer.tar",
                                         "tar/go/xattrs.tar",
                                         "tar/go/file-and-dir.tar",
                                         "tar/go/sparse-formats.tar",
                                         "tar/go/gnu-multi-hdrs.tar",
                                         "tar/commons-compress/test-times-v7.tar",
                                         "tar/commons-compress/test-times-gnu.tar",
                                         "tar/commons-compress/test-times-oldgnu.tar",
                                         "tar/commons-compress/test-times-xstar.tar",
                                         "tar/commons-compress/cygwin_pax.tar",
                                         "tar/commons-compress/winXP_antgnu.tar",
                                         "tar/commons-compress/SunOS_cEf.tar",
                                         "tar/commons-compress/preepoch-star.tar",
                                         "tar/sharpcompress/Tar.LongPathsWithLongNameExtension.tar",
                                         "tar/sharpcompress/Tar.PaxGlobalHeader.tar",
                                         "tar/sharpcompress/very_long_filename.tar",
                                         "tar/sharpcompress/ustar_with_long_names.tar",
                                         "gzip/commons-compress/multiple.gz",
                                         "gzip/commons-compress/members.gz",
                                         "gzip/commons-compress/members-size-0.gz",
                                         "gzip/commons-compress/grafana-9.2.9.tgz",
                                         "gzip/sharpcompress/Tar.oldgnu.tar.gz",
                                         "gzip/dotnet-runtime-assets/x.gz",
                                         "gzip/dotnet-runtime-assets/backward65536.gz",
                                         "gzip/dotnet-runtime-assets/TestDocument.txt.gz",
                                         "gzip/tar-split/iso-8859.tar.gz",
                                         "gzip/libarchive/test_empty.gz",
                                         "compress/sharpcompress/large_test.txt.Z",
                                         "compress/sharpcompress/Tar.tar.Z",
                                         "compress/commons-compress/bla.tar.Z",
                                         "generated/compress/alice29.b10.Z",
                                         "generated/compress/alice29.b12.Z",
                                         "generated/gzip/first.txt.comment.gz"};
  // Damaged on purpose: no peer reads them either.
  const std::vector<std::string> bad = {"tar/go/neg-size.tar",
                                        "tar/go/issue10968.tar",
                                        "tar/go/issue12435.tar",
                                        "tar/go/pax-path-hdr.tar",
                                        "tar/go/writer-big.tar",
                                        "tar/sharpcompress/false.positive.tar",
                                        "gzip/klauspost-compress/issue6550.gz",
                                        "gzip/dotnet-runtime-assets/empty.gz"};
  qmx::test::TempDir dir;
  const std::string bin = qmx::test::ArcmorphBinary();
  for (const std::string& f : good) {
    const auto r = qmx::test::RunCli(dir.path(), bin, "test '" + qmx::test::CorpusFile(f) + "'");
    EXPECT_EQ(r.code, 0) << f << "\n" << r.out << r.err;
  }
  for (const std::string& f : bad) {
    const auto r = qmx::test::RunCli(dir.path(), bin, "test '" + qmx::test::CorpusFile(f) + "'");
    EXPECT_NE(r.code, 0) << f << "\n" << r.out << r.err;
  }
}

}  // namespace
