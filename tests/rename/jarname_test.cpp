// Runs the built jarname program on suites made with the JDK's jar tool and
// checks what it prints, what it writes and how it exits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

std::string Binary() {
#ifdef QMX_JARNAME
  return QMX_JARNAME;
#else
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
  dir = dir.substr(0, dir.find_last_of('/'));
  return dir + "/../app/jarname";
#endif
}

struct TResult {
  int code = -1;
  std::string out, err;
};

class JarnameTest : public ::testing::Test {
 protected:
  TResult Cli(const std::string& args) {
    TResult r;
    r.code = qmx::test::Run("cd " + dir_.path() + " && " + Binary() + " " + args + " >" +
                            dir_ / "stdout.txt" + " 2>" + dir_ / "stderr.txt" + " </dev/null");
    r.out = ReadFile(dir_ / "stdout.txt");
    r.err = ReadFile(dir_ / "stderr.txt");
    return r;
  }
  void Sh(const std::string& cmd) {
    ASSERT_EQ(qmx::test::Run("cd " + dir_.path() + " && " + cmd), 0) << cmd;
  }
  // suite.jar with the given manifest; extra names more files under src/.
  void MakeJar(const std::string& manifest, const std::string& extra = "") {
    Sh("mkdir -p src/app");
    WriteFile(dir_ / "src/app/Main.class", std::string(300, 'C'));
    WriteFile(dir_ / "m.txt", manifest);
    Sh("cd src && jar cfm ../suite.jar ../m.txt app " + extra);
  }
  std::string Manifest(const std::string& jar) {
    Sh("unzip -p " + jar + " META-INF/MANIFEST.MF > mf.out");
    return ReadFile(dir_ / "mf.out");
  }
  TempDir dir_;
};

TEST_F(JarnameTest, ShowPrintsTheNameOrFails) {
  MakeJar("MIDlet-Name:    Space Game\r\nMIDlet-Vendor: V\r\n");
  auto r = Cli("show suite.jar");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "Space Game\n");

  MakeJar("MIDlet-Vendor: V\r\n");
  r = Cli("show suite.jar");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");

  r = Cli("show missing.jar");
  EXPECT_EQ(r.code, 2);
  WriteFile(dir_ / "text.jar", "not an archive at all\n");
  EXPECT_EQ(Cli("show text.jar").code, 2);
  // An end record and nothing else: no archive to read either.
  WriteFile(dir_ / "empty-ish.jar", std::string("PK\x05\x06", 4) + std::string(17, '\0'));
  r = Cli("show empty-ish.jar");
  EXPECT_EQ(r.code, 2) << r.err;
  EXPECT_NE(r.err.find("not an archive that can be read"), std::string::npos) << r.err;
  EXPECT_EQ(Cli("rename suite.jar").code, 2);
}

TEST_F(JarnameTest, SetWritesTheDefaultCopyAndLeavesTheSource) {
  MakeJar("MIDlet-Name: Game\r\nMIDlet-Version: 1.0\r\n");
  const std::string before = ReadFile(dir_ / "suite.jar");
  auto r = Cli("set suite.jar 新游戏");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("old name: Game\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("new name: 新游戏\n"), std::string::npos);
  EXPECT_NE(r.out.find("integrity: ok"), std::string::npos);
  EXPECT_EQ(ReadFile(dir_ / "suite.jar"), before);
  EXPECT_NE(Manifest("suite新.JAR").find("MIDlet-Name: 新游戏\r\nMIDlet-Version: 1.0\r\n"),
            std::string::npos);
  Sh("unzip -tq suite新.JAR >/dev/null");
  // The JDK reads the copy too.
  Sh("jar tf suite新.JAR | grep -q app/Main.class");
  r = Cli("show suite新.JAR");
  EXPECT_EQ(r.out, "新游戏\n");
}

TEST_F(JarnameTest, ExistingOutputNeedsYesAndTheSourceIsRefused) {
  MakeJar("MIDlet-Name: Game\r\n");
  WriteFile(dir_ / "out.jar", "old contents");
  auto r = Cli("set suite.jar New -o out.jar");
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(ReadFile(dir_ / "out.jar"), "old contents");

  r = Cli("set suite.jar New -o out.jar -y");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(Manifest("out.jar").find("MIDlet-Name: New\r\n"), std::string::npos);

  const std::string before = ReadFile(dir_ / "suite.jar");
  EXPECT_EQ(Cli("set suite.jar New -o SUITE.JAR -y").code, 2);
  EXPECT_EQ(Cli("set suite.jar New -o ./suite.jar -y").code, 2);
  Sh("ln suite.jar hard.jar");
  EXPECT_EQ(Cli("set suite.jar New -o hard.jar -y").code, 2);
  EXPECT_EQ(ReadFile(dir_ / "suite.jar"), before);
  EXPECT_EQ(Cli("set suite.jar '  ' -o x.jar").code, 2);
  EXPECT_NE(qmx::test::Run("test -e " + dir_ / "x.jar"), 0);
}

TEST_F(JarnameTest, NoNameMeansNoCopy) {
  MakeJar("MIDlet-Vendor: V\r\n");
  auto r = Cli("set suite.jar New -o out.jar");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(qmx::test::Run("test -e " + dir_ / "out.jar"), 0);
}

TEST_F(JarnameTest, DescriptorFollowsTheCopy) {
  MakeJar("MIDlet-Name: Game\r\nMIDlet-Version: 1.0\r\n");
  WriteFile(dir_ / "suite.jad",
            "MIDlet-Name: Game\r\nMIDlet-Jar-URL: suite.jar\r\nMIDlet-Jar-Size: 1\r\n"
            "MIDlet-Vendor: V  \r\nMIDlet-Description: keep\n");
  Sh("mkdir -p dist");
  auto r = Cli("set suite.jar 新游戏 -o dist/renamed.jar --jad");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string size = std::to_string(ReadFile(dir_ / "dist/renamed.jar").size());
  EXPECT_EQ(ReadFile(dir_ / "dist/renamed.jad"),
            "MIDlet-Name: 新游戏\r\nMIDlet-Jar-URL: renamed.jar\r\nMIDlet-Jar-Size: " + size +
                "\r\nMIDlet-Vendor: V  \r\nMIDlet-Description: keep\n");
  EXPECT_EQ(r.err.find("signed"), std::string::npos);

  // A URL that is not a bare file name stays; an existing descriptor needs -y.
  WriteFile(dir_ / "other.jad",
            "MIDlet-Name: Game\nMIDlet-Jar-URL: http://h/suite.jar\nMIDlet-Jar-RSA-SHA1: abc\n");
  r = Cli("set suite.jar N -o dist/renamed.jar -y --jad other.jad");
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string jad = ReadFile(dir_ / "dist/renamed.jad");
  EXPECT_NE(jad.find("MIDlet-Jar-URL: http://h/suite.jar\n"), std::string::npos) << jad;
  EXPECT_NE(jad.find("MIDlet-Jar-RSA-SHA1: abc\n"), std::string::npos);
  EXPECT_NE(r.err.find("no longer validly signed"), std::string::npos) << r.err;

  WriteFile(dir_ / "dist/x.jad", "existing");
  EXPECT_EQ(Cli("set suite.jar N -o dist/x.jar --jad").code, 2);
  EXPECT_EQ(ReadFile(dir_ / "dist/x.jad"), "existing");
  EXPECT_NE(qmx::test::Run("test -e " + dir_ / "dist/x.jar"), 0);
}

TEST_F(JarnameTest, SignatureEntryWarns) {
  Sh("mkdir -p src/META-INF");
  WriteFile(dir_ / "src/META-INF/SIGNER.SF", "Signature-Version: 1.0\r\n");
  MakeJar("MIDlet-Name: Game\r\n", "META-INF/SIGNER.SF");
  auto r = Cli("set suite.jar New -o out.jar");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("no longer validly signed"), std::string::npos) << r.err;
}

// A hostile suite with a 64 MiB manifest: refused with a message, and the
// run never holds the manifest in memory.
TEST_F(JarnameTest, AHugeManifestIsRefusedInBoundedMemory) {
  // Made by small tools: the test measures the largest child's peak.
  Sh("mkdir -p src/META-INF && { printf 'Manifest-Version: 1.0\\r\\nMIDlet-Name: Big\\r\\n'; "
     "yes 'X-Pad: 0123456789012345678901234567890123456789012345678901234567890123456789' | "
     "head -n 900000 | sed 's/$/\\r/'; } > src/META-INF/MANIFEST.MF && "
     "cd src && zip -qr ../suite.jar META-INF");
  for (const char* args : {"show suite.jar", "set suite.jar New -o out.jar"}) {
    SCOPED_TRACE(args);
    const TResult r = Cli(args);
    EXPECT_NE(r.code, 0);
    EXPECT_NE(r.err.find("1 MiB"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("清单"), std::string::npos) << "jarname's own words, not the window's";
    EXPECT_EQ(r.err.find("25244"), std::string::npos) << "no echo of the failure";
  }
  EXPECT_FALSE(qmx::test::Run("test -e " + dir_ / "out.jar") == 0) << "no copy is written";
  // Peaks against the program's own at rest: a sanitizer build starts far
  // above a plain one, and the manifest alone is 64 MiB.
  auto peakKiB = [&](const std::string& args) {
    qmx::test::Run("cd " + dir_.path() + " && /usr/bin/time -f %M -o peak.txt " + Binary() + " " +
                   args + " >/dev/null 2>&1");
    return std::stol("0" + ReadFile(dir_ / "peak.txt"));
  };
  const long rest = peakKiB("--help");
  ASSERT_GT(rest, 0);
  EXPECT_LT(peakKiB("show suite.jar"), rest + 16 * 1024);
  EXPECT_LT(peakKiB("set suite.jar New -o out.jar"), rest + 16 * 1024);
}

// SIGTERM (or Ctrl-C) in the middle of a run: it stops, says so, and leaves
// neither its scratch directory nor a half-written copy behind.
TEST_F(JarnameTest, ASignalStopsTheRunAndCleansUp) {
  Sh("mkdir -p src/META-INF src/data tmp && printf 'Manifest-Version: 1.0\\r\\nMIDlet-Name: "
     "Big\\r\\n' > src/META-INF/MANIFEST.MF && head -c 96M /dev/urandom | (cd src/data && "
     "split -b 16k) && cd src && zip -qr -0 ../suite.jar META-INF data");
  // The signal lands while the copy is written or tested (its scratch
  // directory or its pending file exists).
  Sh("(TMPDIR=$PWD/tmp " + Binary() +
     " set suite.jar New -o out.jar </dev/null >/dev/null 2>err.txt & pid=$!; "
     "for i in $(seq 1 2000); do [ -n \"$(ls tmp)$(ls out.jar.* 2>/dev/null)\" ] && break; "
     "sleep 0.003; done; kill -TERM $pid; wait $pid; echo $? > rc.txt)");
  const int rc = std::stoi(ReadFile(dir_ / "rc.txt"));
  EXPECT_EQ(rc, 130) << "the signal is handled, not fatal";
  EXPECT_NE(ReadFile(dir_ / "err.txt").find("interrupted"), std::string::npos);
  EXPECT_EQ(qmx::test::Run("test -z \"$(ls -A " + dir_ / "tmp" + ")\""), 0) << "scratch left";
  EXPECT_NE(qmx::test::Run("ls " + dir_ / "out.jar.*" + " >/dev/null 2>&1"), 0) << "pending left";
  // A signal that lands during the final test finds the copy complete.
  if (qmx::test::Run("test -e " + dir_ / "out.jar") == 0) {
    EXPECT_EQ(qmx::test::Run("unzip -tqq " + dir_ / "out.jar"), 0) << "half-written copy left";
  }
}

// A damaged suite: jarname says what failed in its own words, never the
// window's boxes with their event names, and a copy that lacks an entry is
// no success.
TEST_F(JarnameTest, FailuresAreSaidWithoutTheWindowsEventNames) {
  Sh("mkdir -p src/META-INF src/app && printf 'Manifest-Version: 1.0\\r\\nMIDlet-Name: Game\\r\\n' "
     "> "
     "src/META-INF/MANIFEST.MF && printf 'PAYLOAD-PAYLOAD' > src/app/data.bin && "
     "cd src && zip -qr -0 ../suite.jar META-INF app");
  std::string bytes = ReadFile(dir_ / "suite.jar");
  bytes[bytes.find("PAYLOAD-PAYLOAD")] ^= 1;
  WriteFile(dir_ / "suite.jar", bytes);
  const TResult r = Cli("set suite.jar New -o out.jar");
  EXPECT_NE(r.code, 0);
  EXPECT_NE(r.err.find("data.bin: could not be extracted"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 entries could not be extracted and are missing from the copy"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find("Event"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("event"), std::string::npos) << r.err;
}

// Ten suites at once: eight renamed into the directory, the damaged one and
// the nameless one fail alone, the summary counts them, and a second run
// without -y skips what exists.
TEST_F(JarnameTest, ManySuitesAreRenamedOneByOneWithASummary) {
  std::string list;
  for (int i = 1; i <= 8; ++i) {
    const std::string n = std::to_string(i);
    MakeJar("Manifest-Version: 1.0\r\nMIDlet-Name: Game " + n + "\r\n");
    Sh("mv suite.jar s" + n + ".jar");
    list += " s" + n + ".jar";
  }
  MakeJar("Manifest-Version: 1.0\r\nMIDlet-Vendor: V\r\n");
  Sh("mv suite.jar noname.jar && head -c 5000 /dev/urandom > bad.jar");
  list += " bad.jar noname.jar";

  auto r = Cli("set" + list + " '{old} 汉化版 {file}' -o out");
  EXPECT_EQ(r.code, 1) << r.err;
  EXPECT_NE(r.out.find("summary: 8 renamed, 0 skipped, 2 failed\n"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("bad.jar"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("noname.jar: no MIDlet-Name:"), std::string::npos) << r.err;
  for (int i = 1; i <= 8; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(Cli("show out/s" + n + ".jar").out, "Game " + n + " 汉化版 s" + n + "\n");
  }
  EXPECT_NE(qmx::test::Run("test -e " + dir_ / "out/bad.jar"), 0);
  EXPECT_NE(qmx::test::Run("test -e " + dir_ / "out/noname.jar"), 0);

  r = Cli("set" + list + " X -o out");
  EXPECT_EQ(r.code, 1);
  EXPECT_NE(r.out.find("summary: 0 renamed, 8 skipped, 2 failed\n"), std::string::npos) << r.out;
  EXPECT_EQ(Cli("show out/s1.jar").out, "Game 1 汉化版 s1\n") << "a skipped copy stays";

  r = Cli("show s1.jar out/s2.jar bad.jar");
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "s1.jar\tGame 1\nout/s2.jar\tGame 2 汉化版 s2\n");
}

// A name that would break the manifest is refused before anything is
// written, also when it comes from the old name; a long one is cut, and
// said so.
TEST_F(JarnameTest, NamesThatWouldBreakTheManifestAreRefused) {
  MakeJar(std::string("Manifest-Version: 1.0\r\nMIDlet-Name: A\0B\r\n", 41));
  auto r = Cli("set suite.jar 'x {old}' -o out.jar");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("NUL"), std::string::npos) << r.err;
  EXPECT_NE(qmx::test::Run("test -e " + dir_ / "out.jar"), 0);
  r = Cli("set suite.jar \"$(printf 'two\\nlines')\" -o out.jar");
  EXPECT_EQ(r.code, 2);
  EXPECT_NE(r.err.find("line breaks"), std::string::npos) << r.err;
  EXPECT_NE(qmx::test::Run("test -e " + dir_ / "out.jar"), 0);

  MakeJar("Manifest-Version: 1.0\r\nMIDlet-Name: Old\r\n");
  std::string longName;
  for (int i = 0; i < 40; ++i) longName += "长";
  r = Cli("set suite.jar " + longName + " -o out.jar");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: the name is longer"), std::string::npos) << r.err;
  // 99 bytes with the leading blank: 32 characters of three bytes.
  EXPECT_EQ(Cli("show out.jar").out, longName.substr(0, 32 * 3) + "\n");
}

// A suite whose central directory is gone cannot be copied entry by entry:
// the conversion salvages it from its local headers, and -v says why.
TEST_F(JarnameTest, ADamagedSuiteIsRenamedByConversion) {
  Sh("mkdir -p src/META-INF src/app && printf 'Manifest-Version: 1.0\\r\\nMIDlet-Name: Game\\r\\n' "
     "> src/META-INF/MANIFEST.MF && printf 'payload' > src/app/a.bin && "
     "cd src && zip -qr ../suite.jar META-INF app");
  std::string bytes = ReadFile(dir_ / "suite.jar");
  WriteFile(dir_ / "suite.jar", bytes.substr(0, bytes.find("PK\x01\x02")));
  const TResult r = Cli("set suite.jar New -o out.jar -v");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("cannot be copied as it is (the central directory is missing"),
            std::string::npos)
      << r.err;
  Sh("unzip -tq out.jar >/dev/null && unzip -p out.jar app/a.bin | grep -q payload");
  EXPECT_EQ(Cli("show out.jar").out, "New\n");
}

// 70,000 entries: show reads the manifest alone, fast, and writes nothing;
// the renamed copy counts its entries in a Zip64 end record.
TEST_F(JarnameTest, AHugeSuiteIsShownAtOnceAndCopiedWithTheRightCount) {
  Sh("python3 -c \"import zipfile\n"
     "with zipfile.ZipFile('big.jar', 'w') as z:\n"
     "  z.writestr('META-INF/MANIFEST.MF', 'Manifest-Version: 1.0\\r\\nMIDlet-Name: Many\\r\\n')\n"
     "  for i in range(70000): z.writestr('d%d/f%d' % (i % 100, i), str(i))\"");
  Sh("mkdir tmp && ls -A > before.txt");
  const std::string command = "TMPDIR=$PWD/tmp " + Binary() + " show big.jar";
  Sh("s=$EPOCHREALTIME; " + command + " > name.txt; e=$EPOCHREALTIME; "
     "echo \"$s $e\" | awk '{print $2 - $1}' > took.txt");
  EXPECT_EQ(ReadFile(dir_ / "name.txt"), "Many\n");
  EXPECT_LT(std::stod(ReadFile(dir_ / "took.txt")), 1.0);
  Sh("ls -A | grep -vx -e after.txt -e name.txt -e took.txt > after.txt");
  EXPECT_EQ(ReadFile(dir_ / "after.txt"), ReadFile(dir_ / "before.txt")) << "show wrote something";
  EXPECT_EQ(qmx::test::Run("test -z \"$(ls -A " + dir_ / "tmp" + ")\""), 0) << "show wrote something";

  const TResult r = Cli("set big.jar More -o more.jar");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("integrity: ok (70001 entries)"), std::string::npos) << r.out;
  Sh("7zz t more.jar > t.txt 2>&1 && ! grep -qi warning t.txt");
  Sh("python3 -c \"import zipfile; assert len(zipfile.ZipFile('more.jar').infolist()) == 70001\"");
}

}  // namespace
