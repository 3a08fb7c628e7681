// arcmorph add / delete: the archives it writes must satisfy every peer and
// extract to the very bytes of the source tree; updates must keep what they
// should and change only what they should.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

class ArcmorphWriteTest : public ::testing::Test {
 protected:
  struct TResult {
    int code = -1;
    std::string out, err;
  };
  TResult Cli(const std::string& args) {
    TResult r;
    r.code = qmx::test::Run("cd " + dir_.path() + " && " QMX_ARCMORPH " " + args + " >" +
                            dir_ / "o.txt" + " 2>" + dir_ / "e.txt" + " </dev/null");
    r.out = ReadFile(dir_ / "o.txt");
    r.err = ReadFile(dir_ / "e.txt");
    return r;
  }
  int Sh(const std::string& cmd) { return qmx::test::Run("cd " + dir_.path() + " && " + cmd); }
  // Prints what a python expression over the opened archive z gives.
  std::string Py(const std::string& archive, const std::string& expr) {
    Sh("python3 -c \"import zipfile; z = zipfile.ZipFile('" + archive + "'); print(" + expr +
       ")\" > py.txt 2>&1");
    return ReadFile(dir_ / "py.txt");
  }
  bool Exists(const std::string& name) { return std::ifstream(dir_ / name).good(); }

  // Text, incompressible bytes, an empty file, a stored-type file, a
  // sub-tree, an empty directory and a non-ASCII name.
  void MakeTree(const std::string& root = "src") {
    Sh("mkdir -p " + root + "/sub/deeper " + root + "/hollow");
    std::string text;
    for (int i = 0; i < 4000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of text\n";
    WriteFile(dir_ / root + "/a.txt", text);
    Sh("head -c 20000 /dev/urandom > " + root + "/noise.bin");
    WriteFile(dir_ / root + "/empty.dat", "");
    WriteFile(dir_ / root + "/inner.zip", std::string(5000, 'z'));
    WriteFile(dir_ / root + "/sub/c.txt", "PAYLOAD-OF-C\n");
    WriteFile(dir_ / root + "/sub/deeper/d.txt", text.substr(0, 1000));
    WriteFile(dir_ / root + "/\xE6\x97\xA5\xE6\x9C\xAC.txt", "CJK name\n");
  }
  // Every peer accepts the archive and unzip extracts the source tree.
  // unzip takes names from a FAT host ("version made by" 0) for OEM text
  // even when flagged UTF-8, so the non-ASCII name is checked with 7zz.
  void ExpectPeersAgree(const std::string& archive, const std::string& source,
                        const std::string& password = "") {
    const std::string p7 = password.empty() ? "" : " -p" + password;
    const std::string pu = password.empty() ? "" : " -P " + password;
    EXPECT_EQ(Sh("7zz t" + p7 + " " + archive + " >/dev/null 2>&1"), 0) << "7zz t " << archive;
    EXPECT_EQ(Sh("unzip -tq" + pu + " " + archive + " >/dev/null 2>&1"), 0) << archive;
    EXPECT_EQ(Py(archive, "z.setpassword(b'" + password + "') or z.testzip()"), "None\n")
        << "python zipfile " << archive;
    EXPECT_EQ(Sh("bsdtar -tf " + archive + " >/dev/null 2>&1"), 0) << "bsdtar " << archive;
    Sh("rm -rf x y && mkdir x y");
    ASSERT_EQ(Sh("unzip -q" + pu + " " + archive + " -d x"), 0) << archive;
    // Empty directories are stored only on request.
    Sh("LC_ALL=C find x -name '*[^ -~]*' -delete");
    EXPECT_EQ(Sh("diff -r -x hollow -x '\xE6*' " + source + " x"), 0)
        << archive << " extracts differently";
    ASSERT_EQ(Sh("7zz x -bd -y" + p7 + " -oy " + archive + " >/dev/null"), 0);
    EXPECT_EQ(Sh("diff -r -x hollow " + source + " y"), 0) << archive << " (7zz)";
  }
  TempDir dir_;
};

TEST_F(ArcmorphWriteTest, EveryLevelWritesAnArchiveThePeersAccept) {
  MakeTree();
  for (const char* level : {"--store", "--fast", "--normal", "--max"}) {
    const std::string archive = std::string("l") + (level + 2) + ".zip";
    TResult r = Cli("add -q " + archive + " src -r " + level);
    ASSERT_EQ(r.code, 0) << level << ": " << r.err;
    ExpectPeersAgree(archive, "src");
    // The text is deflated unless storing was asked for; inner.zip is
    // always stored, an archive does not shrink.
    EXPECT_EQ(Py(archive, "z.getinfo('a.txt').compress_type, z.getinfo('inner.zip').compress_type"),
              std::string(level) == "--store" ? "0 0\n" : "8 0\n")
        << level;
  }
  EXPECT_LT(ReadFile(dir_ / "lmax.zip").size(), ReadFile(dir_ / "lstore.zip").size());
  EXPECT_EQ(Py("lnormal.zip", "z.read('\\u65e5\\u672c.txt')"), "b'CJK name\\n'\n")
      << "the non-ASCII name is readable as such";

  // The same tree gives the same bytes.
  ASSERT_EQ(Cli("add -q again.zip src -r").code, 0);
  EXPECT_EQ(ReadFile(dir_ / "again.zip"), ReadFile(dir_ / "lnormal.zip"));
}

TEST_F(ArcmorphWriteTest, PathsAreDirectoriesMasksOrFiles) {
  MakeTree();
  WriteFile(dir_ / "c.txt", "top-level c\n");
  // -r walks directories and masks, but a named file stays just that file.
  TResult r = Cli("add m.zip -r c.txt 'src/*.txt' --exclude 'sub/deeper/*'");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Py("m.zip", "ascii(z.namelist())"),
            "['c.txt', 'a.txt', 'sub/c.txt', '\\u65e5\\u672c.txt']\n");

  ASSERT_EQ(Cli("add -q flat.zip src").code, 0) << "no -r: the directory's own files";
  EXPECT_EQ(Py("flat.zip", "any('/' in n for n in z.namelist()), len(z.namelist())"), "False 5\n");
  ASSERT_EQ(Cli("add -q start.zip src/sub -r --stored-dirs relative-start").code, 0);
  EXPECT_EQ(Py("start.zip", "z.namelist()"), "['sub/c.txt', 'sub/deeper/d.txt']\n");
  ASSERT_EQ(Cli("add -q none.zip src/sub -r --stored-dirs none").code, 0);
  EXPECT_EQ(Py("none.zip", "z.namelist()"), "['c.txt', 'd.txt']\n");
  ASSERT_EQ(Cli("add -q dirs.zip src -r --empty-dirs").code, 0);
  EXPECT_EQ(Py("dirs.zip", "'hollow/' in z.namelist(), z.getinfo('hollow/').is_dir()"),
            "True True\n");
  ASSERT_EQ(Cli("add -q nodirs.zip src -r").code, 0);
  EXPECT_EQ(Py("nodirs.zip", "'hollow/' in z.namelist()"), "False\n");

  TResult missing = Cli("add part.zip src/a.txt not-there.txt");
  EXPECT_EQ(missing.code, 1) << "one path failed";
  EXPECT_NE(missing.err.find("not-there.txt: Error#: 25192"), std::string::npos) << missing.err;
  EXPECT_EQ(Py("part.zip", "z.namelist()"), "['a.txt']\n");
}

TEST_F(ArcmorphWriteTest, UnusableArchivesAndBadUsageExitWithTwo) {
  MakeTree();
  // A type with no writer (tar and LHA have one now).
  TResult tar = Cli("add out.arj src");
  EXPECT_EQ(tar.code, 2);
  EXPECT_NE(tar.err.find("out.arj: Error#: 25244"), std::string::npos) << tar.err;
  EXPECT_FALSE(Exists("out.arj"));

  WriteFile(dir_ / "notes.zip", "not an archive at all");
  EXPECT_EQ(Cli("add notes.zip src").code, 2);
  EXPECT_EQ(ReadFile(dir_ / "notes.zip"), "not an archive at all") << "never overwritten";

  EXPECT_EQ(Cli("add e.zip src --encrypt zip").code, 2) << "no password";
  EXPECT_EQ(Cli("add e.zip src --encrypt aes -p x").code, 2);
  EXPECT_EQ(Cli("add e.zip src --store --max").code, 2);
  EXPECT_EQ(Cli("add e.zip src --refresh --move").code, 2);
  EXPECT_EQ(Cli("add e.zip src --stored-dirs sideways").code, 2);
  EXPECT_EQ(Cli("extract e.zip -r").code, 2) << "-r is for add only";
  EXPECT_EQ(Cli("delete absent.zip '*'").code, 2);
  EXPECT_FALSE(Exists("e.zip"));
}

TEST_F(ArcmorphWriteTest, AReadOnlyDestinationExitsWithTwoAndIsLeftAlone) {
  MakeTree();
  // A read-only bind mount of our own directory needs the rights to mount.
  if (Sh("mkdir ro && mount --bind . ro 2>/dev/null && mount -o remount,bind,ro ro 2>/dev/null") !=
      0) {
    Sh("umount ro 2>/dev/null");
    GTEST_SKIP() << "no read-only mount here";
  }
  const TResult zip = Cli("add ro/out.zip src");
  const TResult tar = Cli("add ro/out.tar src");
  Sh("zip -qr in.zip src && printf 'Manifest-Version: 1.0\\nMIDlet-Name: Old\\n' > m.mf &&"
     " mkdir -p META-INF && cp m.mf META-INF/MANIFEST.MF && zip -q suite.jar META-INF/MANIFEST.MF");
  const TResult convert = Cli("convert in.zip ro/out.bh");
  // A split set on read-only media is read all the same.
  Sh("head -c 200000 /dev/urandom > big.bin && zip -q -s 64k split.zip big.bin");
  const TResult split = Cli("test ro/split.zip");
  const std::string jarname = qmx::test::JarnameBinary();
  qmx::test::TCliResult rename;
  if (!jarname.empty())
    rename = qmx::test::RunCli(dir_.path(), jarname, "set suite.jar New -o ro/new.jar");
  Sh("umount ro");
  EXPECT_EQ(zip.code, 2);
  EXPECT_NE(zip.err.find("25171 disk is write protected"), std::string::npos) << zip.err;
  EXPECT_EQ(tar.code, 2);
  EXPECT_EQ(split.code, 0) << split.err;
  // The converter refuses before it extracts anything.
  EXPECT_EQ(convert.code, 2);
  EXPECT_EQ(convert.err.find("extracting"), std::string::npos) << convert.err;
  if (!jarname.empty()) {
    EXPECT_EQ(rename.code, 2);
    EXPECT_NE(rename.err.find("disk is write protected"), std::string::npos) << rename.err;
  }
  EXPECT_FALSE(Exists("out.zip") || Exists("out.tar") || Exists("out.bh") || Exists("new.jar"));
}

TEST_F(ArcmorphWriteTest, EncryptedEntriesNeedThePassword) {
  MakeTree();
  TResult r = Cli("add -q locked.zip src -r --encrypt zip -p opensesame");
  ASSERT_EQ(r.code, 0) << r.err;
  ExpectPeersAgree("locked.zip", "src", "opensesame");
  EXPECT_NE(Sh("unzip -tq -P wrong locked.zip >/dev/null 2>&1"), 0);
  EXPECT_EQ(ReadFile(dir_ / "locked.zip").find("PAYLOAD-OF-C"), std::string::npos);
}

TEST_F(ArcmorphWriteTest, AesEntriesAtEveryStrength) {
  MakeTree();
  for (const std::string bits : {"128", "192", "256"}) {
    SCOPED_TRACE(bits);
    const std::string arc = "aes" + bits + ".zip";
    TResult r =
        Cli("add -q " + arc + " src -r --empty-dirs --encrypt aes" + bits + " -p opensesame");
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Sh("7zz t -popensesame " + arc + " >/dev/null"), 0);
    EXPECT_NE(Sh("7zz t -pwrong " + arc + " >/dev/null 2>&1"), 0);
    EXPECT_EQ(Cli("test -q " + arc + " -p opensesame").code, 0);
    EXPECT_EQ(Cli("test -q " + arc + " -p wrong").code, 1);
    // The listing names the method inside the AES wrapper.
    TResult list = Cli("list " + arc);
    EXPECT_NE(list.out.find("Deflate"), std::string::npos) << list.out;
    ASSERT_EQ(Cli("extract -q " + arc + " -p opensesame -d out" + bits).code, 0);
    EXPECT_EQ(Sh("diff -r src out" + bits), 0);
  }
}

TEST_F(ArcmorphWriteTest, UpdatesReplaceRefreshAndMove) {
  MakeTree();
  ASSERT_EQ(Cli("add -q u.zip src -r").code, 0);
  const std::string first = ReadFile(dir_ / "u.zip");
  const std::string order = Py("u.zip", "z.namelist()");

  TResult same = Cli("add u.zip src -r");
  EXPECT_EQ(same.code, 0) << "nothing changed is not a failure: " << same.err;
  EXPECT_EQ(ReadFile(dir_ / "u.zip"), first);

  // A changed file is replaced in its old place; a new one is appended.
  WriteFile(dir_ / "src/sub/c.txt", "CHANGED, and longer than before\n");
  WriteFile(dir_ / "src/zz-new.txt", "new\n");
  ASSERT_EQ(Cli("add -q u.zip src -r").code, 0);
  ExpectPeersAgree("u.zip", "src");
  EXPECT_EQ(Py("u.zip", "z.namelist()[:-1]"), order);

  // Refresh takes only newer versions of files already in the archive.
  Sh("cp -r src ref && rm ref/zz-new.txt");
  ASSERT_EQ(Cli("add -q r.zip ref -r").code, 0);
  WriteFile(dir_ / "ref/sub/c.txt", "refreshed\n");
  Sh("touch -d '+2 hours' ref/sub/c.txt");
  WriteFile(dir_ / "ref/unlisted.txt", "not taken by a refresh\n");
  ASSERT_EQ(Cli("add -q r.zip ref -r --refresh").code, 0);
  EXPECT_EQ(Py("r.zip", "z.read('sub/c.txt'), 'unlisted.txt' in z.namelist()"),
            "b'refreshed\\n' False\n");
  EXPECT_EQ(Cli("add -q r.zip ref -r --refresh").code, 0) << "up to date";
  EXPECT_EQ(Cli("add -q nothing.zip ref --refresh").code, 2) << "no archive to refresh";
  EXPECT_FALSE(Exists("nothing.zip"));

  // Move deletes the sources, but only once they are in the archive.
  Sh("mkdir mv && echo one > mv/1.txt && echo two > mv/2.txt");
  ASSERT_EQ(Cli("add -q u.zip mv --move").code, 0);
  EXPECT_FALSE(Exists("mv/1.txt") || Exists("mv/2.txt"));
  EXPECT_EQ(Py("u.zip", "z.read('1.txt') + z.read('2.txt')"), "b'one\\ntwo\\n'\n");
}

TEST_F(ArcmorphWriteTest, DeleteRemovesMatchingEntriesOnly) {
  MakeTree();
  ASSERT_EQ(Cli("add -q d.zip src -r").code, 0);
  TResult r = Cli("delete d.zip 'sub/*' noise.bin");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("3 entries deleted"), std::string::npos) << r.out;
  Sh("rm -r src/sub src/noise.bin");
  ExpectPeersAgree("d.zip", "src");

  const std::string before = ReadFile(dir_ / "d.zip");
  EXPECT_EQ(Cli("delete d.zip 'no-such-*'").code, 1);
  EXPECT_EQ(ReadFile(dir_ / "d.zip"), before);
}

TEST_F(ArcmorphWriteTest, CommentAndJarManifest) {
  MakeTree();
  ASSERT_EQ(Cli("add -q c.zip src --comment 'built by arcmorph'").code, 0);
  EXPECT_EQ(Py("c.zip", "z.comment"), "b'built by arcmorph'\n");
  ASSERT_EQ(Cli("add -q c.zip src --comment 'second'").code, 0) << "comment alone changes";
  EXPECT_EQ(Py("c.zip", "z.comment"), "b'second'\n");
  EXPECT_EQ(Sh("7zz t c.zip >/dev/null 2>&1"), 0);

  // "Aaa" sorts before "META-INF": the manifest still comes first.
  Sh("mkdir -p suite/META-INF suite/Aaa && echo 'Manifest-Version: 1.0' > "
     "suite/META-INF/MANIFEST.MF && echo class > suite/Aaa/B.class");
  ASSERT_EQ(Cli("add -q s.jar suite -r").code, 0);
  EXPECT_EQ(Py("s.jar", "z.namelist()"), "['META-INF/MANIFEST.MF', 'Aaa/B.class']\n");
  EXPECT_EQ(Sh("jar tf s.jar >/dev/null 2>&1"), 0);
}

}  // namespace
