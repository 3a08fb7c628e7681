// The disk manager on simulated drives (absent until a retry, write
// protected, unreadable volume information, spanned-set labels) and a
// compression refused on a real read-only mount.
#include "archive/base/disk_manager.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "archive/base/errors.h"
#include "archive/platform/ui_hooks.h"
#include "archive/zip/zip_writer.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

// A drive whose presence, protection and volume information the test sets.
struct TSimDisk : TDiskService {
  int AbsentFor = 0;          // DriveOf calls that find no disk
  int ProtectedFor = 0;       // write-protection answers that say yes
  int VolumeFailsAfter = -1;  // DriveOf calls before the volume information fails once
  std::string Label = "DATA";
  TDriveType Type = drvFixed;
  int Calls = 0;
  bool DriveOf(const std::string&, TDriveInfo& i) override {
    ++Calls;
    i = TDriveInfo{};
    i.Drive = "/media/disk";
    i.Type = Type;
    i.Label = Label;
    i.Serial = 0x1234ABCD;
    i.FileSystem = "vfat";
    if (AbsentFor > 0) return --AbsentFor, false;
    if (VolumeFailsAfter == 0) return --VolumeFailsAfter, false;
    if (VolumeFailsAfter > 0) --VolumeFailsAfter;
    return true;
  }
  bool DiskSpace(const std::string&, std::int64_t& f, std::int64_t& t) override {
    f = 1000;
    t = 5000;
    return true;
  }
  bool IsWriteProtected(const TDriveInfo&, const std::string&) override {
    return ProtectedFor > 0 && ProtectedFor-- > 0;
  }
};

struct TSimGuard {
  std::shared_ptr<TSimDisk> Disk = std::make_shared<TSimDisk>();
  TSimGuard() { SetDiskService(Disk); }
  ~TSimGuard() { SetDiskService(nullptr); }
};

struct TRun {
  bool Ok = false;
  std::vector<int> Codes;
  int Asked = 0;
};

// Runs CheckDrive with handlers that answer retry `retries` times, then abort.
TRun Check(TDiskManager& m, bool handlers, int retries) {
  TRun r;
  auto handler = [&r, retries](bool& abort) { abort = r.Asked++ >= retries; };
  TDiskManager::THandler h = handlers ? TDiskManager::THandler(handler) : nullptr;
  r.Ok = m.CheckDrive(
      "/media/disk/a.zip", h, h,
      [&r](const std::string& drive, const std::string& msg, const std::string& vol, int code) {
        // The mount, or the path while no disk holds it.
        EXPECT_EQ(drive.rfind("/media/disk", 0), 0u);
        EXPECT_EQ(msg, "0");
        EXPECT_EQ(vol, "0");
        r.Codes.push_back(code);
      });
  return r;
}

struct TPromptLog : TUserPrompt {
  bool Retry = true;
  std::vector<std::string> Texts;
  bool AskYesNo(const std::string&, const std::string&) override { return false; }
  bool AskRetryCancel(const std::string&, const std::string& text) override {
    Texts.push_back(text);
    const bool answer = Retry;
    Retry = false;
    return answer;
  }
  void ShowMessage(const std::string&, const std::string&) override {}
};

TEST(DiskManager, AbsentAndWriteProtectedDrivesAskTheirHandlers) {
  TSimGuard g;
  TDiskManager m;
  // Absent: retried through the handler until the disk is there.
  g.Disk->AbsentFor = 2;
  TRun r = Check(m, true, 5);
  EXPECT_TRUE(r.Ok);
  EXPECT_EQ(r.Asked, 2);
  // The user gives up: 25443.
  g.Disk->AbsentFor = 9;
  r = Check(m, true, 1);
  EXPECT_FALSE(r.Ok);
  EXPECT_EQ(r.Codes, std::vector<int>{E_USER_CANCELED});
  // No handler: 25170.
  g.Disk->AbsentFor = 1;
  r = Check(m, false, 0);
  EXPECT_EQ(r.Codes, std::vector<int>{E_NOT_ACCESSIBLE});
  g.Disk->AbsentFor = 0;

  g.Disk->ProtectedFor = 1;
  r = Check(m, true, 3);
  EXPECT_TRUE(r.Ok);
  EXPECT_EQ(r.Asked, 1);
  g.Disk->ProtectedFor = 9;
  r = Check(m, true, 0);
  EXPECT_EQ(r.Codes, std::vector<int>{E_USER_CANCELED});
  g.Disk->ProtectedFor = 1;
  r = Check(m, false, 0);
  EXPECT_EQ(r.Codes, std::vector<int>{E_WRITE_PROTECTED});
  // Reading needs no writable disk.
  g.Disk->ProtectedFor = 1;
  EXPECT_TRUE(m.CheckDrive("/media/disk/a.zip", nullptr, nullptr, nullptr, false));
}

TEST(DiskManager, VolumeInformationAndTheRetryBox) {
  TSimGuard g;
  auto prompt = std::make_shared<TPromptLog>();
  SetUserPrompt(prompt);
  TDiskManager m;
  g.Disk->Label = "PKBACK# 003";
  // Present and writable, then the volume information fails once: Retry.
  g.Disk->VolumeFailsAfter = 1;
  TRun r = Check(m, false, 0);
  EXPECT_TRUE(r.Ok);
  ASSERT_EQ(prompt->Texts.size(), 1u);
  EXPECT_EQ(prompt->Texts[0].rfind("/media/disk/is not accessible\n\n", 0), 0u) << prompt->Texts[0];
  EXPECT_EQ(m.Drive, "/media/disk");
  EXPECT_EQ(m.VolumeNumber, 3);
  EXPECT_EQ(m.SerialText, "1234ABCD");
  EXPECT_EQ(m.FileSystemName, "vfat");
  EXPECT_EQ(m.TypeName, "Fixed");
  EXPECT_EQ(m.FreeSpace, 1000);
  EXPECT_EQ(m.TotalSize, 5000);
  // Cancel in the box: 25170.
  g.Disk->VolumeFailsAfter = 1;
  r = Check(m, false, 0);
  EXPECT_EQ(r.Codes, std::vector<int>{E_NOT_ACCESSIBLE});
  SetUserPrompt(nullptr);
  // A removable drive is named by its floppy kind, unknown here.
  g.Disk->Type = drvRemovable;
  EXPECT_TRUE(Check(m, false, 0).Ok);
  EXPECT_EQ(m.TypeName, "Unknown");
  g.Disk->Type = drvNoRootDir;
  EXPECT_EQ(Check(m, false, 0).Codes, std::vector<int>{E_NOT_ACCESSIBLE});

  EXPECT_EQ(TDiskManager::VolumeNumberOf("PKBACK# 001"), 1);
  EXPECT_EQ(TDiskManager::VolumeNumberOf("x PKBACK# 12"), 12);
  EXPECT_EQ(TDiskManager::VolumeNumberOf("x PKBACK# 001 PKBACK# 012"), 12);
  EXPECT_EQ(TDiskManager::VolumeNumberOf("PKBACK# 01a"), 0);
  EXPECT_EQ(TDiskManager::VolumeNumberOf("PKBACK# "), 0);
  EXPECT_EQ(TDiskManager::VolumeNumberOf("BACKUP"), 0);
  EXPECT_STREQ(TDiskManager::DriveTypeName(7), "3\xBD Floppy");
}

TEST(DiskManager, AReadOnlyMountRefusesACompression) {
  test::TempDir dir;
  const std::string mnt = dir / "ro";
  test::WriteFile(dir / "a.txt", "data");
  // A read-only bind mount needs the rights to mount; elsewhere this is
  // left to the simulated drives above.
  if (test::Run("mkdir " + mnt + " && mount --bind " + dir.path() + " " + mnt +
                " 2>/dev/null && mount -o remount,bind,ro " + mnt + " 2>/dev/null") != 0) {
    test::Run("umount " + mnt + " 2>/dev/null");
    GTEST_SKIP() << "no read-only mount here";
  }
  struct TUnmount {
    std::string m;
    ~TUnmount() { test::Run("umount " + m); }
  } unmount{mnt};
  TZip zip;
  std::vector<int> codes;
  zip.OnError = [&](TZipCommon&, const std::string&, const std::string&, const std::string&,
                    int code) { codes.push_back(code); };
  zip.SetArchiveFile(mnt + "/new.zip");
  zip.SetFileSpec({dir / "a.txt"});
  EXPECT_EQ(zip.Compress(), 0);
  EXPECT_EQ(codes, std::vector<int>{E_WRITE_PROTECTED});
  EXPECT_FALSE(test::Run("test -e " + mnt + "/new.zip") == 0);
  // Its drive is what the real service calls write protected; a directory
  // we may not write to would not be.
  TDriveInfo info;
  ASSERT_TRUE(DiskService().DriveOf(mnt, info));
  EXPECT_TRUE(DiskService().IsWriteProtected(info, mnt + "/new.zip"));
}

}  // namespace
}  // namespace qmx
