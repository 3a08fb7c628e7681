// The 7z reader: every archive of the corpus gets 7-Zip's verdict and
// extracts byte for byte as `7zz x` does (the Zstandard ones, which
// Debian's 7zz cannot read, pass each entry's CRC); archives made here by 7zz with each method, solid and not,
// with directories, empty files, Chinese names and as a three-volume set
// read back exactly; a password-protected entry fails alone and an archive
// with encrypted headers fails cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/formats/sevenzip/sevenzip_format.h"
#include "formats/libarchive_test_support.h"
#include "support/corpus.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::TArcLog;
using qmx::test::TempDir;

// Where this reader and 7-Zip part: none left.
const std::set<std::string> kPeersDiffer = {};

// A reader's run over file; extracted into dir when it is not empty.
TArcLog RunReader(const std::string& file, const std::string& dir = "") {
  TArcLog log;
  qmx::TUn7z r;
  r.SetArchiveFile(file);
  qmx::test::AttachLog(r, log, dir);
  if (dir.empty())
    r.Test();
  else
    r.Extract();
  return log;
}

// Nothing failed but links, which are refused with a report.
bool Clean(const TArcLog& log) {
  const auto refused = std::count(log.Errors.begin(), log.Errors.end(), qmx::E_SKIPPED_FILE);
  return log.Failed.size() == static_cast<std::size_t>(refused) &&
         log.OnlyErrors({qmx::E_SKIPPED_FILE});
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

int SevenZipExtract(const std::string& file, const std::string& dir) {
  return qmx::test::Run("7zz x -y -o" + Quote(dir) + " " + Quote(file) + " >/dev/null 2>&1");
}

TEST(SevenZipReader, CorpusAgreesWith7zz) {
  if (!qmx::test::HaveTool("7zz")) GTEST_SKIP() << "7zz missing";
  const std::string dir = qmx::test::CorpusFile("7z/libarchive");
  int compared = 0, zstd = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    SCOPED_TRACE(name);
    TempDir tmp;
    const bool peerOk = SevenZipExtract(e.path().string(), tmp / "peer") == 0;
    const TArcLog tested = RunReader(e.path().string());
    const TArcLog extracted = RunReader(e.path().string(), tmp / "ours");
    EXPECT_EQ(Clean(tested), Clean(extracted));
    if (name.find("zstd") != std::string::npos && !peerOk) {
      // Debian's 7zz has no Zstandard: each entry's own CRC is the judge.
      EXPECT_TRUE(Clean(tested)) << (tested.Messages.empty() ? "" : tested.Messages[0]);
      EXPECT_FALSE(tested.Passed.empty());
      EXPECT_EQ(tested.Passed.size(), extracted.Passed.size());
      ++zstd;
      continue;
    }
    if (kPeersDiffer.count(name)) {
      EXPECT_NE(Clean(tested), peerOk) << "agrees now: take it off the list";
      continue;
    }
    EXPECT_EQ(Clean(tested), peerOk) << (tested.Messages.empty() ? "" : tested.Messages[0]);
    if (!peerOk) continue;
    const auto ours = qmx::test::FileTree(tmp / "ours");
    const auto peer = qmx::test::FileTree(tmp / "peer");
    EXPECT_EQ(ours, peer) << qmx::test::Names(ours) << "| " << qmx::test::Names(peer);
    ++compared;
  }
  EXPECT_GT(compared, 30);
  EXPECT_EQ(zstd, 6);
}

class SevenZipMade : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qmx::test::HaveTool("7zz")) GTEST_SKIP() << "7zz missing";
    const std::string src = tmp_ / "src";
    fs::create_directories(src + "/sub/deeper");
    fs::create_directories(src + "/emptydir");
    std::string text, noise;
    for (int i = 0; i < 30000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + "\n";
    for (int i = 0; i < 200000; ++i) noise += static_cast<char>((i * 2654435761u) >> 24);
    qmx::test::WriteFile(src + "/text.txt", text);
    qmx::test::WriteFile(src + "/sub/noise.bin", noise);
    qmx::test::WriteFile(src + "/sub/deeper/empty", "");
    qmx::test::WriteFile(src + "/中文名.txt", "中文内容\n");
    qmx::test::WriteFile(src + "/sub/短.txt", "x");
  }
  // 7zz a with options, run in the source folder; the archive's path.
  std::string Make(const std::string& name, const std::string& options) {
    const std::string archive = tmp_ / name;
    EXPECT_EQ(qmx::test::Run("cd " + Quote(tmp_ / "src") + " && 7zz a " + options + " " +
                             Quote(archive) + " . >/dev/null 2>&1"),
              0)
        << options;
    return archive;
  }
  // Ours against 7zz x, directories included.
  void ExpectSameAs7zz(const std::string& archive, const std::string& tag) {
    const TArcLog log = RunReader(archive, tmp_ / ("ours-" + tag));
    EXPECT_TRUE(Clean(log)) << (log.Messages.empty() ? "" : log.Messages[0]);
    ASSERT_EQ(SevenZipExtract(archive, tmp_ / ("peer-" + tag)), 0);
    const auto ours = qmx::test::FileTree(tmp_ / ("ours-" + tag));
    EXPECT_EQ(ours, qmx::test::FileTree(tmp_ / ("peer-" + tag))) << qmx::test::Names(ours);
    EXPECT_EQ(qmx::test::DirTree(tmp_ / ("ours-" + tag)),
              qmx::test::DirTree(tmp_ / ("peer-" + tag)));
    EXPECT_EQ(ours.size(), 5u);
  }
  TempDir tmp_;
};

TEST_F(SevenZipMade, EveryMethodSolidOrNotReadsBackAs7zzExtracts) {
  const std::pair<const char*, const char*> kinds[] = {
      {"lzma", "-m0=LZMA"},          {"lzma2", "-m0=LZMA2"},           {"bzip2", "-m0=BZip2"},
      {"ppmd", "-m0=PPMd"},          {"deflate", "-m0=Deflate"},       {"copy", "-m0=Copy"},
      {"solid", "-m0=LZMA2 -ms=on"}, {"nonsolid", "-m0=LZMA2 -ms=off"}};
  for (const auto& [tag, options] : kinds) {
    SCOPED_TRACE(tag);
    ExpectSameAs7zz(Make(std::string(tag) + ".7z", options), tag);
  }
}

TEST_F(SevenZipMade, ThreeVolumeSetAndAMissingVolume) {
  // Volumes small enough that the 200 KB of noise spans all three.
  Make("set.7z", "-m0=Copy -v200k");
  ASSERT_TRUE(fs::exists(tmp_ / "set.7z.003"));
  ASSERT_FALSE(fs::exists(tmp_ / "set.7z.004"));
  ExpectSameAs7zz(tmp_ / "set.7z.001", "volumes");

  fs::rename(tmp_ / "set.7z.003", tmp_ / "elsewhere");
  std::vector<std::string> asked;
  qmx::TUn7z r;
  r.SetArchiveFile(tmp_ / "set.7z.001");
  EXPECT_EQ(r.ArcType(), qmx::at7z);
  TArcLog log;
  qmx::test::AttachLog(r, log, tmp_ / "asked");
  r.OnNextVolume = [&](qmx::TZipCommon&, std::string& name, int, bool exists, bool& cancel) {
    asked.push_back(name);
    EXPECT_FALSE(exists);
    name = tmp_ / "elsewhere";  // the user points at where it is now
    cancel = false;
  };
  r.Extract();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], tmp_ / "set.7z.003");
  EXPECT_TRUE(Clean(log));
  EXPECT_EQ(qmx::test::FileTree(tmp_ / "asked"), qmx::test::FileTree(tmp_ / "ours-volumes"));

  // Refused: nothing comes out, and the refusal is reported.
  qmx::TUn7z c;
  c.SetArchiveFile(tmp_ / "set.7z.001");
  TArcLog clog;
  qmx::test::AttachLog(c, clog, tmp_ / "refused");
  c.OnNextVolume = [](qmx::TZipCommon&, std::string&, int, bool, bool& cancel) { cancel = true; };
  EXPECT_EQ(c.Extract(), 0);
  EXPECT_TRUE(clog.Has(qmx::E_USER_CANCELED));
}

TEST_F(SevenZipMade, PasswordProtectedEntryFailsAloneEncryptedHeadersFailCleanly) {
  // One plain entry, then one added with a password.
  const std::string archive = Make("mixed.7z", "-m0=LZMA2 -x!text.txt");
  ASSERT_EQ(qmx::test::Run("cd " + Quote(tmp_ / "src") + " && 7zz a -psecret " + Quote(archive) +
                           " text.txt >/dev/null 2>&1"),
            0);
  TArcLog log = RunReader(archive, tmp_ / "mixed");
  ASSERT_EQ(log.Failed.size(), 1u);
  EXPECT_EQ(fs::path(log.Failed[0]).filename(), "text.txt");
  EXPECT_TRUE(log.Has(qmx::E_PASSWORD_PROTECTED));
  EXPECT_TRUE(log.OnlyErrors({qmx::E_PASSWORD_PROTECTED}));
  EXPECT_EQ(qmx::test::FileTree(tmp_ / "mixed").size(), 4u);
  EXPECT_FALSE(fs::exists(tmp_ / "mixed/text.txt"));

  const std::string hidden = Make("hidden.7z", "-psecret -mhe=on");
  log = RunReader(hidden, tmp_ / "hidden");
  EXPECT_TRUE(log.Passed.empty());
  EXPECT_TRUE(log.Has(qmx::E_PASSWORD_PROTECTED));
  EXPECT_TRUE(qmx::test::FileTree(tmp_ / "hidden").empty());
}

TEST_F(SevenZipMade, SelectionAndDamagedDataAreTheFrameworks) {
  const std::string archive = Make("sel.7z", "-m0=LZMA2 -ms=off");
  TArcLog log;
  qmx::TUn7z r;
  r.SetArchiveFile(archive);
  qmx::test::AttachLog(r, log, tmp_ / "sel");
  r.SetFileSpec({"*.bin"});
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_EQ(qmx::test::FileTree(tmp_ / "sel").size(), 1u);
  EXPECT_TRUE(fs::exists(tmp_ / "sel/sub/noise.bin"));

  // One byte of the packed data changed: that entry fails as 7-Zip says,
  // the entries behind it still pass (each has its own stream, -ms=off),
  // and the broken entry's output is not left behind.
  std::string bytes = qmx::test::ReadFile(archive);
  const std::size_t at = 32 + 100;
  bytes[at] = static_cast<char>(bytes[at] ^ 0x55);
  qmx::test::WriteFile(tmp_ / "bad.7z", bytes);
  const TArcLog bad = RunReader(tmp_ / "bad.7z", tmp_ / "bad");
  ASSERT_EQ(bad.Failed.size(), 1u);
  EXPECT_EQ(bad.Passed.size(), 4u + 3u);  // files and directories
  EXPECT_EQ(qmx::test::FileTree(tmp_ / "bad").size(), 4u);
  EXPECT_FALSE(fs::exists(bad.Failed[0]));
  const std::string peer = "7zz t " + Quote(tmp_ / "bad.7z") + " 2>&1 | grep -c 'Data Error'";
  EXPECT_EQ(qmx::test::Run(peer + " | grep -qx 1"), 0);
}

}  // namespace

TEST(SevenZipReader, NamesNeverLeaveTheTargetAndLinksAreNotMade) {
  if (!qmx::test::HaveTool("bsdtar")) GTEST_SKIP() << "bsdtar missing";
  TempDir tmp;
  fs::create_directories(tmp / "in/w");
  qmx::test::WriteFile(tmp / "in/outside.txt", "hi\n");
  fs::create_symlink("/etc/passwd", tmp / "in/w/link");
  // bsdtar keeps "../" with -P, and stores the link as a link.
  ASSERT_EQ(qmx::test::Run("cd " + Quote(tmp / "in/w") + " && bsdtar --format=7zip -P -cf " +
                           Quote(tmp / "evil.7z") + " ../outside.txt link"),
            0);
  const TArcLog log = RunReader(tmp / "evil.7z", tmp / "out/x");
  EXPECT_TRUE(log.Has(qmx::E_INVALID_NAME));
  EXPECT_TRUE(log.Has(qmx::E_SKIPPED_FILE));
  EXPECT_FALSE(fs::exists(tmp / "out/outside.txt"));
  EXPECT_TRUE(fs::exists(tmp / "out/x/outside.txt"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "out/x/link")));
}
