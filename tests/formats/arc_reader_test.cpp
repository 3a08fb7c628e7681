// The ARC reader against arc itself: archives made by `arc a` with files
// that steer it to every method it writes extract to the same bytes as
// `arc x`; damaged data fails only its entry, hostile headers and names
// fail cleanly, and an archive behind a stub is found.
#include "archive/formats/arc/arc_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/codec/byte_order.h"
#include "archive/codec/crc.h"
#include "support/reader_log.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

using TLog = qmx::test::TArcLog;

// One entry as arc writes it (method 1 has the short header).
std::string Entry(int method, const std::string& name, const std::string& data,
                  std::uint32_t original, std::uint16_t crc) {
  std::string h(method == 1 ? 25 : 29, '\0');
  h[0] = 0x1A;
  h[1] = static_cast<char>(method);
  std::copy(name.begin(), name.begin() + std::min<std::size_t>(name.size(), 12), h.begin() + 2);
  auto* p = reinterpret_cast<std::uint8_t*>(h.data());
  qmx::PutLE32(p + 15, static_cast<std::uint32_t>(data.size()));
  qmx::PutLE16(p + 19, 0x5A21);
  qmx::PutLE16(p + 21, 0x6000);
  qmx::PutLE16(p + 23, crc);
  if (method != 1) qmx::PutLE32(p + 25, original);
  return h + data;
}

std::string Stored(const std::string& name, const std::string& data, int method = 2) {
  return Entry(method, name, data, static_cast<std::uint32_t>(data.size()),
               qmx::Crc16(data.data(), data.size()));
}

const std::string kEnd("\x1A\x00", 2);

class ArcReader : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Sh("command -v arc >/dev/null") != 0) GTEST_SKIP() << "arc is needed";
  }
  int Sh(const std::string& cmd) {
    return qmx::test::Run("cd " + dir_.path() + " && " + cmd + " >/dev/null 2>&1");
  }
  std::string ShOut(const std::string& cmd) {
    const std::string out = dir_.path() + ".out";
    qmx::test::Run("cd " + dir_.path() + " && " + cmd + " >" + out + " 2>&1");
    return ReadFile(out);
  }
  // Files that steer arc to each method: noise is stored, a few long runs
  // are packed, a small text of eight letters is squeezed, long text is
  // crunched (or squashed with "aq"), and runs of 0x90 test its marker.
  void MakeSources() {
    ASSERT_EQ(Sh("mkdir -p src"), 0);
    std::mt19937 rng(5);
    std::string noise, runs, letters, text, marks;
    for (int i = 0; i < 50000; ++i) noise += static_cast<char>(rng() >> 24);
    for (int i = 0; i < 150; ++i) {
      char c;
      do c = static_cast<char>(rng() >> 24);
      while (static_cast<unsigned char>(c) == 0x90);
      runs += std::string(3 + rng() % 253, c);
    }
    for (int i = 0; i < 1500; ++i) letters += static_cast<char>('a' + rng() % 8);
    for (int i = 0; i < 40000; ++i) text += "row " + std::to_string(i * 7919 % 1000) + " of it\n";
    for (int i = 0; i < 6000; ++i) {
      const unsigned choice = rng() % 3;
      const char c = choice < 2 ? '\x90' : static_cast<char>(rng() >> 24);
      marks += std::string(1 + rng() % 6, c);
    }
    WriteFile(dir_ / "src/noise.bin", noise);
    WriteFile(dir_ / "src/runs.bin", runs);
    WriteFile(dir_ / "src/letters.txt", letters);
    WriteFile(dir_ / "src/text.txt", text);
    WriteFile(dir_ / "src/marks.bin", marks);
    WriteFile(dir_ / "src/empty", "");
    WriteFile(dir_ / "src/one", "x");
  }
  // Files and directories below rel.
  std::map<std::string, std::string> Tree(const std::string& rel) {
    return qmx::test::FileTree(dir_.path() + rel, true);
  }
  TLog Run(const std::string& archive, const std::string& rel = "", qmx::TUnArc* keep = nullptr) {
    TLog log;
    qmx::TUnArc own;
    qmx::TUnArc& r = keep ? *keep : own;
    r.SetArchiveFile(dir_ / archive);
    qmx::test::AttachLog(r, log, rel.empty() ? "" : dir_ / rel, true);
    if (rel.empty())
      r.Test();
    else
      r.Extract();
    return log;
  }
  // arc adds files by bare name, from inside src.
  void ArcAdd(const std::string& opts, const std::string& archive) {
    ASSERT_EQ(Sh("cd src && arc " + opts + " ../" + archive + " *"), 0);
  }
  // arc's exit code says whether every entry passed its CRC.
  int ArcExtract(const std::string& archive, const std::string& rel) {
    return Sh("mkdir -p " + rel + " && cd " + rel + " && arc x ../" + archive);
  }
  void Put(const std::string& name, const std::string& data) { WriteFile(dir_ / name, data); }

  TempDir dir_;
};

TEST_F(ArcReader, EveryMethodExtractsAsArcDoes) {
  MakeSources();
  ArcAdd("a", "a.arc");
  ArcAdd("aq", "q.arc");
  const std::string a = ShOut("arc v a.arc");
  const std::string q = ShOut("arc v q.arc");
  // The methods asked for are the ones arc chose.
  for (const char* m : {"Packed", "Squeezed", "Crunched", "--"})
    EXPECT_NE(a.find(m), std::string::npos) << m << "\n" << a;
  EXPECT_NE(q.find("Squashed"), std::string::npos) << q;
  for (const std::string archive : {"a.arc", "q.arc"}) {
    SCOPED_TRACE(archive);
    const std::string theirs = "arc-" + archive, ours = "ours-" + archive;
    // arc 5.21q drops the last byte of a squeezed file when it extracts it
    // and then fails it on its CRC; the rest it extracts as stored.
    EXPECT_NE(ArcExtract(archive, theirs), 0);
    EXPECT_EQ(ReadFile(dir_ / (theirs + "/letters.txt")),
              ReadFile(dir_ / "src/letters.txt").substr(0, 1499));
    qmx::TUnArc r;
    const TLog x = Run(archive, ours, &r);
    EXPECT_TRUE(x.Failed.empty());
    EXPECT_TRUE(x.Errors.empty());
    EXPECT_EQ(x.Passed.size(), 7u);
    EXPECT_EQ(Tree(ours), Tree("src"));
    fs::remove(fs::path(dir_.path()) / theirs / "letters.txt");
    fs::remove(fs::path(dir_.path()) / ours / "letters.txt");
    EXPECT_EQ(Tree(ours), Tree(theirs));
    EXPECT_EQ(r.Entries().size(), 7u);
    const TLog t = Run(archive);
    EXPECT_EQ(t.Passed.size(), 7u);
    EXPECT_TRUE(t.Failed.empty());
  }
}

TEST_F(ArcReader, DamagedEntryFailsAloneAsWithArc) {
  MakeSources();
  ArcAdd("a", "d.arc");
  std::string data = ReadFile(dir_ / "d.arc");
  // The middle of text.txt's crunched data.
  const std::size_t at = data.find("text.txt") + 27 + 30000;
  ASSERT_LT(at, data.size());
  for (int i = 0; i < 3; ++i) data[at + i] = static_cast<char>(data[at + i] ^ 0x5A);
  Put("d.arc", data);
  EXPECT_NE(ShOut("arc t d.arc").find("text.txt fails CRC"), std::string::npos);
  const TLog x = Run("d.arc", "ours");
  EXPECT_EQ(x.Failed, std::vector<std::string>{"text.txt"});
  EXPECT_EQ(x.Passed.size(), 6u);
  EXPECT_NE(ArcExtract("d.arc", "theirs"), 0);
  EXPECT_EQ(ReadFile(dir_ / "ours/letters.txt"), ReadFile(dir_ / "src/letters.txt"));
  for (const char* f : {"noise.bin", "runs.bin", "marks.bin", "one", "empty"})
    EXPECT_EQ(ReadFile(dir_ / ("ours/" + std::string(f))),
              ReadFile(dir_ / ("theirs/" + std::string(f))))
        << f;
}

TEST_F(ArcReader, HostileHeadersFailCleanly) {
  // Unsafe names never leave the target; the old crunching method is
  // refused for its entry alone; the old short header is read.
  std::string a = Stored("../evil", "bad") + Stored("a/b", "bad") +
                  Entry(5, "old.txt", "xxxx", 4, 0) + Stored("short.txt", "short one", 1) +
                  Stored("good.txt", "good") + kEnd;
  Put("h.arc", a);
  TLog x = Run("h.arc", "out/in");
  EXPECT_EQ(x.Passed, (std::vector<std::string>{"short.txt", "good.txt"}));
  EXPECT_TRUE(x.Has(qmx::E_INVALID_NAME));
  EXPECT_TRUE(x.Has(qmx::E_UNSUPPORTED_METHOD));
  EXPECT_FALSE(fs::exists(fs::path(dir_.path()) / "out/evil"));
  EXPECT_EQ(ReadFile(dir_ / "out/in/short.txt"), "short one");

  // A packed size past the end of the file, bad Huffman trees and LZW
  // codes: each fails, none hangs or writes past the original size.
  std::string tree("\x05\x01", 2);  // 261 nodes: too many
  std::string lzw("\x0C\xFF\xFF\xFF\xFF", 5);
  Put("s.arc", Entry(4, "tree", tree, 10, 0) + Entry(8, "lzw", lzw, 10, 0) +
                   Entry(3, "big", std::string(3, '\x90'), 1, 0x1234) +
                   Entry(2, "cut", "abc", 3, 0));
  std::string s = ReadFile(dir_ / "s.arc");
  qmx::PutLE32(reinterpret_cast<std::uint8_t*>(s.data()) + s.rfind("cut") - 2 + 15, 1u << 31);
  Put("s.arc", s);
  x = Run("s.arc");
  EXPECT_TRUE(x.Passed.empty());
  EXPECT_EQ(x.Failed.size(), 4u);

  // Garbage between entries is stepped over with a warning.
  Put("g.arc", Stored("one", "1") + "junk" + Stored("two", "2") + kEnd);
  x = Run("g.arc");
  EXPECT_EQ(x.Passed, (std::vector<std::string>{"one", "two"}));
  EXPECT_TRUE(x.Has(qmx::E_HEADER_NOT_FOUND));
}

TEST_F(ArcReader, FoundBehindAStub) {
  MakeSources();
  // Stubs are recognised by the crunched entry that starts their archive.
  ASSERT_EQ(Sh("rm src/letters.txt src/empty src/marks.bin src/noise.bin src/one src/runs.bin"), 0);
  ArcAdd("a", "a.arc");
  const std::string arc = ReadFile(dir_ / "a.arc");
  ASSERT_EQ(arc.substr(0, 2), "\x1A\x08");
  // A self-unpacking archive starts with a 3-byte jump.
  Put("jump.arc", std::string("\xE9\x10\x00", 3) + arc);
  TLog x = Run("jump.arc", "jump");
  EXPECT_TRUE(x.Errors.empty());
  EXPECT_EQ(Tree("jump"), Tree("src"));
  // A stub of a known size: detected as self-extracting at its offset.
  std::string stub = "MZ" + std::string(6674 - 2, '\0');
  Put("sfx.exe", stub + arc);
  qmx::TUnArc r;
  x = Run("sfx.exe", "sfx", &r);
  EXPECT_EQ(r.ArcType(), qmx::atArcExe);
  EXPECT_TRUE(x.Failed.empty());
  EXPECT_EQ(Tree("sfx"), Tree("src"));
}

}  // namespace
