// The ARJ reader against ARJ itself: archives made by `arj a` with every
// method, directories, comments, volume sets, garbled entries and empty
// files extract to the same trees as `arj x`, and test with arj's
// verdicts; damaged data fails only its entry, a broken header fails
// cleanly, names never leave the target.
#include "archive/formats/arj/arj_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/codec/byte_order.h"
#include "archive/codec/crc.h"
#include "archive/platform/files.h"
#include "support/reader_log.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

using TLog = qmx::test::TArcLog;

class ArjReader : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Sh("command -v arj >/dev/null") != 0) GTEST_SKIP() << "arj is needed";
  }
  int Sh(const std::string& cmd) {
    return qmx::test::Run("cd " + dir_.path() + " && " + cmd + " >/dev/null 2>&1");
  }
  void MakeSources() {
    ASSERT_EQ(Sh("mkdir -p src/sub/inner src/emptydir"), 0);
    std::string text, noise;
    for (int i = 0; i < 40000; ++i) text += "row " + std::to_string(i * 7919 % 1000) + "\n";
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) noise += static_cast<char>(rng() >> 24);
    // Long repeats with distances across the whole window.
    std::string far = noise.substr(0, 30000) + text.substr(0, 20000) + noise.substr(0, 30000);
    WriteFile(dir_ / "src/text.txt", text);
    WriteFile(dir_ / "src/sub/noise.bin", noise);
    WriteFile(dir_ / "src/sub/far.bin", far);
    WriteFile(dir_ / "src/sub/inner/empty", "");
    WriteFile(dir_ / "src/one", "x");
  }
  // Files and directories below rel.
  std::map<std::string, std::string> Tree(const std::string& rel) {
    return qmx::test::FileTree(dir_.path() + rel, true);
  }
  // Our reader over archive: a test run, or an extraction into rel.
  TLog Run(const std::string& archive, const std::string& rel = "",
           const std::vector<std::string>& passwords = {}, qmx::TUnARJ* keep = nullptr) {
    TLog log;
    qmx::TUnARJ own;
    qmx::TUnARJ& r = keep ? *keep : own;
    r.SetArchiveFile(dir_ / archive);
    qmx::test::AttachLog(r, log, rel.empty() ? "" : dir_ / rel, true);
    r.SetPasswords(passwords);
    if (rel.empty())
      r.Test();
    else
      r.Extract();
    return log;
  }
  // arj's own extraction of archive into rel.
  void ArjExtract(const std::string& archive, const std::string& rel,
                  const std::string& opts = "") {
    ASSERT_EQ(Sh("mkdir -p " + rel + " && arj x -y " + opts + " " + archive + " " + rel + "/"), 0);
  }
  std::string Bytes(const std::string& name) { return ReadFile(dir_ / name); }
  void Put(const std::string& name, const std::string& data) { WriteFile(dir_ / name, data); }

  TempDir dir_;
};

TEST_F(ArjReader, EveryMethodExtractsAsArjDoes) {
  MakeSources();
  for (int m = 0; m <= 4; ++m) {
    SCOPED_TRACE("method " + std::to_string(m));
    const std::string a = "m" + std::to_string(m) + ".arj";
    ASSERT_EQ(Sh("arj a -y -r -a1 -m" + std::to_string(m) + " " + a + " src"), 0);
    ASSERT_EQ(Sh("arj t -y " + a), 0);
    ArjExtract(a, "arj" + std::to_string(m));
    qmx::TUnARJ r;
    const TLog x = Run(a, "ours" + std::to_string(m), {}, &r);
    EXPECT_TRUE(x.Failed.empty());
    EXPECT_TRUE(x.Errors.empty());
    EXPECT_EQ(Tree("ours" + std::to_string(m)), Tree("arj" + std::to_string(m)));
    // Unix hosts store Unix times; DOS dates keep them to two seconds.
    const auto ours = fs::last_write_time(dir_ / ("ours" + std::to_string(m) + "/src/text.txt"));
    const auto theirs = fs::last_write_time(dir_ / ("arj" + std::to_string(m) + "/src/text.txt"));
    EXPECT_LE(std::chrono::abs(ours - theirs), std::chrono::seconds(2));
    // The archive really holds the method asked for.
    bool used = false;
    for (const auto& e : r.Entries()) used |= e.Head.Method == m && e.Head.OriginalSize > 1000;
    EXPECT_TRUE(used);
    // Every entry, directories too, passes a test run.
    const TLog t = Run(a);
    EXPECT_EQ(t.Passed.size(), r.Entries().size());
    EXPECT_GE(t.Passed.size(), 8u);
    EXPECT_TRUE(t.Failed.empty());
  }
}

TEST_F(ArjReader, VolumeSetsExtractWhole) {
  MakeSources();
  ASSERT_EQ(Sh("arj a -y -r -m1 -v60k vol.arj src"), 0);
  ASSERT_TRUE(fs::exists(dir_ / "vol.a02")) << "the set should span three volumes or more";
  ArjExtract("vol.arj", "arj", "-v");
  const TLog x = Run("vol.arj", "ours");
  EXPECT_TRUE(x.Failed.empty());
  EXPECT_TRUE(x.Errors.empty());
  EXPECT_EQ(Tree("ours"), Tree("arj"));
  EXPECT_EQ(Run("vol.arj").Failed.size(), 0u);

  // A missing volume fails the entry it splits, not the ones before.
  fs::remove(dir_ / "vol.a02");
  const TLog cut = Run("vol.arj", "cut");
  EXPECT_FALSE(cut.Failed.empty());
  EXPECT_FALSE(cut.Passed.empty());
  // No OnNextVolume to ask: the run is cancelled, as the ZIP reader's is.
  EXPECT_TRUE(cut.Has(qmx::E_USER_CANCELED));
}

TEST_F(ArjReader, CommentsAreKept) {
  Put("a.txt", "first\n");
  Put("b.txt", "second\n");
  Put("ac.txt", "the archive's comment\n");
  Put("fc.txt", "a comment on b\n");
  ASSERT_EQ(Sh("arj a -y c.arj a.txt b.txt -zac.txt"), 0);
  ASSERT_EQ(Sh("arj c -y c.arj b.txt -jzfc.txt"), 0);
  qmx::TUnARJ r;
  const TLog t = Run("c.arj", "", {}, &r);
  EXPECT_EQ(t.Passed.size(), 2u);
  EXPECT_NE(r.ArchiveComment().find("the archive's comment"), std::string::npos);
  ASSERT_EQ(r.Entries().size(), 2u);
  EXPECT_TRUE(r.Entries()[0].Comment.empty());
  EXPECT_NE(r.Entries()[1].Comment.find("a comment on b"), std::string::npos);
}

TEST_F(ArjReader, GarbledEntriesNeedTheirPassword) {
  MakeSources();
  ASSERT_EQ(Sh("arj a -y -r -gsecret g.arj src"), 0);
  ArjExtract("g.arj", "arj", "-gsecret");
  // The right password, after a wrong one in the list.
  const TLog x = Run("g.arj", "ours", {"wrong", "secret"});
  EXPECT_TRUE(x.Failed.empty());
  EXPECT_EQ(Tree("ours"), Tree("arj"));
  // No password and no way to ask: every file entry fails, nothing is written.
  const TLog none = Run("g.arj", "none");
  EXPECT_EQ(none.Failed.size(), 5u);
  EXPECT_TRUE(none.Has(qmx::E_EVENT_NOT_ASSIGNED));
  for (const auto& [name, what] : Tree("none")) EXPECT_EQ(what, "dir") << name;
  // A wrong one is no better. The garble has no check value: tiny entries
  // may decode right with a wrong key, so only the larger ones are judged.
  const TLog wrong = Run("g.arj", "", {"Secret"});
  for (const char* name : {"text.txt", "noise.bin", "far.bin"})
    EXPECT_EQ(std::count(wrong.Failed.begin(), wrong.Failed.end(), name), 1) << name;
}

TEST_F(ArjReader, GostEntriesAreRefusedAsUnsupported) {
  // arj 3.10 cannot write them here (-hg! crashes): the main header of a
  // garbled archive is made to name the GOST cipher.
  Put("a.txt", std::string(5000, 'a'));
  ASSERT_EQ(Sh("arj a -y -gsecret g.arj a.txt"), 0);
  std::string a = Bytes("g.arj");
  auto* p = reinterpret_cast<std::uint8_t*>(a.data());
  const std::uint16_t basic = qmx::GetLE16(p + 2);
  p[4 + 28] = 2;
  qmx::PutLE32(p + 4 + basic, qmx::Crc32(p + 4, basic));
  Put("gost.arj", a);
  TLog log;
  qmx::TUnARJ r;
  r.SetArchiveFile(dir_ / "gost.arj");
  r.SetFileSpec({"*.*"});
  r.SetPasswords({"secret"});
  std::string reason;
  r.OnEnd = [&log](qmx::TZipCommon&, const std::string& f, bool pass) {
    (pass ? log.Passed : log.Failed).push_back(f);
  };
  r.OnError = [&](qmx::TZipCommon&, const std::string&, const std::string& why, const std::string&,
                  int code) {
    log.Errors.push_back(code);
    reason = why;
  };
  r.Test();
  EXPECT_EQ(log.Failed, std::vector<std::string>{"a.txt"});
  EXPECT_TRUE(log.Has(qmx::E_UNSUPPORTED_METHOD));
  EXPECT_NE(reason.find("GOST"), std::string::npos) << reason;
  EXPECT_TRUE(r.EntryInfo().Encrypted);
}

TEST_F(ArjReader, DamagedDataFailsOnlyItsEntry) {
  MakeSources();
  ASSERT_EQ(Sh("arj a -y -m1 d.arj src/text.txt src/sub/noise.bin src/one"), 0);
  qmx::TUnARJ r;
  Run("d.arj", "", {}, &r);
  ASSERT_EQ(r.Entries().size(), 3u);
  // Flip bytes in the middle of the first entry's data.
  std::string a = Bytes("d.arj");
  const auto& h = r.Entries()[0].Head;
  for (int i = 0; i < 4; ++i) a[static_cast<std::size_t>(h.DataAt + h.PackedSize / 2 + i)] ^= 0x5A;
  Put("d.arj", a);
  EXPECT_NE(Sh("arj t -y d.arj"), 0);
  const TLog t = Run("d.arj");
  EXPECT_EQ(t.Failed, std::vector<std::string>{"text.txt"});
  EXPECT_EQ(t.Passed.size(), 2u);
  const TLog x = Run("d.arj", "x");
  EXPECT_EQ(x.Passed.size(), 2u);
  EXPECT_FALSE(fs::exists(dir_ / "x/src/text.txt"));  // a broken file is not kept
  EXPECT_TRUE(Bytes("x/src/sub/noise.bin") == Bytes("src/sub/noise.bin"));
}

TEST_F(ArjReader, BrokenHeadersFailCleanly) {
  MakeSources();
  ASSERT_EQ(Sh("arj a -y -m1 b.arj src/text.txt src/one"), 0);
  qmx::TUnARJ r;
  Run("b.arj", "", {}, &r);
  ASSERT_EQ(r.Entries().size(), 2u);
  const std::string good = Bytes("b.arj");
  // The second header's CRC no longer fits: the first entry still passes.
  std::string a = good;
  a[static_cast<std::size_t>(r.Entries()[1].Head.HeaderAt + 12)] ^= 0x01;
  Put("h.arj", a);
  EXPECT_NE(Sh("arj t -y h.arj"), 0);
  TLog t = Run("h.arj");
  EXPECT_EQ(t.Passed, std::vector<std::string>{"text.txt"});
  EXPECT_TRUE(t.Has(qmx::E_HEADER_NOT_FOUND));
  // A main header that fails: nothing is read.
  a = good;
  a[8] ^= 0x01;
  Put("m.arj", a);
  t = Run("m.arj");
  EXPECT_TRUE(t.Passed.empty());
  EXPECT_TRUE(t.Has(qmx::E_HEADER_NOT_FOUND));
  // Cut anywhere: never more than an error.
  for (std::size_t cut : {std::size_t{3}, std::size_t{40}, good.size() / 2}) {
    Put("c.arj", good.substr(0, cut));
    t = Run("c.arj", "cut");
    EXPECT_LE(t.Passed.size(), 1u);
    EXPECT_FALSE(t.Errors.empty() && t.Failed.empty()) << cut;
  }
  // Without its end mark the entries are whole; the end is still reported.
  Put("c.arj", good.substr(0, good.size() - 3));
  t = Run("c.arj");
  EXPECT_EQ(t.Passed.size(), 2u);
  EXPECT_TRUE(t.Has(qmx::E_HEADER_NOT_FOUND));
}

// A stored entry with any name, as a hostile archive would hold it.
std::string Header(const std::string& name, std::uint8_t fileType, const std::string& data,
                   std::uint8_t flags = 0) {
  std::string basic(30, '\0');
  basic[0] = 30;
  basic[1] = 11;
  basic[2] = 1;
  basic[4] = static_cast<char>(flags);
  basic[6] = static_cast<char>(fileType);
  auto* b = reinterpret_cast<std::uint8_t*>(basic.data());
  qmx::PutLE32(b + 8, 0x5A210000);  // a DOS date in 2025
  qmx::PutLE32(b + 12, static_cast<std::uint32_t>(data.size()));
  qmx::PutLE32(b + 16, static_cast<std::uint32_t>(data.size()));
  qmx::PutLE32(b + 20, qmx::Crc32(data.data(), data.size()));
  basic += name + '\0' + '\0';
  std::string h = "\x60\xEA";
  std::uint8_t n[4];
  qmx::PutLE16(n, static_cast<std::uint16_t>(basic.size()));
  h.append(reinterpret_cast<char*>(n), 2);
  h += basic;
  qmx::PutLE32(n, qmx::Crc32(basic.data(), basic.size()));
  h.append(reinterpret_cast<char*>(n), 4);
  h += std::string(2, '\0');
  return h + data;
}

TEST_F(ArjReader, NamesNeverLeaveTheTarget) {
  const std::string a = Header("evil.arj", 2, "") + Header("../../up.txt", 0, "up\n") +
                        Header("/abs/root.txt", 0, "root\n") +
                        Header("ok/..\\..\\back.txt", 0, "back\n") + std::string("\x60\xEA\0\0", 4);
  ASSERT_EQ(Sh("mkdir deep"), 0);
  Put("deep/evil.arj", a);
  const TLog x = Run("deep/evil.arj", "deep/er/out");
  EXPECT_EQ(x.Passed.size(), 3u);
  EXPECT_TRUE(x.Has(qmx::E_INVALID_NAME));
  EXPECT_EQ(Bytes("deep/er/out/up.txt"), "up\n");
  EXPECT_EQ(Bytes("deep/er/out/abs/root.txt"), "root\n");
  // A DOS host's stamp is a DOS date.
  EXPECT_EQ(qmx::FileGetDate(dir_ / "deep/er/out/up.txt"), 0x5A210000u);
  EXPECT_FALSE(fs::exists(dir_ / "up.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "deep/up.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "deep/er/up.txt"));
  EXPECT_FALSE(fs::exists("/abs/root.txt"));
}

TEST_F(ArjReader, BehindAStubAndAfterAFalseStart) {
  MakeSources();
  ASSERT_EQ(Sh("arj a -y -r -m2 s.arj src"), 0);
  ArjExtract("s.arj", "arj");
  // A stub with a stray header id of its own.
  std::string stub(20000, 'M');
  stub[1000] = '\x60';
  stub[1001] = '\xEA';
  Put("s.exe", stub + Bytes("s.arj"));
  qmx::TUnARJ r;
  r.SetArchiveFile(dir_ / "s.exe");
  EXPECT_EQ(r.ArcType(), qmx::atArjExe);
  const TLog x = Run("s.exe", "ours");
  EXPECT_TRUE(x.Failed.empty());
  EXPECT_TRUE(x.Errors.empty());
  EXPECT_EQ(Tree("ours"), Tree("arj"));
}

}  // namespace
