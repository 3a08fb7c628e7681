// TUnCab against 7-Zip and cabextract: the corpus cabinets (MSZIP, LZX,
// sets of two) and cabinets gcab makes at test time extract byte for byte
// as the peers extract them; damaged ones fail their entry or the run
// cleanly; sets find their other cabinets or ask for them.
#include "archive/formats/cab/cab_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/files.h"
#include "support/corpus.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::ReadFile;
int Sh(const std::string& cmd) {
  return qmx::test::Run(cmd);
}
using qmx::test::TempDir;
using qmx::test::WriteFile;

struct TLog {
  std::vector<std::string> Passed, Failed;
  std::vector<int> Errors;
  bool Has(int code) const { return std::find(Errors.begin(), Errors.end(), code) != Errors.end(); }
};

void Attach(qmx::TUnCab& r, TLog& log, const std::string& archive, const std::string& dir) {
  r.SetArchiveFile(archive);
  r.SetExtractDir(dir);
  r.SetFileSpec({"*.*"});
  r.UseStoredDirs = true;
  r.ConfirmOverwrites = false;
  r.OverwriteMode = qmx::omOverwrite;
  r.OnEnd = [&log](qmx::TZipCommon&, const std::string& f, bool pass) {
    (pass ? log.Passed : log.Failed).push_back(f);
  };
  r.OnError = [&log](qmx::TZipCommon&, const std::string&, const std::string&, const std::string&,
                     int code) { log.Errors.push_back(code); };
}

// Every regular file below dir by its relative path, with its content.
std::map<std::string, std::string> Tree(const std::string& dir) {
  std::map<std::string, std::string> out;
  if (!fs::exists(dir)) return out;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file())
      out[fs::relative(e.path(), dir).generic_string()] = ReadFile(e.path().string());
  return out;
}

std::vector<std::string> Contents(const std::map<std::string, std::string>& tree) {
  std::vector<std::string> v;
  for (const auto& [name, data] : tree) v.push_back(data);
  std::sort(v.begin(), v.end());
  return v;
}

class CabReaderTest : public ::testing::Test {
 protected:
  // Extracts with TUnCab into dir_/name; the log of the run.
  TLog Extract(const std::string& archive, const std::string& name) {
    TLog log;
    qmx::TUnCab r;
    Attach(r, log, archive, dir_ / name);
    r.Extract();
    return log;
  }
  std::map<std::string, std::string> Peer(const std::string& tool, const std::string& archive,
                                          const std::string& name) {
    const std::string out = dir_ / name;
    fs::create_directories(out);
    if (tool == "7zz")
      Sh("7zz x -y -o'" + out + "' '" + archive + "' >/dev/null 2>&1");
    else
      Sh("cabextract -q -d '" + out + "' '" + archive + "' >/dev/null 2>&1");
    return Tree(out);
  }
  TempDir dir_;
};

TEST_F(CabReaderTest, CorpusCabinetsExtractAsSevenZipExtractsThem) {
  struct TCase {
    const char* File;
    int Entries;     // verdicts expected to pass
    bool SameNames;  // CP932 names are shown through another code page
  };
  const TCase cases[] = {
      {"test_read_format_cab_1.cab", 3, true},
      {"test_read_format_cab_2.cab", 4, true},
      {"test_read_format_cab_3.cab", 4, true},
      {"test_read_format_cab_filename_cp932.cab", 2, false},
      {"test_read_format_cab_lzx_e8.cab", 1, true},
      {"test_read_format_cab_lzx_literal_control.cab", 1, true},
      // The first of a set of two; the second is beside it.
      {"test_read_format_cab_multi.p1.cab", 1, true},
  };
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.File);
    const std::string archive = qmx::test::CorpusFile(std::string("cab/libarchive/") + c.File);
    const std::string tag = std::to_string(n++);
    const TLog log = Extract(archive, "ours" + tag);
    EXPECT_EQ(static_cast<int>(log.Passed.size()), c.Entries);
    EXPECT_TRUE(log.Failed.empty());
    EXPECT_TRUE(log.Errors.empty());
    const auto ours = Tree(dir_ / ("ours" + tag));
    const auto peer = Peer("7zz", archive, "peer" + tag);
    ASSERT_FALSE(peer.empty());
    if (c.SameNames)
      EXPECT_EQ(ours, peer);
    else
      EXPECT_EQ(Contents(ours), Contents(peer));
  }
}

TEST_F(CabReaderTest, DamagedCorpusCabinetsFailCleanly) {
  // 7-Zip: a data error in the LZX stream; cabextract and libmspack agree.
  TLog history = Extract(
      qmx::test::CorpusFile("cab/libarchive/test_read_format_cab_lzx_invalid_history.cab"), "h");
  EXPECT_TRUE(history.Passed.empty());
  EXPECT_EQ(history.Failed.size(), 1u);
  EXPECT_TRUE(Tree(dir_ / "h").empty()) << "a failed entry leaves no file";
  // Not cabinets for 7-Zip: no entry is offered, the run reports why.
  for (const char* f :
       {"test_read_format_cab_lzx_oob.cab", "test_read_format_cab_skip_malformed.cab"}) {
    SCOPED_TRACE(f);
    TLog log = Extract(qmx::test::CorpusFile(std::string("cab/libarchive/") + f), "bad");
    EXPECT_TRUE(log.Passed.empty());
    EXPECT_FALSE(log.Errors.empty());
  }
  // 7-Zip calls this one's LZX data damaged; libmspack and cabextract decode
  // its 16 bytes alike, so cabextract is the judge here.
  const std::string lzx16 =
      qmx::test::CorpusFile("cab/libarchive/test_read_format_cab_lzx_16bit.cab");
  TLog log = Extract(lzx16, "l16");
  EXPECT_EQ(log.Passed.size(), 1u);
  EXPECT_EQ(Tree(dir_ / "l16"), Peer("cabextract", lzx16, "l16peer"));
}

TEST_F(CabReaderTest, GcabCabinetsStoredAndMsZipExtractIdentically) {
  const std::string src = dir_ / "src";
  fs::create_directories(src + "/a/b");
  std::string noise;
  for (int i = 0; i < 300000; ++i) noise += static_cast<char>((i * 2654435761u) >> 13);
  WriteFile(src + "/a/b/noise.bin", noise);
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  WriteFile(src + "/a/text.txt", text);
  WriteFile(src + "/empty", "");
  ASSERT_EQ(Sh("touch -d '2001-02-03 04:05:06' " + src + "/a/text.txt"), 0);
  for (const char* flags : {"-c", "-c -z"}) {
    SCOPED_TRACE(flags);
    const std::string cab = dir_ / (std::string(flags).size() > 2 ? "z.cab" : "s.cab");
    ASSERT_EQ(Sh("cd " + src + " && gcab " + flags + " " + cab + " a/b/noise.bin a/text.txt empty"),
              0);
    const std::string out = dir_ / ("out-" + fs::path(cab).stem().string());
    TLog log = Extract(cab, fs::path(out).filename());
    EXPECT_EQ(log.Passed.size(), 3u);
    EXPECT_TRUE(log.Errors.empty());
    EXPECT_EQ(Tree(out), Tree(src));
    EXPECT_EQ(Tree(out), Peer("7zz", cab, fs::path(out).filename().string() + "-7z"));
    // The stored date comes back (local time, as the cabinet keeps it).
    struct stat st {};
    ASSERT_EQ(stat((out + "/a/text.txt").c_str(), &st), 0);
    struct stat orig {};
    ASSERT_EQ(stat((src + "/a/text.txt").c_str(), &orig), 0);
    EXPECT_LE(std::llabs(static_cast<long long>(st.st_mtime - orig.st_mtime)), 1);
  }
}

TEST_F(CabReaderTest, DamagedDataFailsItsEntryAndTruncationFailsCleanly) {
  const std::string src = dir_ / "src";
  fs::create_directories(src);
  std::string text;
  for (int i = 0; i < 40000; ++i) text += "row " + std::to_string(i * 7) + "\n";
  WriteFile(src + "/t.txt", text);
  const std::string cab = dir_ / "d.cab";
  ASSERT_EQ(Sh("cd " + src + " && gcab -c -z " + cab + " t.txt"), 0);
  std::string bytes = ReadFile(cab);
  // One byte inside the compressed data of a block past the first.
  std::string hit = bytes;
  hit[hit.size() - 200] ^= 0x55;
  WriteFile(dir_ / "hit.cab", hit);
  TLog log = Extract(dir_ / "hit.cab", "hit");
  EXPECT_TRUE(log.Passed.empty());
  EXPECT_EQ(log.Failed.size(), 1u);
  EXPECT_TRUE(log.Has(qmx::E_CORRUPT_INPUT));
  EXPECT_NE(Sh("7zz t " + dir_ / "hit.cab" + " >/dev/null 2>&1"), 0) << "7-Zip agrees";
  // Cut in the middle of the data, and cut inside the headers.
  for (std::size_t keep : {bytes.size() / 2, std::size_t(30)}) {
    SCOPED_TRACE(keep);
    WriteFile(dir_ / "cut.cab", bytes.substr(0, keep));
    TLog cut = Extract(dir_ / "cut.cab", "cut");
    EXPECT_TRUE(cut.Passed.empty());
    EXPECT_FALSE(cut.Errors.empty());
  }
}

TEST_F(CabReaderTest, SetsFindTheNextCabinetOrAskForIt) {
  const std::string p1 = qmx::test::CorpusFile("cab/libarchive/test_read_format_cab_multi.p1.cab");
  const std::string p2 = qmx::test::CorpusFile("cab/libarchive/test_read_format_cab_multi.p2.cab");
  // Opened at its second cabinet, the first is found beside it.
  TLog second = Extract(p2, "second");
  EXPECT_EQ(second.Passed.size(), 1u);
  EXPECT_EQ(Contents(Tree(dir_ / "second")), Contents(Peer("7zz", p1, "second-7z")));

  // The first alone: without OnNextVolume the missing cabinet is reported
  // and the entry fails; with it, the user's answer is used.
  fs::create_directories(dir_ / "alone");
  const std::string lone = dir_ / "alone/first.cab";
  fs::copy_file(p1, lone);
  TLog missing = Extract(lone, "missing");
  EXPECT_TRUE(missing.Passed.empty());
  EXPECT_EQ(missing.Failed.size(), 1u);
  EXPECT_TRUE(missing.Has(25903));

  fs::copy_file(p2, dir_ / "elsewhere.cab");
  TLog log;
  qmx::TUnCab r;
  Attach(r, log, lone, dir_ / "asked");
  int asked = 0;
  r.OnNextVolume = [&](qmx::TZipCommon&, std::string& name, int, bool exists, bool& cancel) {
    ++asked;
    EXPECT_FALSE(exists);
    EXPECT_EQ(fs::path(name).filename(), "test_read_format_cab_multi.p2.cab");
    name = dir_ / "elsewhere.cab";
    cancel = false;
  };
  r.Extract();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(log.Passed.size(), 1u);
  EXPECT_EQ(Tree(dir_ / "asked"), Tree(dir_ / "second"));
}

TEST_F(CabReaderTest, NamesThatClimbOutAreKeptInside) {
  const std::string src = dir_ / "src";
  fs::create_directories(src + "/zz");
  WriteFile(src + "/zz/evil.txt", "payload");
  const std::string cab = dir_ / "n.cab";
  ASSERT_EQ(Sh("cd " + src + " && gcab -c " + cab + " zz/evil.txt"), 0);
  std::string bytes = ReadFile(cab);
  const std::size_t at = bytes.find("zz\\evil.txt");
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 3, "..\\");
  WriteFile(cab, bytes);
  fs::create_directories(dir_ / "box/in");
  TLog log = Extract(cab, "box/in");
  EXPECT_TRUE(log.Has(qmx::E_INVALID_NAME));
  EXPECT_FALSE(fs::exists(dir_ / "box/evil.txt"));
  EXPECT_EQ(ReadFile(dir_ / "box/in/evil.txt"), "payload");
}

TEST_F(CabReaderTest, TestRunsVerifyWithoutWriting) {
  const std::string src = dir_ / "src";
  fs::create_directories(src);
  WriteFile(src + "/ro.txt", "read only");
  WriteFile(src + "/run.sh", "#!/bin/sh\n");
  const std::string cab = dir_ / "a.cab";
  ASSERT_EQ(Sh("cd " + src + " && gcab -c -z " + cab + " ro.txt run.sh"), 0);
  TLog tested;
  qmx::TUnCab t;
  Attach(t, tested, cab, dir_ / "never");
  EXPECT_EQ(t.Test(), 2);
  EXPECT_EQ(tested.Passed.size(), 2u);
  EXPECT_FALSE(fs::exists(dir_ / "never"));
}

}  // namespace
