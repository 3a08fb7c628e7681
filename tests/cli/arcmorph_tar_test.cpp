// arcmorph add for .tar, .tgz/.tar.gz and .gz: what GNU tar, bsdtar, 7-Zip,
// gzip and Python make of the results, updates of a .tar, and the options
// that belong to ZIP alone.
#include <gtest/gtest.h>

#include <string>

#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::WriteFile;

class ArcmorphTar : public qmx::test::TArcmorphTest {
 protected:
  std::string Out(const std::string& cmd) {
    Sh(cmd + " > sh-out.txt 2>&1");
    return ReadFile(dir_ / "sh-out.txt");
  }
  void MakeSources() {
    ASSERT_EQ(Sh("mkdir -p src/中文 src/empty src/" + std::string(80, 'd')), 0);
    WriteFile(dir_ / "src/中文/名字.txt", "中文\n");
    WriteFile(dir_ / ("src/" + std::string(80, 'd') + "/" + std::string(150, 'f')), "long\n");
    WriteFile(dir_ / "src/nothing.txt", "");
    ASSERT_EQ(Sh("seq 1 30000 > src/seq.txt && head -c 100000 /dev/urandom > src/rand.bin"), 0);
  }
  // Every peer extracts the same tree as src/ from archive.
  void ExpectPeersExtract(const std::string& archive, bool emptyDir) {
    const char* tools[] = {"tar -xf", "bsdtar -xf", "7zz x -y -bso0 -bsp0"};
    int n = 0;
    for (const char* tool : tools) {
      const std::string out = "x" + std::to_string(n++);
      std::string cmd = std::string(tool) + " ../" + archive;
      // 7-Zip unpacks the .gz layer only.
      if (n == 3 && archive.find(".t") != std::string::npos && archive.back() != 'r')
        cmd = "gzip -dc ../" + archive + " > in.tar && 7zz x -y -bso0 -bsp0 in.tar && rm in.tar";
      ASSERT_EQ(Sh("rm -rf " + out + " && mkdir " + out + " && cd " + out + " && " + cmd), 0)
          << cmd;
      EXPECT_EQ(Sh("diff -r src " + out), 0) << cmd;
      EXPECT_EQ(Sh("test -d " + out + "/empty"), emptyDir ? 0 : 1) << cmd;
    }
    EXPECT_EQ(Sh("python3 -c \"import tarfile;tarfile.open('" + archive +
                 "').extractall('py')\" && diff -r src py && rm -rf py"),
              0);
  }
};

TEST_F(ArcmorphTar, AddWritesTarsThatPeersExtract) {
  MakeSources();
  auto r = Cli("add out.tar src -r --empty-dirs");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "out.tar").size() % 10240, 0u);
  EXPECT_EQ(Sh("7zz t out.tar > /dev/null"), 0);
  ExpectPeersExtract("out.tar", true);

  for (const std::string name : {"out.tgz", "out.tar.gz"}) {
    r = Cli("add " + name + " src -r --max --empty-dirs");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Sh("gzip -t " + name), 0);
    // The tar was built aside and is gone.
    EXPECT_EQ(Out("ls -A | grep -c '^[.]qmx'"), "0\n");
    ExpectPeersExtract(name, true);
  }
  // The gzip member is named after the tar inside.
  EXPECT_EQ(Out("gzip -lN out.tgz | tail -1 | awk '{print $4}'"), "out.tar\n");
}

TEST_F(ArcmorphTar, TarUpdatesAddAndReplace) {
  MakeSources();
  ASSERT_EQ(Cli("add u.tar src/seq.txt").code, 0);
  auto r = Cli("add u.tar src/seq.txt");
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "archive is up to date\n");
  ASSERT_EQ(Sh("echo changed > src/seq.txt && touch -d 2030-01-01 src/seq.txt"), 0);
  ASSERT_EQ(Cli("add u.tar src/nothing.txt src/seq.txt").code, 0);
  EXPECT_EQ(Out("tar -tf u.tar"), "seq.txt\nnothing.txt\n");
  EXPECT_EQ(Out("tar -xOf u.tar seq.txt"), "changed\n");

  // Not a tar: left alone.
  WriteFile(dir_ / "other.tar", "not a tar at all");
  r = Cli("add other.tar src/seq.txt");
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(ReadFile(dir_ / "other.tar"), "not a tar at all");
}

TEST_F(ArcmorphTar, AddWritesOneFileGzip) {
  MakeSources();
  for (const char* level : {"--store", "--fast", "--normal", "--max"}) {
    ASSERT_EQ(Sh("rm -f one.gz"), 0);
    auto r = Cli(std::string("add one.gz src/rand.bin ") + level);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "added    rand.bin\n1 file in new archive one.gz\n");
    EXPECT_EQ(Sh("gzip -t one.gz && gzip -dc one.gz | cmp - src/rand.bin"), 0) << level;
    EXPECT_EQ(Out("gzip -lN one.gz | tail -1 | awk '{print $4}'"), "rand.bin\n");
  }
  ASSERT_EQ(Cli("add empty.gz src/nothing.txt").code, 0);
  EXPECT_EQ(Sh("python3 -c \"import gzip,sys;sys.exit(gzip.open('empty.gz').read()!=b'')\""), 0);
  // Written anew only: an existing one stays.
  auto r = Cli("add empty.gz src/seq.txt");
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(Sh("gzip -dc empty.gz | cmp - src/nothing.txt"), 0);
}

TEST_F(ArcmorphTar, ZipOnlyOptionsAreRefused) {
  MakeSources();
  const char* cases[] = {"add a.tar src --encrypt zip -p pw",
                         "add a.tgz src --comment hi",
                         "add a.tar src --stored-dirs none",
                         "add a.gz src/seq.txt src/rand.bin",
                         "add a.gz src",
                         "add a.tgz src --refresh",
                         "add a.tar src --max"};
  for (const char* args : cases) {
    const auto r = Cli(args);
    EXPECT_EQ(r.code, 2) << args;
    EXPECT_NE(r.err.find("usage:"), std::string::npos) << args;
  }
  EXPECT_EQ(Out("ls a.* 2>/dev/null | wc -l"), "0\n");
}

}  // namespace
