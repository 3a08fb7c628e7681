#include "archive/formats/cab/cab_reader.h"

#include <mspack.h>

#include <algorithm>
#include <new>
#include <vector>

#include "archive/base/names.h"
#include "archive/formats/cab/cab_library.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr int kErrNextVolume = 25903;  // "Next volume in set"
constexpr int kErrNotInSet = 25904;    // "Cabinet does not belong with this set"
constexpr std::uint32_t kKeptAttributes =
    MSCAB_ATTRIB_RDONLY | MSCAB_ATTRIB_HIDDEN | MSCAB_ATTRIB_SYSTEM | MSCAB_ATTRIB_ARCH;
// More cabinets than any set on floppies ever had: a loop of names.
constexpr int kMaxCabinets = 1000;

std::string NamePartOf(const std::string& cabinetName) {
  const std::size_t p = cabinetName.find_last_of("\\/:");
  return p == std::string::npos ? cabinetName : cabinetName.substr(p + 1);
}

}  // namespace

std::uint32_t CabEntryDosDate(const mscabd_file& f) {
  const int year = std::clamp(f.date_y, 1980, 2107) - 1980;
  const auto field = [](char v, int lo, int hi) {
    return static_cast<std::uint32_t>(std::clamp(static_cast<int>(v), lo, hi));
  };
  return (static_cast<std::uint32_t>(year) << 25) | (field(f.date_m, 1, 12) << 21) |
         (field(f.date_d, 1, 31) << 16) | (field(f.time_h, 0, 23) << 11) |
         (field(f.time_m, 0, 59) << 5) | (field(f.time_s, 0, 59) >> 1);
}

std::string CabPlatformName(const mscabd_file& f, bool translate) {
  const std::string raw = f.filename ? f.filename : "";
  // libmspack gives UTF-8 for names flagged so; the others are OEM bytes.
  if (f.attribs & MSCAB_ATTRIB_UTF_NAME) return NameToWindows(raw, false);
  return NameToWindows(raw, translate);
}

TUnCab::TUnCab() = default;
TUnCab::~TUnCab() = default;

std::string TUnCab::FindBeside(const std::string& cabinetName) const {
  const std::string want = NamePartOf(cabinetName);
  if (want.empty() || want == "." || want == "..") return {};
  const std::string dir = ExtractFilePath(FArchiveFile);
  const std::string exact = dir + want;
  if (FileExists(exact)) return exact;
  std::vector<TSearchRec> entries;
  if (!ListDirectory(dir.empty() ? "." : dir, entries)) return {};
  for (const TSearchRec& e : entries)
    if (!(e.Attr & faDirectory) && SameTextAscii(e.Name, want)) return dir + e.Name;
  return {};
}

std::string TUnCab::AskNextCabinet(const std::string& cabinetName, int volumeId) {
  std::string name = ExtractFilePath(FArchiveFile) + NamePartOf(cabinetName);
  if (!OnNextVolume) {
    ReportError(FArchiveFile, "the next cabinet " + name + " is missing", FVolumeName,
                kErrNextVolume);
    return {};
  }
  TPauseGuard pause(FTimer);
  bool cancel = GetCancel();
  for (int asked = 0; asked < 100; ++asked) {
    OnNextVolume(*this, name, volumeId, FileExists(name), cancel);
    if (cancel || FileExists(name)) break;
  }
  if (cancel || !FileExists(name)) {
    ReportError(FArchiveFile, "the next cabinet " + name + " is missing", FVolumeName,
                kErrNextVolume);
    return {};
  }
  return name;
}

mscabd_cabinet* TUnCab::OpenSet(TCabLibrary& lib) {
  int error = 0;
  const std::int64_t offset = std::max<std::int64_t>(FArchivePosition, 0);
  mscabd_cabinet* cab = lib.Open(FArchiveFile, offset, error);
  if (!cab) {
    ReportError(FArchiveFile, TCabLibrary::ErrorText(error), FVolumeName, E_HEADER_NOT_FOUND);
    return nullptr;
  }
  mscabd_cabinet* first = cab;
  // Files that begin in an earlier cabinet need it; without it they are
  // not offered at all.
  for (int n = 0; n < kMaxCabinets && (first->flags & MSCAB_HDR_PREVCAB) && first->prevname; ++n) {
    const std::string path = FindBeside(first->prevname);
    if (path.empty()) break;
    mscabd_cabinet* prev = lib.Open(path, 0, error);
    if (!prev || lib.Prepend(first, prev) != MSPACK_ERR_OK) {
      ReportError(path, "", FVolumeName, kErrNotInSet);
      break;
    }
    first = prev;
  }
  mscabd_cabinet* last = cab;
  for (int n = 0;
       n < kMaxCabinets && (last->flags & MSCAB_HDR_NEXTCAB) && last->nextname && !GetCancel();
       ++n) {
    std::string path = FindBeside(last->nextname);
    if (path.empty()) path = AskNextCabinet(last->nextname, last->set_index + 1);
    if (path.empty()) break;
    mscabd_cabinet* next = lib.Open(path, 0, error);
    if (!next || lib.Append(last, next) != MSPACK_ERR_OK) {
      ReportError(path, next ? "" : TCabLibrary::ErrorText(error), FVolumeName, kErrNotInSet);
      break;
    }
    FVolumeName = path;
    last = next;
  }
  return first;
}

void TUnCab::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  (void)archive;  // the library opens the cabinets itself
  try {
    TCabLibrary lib;
    if (!lib.Ready()) {
      ReportError(FArchiveFile, "the cabinet library cannot start", FVolumeName,
                  E_UNSUPPORTED_TYPE);
      return;
    }
    lib.Canceled = [this] { return GetCancel(); };
    mscabd_cabinet* cab = OpenSet(lib);
    if (!cab) return;
    struct TItem {
      mscabd_file* File;
      std::string Name;
    };
    std::vector<TItem> selected;
    for (mscabd_file* f = cab->files; f; f = f->next) {
      std::string name = CabPlatformName(*f, TranslateOemChar);
      if (!name.empty() && !IsFileInSpec(name)) continue;
      NoteSelectedEntry(0, f->length, CabEntryDosDate(*f));
      selected.push_back({f, std::move(name)});
    }
    for (TItem& item : selected) {
      if (GetCancel()) break;
      ExtractEntry(lib, *item.File, item.Name);
    }
  } catch (const std::bad_alloc&) {
    ReportError(FArchiveFile, "out of memory", FVolumeName, E_CORRUPT_INPUT);
  }
}

void TUnCab::DescribeEntry(const mscabd_file& f, const std::string& name) {
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = name;
  e.UnpackedSize = f.length;
  e.DosDate = CabEntryDosDate(f);
  e.Attributes = (static_cast<std::uint32_t>(f.attribs) & kKeptAttributes) | faArchive;
  const int method = f.folder ? f.folder->comp_type : 0;
  e.MethodName = MethodName(method, 0);
}

void TUnCab::ExtractEntry(TCabLibrary& lib, mscabd_file& f, const std::string& name) {
  DescribeEntry(f, name);
  {
    // The name is in the system's form already.
    const bool translate = TranslateOemChar;
    TranslateOemChar = false;
    BeginEntry(name);
    TranslateOemChar = translate;
  }
  const std::uint32_t dosDate = FEntryInfo.DosDate;
  const std::int64_t length = f.length;
  if (name.empty() || FStoredName.empty()) {
    ReportError(FFileName, "an entry without a name", FVolumeName, E_INVALID_NAME);
    SkipEntry(length);
    ReportVerdict(false, E_INVALID_NAME);
    return;
  }
  if (f.attribs & MSCAB_ATTRIB_EXEC)
    FEntryUnixMode = (f.attribs & MSCAB_ATTRIB_RDONLY) ? 0100555 : 0100755;

  std::unique_ptr<TFileStream32> out;
  if (!StartFileEntry(out, nullptr, length, false)) return;
  std::int64_t done = 0;
  bool writeFailed = false;
  const TCabSink sink = [&](const void* data, std::int64_t n) {
    if (GetCancel()) return false;
    if (WriteBlock(out.get(), data, false, n, 32) < n) {
      writeFailed = true;
      return false;
    }
    done += n;
    FBytesToDo -= n;
    UpdateProgress(FTotalUnpacked, length, done);
    return true;
  };
  const int r = lib.Extract(&f, sink);
  CloseOutput(out, FFileName, FEntryInfo.Attributes, dosDate);
  if (r == MSPACK_ERR_OK && done == length) {
    ReportVerdict(true);
    return;
  }
  if (!GetCancel()) {
    const int code = writeFailed ? E_WRITE_FILE : E_CORRUPT_INPUT;
    ReportError(FFileName, TCabLibrary::ErrorText(r == MSPACK_ERR_OK ? MSPACK_ERR_DATAFORMAT : r),
                FVolumeName, code);
  }
  ReportVerdict(false, writeFailed ? E_WRITE_FILE : E_CORRUPT_INPUT);
}

}  // namespace qmx
