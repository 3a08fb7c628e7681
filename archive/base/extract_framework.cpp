#include "archive/base/extract_framework.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"
#include "archive/scan/file_mask.h"

namespace qmx {
namespace {

constexpr int kErrCreateDir = 25150;  // "Error creating dir"

// An output file whose close is checked.
class TOutputFile : public TFileStream32 {
 public:
  using TFileStream32::TFileStream32;
  bool Close() {
    if (handle_ < 0) return true;
    int fd = handle_;
    handle_ = -1;
    // No retry on EINTR: the descriptor is gone either way on Linux.
    return ::close(fd) == 0 || errno == EINTR;
  }
};

// Directory part of a stored name or mask: up to the last separator, with
// the delimiter appended; "" when there is none.
std::string DirPart(const std::string& s) {
  if (s.size() == 3 && s.find(':') != std::string::npos) return AppendSlash(SlashToDelim(s));
  std::size_t p = s.find_last_of("/\\:");
  if (p == std::string::npos) return {};
  return SlashToDelim(s.substr(0, p)) + kPathDelim;
}

std::string NamePart(const std::string& s) {
  std::size_t p = s.find_last_of("/\\:");
  return p == std::string::npos ? s : s.substr(p + 1);
}

bool HasDot(const std::string& s) {
  return NamePart(s).find('.') != std::string::npos;
}

}  // namespace

TCustomDClass::TCustomDClass() {
  RecurseDirs = true;
}

int TCustomDClass::CpuTypeHint() const {
  switch (CpuType) {
    case cpt80286:
      return 0;
    case cpt80386:
      return 1;
    default:
      return -1;
  }
}

// ---------------------------------------------------------------- run frame

int TCustomDClass::Extract() {
  return Run(FExtractTarget);
}

int TCustomDClass::Test() {
  return Run(otNone);
}

int TCustomDClass::Run(TOutputTarget target) {
  SetOutputTarget(target);
  // A flag left set by an earlier run must not turn this run's first
  // report into "User canceled".
  *FCancelRef = false;
  std::unique_ptr<TFileStream32> archive;
  try {
    if (!OpenArchive(archive)) return 0;
  } catch (...) {
    return 0;
  }
  return RunExtraction(archive);
}

bool TCustomDClass::OpenArchive(std::unique_ptr<TFileStream32>& archive) {
  archive.reset();
  if (FArchiveFile.empty()) {
    ReportError("", "", FArchiveFile, E_FILE_NOT_FOUND);
    return false;
  }
  if ((FArcType == atZipDS || FArcType == atZipMV) && !CheckArchiveDrive()) return false;
  if (FormatOf(FArcType).ReadByLibrary) return true;
  auto stream = std::make_unique<TFileStream32>(FArchiveFile, fmOpenRead);
  if (stream->Handle() < 0) {
    ReportError("", "", FArchiveFile, E_OPEN_FILE);
    return false;
  }
  FArchiveSize = stream->Size();
  archive = std::move(stream);
  return true;
}

int TCustomDClass::RunExtraction(std::unique_ptr<TFileStream32>& archive) {
  FEntryInfo = TEntryInfo{};
  FEntryEncrypted = false;
  FPasswordFailed = false;
  FVolumeIndex = -1;
  if (CpuType == cpt80486) CpuType = cptAuto;
  // Volume switching inside the run may change it; the caller keeps its own.
  const std::string savedArchive = FArchiveFile;
  int count = RunOperation(TOperationKind::Extraction, [&] {
    FFileName.clear();
    FStoredName.clear();
    if (FArcType != atGZip && FArcType != atMsGZ) AsciiTranslation = false;
    ReadArchive(archive);
  });
  archive.reset();
  FArchiveFile = savedArchive;
  return count;
}

// ---------------------------------------------------------------- selection

bool TCustomDClass::IsFileInSpec(const std::string& storedName, TStrings& fileSpec, bool recurse,
                                 const TStrings& excludeSpec) {
  if (storedName.empty()) return false;
  const std::string name = SlashToDelim(storedName);
  const std::string nameDir = DirPart(name);
  const std::string namePart = NamePart(name);
  bool excludeChecked = false;
  for (std::string& entry : fileSpec) {
    if (entry.empty()) continue;
    if (!excludeChecked) {
      excludeChecked = true;
      for (const std::string& ex : excludeSpec) {
        if (ex.empty() || !TInternalMask(SlashToDelim(ex)).Matches(name)) continue;
        if (OnExcludeFile) OnExcludeFile(*this, storedName);
        return false;
      }
    }
    const std::string mask = SlashToDelim(entry);
    if (SameTextAscii(mask, name)) return true;
    const std::string maskDir = DirPart(mask);
    std::string target;
    if (!recurse) {
      if (!SameTextAscii(maskDir, nameDir)) continue;
      target = name;
    } else {
      target = maskDir.empty() ? namePart : name;
    }
    if (TInternalMask(mask).Matches(target)) return true;
    // Names without an extension get a second chance against "*."-style
    // masks; the widened mask stays in FileSpec for the following entries.
    if (!HasDot(target)) target += '.';
    std::string widened = mask;
    if (!HasDot(entry)) {
      entry += '.';
      widened += '.';
    }
    if (TInternalMask(widened).Matches(target)) return true;
  }
  return false;
}

// ---------------------------------------------------------------- per entry

void TCustomDClass::BeginEntry(const std::string& nameAsStored) {
  FEntryEncrypted = false;
  FPasswordFailed = false;
  FEntryCrc = TEntryCrc{};
  FEntryUnixMode = 0;
  FCreatedOutput.clear();
  FStoredName = NameToWindows(nameAsStored, TranslateOemChar);
  SetFileName(FStoredName);
}

void TCustomDClass::NoteSelectedEntry(std::int64_t packedSize, std::int64_t unpackedSize,
                                      std::uint32_t dosDate) {
  FTotalPacked += packedSize;
  FTotalUnpacked += unpackedSize;
  FBytesToDo += unpackedSize;
  FMaxFileDate = std::max(FMaxFileDate, dosDate);
}

bool TCustomDClass::ConfirmExtract(bool isDir) {
  if (isDir) return true;
  TPauseGuard pause(FTimer);
  bool extract = true;
  const bool toFiles = FOutputTarget != otNone;
  if (OnBegin) {
    if (toFiles) {
      if (OnRenameFile) {
        std::string newName = FFileName;
        OnRenameFile(*this, FFileName, newName);
        if (!newName.empty()) {
          FFileName = newName;
          SafeForceDirs(ExtractFilePath(FFileName));
        }
      }
      OnBegin(*this, FFileName, FFilesProcessed + 1, extract);
    } else {
      OnBegin(*this, FStoredName, FFilesProcessed + 1, extract);
    }
  }
  if (GetCancel() || !extract) return false;
  bool confirmed;
  if (!toFiles)
    confirmed = true;
  else if (!ConfirmOverwrites)
    confirmed = OverwriteMode == omOverwrite;
  else
    confirmed = ConfirmOverwrite();
  if (confirmed) ++FFilesProcessed;
  return confirmed;
}

bool TCustomDClass::ConfirmOverwrite() {
  OverwriteMode = omOverwrite;
  if (FileExists(FFileName)) {
    if (OnFileExists) {
      do {
        std::string newName;
        OnFileExists(*this, FFileName, newName, OverwriteMode);
        if (newName.empty()) newName = FFileName;
        SafeForceDirs(ExtractFilePath(newName));
        if (OverwriteMode == omOverwrite) {
          // The file system is case-sensitive: only the very same name is
          // the same file.
          if (newName == FFileName) break;
          FFileName = newName;
        }
      } while (!GetCancel() && OverwriteMode != omSkip && FileExists(FFileName));
      // A link is replaced when the file is created; changing its target's
      // mode would reach outside the extraction.
      if (!GetCancel() && OverwriteMode != omSkip && FileExists(FFileName) &&
          !IsSymLink(FFileName) && PathStaysInside(FFileName, true)) {
        std::int32_t attr = FileGetAttr(FFileName);
        if (attr >= 0 && (attr & faReadOnly)) {
          if (attr & (faSysFile | faDirectory)) {
            ReportError(FFileName, "", FVolumeName, E_WRITE_FILE);
            return false;
          }
          FileSetAttr(FFileName, 0);
        }
      }
    } else {
      ReportMissingEvent("OnFileExists", FVolumeName);
      OverwriteMode = omSkip;
    }
  }
  return !GetCancel() && OverwriteMode == omOverwrite && !FFileName.empty();
}

bool TCustomDClass::TryPassword(TStream& archive, bool aes, const std::uint8_t header[12]) {
  if (aes) return VerifyAesPassword(archive);
  std::array<std::uint8_t, 12> copy;
  std::memcpy(copy.data(), header, copy.size());
  return VerifyPassword(copy.data());
}

bool TCustomDClass::ObtainPassword(TStream& archive) {
  TPauseGuard pause(FTimer);
  FEntryEncrypted = true;
  FPasswordFailed = true;
  if (EncryptionMethod == emUnsupported) return false;
  const bool aes = EncryptionMethod == emAES2_128 || EncryptionMethod == emAES2_192 ||
                   EncryptionMethod == emAES2_256;
  std::array<std::uint8_t, 12> header{};
  if (!aes && ReadBlock(archive, header.data(), 12, 0, false) != 12) {
    ReportError(FFileName, "", FVolumeName, E_READ_FILE);
    return false;
  }
  FPasswordsTried.clear();
  FNextPassword = 0;
  bool ok = TryPassword(archive, aes, header.data());
  while (!ok && FNextPassword < FPasswords.size()) {
    Password = FPasswords[FNextPassword++];
    ok = TryPassword(archive, aes, header.data());
  }
  if (!ok) {
    if (OnGetPassword) {
      for (int attempt = 0; attempt < PasswordAttempts && !GetCancel(); ++attempt) {
        bool tryAgain = true;
        OnGetPassword(*this, FFileName, Password, tryAgain);
        if (!tryAgain) {
          ReportError(FFileName, ErrorMessage(E_USER_CANCELED), FVolumeName, E_INVALID_PASSWORD);
          break;
        }
        if (TryPassword(archive, aes, header.data())) {
          // The next entries of the archive most likely share it.
          auto it = std::find(FPasswords.begin(), FPasswords.end(), Password);
          if (it != FPasswords.end()) FPasswords.erase(it);
          FPasswords.insert(FPasswords.begin(), Password);
          FNextPassword = FPasswords.size();
          ok = true;
          break;
        }
        FEntryCrc.Crc32 = 0xFFFFFFFFu;
        Password.clear();
      }
    } else {
      ReportMissingEvent("OnGetPassword", FVolumeName);
    }
  }
  FPasswordFailed = !ok;
  if (ok) FPasswordsTried.push_back(Password);
  return ok;
}

bool TCustomDClass::ObtainNextPassword(TStream& archive) {
  std::array<std::uint8_t, 12> header{};
  if (FNextPassword >= FPasswords.size() || ReadBlock(archive, header.data(), 12, 0, false) != 12)
    return false;
  const std::string failed = Password;
  while (FNextPassword < FPasswords.size()) {
    Password = FPasswords[FNextPassword++];
    const bool tried = std::find(FPasswordsTried.begin(), FPasswordsTried.end(), Password) !=
                       FPasswordsTried.end();
    if (tried || !TryPassword(archive, false, header.data())) continue;
    FPasswordsTried.push_back(Password);
    FEntryCrc = TEntryCrc{};
    FPasswordFailed = false;
    return true;
  }
  Password = failed;
  return false;
}

bool TCustomDClass::OpenOutput(std::unique_ptr<TFileStream32>& out, const std::string& fileName,
                               const std::string& storedName) {
  (void)storedName;
  out.reset();
  if (FEntryEncrypted && FPasswordFailed) return true;
  if (fileName.empty()) return false;
  if (FOutputTarget == otNone) return true;
  if (!PathStaysInside(fileName, false)) {
    ReportError(fileName, "", FVolumeName, E_INVALID_NAME);
    return false;
  }
  ForceDirs(ExtractFilePath(fileName));
  std::unique_ptr<TOutputFile> file;
  // Appending never goes through a link either: a link is replaced.
  bool created = true;
  if (FOutputTarget == otAppend && FileExists(fileName) && !IsSymLink(fileName)) {
    file = std::make_unique<TOutputFile>(fileName, fmOpenReadWrite);
    if (file->Handle() >= 0) file->Seek(0, soFromEnd);
    created = false;
  } else {
    file = std::make_unique<TOutputFile>(fileName, TFileStream32::kCreateMode);
  }
  if (file->Handle() < 0) return false;
  // A file appended to held data of its own: it stays whatever happens.
  if (created) FCreatedOutput = fileName;
  out = std::move(file);
  return true;
}

void TCustomDClass::CloseOutput(std::unique_ptr<TFileStream32>& out, const std::string& fileName,
                                std::uint32_t attributes, std::uint32_t dosDate) {
  if (FOutputTarget == otNone) {
    out.reset();
    FFileName = FStoredName;
    return;
  }
  if (!out) return;
  FileSetDate(out->Handle(), ResolveFileDate(dosDate));
  // A Unix mode says more than the attribute byte; a link's mode is not
  // meant for the plain file that holds its target.
  const bool unixMode = RestoreFileAttr && (FEntryUnixMode & 0170000) == 0100000;
  if (unixMode) FileSetPermissions(out->Handle(), FEntryUnixMode);
  bool closed = true;
  if (auto* file = dynamic_cast<TOutputFile*>(out.get())) closed = file->Close();
  out.reset();
  if (!closed) ReportError(fileName, "", FVolumeName, E_CLOSE_FILE);
  if (RestoreFileAttr && !unixMode && attributes != faArchive) FileSetAttr(fileName, attributes);
}

void TCustomDClass::SkipEntry(std::int64_t unpackedSize) {
  FBytesToDo -= unpackedSize;
  UpdateProgress(FTotalUnpacked, 1, 1);
}

void TCustomDClass::UncountEntry() {
  if (FFilesProcessed > 0) --FFilesProcessed;
}

void TCustomDClass::RefuseCurrentEntry(int code, const std::string& reason,
                                       std::int64_t unpackedSize) {
  ReportError(FFileName, reason, FVolumeName, code);
  SkipEntry(unpackedSize);
  if (OnEnd)
    ReportVerdict(false);
  else
    DiscardBrokenOutput();
}

void TCustomDClass::BeginEntryAsIs(const std::string& name) {
  const bool translate = TranslateOemChar;
  TranslateOemChar = false;
  BeginEntry(name);
  TranslateOemChar = translate;
}

void TCustomDClass::DiscardBrokenOutput() {
  // Half-written or wrong data must not pass for the entry.
  if (!KeepBrokenFiles && !FCreatedOutput.empty() && FOutputTarget == otFile)
    DeleteFile(FCreatedOutput);
  FCreatedOutput.clear();
}

bool TCustomDClass::ReportVerdict(bool pass, int failCode) {
  if (GetCancel()) pass = false;
  if (pass)
    FCreatedOutput.clear();
  else
    DiscardBrokenOutput();
  const std::string& name = FOutputTarget == otNone ? FStoredName : FFileName;
  if (OnEnd) {
    OnEnd(*this, name, pass);
  } else if (!pass) {
    ReportError(name, "", FVolumeName, failCode);
  }
  return pass;
}

bool TCustomDClass::CheckCrc(int crcWidth, std::uint32_t storedCrc) {
  bool pass = false;
  if (!GetCancel() && !(FEntryEncrypted && FPasswordFailed)) {
    const std::uint32_t running = crcWidth == 16 ? FEntryCrc.Crc16 : FEntryCrc.Crc32;
    pass = storedCrc == running || storedCrc == ~running;
  }
  return ReportVerdict(pass);
}

bool TCustomDClass::StartFileEntry(std::unique_ptr<TFileStream32>& out, TStream* archive,
                                   std::int64_t unpackedSize, bool encrypted) {
  out.reset();
  FEntryEncrypted = encrypted;
  if (!ConfirmExtract(false)) {
    SkipEntry(unpackedSize);
    return false;
  }
  if (encrypted && !(archive && ObtainPassword(*archive))) {
    FPasswordFailed = true;
    UncountEntry();
    SkipEntry(unpackedSize);
    CheckCrc(32, 0);
    return false;
  }
  if (!OpenOutput(out, FFileName, FStoredName)) {
    ReportError(FFileName, "", FVolumeName, E_OPEN_FILE);
    SkipEntry(unpackedSize);
    UncountEntry();
    return false;
  }
  return true;
}

bool TCustomDClass::FinishFileEntry(std::unique_ptr<TFileStream32>& out, std::uint32_t attributes,
                                    std::uint32_t dosDate, int crcWidth, std::uint32_t storedCrc) {
  CloseOutput(out, FFileName, attributes, dosDate);
  return CheckCrc(crcWidth, storedCrc);
}

bool TCustomDClass::ExtractDirectoryEntry() {
  ConfirmExtract(true);
  if (FOutputTarget == otNone || !CreateStoredDirs) return ReportVerdict(true);
  if (!PathStaysInside(FFileName, true)) {
    ReportError(FFileName, "", FVolumeName, E_INVALID_NAME);
    return ReportVerdict(false, kErrCreateDir);
  }
  const bool made = ForceDirs(FFileName);
  if (made && RestoreFileAttr && (FEntryUnixMode & 0170000) == 0040000)
    DirSetPermissions(FFileName, FEntryUnixMode);
  return ReportVerdict(made, kErrCreateDir);
}

// ---------------------------------------------------------------- path safety

std::string TCustomDClass::AbsoluteExtractDir() const {
  // The same composition SetFileName uses, so the prefix test is exact.
  std::string base = AppendSlash(FExtractDir);
  if (base.empty() || base[0] != kPathDelim) base = AppendSlash(GetCurrentDir()) + base;
  return base;
}

bool TCustomDClass::PathStaysInside(const std::string& path, bool includeLast) const {
  if (FExtractDir.empty()) return true;
  const std::string base = AbsoluteExtractDir();
  if (path.size() <= base.size() || path.compare(0, base.size(), base) != 0) return true;
  std::size_t pos = base.size();
  for (;;) {
    std::size_t next = path.find(kPathDelim, pos);
    if (next == std::string::npos) {
      return !(includeLast && pos < path.size() && IsSymLink(path));
    }
    if (next > pos) {
      const std::string component = path.substr(0, next);
      if (IsSymLink(component)) return false;
      // Nothing below a missing directory can exist yet.
      if (!PathExists(component)) return true;
    }
    pos = next + 1;
  }
}

bool TCustomDClass::SafeForceDirs(const std::string& dir) {
  if (dir.empty() || !PathStaysInside(dir, true)) return false;
  return ForceDirs(dir);
}

}  // namespace qmx
