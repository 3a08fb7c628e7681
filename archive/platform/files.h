// File services on POSIX: descriptors with 64-bit offsets, Windows-style
// attributes derived from lstat, DOS dates in local time, sorted directory
// listings, unique temporary files and the system temporary directory.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "archive/platform/paths.h"

namespace qmx {

// Open modes for FileOpen. Sharing modes of the original are accepted by the
// callers and ignored here.
enum TFileOpenMode : std::uint16_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmCreate = 0xFFFF  // create or truncate, read/write
};
enum TSeekOrigin : int { soFromBeginning = 0, soFromCurrent = 1, soFromEnd = 2 };

// All return -1 on failure and leave the reason in errno (LastOsError).
int FileOpen(const std::string& path, std::uint16_t mode);
int FileCreate(const std::string& path);
std::int64_t FileRead(int fd, void* buf, std::int64_t count);
std::int64_t FileWrite(int fd, const void* buf, std::int64_t count);
// Positioned read; the descriptor's own position is left alone.
std::int64_t FileReadAt(int fd, void* buf, std::int64_t count, std::int64_t offset);
std::int64_t FileSeek(int fd, std::int64_t offset, int origin);
bool FileTruncate(int fd, std::int64_t size);  // at size
void FileClose(int fd);
std::int64_t FileSizeOf(int fd);
int LastOsError();
bool IsDiskFullError(int err);  // ENOSPC / EDQUOT

// Existence tests without following a final symbolic link to a directory.
bool FileExists(const std::string& path);   // any non-directory entry
bool PathExists(const std::string& path);   // any entry
bool IsDirectory(const std::string& path);  // a real directory (links followed)
bool IsSymLink(const std::string& path);
std::int64_t FileSizeByName(const std::string& path);  // -1 when missing

bool DeleteFile(const std::string& path);  // unlink; a directory is not removed
bool RenameFile(const std::string& from, const std::string& to);
bool CreateDir(const std::string& path);
bool RemoveDir(const std::string& path);
std::string GetCurrentDir();  // with no trailing delimiter
bool SetCurrentDir(const std::string& path);
// Absolute form of a path ("." and ".." resolved textually, links not followed).
std::string ExpandFileName(const std::string& path);
// Creates path and every missing directory above it; true when it exists
// afterwards.
bool ForceDirs(const std::string& path);

// Whether two paths name one existing file: the same device and inode, so
// links and other spellings count. False when either is missing or empty.
bool SameFile(const std::string& a, const std::string& b);
// SameFile, or the same absolute path: also true for a file not created yet.
bool SameFilePath(const std::string& a, const std::string& b);
// As SameFilePath, but the absolute paths compare ignoring ASCII case, for
// names that must stay apart on a case-insensitive file system too.
bool SameFilePathNoCase(const std::string& a, const std::string& b);

// Attributes: directory 0x10; read-only 0x01 when the owner cannot write;
// hidden 0x02 for names starting with "."; archive 0x20 for regular files.
// Returns -1 when the path cannot be read.
std::int32_t FileGetAttr(const std::string& path);
// Only read-only is stored: set clears the write bits, clear restores owner write.
bool FileSetAttr(const std::string& path, std::uint32_t attr);
// The st_mode of what a path names, links followed; 0 when it cannot be read.
std::uint32_t FileGetMode(const std::string& path);
// Gives an open file (a directory by path) the permission bits 0777 of
// mode, less the process umask; set-id and sticky bits are never set, and
// the owner keeps read access (and full access to a directory).
bool FileSetPermissions(int fd, std::uint32_t mode);
bool DirSetPermissions(const std::string& path, std::uint32_t mode);

// Packed DOS date and time (date in the high 16 bits), local time.
std::uint32_t UnixToDosDateTime(std::time_t t);
std::time_t DosDateTimeToUnix(std::uint32_t dos);  // -1 for an invalid value
// Last-write time of a file as packed DOS date-time; 0 when unreadable.
std::uint32_t FileGetDate(const std::string& path);
std::uint32_t FileGetDate(int fd);
bool FileSetDate(const std::string& path, std::uint32_t dos);
bool FileSetDate(int fd, std::uint32_t dos);
std::time_t FileGetMTime(const std::string& path);  // -1 when unreadable

// One directory entry as find-first/next would give it.
struct TSearchRec {
  std::string Name;           // name only
  std::uint32_t Attr = 0;     // Windows-style attributes (above)
  std::int64_t Size = 0;      // 0 for directories
  std::time_t MTime = 0;      // last write, UTC seconds
  std::uint32_t DosTime = 0;  // last write, packed DOS local time
  bool IsLink = false;        // the entry itself is a symbolic link
  std::uint32_t Mode = 0;     // st_mode of what the entry names (links followed)
};

// Entries of a directory, without "." and "..", sorted by name in byte order.
// A symbolic link to a directory is reported with faDirectory but IsLink set.
// Returns false (and no entries) when the directory cannot be read.
bool ListDirectory(const std::string& dir, std::vector<TSearchRec>& out);

// System temporary directory with a trailing delimiter: $TMPDIR, else /tmp/.
// At most 259 characters; empty when none is usable.
std::string SystemTempDir();

// Creates an empty file "<dir>/<prefix><hex>.tmp" with O_CREAT|O_EXCL and
// returns its path; empty on failure.
std::string CreateUniqueTempFile(const std::string& dir, const std::string& prefix = "qmx");

// Moves a file to the user's freedesktop.org Trash ($XDG_DATA_HOME/Trash,
// with a .trashinfo record). False, with the file left in place, when the
// trash cannot be used.
bool MoveToTrash(const std::string& path);

}  // namespace qmx

namespace qmx {
// Whether two existing paths (files or directories) lie on one file system,
// so that a rename between them works. Stands in for "same drive".
bool SameFileSystem(const std::string& a, const std::string& b);
}  // namespace qmx
