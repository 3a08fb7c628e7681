#include "archive/platform/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <set>

#include "archive/base/types.h"
#include "scratch.h"

namespace qmx {
namespace {

using FilesTest = test::TScratchTest;

TEST_F(FilesTest, HandlesReadWriteSeekAndTruncateBeyond4GiB) {
  const std::string p = Path("data.bin");
  int fd = FileCreate(p);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(FileWrite(fd, "abc", 3), 3);

  // Sparse write past 4 GiB proves 64-bit offsets end to end.
  const std::int64_t far = (5LL << 30) + 7;
  EXPECT_EQ(FileSeek(fd, far, soFromBeginning), far);
  EXPECT_EQ(FileWrite(fd, "z", 1), 1);
  EXPECT_EQ(FileSizeOf(fd), far + 1);
  EXPECT_EQ(FileSizeByName(p), far + 1);
  EXPECT_EQ(FileSeek(fd, -1, soFromEnd), far);

  ASSERT_TRUE(FileTruncate(fd, 2));
  EXPECT_EQ(FileSizeOf(fd), 2);
  FileClose(fd);

  fd = FileOpen(p, fmOpenRead | 0x40 /* share deny none, ignored */);
  ASSERT_GE(fd, 0);
  char buf[8] = {};
  EXPECT_EQ(FileRead(fd, buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "ab");
  EXPECT_EQ(FileRead(fd, buf, sizeof buf), 0);
  EXPECT_EQ(FileWrite(fd, "x", 1), -1);  // opened read-only
  FileClose(fd);

  EXPECT_EQ(FileOpen(Path("missing"), fmOpenRead), -1);
  EXPECT_EQ(LastOsError(), ENOENT);
  EXPECT_TRUE(IsDiskFullError(ENOSPC));
  EXPECT_FALSE(IsDiskFullError(EIO));
}

TEST_F(FilesTest, CreateTruncatesAndNeverWritesThroughLinks) {
  WriteText("old", "previous content");
  int fd = FileOpen(Path("old"), fmCreate);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(FileSizeOf(fd), 0);
  FileClose(fd);

  const mode_t mask = ::umask(022);
  ::umask(mask);
  struct stat st;
  ASSERT_EQ(::stat(Path("old").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);

  // A link at the output path is replaced; its target stays untouched.
  WriteText("target", "secret");
  ASSERT_EQ(::symlink(Path("target").c_str(), Path("link").c_str()), 0);
  fd = FileCreate(Path("link"));
  ASSERT_GE(fd, 0);
  EXPECT_EQ(FileWrite(fd, "new", 3), 3);
  FileClose(fd);
  EXPECT_EQ(ReadText(Path("target")), "secret");
  EXPECT_FALSE(IsSymLink(Path("link")));
  EXPECT_EQ(ReadText(Path("link")), "new");

  // A dangling link must not create its target elsewhere.
  ASSERT_EQ(::symlink(Path("elsewhere").c_str(), Path("dangling").c_str()), 0);
  fd = FileCreate(Path("dangling"));
  ASSERT_GE(fd, 0);
  FileClose(fd);
  EXPECT_FALSE(PathExists(Path("elsewhere")));
  EXPECT_TRUE(FileExists(Path("dangling")));
  EXPECT_FALSE(IsSymLink(Path("dangling")));
}

TEST_F(FilesTest, ExistenceTestsAndExpandedNames) {
  ASSERT_TRUE(CreateDir(Path("d")));
  ASSERT_EQ(::symlink(Path("d").c_str(), Path("ld").c_str()), 0);
  EXPECT_FALSE(FileExists(Path("d")));
  EXPECT_TRUE(FileExists(Path("ld")));  // the link itself is no directory
  EXPECT_TRUE(IsDirectory(Path("ld")));
  EXPECT_FALSE(DeleteFile(Path("d")));  // never removes a directory

  const std::string cwd = GetCurrentDir();
  ASSERT_TRUE(SetCurrentDir(dir_));
  char real[PATH_MAX];
  ASSERT_NE(::realpath(dir_.c_str(), real), nullptr);
  EXPECT_EQ(GetCurrentDir(), real);
  EXPECT_EQ(ExpandFileName("x/./y/../z"), std::string(real) + "/x/z");
  EXPECT_EQ(ExpandFileName("sub/"), std::string(real) + "/sub/");
  ASSERT_TRUE(SetCurrentDir(cwd));
  EXPECT_EQ(ExpandFileName("/a//b/../../../c"), "/c");
  EXPECT_EQ(ExpandFileName("/a/.."), "/");
}

TEST_F(FilesTest, AttributesFollowTheWindowsRules) {
  WriteText("plain", "x");
  WriteText(".hidden", "x");
  ASSERT_TRUE(CreateDir(Path("dir")));
  ASSERT_TRUE(CreateDir(Path(".hdir")));
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::symlink(Path("dir").c_str(), Path("ldir").c_str()), 0);

  EXPECT_EQ(FileGetAttr(Path("plain")), static_cast<std::int32_t>(faArchive));
  EXPECT_EQ(FileGetAttr(Path(".hidden")), static_cast<std::int32_t>(faArchive | faHidden));
  EXPECT_EQ(FileGetAttr(Path("dir")), static_cast<std::int32_t>(faDirectory));
  EXPECT_EQ(FileGetAttr(Path(".hdir")), static_cast<std::int32_t>(faDirectory | faHidden));
  EXPECT_EQ(FileGetAttr(Path("ldir")), static_cast<std::int32_t>(faDirectory));
  EXPECT_EQ(FileGetAttr(dir_ + "/."), static_cast<std::int32_t>(faDirectory));
  EXPECT_EQ(FileGetAttr(Path("missing")), -1);
  // Special files must not look like plain files a writer would open.
  EXPECT_TRUE(FileGetAttr(Path("fifo")) & faSysFile);
  EXPECT_FALSE(FileGetAttr(Path("fifo")) & faArchive);

  ASSERT_EQ(::chmod(Path("plain").c_str(), 0664), 0);
  ASSERT_TRUE(FileSetAttr(Path("plain"), faReadOnly | faArchive));
  struct stat st;
  ASSERT_EQ(::stat(Path("plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);  // every write bit cleared
  EXPECT_EQ(FileGetAttr(Path("plain")), static_cast<std::int32_t>(faArchive | faReadOnly));

  ASSERT_TRUE(FileSetAttr(Path("plain"), faArchive));
  ASSERT_EQ(::stat(Path("plain").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // only the owner gets write back
  EXPECT_EQ(FileGetAttr(Path("plain")), static_cast<std::int32_t>(faArchive));

  EXPECT_FALSE(FileSetAttr(Path("missing"), 0));
}

std::uint32_t Dos(int y, int mo, int d, int h, int mi, int s) {
  return (static_cast<std::uint32_t>(y - 1980) << 25) | (static_cast<std::uint32_t>(mo) << 21) |
         (static_cast<std::uint32_t>(d) << 16) | (static_cast<std::uint32_t>(h) << 11) |
         (static_cast<std::uint32_t>(mi) << 5) | static_cast<std::uint32_t>(s / 2);
}

TEST(DosDates, ValidValuesRoundTripThroughLocalTime) {
  const std::uint32_t values[] = {Dos(1980, 1, 1, 0, 0, 0),     Dos(2024, 2, 29, 23, 59, 58),
                                  Dos(2021, 6, 15, 13, 45, 30), Dos(2000, 12, 31, 12, 0, 2),
                                  Dos(2099, 7, 4, 6, 7, 8),     Dos(2107, 12, 31, 23, 59, 58)};
  for (std::uint32_t v : values) {
    std::time_t t = DosDateTimeToUnix(v);
    ASSERT_NE(t, -1) << std::hex << v;
    EXPECT_EQ(UnixToDosDateTime(t), v) << std::hex << v;
  }
  // The value is local time; odd seconds fall to the even second below.
  std::time_t t = DosDateTimeToUnix(Dos(2021, 6, 15, 13, 45, 30));
  struct tm lt;
  char text[32];
  std::strftime(text, sizeof text, "%F %T", ::localtime_r(&t, &lt));
  EXPECT_STREQ(text, "2021-06-15 13:45:30");
  EXPECT_EQ(UnixToDosDateTime(t + 1), Dos(2021, 6, 15, 13, 45, 30));
  // Outside the DOS range: clamped to its ends.
  EXPECT_EQ(UnixToDosDateTime(86400 * 365), Dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(UnixToDosDateTime(t + 200LL * 366 * 86400), Dos(2107, 12, 31, 23, 59, 58));
}

TEST(DosDates, InvalidPackedValuesGiveMinusOne) {
  const std::uint32_t invalid[] = {
      0,                               // month 0, day 0
      Dos(2020, 13, 1, 0, 0, 0),       // month 13
      Dos(2020, 1, 0, 0, 0, 0),        // day 0
      Dos(2021, 2, 29, 0, 0, 0),       // not a leap year
      Dos(2100, 2, 29, 0, 0, 0),       // century, not a leap year
      Dos(2020, 4, 31, 0, 0, 0),       // April has 30 days
      Dos(2020, 1, 1, 24, 0, 0),       // hour 24
      Dos(2020, 1, 1, 0, 60, 0),       // minute 60
      Dos(2020, 1, 1, 0, 0, 0) | 30u,  // 60 seconds
  };
  for (std::uint32_t v : invalid) EXPECT_EQ(DosDateTimeToUnix(v), -1) << std::hex << v;
}

TEST_F(FilesTest, FileDatesRoundTripByPathAndHandle) {
  WriteText("f", "x");
  const std::uint32_t when = Dos(2019, 3, 10, 8, 30, 44);
  ASSERT_TRUE(FileSetDate(Path("f"), when));
  EXPECT_EQ(FileGetDate(Path("f")), when);
  EXPECT_EQ(FileGetMTime(Path("f")), DosDateTimeToUnix(when));

  int fd = FileOpen(Path("f"), fmOpenReadWrite);
  ASSERT_GE(fd, 0);
  const std::uint32_t later = Dos(2022, 11, 30, 17, 1, 2);
  ASSERT_TRUE(FileSetDate(fd, later));
  EXPECT_EQ(FileGetDate(fd), later);
  EXPECT_FALSE(FileSetDate(fd, Dos(2022, 2, 30, 0, 0, 0)));
  EXPECT_EQ(FileGetDate(fd), later);
  FileClose(fd);

  EXPECT_EQ(FileGetDate(Path("missing")), 0u);
}

TEST_F(FilesTest, ListingIsSortedByBytesAndReportsLinks) {
  WriteText("b", "bb");
  WriteText("a", "a");
  WriteText("B", "");
  WriteText("\xC3\xA9t\xC3\xA9", "x");  // UTF-8 sorts after ASCII
  WriteText(".h", "");
  ASSERT_TRUE(CreateDir(Path("sub")));
  ASSERT_EQ(::symlink(Path("sub").c_str(), Path("lsub").c_str()), 0);
  ASSERT_EQ(::symlink("a", Path("la").c_str()), 0);
  ASSERT_EQ(::symlink(Path("gone").c_str(), Path("zz").c_str()), 0);
  ASSERT_TRUE(FileSetDate(Path("b"), Dos(2010, 5, 6, 7, 8, 10)));

  std::vector<TSearchRec> list;
  ASSERT_TRUE(ListDirectory(dir_, list));
  std::vector<std::string> names;
  for (const auto& r : list) names.push_back(r.Name);
  EXPECT_EQ(names, (std::vector<std::string>{".h", "B", "a", "b", "la", "lsub", "sub", "zz",
                                             "\xC3\xA9t\xC3\xA9"}));

  auto find = [&](const std::string& n) -> const TSearchRec& {
    for (const auto& r : list)
      if (r.Name == n) return r;
    static TSearchRec none;
    ADD_FAILURE() << n;
    return none;
  };
  EXPECT_EQ(find(".h").Attr, faArchive | faHidden);
  EXPECT_EQ(find("b").Attr, faArchive);
  EXPECT_EQ(find("b").Size, 2);
  EXPECT_EQ(find("b").DosTime, Dos(2010, 5, 6, 7, 8, 10));
  EXPECT_EQ(find("sub").Attr, faDirectory);
  EXPECT_FALSE(find("sub").IsLink);
  // Link to a directory: a directory that callers must not descend into.
  EXPECT_EQ(find("lsub").Attr, faDirectory);
  EXPECT_TRUE(find("lsub").IsLink);
  EXPECT_EQ(find("la").Attr, faArchive);
  EXPECT_EQ(find("la").Size, 1);  // the target's size
  EXPECT_TRUE(find("la").IsLink);
  EXPECT_EQ(find("zz").Attr, faArchive);  // dangling: a file
  EXPECT_EQ(find("zz").Size, 0);
  EXPECT_TRUE(find("zz").IsLink);

  std::vector<TSearchRec> again(1);
  EXPECT_FALSE(ListDirectory(Path("missing"), again));
  EXPECT_TRUE(again.empty());
  EXPECT_FALSE(ListDirectory(Path("b"), again));
}

TEST_F(FilesTest, UniqueTempFilesAreFreshEmptyAndNamedByPattern) {
  const std::regex pattern("qmx[0-9A-F]+\\.tmp");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string p = CreateUniqueTempFile(i % 2 ? dir_ : dir_ + "/");
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.rfind(dir_ + "/", 0), 0u) << p;
    EXPECT_TRUE(std::regex_match(p.substr(dir_.size() + 1), pattern)) << p;
    EXPECT_EQ(FileSizeByName(p), 0);
    EXPECT_TRUE(seen.insert(p).second) << "duplicate " << p;
  }
  std::string custom = CreateUniqueTempFile(dir_, "abc");
  EXPECT_TRUE(std::regex_match(custom.substr(dir_.size() + 1), std::regex("abc[0-9A-F]+\\.tmp")));
  EXPECT_EQ(CreateUniqueTempFile(Path("missing")), "");
}

TEST_F(FilesTest, SystemTempDirHonoursTmpdirAndLengthLimit) {
  env_.Set("TMPDIR", dir_);
  EXPECT_EQ(SystemTempDir(), dir_ + "/");

  env_.Set("TMPDIR", Path("missing"));
  EXPECT_EQ(SystemTempDir(), "/tmp/");

  // Build an existing directory whose path exceeds the limit.
  std::string deep = dir_;
  while (deep.size() <= 260) {
    deep += "/" + std::string(40, 'd');
    ASSERT_TRUE(CreateDir(deep));
  }
  env_.Set("TMPDIR", deep);
  EXPECT_EQ(SystemTempDir(), "");
}

TEST_F(FilesTest, TrashMovesFilesAndRecordsWhereTheyCameFrom) {
  env_.Set("XDG_DATA_HOME", Path("xdg"));  // created on demand
  ASSERT_TRUE(CreateDir(Path("work")));
  const std::string name = "my file%\xC3\xA9.txt";
  char real[PATH_MAX];
  ASSERT_NE(::realpath(dir_.c_str(), real), nullptr);
  const std::regex info("\\[Trash Info\\]\nPath=" + std::string(real) +
                        "/work/my%20file%25%C3%A9\\.txt\n"
                        "DeletionDate=(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)\n");

  WriteText("work/" + name, "first");
  const std::time_t before = std::time(nullptr);
  ASSERT_TRUE(MoveToTrash(Path("work/./" + name)));
  EXPECT_FALSE(PathExists(Path("work/" + name)));
  EXPECT_EQ(ReadText(Path("xdg/Trash/files/" + name)), "first");
  std::smatch m;
  const std::string text = ReadText(Path("xdg/Trash/info/" + name + ".trashinfo"));
  ASSERT_TRUE(std::regex_match(text, m, info)) << text;
  struct tm lt {};
  ::strptime(m.str(1).c_str(), "%Y-%m-%dT%H:%M:%S", &lt);
  lt.tm_isdst = -1;
  EXPECT_GE(::mktime(&lt), before - 1);  // local time of deletion
  EXPECT_LE(::mktime(&lt), std::time(nullptr) + 1);

  // A second file of the same name gets its own slot; nothing is overwritten.
  WriteText("work/" + name, "second");
  ASSERT_TRUE(MoveToTrash(Path("work/" + name)));
  std::vector<TSearchRec> files;
  ASSERT_TRUE(ListDirectory(Path("xdg/Trash/files"), files));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(ReadText(Path("xdg/Trash/files/" + name)), "first");
  EXPECT_EQ(ReadText(Path("xdg/Trash/files/" + files[1].Name)), "second");
  EXPECT_TRUE(
      std::regex_match(ReadText(Path("xdg/Trash/info/" + files[1].Name + ".trashinfo")), info));

  EXPECT_FALSE(MoveToTrash(Path("work/missing")));
}

TEST_F(FilesTest, TrashOnAnotherFileSystemLeavesTheFile) {
  // Needs a writable directory on a different device than the scratch dir.
  std::string other;
  for (const char* cand : {"/dev/shm", "/run/user", "/tmp", "/var/tmp", "/run"}) {
    if (IsDirectory(cand) && ::access(cand, W_OK) == 0 && !SameFileSystem(cand, dir_)) {
      other = cand;
      break;
    }
  }
  if (other.empty()) GTEST_SKIP() << "no second writable file system";
  std::string tmpl = other + "/qmxtrash.XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  const std::string victim = tmpl + "/keep.txt";
  { std::ofstream(victim) << "data"; }

  env_.Set("XDG_DATA_HOME", Path("xdg"));
  EXPECT_FALSE(MoveToTrash(victim));
  EXPECT_EQ(ReadText(victim), "data");
  std::vector<TSearchRec> infos;
  ListDirectory(Path("xdg/Trash/info"), infos);
  EXPECT_TRUE(infos.empty()) << "stale trash info left behind";
  std::filesystem::remove_all(tmpl);
}

TEST_F(FilesTest, SameFileSystemComparesDevices) {
  WriteText("f", "");
  EXPECT_TRUE(SameFileSystem(Path("f"), dir_));
  EXPECT_TRUE(SameFileSystem(Path("f"), Path("not/yet/there.zip")));
  EXPECT_FALSE(SameFileSystem(Path("f"), "/proc/self"));
  EXPECT_FALSE(SameFileSystem("", dir_));
}

TEST_F(FilesTest, SameFileByIdentityAndByName) {
  WriteText("a.jar", "x");
  WriteText("twin.jar", "x");
  ASSERT_EQ(::link(Path("a.jar").c_str(), Path("hard.jar").c_str()), 0);
  ASSERT_EQ(::symlink(Path("a.jar").c_str(), Path("soft.jar").c_str()), 0);
  for (const char* other : {"hard.jar", "soft.jar", "./a.jar"}) {
    EXPECT_TRUE(SameFile(Path("a.jar"), Path(other))) << other;
    EXPECT_TRUE(SameFilePath(Path("a.jar"), Path(other))) << other;
    EXPECT_TRUE(SameFilePathNoCase(Path("a.jar"), Path(other))) << other;
  }
  // Equal content is not the same file.
  EXPECT_FALSE(SameFile(Path("a.jar"), Path("twin.jar")));
  EXPECT_FALSE(SameFilePath(Path("a.jar"), Path("twin.jar")));
  EXPECT_FALSE(SameFilePathNoCase(Path("a.jar"), Path("twin.jar")));

  // A file not written yet is only known by its name.
  const std::string missing = Path("sub/../new.jar");
  EXPECT_FALSE(SameFile(missing, missing));
  EXPECT_TRUE(SameFilePath(missing, Path("new.jar")));
  EXPECT_FALSE(SameFilePath(missing, Path("NEW.jar")));
  EXPECT_TRUE(SameFilePathNoCase(missing, Path("NEW.jar")));
  EXPECT_FALSE(SameFilePathNoCase(Path("\xC3\xA9.jar"), Path("\xC3\x89.jar")));

  for (const std::string& p : {Path("a.jar"), missing}) {
    EXPECT_FALSE(SameFile(p, ""));
    EXPECT_FALSE(SameFilePath("", p));
    EXPECT_FALSE(SameFilePathNoCase(p, ""));
  }
}

}  // namespace
}  // namespace qmx
