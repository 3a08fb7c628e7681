// The encoded-text reader against uuencode, uuencode -m, Python's binascii
// and base64, xxencoded and "table" texts, split multi-part sets, and the
// cases the header rules decide (names, short files, Base64 that starts
// with "M").
#include "archive/formats/uu/uu_reader.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/files.h"
#include "archive/platform/paths.h"
#include "formats/tar_test_support.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using namespace qmx::test;

int Sh(const std::string& cmd) {
  return test::Run(cmd);
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

struct TUuRun {
  TReaderLog Log;
  int Count = 0;
  TAlgorithm Algorithm = uudecode;
};

TUuRun Decode(TempDir& dir, const std::string& file,
              const std::function<void(TUUDecode&)>& setup = {}) {
  Sh("mkdir -p " + dir / "out");
  TUuRun run;
  TUUDecode uu;
  Attach(uu, run.Log);
  uu.SetArchiveFile(dir / file);
  uu.SetExtractDir(dir / "out");
  uu.SetFileSpec({"*.*"});
  if (setup) setup(uu);
  run.Count = uu.Extract();
  run.Algorithm = uu.Algorithm();
  return run;
}

// xxencode is uuencode with another alphabet: translate each character.
std::string UuToXx(const std::string& uu) {
  const std::string from = "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";
  const std::string to = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
  std::string out;
  std::size_t line = 0;
  for (std::size_t i = 0; i < uu.size(); ++i) {
    const char c = uu[i];
    const bool header = uu.compare(line, 5, "begin") == 0 || uu.compare(line, 3, "end") == 0;
    if (c == '\n') line = i + 1;
    const std::size_t at = from.find(c == ' ' ? '`' : c);
    out.push_back(header || c == '\n' || c == '\r' || at == std::string::npos ? c : to[at]);
  }
  return out;
}

TEST(UUDecode, WhatPeersEncodeDecodesLikeUudecode) {
  TempDir dir;
  const std::string data = RandomBytes(100000, 1);
  WriteFile(dir / "data", data);
  ASSERT_EQ(Sh("cd " + dir.path() +
               " && uuencode data a.bin > lf.uue && uuencode -m data b.bin > m.b64"
               " && sed 's/$/\\r/' lf.uue > crlf.uue && uudecode -o peer.bin crlf.uue"),
            0);
  ASSERT_EQ(ReadFile(dir / "peer.bin"), data);
  // Python: binascii's uu lines with CR LF, base64 at 76 and 70 columns and
  // without padding.
  ASSERT_EQ(Sh("cd " + dir.path() +
               " && python3 -c \"\n"
               "import binascii, base64\n"
               "d = open('data', 'rb').read()\n"
               "u = ['begin 600 py.bin'] + [binascii.b2a_uu(d[i:i+45]).decode().rstrip('\\n')"
               " for i in range(0, len(d), 45)] + ['\\x60', 'end']\n"
               "open('py.uue', 'w', newline='').write('\\r\\n'.join(u) + '\\r\\n')\n"
               "e = base64.b64encode(d).decode()\n"
               "for w, name in ((76, 'p76'), (70, 'p70')):\n"
               "    open(name + '.b64', 'w').write('begin-base64 644 ' + name + '\\n' +"
               " '\\n'.join(e[i:i+w] for i in range(0, len(e), w)) + '\\n====\\n')\n"
               "e = e.rstrip('=')\n"
               "open('np.b64', 'w').write('begin-base64 644 np\\n' + e + '\\nend\\n')\n"
               "\""),
            0);
  const struct {
    const char* File;
    const char* Out;
    TAlgorithm Algorithm;
  } cases[] = {{"lf.uue", "a.bin", uudecode},    {"crlf.uue", "a.bin", uudecode},
               {"m.b64", "b.bin", base64decode}, {"py.uue", "py.bin", uudecode},
               {"p76.b64", "p76", base64decode}, {"p70.b64", "p70", base64decode},
               {"np.b64", "np", base64decode}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.File);
    const TUuRun run = Decode(dir, c.File);
    EXPECT_EQ(run.Algorithm, c.Algorithm);
    ASSERT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
    EXPECT_TRUE(ReadFile(dir / ("out/" + std::string(c.Out))) == data);
    Sh("rm -f " + dir / ("out/" + std::string(c.Out)));
  }
}

TEST(UUDecode, XxencodeBlanksAndTables) {
  TempDir dir;
  const std::string data = RandomBytes(5000, 2);
  WriteFile(dir / "data", data);
  ASSERT_EQ(Sh("cd " + dir.path() + " && uuencode data x.bin > u.uue"), 0);
  const std::string uu = ReadFile(dir / "u.uue");
  WriteFile(dir / "x.xxe", UuToXx(uu));
  TUuRun run = Decode(dir, "x.xxe");
  EXPECT_EQ(run.Algorithm, xxdecode);
  EXPECT_TRUE(ReadFile(dir / "out/x.bin") == data) << run.Log.ErrorText();

  // Blanks in place of graves decode the same: both are 0.
  std::string blanks = uu;
  for (std::size_t i = uu.find('\n') + 1; i < blanks.size(); ++i)
    if (blanks[i] == '`') blanks[i] = ' ';
  WriteFile(dir / "blank.uue", blanks);
  Sh("rm -f " + dir / "out/x.bin");
  run = Decode(dir, "blank.uue");
  EXPECT_TRUE(ReadFile(dir / "out/x.bin") == data) << run.Log.ErrorText();

  // A "table" header brings its own alphabet: here the xx one, in two
  // lines of 32.
  const std::string table =
      "table\n+-0123456789ABCDEFGHIJKLMNOPQRSTU\nVWXYZabcdefghijklmnopqrstuvwxyz\n";
  WriteFile(dir / "t.xxe", table + UuToXx(uu));
  Sh("rm -f " + dir / "out/x.bin");
  run = Decode(dir, "t.xxe");
  EXPECT_TRUE(ReadFile(dir / "out/x.bin") == data) << run.Log.ErrorText();

  // The corpus's xxencoded files, from uuenview.
  const std::string corpus = CorpusFile("generated/text/first.txt.xxe");
  ASSERT_EQ(Sh("cp " + corpus + " " + dir / "first.xxe"), 0);
  run = Decode(dir, "first.xxe");
  EXPECT_EQ(ReadFile(dir / "out/first.txt"), ReadFile(CorpusFile("zip/expected/zip2/first.txt")));
}

TEST(UUDecode, HeaderRules) {
  TempDir dir;
  // The name ends at the first blank.
  WriteFile(dir / "sp.uue", "begin 644 my file.txt\n%:&5L;&\\`\n`\nend\n");
  TUuRun run = Decode(dir, "sp.uue");
  EXPECT_EQ(ReadFile(dir / "out/my"), "hello");
  // A final "QQ==" group is one byte.
  WriteFile(dir / "q.b64", "begin-base64 644 q\r\naGVsbG8gUQ==\r\nend\r\n");
  run = Decode(dir, "q.b64");
  EXPECT_EQ(ReadFile(dir / "out/q"), "hello Q");
  // Base64 data that starts with "M" or "h" is still Base64 under its header.
  WriteFile(dir / "m.b64", "begin-base64 644 m\nMTIzNDU2Nzg5MA==\n====\n");
  run = Decode(dir, "m.b64");
  EXPECT_EQ(run.Algorithm, base64decode);
  EXPECT_EQ(ReadFile(dir / "out/m"), "1234567890");
  // Files under 45 bytes have no "M" line: their line length tells uu.
  for (std::size_t n : {1u, 5u, 20u, 44u}) {
    SCOPED_TRACE(n);
    const std::string small = RandomBytes(n, static_cast<unsigned>(n));
    WriteFile(dir / "small", small);
    ASSERT_EQ(Sh("cd " + dir.path() + " && uuencode small s.bin > s.uue"), 0);
    run = Decode(dir, "s.uue");
    EXPECT_EQ(run.Algorithm, uudecode);
    EXPECT_TRUE(ReadFile(dir / "out/s.bin") == small);
    Sh("rm -f " + dir / "out/s.bin");
  }
  // Names keep to the target directory.
  WriteFile(dir / "evil.uue", "begin 644 ../../evil.txt\n%:&5L;&\\`\n`\nend\n");
  run = Decode(dir, "evil.uue");
  EXPECT_FALSE(FileExists(dir / "evil.txt"));
  EXPECT_EQ(ReadFile(dir / "out/evil.txt"), "hello");
  // A "size" line is a hint; an absurd one changes nothing.
  WriteFile(dir / "big.uue",
            "size 44444444444444444444444444\nbegin 644 big.txt\n%:&5L;&\\`\n`\nend\n");
  run = Decode(dir, "big.uue");
  EXPECT_EQ(ReadFile(dir / "out/big.txt"), "hello");
  // Nothing that begins.
  WriteFile(dir / "none.uue", "just text\nno begin line\n");
  run = Decode(dir, "none.uue");
  EXPECT_TRUE(run.Log.HasError(E_HEADER_NOT_FOUND));
  EXPECT_TRUE(run.Log.Passed.empty());
}

TEST(UUDecode, PartNames) {
  TUUDecode uu;
  EXPECT_EQ(uu.PartName("/d/x.uue", 2), "/d/x.uu2");
  EXPECT_EQ(uu.PartName("/d/x.uue", 12), "/d/x.u12");
  EXPECT_EQ(uu.PartName("/d/x.uue", 123), "/d/x.123");
  EXPECT_EQ(uu.PartName("/d/test.001", 4), "/d/test.004");
  EXPECT_EQ(uu.PartName("/d/test.001", 10), "/d/test.010");
  uu.NextVolumeName = nvChangeFilename;
  EXPECT_EQ(uu.PartName("/d/x.uue", 2), "/d/x2.uue");
  EXPECT_EQ(uu.PartName("/d/longname.uue", 12), "/d/longna12.uue");
  uu.VolumeLongFilenames = true;
  EXPECT_EQ(uu.PartName("/d/longname.uue", 12), "/d/longname12.uue");
  uu.SetVolumeStartNum(42);
  EXPECT_EQ(uu.VolumeStartNum(), 10);
}

TEST(UUDecode, SplitSetsAcrossTwoAndTwelveParts) {
  TempDir dir;
  const std::string data = RandomBytes(200000, 3);
  WriteFile(dir / "data", data);
  ASSERT_EQ(Sh("cd " + dir.path() + " && uuencode data set.bin > whole.uue"), 0);
  for (int parts : {2, 12}) {
    SCOPED_TRACE(parts);
    ASSERT_EQ(Sh("cd " + dir.path() + " && rm -f p?? s.* && split -d -n l/" +
                 std::to_string(parts) + " whole.uue p"),
              0);
    TUUDecode names;
    for (int i = 0; i < parts; ++i) {
      const std::string piece = ReadFile(dir / ((i < 10 ? "p0" : "p") + std::to_string(i)));
      // Some parts come with mail headers and CR LF line ends.
      std::string text =
          i % 3 == 1 ? "From: a@b\nSubject: part " + std::to_string(i + 1) + "\n\n" + piece : piece;
      if (i % 4 == 2) {
        std::string crlf;
        for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        text = crlf;
      }
      WriteFile(i == 0 ? dir / "s.uue" : names.PartName(dir / "s.uue", i + 1), text);
    }
    Sh("rm -f " + dir / "out/set.bin");
    const TUuRun run = Decode(dir, "s.uue");
    ASSERT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
    EXPECT_TRUE(ReadFile(dir / "out/set.bin") == data);
  }
  // The last part missing, no handler: 25270, no verdict, the bytes so far
  // kept.
  Sh("rm -f " + dir / "out/set.bin " + dir / "s.u12");
  TUuRun run = Decode(dir, "s.uue");
  EXPECT_TRUE(run.Log.HasError(E_EVENT_NOT_ASSIGNED)) << run.Log.ErrorText();
  EXPECT_TRUE(run.Log.Passed.empty() && run.Log.Failed.empty());
  const std::string kept = ReadFile(dir / "out/set.bin");
  EXPECT_GT(kept.size(), data.size() / 2);
  EXPECT_TRUE(data.compare(0, kept.size(), kept) == 0);
  // A handler may name the part elsewhere, or give up.
  ASSERT_EQ(Sh("mkdir " + dir / "elsewhere && cp " + dir / "p11 " + dir / "elsewhere/last.txt"), 0);
  std::vector<int> asked;
  run = Decode(dir, "s.uue", [&](TUUDecode& uu) {
    uu.OnNextVolume = [&](TZipCommon&, std::string& name, int id, bool exists, bool&) {
      asked.push_back(id);
      if (!exists) name = dir / "elsewhere/last.txt";
    };
  });
  EXPECT_EQ(asked.back(), 12);
  EXPECT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
  EXPECT_TRUE(ReadFile(dir / "out/set.bin") == data);
  run = Decode(dir, "s.uue", [](TUUDecode& uu) {
    uu.OnNextVolume = [](TZipCommon&, std::string&, int, bool, bool& cancel) { cancel = true; };
  });
  EXPECT_TRUE(run.Log.Passed.empty() && run.Log.Failed.empty());
}

TEST(UUDecode, ANineNineNineSetMakesAFilePerPart) {
  TempDir dir;
  WriteFile(dir / "a", "first file");
  WriteFile(dir / "b", "second file");
  ASSERT_EQ(Sh("cd " + dir.path() +
               " && uuencode a a.txt | sed '/^end/d; s/^begin 6../begin 999/' > m.uue"
               " && uuencode b b.txt > m.uu2"),
            0);
  const TUuRun run = Decode(dir, "m.uue");
  EXPECT_EQ(ReadFile(dir / "out/a.txt"), "first file");
  EXPECT_EQ(ReadFile(dir / "out/b.txt"), "second file");
  EXPECT_EQ(run.Log.Begun.size(), 1u);
  ASSERT_EQ(run.Log.Passed.size(), 1u) << run.Log.ErrorText();
  EXPECT_EQ(ExtractFileName(run.Log.Passed[0]), "b.txt");
}

}  // namespace
}  // namespace qmx
