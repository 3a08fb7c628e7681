#include "archive/formats/tar/tar_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "archive/base/names.h"
#include "archive/formats/tar/tar_walk.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr std::int64_t kChunk = 32768;
constexpr std::uint32_t kFileAttr = 0x20;
constexpr std::uint32_t kDirectoryAttr = 0x10;

std::string KindText(const TTarEntryItem& item) {
  switch (item.Type) {
    case '1':
      return "hard link to " + item.LinkName;
    case '2':
      return "symbolic link to " + item.LinkName;
    case '3':
      return "character device";
    case '4':
      return "block device";
    case '6':
      return "FIFO";
    case 'S':
      return "GNU sparse file";
    case 'M':
      return "continuation of a multi-volume file";
    default:
      return std::string("entry of type '") + item.Type + "'";
  }
}

}  // namespace

bool TTarEntryItem::IsSpecial() const {
  switch (Type) {
    case '1':
    case '2':
    case '3':
    case '4':
    case '6':
    case 'S':
    case 'M':
      return true;
    default:
      return false;
  }
}

void TUnTar::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  FEntries.clear();
  struct TClear {
    std::vector<TTarEntryItem>& e;
    ~TClear() {
      e.clear();
      e.shrink_to_fit();
    }
  } clear{FEntries};
  if (!archive) return;
  if (ListTar(*archive) > 0) ExtractTarEntries(*archive);
}

int TUnTar::ListTar(TStream& archive) {
  const std::int64_t size = archive.Size();
  std::int64_t pos = 0;
  TTarEntryHead e;
  std::string why;
  while (!GetCancel()) {
    const TTarStep step = ReadTarEntry(archive, pos, e, why);
    if (step == tsDamaged) ReportError(FArchiveFile, why, FVolumeName, E_HEADER_NOT_FOUND);
    if (step != tsEntry) break;
    TTarEntryItem item;
    item.Header = e.HeaderAt;
    item.Data = e.Data;
    item.Size = e.Size;
    item.Type = e.Type;
    item.MTime = e.MTime;
    item.Mode = e.Mode;
    item.LinkName = e.LinkName;
    std::string raw = e.Name;
    // Old tars mark directories by the trailing slash alone.
    if ((item.Type == '0' || item.Type == '7') && !raw.empty() && raw.back() == '/')
      item.Type = '5';
    if (item.Type == 'D') item.Type = '5';
    if (e.PaxSparse) item.Type = 'S';
    // Nothing of a link, device, FIFO or directory is extracted; a GNU
    // dumpdir's listing is stepped over.
    if (std::strchr("12346", item.Type) != nullptr || item.Type == '5') item.Size = 0;
    item.Truncated = e.Span > size - e.Data;
    // "./x" is x; "./" itself is the directory extracted into.
    bool root = false;
    while (raw.size() >= 2 && raw[0] == '.' && raw[1] == '/') {
      raw.erase(0, 2);
      root = raw.empty();
    }
    if (raw == ".") root = true, raw.clear();
    item.Unnamed = raw.empty() && !root && item.Type != 'V';
    // Tar names are the system's bytes, as every Unix tar writes them.
    item.Name = NameToWindows(raw, false);

    // A volume label names the archive, not an entry. An unnamed entry is
    // kept whatever the selection, to fail in its turn.
    if (item.Unnamed || (item.Type != 'V' && !item.Name.empty() && IsFileInSpec(item.Name))) {
      const std::int64_t counted = item.IsSpecial() ? 0 : item.Size;
      NoteSelectedEntry(counted, counted, TarTimeToDosDate(item.MTime));
      FEntries.push_back(std::move(item));
    } else if (item.Truncated) {
      ReportError(FArchiveFile, "the archive ends inside " + raw, FVolumeName, E_READ_FILE);
    }
    if (e.Span > size - e.Data) break;
    pos = e.Next;
  }
  return static_cast<int>(FEntries.size());
}

void TUnTar::ExtractTarEntries(TStream& archive) {
  FMadeDirs.clear();
  for (const TTarEntryItem& item : FEntries) {
    if (GetCancel()) break;
    ExtractEntry(archive, item);
  }
  // Files created inside a directory change its time: directories get
  // theirs last, the deepest first.
  for (auto it = FMadeDirs.rbegin(); it != FMadeDirs.rend(); ++it)
    FileSetDate(it->first, it->second);
  FMadeDirs.clear();
}

void TUnTar::DescribeEntry(const TTarEntryItem& item) {
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = item.Name;
  e.PackedSize = e.UnpackedSize = static_cast<std::uint64_t>(item.Size);
  e.DosDate = TarTimeToDosDate(item.MTime);
  e.IsDirectory = item.IsDirectory();
  e.Attributes = e.IsDirectory ? kDirectoryAttr : kFileAttr;
  e.MethodName = MethodName(item.IsSpecial() ? -1 : 0, 0, e.IsDirectory);
  if (item.IsSpecial())
    e.MethodName = item.Type == '2' ? "Symlink" : item.Type == '1' ? "Hardlink" : "Special";
}

void TUnTar::RefuseEntry(const TTarEntryItem& item, int code, const std::string& reason) {
  RefuseCurrentEntry(code, reason, item.Size);
}

void TUnTar::ExtractEntry(TStream& archive, const TTarEntryItem& item) {
  DescribeEntry(item);
  {
    const bool translate = TranslateOemChar;
    TranslateOemChar = false;  // the name is already the system's
    BeginEntry(DelimToSlash(item.Name));
    TranslateOemChar = translate;
  }
  const std::uint32_t dosDate = FEntryInfo.DosDate;
  if (item.Unnamed) {
    RefuseEntry(item, E_INVALID_NAME,
                "an entry without a name at byte " + std::to_string(item.Header));
    return;
  }
  if (item.IsSpecial()) {
    // Never created and never followed: a link could point anywhere. A
    // test has nothing to check in it.
    if (FOutputTarget == otNone) {
      SkipEntry(0);
      ReportVerdict(true);
      return;
    }
    RefuseEntry(item, E_SKIPPED_FILE, KindText(item) + ", not extracted");
    return;
  }
  if (item.IsDirectory()) {
    FEntryUnixMode = 0040000 | (item.Mode & 0777);
    if (ExtractDirectoryEntry() && FOutputTarget == otFile && CreateStoredDirs)
      FMadeDirs.emplace_back(FFileName, dosDate);
    return;
  }
  if (item.Truncated) {
    RefuseEntry(item, E_READ_FILE,
                "the archive ends inside its data of " + std::to_string(item.Size) + " bytes");
    return;
  }
  FEntryUnixMode = item.Mode ? 0100000 | (item.Mode & 0777) : 0;
  std::unique_ptr<TFileStream32> out;
  if (!StartFileEntry(out, &archive, item.Size, false)) return;
  archive.Seek(item.Data, soFromBeginning);
  std::vector<std::uint8_t> buf(kChunk);
  std::int64_t left = item.Size, done = 0;
  bool ok = true;
  while (left > 0 && !GetCancel()) {
    const std::int64_t want = std::min(left, kChunk);
    const std::int64_t got = archive.Read(buf.data(), want);
    if (got <= 0) {
      ok = false;
      break;
    }
    if (WriteBlock(out.get(), buf.data(), true, got, 32) < got) {
      ok = false;
      break;
    }
    left -= got;
    done += got;
    FBytesToDo -= got;
    UpdateProgress(FTotalUnpacked, item.Size, done);
  }
  CloseOutput(out, FFileName, kFileAttr, dosDate);
  // Tar keeps no checksum of the data: a complete copy is the verdict.
  ReportVerdict(ok && left == 0, ok ? E_CRC_FAIL : E_WRITE_FILE);
}

}  // namespace qmx
