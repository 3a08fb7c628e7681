// Runs the built arcmorph program on archives made by peer tools and checks
// what it prints, what it writes and how it exits.
#include <gtest/gtest.h>
#include <zlib.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "archive/codec/zip_crypt.h"
#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

using TResult = qmx::test::TCliResult;

class ArcmorphTest : public qmx::test::TArcmorphTest {
 protected:
  void Sh(const std::string& cmd) {
    ASSERT_EQ(qmx::test::Run("cd " + dir_.path() + " && " + cmd), 0) << cmd;
  }

  // src/a.txt, src/b.bin, src/sub/c.txt
  void MakeSources() {
    Sh("mkdir -p src/sub");
    std::string text;
    for (int i = 0; i < 300; ++i) text += "text line " + std::to_string(i) + "\n";
    WriteFile(dir_ / "src/a.txt", text);
    WriteFile(dir_ / "src/b.bin", std::string("\x01\x02\x03\xff binary", 12));
    WriteFile(dir_ / "src/sub/c.txt", "PAYLOAD-OF-C-FILE\n");
  }
  std::string MakeZip(const std::string& name, const std::string& options = "") {
    MakeSources();
    Sh("cd src && zip -q -r " + options + " ../" + name + " .");
    return name;
  }
};

TEST_F(ArcmorphTest, DetectPrintsTheTypeOfEachFile) {
  MakeZip("a.zip");
  Sh("cd src && jar cf ../suite.jar a.txt 2>/dev/null");
  Sh("gzip -c src/a.txt > a.txt.gz");
  WriteFile(dir_ / "short.bin", std::string(19, 'Z'));
  TResult r = Cli("detect a.zip suite.jar a.txt.gz short.bin");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "a.zip: atZip\nsuite.jar: atJar\na.txt.gz: atGZip\nshort.bin: atNA\n");

  TResult missing = Cli("detect a.zip nothing-here.zip");
  EXPECT_EQ(missing.code, 2);
  EXPECT_EQ(missing.out, "a.zip: atZip\n") << "the other files are still classified";
  EXPECT_NE(missing.err.find("nothing-here.zip: Error#: 25192"), std::string::npos);
}

TEST_F(ArcmorphTest, DetectKnowsTheFamiliesByContent) {
  MakeSources();
  const std::string corpus = QMX_CORPUS_DIR;
  Sh("cp '" + corpus + "/generated/zip/sfx/mz-stub-adjusted.exe' sfx.exe");
  Sh("cp '" + corpus + "/lha/lha_unix114i/h0_lh5.lzh' a.lzh");
  Sh("tar -cf a.tar -C src a.txt");
  // A changed name byte breaks the header checksum: no longer a tar archive.
  Sh("cp a.tar bad.tar && printf 'X' | dd of=bad.tar bs=1 seek=0 conv=notrunc 2>/dev/null");
  Sh("uuencode src/a.txt a.txt > a.uue");
  std::string pad(64, '\0');
  WriteFile(dir_ / "a.rar", std::string("Rar!\x1a\x07\x00", 7) + pad);
  WriteFile(dir_ / "a.cab", std::string("MSCF\0\0\0\0", 8) + pad);
  WriteFile(dir_ / "a.7z", std::string("7z\xbc\xaf\x27\x1c", 6) + pad);
  TResult r = Cli("detect sfx.exe a.tar bad.tar a.uue a.lzh a.rar a.cab a.7z");
  EXPECT_EQ(r.out,
            "sfx.exe: atZipExe\na.tar: atTar\nbad.tar: atNA\na.uue: atUUE\na.lzh: atLha\n"
            "a.rar: atRar\na.cab: atCab\na.7z: at7z\n")
      << r.err;
}

// Archives from every peer writer test clean and extract exactly as unzip does.
TEST_F(ArcmorphTest, PeerArchivesTestCleanAndExtractLikeUnzip) {
  MakeSources();
  struct TCase {
    std::string name, make, password;
  };
  const std::vector<TCase> cases = {
      {"stored.zip", "cd src && zip -q -r -0 ../stored.zip .", ""},
      {"deflated.zip", "cd src && zip -q -r -9 ../deflated.zip .", ""},
      {"secret.zip", "cd src && zip -q -r -P s3cret ../secret.zip .", "s3cret"},
      {"comment.zip",
       "cd src && zip -q -r ../comment.zip . && echo remark | zip -q -z ../comment.zip", ""},
      {"sfx.zip",
       "cd src && zip -q -r ../p.zip . && cd .. && cat /bin/true p.zip > sfx.zip && "
       "zip -q -A sfx.zip",
       ""},
      {"7s.zip", "cd src && 7zz a -tzip -mx0 ../7s.zip . >/dev/null", ""},
      {"7d.zip", "cd src && 7zz a -tzip ../7d.zip . >/dev/null", ""},
      {"suite.jar", "cd src && jar cf ../suite.jar . 2>/dev/null", ""},
      {"z64.zip",
       "cd src && /usr/bin/python3 -c \"import zipfile,os\n"
       "z=zipfile.ZipFile('../z64.zip','w',zipfile.ZIP_DEFLATED,allowZip64=True)\n"
       "for r,_,fs in os.walk('.'):\n"
       "  for f in fs:\n"
       "    p=os.path.join(r,f)\n"
       "    with open(p,'rb') as i, z.open(p[2:],'w',force_zip64=True) as o: o.write(i.read())\n"
       "z.close()\"",
       ""}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sh(c.make);
    const std::string pw = c.password.empty() ? "" : " -p " + c.password;
    TResult t = Cli("test -q " + c.name + pw);
    EXPECT_EQ(t.code, 0) << t.err;
    TResult x = Cli("extract -q " + c.name + " -d out-" + c.name + pw);
    EXPECT_EQ(x.code, 0) << x.err;
    const std::string upw = c.password.empty() ? "" : " -P " + c.password;
    Sh("unzip -qq" + upw + " " + c.name + " -d ref-" + c.name + " 2>/dev/null; true");
    EXPECT_EQ(qmx::test::Run("cd " + dir_.path() + " && diff -r ref-" + c.name + " out-" + c.name),
              0);
  }
}

TEST_F(ArcmorphTest, ErrorsFollowTheOneLineFormat) {
  TResult r = Cli("test absent.zip");
  EXPECT_EQ(r.code, 2);
  ASSERT_EQ(r.ErrLines().size(), 1u) << r.err;
  EXPECT_EQ(r.ErrLines()[0], "arcmorph: absent.zip: Error#: 25192 File not found");

  WriteFile(dir_ / "short.bin", std::string(19, 'Z'));
  TResult bad = Cli("test short.bin");
  EXPECT_EQ(bad.code, 2);
  const std::regex line(
      R"(^arcmorph: \S*short\.bin: Error#: 25244 Invalid or unsupported archive type for this operation$)");
  ASSERT_FALSE(bad.ErrLines().empty());
  EXPECT_TRUE(std::regex_match(bad.ErrLines()[0], line)) << bad.ErrLines()[0];
}

TEST_F(ArcmorphTest, TestExitsByTheWorstVerdict) {
  MakeZip("good.zip", "-0");
  TResult good = Cli("test good.zip");
  EXPECT_EQ(good.code, 0) << good.err;
  EXPECT_NE(good.out.find("OK      sub/c.txt\n"), std::string::npos) << good.out;
  EXPECT_NE(good.out.find("4 entries tested, 0 failed"), std::string::npos) << good.out;

  std::string bytes = ReadFile(dir_ / "good.zip");
  const std::size_t at = bytes.find("PAYLOAD-OF-C");
  ASSERT_NE(at, std::string::npos);
  bytes[at] ^= 1;
  WriteFile(dir_ / "bad.zip", bytes);
  TResult bad = Cli("test bad.zip");
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.out.find("FAILED  sub/c.txt (File fails CRC check)\n"), std::string::npos)
      << bad.out;
  EXPECT_NE(bad.out.find("OK      a.txt\n"), std::string::npos) << bad.out;

  TResult quiet = Cli("test -q bad.zip");
  EXPECT_EQ(quiet.code, 1);
  EXPECT_EQ(quiet.out, "FAILED  sub/c.txt (File fails CRC check)\n")
      << "quiet keeps only the failures";

  // Tar has a reader now: a ZOO file, which has none, under a tar name
  // (detection goes by content).
  WriteFile(dir_ / "plain.tar", std::string("ZOO 2.10 Archive.\x1A", 18) + std::string(64, 'x'));
  EXPECT_EQ(Cli("test plain.tar").code, 2) << "no reader for tar yet: unusable";
}

// The traditional cipher's one-byte check lets about one wrong password in
// 256 through; tests that need a password to pass or fail that check for
// certain pick one.
struct TCipherHeader {
  std::string Name;
  std::uint16_t Flags, Time;
  std::uint32_t Crc;
  std::array<std::uint8_t, qmx::kZipEncryptionHeaderSize> Header;
};

std::vector<TCipherHeader> CipherHeaders(const std::string& zip) {
  const std::string b = ReadFile(zip);
  auto u16 = [&](std::size_t p) {
    return std::uint16_t(std::uint8_t(b[p]) | std::uint8_t(b[p + 1]) << 8);
  };
  auto u32 = [&](std::size_t p) { return std::uint32_t(u16(p) | std::uint32_t(u16(p + 2)) << 16); };
  std::vector<TCipherHeader> all;
  // The central directory, as local headers may leave sizes to a descriptor.
  const std::size_t end = b.rfind("PK\x05\x06");
  if (end == std::string::npos) return all;
  for (std::size_t p = u32(end + 16), n = u16(end + 10); n-- > 0 && p + 46 <= b.size();) {
    const std::size_t local = u32(p + 42);
    const std::size_t data = local + 30 + u16(local + 26) + u16(local + 28);
    if ((u16(p + 8) & 1) && data + 12 <= b.size()) {
      TCipherHeader h{b.substr(p + 46, u16(p + 28)), u16(p + 8), u16(p + 12), u32(p + 16), {}};
      std::memcpy(h.Header.data(), b.data() + data, h.Header.size());
      all.push_back(h);
    }
    p += 46 + u16(p + 28) + u16(p + 30) + u16(p + 32);
  }
  return all;
}

bool CheckPasses(const TCipherHeader& h, const std::string& password) {
  return qmx::TZipCrypt().CheckEncryptionHeader(h.Header, h.Flags, h.Crc, password, h.Time);
}

// A password whose check fails on every entry, or passes on the one named.
std::string PickPassword(const std::string& zip, const std::string& passOn = "") {
  const auto headers = CipherHeaders(zip);
  for (int i = 0; i < 100000; ++i) {
    const std::string pw = "wrong" + std::to_string(i);
    bool fits = true;
    for (const auto& h : headers) fits = fits && CheckPasses(h, pw) == (h.Name == passOn);
    if (fits) return pw;
  }
  ADD_FAILURE() << "no password found";
  return "";
}

TEST_F(ArcmorphTest, PasswordsFromTheCommandLine) {
  MakeZip("locked.zip", "-P right");
  ASSERT_EQ(CipherHeaders(dir_ / "locked.zip").size(), 3u);
  const std::string wrongPassword = PickPassword(dir_ / "locked.zip");
  TResult wrong = Cli("test locked.zip -p " + wrongPassword);
  EXPECT_EQ(wrong.code, 1);
  EXPECT_NE(wrong.out.find("FAILED  a.txt (wrong password)\n"), std::string::npos) << wrong.out;
  EXPECT_NE(wrong.err.find("locked.zip: a.txt: wrong password"), std::string::npos) << wrong.err;
  EXPECT_EQ(wrong.err.find("25270"), std::string::npos) << "no event names for a user";

  TResult none = Cli("extract locked.zip -d out");
  EXPECT_EQ(none.code, 1) << "without a terminal the entries are skipped and reported";
  EXPECT_NE(none.err.find("locked.zip: out/sub/c.txt: password required"), std::string::npos)
      << none.err;
  EXPECT_NE(none.out.find("(password required)"), std::string::npos) << none.out;
  EXPECT_FALSE(std::ifstream(dir_ / "out/a.txt").good()) << "nothing written for a skipped entry";

  TResult right = Cli("extract locked.zip -d out2 -p " + wrongPassword + " -p right");
  EXPECT_EQ(right.code, 0) << right.err;
  EXPECT_EQ(ReadFile(dir_ / "out2/sub/c.txt"), ReadFile(dir_ / "src/sub/c.txt"));
}

TEST_F(ArcmorphTest, WrongPasswordThatPassesTheCheckGivesWayToTheNext) {
  MakeZip("locked.zip", "-P right");
  // The first entry read: after it the right password is tried first.
  const std::string first = CipherHeaders(dir_ / "locked.zip").at(0).Name;
  const std::string lucky = PickPassword(dir_ / "locked.zip", first);
  ASSERT_FALSE(lucky.empty());

  TResult alone = Cli("test locked.zip -p " + lucky);
  EXPECT_EQ(alone.code, 1);
  EXPECT_NE(alone.out.find("FAILED  " + first + " (File fails CRC check)"), std::string::npos)
      << alone.out;

  TResult listed = Cli("test locked.zip -p " + lucky + " -p right");
  EXPECT_EQ(listed.code, 0) << listed.out << listed.err;
  TResult extracted = Cli("extract locked.zip -d out -p " + lucky + " -p right");
  EXPECT_EQ(extracted.code, 0) << extracted.out << extracted.err;
  EXPECT_EQ(ReadFile(dir_ / ("out/" + first)), ReadFile(dir_ / ("src/" + first)))
      << "the file holds the second attempt only";
}

TEST_F(ArcmorphTest, ExtractHonoursTheDirectoryAndTheMasks) {
  MakeZip("a.zip");
  TResult r = Cli("extract a.zip -d out '*.txt'");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFile(dir_ / "out/a.txt"), ReadFile(dir_ / "src/a.txt"));
  EXPECT_EQ(ReadFile(dir_ / "out/sub/c.txt"), ReadFile(dir_ / "src/sub/c.txt"));
  EXPECT_FALSE(std::ifstream(dir_ / "out/b.bin").good()) << "b.bin does not match *.txt";

  TResult all = Cli("extract -q a.zip -dall");
  EXPECT_EQ(all.code, 0) << all.err;
  EXPECT_EQ(ReadFile(dir_ / "all/b.bin"), ReadFile(dir_ / "src/b.bin"));
  EXPECT_EQ(all.out, "") << "quiet prints nothing on success";
}

TEST_F(ArcmorphTest, ADotDotEntryLandsInsideTheTarget) {
  Sh("python3 -c \"import zipfile; z = zipfile.ZipFile('evil.zip', 'w'); "
     "z.writestr('../escaped.txt', 'outside?'); z.writestr('ok.txt', 'fine'); z.close()\"");
  Sh("mkdir -p box/out");
  TResult r = Cli("extract evil.zip -d box/out");
  EXPECT_EQ(r.code, 0) << "the entry was extracted, only its name was mended: " << r.err;
  EXPECT_EQ(ReadFile(dir_ / "box/out/escaped.txt"), "outside?");
  EXPECT_FALSE(std::ifstream(dir_ / "box/escaped.txt").good());
  EXPECT_NE(r.err.find("../escaped.txt: Error#: 25245 Invalid file name"), std::string::npos)
      << r.err;
}

TEST_F(ArcmorphTest, ExistingFilesAreKeptUnlessOverwriteIsGiven) {
  MakeZip("a.zip");
  Sh("mkdir -p out/sub");
  WriteFile(dir_ / "out/a.txt", "mine");

  TResult refused = Cli("extract a.zip -d out");
  EXPECT_EQ(refused.code, 1) << "refusing without being told counts as a failure";
  EXPECT_EQ(ReadFile(dir_ / "out/a.txt"), "mine");
  EXPECT_NE(refused.err.find("a.txt: exists, not overwritten"), std::string::npos) << refused.err;
  EXPECT_EQ(ReadFile(dir_ / "out/sub/c.txt"), ReadFile(dir_ / "src/sub/c.txt"))
      << "files that did not exist are still extracted";

  WriteFile(dir_ / "out/sub/c.txt", "mine too");
  TResult skipped = Cli("extract a.zip -d out --skip-existing");
  EXPECT_EQ(skipped.code, 0) << skipped.err;
  EXPECT_EQ(ReadFile(dir_ / "out/a.txt"), "mine");
  EXPECT_EQ(ReadFile(dir_ / "out/sub/c.txt"), "mine too");

  TResult replaced = Cli("extract a.zip -d out --overwrite");
  EXPECT_EQ(replaced.code, 0) << replaced.err;
  EXPECT_EQ(ReadFile(dir_ / "out/a.txt"), ReadFile(dir_ / "src/a.txt"));
  EXPECT_EQ(ReadFile(dir_ / "out/sub/c.txt"), ReadFile(dir_ / "src/sub/c.txt"));

  EXPECT_EQ(Cli("extract a.zip -d out --overwrite --skip-existing").code, 2);
}

TEST_F(ArcmorphTest, ListShowsMethodSizesDateAndCrc) {
  MakeZip("a.zip", "-0");
  const std::string c = ReadFile(dir_ / "src/sub/c.txt");
  const auto crc = crc32(0, reinterpret_cast<const Bytef*>(c.data()), static_cast<uInt>(c.size()));
  char crcHex[16];
  std::snprintf(crcHex, sizeof crcHex, "%08lX", static_cast<unsigned long>(crc));

  TResult r = Cli("list a.zip");
  EXPECT_EQ(r.code, 0) << r.err;
  const std::regex line(std::string(R"((^|\n)Stored +)") + std::to_string(c.size()) + " +" +
                        std::to_string(c.size()) + R"( \d{4}-\d\d-\d\d \d\d:\d\d )" + crcHex +
                        R"(  sub/c\.txt\n)");
  EXPECT_TRUE(std::regex_search(r.out, line)) << r.out;
  EXPECT_NE(r.out.find("  sub/\n"), std::string::npos) << "directories are listed too";
  EXPECT_NE(r.out.find("4 entries"), std::string::npos) << r.out;
}

TEST_F(ArcmorphTest, BadUsageExitsWithTwo) {
  EXPECT_EQ(Cli("").code, 2);
  EXPECT_EQ(Cli("frobnicate x").code, 2);
  EXPECT_EQ(Cli("test a.zip -d out").code, 2) << "-d does not apply to test";
  EXPECT_EQ(Cli("extract").code, 2);
  EXPECT_EQ(Cli("test --bogus a.zip").code, 2);
}

// The usage names every command, whether asked for or printed on a mistake.
TEST_F(ArcmorphTest, UsageNamesEveryCommand) {
  TResult help = Cli("--help");
  EXPECT_EQ(help.code, 0);
  TResult wrong = Cli("frobnicate x");
  EXPECT_EQ(wrong.code, 2);
  EXPECT_NE(wrong.err.find("unknown command frobnicate"), std::string::npos) << wrong.err;
  for (const char* command : {"detect", "list", "test", "extract", "add", "delete", "convert"}) {
    const std::string line = std::string("  arcmorph ") + command + " ";
    EXPECT_NE(help.out.find(line), std::string::npos) << command << " missing from --help";
    EXPECT_NE(wrong.err.find(line), std::string::npos) << command << " missing from the usage";
  }
  EXPECT_NE(help.out.find("--codepage CP"), std::string::npos);
  TResult convertHelp = Cli("convert --help");
  EXPECT_EQ(convertHelp.code, 0);
  EXPECT_NE(convertHelp.out.find("arcmorph convert SOURCE DEST"), std::string::npos);

  const std::string jarname = qmx::test::JarnameBinary();
  if (jarname.empty()) GTEST_SKIP() << "jarname not built";
  TResult jarHelp = qmx::test::RunCli(dir_.path(), jarname, "--help");
  EXPECT_EQ(jarHelp.code, 0);
  TResult jarWrong = qmx::test::RunCli(dir_.path(), jarname, "frobnicate");
  EXPECT_EQ(jarWrong.code, 2);
  for (const char* command : {"show", "set"}) {
    const std::string line = std::string("  jarname ") + command + " ";
    EXPECT_NE(jarHelp.out.find(line), std::string::npos) << command;
    EXPECT_NE(jarWrong.err.find(line), std::string::npos) << command;
  }
}

}  // namespace
