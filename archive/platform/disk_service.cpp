#include "archive/platform/disk_service.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

#include "archive/platform/files.h"

namespace qmx {
namespace {

std::mutex gMutex;
std::shared_ptr<TDiskService> gService;

TDiskService& RealService() {
  static TLinuxDiskService service;
  return service;
}

// The nearest existing ancestor of an absolute path, with links resolved,
// followed by the rest of the path unchanged.
std::string ResolvePath(const std::string& path) {
  std::string abs = path;
  if (abs.empty() || abs[0] != '/') abs = GetCurrentDir() + "/" + abs;
  std::string head = abs, tail;
  for (;;) {
    char buf[PATH_MAX];
    if (realpath(head.c_str(), buf)) {
      std::string r = buf;
      if (!tail.empty()) r += (r == "/" ? "" : "/") + tail;
      return r;
    }
    std::size_t slash = head.find_last_of('/');
    if (slash == std::string::npos || head == "/") return abs;
    std::string last = head.substr(slash + 1);
    tail = tail.empty() ? last : last + "/" + tail;
    head = slash == 0 ? "/" : head.substr(0, slash);
  }
}

bool UnderMountPoint(const std::string& path, const std::string& mount) {
  if (mount == "/") return !path.empty() && path[0] == '/';
  return path.compare(0, mount.size(), mount) == 0 &&
         (path.size() == mount.size() || path[mount.size()] == '/');
}

bool HasOption(const std::string& options, const std::string& name) {
  std::stringstream ss(options);
  std::string item;
  while (std::getline(ss, item, ','))
    if (item == name) return true;
  return false;
}

bool ReadFlag(const std::string& file) {
  std::ifstream f(file);
  int v = 0;
  return (f >> v) && v != 0;
}

// Whether the block device (or the disk a partition belongs to) is removable.
bool BlockDeviceRemovable(unsigned maj, unsigned min) {
  std::string dev = "/sys/dev/block/" + std::to_string(maj) + ":" + std::to_string(min);
  if (ReadFlag(dev + "/removable")) return true;
  if (access((dev + "/partition").c_str(), F_OK) == 0) return ReadFlag(dev + "/../removable");
  return false;
}

}  // namespace

TDiskService& DiskService() {
  std::lock_guard<std::mutex> lock(gMutex);
  return gService ? *gService : RealService();
}

void SetDiskService(std::shared_ptr<TDiskService> service) {
  std::lock_guard<std::mutex> lock(gMutex);
  gService = std::move(service);
}

TDriveType TLinuxDiskService::TypeOfFileSystem(const std::string& fsType) {
  static const char* const kRemote[] = {"nfs",        "nfs4",  "cifs",  "smb3",       "smbfs",
                                        "ncpfs",      "afs",   "9p",    "ceph",       "glusterfs",
                                        "fuse.sshfs", "sshfs", "davfs", "fuse.davfs2"};
  for (const char* r : kRemote)
    if (fsType == r) return drvRemote;
  if (fsType == "iso9660" || fsType == "udf") return drvCdRom;
  if (fsType == "tmpfs" || fsType == "ramfs") return drvRamDisk;
  return drvFixed;
}

std::string TLinuxDiskService::UnescapeMountField(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

std::string TLinuxDiskService::UnescapeLabel(const std::string& s) {
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && hex(s[i + 2]) >= 0 &&
        hex(s[i + 3]) >= 0) {
      out += static_cast<char>(hex(s[i + 2]) * 16 + hex(s[i + 3]));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool TLinuxDiskService::DriveOf(const std::string& path, TDriveInfo& info) {
  info = TDriveInfo{};
  std::ifstream f(mount_info_);
  if (!f) return false;
  const std::string target = ResolvePath(path);

  struct TMount {
    std::string point, options, fsType, source, superOptions;
    unsigned maj = 0, min = 0;
  } best;
  bool found = false;
  std::string line;
  while (std::getline(f, line)) {
    std::istringstream ls(line);
    std::vector<std::string> fields;
    std::string w;
    while (ls >> w) fields.push_back(w);
    // id parent maj:min root point options [optional...] - fstype source superoptions
    std::size_t dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (fields.size() < 6 || dash + 1 >= fields.size()) continue;
    TMount m;
    m.point = UnescapeMountField(fields[4]);
    m.options = fields[5];
    m.fsType = fields[dash + 1];
    m.source = dash + 2 < fields.size() ? UnescapeMountField(fields[dash + 2]) : std::string();
    m.superOptions = dash + 3 < fields.size() ? fields[dash + 3] : std::string();
    if (std::sscanf(fields[2].c_str(), "%u:%u", &m.maj, &m.min) != 2) continue;
    if (!UnderMountPoint(target, m.point)) continue;
    // Longest mount point wins; of equal ones the later, which lies on top.
    if (!found || m.point.size() >= best.point.size()) {
      best = m;
      found = true;
    }
  }
  if (!found) return false;

  info.Drive = best.point;
  info.Device = best.source;
  info.FileSystem = best.fsType;
  info.ReadOnly = HasOption(best.options, "ro") || HasOption(best.superOptions, "ro");
  info.Type = TypeOfFileSystem(best.fsType);
  if (info.Type == drvFixed && best.maj != 0 && BlockDeviceRemovable(best.maj, best.min))
    info.Type = drvRemovable;

  if (DIR* d = opendir(by_label_dir_.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      struct stat st;
      if (stat((by_label_dir_ + "/" + name).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
      if (major(st.st_rdev) == best.maj && minor(st.st_rdev) == best.min) {
        info.Label = UnescapeLabel(name);
        break;
      }
    }
    closedir(d);
  }

  struct statvfs vs;
  if (statvfs(best.point.c_str(), &vs) == 0) {
    info.Serial = static_cast<std::uint32_t>(vs.f_fsid);
    if (vs.f_flag & ST_RDONLY) info.ReadOnly = true;
  }
  return true;
}

bool TLinuxDiskService::DiskSpace(const std::string& drive, std::int64_t& freeBytes,
                                  std::int64_t& totalBytes) {
  struct statvfs vs;
  if (statvfs(drive.c_str(), &vs) != 0) return false;
  freeBytes = static_cast<std::int64_t>(vs.f_bavail) * static_cast<std::int64_t>(vs.f_frsize);
  totalBytes = static_cast<std::int64_t>(vs.f_blocks) * static_cast<std::int64_t>(vs.f_frsize);
  return true;
}

}  // namespace qmx

namespace qmx {

bool TDiskService::IsWriteProtected(const TDriveInfo& info, const std::string& path) {
  if (info.ReadOnly) return true;
  // The nearest existing directory of path: an archive about to be made
  // may not exist yet.
  std::string dir = path.empty() || path[0] != '/' ? GetCurrentDir() + "/" + path : path;
  struct stat st {};
  while (!dir.empty() && (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
    const std::size_t cut = dir.find_last_of('/');
    dir = cut == 0 ? "/" : cut == std::string::npos ? std::string() : dir.substr(0, cut);
    if (dir == "/") break;
  }
  if (dir.empty()) return false;
  // An unnamed file leaves nothing behind; where the file system cannot
  // make one, a named one is removed at once.
  int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return false;
  }
  if (errno == EROFS) return true;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return false;
  std::string name = dir + (dir == "/" ? "" : "/") + "qmxXXXXXX";
  fd = ::mkstemp(name.data());
  if (fd < 0) return errno == EROFS;
  ::close(fd);
  // A test file that cannot be removed again counts as write protection.
  return ::unlink(name.c_str()) != 0;
}

}  // namespace qmx
