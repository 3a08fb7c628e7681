#include "archive/formats/libarchive/rar_format.h"

#include <archive.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>

#include "archive/base/format_registry.h"
#include "archive/codec/byte_order.h"
#include "archive/platform/files.h"

namespace qmx {

namespace {

constexpr const char* kRarNames[] = {"Stored", "Fastest", "Fast", "Normal", "Good", "Best"};
constexpr int kMaxVolumes = 999;
constexpr std::uint8_t kRar4Mark[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
constexpr std::uint8_t kRar5Mark[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};

std::string RarMethodName(int method, std::uint16_t, bool isDir, const std::string&, int) {
  const char* found = isDir ? kMethodDir : MethodFromTable(kRarNames, method, '0');
  return found ? found : kMethodUnsupported;
}

// count bytes at offset (from the end when offset < 0); fewer near the ends.
std::vector<std::uint8_t> ReadPiece(const std::string& file, std::int64_t offset,
                                    std::size_t count) {
  std::vector<std::uint8_t> buf;
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return buf;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    std::int64_t at = offset;
    if (offset < 0) at = std::max<std::int64_t>(0, st.st_size - static_cast<std::int64_t>(count));
    if (at < st.st_size) {
      buf.resize(std::min<std::size_t>(count, static_cast<std::size_t>(st.st_size - at)));
      const ssize_t n = ::pread(fd, buf.data(), buf.size(), at);
      buf.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
  }
  ::close(fd);
  return buf;
}

// RAR 5 variable-length integer at p (advanced); false past end.
bool ReadVInt(const std::vector<std::uint8_t>& b, std::size_t& p, std::uint64_t& v) {
  v = 0;
  for (int shift = 0; shift < 64 && p < b.size(); shift += 7) {
    const std::uint8_t c = b[p++];
    v |= static_cast<std::uint64_t>(c & 0x7F) << shift;
    if (!(c & 0x80)) return true;
  }
  return false;
}

bool StartsWith(const std::vector<std::uint8_t>& b, const std::uint8_t* mark, std::size_t n) {
  return b.size() >= n && std::memcmp(b.data(), mark, n) == 0;
}

// Whether the archive at offset says it is one volume of a set.
bool IsVolumeSet(const std::string& file, std::int64_t offset) {
  const std::vector<std::uint8_t> b = ReadPiece(file, offset, 64);
  if (StartsWith(b, kRar4Mark, sizeof kRar4Mark)) {
    // Main header: CRC, type 0x73, flags (bit 0: volume).
    return b.size() >= 12 && b[9] == 0x73 && (GetLE16(b.data() + 10) & 0x0001);
  }
  if (!StartsWith(b, kRar5Mark, sizeof kRar5Mark)) return false;
  std::size_t p = sizeof kRar5Mark + 4;  // past the header CRC
  std::uint64_t size, type, flags, archiveFlags, skip;
  if (!ReadVInt(b, p, size) || !ReadVInt(b, p, type) || type != 1 || !ReadVInt(b, p, flags))
    return false;
  if ((flags & 0x01) && !ReadVInt(b, p, skip)) return false;
  if ((flags & 0x02) && !ReadVInt(b, p, skip)) return false;
  return ReadVInt(b, p, archiveFlags) && (archiveFlags & 0x0001);
}

bool ZerosFrom(const std::vector<std::uint8_t>& b, std::size_t from) {
  for (std::size_t i = from; i < b.size(); ++i)
    if (b[i] != 0) return false;
  return true;
}

// 1 when the volume's end-of-archive record says another volume follows,
// 0 when it says none does, -1 when the volume has no such record. Some
// writers pad a volume with zeros after it.
int MoreVolumesFollow(const std::string& file) {
  const std::vector<std::uint8_t> b = ReadPiece(file, -1, 64);
  const std::size_t n = b.size();
  int found = -1;
  // RAR 4: CRC, type 0x7B, flags (bit 0: next volume), size.
  for (std::size_t i = 0; i + 7 <= n; ++i) {
    const std::size_t size = GetLE16(b.data() + i + 5);
    if (b[i + 2] == 0x7B && size >= 7 && i + size <= n && ZerosFrom(b, i + size))
      found = (GetLE16(b.data() + i + 3) & 0x0001) ? 1 : 0;
  }
  if (found >= 0) return found;
  // RAR 5: CRC32, size, type 5, flags, end flags (bit 0: not the last volume).
  for (std::size_t i = 0; i + 8 <= n; ++i) {
    std::size_t p = i + 4;
    std::uint64_t size, type, flags, endFlags, skip;
    if (!ReadVInt(b, p, size) || size > n || p + size > n || !ZerosFrom(b, p + size)) continue;
    if (!ReadVInt(b, p, type) || type != 5 || !ReadVInt(b, p, flags)) continue;
    if ((flags & 0x01) && !ReadVInt(b, p, skip)) continue;
    if (!ReadVInt(b, p, endFlags)) continue;
    found = (endFlags & 0x0001) ? 1 : 0;
  }
  return found;
}

// Names of the RAR 5 file entries whose data is encrypted (an encryption
// record in the header's extra area). Headers only: data is skipped.
void FindEncryptedRar5Entries(const std::string& file, std::int64_t offset,
                              std::set<std::string>& names) {
  constexpr int kMaxBlocks = 1 << 20;
  constexpr std::uint64_t kMaxHeader = 2 << 20;
  if (!StartsWith(ReadPiece(file, offset, sizeof kRar5Mark), kRar5Mark, sizeof kRar5Mark)) return;
  std::int64_t pos = offset + static_cast<std::int64_t>(sizeof kRar5Mark);
  for (int block = 0; block < kMaxBlocks; ++block) {
    const std::vector<std::uint8_t> prefix = ReadPiece(file, pos, 16);
    std::size_t p = 4;
    std::uint64_t size = 0;
    if (!ReadVInt(prefix, p, size) || size == 0 || size > kMaxHeader) return;
    const std::int64_t start = pos + static_cast<std::int64_t>(p);
    const std::vector<std::uint8_t> h = ReadPiece(file, start, static_cast<std::size_t>(size));
    if (h.size() != size) return;
    std::size_t q = 0;
    std::uint64_t type, flags, extra = 0, data = 0;
    if (!ReadVInt(h, q, type) || !ReadVInt(h, q, flags)) return;
    if ((flags & 0x01) && !ReadVInt(h, q, extra)) return;
    if ((flags & 0x02) && !ReadVInt(h, q, data)) return;
    if (type == 4 || type == 5) return;  // encrypted headers, or the end
    if (type == 2 && extra > 0 && extra <= size) {
      std::uint64_t fileFlags, unpacked, attributes, method, host, nameLength;
      bool ok = ReadVInt(h, q, fileFlags) && ReadVInt(h, q, unpacked) && ReadVInt(h, q, attributes);
      if (ok && (fileFlags & 0x02)) q += 4;  // modification time
      if (ok && (fileFlags & 0x04)) q += 4;  // data CRC
      ok = ok && ReadVInt(h, q, method) && ReadVInt(h, q, host) && ReadVInt(h, q, nameLength) &&
           nameLength <= h.size() - std::min(q, h.size());
      if (ok) {
        const std::string name(h.begin() + static_cast<std::ptrdiff_t>(q),
                               h.begin() + static_cast<std::ptrdiff_t>(q + nameLength));
        // The extra area closes the header: records of size, type, data.
        std::size_t r = static_cast<std::size_t>(size - extra);
        while (r < h.size()) {
          std::uint64_t recordSize, recordType;
          std::size_t at = r;
          if (!ReadVInt(h, at, recordSize) || recordSize == 0) break;
          const std::size_t next =
              at + static_cast<std::size_t>(std::min<std::uint64_t>(recordSize, h.size()));
          if (!ReadVInt(h, at, recordType)) break;
          if (recordType == 1) {
            names.insert(name);
            break;
          }
          r = next;
        }
      }
    }
    if (data > static_cast<std::uint64_t>(INT64_MAX / 2)) return;
    pos = start + static_cast<std::int64_t>(size) + static_cast<std::int64_t>(data);
  }
}

}  // namespace

bool TUnRar::DataEncrypted(struct archive_entry* entry, const std::string& name) const {
  return TLibArchiveReader::DataEncrypted(entry, name) || FEncryptedNames.count(name) > 0;
}

void TUnRar::EnableFormats(struct archive* a) const {
  archive_read_support_format_rar(a);
  archive_read_support_format_rar5(a);
}

std::string TUnRar::NextVolumeName(int index) const {
  // ".partN.rar" names count from the volume after the first; the old
  // names go on from the family letter's successor: ".r00", ".r01" ...
  const std::string part = GetVolumeName(FArchiveFile, index);
  if (part.size() >= 4 && part.compare(part.size() - 4, 4, ".rar") == 0) return part;
  return GetVolumeName(FArchiveFile, (FVolumeLetter == 'q' ? 100 : 0) + index);
}

bool TUnRar::CollectVolumes(std::vector<std::string>& files) {
  files = {FArchiveFile};
  FEncryptedNames.clear();
  const std::int64_t offset = std::max<std::int64_t>(FArchivePosition, 0);
  FindEncryptedRar5Entries(FArchiveFile, offset, FEncryptedNames);
  if (!IsVolumeSet(FArchiveFile, offset)) return true;
  for (int index = 0; index + 1 < kMaxVolumes; ++index) {
    std::string next = NextVolumeName(index);
    if (next.empty()) break;
    if (!FileExists(next)) {
      // Only a volume that says so wants a successor; a set whose records
      // say nothing ends where its files end.
      if (MoreVolumesFollow(files.back()) != 1) break;
      if (!AskForVolume(next, index + 1)) return false;
    }
    files.push_back(next);
    FindEncryptedRar5Entries(next, 0, FEncryptedNames);
  }
  return true;
}

void RegisterRarFormats() {
  TFormatRegistry& reg = TFormatRegistry::Instance();
  struct TRarType {
    TArcType Type;
    const char* DisplayName;
    const char* Extension;
    bool SelfExtractor;
  };
  const TRarType types[] = {
      {atRar, "RAR archive", ".rar", false},
      {atRarExe, "self-extracting RAR archive", ".exe", true},
  };
  for (const TRarType& t : types) {
    TFormatRow row = ReaderRow<TUnRar>(t.Type, t.DisplayName, {t.Extension}, "TUnRar",
                                       RarMethodName, t.SelfExtractor);
    // libarchive reads the volumes; the framework opens nothing.
    row.ReadByLibrary = true;
    row.VolumeLetter = 'q';
    row.VolumeFamilyExt = ".Rar";
    reg.Add(std::move(row));
  }
}

}  // namespace qmx
