#include "archive/formats/gzip/gzip_reader.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "archive/base/names.h"
#include "archive/codec/byte_order.h"
#include "archive/codec/crc.h"
#include "archive/codec/legacy_io.h"
#include "archive/codec/lzw.h"
#include "archive/codec/raw_inflate.h"
#include "archive/formats/tar/tar_reader.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"
#include "archive/platform/paths.h"

namespace qmx {
namespace {

constexpr std::uint32_t kFileAttr = 0x20;
constexpr std::size_t kNameKept = 255;
constexpr std::uint8_t kFlagMultiPart = 0x02;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;
constexpr std::uint8_t kFlagComment = 0x10;
constexpr std::uint8_t kFlagEncrypted = 0x20;

bool SameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// A header's zero-terminated field from the stream's position: up to
// kNameKept bytes kept, the rest stepped over. False at the end of input.
template <typename TGetByte>
bool ReadZeroTerminated(TGetByte get, std::string* kept) {
  for (;;) {
    std::uint8_t c;
    if (!get(c)) return false;
    if (c == 0) return true;
    if (kept && kept->size() < kNameKept) kept->push_back(static_cast<char>(c));
  }
}

// The optional parts of a gzip header after its first ten bytes.
template <typename TGetByte>
bool SkipOptionalFields(TGetByte get, std::uint8_t flags, std::string* name) {
  std::uint8_t b0, b1;
  if (flags & kFlagExtra) {
    if (!get(b0) || !get(b1)) return false;
    for (int n = b0 | (b1 << 8); n > 0; --n)
      if (!get(b0)) return false;
  }
  if ((flags & kFlagName) && !ReadZeroTerminated(get, name)) return false;
  if ((flags & kFlagComment) && !ReadZeroTerminated(get, nullptr)) return false;
  return true;
}

}  // namespace

// ------------------------------------------------------------------ listing

bool TUnGZip::ReadMemberInfo(TStream& archive, TMemberInfo& info) {
  info = TMemberInfo{};
  std::array<std::uint8_t, 10> h{};
  const std::int64_t size = archive.Size();
  const std::int64_t got = ReadStreamAt(archive, 0, h.data(), 10);
  if (got < 3 || h[0] != 0x1F) return false;
  info.Magic[0] = h[0];
  info.Magic[1] = h[1];
  info.Method = h[2];
  const std::uint32_t archiveDate = FileGetDate(FArchiveFile);
  std::string stored;
  if (info.IsGZip()) {
    if (got < 10) return false;
    info.Flags = h[3];
    info.ExtraFlags = h[8];
    std::int64_t pos = 10;
    archive.Seek(pos, soFromBeginning);
    auto get = [&](std::uint8_t& c) {
      if (archive.Read(&c, 1) != 1) return false;
      ++pos;
      return true;
    };
    if (!SkipOptionalFields(get, info.Flags, &stored)) return false;
    info.DataStart = pos;
    const std::uint32_t mtime = GetLE32(h.data() + 4);
    info.DosDate = mtime ? TarTimeToDosDate(mtime) : archiveDate;
    std::array<std::uint8_t, 8> t{};
    if (size - pos >= 8 && ReadStreamAt(archive, size - 8, t.data(), 8) == 8) {
      info.Crc = GetLE32(t.data());
      info.UnpackedSize = GetLE32(t.data() + 4);
    }
    info.PackedSize = std::max<std::int64_t>(size - pos - 8, 0);
  } else if (info.IsCompress() || (h[1] == 0x1E || h[1] == 0xA0)) {
    info.DataStart = 3;
    info.DosDate = archiveDate;
    info.PackedSize = info.UnpackedSize = size;
  } else {
    return false;
  }
  if (info.DosDate == 0) info.DosDate = 0x00210020;
  info.Name = MemberName(stored, info.Flags);
  return true;
}

std::string TUnGZip::MemberName(const std::string& stored, std::uint8_t flags) const {
  const std::string archiveName = ExtractFileName(FArchiveFile);
  const std::string archiveExt = ExtractFileExt(archiveName);
  std::string name;
  if (!stored.empty()) {
    // Only the file name: gzip keeps no directories, and a stored path
    // must not place the file elsewhere.
    std::string s = stored;
    const std::size_t cut = s.find_last_of("/\\");
    if (cut != std::string::npos) s = s.substr(cut + 1);
    // Stored names are the system's bytes, as gzip writes them.
    name = NameToWindows(s, false);
  }
  if (name.empty()) {
    // As gunzip names its output: the archive's name less its extension,
    // with .tgz and .taz becoming .tar.
    if (SameText(archiveExt, ".tgz") || SameText(archiveExt, ".taz"))
      return ChangeFileExt(archiveName, ".tar");
    name = archiveExt.empty() ? archiveName + ".out" : ChangeFileExt(archiveName, "");
    return name.empty() ? "unnamed" : name;
  }
  const std::string ext = ExtractFileExt(name);
  if (SameText(ext, ".tgz")) return name.substr(0, name.find('.')) + ".tar";
  if (SameText(ext, ".tar")) return name;
  if (!ext.empty() && SameText(ext, archiveExt)) name = ChangeFileExt(name, "");
  // Text members without an extension of their own are shown as text.
  if ((flags & 0x01) && ExtractFileExt(name).empty()) name += ".txt";
  return name;
}

void TUnGZip::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  if (!archive || GetCancel()) return;
  if (!ReadMemberInfo(*archive, FInfo)) {
    ReportError(FArchiveFile, "not a gzip or compress file, or its header is cut short",
                FVolumeName, E_HEADER_NOT_FOUND);
    return;
  }
  if (!IsFileInSpec(FInfo.Name)) return;
  NoteSelectedEntry(FInfo.PackedSize, FInfo.UnpackedSize, FInfo.DosDate);
  ExtractGZip(*archive);
}

void TUnGZip::DescribeEntry() {
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = FInfo.Name;
  e.PackedSize = static_cast<std::uint64_t>(FInfo.PackedSize);
  e.UnpackedSize = static_cast<std::uint64_t>(FInfo.UnpackedSize);
  e.DosDate = FInfo.DosDate;
  e.Attributes = kFileAttr;
  e.Crc = FInfo.Crc;
  e.Encrypted = FInfo.IsGZip() && (FInfo.Flags & kFlagEncrypted);
  const int method = FInfo.IsGZip()       ? FInfo.Method
                     : FInfo.IsCompress() ? 144
                                          : (FInfo.Magic[1] == 0x1E ? 0x1E1F : 0xA01F);
  e.MethodName = MethodName(method, 0);
}

// --------------------------------------------------------------- extraction

void TUnGZip::ExtractGZip(TStream& archive) {
  DescribeEntry();
  {
    const bool translate = TranslateOemChar;
    TranslateOemChar = false;  // the name is already the system's
    BeginEntry(FInfo.Name);
    TranslateOemChar = translate;
  }
  FOut.reset();
  FOutOpened = FOutFailed = FDecided = false;
  FHead.clear();
  FDiverted.clear();
  FDone = 0;
  FEntryEncrypted = false;
  if (!ConfirmExtract(false)) {
    SkipEntry(FInfo.UnpackedSize);
    return;
  }
  auto refuse = [&](int code, const std::string& why) {
    ReportError(FFileName, why, FVolumeName, code);
    UncountEntry();
    SkipEntry(FInfo.UnpackedSize);
    if (OnEnd) ReportVerdict(false);
  };
  if (FInfo.IsGZip() && (FInfo.Flags & kFlagMultiPart)) return refuse(E_MULTIPART_GZIP, "");
  if (FInfo.IsGZip() && (FInfo.Flags & kFlagEncrypted)) return refuse(E_PASSWORD_PROTECTED, "");
  if (!FInfo.IsGZip() && !FInfo.IsCompress())
    return refuse(E_UNSUPPORTED_METHOD, ExtractFileName(FArchiveFile));
  if (FInfo.IsGZip() && FInfo.Method != 8)
    return refuse(E_UNSUPPORTED_METHOD, "gzip method " + std::to_string(FInfo.Method));

  const bool savedAscii = AsciiTranslation;
  if (FInfo.ExtraFlags & 0x02) AsciiTranslation = false;
  bool pass = false;
  try {
    pass = FInfo.IsGZip() ? DecodeMembers(archive) : DecodeCompress(archive);
    // A member shorter than 512 bytes never reached the decision.
    if (!FDecided && !Decide()) pass = false;
  } catch (...) {
    AsciiTranslation = savedAscii;
    FOut.reset();
    throw;
  }
  AsciiTranslation = savedAscii;
  if (FOutFailed) pass = false;

  if (!FDiverted.empty()) {
    FOut.reset();
    if (!pass)
      ReportError(FFileName, "the tar it holds is damaged", FVolumeName,
                  FOutFailed ? E_WRITE_FILE : E_CRC_FAIL);
    ExtractNestedTar();
    return;
  }
  if (FOutFailed && !FOutOpened) {
    // The output could not be opened: reported, and the entry skipped.
    UncountEntry();
    SkipEntry(FInfo.UnpackedSize);
    return;
  }
  CloseOutput(FOut, FFileName, kFileAttr, FInfo.DosDate);
  ReportVerdict(pass);
}

bool TUnGZip::DecodeMembers(TStream& archive) {
  archive.Seek(FInfo.DataStart, soFromBeginning);
  TLegacyInput in(archive, std::max<std::int64_t>(archive.Size() - FInfo.DataStart, 0), {},
                  FCancelRef);
  bool allGood = true;
  int member = 1;
  std::uint32_t crc = 0xFFFFFFFFu;
  std::uint32_t size = 0;
  auto write = [&](const void* b, std::int64_t n) -> std::int64_t {
    UpdateCrc32(b, n, crc);
    size += static_cast<std::uint32_t>(n);
    return Deliver(b, n) ? n : 0;
  };
  TRawInflater inflater(in, write, FCancelRef);
  for (;;) {
    crc = 0xFFFFFFFFu;
    size = 0;
    const int r = inflater.Run();
    if (r != wrOk) {
      if (r == wrCanceled || GetCancel()) return false;
      if (r == wrWriteError) return false;
      ReportError(FFileName,
                  r == wrInputShort ? "member " + std::to_string(member) + " is cut short"
                                    : "member " + std::to_string(member) + " holds damaged data",
                  FVolumeName, r == wrInputShort ? E_READ_FILE : E_CORRUPT_INPUT);
      return false;
    }
    auto get = [&](std::uint8_t& c) { return inflater.ReadByte(c); };
    std::array<std::uint8_t, 8> t{};
    for (auto& c : t)
      if (!get(c)) {
        ReportError(FFileName, "member " + std::to_string(member) + " has no trailer", FVolumeName,
                    E_READ_FILE);
        return false;
      }
    if (GetLE32(t.data()) != ~crc || GetLE32(t.data() + 4) != size) allGood = false;
    // Another member follows, or the data ends: whatever comes after the
    // last member (padding, junk) is no part of it.
    std::array<std::uint8_t, 10> h{};
    std::size_t got = 0;
    while (got < h.size() && get(h[got])) ++got;
    if (got < h.size() || h[0] != 0x1F || (h[1] != 0x8B && h[1] != 0x9E)) break;
    if (h[2] != 8 || (h[3] & (kFlagMultiPart | kFlagEncrypted | 0xC0))) {
      ReportError(FFileName, "member " + std::to_string(member + 1) + " cannot be read",
                  FVolumeName, E_UNSUPPORTED_METHOD);
      return false;
    }
    if (!SkipOptionalFields(get, h[3], nullptr)) return false;
    ++member;
  }
  return allGood;
}

bool TUnGZip::DecodeCompress(TStream& archive) {
  archive.Seek(FInfo.DataStart, soFromBeginning);
  TLegacyInput in(archive, std::max<std::int64_t>(archive.Size() - FInfo.DataStart, 0), {},
                  FCancelRef);
  auto write = [&](const void* b, std::int64_t n) -> std::int64_t { return Deliver(b, n) ? n : 0; };
  const TLzwResult r = UnLzwDecode(in, write, FInfo.Method, FCancelRef);
  switch (r) {
    case lzwOk:
      return true;
    case lzwBadFlags:
      ReportError(FFileName,
                  (FInfo.Method & 0x1F) > 16 ? "more than 16 bits per code" : "reserved flags set",
                  FVolumeName, (FInfo.Method & 0x60) ? E_INCOMPLETE_CODE_SET : E_CORRUPT_INPUT);
      return false;
    case lzwBadFirst:
    case lzwBadCode:
      ReportError(FFileName, "", FVolumeName, E_CORRUPT_INPUT);
      return false;
    default:
      return false;
  }
}

// ---------------------------------------------------------- output wrapper

bool TUnGZip::Deliver(const void* buf, std::int64_t count) {
  if (count <= 0) return true;
  const auto* p = static_cast<const std::uint8_t*>(buf);
  if (!FDecided) {
    const std::int64_t take =
        std::min<std::int64_t>(count, kTarBlock - static_cast<std::int64_t>(FHead.size()));
    FHead.insert(FHead.end(), p, p + take);
    p += take;
    count -= take;
    if (static_cast<std::int64_t>(FHead.size()) < kTarBlock) return true;
    if (!Decide()) return false;
  }
  return WriteOut(p, count);
}

bool TUnGZip::Decide() {
  FDecided = true;
  const bool tar = FHead.size() == static_cast<std::size_t>(kTarBlock) &&
                   std::any_of(FHead.begin(), FHead.end(), [](std::uint8_t c) { return c != 0; }) &&
                   TarChecksumMatches(FHead.data());
  if (tar) {
    bool doUnTar = false;
    if (!OnNestedTarFile) {
      ReportMissingEvent("OnNestedTarFile", FVolumeName);
    } else {
      OnNestedTarFile(*this, FFileName, doUnTar);
    }
    if (doUnTar && !GetCancel()) {
      // A temporary file of our own: no name of the user's is in the way.
      FDiverted = CreateUniqueTempFile(TempDir());
      if (!FDiverted.empty()) FOut = std::make_unique<TFileStream32>(FDiverted, fmOpenReadWrite);
      if (FDiverted.empty() || !FOut || FOut->Handle() < 0) {
        ReportError(FDiverted.empty() ? TempDir() : FDiverted, "", FVolumeName, E_OPEN_FILE);
        if (!FDiverted.empty()) DeleteFile(FDiverted);
        FDiverted.clear();
        FOut.reset();
      }
    }
  }
  std::vector<std::uint8_t> head;
  head.swap(FHead);
  // An empty member still makes its (empty) file.
  return WriteOut(head.data(), static_cast<std::int64_t>(head.size()), true);
}

bool TUnGZip::WriteOut(const void* buf, std::int64_t count, bool open) {
  if (FOutFailed) return false;
  if (count <= 0 && !(open && FDiverted.empty() && !FOutOpened)) return true;
  if (!FDiverted.empty()) {
    UpdateEntryCrc(32, buf, count);
    if (FOut->Write(buf, count) != count) {
      ReportError(FDiverted, "", FVolumeName, E_WRITE_FILE);
      FOutFailed = true;
      return false;
    }
  } else {
    if (!FOutOpened) {
      FOutOpened = true;
      if (!OpenOutput(FOut, FFileName, FStoredName)) {
        ReportError(FFileName, "", FVolumeName, E_OPEN_FILE);
        FOutOpened = false;
        FOutFailed = true;
        return false;
      }
    }
    if (count > 0 && WriteBlock(FOut.get(), buf, true, count, 32) < count) {
      FOutFailed = true;
      return false;
    }
  }
  FDone += count;
  FBytesToDo -= count;
  UpdateProgress(FTotalUnpacked, FInfo.UnpackedSize, FDone);
  return true;
}

void TUnGZip::ExtractNestedTar() {
  const std::string tarFile = FDiverted;
  FDiverted.clear();
  struct TRemove {
    std::string f;
    ~TRemove() { DeleteFile(f); }
  } remove{tarFile};
  if (!FileExists(tarFile)) {
    ReportError(tarFile, "", FVolumeName, E_OPEN_FILE);
    return;
  }
  // The member was counted; the tar's entries count instead.
  UncountEntry();
  TUnTar tar;
  tar.SetArchiveFile(tarFile);
  if (tar.ArcType() != atTar) {
    ReportError(FFileName, "", FVolumeName, E_UNKNOWN_FILE_TYPE);
    return;
  }
  tar.SetExtractDir(FExtractDir);
  tar.SetFileSpec(FFileSpec);
  tar.RecurseDirs = RecurseDirs;
  tar.UseStoredDirs = UseStoredDirs;
  tar.CreateStoredDirs = CreateStoredDirs;
  tar.RestoreFileAttr = RestoreFileAttr;
  tar.KeepBrokenFiles = KeepBrokenFiles;
  tar.ConfirmOverwrites = ConfirmOverwrites;
  tar.OverwriteMode = OverwriteMode;
  tar.TranslateOemChar = TranslateOemChar;
  tar.SetExcludeSpec(FExcludeSpec);
  if (!FTempDir.empty()) tar.SetTempDir(FTempDir);
  tar.OnProgress = OnProgress;
  tar.OnBegin = OnBegin;
  tar.OnEnd = OnEnd;
  tar.OnError = OnError;
  tar.OnRenameFile = OnRenameFile;
  tar.TCustomDClass::OnFileExists = TCustomDClass::OnFileExists;
  tar.ShareCancel(FCancelRef);
  const int n = FOutputTarget == otNone ? tar.Test() : tar.Extract();
  FArcType = atTar;
  FFilesProcessed = n;
  if (n > 0 && OnChangeArchive) OnChangeArchive(*this, FFileName, FArcType);
}

}  // namespace qmx
