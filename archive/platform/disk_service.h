// Drives and volumes. The "drive" of a path is the mount point that holds
// it; its kind, label and state come from the mount table, sysfs, the
// by-label links and statvfs. Tests install a simulated service (removable
// disks, labels, full disks).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace qmx {

// Ordinals are the drive-type codes the components report.
enum TDriveType : std::uint8_t {
  drvUnknown,
  drvNoRootDir,
  drvRemovable,
  drvFixed,
  drvRemote,
  drvCdRom,
  drvRamDisk
};

struct TDriveInfo {
  std::string Drive;       // the mount point
  std::string Device;      // what is mounted there (/dev/sdb1, server:/export ...)
  std::string FileSystem;  // ext4, vfat, nfs ...
  TDriveType Type = drvUnknown;
  std::string Label;  // empty when the volume has none
  std::uint32_t Serial = 0;
  bool ReadOnly = false;
};

class TDiskService {
 public:
  virtual ~TDiskService() = default;
  // The drive that holds path (a relative path is taken from the current
  // directory; the path itself need not exist). False when none is known.
  virtual bool DriveOf(const std::string& path, TDriveInfo& info) = 0;
  // Free and total bytes of the drive at a mount point; false when unknown.
  virtual bool DiskSpace(const std::string& drive, std::int64_t& freeBytes,
                         std::int64_t& totalBytes) = 0;
  // Whether files cannot be written on the drive of path: mounted read-only,
  // or a probe file in path's nearest existing directory fails with EROFS.
  // A lack of permission is not write protection.
  virtual bool IsWriteProtected(const TDriveInfo& info, const std::string& path);
};

// The installed service: the real one unless a test replaced it.
TDiskService& DiskService();
// Installs a replacement; nullptr restores the real service.
void SetDiskService(std::shared_ptr<TDiskService> service);

// The real implementation, exposed for its own tests. mountInfo and
// byLabelDir default to /proc/self/mountinfo and /dev/disk/by-label.
class TLinuxDiskService : public TDiskService {
 public:
  TLinuxDiskService() = default;
  TLinuxDiskService(std::string mountInfo, std::string byLabelDir)
      : mount_info_(std::move(mountInfo)), by_label_dir_(std::move(byLabelDir)) {}
  bool DriveOf(const std::string& path, TDriveInfo& info) override;
  bool DiskSpace(const std::string& drive, std::int64_t& freeBytes,
                 std::int64_t& totalBytes) override;

  // Kind of a file system type name (nfs: remote, iso9660: CD-ROM ...);
  // block devices are decided by their removable flag.
  static TDriveType TypeOfFileSystem(const std::string& fsType);
  // Undoes the octal escapes of mountinfo ("\040" for a space).
  static std::string UnescapeMountField(const std::string& s);
  // Undoes the hexadecimal escapes of by-label names ("\x20" for a space).
  static std::string UnescapeLabel(const std::string& s);

 private:
  std::string mount_info_ = "/proc/self/mountinfo";
  std::string by_label_dir_ = "/dev/disk/by-label";
};

}  // namespace qmx
