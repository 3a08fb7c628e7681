#include "archive/formats/lha/lha_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "archive/base/names.h"
#include "archive/codec/legacy_io.h"
#include "archive/codec/lha_decoder.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr std::uint32_t kFileAttr = 0x20;
constexpr std::uint32_t kDirectoryAttr = 0x10;
// How far past the detected position a first header is looked for: the
// largest self-extractor stubs are some tens of KiB.
constexpr std::int64_t kHeaderSearch = 1 << 20;
constexpr std::int64_t kSearchBlock = 65536;

bool IsExeType(TArcType t) {
  return t == atLhaExe || t == atLzhExe;
}

}  // namespace

void TUnLha::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  FEntries.clear();
  struct TClear {
    std::vector<TLhaEntryItem>& e;
    ~TClear() {
      e.clear();
      e.shrink_to_fit();
    }
  } clear{FEntries};
  if (!archive) return;
  if (ListLha(*archive) == 0) return;
  FMadeDirs.clear();
  for (const TLhaEntryItem& item : FEntries) {
    if (GetCancel()) break;
    ExtractEntry(*archive, item);
  }
  // Files created inside a directory change its time: directories get
  // theirs last, the deepest first.
  for (auto it = FMadeDirs.rbegin(); it != FMadeDirs.rend(); ++it)
    FileSetDate(it->first, it->second);
  FMadeDirs.clear();
}

std::int64_t TUnLha::FindFirstHeader(TStream& archive, std::int64_t from) {
  const std::int64_t size = archive.Size();
  TLhaHeader h;
  std::string why;
  if (ReadLhaHeader(archive, from, size, h, why) == lsEntry) return from;
  const std::int64_t end = std::min(size, from + kHeaderSearch);
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(kSearchBlock) + 8);
  for (std::int64_t block = from; block < end && !GetCancel(); block += kSearchBlock) {
    const std::int64_t n = ReadStreamAt(archive, block, buf.data(),
                                        std::min<std::int64_t>(kSearchBlock + 8, size - block));
    for (std::int64_t i = 0; i + 7 <= n && i < kSearchBlock; ++i) {
      if (block + i == from || !IsLhaMethodId(buf.data() + i + 2)) continue;
      if (ReadLhaHeader(archive, block + i, size, h, why) == lsEntry) return block + i;
    }
  }
  return -1;
}

int TUnLha::ListLha(TStream& archive) {
  const std::int64_t size = archive.Size();
  const std::int64_t from = std::max<std::int64_t>(FArchivePosition, 0);
  std::int64_t pos = FindFirstHeader(archive, from);
  if (pos < 0) {
    ReportError(FArchiveFile, "no LHA header found", FVolumeName, E_HEADER_NOT_FOUND);
    return 0;
  }
  // Behind a stub the search is expected; in a plain archive it stepped
  // over damage.
  if (pos != from && !IsExeType(FArcType))
    ReportError(FArchiveFile,
                "no header at byte " + std::to_string(from) + ", the first one is at byte " +
                    std::to_string(pos),
                FVolumeName, E_HEADER_NOT_FOUND);
  while (!GetCancel()) {
    TLhaEntryItem item;
    std::string why;
    const TLhaStep step = ReadLhaHeader(archive, pos, size, item.Head, why);
    if (step == lsDamaged) ReportError(FArchiveFile, why, FVolumeName, E_HEADER_NOT_FOUND);
    if (step != lsEntry) break;
    item.Truncated = item.Head.Next > size;
    item.Name = LhaPlatformName(item.Head, TranslateOemChar);
    const bool unnamed = item.Name.empty() || item.Name == "/";
    // A directory without a name is the one extracted into.
    if (!(unnamed && item.Head.IsDirectory())) {
      if (unnamed || IsFileInSpec(item.Name)) {
        const std::int64_t counted = item.Head.IsDirectory() ? 0 : item.Head.OriginalSize;
        NoteSelectedEntry(item.Head.IsDirectory() ? 0 : item.Head.PackedSize, counted,
                          item.Head.DosDate);
        FEntries.push_back(item);
      } else if (item.Truncated) {
        ReportError(FArchiveFile, "the archive ends inside " + item.Name, FVolumeName, E_READ_FILE);
      }
    }
    if (item.Truncated) break;
    pos = item.Head.Next;
  }
  return static_cast<int>(FEntries.size());
}

void TUnLha::DescribeEntry(const TLhaEntryItem& item) {
  const TLhaHeader& h = item.Head;
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = item.Name;
  e.IsSymLink = h.IsSymLink();
  e.IsDirectory = h.IsDirectory() && !e.IsSymLink;
  e.PackedSize = e.IsDirectory ? 0 : static_cast<std::uint64_t>(h.PackedSize);
  e.UnpackedSize = e.IsDirectory ? 0 : static_cast<std::uint64_t>(h.OriginalSize);
  e.DosDate = h.DosDate ? h.DosDate : 0x00210020;
  e.Attributes = e.IsDirectory ? kDirectoryAttr : ((h.Attr & 0x07) | kFileAttr);
  e.Crc = h.Crc;
  if (e.IsSymLink) {
    e.MethodName = "Symlink";
  } else if (h.Method[1] == 'l' && h.Method[2] == 'h') {
    e.MethodName = MethodName(static_cast<unsigned char>(h.Method[3]), 0, e.IsDirectory);
  } else {
    e.MethodName.assign(h.Method, 5);
  }
}

void TUnLha::RefuseEntry(const TLhaEntryItem& item, int code, const std::string& reason) {
  RefuseCurrentEntry(code, reason, item.Head.OriginalSize);
}

void TUnLha::ExtractEntry(TStream& archive, const TLhaEntryItem& item) {
  const TLhaHeader& h = item.Head;
  DescribeEntry(item);
  BeginEntryAsIs(item.Name);  // the name is the system's already
  const std::uint32_t dosDate = FEntryInfo.DosDate;
  if (item.Name.empty()) {
    RefuseEntry(item, E_INVALID_NAME,
                "an entry without a name at byte " + std::to_string(h.HeaderAt));
    return;
  }
  if (h.IsSymLink()) {
    // Never created and never followed: a link could point anywhere.
    if (FOutputTarget == otNone) {
      SkipEntry(0);
      ReportVerdict(true);
      return;
    }
    RefuseEntry(item, E_SKIPPED_FILE, "symbolic link to " + h.LinkTarget + ", not extracted");
    return;
  }
  if (h.IsDirectory()) {
    // Never a directory we could not fill.
    if ((h.UnixMode & 0170000) == 0040000) FEntryUnixMode = (h.UnixMode & 0040777) | 0700;
    if (ExtractDirectoryEntry() && FOutputTarget == otFile && CreateStoredDirs)
      FMadeDirs.emplace_back(FFileName, dosDate);
    return;
  }
  TLhaMethod method;
  if (!LhaMethodOf(h.Method, method)) {
    RefuseEntry(item, E_UNSUPPORTED_METHOD, "method " + std::string(h.Method, 5));
    return;
  }
  const std::uint32_t type = h.UnixMode & 0170000;
  if (type == 0100000 || (type == 0 && h.UnixMode != 0))
    FEntryUnixMode = 0100000 | (h.UnixMode & 0777);

  std::unique_ptr<TFileStream32> out;
  if (!StartFileEntry(out, &archive, h.OriginalSize, false)) return;
  archive.Seek(h.DataAt, soFromBeginning);
  const std::int64_t available =
      std::max<std::int64_t>(0, std::min(h.PackedSize, archive.Size() - h.DataAt));
  TLegacyInput in(archive, available, {}, FCancelRef);
  std::int64_t done = 0;
  auto write = [&](const void* b, std::int64_t n) -> std::int64_t {
    if (WriteBlock(out.get(), b, true, n, 16) < n) return 0;
    done += n;
    FBytesToDo -= n;
    UpdateProgress(FTotalUnpacked, h.OriginalSize, done);
    return n;
  };
  int r = wrOk;
  try {
    r = LhaDecode(in, write, method, h.OriginalSize, FCancelRef);
  } catch (const std::bad_alloc&) {
    r = wrBadData;
  }
  CloseOutput(out, FFileName, FEntryInfo.Attributes, dosDate);
  if (r == wrOk && done == h.OriginalSize) {
    CheckCrc(16, h.Crc);
    return;
  }
  const int code = r == wrWriteError ? E_WRITE_FILE
                   : r == wrBadData  ? E_CORRUPT_INPUT
                                     : E_READ_FILE;
  ReportVerdict(false, code);
}

}  // namespace qmx
