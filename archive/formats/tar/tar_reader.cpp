#include "archive/formats/tar/tar_reader.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "archive/base/names.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr std::int64_t kChunk = 32768;
// GNU long names and pax records are names and a few numbers: anything
// bigger is damage, not a header to load into memory.
constexpr std::int64_t kMaxExtendedHeader = 1 << 20;
constexpr std::uint32_t kFileAttr = 0x20;
constexpr std::uint32_t kDirectoryAttr = 0x10;

std::string Field(const std::uint8_t* p, std::size_t length) {
  const auto* end = static_cast<const std::uint8_t*>(std::memchr(p, 0, length));
  return std::string(reinterpret_cast<const char*>(p), end ? end - p : length);
}

std::int64_t RoundUp(std::int64_t n) {
  return (n + kTarBlock - 1) / kTarBlock * kTarBlock;
}

// The pax records of an extended header that matter here.
struct TPaxValues {
  bool HasPath = false, HasSize = false, HasMTime = false, HasLink = false;
  // GNU's sparse files in pax form: their data holds a map first.
  bool Sparse = false;
  std::string Path, LinkPath;
  std::int64_t Size = 0;
  std::int64_t MTime = 0;
};

// "length key=value\n" records; a malformed record ends the parse (the
// values before it stand).
void ParsePax(const std::string& text, TPaxValues& v) {
  std::size_t p = 0;
  while (p < text.size()) {
    std::size_t sp = text.find(' ', p);
    if (sp == std::string::npos || sp == p || sp - p > 18) return;
    std::int64_t length = 0;
    for (std::size_t i = p; i < sp; ++i) {
      if (text[i] < '0' || text[i] > '9') return;
      length = length * 10 + (text[i] - '0');
    }
    if (length <= static_cast<std::int64_t>(sp - p + 1) ||
        length > static_cast<std::int64_t>(text.size() - p) || text[p + length - 1] != '\n')
      return;
    const std::string record = text.substr(sp + 1, p + length - 1 - (sp + 1));
    p += static_cast<std::size_t>(length);
    const std::size_t eq = record.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = record.substr(0, eq);
    // A NUL would end the name early wherever it is used.
    std::string value = record.substr(eq + 1);
    value = value.substr(0, value.find('\0'));
    auto number = [](const std::string& s, std::int64_t& out) {
      // Decimal seconds may carry a fraction; a sign only on times.
      std::size_t i = 0;
      bool negative = false;
      if (i < s.size() && s[i] == '-') negative = true, ++i;
      if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
      std::int64_t n = 0;
      for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        if (n > (INT64_MAX - 9) / 10) return false;
        n = n * 10 + (s[i] - '0');
      }
      out = negative ? -n : n;
      return true;
    };
    if (key.rfind("GNU.sparse.", 0) == 0) v.Sparse = true;
    if (key == "path" || key == "GNU.sparse.name") {
      v.HasPath = true;
      v.Path = value;
    } else if (key == "linkpath") {
      v.HasLink = true;
      v.LinkPath = value;
    } else if (key == "size") {
      std::int64_t n;
      if (number(value, n) && n >= 0) v.HasSize = true, v.Size = n;
    } else if (key == "mtime") {
      std::int64_t n;
      if (number(value, n)) v.HasMTime = true, v.MTime = n;
    }
  }
}

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
  std::array<std::uint8_t, kTarBlock> b{};
  std::string longName, longLink;
  bool hasLongName = false, hasLongLink = false;
  TPaxValues pax;
  bool pending = false;
  auto damaged = [&](const std::string& why) {
    ReportError(FArchiveFile, why + " at byte " + std::to_string(pos), FVolumeName,
                E_HEADER_NOT_FOUND);
  };

  while (!GetCancel()) {
    if (pos > size - kTarBlock || ReadStreamAt(archive, pos, b.data(), kTarBlock) != kTarBlock ||
        std::all_of(b.begin(), b.end(), [](std::uint8_t c) { return c == 0; })) {
      if (pending) damaged("extended header without its entry");
      break;
    }
    if (!TarChecksumMatches(b.data())) {
      damaged("damaged tar header");
      break;
    }
    const char type = static_cast<char>(b[156]);
    std::int64_t dataSize = TarNumber(b.data() + 124, 12);
    if (dataSize < 0) {
      damaged("tar header with an impossible size");
      break;
    }
    const std::int64_t data = pos + kTarBlock;
    const std::int64_t room = size - data;

    if (type == 'L' || type == 'K' || type == 'x' || type == 'g' || type == 'X') {
      if (dataSize > kMaxExtendedHeader || dataSize > room) {
        damaged("oversized or truncated extended header");
        break;
      }
      std::string text(static_cast<std::size_t>(dataSize), '\0');
      if (ReadStreamAt(archive, data, text.data(), dataSize) != dataSize) break;
      if (type == 'L') {
        hasLongName = true;
        longName = text.substr(0, text.find('\0'));
      } else if (type == 'K') {
        hasLongLink = true;
        longLink = text.substr(0, text.find('\0'));
      } else if (type == 'x' || type == 'X') {
        ParsePax(text, pax);
      }
      // Global records ("g") hold defaults nobody relies on for names.
      pending = type != 'g';
      pos = data + RoundUp(dataSize);
      continue;
    }

    pending = false;
    TTarEntryItem item;
    item.Header = pos;
    std::int64_t dataAt = data;
    // An old GNU sparse header may go on in extension blocks.
    if (type == 'S' && b[482] != 0) {
      std::array<std::uint8_t, kTarBlock> ext{};
      do {
        if (ReadStreamAt(archive, dataAt, ext.data(), kTarBlock) != kTarBlock) break;
        dataAt += kTarBlock;
      } while (ext[504] != 0 && !GetCancel());
    }
    item.Data = dataAt;
    if (pax.HasSize) dataSize = pax.Size;
    item.Size = dataSize;
    item.Type = type == '\0' ? '0' : type;
    item.MTime = pax.HasMTime ? pax.MTime : TarNumber(b.data() + 136, 12);
    item.Mode =
        static_cast<std::uint32_t>(std::max<std::int64_t>(TarNumber(b.data() + 100, 8), 0) & 07777);
    std::string raw;
    if (pax.HasPath) {
      raw = pax.Path;
    } else if (hasLongName) {
      raw = longName;
    } else {
      raw = Field(b.data(), 100);
      // The prefix field exists only under the POSIX magic; GNU headers
      // keep times and sparse maps there.
      if (std::memcmp(b.data() + 257, "ustar\0", 6) == 0) {
        const std::string prefix = Field(b.data() + 345, 155);
        if (!prefix.empty()) raw = prefix + "/" + raw;
      }
    }
    item.LinkName = pax.HasLink   ? pax.LinkPath
                    : hasLongLink ? longLink
                                  : Field(b.data() + 157, 100);
    // Old tars mark directories by the trailing slash alone.
    if ((item.Type == '0' || item.Type == '7') && !raw.empty() && raw.back() == '/')
      item.Type = '5';
    if (item.Type == 'D') item.Type = '5';
    if (pax.Sparse) item.Type = 'S';
    hasLongName = hasLongLink = false;
    pax = TPaxValues{};
    // Links, devices, FIFOs and directories have no data, whatever their
    // size field says; a GNU dumpdir's listing is stepped over.
    if (type != '\0' && std::strchr("123465", type) != nullptr) dataSize = 0;
    if (std::strchr("12346", item.Type) != nullptr || item.Type == '5') item.Size = 0;
    const std::int64_t roomAfter = size - dataAt;
    item.Truncated = dataSize > roomAfter;
    // "./x" is x; "./" itself is the directory extracted into.
    bool root = false;
    while (raw.size() >= 2 && raw[0] == '.' && raw[1] == '/') {
      raw.erase(0, 2);
      root = raw.empty();
    }
    if (raw == ".") root = true, raw.clear();
    if (raw.empty() && !root && item.Type != 'V')
      ReportError(FArchiveFile, "an entry without a name at byte " + std::to_string(pos),
                  FVolumeName, E_INVALID_NAME);
    // Tar names are the system's bytes, as every Unix tar writes them.
    item.Name = NameToWindows(raw, false);

    // A volume label names the archive, not an entry.
    if (item.Type != 'V' && !item.Name.empty() && IsFileInSpec(item.Name)) {
      const std::int64_t counted = item.IsSpecial() ? 0 : item.Size;
      NoteSelectedEntry(counted, counted, TarTimeToDosDate(item.MTime));
      FEntries.push_back(std::move(item));
    } else if (item.Truncated) {
      ReportError(FArchiveFile, "the archive ends inside " + raw, FVolumeName, E_READ_FILE);
    }
    if (dataSize > roomAfter) break;
    pos = dataAt + RoundUp(dataSize);
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
  ReportError(FFileName, reason, FVolumeName, code);
  SkipEntry(item.Size);
  if (OnEnd) ReportVerdict(false);
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
