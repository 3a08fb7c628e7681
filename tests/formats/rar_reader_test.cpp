// The RAR reader: every RAR 4 and RAR 5 archive of the corpus extracts as
// bsdtar extracts it and gets its verdict (Debian's 7-Zip has no RAR
// codec); encrypted entries fail alone; volume sets are found by both
// namings and a missing volume is asked for; self-extractors are read from
// their archive; links are never made.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "archive/formats/libarchive/rar_format.h"
#include "formats/libarchive_test_support.h"
#include "support/corpus.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::TArcLog;
using qmx::test::TempDir;

std::string RarDir() {
  return qmx::test::CorpusFile("rar/libarchive");
}

// The volumes after the first of a set are read through the first.
bool IsLaterVolume(const std::string& name) {
  return (name.find(".part0") != std::string::npos || name.find(".part1") != std::string::npos) &&
         name.find(".part01.") == std::string::npos && name.find(".part0001.") == std::string::npos;
}

std::vector<std::string> CorpusRars() {
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(RarDir())) {
    const std::string name = e.path().filename().string();
    if (!IsLaterVolume(name)) files.push_back(name);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// An encryption record on data that is not encrypted: the header says
// encrypted and we go by it; libarchive (bsdtar) ignores the record.
const char kCryptRecordOnly[] = "test_read_format_rar5_only_crypt_exfld.rar";

TEST(RarReader, CorpusExtractsAsBsdtarDoes) {
  if (!qmx::test::HaveTool("bsdtar")) GTEST_SKIP() << "bsdtar missing";
  int agreed = 0;
  for (const std::string& name : CorpusRars()) {
    SCOPED_TRACE(name);
    TempDir tmp;
    const std::string file = RarDir() + "/" + name;
    fs::create_directories(tmp / "peer");
    // bsdtar reads one file: a volume set goes to it as one stream.
    std::string input = "'" + file + "'";
    const std::size_t part = file.find(".part0");
    if (part != std::string::npos) input = "'" + file.substr(0, part) + "'.part*.rar";
    const bool peerOk = qmx::test::Run("cd '" + tmp.path() + "peer' && cat " + input +
                                       " | timeout 5 bsdtar -xf - >/dev/null 2>&1") == 0;

    qmx::TUnRar r;
    r.SetArchiveFile(file);
    if (r.ArcType() != qmx::atRar && r.ArcType() != qmx::atRarExe) {
      // Too short to be taken for an archive at all.
      EXPECT_FALSE(peerOk) << qmx::ArcTypeName(r.ArcType());
      continue;
    }
    TArcLog log;
    qmx::test::AttachLog(r, log, tmp / "ours");
    r.Extract();
    // A refused link fails alone, reported; the archive is still sound.
    const auto refused = std::count(log.Errors.begin(), log.Errors.end(), qmx::E_SKIPPED_FILE);
    const bool oursOk = log.Failed.size() == static_cast<std::size_t>(refused) &&
                        log.OnlyErrors({qmx::E_SKIPPED_FILE});

    TArcLog testLog;
    qmx::TUnRar t;
    t.SetArchiveFile(file);
    qmx::test::AttachLog(t, testLog);
    t.Test();
    const bool testOk = testLog.Failed.empty() && testLog.Errors.empty();
    EXPECT_EQ(testOk, oursOk) << "test and extract disagree";

    if (name == kCryptRecordOnly) {
      EXPECT_TRUE(peerOk && log.Has(qmx::E_PASSWORD_PROTECTED));
      continue;
    }
    EXPECT_EQ(oursOk, peerOk) << "errors " << log.Errors.size()
                              << (log.Messages.empty() ? "" : ": " + log.Messages[0]);
    if (!peerOk) continue;
    auto peerTree = qmx::test::FileTree(tmp / "peer");
    const auto ourTree = qmx::test::FileTree(tmp / "ours");
    // bsdtar makes a hard link a second name of its target; we do not.
    for (const std::string& f : log.ErrorFiles) {
      const std::string rel = fs::relative(f, tmp / "ours").string();
      peerTree.erase(rel);
    }
    EXPECT_EQ(ourTree, peerTree) << qmx::test::Names(ourTree) << "| " << qmx::test::Names(peerTree);
    ++agreed;
  }
  EXPECT_GT(agreed, 25);
}

TEST(RarReader, EncryptedEntriesFailAloneAndEncryptedHeadersFailCleanly) {
  const std::string dir = RarDir() + "/";
  {
    // One plain entry, one encrypted: the plain one extracts.
    TempDir tmp;
    qmx::TUnRar r;
    r.SetArchiveFile(dir + "test_read_format_rar_encryption_partially.rar");
    TArcLog log;
    qmx::test::AttachLog(r, log, tmp.path());
    r.Extract();
    EXPECT_TRUE(log.Has(qmx::E_PASSWORD_PROTECTED));
    EXPECT_TRUE(log.OnlyErrors({qmx::E_PASSWORD_PROTECTED}));
    ASSERT_EQ(log.Passed.size(), 1u);
    ASSERT_EQ(log.Failed.size(), 1u);
    EXPECT_TRUE(fs::exists(log.Passed[0]));
    EXPECT_FALSE(fs::exists(tmp.path() + log.Failed[0]));
  }
  // Every entry encrypted; then plain and encrypted entries in turn (RAR 5
  // encryption is read from the file headers: libarchive 3.6 misses it).
  const std::pair<const char*, std::size_t> mixed[] = {
      {"test_read_format_rar_encryption_data.rar", 0},
      {"test_read_format_rar4_encrypted.rar", 2},
      {"test_read_format_rar5_encrypted.rar", 2}};
  for (const auto& [name, plain] : mixed) {
    SCOPED_TRACE(name);
    qmx::TUnRar r;
    r.SetArchiveFile(dir + name);
    TArcLog log;
    qmx::test::AttachLog(r, log);
    r.Test();
    EXPECT_EQ(log.Passed.size(), plain);
    EXPECT_FALSE(log.Failed.empty());
    EXPECT_EQ(log.Errors.size(), log.Failed.size());
    EXPECT_TRUE(log.OnlyErrors({qmx::E_PASSWORD_PROTECTED}));
  }
  for (const char* name : {"test_read_format_rar_encryption_header.rar",
                           "test_read_format_rar5_encrypted_filenames.rar",
                           "test_read_format_rar4_encrypted_filenames.rar"}) {
    SCOPED_TRACE(name);
    qmx::TUnRar r;
    r.SetArchiveFile(dir + name);
    TArcLog log;
    qmx::test::AttachLog(r, log);
    EXPECT_EQ(r.Test(), 0);
    EXPECT_TRUE(log.Passed.empty());
    EXPECT_TRUE(log.Has(qmx::E_PASSWORD_PROTECTED))
        << (log.Messages.empty() ? "" : log.Messages[0]);
  }
}

// Copies the parts of a corpus set into dir under new names.
void CopySet(const std::string& stem, const std::vector<std::string>& names,
             const std::string& dir) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    char part[32];
    std::snprintf(part, sizeof part, ".part%02zu.rar", i + 1);
    fs::copy_file(RarDir() + "/" + stem + part, dir + names[i]);
  }
}

TEST(RarReader, VolumeSetsByBothNamingsAndAMissingVolume) {
  const std::string stem = "test_read_format_rar5_multiarchive";
  std::vector<std::string> parts;
  for (int i = 1; i <= 8; ++i) parts.push_back("set.part" + std::to_string(i) + ".rar");
  std::vector<std::string> old = {"old.rar", "old.r00", "old.r01", "old.r02",
                                  "old.r03", "old.r04", "old.r05", "old.r06"};
  TempDir tmp;
  CopySet(stem, parts, tmp.path());
  CopySet(stem, old, tmp.path());

  std::map<std::string, std::string> first;
  for (const std::string& start : {std::string("set.part1.rar"), std::string("old.rar")}) {
    SCOPED_TRACE(start);
    qmx::TUnRar r;
    r.SetArchiveFile(tmp / start);
    TArcLog log;
    qmx::test::AttachLog(r, log, tmp / ("x-" + start));
    r.Extract();
    EXPECT_TRUE(log.Failed.empty());
    EXPECT_TRUE(log.Errors.empty()) << (log.Messages.empty() ? "" : log.Messages[0]);
    const auto tree = qmx::test::FileTree(tmp / ("x-" + start));
    EXPECT_GE(tree.size(), 1u);
    if (first.empty())
      first = tree;
    else
      EXPECT_EQ(tree, first);
  }
  // The fifth volume goes missing: the reader asks for it by its name.
  fs::rename(tmp / "old.r03", tmp / "moved.bin");
  std::vector<std::string> asked;
  qmx::TUnRar r;
  r.SetArchiveFile(tmp / "old.rar");
  TArcLog log;
  qmx::test::AttachLog(r, log, tmp / "again");
  r.OnNextVolume = [&](qmx::TZipCommon&, std::string& name, int, bool exists, bool& cancel) {
    asked.push_back(name);
    EXPECT_FALSE(exists);
    fs::rename(tmp / "moved.bin", name);
    cancel = false;
  };
  r.Extract();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0], tmp / "old.r03");
  EXPECT_TRUE(log.Errors.empty());
  EXPECT_EQ(qmx::test::FileTree(tmp / "again"), first);

  // Refused: the run ends with "User canceled" and extracts nothing.
  fs::rename(tmp / "old.r03", tmp / "moved.bin");
  qmx::TUnRar c;
  c.SetArchiveFile(tmp / "old.rar");
  TArcLog clog;
  qmx::test::AttachLog(c, clog, tmp / "cancelled");
  c.OnNextVolume = [](qmx::TZipCommon&, std::string&, int, bool, bool& cancel) { cancel = true; };
  EXPECT_EQ(c.Extract(), 0);
  EXPECT_TRUE(clog.Has(qmx::E_USER_CANCELED));
  EXPECT_TRUE(qmx::test::FileTree(tmp / "cancelled").empty());

  // Without OnNextVolume the missing event is reported.
  qmx::TUnRar u;
  u.SetArchiveFile(tmp / "old.rar");
  TArcLog ulog;
  qmx::test::AttachLog(u, ulog, tmp / "unassigned");
  EXPECT_EQ(u.Extract(), 0);
  // Cancelled first, as a missing volume of a ZIP set is: the report says so.
  EXPECT_TRUE(ulog.Has(qmx::E_EVENT_NOT_ASSIGNED) || ulog.Has(qmx::E_USER_CANCELED));
  EXPECT_TRUE(u.Cancel());
}

TEST(RarReader, SelfExtractorIsReadFromItsArchive) {
  const std::string file = RarDir() + "/test_read_format_rar5_sfx.exe";
  TempDir tmp;
  qmx::TUnRar r;
  r.SetArchiveFile(file);
  EXPECT_EQ(r.ArcType(), qmx::atRarExe);
  EXPECT_GT(r.ArchivePosition(), 0);
  TArcLog log;
  qmx::test::AttachLog(r, log, tmp.path());
  EXPECT_EQ(r.Extract(), 1);
  EXPECT_TRUE(log.Errors.empty());
  const auto tree = qmx::test::FileTree(tmp.path());
  ASSERT_EQ(tree.size(), 1u);
  EXPECT_EQ(tree.begin()->first, "test.txt.txt");
  if (qmx::test::HaveTool("bsdtar")) {
    TempDir peer;
    ASSERT_EQ(qmx::test::Run("cd '" + peer.path() + "' && bsdtar -xf '" + file + "'"), 0);
    EXPECT_EQ(tree, qmx::test::FileTree(peer.path()));
  }
}

TEST(RarReader, LinksAreNeverMadeAndNamesStayInside) {
  TempDir tmp;
  qmx::TUnRar r;
  r.SetArchiveFile(RarDir() + "/test_read_format_rar.rar");
  TArcLog log;
  qmx::test::AttachLog(r, log, tmp.path());
  r.Extract();
  EXPECT_TRUE(log.Has(qmx::E_SKIPPED_FILE));
  EXPECT_FALSE(fs::exists(fs::symlink_status(tmp / "testlink")));
  EXPECT_TRUE(fs::is_regular_file(tmp / "testdir/test.txt"));
  EXPECT_TRUE(fs::is_directory(tmp / "testemptydir"));

  // A listing run (every entry declined) decodes nothing and reports
  // nothing, the link included.
  qmx::TUnRar l;
  l.SetArchiveFile(RarDir() + "/test_read_format_rar.rar");
  TArcLog llog;
  qmx::test::AttachLog(l, llog);
  std::vector<std::string> offered;
  l.OnBegin = [&](qmx::TZipCommon&, const std::string& name, int, bool& extract) {
    offered.push_back(name);
    EXPECT_TRUE(l.EntryInfo().Known);
    EXPECT_EQ(l.EntryInfo().Name, name);
    extract = false;
  };
  l.Test();
  EXPECT_TRUE(llog.Errors.empty());
  EXPECT_EQ(offered.size(), 2u);
}

TEST(RarReader, UnicodeNamesAreKept) {
  TempDir tmp;
  qmx::TUnRar r;
  r.SetArchiveFile(RarDir() + "/test_read_format_rar_unicode.rar");
  TArcLog log;
  qmx::test::AttachLog(r, log, tmp.path());
  r.Extract();
  const auto tree = qmx::test::FileTree(tmp.path());
  EXPECT_EQ(tree.size(), 3u);
  EXPECT_TRUE(tree.count("表だよ/漢字長いファイル名long-filename-in-漢字.txt"));
  EXPECT_TRUE(tree.count("abcdefghijklmnopqrsテスト.txt"));
  // Only the link failed, refused.
  EXPECT_EQ(log.Failed.size(), 1u);
  EXPECT_TRUE(log.OnlyErrors({qmx::E_SKIPPED_FILE}));
}

}  // namespace
