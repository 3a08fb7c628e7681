#include "archive/base/zip_common.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "archive/base/names.h"
#include "archive/platform/files.h"
#include "archive/platform/ui_hooks.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Exposes the operation frame and the counters to the tests.
class TestComponent : public TZipCommon {
 public:
  using TZipCommon::FArcType;
  using TZipCommon::FBytesToDo;
  using TZipCommon::FFilesProcessed;
  using TZipCommon::FMaxFileDate;
  using TZipCommon::FTotalUnpacked;
  using TZipCommon::RunOperation;
  using TZipCommon::SetVolumeNaming;
  using TZipCommon::TOperationKind;
  void SetArchiveName(const std::string& n) { FArchiveFile = n; }
};

struct ErrorLog {
  struct Entry {
    std::string file, ext, volume;
    int code;
  };
  std::vector<Entry> entries;
  void Attach(TZipCommon& c) {
    c.OnError = [this](TZipCommon&, const std::string& f, const std::string& e,
                       const std::string& v, int code) {
      entries.push_back({f, e, v, code});
    };
  }
};

class ScriptedPrompt : public TUserPrompt {
 public:
  explicit ScriptedPrompt(bool answer) : answer_(answer) {}
  bool AskYesNo(const std::string&, const std::string& text) override {
    asked.push_back(text);
    return answer_;
  }
  bool AskRetryCancel(const std::string&, const std::string&) override { return false; }
  void ShowMessage(const std::string&, const std::string&) override {}
  std::vector<std::string> asked;

 private:
  bool answer_;
};

TEST(ZipCommon, DefaultsMatchTheComponentContract) {
  TestComponent c;
  EXPECT_EQ(c.Attributes.Word(), 451);
  EXPECT_TRUE(c.AttributesEx.Empty());
  EXPECT_EQ(c.PasswordAttempts, 3);
  EXPECT_FALSE(c.RecurseDirs);
  EXPECT_TRUE(c.TranslateOemChar);
  EXPECT_TRUE(c.UseStoredDirs);
  EXPECT_EQ(c.OverwriteMode, omOverwrite);
  EXPECT_EQ(c.DeleteOptions, doAllowUndo);
  EXPECT_EQ(c.CompressionMethod, cmTempFile);
  EXPECT_EQ(c.ArcType(), atNA);
  EXPECT_FALSE(c.Cancel());
  c.SetZipCmntBufSize(10);
  EXPECT_EQ(c.ZipCmntBufSize(), 2000);
  c.SetZipCmntBufSize(100000);
  EXPECT_EQ(c.ZipCmntBufSize(), 32767);
}

TEST(ZipCommon, ArchiveFileThatDoesNotExistIsCleared) {
  TempDir d;
  TestComponent c;
  c.SetArchiveFile(d / "missing.zip");
  EXPECT_EQ(c.ArchiveFile(), "");
  EXPECT_EQ(c.ArcType(), atNA);
}

TEST(ZipCommon, ArchiveFileRecordsSizeAndDate) {
  TempDir d;
  WriteFile(d / "a.bin", std::string(100, 'x'));
  TestComponent c;
  c.SetArchiveFile(d / "a.bin");
  EXPECT_EQ(c.ArchiveFile(), d / "a.bin");
  EXPECT_EQ(c.ArchiveSize(), 100);
  EXPECT_NE(c.ArchiveDate(), 0u);
}

TEST(ZipCommon, TempDirFallsBackAndAsks) {
  TempDir d;
  TestComponent c;
  c.SetTempDir(d.path().substr(0, d.path().size() - 1));
  EXPECT_EQ(c.TempDir(), d.path());  // delimiter appended

  CreateDir(d / "gone");
  c.SetTempDir(d / "gone");
  RemoveDir(d / "gone");
  EXPECT_EQ(c.TempDir(), SystemTempDirPath());

  auto no = std::make_shared<ScriptedPrompt>(false);
  SetUserPrompt(no);
  c.SetTempDir(d / "new/deeper");
  EXPECT_EQ(c.TempDir(), SystemTempDirPath());
  ASSERT_EQ(no->asked.size(), 1u);
  EXPECT_EQ(no->asked[0], "Directory does not exist... Create?\r\r" + d / "new/deeper/");

  auto yes = std::make_shared<ScriptedPrompt>(true);
  SetUserPrompt(yes);
  c.SetTempDir(d / "new/deeper");
  EXPECT_EQ(c.TempDir(), d / "new/deeper/");
  EXPECT_TRUE(DirectoryExists(d / "new/deeper"));
  SetUserPrompt(nullptr);
}

TEST(ZipCommon, CancelReportsOnceAndReplacesLaterCodes) {
  TestComponent c;
  ErrorLog log;
  log.Attach(c);
  c.SetCancel(true);
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].code, 25443);
  c.ReportError("f", "", "v", E_CRC_FAIL);
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[1].code, 25443);
  // Cancelled: RaiseError reports but raises nothing.
  EXPECT_NO_THROW(c.RaiseError("f", "", "0", E_DISK_FULL));
  EXPECT_EQ(log.entries.back().code, 25443);
  c.SetCancel(false);
  EXPECT_EQ(log.entries.size(), 3u);  // clearing is silent
}

TEST(ZipCommon, RaiseErrorCarriesTheMessageOfItsCode) {
  TestComponent c;
  try {
    c.RaiseError("arc", "file", "0", E_DISK_FULL);
    FAIL() << "no exception";
  } catch (const E_RAISE& e) {
    EXPECT_STREQ(e.what(), "Disk full");
  }
  try {
    c.RaiseError("arc", "", "0", 25999);  // a code without text
    FAIL() << "no exception";
  } catch (const E_RAISE& e) {
    EXPECT_STREQ(e.what(), "");
  }
}

TEST(ZipCommon, HandlerThatCancelsStopsTheRaise) {
  TestComponent c;
  int calls = 0;
  c.OnError = [&](TZipCommon& s, const std::string&, const std::string&, const std::string&,
                  int code) {
    ++calls;
    if (code == E_DISK_FULL) s.SetCancel(true);
  };
  EXPECT_NO_THROW(c.RaiseError("arc", "", "0", E_DISK_FULL));
  EXPECT_EQ(calls, 2);  // the error, then the cancel itself
  EXPECT_TRUE(c.Cancel());
}

TEST(ZipCommon, SharedCancelFlagStopsEveryHolder) {
  TestComponent a, b;
  bool shared = false;
  a.ShareCancel(&shared);
  b.ShareCancel(&shared);
  a.SetCancel(true);
  EXPECT_TRUE(b.Cancel());
  b.ShareCancel(nullptr);
  EXPECT_FALSE(b.Cancel());
}

TEST(ZipCommon, OperationFrameOrderAndElapsedTime) {
  for (auto kind :
       {TestComponent::TOperationKind::Extraction, TestComponent::TOperationKind::Compression}) {
    TestComponent c;
    std::vector<std::string> order;
    c.OnActivate = [&](TZipCommon&) { order.push_back("activate"); };
    c.OnDeactivate = [&](TZipCommon&) { order.push_back("deactivate"); };
    c.OnElapsedTime = [&](TZipCommon&, float t) {
      order.push_back("elapsed");
      EXPECT_GE(t, 0.0f);
    };
    c.SetCancel(true);  // a new operation clears it
    int n = c.RunOperation(kind, [&] {
      EXPECT_FALSE(c.Cancel());
      order.push_back("work");
      c.FFilesProcessed = 2;
      c.RaiseError("", "", "0", E_BAD_BLOCK);  // stops the work, not the frame
      order.push_back("not reached");
    });
    EXPECT_EQ(n, 2);
    if (kind == TestComponent::TOperationKind::Extraction)
      EXPECT_EQ(order, (std::vector<std::string>{"activate", "work", "elapsed", "deactivate"}));
    else
      EXPECT_EQ(order, (std::vector<std::string>{"activate", "work", "deactivate", "elapsed"}));
  }
}

TEST(ZipCommon, ElapsedTimeExcludesTimeInErrorHandlers) {
  TestComponent c;
  float elapsed = -1;
  c.OnElapsedTime = [&](TZipCommon&, float t) { elapsed = t; };
  c.OnError = [](TZipCommon&, const std::string&, const std::string&, const std::string&, int) {
    usleep(300000);
  };
  c.RunOperation(TestComponent::TOperationKind::Extraction,
                 [&] { c.ReportError("", "", "", E_CRC_FAIL); });
  EXPECT_GE(elapsed, 0.0f);
  EXPECT_LT(elapsed, 0.2f);
}

TEST(ZipCommon, StoredNamesStayInsideExtractDir) {
  TempDir d;
  TestComponent c;
  ErrorLog log;
  log.Attach(c);
  c.SetExtractDir(d / "out");
  EXPECT_EQ(c.ExtractDir(), d / "out/");

  c.SetFileName("C:\\dir\\a.txt");
  EXPECT_EQ(c.FileName(), d / "out/dir/a.txt");
  c.SetFileName("C:/dir/a.txt");
  EXPECT_EQ(c.FileName(), d / "out/dir/a.txt");
  c.SetFileName("/etc/passwd");
  EXPECT_EQ(c.FileName(), d / "out/etc/passwd");
  // Only a letter and a colon at the start are a drive; other colons stay.
  c.SetFileName("ab:cd.txt");
  EXPECT_EQ(c.FileName(), d / "out/ab:cd.txt");
  c.SetFileName("123456789:;<=>?@");
  EXPECT_EQ(c.FileName(), d / "out/123456789:;<=>?@");
  c.SetFileName("x/C:/y.txt");
  EXPECT_EQ(c.FileName(), d / "out/x/C:/y.txt");
  c.SetFileName("d:name.txt");
  EXPECT_EQ(c.FileName(), d / "out/name.txt");
  EXPECT_TRUE(log.entries.empty());

  c.SetFileName("../../evil/../x.txt");
  EXPECT_EQ(c.FileName(), d / "out/evil/x.txt");
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].code, E_INVALID_NAME);
  EXPECT_EQ(log.entries[0].file, "../../evil/../x.txt");

  c.UseStoredDirs = false;
  c.SetFileName("C:\\dir\\a.txt");
  EXPECT_EQ(c.FileName(), d / "out/a.txt");
  c.SetFileName("");
  EXPECT_EQ(c.FileName(), "");
}

TEST(ZipCommon, RelativeExtractDirIsTakenFromTheCurrentDirectory) {
  TestComponent c;
  c.SetExtractDir("rel");
  c.SetFileName("a/b.txt");
  EXPECT_EQ(c.FileName(), AppendSlash(GetCurrentDir()) + "rel/a/b.txt");
}

TEST(ZipCommon, TestRunWritesNothingButCountsAndChecksums) {
  TempDir d;
  TestComponent c;
  TFileStream32 out(d / "o.bin", fmCreate);
  c.SetOutputTarget(otNone);
  const char data[] = "123456789";
  EXPECT_EQ(c.WriteBlock(&out, data, true, 9, 32), 9);
  EXPECT_EQ(out.Size(), 0);
  EXPECT_EQ(c.EntryCrc().Crc32 ^ 0xFFFFFFFFu, 0xCBF43926u);
}

TEST(ZipCommon, AsciiTranslationWritesCrLf) {
  TempDir d;
  TestComponent c;
  c.AsciiTranslation = true;
  {
    TFileStream32 out(d / "t.txt", fmCreate);
    std::string text = "a\nb\n\nc";
    EXPECT_EQ(c.WriteBlock(&out, text.data(), true, static_cast<std::int64_t>(text.size()), 32),
              static_cast<std::int64_t>(text.size()));
  }
  EXPECT_EQ(ReadFile(d / "t.txt"), "a\r\nb\r\n\r\nc");
}

TEST(ZipCommon, DiskFullStopsTheRunAndShortWriteIsReported) {
  TestComponent c;
  ErrorLog log;
  log.Attach(c);
  c.SetArchiveName("arc.zip");
  c.FFilesProcessed = 5;
  {
    TFileStream32 full("/dev/full", fmOpenWrite);
    ASSERT_GE(full.Handle(), 0);
    char buf[16] = {};
    EXPECT_THROW(c.WriteBlock(&full, buf, false, sizeof buf, 0), E_RAISE);
    EXPECT_EQ(c.FFilesProcessed, 0);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].code, E_DISK_FULL);
    EXPECT_EQ(log.entries[0].file, "arc.zip");
    EXPECT_EQ(log.entries[0].volume, "0");
  }
  TempDir d;
  WriteFile(d / "ro", "x");
  TFileStream32 ro(d / "ro", fmOpenRead);  // writes fail, but not for lack of space
  c.FFilesProcessed = 3;
  char buf[4] = {};
  EXPECT_EQ(c.WriteBlock(&ro, buf, false, sizeof buf, 0), 0);
  EXPECT_EQ(c.FFilesProcessed, 2);
  EXPECT_EQ(log.entries.back().code, E_WRITE_FILE);
  EXPECT_EQ(log.entries.back().volume, "arc.zip");
}

TEST(ZipCommon, ProgressRoundsAndSwallowsHandlerErrors) {
  TestComponent c;
  std::vector<std::pair<int, int>> seen;
  c.OnProgress = [&](TZipCommon&, std::uint8_t f, std::uint8_t a) {
    seen.emplace_back(f, a);
    throw std::runtime_error("handler failure");
  };
  c.FBytesToDo = 197;  // 3 of 200 done
  EXPECT_NO_THROW(c.UpdateProgress(200, 200, 1));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], std::make_pair(0, 2));  // 0.5 -> 0, 1.5 -> 2
  EXPECT_EQ(c.ByArchive(), 2);
}

TEST(ZipCommon, CopyStoredDataCopiesInChunksAndHonoursCancel) {
  TempDir d;
  std::string data(100000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  WriteFile(d / "src", data);
  TestComponent c;
  int progress = 0;
  c.OnProgress = [&](TZipCommon&, std::uint8_t, std::uint8_t) { ++progress; };
  {
    TFileStream32 src(d / "src", fmOpenRead);
    TFileStream32 dst(d / "dst", fmCreate);
    c.FTotalUnpacked = c.FBytesToDo = static_cast<std::int64_t>(data.size());
    EXPECT_EQ(c.CopyStoredData(src, &dst, src.Size(), src.Size(), "src", false), 0);
  }
  EXPECT_EQ(ReadFile(d / "dst"), data);
  EXPECT_EQ(progress, 4);  // 32768-byte chunks
  EXPECT_EQ(c.FBytesToDo, 0);
  EXPECT_EQ(c.ByArchive(), 100);

  c.OnProgress = [&](TZipCommon& s, std::uint8_t, std::uint8_t) { s.SetCancel(true); };
  TFileStream32 src(d / "src", fmOpenRead);
  TFileStream32 dst(d / "dst2", fmCreate);
  EXPECT_EQ(c.CopyStoredData(src, &dst, src.Size(), src.Size(), "src", false),
            static_cast<std::int64_t>(data.size()) - 32768);
}

TEST(ZipCommon, ResolveFileDateByAttribute) {
  TestComponent c;
  c.FMaxFileDate = 0x5A210000;
  EXPECT_EQ(c.ResolveFileDate(0x40000000), 0x40000000u);
  c.DateAttribute = daMaxFileDate;
  EXPECT_EQ(c.ResolveFileDate(0x40000000), 0x5A210000u);
  c.DateAttribute = daSysDate;
  EXPECT_EQ(c.ResolveFileDate(0x40000000), UnixToDosDateTime(std::time(nullptr)));
}

TEST(ZipCommon, ArchiveTypePredicates) {
  EXPECT_FALSE(TZipCommon::IsRealArchive(atNA));
  EXPECT_FALSE(TZipCommon::IsRealArchive(atUnknown));
  EXPECT_TRUE(TZipCommon::IsRealArchive(atMsGZ));
  EXPECT_TRUE(TZipCommon::CanExtractType(atCab));
  EXPECT_TRUE(TZipCommon::CanTestType(atCab));
  EXPECT_FALSE(TZipCommon::CanExtractType(atJarExe));
  EXPECT_TRUE(TZipCommon::CanTestType(atJarExe));
  EXPECT_FALSE(TZipCommon::CanExtractType(atTarGZip));
  TestComponent c;
  EXPECT_TRUE(c.IsZipType(atZipMV));
  EXPECT_FALSE(c.IsZipType(atZipDS));
}

TEST(ZipCommon, VolumeNamesByFamily) {
  TestComponent c;
  c.SetArchiveName("/a/b.c/arc.arj");
  c.FArcType = atArj;
  c.SetVolumeNaming();
  EXPECT_EQ(c.VolumeLetter(), 'a');
  EXPECT_EQ(c.VolumeNumber(), 1);
  EXPECT_EQ(c.GetVolumeName("/a/b.c/arc.arj", 1), "/a/b.c/arc.a01");
  EXPECT_EQ(c.GetVolumeName("/a/b.c/arc.arj", 123), "/a/b.c/arc.123");
  EXPECT_EQ(c.GetVolumeName("/a/arc.arj", -1), "");

  c.SetArchiveName("/a/arc.r05");
  c.FArcType = atRar;
  c.SetVolumeNaming();
  EXPECT_EQ(c.VolumeLetter(), 'r');
  EXPECT_EQ(c.VolumeNumber(), 6);
  EXPECT_EQ(c.GetVolumeName("/a/arc.rar", 99), "/a/arc.r99");
  EXPECT_EQ(c.GetVolumeName("/a/arc.rar", 100), "/a/arc.s00");
  EXPECT_EQ(c.GetVolumeName("/a/arc.part01.rar", 1), "/a/arc.part03.rar");
}

TEST(ZipCommon, NextVolumeOfASplitArchive) {
  TempDir d;
  WriteFile(d / "set.z01", "one");
  WriteFile(d / "set.z02", "two!");
  WriteFile(d / "set.zip", "last-volume");
  TestComponent c;
  c.SetArchiveName(d / "set.zip");
  ErrorLog log;
  log.Attach(c);
  std::unique_ptr<TFileStream32> vol;
  int n = 0;
  // Without OnNextVolume the run is cancelled and the event named.
  EXPECT_FALSE(c.OpenNextVolume(vol, n, 3));
  ASSERT_EQ(log.entries.size(), 2u);
  EXPECT_EQ(log.entries[1].ext, "OnNextVolume");
  EXPECT_EQ(log.entries[1].code, 25443);  // reported while cancelled
  c.SetCancel(false);

  std::vector<std::pair<std::string, int>> asked;
  c.OnNextVolume = [&](TZipCommon&, std::string& name, int id, bool exists, bool&) {
    asked.emplace_back(name, id);
    EXPECT_TRUE(exists);
  };
  n = 0;
  ASSERT_TRUE(c.OpenNextVolume(vol, n, 3));
  EXPECT_EQ(c.ArchiveSize(), 3);
  ASSERT_TRUE(c.OpenNextVolume(vol, n, 3));
  EXPECT_EQ(c.ArchiveSize(), 4);
  ASSERT_TRUE(c.OpenNextVolume(vol, n, 3));
  EXPECT_EQ(c.ArchiveSize(), 11);
  EXPECT_EQ(c.VolumeName(), d / "set.zip");
  EXPECT_EQ(asked[0].first, d / "set.z01");

  // A missing volume is asked for until the handler gives up.
  WriteFile(d / "gap.zip", "x");
  c.SetArchiveName(d / "gap.zip");
  int tries = 0;
  c.OnNextVolume = [&](TZipCommon&, std::string&, int, bool exists, bool& cancel) {
    EXPECT_FALSE(exists);
    if (++tries == 3) cancel = true;
  };
  n = 0;
  log.entries.clear();
  EXPECT_FALSE(c.OpenNextVolume(vol, n, 3));
  EXPECT_EQ(tries, 3);
  ASSERT_EQ(log.entries.size(), 1u);
  EXPECT_EQ(log.entries[0].code, 25443);
}

TEST(ZipCommon, MoveTempFileReplacesOrCopies) {
  TempDir d;
  TestComponent c;
  WriteFile(d / "arc.zip", "old");
  WriteFile(d / "qmx1.tmp", "new archive");
  TFileStream32 dummy(d / "dummy", fmCreate);
  c.MoveTempFile(dummy, d / "arc.zip", true, d / "qmx1.tmp");
  EXPECT_EQ(ReadFile(d / "arc.zip"), "new archive");
  EXPECT_FALSE(FileExists(d / "qmx1.tmp"));

  // Across file systems the file is copied with progress.
  std::string big(300000, 'z');
  WriteFile(d / "qmx2.tmp", big);
  int ticks = 0;
  c.OnTmpFileProgress = [&](TZipCommon&, std::uint8_t, std::uint8_t) { ++ticks; };
  c.MoveTempFile(dummy, d / "arc.zip", false, d / "qmx2.tmp");
  EXPECT_EQ(ReadFile(d / "arc.zip"), big);
  EXPECT_FALSE(FileExists(d / "qmx2.tmp"));
  EXPECT_GT(ticks, 0);

  // No file behind the name: the data is the sender stream itself.
  TMemoryStream32 mem;
  mem.Write("in memory", 9);
  c.MoveTempFile(mem, d / "mem.zip", false, "NoName");
  EXPECT_EQ(ReadFile(d / "mem.zip"), "in memory");
}

}  // namespace
}  // namespace qmx

namespace qmx {
namespace {

TEST(Timer, NestedPausesLeaveOutTheWholeOuterPause) {
  TqmxTimer t;
  t.Start();
  t.Pause();
  t.Pause();  // an error reported inside a dialogue
  usleep(100000);
  t.Resume();
  usleep(100000);  // still inside the outer dialogue
  t.Resume();
  t.Stop();
  EXPECT_LT(t.ElapsedTime(), 0.05f);
  EXPECT_FALSE(t.Running());
}

}  // namespace
}  // namespace qmx
