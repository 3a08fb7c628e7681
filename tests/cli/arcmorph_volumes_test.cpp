// Split sets (.z01 ... .zip): the programs find the other volumes beside the
// archive, agree with 7-Zip on every set in the corpus, and stop with the
// missing volume's name when one is gone.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/cli/cli_common.h"
#include "archive/base/errors.h"
#include "archive/zip/zip_reader.h"
#include "cli/cli_run.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace qmx::cli {
namespace {

using test::TCliResult;
using test::TempDir;

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// The last volume (the .zip, which holds the central directory) of each set.
std::vector<fs::path> CorpusSets() {
  std::vector<fs::path> sets;
  for (auto& folder : fs::directory_iterator(std::string(QMX_CORPUS_DIR) + "/zip/split"))
    for (auto& file : fs::directory_iterator(folder.path()))
      if (file.path().extension() == ".zip") sets.push_back(file.path());
  std::sort(sets.begin(), sets.end());
  return sets;
}

// "Folders: N" plus "Files: M" from 7-Zip's test report.
int SevenZipEntryCount(const std::string& report) {
  int total = 0;
  for (const char* key : {"Folders: ", "Files: "}) {
    const std::size_t at = report.find(key);
    if (at != std::string::npos) total += std::stoi(report.substr(at + std::strlen(key)));
  }
  return total;
}

int EntriesTested(const std::string& out) {
  std::smatch m;
  return std::regex_search(out, m, std::regex(R"((\d+) entries tested, 0 failed)"))
             ? std::stoi(m[1])
             : -1;
}

class ArcmorphVolumes : public ::testing::Test {
 protected:
  TCliResult Cli(const std::string& args) {
    return test::RunCli(dir_.path(), test::ArcmorphBinary(), args);
  }
  int Sh(const std::string& cmd) { return test::Run("cd " + Quote(dir_.path()) + " && " + cmd); }
  // A copy of the set's folder without its last numbered volume (for a set
  // of two, the .z01; otherwise one in the middle). Returns that volume.
  std::string CopyWithoutAVolume(const fs::path& set, const std::string& into) {
    fs::create_directories(dir_ / into);
    fs::path dropped;
    for (auto& f : fs::directory_iterator(set.parent_path())) {
      fs::copy_file(f.path(), dir_ / (into + "/" + f.path().filename().string()));
      const std::string ext = f.path().extension().string();
      if (ext.size() == 4 && ext[1] == 'z' && ext != ".zip" && f.path() > dropped)
        dropped = f.path();
    }
    if (dropped.empty()) return {};
    fs::remove(dir_ / (into + "/" + dropped.filename().string()));
    return into + "/" + dropped.filename().string();
  }
  TempDir dir_;
};

TEST_F(ArcmorphVolumes, EveryCorpusSetTestsAndExtractsLikeSevenZip) {
  const auto sets = CorpusSets();
  ASSERT_GE(sets.size(), 5u);
  for (std::size_t i = 0; i < sets.size(); ++i) {
    const std::string set = sets[i].string();
    SCOPED_TRACE(set);
    const std::string tag = std::to_string(i);
    const int peerTest = Sh("LC_ALL=C.UTF-8 7zz t " + Quote(set) + " >7t-" + tag + ".txt 2>&1");
    const std::string peerReport = test::ReadFile(dir_ / ("7t-" + tag + ".txt"));
    TCliResult t = Cli("test " + Quote(set));
    EXPECT_EQ(t.code == 0, peerTest == 0) << "7-Zip:\n" << peerReport << "\narcmorph:\n" << t.err;
    EXPECT_EQ(t.err.find("OnNextVolume"), std::string::npos) << t.err;
    TCliResult l = Cli("list " + Quote(set));
    EXPECT_EQ(l.code == 0, peerTest == 0) << l.err;
    if (peerTest == 0) {
      const std::string count = std::to_string(SevenZipEntryCount(peerReport));
      EXPECT_EQ(EntriesTested(t.out), SevenZipEntryCount(peerReport)) << t.out;
      EXPECT_NE(l.out.find(" " + count + " entries\n"), std::string::npos) << l.out;
    }

    const int peerExtract =
        Sh("LC_ALL=C.UTF-8 7zz x -y -o7x-" + tag + " " + Quote(set) + " >/dev/null 2>&1");
    TCliResult x = Cli("extract -q " + Quote(set) + " -d x-" + tag);
    EXPECT_EQ(x.code == 0, peerExtract == 0) << x.err;
    if (peerExtract == 0) {
      EXPECT_EQ(Sh("diff -r 7x-" + tag + " x-" + tag), 0);
    }

    // Any numbered volume named stands for the whole set.
    for (auto& f : fs::directory_iterator(sets[i].parent_path())) {
      if (f.path().extension() == ".zip") continue;
      SCOPED_TRACE(f.path().filename().string());
      const int peer = Sh("LC_ALL=C.UTF-8 7zz t " + Quote(f.path().string()) + " >7v.txt 2>&1");
      TCliResult v = Cli("test " + Quote(f.path().string()));
      EXPECT_EQ(v.code == 0, peer == 0) << v.err;
      if (peer == 0) {
        EXPECT_EQ(EntriesTested(v.out), SevenZipEntryCount(test::ReadFile(dir_ / "7v.txt")));
      }
    }
  }
}

TEST_F(ArcmorphVolumes, AMissingVolumeStopsTheRunAndIsNamed) {
  int checked = 0;
  for (const fs::path& set : CorpusSets()) {
    const std::string folder = "set" + std::to_string(checked);
    const std::string gone = CopyWithoutAVolume(set, folder);
    if (gone.empty()) continue;  // a single file
    SCOPED_TRACE(gone);
    ++checked;
    const std::string archive = folder + "/" + set.filename().string();
    const std::string named = gone + ": Error#: " + std::to_string(E_FILE_NOT_FOUND);
    for (const std::string& run : {"test " + archive, "extract -q " + archive + " -d out"}) {
      TCliResult r = Cli(run);
      EXPECT_EQ(r.code, 2) << run;
      EXPECT_NE(r.err.find(named), std::string::npos) << run << "\n" << r.err;
      EXPECT_NE(r.err.find("of the split set is missing"), std::string::npos) << r.err;
      // Said once, in the program's words, not again as a cancellation.
      EXPECT_EQ(r.err.find("User canceled"), std::string::npos) << r.err;
    }
  }
  EXPECT_GE(checked, 5);

  // Named by its first volume, a set without its .zip misses that.
  const fs::path first = CorpusSets().front();
  fs::create_directories(dir_ / "nolast");
  const std::string z01 = first.stem().string() + ".z01";
  fs::copy_file(first.parent_path() / z01, dir_ / ("nolast/" + z01));
  TCliResult noLast = Cli("test nolast/" + z01);
  EXPECT_EQ(noLast.code, 2);
  EXPECT_NE(noLast.err.find("nolast/" + first.filename().string() +
                            ": Error#: 25192 File not found (the last volume"),
            std::string::npos)
      << noLast.err;

  // convert writes nothing from an incomplete set.
  const std::string gone = CopyWithoutAVolume(CorpusSets().front(), "conv");
  ASSERT_FALSE(gone.empty());
  const std::string archive = "conv/" + CorpusSets().front().filename().string();
  TCliResult c = Cli("convert -q " + archive + " new.zip");
  EXPECT_EQ(c.code, 2);
  EXPECT_NE(c.err.find(gone + ": Error#: "), std::string::npos) << c.err;
  EXPECT_FALSE(fs::exists(dir_ / "new.zip"));
}

// A set written by zip here, read by jarname as a suite and converted by
// arcmorph, with the set's own folder not the current one.
TEST_F(ArcmorphVolumes, ConvertAndJarnameReadSplitSets) {
  fs::create_directories(dir_ / "src/META-INF");
  test::WriteFile(dir_ / "src/META-INF/MANIFEST.MF",
                  "Manifest-Version: 1.0\r\nMIDlet-Name: Split Game\r\n");
  std::string data;
  for (std::uint32_t x = 1; data.size() < 150000; x = x * 1103515245u + 12345u)
    data += static_cast<char>(x >> 24);
  test::WriteFile(dir_ / "src/data.bin", data);
  ASSERT_EQ(Sh("mkdir -p parts && cd src && zip -q -r -s 64k ../parts/suite.zip META-INF data.bin"),
            0);
  ASSERT_TRUE(fs::exists(dir_ / "parts/suite.z02"));

  TCliResult c = Cli("convert -q parts/suite.zip whole.zip");
  EXPECT_EQ(c.code, 0) << c.err;
  EXPECT_EQ(Sh("unzip -qq whole.zip -d whole && cmp whole/data.bin src/data.bin"), 0);

  const std::string jarname = test::JarnameBinary();
  if (jarname.empty()) GTEST_SKIP() << "jarname not built";
  TCliResult show = test::RunCli(dir_.path(), jarname, "show parts/suite.zip");
  EXPECT_EQ(show.code, 0) << show.err;
  EXPECT_EQ(show.out, "Split Game\n");
  fs::remove(dir_ / "parts/suite.z01");
  TCliResult missing = test::RunCli(dir_.path(), jarname, "show parts/suite.zip");
  EXPECT_EQ(missing.code, 2);
  EXPECT_NE(missing.err.find("suite.z01: Error#: "), std::string::npos) << missing.err;
  TCliResult set = test::RunCli(dir_.path(), jarname, "set parts/suite.zip New -o new.jar");
  EXPECT_EQ(set.code, 2);
  EXPECT_FALSE(fs::exists(dir_ / "new.jar"));
}

// ---------------------------------------------------------- the finder itself

// Feeds the finder's terminal answers through a pipe on stdin.
class TStdinAnswers {
 public:
  explicit TStdinAnswers(const std::string& text) {
    int fds[2];
    if (::pipe(fds) != 0) return;
    ssize_t w = ::write(fds[1], text.data(), text.size());
    (void)w;
    ::close(fds[1]);
    FSaved = ::dup(STDIN_FILENO);
    ::dup2(fds[0], STDIN_FILENO);
    ::close(fds[0]);
  }
  ~TStdinAnswers() {
    if (FSaved < 0) return;
    ::dup2(FSaved, STDIN_FILENO);
    ::close(FSaved);
  }

 private:
  int FSaved = -1;
};

struct TAsked {
  std::string Name;
  bool Cancel = false;
};

// One request as the reader makes it: asks again while the name given back
// does not exist and the finder does not cancel.
TAsked Ask(TVolumeFinder& finder, const std::string& proposed, int volumeId) {
  TOnNextVolume handler = finder.Handler();
  TUnZip sender;
  TAsked a{proposed, false};
  for (int tries = 0; tries < 10; ++tries) {
    handler(sender, a.Name, volumeId, fs::exists(a.Name), a.Cancel);
    if (a.Cancel || fs::exists(a.Name)) break;
  }
  return a;
}

TEST(VolumeFinder, ANumberedVolumeStandsForItsSet) {
  TempDir dir;
  std::ostringstream out;
  TErrorPrinter errors("prog", out);
  TVolumeFinder finder("prog", errors, false);
  for (const char* f : {"set.z01", "set.zip", "BIG.Z02", "BIG.ZIP", "notes.z01", "plain.zip"})
    test::WriteFile(dir / f, "bytes");
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"set.z01", "set.zip"},
      {"BIG.Z02", "BIG.ZIP"},
      {"set.zip", "set.zip"},
      {"plain.zip", "plain.zip"},
      {"notes.z01", "notes.z01"}};  // no set: read as it is
  for (const auto& [named, read] : cases) {
    std::string archive = dir / named;
    EXPECT_TRUE(finder.FindSet(archive)) << named;
    EXPECT_EQ(archive, dir / read);
  }
  EXPECT_EQ(out.str(), "");
}

TEST(VolumeFinder, OnATerminalTheUserGivesThePathOrCancels) {
  TempDir dir;
  fs::create_directories(dir / "moved");
  test::WriteFile(dir / "moved/set.z01", "x");
  std::ostringstream out;
  TErrorPrinter errors("prog", out);
  TVolumeFinder finder("prog", errors, true);
  {
    // A wrong path is asked again; a directory means the volume's own name in it.
    TStdinAnswers answers(dir / "nowhere\n" + dir / "moved\n");
    TAsked a = Ask(finder, dir / "set.z01", 1);
    EXPECT_FALSE(a.Cancel);
    EXPECT_EQ(a.Name, dir / "moved/set.z01");
    EXPECT_TRUE(finder.Missing().empty());
  }
  for (const std::string& answer : {std::string("\n"), std::string()}) {
    // An empty answer, or the end of input, cancels.
    TStdinAnswers answers(answer);
    TAsked a = Ask(finder, dir / "set.z02", 2);
    EXPECT_TRUE(a.Cancel);
    EXPECT_EQ(finder.Missing(), dir / "set.z02");
  }
  EXPECT_EQ(out.str(), "") << "the user's own cancel is left to the reader's report";
}

}  // namespace
}  // namespace qmx::cli
