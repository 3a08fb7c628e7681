#include "archive/scan/file_scan.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace qmx {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

// A fresh directory tree per test:
//   a.txt(5) b.doc(7) README(3) ro.txt(2, read-only) .dotfile(1) .svn/x.txt
//   sub/c.txt(11) sub/deep/d.TXT(13) loop -> . and link -> sub
class ScanTree : public ::testing::Test {
 protected:
  void SetUp() override {
    tmp.emplace();
    root = tmp->path();
    Put("a.txt", 5);
    Put("b.doc", 7);
    Put("README", 3);
    Put("ro.txt", 2);
    fs::permissions(root + "ro.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    Put(".dotfile", 1);
    Put(".svn/x.txt", 1);
    Put("sub/c.txt", 11);
    Put("sub/deep/d.TXT", 13);
    fs::create_directory_symlink(".", root + "loop");
    fs::create_directory_symlink("sub", root + "link");
  }
  void TearDown() override { tmp.reset(); }
  void Put(const std::string& rel, std::size_t size) {
    fs::create_directories(fs::path(root + rel).parent_path());
    std::ofstream(root + rel, std::ios::binary) << std::string(size, 'x');
  }
  // Full paths of the recorded entries ("dir/" for directory entries).
  std::set<std::string> Found(const TqmxFileScan& s) const {
    std::set<std::string> out;
    for (int i = 0; i < s.FilesList().Count(); ++i) {
      const TFileObject& o = s.FilesList().Items(i);
      out.insert(o.Dir.substr(root.size()) + o.FileName);
    }
    return out;
  }
  std::optional<test::TempDir> tmp;
  std::string root;
};

TEST_F(ScanTree, RecursiveScanSkipsDotNamesAndLinks) {
  TqmxFileScan s;
  s.SetRootDir(root.substr(0, root.size() - 1));
  EXPECT_EQ(s.RootDir(), root);
  std::vector<std::string> dirs, scanned;
  int finished = 0;
  s.OnRecurseDir = [&](TqmxFileScan&, const std::string& d) { dirs.push_back(d); };
  s.OnScanFile = [&](TqmxFileScan&, const std::string& f, int, std::int64_t) {
    scanned.push_back(f);
  };
  s.OnFinished = [&](TqmxFileScan&, int n, std::int64_t size) {
    ++finished;
    EXPECT_EQ(n, 6);
    EXPECT_EQ(size, 5 + 7 + 3 + 2 + 11 + 13);
  };
  s.Activate();
  EXPECT_EQ(finished, 1);
  EXPECT_THAT(dirs, ElementsAre(root, root + "sub/", root + "sub/deep/"));
  EXPECT_THAT(scanned, ElementsAre("README", "a.txt", "b.doc", "ro.txt", "c.txt", "d.TXT"));
  const TFileObject& a = s.FilesList().Items(1);
  EXPECT_EQ(a.Size(), 5);
  EXPECT_EQ(a.DosDateTime, FileGetDate(root + "a.txt"));
  EXPECT_EQ(s.FilesList().Items(4).Dir, root + "sub/");
}

TEST_F(ScanTree, MasksAndAttributeFilters) {
  TqmxFileScan s;
  s.SetRootDir(root);
  s.SetMaskString(" *.txt , READ* ");
  s.Activate();
  EXPECT_EQ(Found(s),
            (std::set<std::string>{"README", "a.txt", "ro.txt", "sub/c.txt", "sub/deep/d.TXT"}));
  s.AttributesEx = {fsReadOnly};
  s.Activate();
  EXPECT_EQ(Found(s).count("ro.txt"), 0u);
  EXPECT_EQ(s.FilesCount(), 4);
  // Directories become entries of their own, uncounted; links too, but
  // they are not entered.
  s.SetMaskString("none");
  s.Attributes = {fsDirectory};
  s.AttributesEx = {};
  s.Activate();
  EXPECT_EQ(Found(s), (std::set<std::string>{"link/", "loop/", "sub/", "sub/deep/"}));
  EXPECT_EQ(s.FilesCount(), 0);
}

TEST_F(ScanTree, CountOnlyCancelAndFailingHandlers) {
  TqmxFileScan s;
  s.SetRootDir(root);
  s.UpdateList = false;
  bool scanned = false;
  int count = -1;
  s.OnScanFile = [&](TqmxFileScan&, const std::string&, int, std::int64_t) { scanned = true; };
  s.OnFinished = [&](TqmxFileScan&, int n, std::int64_t) { count = n; };
  s.Activate();
  EXPECT_FALSE(scanned);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(s.FilesSize(), 41);
  EXPECT_EQ(s.FilesList().Count(), 0);

  // Cancelling from a handler stops the walk; the flag may be shared.
  bool shared = true;  // Activate clears it
  s.ShareCancel(&shared);
  s.UpdateList = true;
  s.OnScanFile = [&](TqmxFileScan& sender, const std::string&, int n, std::int64_t) {
    if (n == 2) sender.CancelScan();
  };
  s.Activate();
  EXPECT_TRUE(shared);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(s.FilesList().Count(), 2);

  s.OnScanFile = [&](TqmxFileScan&, const std::string&, int, std::int64_t) {
    throw std::runtime_error("handler failed");
  };
  count = -1;
  EXPECT_NO_THROW(s.Activate());
  EXPECT_EQ(count, 1);
  EXPECT_EQ(s.LastError(), "handler failed");

  s.SetRootDir(root + "missing");
  s.OnScanFile = nullptr;
  s.Activate();
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(s.LastError().empty());
}

// Records the groups the scanner dispatches.
class GroupScan : public TqmxFileScan {
 public:
  void ScanDispatch(const std::string& Directory, std::uint32_t AttrMask,
                    const TMaskCollection& Masks) override {
    TStrings m;
    for (std::size_t i = 0; i < Masks.Count(); ++i) m.push_back(Masks.Items(i).Text());
    Groups[Directory].push_back(m);
    TqmxFileScan::ScanDispatch(Directory, AttrMask, Masks);
  }
  std::map<std::string, std::vector<TStrings>> Groups;
};

TEST_F(ScanTree, FileSpecGroupsMergeAndCover) {
  Put("d/n1.txt", 1);
  Put("d/N2", 1);
  Put("x/p.txt", 1);
  Put("X/q.txt", 1);  // a distinct directory on this file system
  GroupScan s;
  s.SetRootDir(root + "x");
  std::vector<std::string> roots;
  s.OnRootDirChange = [&](TqmxFileScan&, const std::string& d) { roots.push_back(d); };
  s.SetFileSpec({root + "d/*.txt", "  ", root + "D/*", root + "d/n*", root + "X/*.*", "*.txt"});
  EXPECT_TRUE(s.MaskString().empty());
  s.Activate();
  EXPECT_THAT(roots, ElementsAre(root + "d/", root + "X/", root + "x/"));
  EXPECT_THAT(s.Groups[root + "d/"], ElementsAre(TStrings{"*"}));
  EXPECT_THAT(s.Groups[root + "X/"], ElementsAre(TStrings{"*"}));  // from "*.*"
  EXPECT_THAT(s.Groups[root + "x/"], ElementsAre(TStrings{"*.txt"}));
  EXPECT_EQ(Found(s), (std::set<std::string>{"d/n1.txt", "d/N2", "X/q.txt", "x/p.txt"}));
  EXPECT_TRUE(s.FileSpec().empty());
  EXPECT_EQ(s.RootDir(), root + "x/");

  s.SetFileSpec({root + "d/n1.txt", root + "d/*.TXT", root + "d/n1.*"});
  s.Groups.clear();
  s.Activate();
  EXPECT_THAT(s.Groups[root + "d/"], ElementsAre(TStrings{"*.TXT", "n1.*"}));
}

TEST_F(ScanTree, PatternModeSearchesEachEntryOnce) {
  TqmxFileScan s;
  s.RecurseDirs = false;
  s.SetFileSpec({root + "*.txt", root + "nothing*", root + "sub/*.*"});
  std::vector<std::string> roots;
  bool recursed = false;
  s.OnRootDirChange = [&](TqmxFileScan&, const std::string& d) { roots.push_back(d); };
  s.OnRecurseDir = [&](TqmxFileScan&, const std::string&) { recursed = true; };
  s.Activate();
  EXPECT_THAT(roots, ElementsAre(root, root + "sub/"));
  EXPECT_FALSE(recursed);
  EXPECT_EQ(Found(s), (std::set<std::string>{"a.txt", "ro.txt", "sub/c.txt"}));
  EXPECT_EQ(s.FileSpec().size(), 3u);
}

TEST_F(ScanTree, SortingHooksAndDriveRoots) {
  TqmxFileScan s;
  s.SetRootDir(root);
  s.SetSorted(soBySize);
  s.Activate();
  std::vector<std::int64_t> sizes;
  for (int i = 0; i < s.FilesList().Count(); ++i) sizes.push_back(s.FilesList().Items(i).Size());
  EXPECT_THAT(sizes, ElementsAre(2, 3, 5, 7, 11, 13));
  int finished = 0;
  s.OnFinished = [&](TqmxFileScan&, int, std::int64_t) { ++finished; };
  s.SetSorted(soBySize);  // unchanged, still reported
  s.SetSorted(soByName);
  EXPECT_EQ(finished, 2);
  EXPECT_EQ(s.FilesList().Items(0).FileName, "a.txt");

  // A replaced hook decides what counts and gets the owner's list.
  int tag = 0;
  std::vector<std::string> taken;
  s.ListRef = &tag;
  s.AddFileProc = [&](const std::string& dir, void* list, const TSearchRec& rec) {
    EXPECT_EQ(list, &tag);
    taken.push_back(dir + rec.Name);
    return rec.Name != "d.TXT";
  };
  s.ScanOptions = soScanDrvs;
  s.DriveRoots = [&] { return TStrings{root + "sub/deep/", root + "sub/"}; };
  s.Activate();
  EXPECT_THAT(taken,
              ElementsAre(root + "sub/deep/d.TXT", root + "sub/c.txt", root + "sub/deep/d.TXT"));
  EXPECT_EQ(s.FilesCount(), 1);
}

// Entries with attributes a Linux file system cannot show.
class FakeScan : public TqmxFileScan {
 protected:
  bool FindEntries(const std::string& dir, std::vector<TSearchRec>& out) override {
    if (dir == "/r/") {
      out = {{"enc", faEncrypted | faNotContentIndexed, 1},
             {"hid", faHidden, 2},
             {"Hidden", faDirectory | faHidden, 0},
             {"nci", faNotContentIndexed | faSysFile, 4},
             {"normal", faNormal, 8},
             {"sys", faSysFile | faArchive, 16}};
      return true;
    }
    if (dir == "/r/Hidden/") {
      out = {{"inner", faArchive, 32}};
      return true;
    }
    return false;
  }
};

TEST(ScanAttributes, IncludeExcludeAndHiddenDirectories) {
  FakeScan s;
  std::vector<std::string> seen;
  s.AddFileProc = [&](const std::string& dir, void*, const TSearchRec& rec) {
    seen.push_back((rec.Attr & faDirectory) ? dir : dir + rec.Name);
    return true;
  };
  // FileSpec mode: /r need not exist for the group to be scanned.
  auto run = [&] {
    seen.clear();
    s.SetFileSpec({"/r/*"});
    s.Activate();
  };
  run();  // default set: zero/normal, read-only, archive, compressed, encrypted
  EXPECT_THAT(seen, UnorderedElementsAre("/r/enc", "/r/nci", "/r/normal", "/r/sys"));
  s.Attributes = {fsVolumeID};  // matches nothing, but 0x2000 still passes
  s.AttributesEx = {fsSysFile};
  s.IncludeHiddenDirs = true;
  run();
  EXPECT_THAT(seen, UnorderedElementsAre("/r/enc"));
  s.Attributes = {fsHidden, fsArchive};
  s.AttributesEx = {};
  run();
  EXPECT_THAT(seen, UnorderedElementsAre("/r/enc", "/r/hid", "/r/Hidden/", "/r/nci", "/r/sys",
                                         "/r/Hidden/inner"));
  s.IncludeHiddenDirs = false;
  run();
  EXPECT_THAT(seen, UnorderedElementsAre("/r/enc", "/r/hid", "/r/Hidden/", "/r/nci", "/r/sys"));
  EXPECT_EQ(TqmxFileScan::AttributesToWindows(
                {fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted}),
            0x4821u);
}

}  // namespace
}  // namespace qmx
