#include "archive/platform/disk_service.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "archive/platform/files.h"
#include "support/temp_dir.h"

namespace qmx {
namespace {

using test::TempDir;

TEST(DiskService, DriveIsTheLongestMountPointThatHoldsThePath) {
  TempDir d;
  test::WriteFile(d / "mountinfo",
                  "1 0 0:30 / / rw,relatime - ext4 /dev/root rw\n"
                  "2 1 0:31 / /media/usb rw,nosuid shared:5 - vfat /dev/sdz1 rw\n"
                  "3 2 0:32 / /media/usb/inner rw - tmpfs tmpfs rw\n"
                  "4 1 0:33 / /mnt/my\\040disk ro - iso9660 /dev/sr9 ro\n"
                  "5 1 0:34 / /srv rw - ext4 /dev/old rw\n"
                  "6 1 0:35 / /srv rw - nfs4 server:/export rw\n"
                  "garbage line\n");
  TLinuxDiskService s(d / "mountinfo", d / "no-labels");
  struct {
    const char* path;
    const char* drive;
    TDriveType type;
    bool readOnly;
  } cases[] = {
      {"/media/usb/a/b.zip", "/media/usb", drvFixed, false},
      {"/media/usbx/f", "/", drvFixed, false},  // whole components only
      {"/media/usb/inner/x", "/media/usb/inner", drvRamDisk, false},
      {"/mnt/my disk/set.zip", "/mnt/my disk", drvCdRom, true},
      {"/srv/data", "/srv", drvRemote, false},  // the later mount lies on top
  };
  for (const auto& c : cases) {
    TDriveInfo info;
    ASSERT_TRUE(s.DriveOf(c.path, info)) << c.path;
    EXPECT_EQ(info.Drive, c.drive) << c.path;
    EXPECT_EQ(info.Type, c.type) << c.path;
    EXPECT_EQ(info.ReadOnly, c.readOnly) << c.path;
  }
  TDriveInfo info;
  EXPECT_FALSE(TLinuxDiskService(d / "missing", d.path()).DriveOf("/x", info));
  EXPECT_EQ(TLinuxDiskService::TypeOfFileSystem("cifs"), drvRemote);
}

TEST(DiskService, LabelComesFromTheLinkToTheMountedDevice) {
  std::string dev;
  struct stat st {};
  if (DIR* dir = opendir("/dev")) {
    while (dirent* e = readdir(dir)) {
      dev = std::string("/dev/") + e->d_name;
      if (stat(dev.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) break;
      dev.clear();
    }
    closedir(dir);
  }
  if (dev.empty()) GTEST_SKIP() << "no block device to link to";
  TempDir d;
  CreateDir(d / "by-label");
  ASSERT_EQ(symlink(dev.c_str(), (d / "by-label/PKBACK#\\x20001").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", (d / "by-label/dangling").c_str()), 0);
  test::WriteFile(d / "mountinfo", "1 0 " + std::to_string(major(st.st_rdev)) + ":" +
                                       std::to_string(minor(st.st_rdev)) +
                                       " / /media/floppy rw - vfat " + dev + " rw\n");
  TDriveInfo info;
  ASSERT_TRUE(TLinuxDiskService(d / "mountinfo", d / "by-label").DriveOf("/media/floppy/a", info));
  EXPECT_EQ(info.Label, "PKBACK# 001");
}

TEST(DiskService, RealServiceAndItsReplacement) {
  TDriveInfo info;
  ASSERT_TRUE(DiskService().DriveOf("relative-name.zip", info));
  EXPECT_EQ(GetCurrentDir().compare(0, info.Drive.size(), info.Drive), 0) << info.Drive;
  std::int64_t freeBytes = -1, total = -1;
  ASSERT_TRUE(DiskService().DiskSpace(info.Drive, freeBytes, total));
  EXPECT_TRUE(total > 0 && freeBytes <= total);
  SetDiskService(std::make_shared<TLinuxDiskService>("/nonexistent", "/nonexistent"));
  EXPECT_FALSE(DiskService().DriveOf("/", info));
  SetDiskService(nullptr);
  EXPECT_TRUE(DiskService().DriveOf("/", info));
}

}  // namespace
}  // namespace qmx
