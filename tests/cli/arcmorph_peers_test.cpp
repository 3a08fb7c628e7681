// What arcmorph writes, read back by every peer: Info-ZIP unzip (no
// options), 7-Zip, bsdtar and Python's zipfile must give the same names,
// bytes and modes. And what peers write with Unix modes, read by arcmorph.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cli/cli_run.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;
using TResult = qmx::test::TCliResult;

class ArcmorphPeers : public qmx::test::TArcmorphTest {
 protected:
  std::string Out(const std::string& cmd) {
    Sh(cmd + " > sh-out.txt 2>&1");
    return ReadFile(dir_ / "sh-out.txt");
  }
  unsigned Mode(const std::string& rel) {
    struct stat st {};
    if (::lstat((dir_.path() + rel).c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
  }
  static unsigned Umasked(unsigned mode) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode & ~mask;
  }

  // Names in three scripts, a compressible file, an empty one, a script.
  void MakeSources() {
    ASSERT_EQ(Sh("mkdir -p 'src/Кириллица' src/sub"), 0);
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\n";
    WriteFile(dir_ / "src/中文名.txt", text);
    WriteFile(dir_ / "src/Кириллица/файл.txt", "кириллица\n");
    WriteFile(dir_ / "src/日本語の名前.txt", "日本語\n");
    WriteFile(dir_ / "src/sub/empty.txt", "");
    WriteFile(dir_ / "src/run.sh", "#!/bin/sh\necho hi\n");
    ASSERT_EQ(Sh("chmod 0755 src/run.sh && chmod 0640 src/sub/empty.txt"), 0);
  }
};

TEST_F(ArcmorphPeers, EveryPeerExtractsWhatAddWrites) {
  MakeSources();
  struct TCase {
    std::string options, password;
    bool traditional;  // Python's zipfile and unzip know no AES
  };
  const std::vector<TCase> cases = {
      {"--store", "", true},
      {"--fast", "", true},
      {"--normal --comment 'a comment here'", "", true},
      {"--max", "", true},
      {"--normal --encrypt zip -p pw1", "pw1", true},
      {"--max --encrypt aes256 -p pw2", "pw2", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.options);
    Sh("rm -rf a.zip out-*");
    TResult add = Cli("add -q a.zip src -r " + c.options);
    ASSERT_EQ(add.code, 0) << add.err;

    const std::string info = Out("zipinfo a.zip");
    EXPECT_NE(info.find("-rwxr-xr-x  2.0 unx"), std::string::npos) << info;
    EXPECT_EQ(info.find(" fat "), std::string::npos) << info;

    std::vector<std::pair<std::string, std::string>> peers = {
        {"7zz", "7zz x -y -oout-7zz" + (c.password.empty() ? "" : " -p" + c.password) + " a.zip"},
        {"bsdtar", "mkdir out-bsdtar && bsdtar -xf a.zip -C out-bsdtar" +
                       (c.password.empty() ? "" : " --passphrase " + c.password)},
        {"arcmorph", qmx::test::ArcmorphBinary() + " extract -q a.zip -d out-arcmorph" +
                         (c.password.empty() ? "" : " -p " + c.password)},
    };
    if (c.traditional) {
      peers.push_back({"unzip", "mkdir out-unzip && cd out-unzip && unzip -q" +
                                    (c.password.empty() ? "" : " -P " + c.password) + " ../a.zip"});
      peers.push_back({"python",
                       "python3 -c \"import zipfile,sys; z=zipfile.ZipFile('a.zip'); "
                       "z.extractall('out-python', pwd=b'" +
                           c.password + "' or None)\""});
    }
    for (const auto& [peer, cmd] : peers) {
      SCOPED_TRACE(peer);
      ASSERT_EQ(Sh(cmd + " >/dev/null 2>" + dir_ / "peer-err.txt </dev/null"), 0)
          << ReadFile(dir_ / "peer-err.txt");
      // Same names and the same bytes, nothing more and nothing less.
      EXPECT_EQ(Out("diff -r src out-" + peer), "");
      if (peer == "unzip" || peer == "arcmorph" || peer == "bsdtar") {
        EXPECT_EQ(Mode("out-" + peer + "/run.sh"), Umasked(0755));
        EXPECT_EQ(Mode("out-" + peer + "/sub/empty.txt"), Umasked(0640));
      }
    }
    if (!c.password.empty()) continue;
    TResult list = Cli("list a.zip");
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_NE(list.out.find("Кириллица/файл.txt"), std::string::npos) << list.out;
  }
}

// Modes from a Unix zip: permission bits come back, set-id and sticky bits
// never do, and a symbolic link arrives as a file holding its target.
TEST_F(ArcmorphPeers, UnixModesFromInfoZipAreRestoredSafely) {
  ASSERT_EQ(
      Sh("mkdir -p src/private && echo data > src/tool && echo secret > src/private/key && "
         "echo plain > src/setid && echo w > src/writeonly && ln -s ../../outside src/link && "
         "chmod 0750 src/tool src/private && chmod 0600 src/private/key && "
         "chmod 4755 src/setid && chmod 0200 src/writeonly && cd src && zip -qry ../u.zip ."),
      0);
  TResult r = Cli("extract -q u.zip -d out");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Mode("out/tool"), Umasked(0750));
  EXPECT_EQ(Mode("out/private/key"), Umasked(0600));
  EXPECT_EQ(Mode("out/private") & 0777, Umasked(0750));
  EXPECT_EQ(Mode("out/setid"), Umasked(0755)) << "no set-user-id bit";
  EXPECT_EQ(Mode("out/writeonly"), Umasked(0600)) << "the owner may read what was extracted";
  struct stat st {};
  ASSERT_EQ(::lstat((dir_.path() + "out/link").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode)) << "a link is never created";
  EXPECT_EQ(ReadFile(dir_ / "out/link"), "../../outside");

  TResult list = Cli("list u.zip");
  EXPECT_EQ(list.code, 0) << list.err;
  EXPECT_NE(list.out.find("link (symbolic link)\n"), std::string::npos) << list.out;
}

}  // namespace

namespace {

// Methods we do not decode: listed as "Unsupported" (never as a directory),
// and only those entries fail, each with the method named.
TEST_F(ArcmorphPeers, UndecodableMethodsFailOnlyTheirEntries) {
  ASSERT_EQ(
      Sh("python3 -c \"import zipfile\n"
         "with zipfile.ZipFile('py.zip','w') as z:\n"
         "  z.writestr('bz.txt', b'bzip2 ' * 100, zipfile.ZIP_BZIP2)\n"
         "  z.writestr('lz.txt', b'lzma ' * 100, zipfile.ZIP_LZMA)\n"
         "  z.writestr('ok.txt', b'deflate ' * 100, zipfile.ZIP_DEFLATED)\n\" && "
         "echo ppmd-text-ppmd-text > p.txt && 7zz a -tzip -mm=PPMd ppmd.zip p.txt >/dev/null"),
      0);
  const std::string corpus = qmx::test::CorpusDir() + "/zip/misc/libzip/";
  struct TCase {
    std::string archive, failing, method;
    int entries;
  };
  const std::vector<TCase> cases = {
      {"ppmd.zip", "p.txt", "98, PPMd", 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.archive + " " + c.failing);
    TResult list = Cli("list " + c.archive);
    EXPECT_EQ(list.code, 0) << list.err;
    EXPECT_NE(list.out.find("Unsupported"), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find("<Dir>"), std::string::npos) << list.out;

    TResult test = Cli("test " + c.archive);
    EXPECT_EQ(test.code, 1) << test.err;
    EXPECT_NE(test.out.find("FAILED  " + c.failing), std::string::npos) << test.out;
    EXPECT_NE(test.err.find("Unsupported compression method (" + c.method + ")"), std::string::npos)
        << test.err;

    TResult extract = Cli("extract -q " + c.archive + " -d out");
    EXPECT_EQ(extract.code, 1) << extract.err;
  }
  // Their libraries decode BZip2, LZMA, Zstandard and XZ: libzip's test
  // files pass their CRCs.
  TResult test = Cli("test py.zip");
  EXPECT_EQ(test.code, 0) << test.out << test.err;
  EXPECT_NE(test.out.find("OK      bz.txt"), std::string::npos) << test.out;
  EXPECT_NE(test.out.find("OK      lz.txt"), std::string::npos) << test.out;
  for (const char* f : {"testbzip2.zip", "testfile-lzma.zip", "testfile-xz.zip",
                        "testfile-zstd.zip"}) {
    test = Cli("test " + corpus + f);
    EXPECT_EQ(test.code, 0) << f << "\n" << test.out << test.err;
  }
}

}  // namespace
