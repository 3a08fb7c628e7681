#include "archive/formats/sevenzip/sevenzip_reader.h"

#include <archive.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/codec/byte_order.h"
#include "archive/platform/file_attributes.h"
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

// Where an ELF file's own content ends (its header tables, segments and
// sections with data); -1 when file is no ELF file.
std::int64_t ElfExtent(const std::string& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  std::uint8_t h[64] = {};
  const ssize_t n = ::pread(fd, h, sizeof h, 0);
  std::int64_t extent = -1;
  if (n >= 52 &&
      std::memcmp(h,
                  "\x7F"
                  "ELF",
                  4) == 0 &&
      (h[4] == 1 || h[4] == 2) && (h[5] == 1 || h[5] == 2)) {
    const bool wide = h[4] == 2, big = h[5] == 2;
    auto get = [big](const std::uint8_t* p, int bytes) {
      std::uint64_t v = 0;
      for (int i = 0; i < bytes; ++i) v |= std::uint64_t{p[big ? bytes - 1 - i : i]} << (8 * i);
      return v;
    };
    const int word = wide ? 8 : 4;
    const std::uint64_t phoff = get(h + (wide ? 0x20 : 0x1C), word);
    const std::uint64_t shoff = get(h + (wide ? 0x28 : 0x20), word);
    const std::uint8_t* counts = h + (wide ? 0x36 : 0x2A);
    const std::uint64_t phsize = get(counts, 2), phnum = get(counts + 2, 2);
    const std::uint64_t shsize = get(counts + 4, 2), shnum = get(counts + 6, 2);
    std::uint64_t end = std::max(phoff + phsize * phnum, shoff + shsize * shnum);
    std::uint8_t e[64];
    // Segments: offset and file size; sections: type, offset and size.
    for (std::uint64_t i = 0; i < phnum && phsize >= (wide ? 56u : 32u); ++i) {
      if (::pread(fd, e, static_cast<std::size_t>(wide ? 56 : 32),
                  static_cast<off_t>(phoff + i * phsize)) != (wide ? 56 : 32))
        break;
      const std::uint64_t off = get(e + (wide ? 8 : 4), word),
                          size = get(e + (wide ? 32 : 16), word);
      end = std::max(end, off + size);
    }
    for (std::uint64_t i = 0; i < shnum && shsize >= (wide ? 64u : 40u); ++i) {
      if (::pread(fd, e, static_cast<std::size_t>(wide ? 64 : 40),
                  static_cast<off_t>(shoff + i * shsize)) != (wide ? 64 : 40))
        break;
      constexpr std::uint64_t kNoBits = 8;
      if (get(e + 4, 4) == kNoBits) continue;
      const std::uint64_t off = get(e + (wide ? 24 : 16), word),
                          size = get(e + (wide ? 32 : 20), word);
      end = std::max(end, off + size);
    }
    extent = static_cast<std::int64_t>(std::min<std::uint64_t>(end, std::uint64_t{1} << 62));
  }
  ::close(fd);
  return extent;
}

// FILETIME (100 ns since 1601) as a DOS date; 0 is "none".
std::uint32_t FileTimeToDosDate(bool has, std::uint64_t ft) {
  constexpr std::uint64_t kUnixEpoch = 116444736000000000ULL;
  if (!has || ft <= kUnixEpoch) return 0x00210020;
  // Outside what a DOS date holds: the nearest end of its range.
  constexpr std::int64_t kFirst = 315532800;  // 1980-01-01 UTC
  constexpr std::int64_t kLast = 4354819199;  // 2107-12-31 UTC
  const auto seconds = static_cast<std::int64_t>(
      std::min<std::uint64_t>((ft - kUnixEpoch) / 10000000, std::uint64_t{1} << 40));
  return UnixToDosDateTime(
      static_cast<std::time_t>(std::clamp(seconds, kFirst + 86400, kLast - 86400)));
}

// Unix mode bits that 7-Zip keeps above the attributes; 0 when none.
std::uint32_t UnixMode(const T7zFile& f) {
  return f.HasAttrib && (f.Attrib & 0x8000) ? f.Attrib >> 16 : 0;
}

bool IsLink(const T7zFile& f) {
  return (UnixMode(f) & 0170000) == 0120000;
}

std::string EntryName(const T7zFile& f) {
  std::string name = f.Name;
  while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.pop_back();
  return name;
}

int FailCode(TLibraryResult r) {
  return r == lrShort ? E_READ_FILE : E_CORRUPT_INPUT;
}

}  // namespace

// ---------------------------------------------------------------- native

void TUn7z::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  FVolumesKnown = false;
  FNative = false;
  std::vector<std::string> files;
  if (!FindVolumes(files)) return;
  FVolumes = files;
  FVolumesKnown = true;
  // A signature inside an ELF stub's own data is not an archive behind it.
  if (FArchivePosition > 0) {
    const std::int64_t stubEnd = ElfExtent(FArchiveFile);
    if (stubEnd > FArchivePosition) {
      ReportError(FArchiveFile,
                  "the 7z signature at byte " + std::to_string(FArchivePosition) +
                      " lies inside the ELF program, which ends at byte " + std::to_string(stubEnd),
                  FArchiveFile, E_HEADER_NOT_FOUND);
      return;
    }
  }
  T7zStatus status;
  std::string why;
  {
    TVolumeChain chain(files, FArchivePosition);
    if (!chain.Open()) {
      ReportError("", "", chain.Failed(), E_OPEN_FILE);
      return;
    }
    FVolumeName = FArchiveFile;
    T7zArchive a;
    status = Load7zArchive(
        [&chain](std::uint64_t pos, void* buf, std::int64_t count) -> std::int64_t {
          if (chain.Seek(static_cast<std::int64_t>(pos), SEEK_SET) !=
              static_cast<std::int64_t>(pos))
            return 0;
          const void* data = nullptr;
          const std::int64_t got = std::min(chain.Read(&data), count);
          if (got > 0) std::memcpy(buf, data, static_cast<std::size_t>(got));
          return got;
        },
        static_cast<std::uint64_t>(chain.Size()), a, why, FCancelRef);
    bool native = status == s7Ok;
    for (const T7zFile& f : a.Files)
      if (native && f.HasStream) native = a.Streams.Folders[f.Folder].Native();
    if (native) {
      FNative = true;
      ExtractNative(chain, a);
      return;
    }
  }
  if (status == s7NotArchive || status == s7Damaged) {
    ReportError(FArchiveFile, why, FVolumeName,
                status == s7NotArchive ? E_HEADER_NOT_FOUND : E_CORRUPT_INPUT);
    return;
  }
  // Coders or records this reader leaves to libarchive.
  TLibArchiveReader::ReadArchive(archive);
}

bool TUn7z::Selected(const T7zFile& f) {
  const std::string name = EntryName(f);
  return !f.IsAnti && !name.empty() && IsFileInSpec(name);
}

void TUn7z::ExtractNative(TVolumeChain& chain, const T7zArchive& a) {
  const auto& folders = a.Streams.Folders;
  std::vector<std::vector<const T7zFile*>> inFolder(folders.size());
  for (const T7zFile& f : a.Files) {
    if (f.HasStream) inFolder[static_cast<std::size_t>(f.Folder)].push_back(&f);
    if (!Selected(f)) continue;
    NoteSelectedEntry(f.IsDir ? 0 : static_cast<std::int64_t>(f.Size),
                      f.IsDir ? 0 : static_cast<std::int64_t>(f.Size),
                      FileTimeToDosDate(f.HasMTime, f.MTime));
  }
  if (a.Files.empty() && a.PhysicalSize > 32)
    ReportError(FArchiveFile, "its header lists no entries", FVolumeName, E_CORRUPT_INPUT);

  std::vector<std::uint8_t> done(folders.size(), 0);
  for (const T7zFile& f : a.Files) {
    if (GetCancel()) break;
    if (!f.HasStream) {
      if (f.IsAnti) continue;  // a deletion mark for updates, nothing to extract
      if (EntryName(f).empty()) {
        ReportError(FArchiveFile, "an entry without a name", FVolumeName, E_INVALID_NAME);
        continue;
      }
      if (Selected(f)) ExtractEmpty(f);
      continue;
    }
    const auto folder = static_cast<std::size_t>(f.Folder);
    if (done[folder]) continue;
    done[folder] = 1;
    ExtractFolder(chain, a, folder, inFolder[folder]);
  }
  FBytesToDo = 0;
  UpdateProgress(FTotalUnpacked, 1, 1);
}

void TUn7z::Describe(const T7zFile& f, const T7zArchive& a) {
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = EntryName(f);
  e.IsDirectory = f.IsDir;
  e.UnpackedSize = f.Size;
  e.DosDate = FileTimeToDosDate(f.HasMTime, f.MTime);
  e.Crc = f.Crc;
  const std::uint32_t mode = UnixMode(f);
  if (f.IsDir) {
    e.Attributes = faDirectory;
  } else {
    e.Attributes = (f.HasAttrib ? f.Attrib & 0x07 : 0) | faArchive;
    if (mode && !(mode & 0200)) e.Attributes |= faReadOnly;
  }
  if (f.IsDir) {
    e.MethodName = kMethodDir;
  } else if (f.HasStream) {
    const T7zFolder& folder = a.Streams.Folders[static_cast<std::size_t>(f.Folder)];
    // A folder's packed bytes go with its first entry, as 7-Zip lists them.
    e.PackedSize = f.IndexInFolder == 0 ? folder.PackedSize : 0;
    e.MethodName = folder.MethodName();
  }
}

void TUn7z::ExtractEmpty(const T7zFile& f) {
  static const T7zArchive kNone;
  BeginEntryAsIs(EntryName(f));
  Describe(f, kNone);
  const std::uint32_t mode = UnixMode(f);
  if (f.IsDir) {
    // Never a directory we could not fill.
    FEntryUnixMode = mode ? 0040000 | (mode & 0777) | 0700 : 0;
    ExtractDirectoryEntry();
    return;
  }
  if (IsLink(f)) {
    RefuseLink("");
    return;
  }
  if (mode && (mode & 0170000) == 0100000) FEntryUnixMode = 0100000 | (mode & 0777);
  std::unique_ptr<TFileStream32> out;
  if (!StartFileEntry(out, nullptr, 0, false)) return;
  CloseOutput(out, FFileName, FEntryInfo.Attributes, FEntryInfo.DosDate);
  ReportVerdict(true);
}

void TUn7z::OpenEntry(TOpenEntry& e, const T7zArchive& a) {
  const T7zFile& f = *e.File;
  e.Sink = skDiscard;
  e.Done = 0;
  e.Target.clear();
  if (EntryName(f).empty()) {
    ReportError(FArchiveFile, "an entry without a name", FVolumeName, E_INVALID_NAME);
    return;
  }
  if (!Selected(f)) return;
  BeginEntryAsIs(EntryName(f));
  Describe(f, a);
  if (IsLink(f)) {
    // Never created and never followed: a link could point anywhere.
    e.Sink = skLink;
    return;
  }
  if (f.IsDir) {
    // A directory with data (its attributes say so): the data goes.
    ExtractDirectoryEntry();
    return;
  }
  const std::uint32_t mode = UnixMode(f);
  if (mode && (mode & 0170000) == 0100000) FEntryUnixMode = 0100000 | (mode & 0777);
  if (StartFileEntry(e.Out, nullptr, static_cast<std::int64_t>(f.Size), false)) e.Sink = skWrite;
}

void TUn7z::FeedEntry(TOpenEntry& e, const void* buf, std::int64_t n) {
  e.Done += static_cast<std::uint64_t>(n);
  if (e.Sink == skLink) {
    constexpr std::size_t kMaxTarget = 4096;
    const auto* p = static_cast<const char*>(buf);
    e.Target.append(p, static_cast<std::size_t>(std::min<std::int64_t>(
                           n, kMaxTarget - std::min(kMaxTarget, e.Target.size()))));
    return;
  }
  if (e.Sink != skWrite) return;
  if (WriteBlock(e.Out.get(), buf, true, n, 32) < n) {
    // The rest of the folder is still decoded for the entries behind it.
    FailEntry(e, E_WRITE_FILE, "write error");
    return;
  }
  FBytesToDo -= n;
  UpdateProgress(FTotalUnpacked, static_cast<std::int64_t>(e.File->Size),
                 static_cast<std::int64_t>(e.Done));
}

void TUn7z::CloseEntry(TOpenEntry& e) {
  const T7zFile& f = *e.File;
  if (e.Sink == skLink) {
    RefuseLink(e.Target);
  } else if (e.Sink == skWrite) {
    if (f.HasCrc) {
      FinishFileEntry(e.Out, FEntryInfo.Attributes, FEntryInfo.DosDate, 32, f.Crc);
    } else {
      CloseOutput(e.Out, FFileName, FEntryInfo.Attributes, FEntryInfo.DosDate);
      ReportVerdict(true);
    }
  }
  e.Sink = skDiscard;
}

void TUn7z::RefuseLink(const std::string& target) {
  // A test has nothing to check in a link.
  if (FOutputTarget == otNone) {
    SkipEntry(0);
    ReportVerdict(true);
  } else {
    RefuseCurrentEntry(E_SKIPPED_FILE, "Symlink to " + target + ", not extracted", 0);
  }
}

void TUn7z::FailEntry(TOpenEntry& e, int code, const std::string& reason) {
  if (e.Sink == skWrite) CloseOutput(e.Out, FFileName, FEntryInfo.Attributes, FEntryInfo.DosDate);
  if (e.Sink != skDiscard) {
    if (GetCancel())
      ReportVerdict(false);
    else
      RefuseCurrentEntry(code, reason,
                         static_cast<std::int64_t>(e.File->Size - std::min(e.Done, e.File->Size)));
  }
  e.Sink = skDiscard;
}

void TUn7z::ExtractFolder(TVolumeChain& chain, const T7zArchive& a, std::size_t folder,
                          const std::vector<const T7zFile*>& files) {
  // Decoded up to the last entry chosen; the ones before it are decoded
  // and dropped when not chosen (a solid folder has no other way there).
  std::size_t last = files.size();
  for (std::size_t i = 0; i < files.size(); ++i)
    if (Selected(*files[i])) last = i;
  if (last == files.size()) return;

  std::size_t k = 0;
  TOpenEntry entry;
  std::uint64_t left = 0;
  // Opens entries from k on, closing those with nothing in them.
  auto openNext = [&]() {
    while (k <= last) {
      entry.File = files[k];
      OpenEntry(entry, a);
      left = files[k]->Size;
      if (left > 0) return;
      CloseEntry(entry);
      ++k;
    }
  };
  openNext();
  auto write = [&](const void* buf, std::int64_t n) -> bool {
    const auto* p = static_cast<const std::uint8_t*>(buf);
    while (n > 0 && k <= last) {
      const auto take =
          static_cast<std::int64_t>(std::min<std::uint64_t>(left, static_cast<std::uint64_t>(n)));
      FeedEntry(entry, p, take);
      p += take;
      n -= take;
      left -= static_cast<std::uint64_t>(take);
      if (left == 0) {
        CloseEntry(entry);
        ++k;
        openNext();
      }
    }
    FVolumeName = chain.CurrentFile();
    return k <= last && !GetCancel();
  };
  const auto readAt = [&chain](std::uint64_t pos, void* buf, std::int64_t count) -> std::int64_t {
    if (chain.Seek(static_cast<std::int64_t>(pos), SEEK_SET) != static_cast<std::int64_t>(pos))
      return 0;
    const void* data = nullptr;
    const std::int64_t got = std::min(chain.Read(&data), count);
    if (got > 0) std::memcpy(buf, data, static_cast<std::size_t>(got));
    return got;
  };
  TLibraryResult r = lrDone;
  if (k <= last) {
    try {
      r = Decode7zFolder(a.Streams, folder, readAt, write, FCancelRef);
    } catch (const std::bad_alloc&) {
      r = lrBadData;
    }
  }
  if (k > last) return;  // all chosen entries are out
  // The folder failed: the entry being decoded and every chosen one behind it.
  const std::string method = a.Streams.Folders[folder].MethodName();
  const std::string why = r == lrDone    ? "the data ends early"
                          : r == lrShort ? "the packed data ends early"
                                         : "damaged data (" + method + ")";
  const int code = r == lrDone ? E_CORRUPT_INPUT : FailCode(r);
  FailEntry(entry, code, why);
  for (++k; k <= last; ++k) {
    if (GetCancel()) break;
    entry.File = files[k];
    entry.Done = 0;
    if (!Selected(*files[k])) continue;
    BeginEntryAsIs(EntryName(*files[k]));
    Describe(*files[k], a);
    entry.Sink = skLink;  // nothing open, but a verdict is owed
    FailEntry(entry, code, why);
  }
}

// ---------------------------------------------------------------- libarchive

void TUn7z::EnableFormats(struct archive* a) const {
  archive_read_support_format_7zip(a);
}

bool TUn7z::CollectVolumes(std::vector<std::string>& files) {
  // Found once per run: a fallback to libarchive must not ask again.
  if (FVolumesKnown) {
    files = FVolumes;
    return true;
  }
  return FindVolumes(files);
}

bool TUn7z::FindVolumes(std::vector<std::string>& files) {
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

}  // namespace qmx
