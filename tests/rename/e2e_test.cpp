// Renames suites written by other tools (the JDK's jar, Info-ZIP zip,
// Python's zipfile) with the built jarname program and checks the copy with
// those tools and the JDK's own JarInputStream.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

#ifndef QMX_JARNAME
#define QMX_JARNAME "jarname"
#endif

enum TWriter { wJar, wZip, wPython };

struct TCase {
  const char* Label;
  TWriter Writer;
  std::string Manifest;  // as given to the writer
  std::string NewName;
  std::string ShownOld;  // what `show` prints for the source
};

std::string Long(const std::string& unit, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += unit;
  return s;
}

const std::vector<TCase>& Cases() {
  static const std::vector<TCase> cases = {
      {"jar_crlf", wJar,
       "Manifest-Version: 1.0\r\nMIDlet-Name: Space Game\r\nMIDlet-Vendor: V\r\n"
       "MIDlet-1: Game, /i.png, app.Main\r\n",
       "新游戏", "Space Game"},
      // jar folds this value at 72 bytes into continuation lines.
      {"jar_long_chinese", wJar,
       "Manifest-Version: 1.0\nMIDlet-Name: " + Long("超级游戏", 12) + "\nMIDlet-Vendor: V\n",
       "Short", ""},
      {"zip_crlf_continued", wZip,
       "Manifest-Version: 1.0\r\nMIDlet-Name: Part one\r\n  and two\r\nMIDlet-Vendor: V\r\n",
       "Renamed Game", "Part one and two"},
      {"zip_lf_chinese", wZip, "Manifest-Version: 1.0\nMIDlet-Name: 旧游戏\nMIDlet-Version: 1.0\n",
       "新的名字 2", "旧游戏"},
      {"python_crlf_long", wPython,
       "Manifest-Version: 1.0\r\nMIDlet-Name: " + Long("abcdefghij", 15) +
           "\r\nMIDlet-Vendor: V\r\n\r\n",
       "新游戏", ""},
      {"python_lf_continued_chinese", wPython,
       "Manifest-Version: 1.0\nMIDlet-Name: 中文\n 名称\nMicroEdition-Profile: MIDP-2.0\n", "X",
       "中文名称"},
  };
  return cases;
}

// The manifest with the MIDlet-Name value, continuation lines included,
// replaced by " " + name; every other byte kept.
std::string Renamed(const std::string& mf, const std::string& name) {
  std::size_t at = mf.rfind("\nMIDlet-Name:");
  if (at == std::string::npos) return "";
  const std::size_t value = at + 1 + 12;
  std::size_t eol = mf.find_first_of("\r\n", value);
  for (;;) {
    std::size_t next = eol + (mf.compare(eol, 2, "\r\n") == 0 ? 2 : 1);
    if (next >= mf.size() || mf[next] != ' ') break;
    eol = mf.find_first_of("\r\n", next);
  }
  return mf.substr(0, value) + " " + name + mf.substr(eol);
}

// Deterministic filler bytes.
std::string Bytes(std::size_t n, std::uint32_t seed) {
  std::string s(n, '\0');
  for (char& c : s) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  return s;
}

const char kCheckJava[] = R"(import java.io.*;
import java.nio.charset.StandardCharsets;
import java.util.jar.*;
public class Check {
  public static void main(String[] a) throws Exception {
    try (JarInputStream in = new JarInputStream(new FileInputStream(a[0]), true)) {
      Manifest m = in.getManifest();
      if (m == null) System.exit(3);
      int n = 0;
      byte[] buf = new byte[8192];
      for (JarEntry e; (e = in.getNextJarEntry()) != null;) {
        while (in.read(buf) > 0) {}
        if (!e.isDirectory()) n++;
      }
      String v = m.getMainAttributes().getValue("MIDlet-Name");
      System.out.write((v + "\n" + n + "\n").getBytes(StandardCharsets.UTF_8));
      System.out.flush();
    }
  }
}
)";

// First entry's name, then the number of files besides the manifest and their
// sorted names. Directory entries carry no data and need not be copied.
const char kInfoPy[] = R"(import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
names = [i.filename for i in z.infolist()]
files = sorted(n for n in names if not n.endswith("/") and n != "META-INF/MANIFEST.MF")
print(names[0])
print(len(files))
print("\n".join(files))
)";

const char kMakePy[] = R"(import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for root, dirs, files in sorted(os.walk("src")):
        for f in sorted(files):
            p = os.path.join(root, f)
            if f != "MANIFEST.MF":
                z.write(p, os.path.relpath(p, "src"))
    z.write("src/META-INF/MANIFEST.MF", "META-INF/MANIFEST.MF")
)";

// Every entry of the source but the manifest (and the names given after the
// two archives) is in the copy, in the same order after the manifest, with
// its local header fields, name, extra field, compressed data and directory
// record as they were. Prints how many were compared.
const char kSamePy[] = R"(import struct, sys, zipfile
def entries(path):
    z = zipfile.ZipFile(path)
    f = open(path, "rb")
    out = []
    for i in z.infolist():
        f.seek(i.header_offset)
        h = f.read(30)
        nl, el = struct.unpack("<HH", h[26:30])
        local = (h[4:26], f.read(nl), f.read(el), f.read(i.compress_size))
        central = (i.comment, i.extra, i.external_attr, i.internal_attr, i.create_system,
                   i.create_version, i.extract_version, i.flag_bits, i.compress_type,
                   i.date_time, i.CRC, i.compress_size, i.file_size)
        out.append((i.filename, local, central))
    return out
manifest = "META-INF/MANIFEST.MF"
src, dst = entries(sys.argv[1]), entries(sys.argv[2])
assert dst[0][0] == manifest, dst[0][0]
kept = [e for e in src if e[0] != manifest and e[0] not in sys.argv[3:]]
rest = dst[1:]
assert [e[0] for e in rest] == [e[0] for e in kept], ([e[0] for e in rest], [e[0] for e in kept])
for a, b in zip(kept, rest):
    assert a == b, a[0]
print(len(kept))
)";

void PrintTo(const TCase& c, std::ostream* os) {
  *os << c.Label;
}

class RenameE2E : public ::testing::TestWithParam<TCase> {
 protected:
  std::string Out(const std::string& cmd) {
    const std::string file = dir_ / "cmd.out";
    EXPECT_EQ(qmx::test::Run("cd " + dir_.path() + " && " + cmd + " >" + file), 0) << cmd;
    return ReadFile(file);
  }
  void Sh(const std::string& cmd) { Out(cmd); }

  void MakeSuite(const TCase& c) {
    Sh("mkdir -p src/app/util src/res/img/deep");
    WriteFile(dir_ / "src/app/Main.class", "\xCA\xFE\xBA\xBE" + Bytes(3000, 1));
    WriteFile(dir_ / "src/app/util/Helper.class", "\xCA\xFE\xBA\xBE" + Bytes(700, 2));
    WriteFile(dir_ / "src/res/img/deep/icon.png", "\x89PNG\r\n\x1A\n" + Bytes(5000, 3));
    WriteFile(dir_ / "src/res/text.txt", Long("level 1 2 3 4\n", 400));
    WriteFile(dir_ / "src/res/empty.dat", "");
    switch (c.Writer) {
      case wJar:
        WriteFile(dir_ / "m.txt", c.Manifest);
        Sh("cd src && jar cfm ../suite.jar ../m.txt app res");
        break;
      case wZip:  // manifest added last: the copy must still start with it
        Sh("mkdir -p src/META-INF");
        WriteFile(dir_ / "src/META-INF/MANIFEST.MF", c.Manifest);
        Sh("cd src && zip -q -r -X ../suite.jar app res META-INF");
        break;
      case wPython:
        Sh("mkdir -p src/META-INF");
        WriteFile(dir_ / "src/META-INF/MANIFEST.MF", c.Manifest);
        WriteFile(dir_ / "make.py", kMakePy);
        Sh("python3 make.py suite.jar");
        break;
    }
  }
  TempDir dir_;
};

TEST_P(RenameE2E, CopyCarriesTheNewNameAndEverythingElseUnchanged) {
  const TCase& c = GetParam();
  MakeSuite(c);
  const std::string jarname = QMX_JARNAME;
  const std::string srcManifest = Out("unzip -p suite.jar META-INF/MANIFEST.MF");
  if (c.Writer != wJar) {
    ASSERT_EQ(srcManifest, c.Manifest);
  }
  const std::string expected = Renamed(srcManifest, c.NewName);
  ASSERT_FALSE(expected.empty()) << srcManifest;
  if (!c.ShownOld.empty()) {
    EXPECT_EQ(Out(jarname + " show suite.jar"), c.ShownOld + "\n");
  }

  Sh(jarname + " set suite.jar '" + c.NewName + "' -o out.jar -y -v 2>log.txt");
  const std::string log = ReadFile(dir_ / "log.txt");
  EXPECT_NE(log.find("entries unchanged"), std::string::npos) << log;
  EXPECT_EQ(log.find("extracting and compressing"), std::string::npos) << log;
  EXPECT_EQ(Out("unzip -p out.jar META-INF/MANIFEST.MF"), expected);
  WriteFile(dir_ / "same.py", kSamePy);
  EXPECT_NE(Out("python3 same.py suite.jar out.jar"), "0\n");

  // Every other entry holds the source's bytes.
  Sh("unzip -q suite.jar -d x_src && unzip -q out.jar -d x_out");
  Sh("diff -r -x MANIFEST.MF x_src x_out");
  Sh("diff -r -x META-INF src x_out");

  WriteFile(dir_ / "info.py", kInfoPy);
  const std::string srcInfo = Out("python3 info.py suite.jar");
  const std::string outInfo = Out("python3 info.py out.jar");
  const std::size_t first = outInfo.find('\n');
  ASSERT_EQ(outInfo.substr(0, first), "META-INF/MANIFEST.MF");
  EXPECT_EQ(outInfo.substr(first), srcInfo.substr(srcInfo.find('\n')));
  const std::string count = outInfo.substr(first, outInfo.find('\n', first + 1) + 1 - first);

  Sh("7zz t out.jar >/dev/null");
  Sh("unzip -tq out.jar >/dev/null");

  WriteFile(dir_ / "Check.java", kCheckJava);
  EXPECT_EQ(Out("java Check.java out.jar"), c.NewName + count);
  EXPECT_EQ(Out(jarname + " show out.jar"), c.NewName + "\n");
}

INSTANTIATE_TEST_SUITE_P(Writers, RenameE2E, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.Label); });

// A suite signed with jarsigner: kept as it is, it warns; with --unsign the
// copy and its descriptor carry no signature, and the JDK sees an unsigned
// jar whose entries are all there.
TEST(RenameSigned, UnsignLeavesTheSignatureOut) {
  TempDir dir;
  auto sh = [&](const std::string& cmd) {
    const std::string file = dir / "cmd.out";
    EXPECT_EQ(qmx::test::Run("cd " + dir.path() + " && " + cmd + " >" + file + " 2>&1"), 0)
        << cmd << "\n" << ReadFile(file);
    return ReadFile(file);
  };
  if (qmx::test::Run("command -v jarsigner >/dev/null && command -v keytool >/dev/null") != 0)
    GTEST_SKIP() << "no jarsigner";
  sh("mkdir -p src/app && head -c 4000 /dev/urandom > src/app/Main.class && "
     "printf 'Manifest-Version: 1.0\\r\\nMIDlet-Name: Signed Game\\r\\n' > m.txt && "
     "cd src && jar cfm ../suite.jar ../m.txt app");
  sh("keytool -genkeypair -keystore ks.p12 -storetype PKCS12 -storepass secret -keypass secret "
     "-alias me -keyalg RSA -keysize 2048 -dname CN=Test -validity 30");
  sh("jarsigner -keystore ks.p12 -storepass secret suite.jar me");
  WriteFile(dir / "suite.jad",
            "MIDlet-Name: Signed Game\r\nMIDlet-Jar-URL: suite.jar\r\nMIDlet-Jar-Size: 1\r\n"
            "MIDlet-Jar-RSA-SHA1: c2lnbmF0dXJl\r\nMIDlet-Certificate-1-1: Y2VydA==\r\n"
            "MIDlet-Vendor: V\r\n");
  const std::string jarname = QMX_JARNAME;

  std::string log = sh(jarname + " set suite.jar Kept -o kept.jar --jad");
  EXPECT_NE(log.find("no longer validly signed"), std::string::npos) << log;
  EXPECT_NE(sh("unzip -Z1 kept.jar").find("META-INF/ME.RSA"), std::string::npos);
  EXPECT_NE(ReadFile(dir / "kept.jad").find("MIDlet-Jar-RSA-SHA1"), std::string::npos);

  log = sh(jarname + " set suite.jar Free -o free.jar --jad --unsign");
  EXPECT_EQ(log.find("no longer validly signed"), std::string::npos) << log;
  EXPECT_NE(log.find("signature: removed"), std::string::npos) << log;
  const std::string names = sh("unzip -Z1 free.jar");
  EXPECT_EQ(names.find(".SF"), std::string::npos) << names;
  EXPECT_EQ(names.find(".RSA"), std::string::npos) << names;
  EXPECT_NE(names.find("app/Main.class"), std::string::npos) << names;
  EXPECT_EQ(ReadFile(dir / "free.jad"),
            "MIDlet-Name: Free\r\nMIDlet-Jar-URL: free.jar\r\nMIDlet-Jar-Size: " +
                std::to_string(ReadFile(dir / "free.jar").size()) + "\r\nMIDlet-Vendor: V\r\n");
  EXPECT_NE(sh("jarsigner -verify free.jar").find("jar is unsigned"), std::string::npos);
  WriteFile(dir / "same.py", kSamePy);
  EXPECT_NE(sh("python3 same.py suite.jar free.jar META-INF/ME.SF META-INF/ME.RSA"), "0\n");
  WriteFile(dir / "Check.java", kCheckJava);
  EXPECT_EQ(sh("java Check.java free.jar"), "Free\n1\n");
  sh("7zz t free.jar && unzip -tq free.jar");
}

}  // namespace
