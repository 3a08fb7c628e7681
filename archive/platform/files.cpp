// POSIX implementation of the file services the components were written
// against (handles, attributes, DOS dates, find-first/next, temporary files,
// recycle bin).
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // renameat2
#endif

#include "archive/platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>

#include "archive/platform/ascii.h"
#include "archive/platform/file_attributes.h"

namespace qmx {

namespace {

static_assert(sizeof(off_t) == 8, "64-bit file offsets required");

// Largest single read(2)/write(2) request; the kernel caps them anyway.
constexpr std::int64_t kMaxIoChunk = 1 << 30;

// Name part of a path, ignoring trailing delimiters.
std::string BaseName(const std::string& path) {
  std::size_t end = path.size();
  while (end > 1 && path[end - 1] == kPathDelim) --end;
  std::size_t start = path.rfind(kPathDelim, end == 0 ? 0 : end - 1);
  start = (start == std::string::npos) ? 0 : start + 1;
  if (start >= end) return {};
  return path.substr(start, end - start);
}

// Parent directory of a path ("." for a bare name).
std::string ParentDir(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == kPathDelim) p.pop_back();
  std::size_t pos = p.rfind(kPathDelim);
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return p.substr(0, pos);
}

bool IsHiddenName(const std::string& name) {
  return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

// Attributes of an entry. lst is the lstat of the entry itself; a symbolic
// link takes its kind from its target so that a link to a directory looks
// like a directory (callers check IsLink before recursing) and a dangling
// link looks like a plain file.
std::uint32_t AttrOf(const std::string& path, const std::string& name, const struct stat& lst,
                     struct stat* effective) {
  struct stat st = lst;
  bool dangling = false;
  if (S_ISLNK(lst.st_mode)) {
    if (::stat(path.c_str(), &st) != 0) {
      st = lst;
      dangling = true;
    }
  }
  if (effective) *effective = st;
  std::uint32_t attr = 0;
  if (S_ISDIR(st.st_mode)) {
    attr |= faDirectory;
  } else if (S_ISREG(st.st_mode) || dangling) {
    attr |= faArchive;
  } else {
    // FIFOs, sockets and devices: flagged as system files so that the
    // default attribute filters never open (and block on) them.
    attr |= faSysFile;
  }
  if (!dangling && (st.st_mode & S_IWUSR) == 0) attr |= faReadOnly;
  if (IsHiddenName(name)) attr |= faHidden;
  return attr;
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && ((year % 4 == 0 && year % 100 != 0) || year % 400 == 0)) return 29;
  return kDays[month - 1];
}

std::string HexUpper(std::uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%X", v);
  return buf;
}

std::uint32_t NextTempNumber() {
  static std::atomic<std::uint32_t> counter{0};
  thread_local std::mt19937 rng([] {
    std::random_device rd;
    std::seed_seq seq{
        rd(), rd(), static_cast<unsigned>(::getpid()),
        static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count())};
    return std::mt19937(seq);
  }());
  return rng() ^ (counter.fetch_add(0x9E3779B9u) & 0xFFFFu);
}

bool MakeDirs(const std::string& path, mode_t mode) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  std::string parent = ParentDir(path);
  if (parent != path && !MakeDirs(parent, mode)) return false;
  if (::mkdir(path.c_str(), mode) == 0) return true;
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string PercentEncodePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~' || c == '/') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string TrashHome() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return AppendSlash(xdg) + "Trash";
  std::string home;
  const char* h = std::getenv("HOME");
  if (h && h[0] == '/') {
    home = h;
  } else {
    struct passwd pw;
    struct passwd* res = nullptr;
    char buf[4096];
    if (::getpwuid_r(::getuid(), &pw, buf, sizeof buf, &res) == 0 && res && res->pw_dir)
      home = res->pw_dir;
  }
  if (home.empty()) return {};
  return AppendSlash(home) + ".local/share/Trash";
}

bool WriteAll(int fd, const std::string& text) {
  return FileWrite(fd, text.data(), static_cast<std::int64_t>(text.size())) ==
         static_cast<std::int64_t>(text.size());
}

// rename(2) that never replaces an existing entry.
bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File system without RENAME_NOREPLACE: check, then rename.
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) {
    errno = EEXIST;
    return false;
  }
  return ::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace

// --- handles

int FileOpen(const std::string& path, std::uint16_t mode) {
  if (mode == fmCreate) return FileCreate(path);
  int flags = O_CLOEXEC;
  switch (mode & 3) {
    case fmOpenWrite:
      flags |= O_WRONLY;
      break;
    case fmOpenReadWrite:
      flags |= O_RDWR;
      break;
    default:
      flags |= O_RDONLY;
      break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int FileCreate(const std::string& path) {
  const int flags = O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC;
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = ::open(path.c_str(), flags, 0666);
    if (fd >= 0) return fd;
    if (errno == EINTR) continue;
    if (errno != ELOOP) return -1;
    // The final component is a symbolic link: replace the link, never
    // write through it.
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return -1;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return -1;
    fd = ::open(path.c_str(), flags | O_EXCL, 0666);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return -1;
    // Someone recreated the entry in between; look again.
  }
  errno = ELOOP;
  return -1;
}

std::int64_t FileReadAt(int fd, void* buf, std::int64_t count, std::int64_t offset) {
  if (count < 0 || offset < 0) {
    errno = EINVAL;
    return -1;
  }
  auto* p = static_cast<char*>(buf);
  std::int64_t total = 0;
  while (total < count) {
    std::int64_t want = std::min(count - total, kMaxIoChunk);
    ssize_t n =
        ::pread(fd, p + total, static_cast<size_t>(want), static_cast<off_t>(offset + total));
    if (n < 0) {
      if (errno == EINTR) continue;
      return total > 0 ? total : -1;
    }
    if (n == 0) break;
    total += n;
  }
  return total;
}

std::int64_t FileRead(int fd, void* buf, std::int64_t count) {
  if (count < 0) {
    errno = EINVAL;
    return -1;
  }
  auto* p = static_cast<char*>(buf);
  std::int64_t total = 0;
  while (total < count) {
    std::int64_t want = std::min(count - total, kMaxIoChunk);
    ssize_t n = ::read(fd, p + total, static_cast<size_t>(want));
    if (n < 0) {
      if (errno == EINTR) continue;
      return total > 0 ? total : -1;
    }
    if (n == 0) break;
    total += n;
  }
  return total;
}

std::int64_t FileWrite(int fd, const void* buf, std::int64_t count) {
  if (count < 0) {
    errno = EINVAL;
    return -1;
  }
  errno = 0;
  const auto* p = static_cast<const char*>(buf);
  std::int64_t total = 0;
  while (total < count) {
    std::int64_t want = std::min(count - total, kMaxIoChunk);
    ssize_t n = ::write(fd, p + total, static_cast<size_t>(want));
    if (n < 0) {
      if (errno == EINTR) continue;
      // A short count with errno set tells the caller why (disk full).
      return total > 0 ? total : -1;
    }
    if (n == 0) {
      errno = ENOSPC;
      break;
    }
    total += n;
  }
  return total;
}

std::int64_t FileSeek(int fd, std::int64_t offset, int origin) {
  int whence;
  switch (origin) {
    case soFromBeginning:
      whence = SEEK_SET;
      break;
    case soFromCurrent:
      whence = SEEK_CUR;
      break;
    case soFromEnd:
      whence = SEEK_END;
      break;
    default:
      errno = EINVAL;
      return -1;
  }
  off_t r = ::lseek(fd, static_cast<off_t>(offset), whence);
  return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

bool FileTruncate(int fd, std::int64_t size) {
  if (size < 0) {
    errno = EINVAL;
    return false;
  }
  int r;
  do {
    r = ::ftruncate(fd, static_cast<off_t>(size));
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

void FileClose(int fd) {
  // No retry on EINTR: the descriptor is gone either way on Linux.
  if (fd >= 0) ::close(fd);
}

std::int64_t FileSizeOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

int LastOsError() {
  return errno;
}

bool IsDiskFullError(int err) {
  return err == ENOSPC || err == EDQUOT;
}

// --- existence and names

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsSymLink(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::int64_t FileSizeByName(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
  if (S_ISDIR(st.st_mode)) return 0;
  return static_cast<std::int64_t>(st.st_size);
}

bool DeleteFile(const std::string& path) {
  return !path.empty() && ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return !from.empty() && !to.empty() && ::rename(from.c_str(), to.c_str()) == 0;
}

bool CreateDir(const std::string& path) {
  return !path.empty() && ::mkdir(path.c_str(), 0777) == 0;
}

bool RemoveDir(const std::string& path) {
  return !path.empty() && ::rmdir(path.c_str()) == 0;
}

std::string GetCurrentDir() {
  std::string buf(256, '\0');
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) {
      buf.resize(std::strlen(buf.c_str()));
      break;
    }
    if (errno != ERANGE) return {};
    buf.resize(buf.size() * 2);
  }
  while (buf.size() > 1 && buf.back() == kPathDelim) buf.pop_back();
  return buf;
}

bool SetCurrentDir(const std::string& path) {
  return !path.empty() && ::chdir(path.c_str()) == 0;
}

std::string ExpandFileName(const std::string& path) {
  if (path.empty()) return {};
  std::string full = path[0] == kPathDelim ? path : AppendSlash(GetCurrentDir()) + path;
  const bool trailing = full.size() > 1 && full.back() == kPathDelim;
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= full.size()) {
    std::size_t j = full.find(kPathDelim, i);
    if (j == std::string::npos) j = full.size();
    std::string part = full.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    i = j + 1;
  }
  std::string out;
  for (const auto& p : parts) out += kPathDelim + p;
  if (out.empty()) return std::string(1, kPathDelim);
  if (trailing) out += kPathDelim;
  return out;
}

bool SameFile(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  struct stat sa {};
  struct stat sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool SameFilePath(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  return ExpandFileName(a) == ExpandFileName(b) || SameFile(a, b);
}

bool SameFilePathNoCase(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) return false;
  return SameTextAscii(ExpandFileName(a), ExpandFileName(b)) || SameFile(a, b);
}

bool ForceDirs(const std::string& path) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  const std::string full = AppendSlash(ExpandFileName(path));
  // Each prefix from the root down; failures show up in the final test.
  for (std::size_t p = full.find(kPathDelim, 1); p != std::string::npos;
       p = full.find(kPathDelim, p + 1))
    CreateDir(full.substr(0, p));
  return !full.empty() && IsDirectory(full);
}

// --- attributes

std::int32_t FileGetAttr(const std::string& path) {
  struct stat lst;
  if (path.empty() || ::lstat(path.c_str(), &lst) != 0) return -1;
  return static_cast<std::int32_t>(AttrOf(path, BaseName(path), lst, nullptr));
}

bool FileSetAttr(const std::string& path, std::uint32_t attr) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = mode;
  if (attr & faReadOnly)
    wanted &= ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH);
  else
    wanted |= S_IWUSR;
  if (wanted == mode) return true;
  return ::chmod(path.c_str(), wanted) == 0;
}

std::uint32_t FileGetMode(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
  return static_cast<std::uint32_t>(st.st_mode);
}

namespace {

// Read without changing it: umask() itself would race other threads.
mode_t ProcessUmask() {
  static const mode_t mask = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("Umask:", 0) == 0)
        return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    const mode_t m = ::umask(022);
    ::umask(m);
    return m;
  }();
  return mask;
}

}  // namespace

bool FileSetPermissions(int fd, std::uint32_t mode) {
  // The owner keeps read access: the converter compresses what it extracted.
  const mode_t wanted = (static_cast<mode_t>(mode & 0777) | S_IRUSR) & ~ProcessUmask();
  return fd >= 0 && ::fchmod(fd, wanted) == 0;
}

bool DirSetPermissions(const std::string& path, std::uint32_t mode) {
  // The owner keeps full access, or the directory's own entries could not
  // be extracted into it.
  const mode_t wanted = (static_cast<mode_t>(mode & 0777) | S_IRWXU) & ~ProcessUmask();
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fchmod(fd, wanted) == 0;
  ::close(fd);
  return ok;
}

// --- dates

std::uint32_t UnixToDosDateTime(std::time_t t) {
  struct tm lt;
  if (!::localtime_r(&t, &lt)) return 0;
  int year = lt.tm_year + 1900;
  // Outside the DOS range: clamp to its ends.
  if (year < 1980) return (0u << 25) | (1u << 21) | (1u << 16);
  if (year > 2107) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  int sec = std::min(lt.tm_sec, 59);  // leap second
  std::uint32_t date = (static_cast<std::uint32_t>(year - 1980) << 9) |
                       (static_cast<std::uint32_t>(lt.tm_mon + 1) << 5) |
                       static_cast<std::uint32_t>(lt.tm_mday);
  std::uint32_t time = (static_cast<std::uint32_t>(lt.tm_hour) << 11) |
                       (static_cast<std::uint32_t>(lt.tm_min) << 5) |
                       static_cast<std::uint32_t>(sec / 2);
  return (date << 16) | time;
}

std::time_t DosDateTimeToUnix(std::uint32_t dos) {
  int year = 1980 + static_cast<int>((dos >> 25) & 0x7F);
  int month = static_cast<int>((dos >> 21) & 0x0F);
  int day = static_cast<int>((dos >> 16) & 0x1F);
  int hour = static_cast<int>((dos >> 11) & 0x1F);
  int minute = static_cast<int>((dos >> 5) & 0x3F);
  int second = static_cast<int>(dos & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59)
    return -1;
  struct tm lt {};
  lt.tm_year = year - 1900;
  lt.tm_mon = month - 1;
  lt.tm_mday = day;
  lt.tm_hour = hour;
  lt.tm_min = minute;
  lt.tm_sec = second;
  lt.tm_isdst = -1;
  return ::mktime(&lt);
}

std::uint32_t FileGetDate(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
  return UnixToDosDateTime(st.st_mtime);
}

std::uint32_t FileGetDate(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return 0;
  return UnixToDosDateTime(st.st_mtime);
}

namespace {
bool MTimeSpec(std::uint32_t dos, struct timespec (&ts)[2]) {
  std::time_t t = DosDateTimeToUnix(dos);
  if (t == -1) {
    errno = EINVAL;
    return false;
  }
  ts[0].tv_sec = 0;
  ts[0].tv_nsec = UTIME_OMIT;  // only the last-write time is set
  ts[1].tv_sec = t;
  ts[1].tv_nsec = 0;
  return true;
}
}  // namespace

bool FileSetDate(const std::string& path, std::uint32_t dos) {
  struct timespec ts[2];
  if (path.empty() || !MTimeSpec(dos, ts)) return false;
  return ::utimensat(AT_FDCWD, path.c_str(), ts, 0) == 0;
}

bool FileSetDate(int fd, std::uint32_t dos) {
  struct timespec ts[2];
  if (!MTimeSpec(dos, ts)) return false;
  return ::futimens(fd, ts) == 0;
}

std::time_t FileGetMTime(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
  return st.st_mtime;
}

// --- directory listing

bool ListDirectory(const std::string& dir, std::vector<TSearchRec>& out) {
  out.clear();
  const std::string base = dir.empty() ? std::string("./") : AppendSlash(dir);
  DIR* d = ::opendir(base.c_str());
  if (!d) return false;
  for (;;) {
    errno = 0;
    struct dirent* e = ::readdir(d);
    if (!e) break;
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string full = base + name;
    struct stat lst;
    if (::lstat(full.c_str(), &lst) != 0) continue;  // vanished meanwhile
    TSearchRec rec;
    struct stat st;
    rec.Name = name;
    rec.IsLink = S_ISLNK(lst.st_mode);
    rec.Attr = AttrOf(full, name, lst, &st);
    const bool usable = !rec.IsLink || !S_ISLNK(st.st_mode);  // not dangling
    rec.Size = (rec.Attr & faDirectory) || !usable ? 0 : static_cast<std::int64_t>(st.st_size);
    rec.MTime = st.st_mtime;
    rec.DosTime = UnixToDosDateTime(rec.MTime);
    rec.Mode = static_cast<std::uint32_t>(st.st_mode);
    out.push_back(std::move(rec));
  }
  ::closedir(d);
  // char_traits<char> compares as unsigned char: byte order.
  std::sort(out.begin(), out.end(),
            [](const TSearchRec& a, const TSearchRec& b) { return a.Name < b.Name; });
  return true;
}

// --- temporary files

std::string SystemTempDir() {
  std::string dir;
  const char* env = std::getenv("TMPDIR");
  if (env && *env && IsDirectory(env)) dir = ExpandFileName(env);
  if (dir.empty()) {
    if (!IsDirectory("/tmp")) return {};
    dir = "/tmp";
  }
  dir = AppendSlash(dir);
  if (dir.size() > 259) return {};
  return dir;
}

std::string CreateUniqueTempFile(const std::string& dir, const std::string& prefix) {
  std::string base = dir.empty() ? SystemTempDir() : AppendSlash(dir);
  if (base.empty()) {
    errno = ENOENT;
    return {};
  }
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string name = base + prefix + HexUpper(NextTempNumber()) + ".tmp";
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      return name;
    }
    if (errno != EEXIST && errno != EINTR) return {};
  }
  errno = EEXIST;
  return {};
}

// --- recycle bin

bool MoveToTrash(const std::string& path) {
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0) return false;
  // Resolve the directory for real: a textual ".." after a linked
  // directory could otherwise name a different file.
  const std::string name = BaseName(path);
  if (name.empty() || name == "." || name == ".." || name == "/") return false;
  char* real = ::realpath(ParentDir(path).c_str(), nullptr);
  if (!real) return false;
  const std::string full = AppendSlash(real) + name;
  std::free(real);

  const std::string trash = TrashHome();
  if (trash.empty()) return false;
  const std::string filesDir = trash + "/files";
  const std::string infoDir = trash + "/info";
  if (!MakeDirs(trash, 0700) || !MakeDirs(filesDir, 0700) || !MakeDirs(infoDir, 0700)) return false;

  // Local deletion time, as the trash format wants it.
  std::time_t now = std::time(nullptr);
  struct tm lt;
  ::localtime_r(&now, &lt);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &lt);
  const std::string info =
      "[Trash Info]\nPath=" + PercentEncodePath(full) + "\nDeletionDate=" + when + "\n";

  for (int n = 1; n < 10000; ++n) {
    const std::string trashName = n == 1 ? name : name + "." + std::to_string(n);
    const std::string infoPath = infoDir + "/" + trashName + ".trashinfo";
    // The info file is the reservation of the name.
    int fd = ::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    const bool written = WriteAll(fd, info);
    FileClose(fd);
    if (!written) {
      ::unlink(infoPath.c_str());
      return false;
    }
    if (RenameNoReplace(full, filesDir + "/" + trashName)) return true;
    const int err = errno;
    ::unlink(infoPath.c_str());
    if (err != EEXIST && err != ENOTEMPTY) {
      errno = err;  // EXDEV for another file system: the file stays
      return false;
    }
  }
  return false;
}

bool SameFileSystem(const std::string& a, const std::string& b) {
  auto devOf = [](const std::string& p, dev_t& dev) {
    if (p.empty()) return false;
    std::string cur = ExpandFileName(p);
    for (;;) {
      struct stat st;
      if (::lstat(cur.c_str(), &st) == 0) {
        dev = st.st_dev;
        return true;
      }
      if (cur == "/") return false;
      cur = ParentDir(cur);
    }
  };
  dev_t da, db;
  return devOf(a, da) && devOf(b, db) && da == db;
}

}  // namespace qmx
