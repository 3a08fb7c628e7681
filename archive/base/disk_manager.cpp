#include "archive/base/disk_manager.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "archive/base/errors.h"
#include "archive/platform/paths.h"
#include "archive/platform/ui_hooks.h"

namespace qmx {
namespace {

constexpr const char* kTypeNames[] = {"Unknown", "None", "Floppy",       "Fixed",       "Network",
                                      "CD-ROM",  "RAM",  "3\xBD Floppy", "5\xBC Floppy"};

}  // namespace

const char* TDiskManager::DriveTypeName(int type) {
  return type >= 0 && type <= 8 ? kTypeNames[type] : kTypeNames[0];
}

int TDiskManager::VolumeNumberOf(const std::string& label) {
  const std::string mark = "PKBACK# ";
  const std::size_t at = label.rfind(mark);
  if (at == std::string::npos) return 0;
  const std::string digits = label.substr(at + mark.size());
  if (digits.empty() || digits.size() > 9) return 0;
  int n = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool TDiskManager::CheckDrive(const std::string& path, const THandler& notInDrive,
                              const THandler& writeProtected, const TReport& report,
                              bool forWriting) {
  auto fail = [&](int code) {
    if (report) report(Drive, "0", "0", code);
    return false;
  };
  try {
    TDiskService& disks = DiskService();
    TDriveInfo info;
    // Present: the drive is known and answers the size query.
    for (;;) {
      std::int64_t freeBytes = 0, total = 0;
      const bool known = disks.DriveOf(path, info);
      Drive = known ? info.Drive : path;
      if (known && disks.DiskSpace(info.Drive, freeBytes, total)) break;
      if (!notInDrive) return fail(E_NOT_ACCESSIBLE);
      bool abort = true;
      notInDrive(abort);
      if (abort) return fail(E_USER_CANCELED);
    }
    while (forWriting && disks.IsWriteProtected(info, path)) {
      if (!writeProtected) return fail(E_WRITE_PROTECTED);
      bool abort = true;
      writeProtected(abort);
      if (abort) return fail(E_USER_CANCELED);
      disks.DriveOf(path, info);
    }
    // Volume information; when it cannot be read the user may retry.
    while (!disks.DriveOf(path, info)) {
      const std::string text =
          AppendSlash(Drive) + ErrorMessage(E_NOT_ACCESSIBLE) + "\n\n" + std::strerror(errno);
      if (!UserPrompt().AskRetryCancel("qmx", text)) return fail(E_NOT_ACCESSIBLE);
    }
    Drive = info.Drive;
    VolumeLabel = info.Label.substr(0, 256);
    VolumeNumber = VolumeNumberOf(VolumeLabel);
    SerialNumber = info.Serial;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", SerialNumber);
    SerialText = hex;
    FileSystemName = info.FileSystem.substr(0, 256);
    DriveType = info.Type;
    if (DriveType == drvNoRootDir) return fail(E_NOT_ACCESSIBLE);
    FreeSpace = TotalSize = 0;
    disks.DiskSpace(info.Drive, FreeSpace, TotalSize);
    FloppyKind = 0;
    TypeName = DriveType == drvRemovable ? DriveTypeName(FloppyKind) : DriveTypeName(DriveType);
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace qmx
