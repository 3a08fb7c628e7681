#include "archive/formats/arj/arj_reader.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <string>
#include <vector>

#include "archive/base/names.h"
#include "archive/codec/arj_decoder.h"
#include "archive/codec/crc.h"
#include "archive/codec/legacy_io.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr std::uint32_t kFileAttr = 0x20;
constexpr std::uint32_t kDirectoryAttr = 0x10;
// How far a first header is looked for: self-extractor stubs are some tens
// of KiB.
constexpr std::int64_t kHeaderSearch = 1 << 20;

bool IsUnixHost(const TArjHeader& h) {
  return h.HostOs == ahUnix || h.HostOs == ahNext;
}

int FailCode(int r) {
  return r == wrWriteError ? E_WRITE_FILE : r == wrBadData ? E_CORRUPT_INPUT : E_READ_FILE;
}

}  // namespace

void TUnARJ::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  FArchiveComment.clear();
  FEntries.clear();
  FMadeDirs.clear();
  FSplit = TOpenSplit{};
  FSplitOpen = false;
  if (!archive) return;
  if (!ReadMainHeader(*archive, std::max<std::int64_t>(FArchivePosition, 0), true)) return;
  FArchiveComment = FMain.Comment;
  // A set may be opened at any of its volumes: ".a01" is the second.
  int index = FArcType == atArj && FVolumeNumber >= 1 ? FVolumeNumber - 1 : 0;
  while (!GetCancel()) {
    const bool intact = ListVolume(*archive);
    for (const TArjEntryItem& item : FEntries) {
      if (GetCancel()) break;
      if (item.Head.Flags & afExtFile) {
        ContinueSplit(*archive, item);
        continue;
      }
      if (FSplitOpen) FinishSplit(false, E_READ_FILE);
      ExtractEntry(*archive, item);
    }
    if (GetCancel() || !intact || !(FMain.Flags & afVolume)) break;
    if (!OpenVolume(archive, ++index)) break;
    if (!ReadMainHeader(*archive, 0, false)) break;
  }
  if (FSplitOpen) {
    ReportError(FOutputTarget == otNone ? FStoredName : FFileName,
                "its last part is in a volume that was not read", FVolumeName, E_READ_FILE);
    FinishSplit(false, E_READ_FILE);
  }
  // Files created inside a directory change its time: directories get
  // theirs last, the deepest first.
  for (auto it = FMadeDirs.rbegin(); it != FMadeDirs.rend(); ++it)
    FileSetDate(it->first, it->second);
  FMadeDirs.clear();
}

bool TUnARJ::ReadMainHeader(TStream& archive, std::int64_t from, bool searchAll) {
  const std::int64_t size = archive.Size();
  std::string why;
  if (ReadArjHeader(archive, from, size, FMain, why) == asHeader && FMain.FileType == aftComment)
    return true;
  // Behind a stub the header is searched for; in a plain archive a search
  // steps over damage and says so.
  const std::int64_t pos =
      FindArjHeader(archive, from, searchAll ? kHeaderSearch : kHeaderSearch / 16, FCancelRef);
  if (pos < 0 || ReadArjHeader(archive, pos, size, FMain, why) != asHeader) {
    ReportError(FArchiveFile, "no ARJ main header found", FVolumeName, E_HEADER_NOT_FOUND);
    return false;
  }
  if (FArcType != atArjExe || pos < from)
    ReportError(FArchiveFile,
                "no header at byte " + std::to_string(from) + ", the first one is at byte " +
                    std::to_string(pos),
                FVolumeName, E_HEADER_NOT_FOUND);
  return true;
}

bool TUnARJ::ListVolume(TStream& archive) {
  FEntries.clear();
  const std::int64_t size = archive.Size();
  std::int64_t pos = FMain.Next;
  std::string splitName = FSplitOpen ? FSplit.Name : std::string();
  while (!GetCancel()) {
    TArjEntryItem item;
    std::string why;
    const TArjStep step = ReadArjHeader(archive, pos, size, item.Head, why);
    if (step == asEnd) return true;
    if (step == asDamaged) {
      ReportError(FArchiveFile, why, FVolumeName, E_HEADER_NOT_FOUND);
      return false;
    }
    const TArjHeader& h = item.Head;
    item.Truncated = h.Next > size;
    item.Name = ArjPlatformName(h, TranslateOemChar);
    item.Comment = h.Comment;
    // Volume labels and chapter marks are no files.
    const bool entry = h.FileType == aftBinary || h.FileType == aftText || h.IsDirectory();
    bool selected;
    if (h.Flags & afExtFile)
      selected = !splitName.empty() && item.Name == splitName;
    else
      selected = entry && (item.Name.empty() || IsFileInSpec(item.Name));
    if (selected) {
      if (!(h.Flags & afExtFile))
        NoteSelectedEntry(h.IsDirectory() ? 0 : h.PackedSize, h.IsDirectory() ? 0 : h.OriginalSize,
                          h.DosDate());
      else
        NoteSelectedEntry(h.PackedSize, h.OriginalSize, 0);
      splitName = (h.Flags & afVolume) ? item.Name : std::string();
      FEntries.push_back(item);
    } else if (item.Truncated) {
      ReportError(FArchiveFile, "the archive ends inside " + item.Name, FVolumeName, E_READ_FILE);
    }
    if (item.Truncated) return false;
    pos = h.Next;
  }
  return false;
}

bool TUnARJ::OpenVolume(std::unique_ptr<TFileStream32>& archive, int index) {
  // Self-extracting sets go on in ".a01" too.
  std::string name = FVolumeLetter
                         ? GetVolumeName(FArchiveFile, index)
                         : ChangeFileExt(FArchiveFile, ".a" + std::string(index < 10 ? "0" : "") +
                                                           std::to_string(index));
  if (!FileExists(name)) {
    // ARJ names the volumes in its archive's case.
    std::string upper = name;
    const std::size_t dot = upper.rfind('.');
    for (std::size_t i = dot; i < upper.size(); ++i)
      upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
    if (FileExists(upper)) name = upper;
  }
  archive.reset();
  if (!FileExists(name) && !AskForVolume(name, index)) return false;
  auto next = std::make_unique<TFileStream32>(name, fmOpenRead);
  if (next->Handle() < 0) {
    ReportError(FArchiveFile, "", name, E_OPEN_FILE);
    return false;
  }
  FVolumeName = name;
  FArchiveSize = next->Size();
  archive = std::move(next);
  return true;
}

void TUnARJ::DescribeEntry(const TArjEntryItem& item) {
  const TArjHeader& h = item.Head;
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = item.Name;
  e.IsDirectory = h.IsDirectory();
  e.PackedSize = e.IsDirectory ? 0 : h.PackedSize;
  e.UnpackedSize = e.IsDirectory ? 0 : h.OriginalSize;
  e.DosDate = h.DosDate() ? h.DosDate() : 0x00210020;
  if (IsUnixHost(h)) {
    e.Attributes = e.IsDirectory ? kDirectoryAttr : ((h.AccessMode & 0200) ? 0 : 1) | kFileAttr;
  } else {
    e.Attributes = e.IsDirectory ? kDirectoryAttr : ((h.AccessMode & 0x07) | kFileAttr);
  }
  e.Crc = h.Crc;
  e.Encrypted = h.Garbled();
  // The documented names stop at method 3.
  e.MethodName =
      h.Method == 4 && !e.IsDirectory ? "Fastest" : MethodName(h.Method, 0, e.IsDirectory);
}

void TUnARJ::RefuseEntry(const TArjEntryItem& item, int code, const std::string& reason) {
  RefuseCurrentEntry(code, reason, item.Head.OriginalSize);
}

void TUnARJ::ExtractEntry(TStream& archive, const TArjEntryItem& item) {
  const TArjHeader& h = item.Head;
  DescribeEntry(item);
  BeginEntryAsIs(item.Name);  // the name is the system's already
  const std::uint32_t dosDate = FEntryInfo.DosDate;
  if (item.Name.empty()) {
    RefuseEntry(item, E_INVALID_NAME,
                "an entry without a name at byte " + std::to_string(h.HeaderAt));
    return;
  }
  if (h.IsDirectory()) {
    // Never a directory we could not fill.
    if (IsUnixHost(h) && (h.AccessMode & 0170000) == 0040000)
      FEntryUnixMode = (h.AccessMode & 0040777) | 0700;
    if (ExtractDirectoryEntry() && FOutputTarget == otFile && CreateStoredDirs)
      FMadeDirs.emplace_back(FFileName, dosDate);
    return;
  }
  if (!ArjMethodKnown(h.Method)) {
    RefuseEntry(item, E_UNSUPPORTED_METHOD, "method " + std::to_string(h.Method));
    return;
  }
  if (h.Garbled() && FMain.EncryptionVersion >= 2) {
    RefuseEntry(item, E_UNSUPPORTED_METHOD,
                "encrypted with ARJ's GOST cipher (version " +
                    std::to_string(FMain.EncryptionVersion) + "), which is not supported");
    return;
  }
  if (IsUnixHost(h) && (h.AccessMode & 0170000) == 0100000)
    FEntryUnixMode = 0100000 | (h.AccessMode & 0777);

  std::unique_ptr<TFileStream32> out;
  if (h.Garbled()) {
    // The framework reads 12 bytes before it asks for a password, but ARJ
    // keeps no check value in front of the data: let it read the header.
    archive.Seek(h.HeaderAt, soFromBeginning);
    EncryptionMethod = emNone;
    FTrialArchive = &archive;
    FTrialItem = &item;
  }
  const bool started = StartFileEntry(out, &archive, h.OriginalSize, h.Garbled());
  FTrialArchive = nullptr;
  FTrialItem = nullptr;
  if (!started) return;
  bool crcPass = false;
  std::int64_t written = 0;
  const int r = DecodePart(archive, item, out.get(), h.Garbled() ? Password : std::string(), false,
                           crcPass, written);
  const bool complete = r == wrOk && written == h.OriginalSize;
  if ((h.Flags & afVolume) && complete) {
    FSplit.Out = std::move(out);
    FSplit.Name = item.Name;
    FSplit.Written = written;
    FSplit.DosDate = dosDate;
    FSplit.Attributes = FEntryInfo.Attributes;
    FSplit.Pass = crcPass;
    FSplitOpen = true;
    return;
  }
  CloseOutput(out, FFileName, FEntryInfo.Attributes, dosDate);
  if (complete)
    ReportVerdict(crcPass);
  else
    ReportVerdict(false, FailCode(r));
}

void TUnARJ::ContinueSplit(TStream& archive, const TArjEntryItem& item) {
  const TArjHeader& h = item.Head;
  if (!FSplitOpen || item.Name != FSplit.Name ||
      static_cast<std::int64_t>(h.ExtFilePos) != FSplit.Written) {
    if (FSplitOpen) FinishSplit(false, E_READ_FILE);
    ReportError(FArchiveFile, "a part of " + item.Name + " without the parts before it",
                FVolumeName, E_SKIPPED_FILE);
    return;
  }
  if (!ArjMethodKnown(h.Method)) {
    ReportError(FFileName, "method " + std::to_string(h.Method), FVolumeName, E_UNSUPPORTED_METHOD);
    FinishSplit(false, E_UNSUPPORTED_METHOD);
    return;
  }
  bool crcPass = false;
  std::int64_t written = 0;
  const int r = DecodePart(archive, item, FSplit.Out.get(), h.Garbled() ? Password : std::string(),
                           false, crcPass, written);
  FSplit.Written += written;
  if (r != wrOk || written != h.OriginalSize) {
    FinishSplit(false, FailCode(r));
    return;
  }
  FSplit.Pass = FSplit.Pass && crcPass;
  if (!(h.Flags & afVolume)) FinishSplit(FSplit.Pass, E_CRC_FAIL);
}

void TUnARJ::FinishSplit(bool pass, int failCode) {
  FSplitOpen = false;
  CloseOutput(FSplit.Out, FFileName, FSplit.Attributes, FSplit.DosDate);
  ReportVerdict(pass, failCode);
  FSplit = TOpenSplit{};
}

int TUnARJ::DecodePart(TStream& archive, const TArjEntryItem& item, TFileStream32* out,
                       const std::string& password, bool trial, bool& crcPass,
                       std::int64_t& written) {
  const TArjHeader& h = item.Head;
  written = 0;
  crcPass = false;
  archive.Seek(h.DataAt, soFromBeginning);
  const std::int64_t available =
      std::max<std::int64_t>(0, std::min<std::int64_t>(h.PackedSize, archive.Size() - h.DataAt));
  // The old garble adds the modifier to each password byte and xors the
  // data with the result, cycling through the password.
  std::size_t keyAt = 0;
  TLegacyReadFunc read;
  if (h.Garbled() && !password.empty()) {
    read = [&](TStream& src, void* buf, std::int64_t n) -> std::int64_t {
      const std::int64_t got = src.Read(buf, n);
      auto* p = static_cast<std::uint8_t*>(buf);
      for (std::int64_t i = 0; i < got; ++i) {
        p[i] ^= static_cast<std::uint8_t>(static_cast<std::uint8_t>(password[keyAt]) +
                                          h.PasswordModifier);
        if (++keyAt == password.size()) keyAt = 0;
      }
      return got;
    };
  }
  TLegacyInput in(archive, available, read, FCancelRef);
  std::uint32_t crc = 0xFFFFFFFFu;
  const std::int64_t base = trial || !FSplitOpen ? 0 : FSplit.Written;
  auto write = [&](const void* b, std::int64_t n) -> std::int64_t {
    UpdateCrc32(b, n, crc);
    if (!trial) {
      if (WriteBlock(out, b, true, n, 32) < n) return 0;
      FBytesToDo -= n;
      UpdateProgress(FTotalUnpacked, base + h.OriginalSize, base + written + n);
    }
    written += n;
    return n;
  };
  int r = wrOk;
  try {
    r = ArjDecode(in, write, h.Method, h.OriginalSize, FCancelRef);
  } catch (const std::bad_alloc&) {
    r = wrBadData;
  }
  crcPass = (crc ^ 0xFFFFFFFFu) == h.Crc;
  return r;
}

bool TUnARJ::VerifyPassword(const std::uint8_t header[12]) {
  (void)header;
  if (!FTrialArchive || !FTrialItem || Password.empty()) return false;
  bool pass = false;
  std::int64_t written = 0;
  const int r = DecodePart(*FTrialArchive, *FTrialItem, nullptr, Password, true, pass, written);
  return r == wrOk && pass;
}

}  // namespace qmx
