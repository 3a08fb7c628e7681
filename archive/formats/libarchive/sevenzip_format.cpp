#include "archive/formats/libarchive/sevenzip_format.h"

#include <archive.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>

#include "archive/base/format_registry.h"
#include "archive/codec/byte_order.h"
#include "archive/platform/files.h"

namespace qmx {

namespace {

constexpr int kMaxVolumes = 999;
constexpr std::uint8_t k7zMark[] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

std::int64_t SizeOf(const std::string& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? st.st_size : -1;
}

// Bytes the archive at offset needs in all, by its start header (the
// next-header record ends it); -1 when the header says nothing usable.
std::int64_t NeededSize(const std::string& file, std::int64_t offset) {
  std::uint8_t h[32];
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  const ssize_t n = ::pread(fd, h, sizeof h, offset);
  ::close(fd);
  if (n != static_cast<ssize_t>(sizeof h) || std::memcmp(h, k7zMark, sizeof k7zMark) != 0)
    return -1;
  const std::uint64_t next = GetLE64(h + 12), size = GetLE64(h + 20);
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 60;
  if (next > kLimit || size > kLimit) return -1;
  return static_cast<std::int64_t>(32 + next + size);
}

}  // namespace

void TUn7z::EnableFormats(struct archive* a) const {
  archive_read_support_format_7zip(a);
}

bool TUn7z::CollectVolumes(std::vector<std::string>& files) {
  files = {FArchiveFile};
  const std::string& name = FArchiveFile;
  std::size_t digits = 0;
  while (digits < name.size() &&
         std::isdigit(static_cast<unsigned char>(name[name.size() - 1 - digits])))
    ++digits;
  const std::size_t dot = name.size() - digits - 1;
  if (digits == 0 || digits > 6 || digits >= name.size() || name[dot] != '.') return true;
  const std::string stem = name.substr(0, dot + 1);
  const int first = std::stoi(name.substr(dot + 1));
  const std::int64_t offset = std::max<std::int64_t>(FArchivePosition, 0);
  const std::int64_t needed = NeededSize(name, offset);
  std::int64_t have = SizeOf(name) - offset;
  for (int i = 1; i < kMaxVolumes; ++i) {
    std::string num = std::to_string(first + i);
    if (num.size() < digits) num.insert(0, digits - num.size(), '0');
    std::string next = stem + num;
    if (!FileExists(next)) {
      if (needed < 0 || have >= needed) break;
      if (!AskForVolume(next, i)) return false;
    }
    files.push_back(next);
    have += std::max<std::int64_t>(SizeOf(next), 0);
  }
  return true;
}

void TUn7z::AfterLastEntry(int entries) {
  if (entries > 0) return;
  const std::int64_t needed = NeededSize(FArchiveFile, std::max<std::int64_t>(FArchivePosition, 0));
  if (needed > 32)
    ReportError(FArchiveFile, "its header lists no entries", FVolumeName, E_CORRUPT_INPUT);
}

void RegisterSevenZipFormats() {
  TFormatRow row = ReaderRow<TUn7z>(
      at7z, "7z archive", {".7z"}, "TUn7z",
      [](int, std::uint16_t, bool isDir, const std::string&, int) -> std::string {
        return isDir ? kMethodDir : kMethodUnsupported;
      });
  // The reader opens the volumes itself.
  row.ReadByLibrary = true;
  TFormatRegistry::Instance().Add(std::move(row));
}

}  // namespace qmx
