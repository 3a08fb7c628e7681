// The LHA reader: every archive of the corpus (all header levels, methods,
// self-extractors, damaged ones) gets lhasa's verdict and extracts as lhasa
// extracts it; archives from jlha read right; names never leave the target;
// symbolic links are never made; hostile headers end in an error.
#include "archive/formats/lha/lha_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/codec/crc.h"
#include "archive/codec/lha_decoder.h"
#include "archive/platform/files.h"
#include "support/corpus.h"
#include "support/reader_log.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using qmx::test::ReadFile;
using qmx::test::TempDir;
using qmx::test::WriteFile;

// What a run reported.
using TLog = qmx::test::TArcLog;

// Whether the LHA decoders are in this build: the data of a corpus -lh5-
// entry decodes to its 18092 bytes.
bool DecoderPresent() {
  const std::string a = ReadFile(qmx::test::CorpusFile("lha/lha_unix114i/h0_lh5.lzh"));
  if (a.size() < 30) return false;
  const std::size_t data = static_cast<unsigned char>(a[0]) + 2u;
  qmx::TMemoryStream32 in;
  in.Write(a.data() + data, static_cast<std::int64_t>(a.size() - data));
  in.Seek(0, qmx::soFromBeginning);
  qmx::TLegacyInput input(in, in.Size());
  std::int64_t out = 0;
  auto write = [&out](const void*, std::int64_t n) {
    out += n;
    return n;
  };
  return qmx::LhaDecode(input, write, qmx::lmLh5, 18092) == qmx::wrOk && out == 18092;
}

// Corpus files whose entries are all stored: they are read without the
// decoders.
const std::set<std::string> kStoredOnly = {
    "lha_unix114i/h0_lh0.lzh",
    "lha_unix114i/h1_lh0.lzh",
    "lha_unix114i/h2_lh0.lzh",
    "lha_unix114i/h0_subdir.lzh",
    "lha_unix114i/h1_subdir.lzh",
    "lha_unix114i/h2_subdir.lzh",
    "lha_unix114i/h2_symlink.lzh",
    "lha213/lh0.lzh",
    "lha213/subdir.lzh",
    "lharc113/lh0.lzh",
    "lha_amiga_122/level0.lzh",
    "lha_amiga_122/level1.lzh",
    "lha_amiga_122/level2.lzh",
    "explzh_723/h2_subdir.lzh",
    "regression/multiple.lzh",
    "commons-compress/test-msdos-l0.lha",
    "commons-compress/test-msdos-l1.lha",
    "commons-compress/test-msdos-l2.lha",
    "commons-compress/test-msdos-l2-attrib.lha",
    "lha_os2_208/h3_lfn.lzh",
    "libarchive/test_read_format_lha_filename_cp932.lzh",
    "libarchive/test_read_format_lha_filename_utf16.lzh",
};

// Debian's lhasa finds no entry in these; 7-Zip is the oracle instead.
const std::set<std::string> kSevenZipOracle = {"lha_unix114i/h0_subdir.lzh",
                                               "explzh_723/declha_sfx_ansi.exe"};
// Names in code pages the peers show differently: contents are compared.
const std::set<std::string> kContentsOnly = {"libarchive/test_read_format_lha_filename_cp932.lzh",
                                             "libarchive/test_read_format_lha_filename_utf16.lzh"};

class LhaReader : public ::testing::Test {
 protected:
  int Sh(const std::string& cmd) { return qmx::test::Run("cd " + dir_.path() + " && " + cmd); }
  bool Have(const std::string& tool) { return Sh("command -v " + tool + " >/dev/null") == 0; }
  // Every regular file below rel (links left out) with its size and hash;
  // names in lower case when foldCase (lhasa folds all-capital MS-DOS
  // names, we keep them as stored).
  std::map<std::string, std::string> Tree(const std::string& rel, bool foldCase = false) {
    std::map<std::string, std::string> out;
    const std::string root = dir_.path() + rel;
    if (!fs::exists(root)) return out;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
      if (e.is_symlink() || !e.is_regular_file()) continue;
      std::string name = fs::relative(e.path(), root).string();
      if (foldCase)
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      const std::string data = ReadFile(e.path().string());
      out[name] =
          std::to_string(data.size()) + ":" + std::to_string(std::hash<std::string>{}(data));
    }
    return out;
  }
  std::vector<std::string> Contents(const std::map<std::string, std::string>& tree) {
    std::vector<std::string> v;
    for (const auto& [name, data] : tree) v.push_back(data);
    std::sort(v.begin(), v.end());
    return v;
  }
  // Runs our reader over archive: a test run, or an extraction into rel.
  TLog Run(const std::string& archive, const std::string& rel = "") {
    TLog log;
    qmx::TUnLha r;
    r.SetArchiveFile(archive);
    qmx::test::AttachLog(r, log);
    if (rel.empty()) {
      r.Test();
    } else {
      r.SetExtractDir(dir_ / rel);
      r.Extract();
    }
    return log;
  }

  TempDir dir_;
};

TEST_F(LhaReader, CorpusVerdictsAndTreesMatchThePeers) {
  if (!Have("lha") || !Have("7zz")) GTEST_SKIP() << "lhasa and 7-Zip are needed";
  const bool decoders = DecoderPresent();
  const std::string root = qmx::test::CorpusDir() + "/lha/";
  int checked = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file() || e.path().extension() == ".uu") continue;
    const std::string rel = fs::relative(e.path(), root).string();
    if (!decoders && !kStoredOnly.count(rel)) continue;
    SCOPED_TRACE(rel);
    const std::string file = e.path().string();
    const bool peerPass = Sh("lha t '" + file + "' >/dev/null 2>&1") == 0;
    const TLog test = Run(file);
    const bool ourPass = test.Failed.empty() && test.Errors.empty() && !test.Passed.empty();
    EXPECT_EQ(ourPass, peerPass) << test.Failed.size() << " failed, " << test.Errors.size()
                                 << " errors";
    ++checked;
    if (!peerPass) continue;

    const std::string tag = std::to_string(checked);
    const std::string ref = "ref" + tag, ours = "ours" + tag;
    if (kSevenZipOracle.count(rel))
      ASSERT_EQ(Sh("7zz x -o" + ref + " '" + file + "' >/dev/null"), 0);
    else
      ASSERT_EQ(Sh("mkdir " + ref + " && cd " + ref + " && lha xq '" + file + "' >/dev/null 2>&1"),
                0);
    const TLog x = Run(file, ours);
    // Only symbolic links are refused.
    EXPECT_EQ(x.Failed.size(), static_cast<std::size_t>(std::count(x.Errors.begin(), x.Errors.end(),
                                                                   qmx::E_SKIPPED_FILE)));
    if (kContentsOnly.count(rel))
      EXPECT_EQ(Contents(Tree(ours)), Contents(Tree(ref)));
    else
      EXPECT_EQ(Tree(ours, true), Tree(ref, true));
  }
  EXPECT_GE(checked, decoders ? 40 : 20);
}

TEST_F(LhaReader, ArchivesOfJlhaReadRight) {
  if (!Have("jlha")) GTEST_SKIP() << "jlha is needed";
  if (!DecoderPresent()) GTEST_SKIP() << "the LHA decoders are not in this build";
  ASSERT_EQ(Sh("mkdir -p src/sub"), 0);
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "jlha row " + std::to_string(i * 31 % 977) + "\n";
  WriteFile(dir_ / "src/text.txt", text);
  WriteFile(dir_ / "src/sub/small.txt", "small\n");
  const auto source = Tree("src");
  for (const char* method : {"5", "6"}) {
    SCOPED_TRACE(method);
    const std::string name = std::string("j") + method + ".lzh";
    ASSERT_EQ(Sh("cd src && jlha ao" + std::string(method) + " ../" + name +
                 " text.txt sub/small.txt >/dev/null 2>&1"),
              0);
    const std::string out = std::string("x") + method;
    const TLog log = Run(dir_ / name, out);
    EXPECT_EQ(log.Passed.size(), 2u);
    EXPECT_TRUE(log.Failed.empty() && log.Errors.empty());
    EXPECT_EQ(Tree(out), source);
  }
}

// ---------------------------------------------------------------- crafted

std::string Entry(const std::string& name, const std::string& data, const char* method = "-lh0-") {
  qmx::TLhaNewHeader h;
  h.Name = name;
  std::memcpy(h.Method, method, 5);
  h.PackedSize = h.OriginalSize = static_cast<std::uint32_t>(data.size());
  h.DosDate = 0x5A210000;
  h.Crc = qmx::Crc16(data.data(), data.size());
  const std::vector<std::uint8_t> b = qmx::BuildLhaHeader(h);
  return std::string(b.begin(), b.end()) + data;
}

TEST_F(LhaReader, NamesStayInsideTheTarget) {
  WriteFile(dir_ / "evil.lzh", Entry("../../evil.txt", "evil") + Entry("/abs.txt", "abs") +
                                   Entry("ok/fine.txt", "fine") + std::string(1, '\0'));
  ASSERT_EQ(Sh("mkdir -p deep/er"), 0);
  const TLog log = Run(dir_ / "evil.lzh", "deep/er/out");
  EXPECT_TRUE(log.Has(qmx::E_INVALID_NAME));
  EXPECT_FALSE(fs::exists(dir_ / "evil.txt"));
  EXPECT_FALSE(fs::exists(dir_ / "deep/evil.txt"));
  EXPECT_EQ(ReadFile(dir_ / "deep/er/out/evil.txt"), "evil");
  EXPECT_EQ(ReadFile(dir_ / "deep/er/out/abs.txt"), "abs");
  EXPECT_EQ(ReadFile(dir_ / "deep/er/out/ok/fine.txt"), "fine");
}

TEST_F(LhaReader, SymbolicLinksAreReportedNeverMade) {
  const std::string file = qmx::test::CorpusFile("lha/lha_unix114i/h2_symlink.lzh");
  const TLog test = Run(file);
  EXPECT_EQ(test.Passed.size(), 1u);
  const TLog x = Run(file, "out");
  EXPECT_TRUE(x.Has(qmx::E_SKIPPED_FILE));
  EXPECT_TRUE(!fs::exists(dir_ / "out") || fs::is_empty(dir_ / "out"));
}

TEST_F(LhaReader, ACrcMismatchFailsOnlyItsEntry) {
  std::string a = Entry("one.txt", "first entry") + Entry("two.txt", "second entry");
  a[a.size() - 3] ^= 0x20;  // inside "second entry"
  WriteFile(dir_ / "crc.lzh", a + std::string(1, '\0'));
  const TLog log = Run(dir_ / "crc.lzh");
  ASSERT_EQ(log.Passed.size(), 1u);
  EXPECT_EQ(fs::path(log.Passed[0]).filename(), "one.txt");
  ASSERT_EQ(log.Failed.size(), 1u);
  EXPECT_EQ(fs::path(log.Failed[0]).filename(), "two.txt");
}

TEST_F(LhaReader, HostileHeadersEndInAnError) {
  const std::string good = Entry("a.txt", "data");
  auto level2 = [](std::uint16_t size, std::uint16_t firstExt, const std::string& exts) {
    std::string h(26, '\0');
    h[0] = static_cast<char>(size);
    h[1] = static_cast<char>(size >> 8);
    std::memcpy(&h[2], "-lh0-", 5);
    h[20] = 2;
    h[23] = 'U';
    h[24] = static_cast<char>(firstExt);
    h[25] = static_cast<char>(firstExt >> 8);
    return h + exts;
  };
  std::string badSum = good;
  badSum[1] ^= 1;
  std::string longName = good;
  longName[21] = static_cast<char>(200);  // past the header's size
  std::string huge = Entry("big.bin", "tiny");
  std::memset(&huge[7], 0xFF, 8);  // 4 GiB packed and original sizes
  huge[1] = static_cast<char>(qmx::LhaHeaderChecksum(
      reinterpret_cast<const std::uint8_t*>(huge.data()), static_cast<unsigned char>(huge[0])));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"checksum", badSum},
      {"name length", longName},
      {"level-2 size past the file", level2(0xFFF0, 0, "")},
      {"extended header of 1 byte", level2(29, 1, "\x01\x00\x00")},
      {"extended header past the header", level2(30, 200, std::string(4, 'x'))},
      {"level-2 header CRC", level2(31, 5, std::string("\x00\x12\x34\x00\x00", 5))},
      {"sizes past the file", huge},
      {"cut short", good.substr(0, 15)},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    WriteFile(dir_ / "h.lzh", bytes);
    const TLog log = Run(dir_ / "h.lzh");
    EXPECT_TRUE(log.Passed.empty());
    EXPECT_FALSE(log.Errors.empty() && log.Failed.empty());
  }
  // Damage after good entries keeps them.
  WriteFile(dir_ / "tail.lzh", good + badSum);
  const TLog tail = Run(dir_ / "tail.lzh");
  EXPECT_EQ(tail.Passed.size(), 1u);
  EXPECT_TRUE(tail.Has(qmx::E_HEADER_NOT_FOUND));
}

}  // namespace
