// TDiskManager: before a writer touches its archive, and before a reader
// opens a spanned or multi-volume ZIP, the component makes sure the drive
// that holds it is present and writable, asking through its disk events
// when it is not, and keeps the drive's volume information. Here the drive
// of a path is the mount that holds it (platform/disk_service.h).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/platform/disk_service.h"

namespace qmx {

class TDiskCommon {};

class TDiskManager : public TDiskCommon {
 public:
  // A disk handler: Abort comes in true; false asks for a retry.
  using THandler = std::function<void(bool& Abort)>;
  // The owner's ReportError.
  using TReport = std::function<void(const std::string& FileName, const std::string& ExtendedMsg,
                                     const std::string& VolumeID, int ECode)>;

  // True when the drive of path may be used; fills the fields below. A
  // drive only read from (a spanned set on write-protected disks, a CD) is
  // not refused for being write protected.
  bool CheckDrive(const std::string& path, const THandler& notInDrive,
                  const THandler& writeProtected, const TReport& report, bool forWriting = true);

  // The number after the last "PKBACK# " in a volume label ("PKBACK# 003"
  // gives 3); 0 when the label has none or it is not digits only. The
  // spanned-disk prompter recognises disks by it.
  static int VolumeNumberOf(const std::string& label);
  // Names by drive type; 7 and 8 are the floppy kinds.
  static const char* DriveTypeName(int type);

  // --- the last drive tested
  std::string Drive;
  int DriveType = drvUnknown;
  std::string TypeName;
  int FloppyKind = 0;  // no floppy drives here: the kind is never known
  std::string VolumeLabel;
  int VolumeNumber = 0;
  std::uint32_t SerialNumber = 0;
  std::string SerialText;  // 8 hexadecimal digits
  std::string FileSystemName;
  std::uint32_t MaxComponentLength = 255;
  std::uint32_t FileSystemFlags = 0;
  std::int64_t FreeSpace = 0;
  std::int64_t TotalSize = 0;
};

}  // namespace qmx
