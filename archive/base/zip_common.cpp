#include "archive/base/zip_common.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <vector>

#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/codec/crc.h"
#include "archive/platform/files.h"
#include "archive/platform/ui_hooks.h"

namespace qmx {
namespace {

std::string TwoDigits(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", n);
  return buf;
}

}  // namespace

TZipCommon::TZipCommon() {
  ProgressHandler = [this](std::uint8_t f, std::uint8_t a) { DoProgressEvent(f, a); };
}

TZipCommon::~TZipCommon() = default;

// ---------------------------------------------------------------- archive

void TZipCommon::SetArchiveFile(const std::string& name) {
  if (name.empty() || !FileExists(name)) {
    FArcType = atNA;
    FArchiveFile.clear();
    return;
  }
  FArchiveFile = name;
  FArchivePosition = -1;
  FHeaderFlags.Clear();
  FFormatFacts.reset();
  TFileStream32 stream(FArchiveFile, fmOpenRead);
  if (stream.Handle() < 0) {
    FArcType = atNA;
    return;
  }
  FArcType = DetectArcType(stream);  // also takes size, date and positions
  if (IsRealArchive(FArcType)) SetVolumeNaming();
}

void TZipCommon::AdoptArchiveFacts(const TZipCommon& from) {
  FArchiveFile = from.ArchiveFile();
  FArchiveSize = from.ArchiveSize();
  FArchivePosition = from.ArchivePosition();
  FArchiveDate = from.ArchiveDate();
  FVolumeLetter = from.VolumeLetter();
  FVolumeNumber = from.VolumeNumber();
  FArcType = from.ArcType();
  SetFormatFacts(from.FormatFacts());
  FHeaderFlags = from.HeaderFlags();
}

void TZipCommon::SetArcType(TArcType) {
  if (FArchiveFile.empty()) return;
  TFileStream32 stream(FArchiveFile, fmOpenRead);
  if (stream.Handle() < 0) {
    FArcType = atFileOpenErr;
    return;
  }
  FArcType = DetectArcType(stream);
}

TArcType TZipCommon::DetectArcType(TStream32& stream) {
  TDetectFacts facts;
  const TArcType t = DetectWithInstalledDetector(stream, FArchiveFile, facts);
  FArchivePosition = facts.ArchivePosition;
  FArchiveSize = facts.ArchiveSize;
  FArchiveDate = facts.ArchiveDate;
  FHeaderFlags = facts.HeaderFlags;
  FFormatFacts = std::move(facts.Format);
  return t;
}

void TZipCommon::SetVolumeNaming() {
  FVolumeNumber = 0;
  FVolumeLetter = 0;
  const TFormatRow& row = FormatOf(FArcType);
  const char letter = row.VolumeLetter;
  if (!letter) return;
  std::string ext = ExtractFileExt(FArchiveFile);
  if (ext.empty()) ext = row.VolumeFamilyExt;
  FVolumeLetter = letter;
  std::size_t digits = 0;
  while (digits < ext.size() - 1 &&
         std::isdigit(static_cast<unsigned char>(ext[ext.size() - 1 - digits])))
    ++digits;
  if (digits == 0) {
    FVolumeNumber = (letter == 'a') ? 1 : 0;
    return;
  }
  // Only the last few digits matter; more would overflow and name no real volume.
  std::string num = ext.substr(ext.size() - std::min<std::size_t>(digits, 6));
  FVolumeNumber = std::stoi(num) + 1;
  FVolumeLetter = ext[1];
}

// --------------------------------------------------------------- properties

void TZipCommon::SetExtractDir(const std::string& dir) {
  if (dir.empty()) {
    FExtractDir = ExtractFilePath(FArchiveFile);
    return;
  }
  FExtractDir = ExtractFilePath(AppendSlash(dir));
}

std::string TZipCommon::TempDir() {
  if (FTempDir.empty() || !DirectoryExists(FTempDir)) FTempDir = SystemTempDirPath();
  return FTempDir;
}

void TZipCommon::SetTempDir(const std::string& dir) {
  std::string v = dir.empty() ? SystemTempDirPath() : dir;
  v = AppendSlash(v);
  if (!DirectoryExists(v)) {
    FTimer.Pause();
    bool yes = UserPrompt().AskYesNo("", ErrorMessage(E_DIR_NOT_EXIST_CREATE) + "\r\r" + v);
    FTimer.Resume();
    if (yes)
      ForceDirs(v);
    else
      v.clear();
  }
  if (v.empty() || !DirectoryExists(v)) v = SystemTempDirPath();
  FTempDir = v;
}

void TZipCommon::SetZipCmntBufSize(int v) {
  FZipCmntBufSize = std::clamp(v, 2000, 32767);
}

// ------------------------------------------------------------ cancel/errors

void TZipCommon::SetCancel(bool value) {
  *FCancelRef = value;
  if (value) ReportError(FFileName, "", FVolumeName, E_USER_CANCELED);
}

void TZipCommon::ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                             const std::string& VolumeID, int ECode) {
  FTimer.Pause();
  if (GetCancel()) ECode = E_USER_CANCELED;
  try {
    if (OnError) OnError(*this, FileName, ExtendedMsg, VolumeID, ECode);
  } catch (...) {
    FTimer.Resume();
    throw;
  }
  FTimer.Resume();
}

void TZipCommon::RaiseError(const std::string& FileName, const std::string& ExtendedMsg,
                            const std::string& VolumeID, int ECode) {
  FTimer.Pause();
  int reported = GetCancel() ? E_USER_CANCELED : ECode;
  try {
    if (OnError) OnError(*this, FileName, ExtendedMsg, VolumeID, reported);
  } catch (...) {
    FTimer.Resume();
    throw;
  }
  FTimer.Resume();
  // A handler that cancelled turns the stop into the quieter cancel path.
  if (!GetCancel()) throw E_RAISE(ErrorMessage(ECode));
}

void TZipCommon::ReportMissingEvent(const std::string& eventName, const std::string& volume) {
  ReportError(FFileName, eventName, volume, E_EVENT_NOT_ASSIGNED);
}

// --------------------------------------------------------- dates, progress

TDateTime TZipCommon::DosDateToDateTime(std::uint32_t packed) const {
  return ::qmx::DosDateToDateTime(packed);
}

std::uint32_t TZipCommon::ResolveFileDate(std::uint32_t entryDosDate) const {
  switch (DateAttribute) {
    case daSysDate:
      return UnixToDosDateTime(std::time(nullptr));
    case daMaxFileDate:
      return FMaxFileDate;
    case daFileDate:
    default:
      return entryDosDate;
  }
}

std::string TZipCommon::MethodName(int method, std::uint16_t flags, bool isDir,
                                   int aesMethod) const {
  return ::qmx::MethodName(FArcType, method, flags, isDir, FFileName, aesMethod);
}

void TZipCommon::UpdateProgress(std::int64_t archiveTotal, std::int64_t fileTotal,
                                std::int64_t fileDone) {
  FByFile = static_cast<std::uint8_t>(Percent(fileTotal, fileDone));
  FByArchive = static_cast<std::uint8_t>(Percent(archiveTotal, archiveTotal - FBytesToDo));
  try {
    if (ProgressHandler) ProgressHandler(FByFile, FByArchive);
  } catch (...) {
  }
}

void TZipCommon::DoProgressEvent(std::uint8_t byFile, std::uint8_t byArchive) {
  ProcessMessages();
  if (OnProgress) OnProgress(*this, byFile, byArchive);
}

void TZipCommon::SetFileName(const std::string& name) {
  if (name.empty()) {
    FFileName.clear();
    return;
  }
  if (FExtractDir.empty()) {
    FExtractDir = ExtractFilePath(FArchiveFile);
    if (FExtractDir.empty()) FExtractDir = AppendSlash(GetCurrentDir());
  }
  std::string stored = SlashToDelim(name);
  // A drive prefix is a letter and a colon at the very start; anywhere else
  // a colon is an ordinary character of a name on this platform.
  const bool drive =
      stored.size() >= 2 && stored[1] == ':' && std::isalpha(static_cast<unsigned char>(stored[0]));
  if (drive) stored.erase(0, stored.size() > 2 && stored[2] == kPathDelim ? 3 : 2);
  // Every component becomes a path inside ExtractDir: root prefixes, empty,
  // "." and ".." components are dropped.
  std::vector<std::string> parts;
  bool dropped = false;
  std::size_t start = 0;
  while (start <= stored.size()) {
    std::size_t end = stored.find(kPathDelim, start);
    if (end == std::string::npos) end = stored.size();
    std::string part = stored.substr(start, end - start);
    if (part == "." || part == "..")
      dropped = true;
    else if (!part.empty() || end == stored.size())
      parts.push_back(part);
    start = end + 1;
  }
  std::string namePart = parts.empty() ? std::string() : parts.back();
  std::string outDir = FExtractDir;
  if (UseStoredDirs) {
    outDir = AppendSlash(outDir);
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) outDir += parts[i] + kPathDelim;
  }
  if (outDir.empty() || outDir[0] != kPathDelim) outDir = AppendSlash(GetCurrentDir()) + outDir;
  FFileName = AppendSlash(outDir) + namePart;
  if (dropped) ReportError(name, "", FVolumeName, E_INVALID_NAME);
}

// --------------------------------------------------------------- predicates

bool TZipCommon::IsZipType(TArcType t) const {
  return t == atJar || t == atJarExe || t == atZip || t == atZipExe || t == atZipMV;
}

bool TZipCommon::IsRealArchive(TArcType t) {
  return FormatOf(t).RealArchive;
}

bool TZipCommon::CanExtractType(TArcType t) {
  return FormatOf(t).CanExtract;
}

bool TZipCommon::CanTestType(TArcType t) {
  return FormatOf(t).CanTest;
}

// ---------------------------------------------------------------- block I/O

void TZipCommon::DecryptBlock(bool decrypt, void* buf, std::int64_t count) {
  if (decrypt && FEntryCipher && count > 0)
    FEntryCipher->DecryptBuffer(static_cast<std::uint8_t*>(buf), static_cast<std::size_t>(count));
}

void TZipCommon::UpdateEntryCrc(int crcWidth, const void* buf, std::int64_t count) {
  if (crcWidth == 32)
    UpdateCrc32(buf, count, FEntryCrc.Crc32);
  else if (crcWidth == 16)
    UpdateCrc16(buf, count, FEntryCrc.Crc16);
}

std::int64_t TZipCommon::ReadBlock(TStream& stream, void* buf, std::int64_t count, int crcWidth,
                                   bool decrypt) {
  std::int64_t n = 0;
  try {
    n = stream.Read(buf, count);
  } catch (const std::exception&) {
    n = 0;
  }
  if (n < 0) n = 0;
  DecryptBlock(decrypt, buf, n);
  UpdateEntryCrc(crcWidth, buf, n);
  return n;
}

std::int64_t TZipCommon::WriteBlock(TStream* stream, const void* buf, bool updateCrc,
                                    std::int64_t count, int crcWidth) {
  if (count <= 0) return 0;
  if (FOutputTarget == otNone && TestDataSink) TestDataSink(buf, count);
  std::int64_t written = count;
  if (FOutputTarget != otNone && stream) {
    errno = 0;
    if (AsciiTranslation) {
      // Each LF goes out as CR LF; "written" counts source bytes.
      const auto* p = static_cast<const std::uint8_t*>(buf);
      std::vector<std::uint8_t> out;
      out.reserve(static_cast<std::size_t>(std::min<std::int64_t>(count, 1 << 16)) * 2);
      written = 0;
      std::int64_t i = 0;
      while (i < count) {
        out.clear();
        std::int64_t piece = std::min<std::int64_t>(count - i, 1 << 16);
        for (std::int64_t k = 0; k < piece; ++k) {
          if (p[i + k] == '\n') out.push_back('\r');
          out.push_back(p[i + k]);
        }
        std::int64_t w = stream->Write(out.data(), static_cast<std::int64_t>(out.size()));
        if (w != static_cast<std::int64_t>(out.size())) break;
        written += piece;
        i += piece;
      }
    } else {
      written = stream->Write(buf, count);
      if (written < 0) written = 0;
    }
    if (written < count) {
      if (IsDiskFullError(LastOsError())) {
        FFilesProcessed = 0;
        RaiseError(FArchiveFile, FFileName, "0", E_DISK_FULL);
      } else {
        if (FFilesProcessed > 0) --FFilesProcessed;
        ReportError(FFileName, "", FArchiveFile, E_WRITE_FILE);
      }
    }
  }
  if (updateCrc) UpdateEntryCrc(crcWidth, buf, written);
  return written;
}

std::int64_t TZipCommon::WriteDecryptedBlock(TStream* stream, void* buf, bool updateCrc,
                                             std::int64_t count, int crcWidth, bool decrypt) {
  if (decrypt && updateCrc && (IsZipType(FArcType) || FArcType == atBh || FArcType == atBhExe))
    DecryptBlock(true, buf, count);
  return WriteBlock(stream, buf, updateCrc, count, crcWidth);
}

std::int64_t TZipCommon::WriteEncryptedBlock(TStream* stream, void* buf, bool updateCrc,
                                             std::int64_t count, int crcWidth, bool decrypt) {
  bool cipher = decrypt && updateCrc && IsZipType(FArcType) && FEntryCipher &&
                EncryptionMethod != emNone && EncryptionMethod != emUnsupported;
  if (!cipher) return WriteBlock(stream, buf, updateCrc, count, crcWidth);
  // The CRC belongs to the plain data, so take it before enciphering.
  UpdateEntryCrc(crcWidth, buf, count);
  FEntryCipher->EncryptBuffer(static_cast<std::uint8_t*>(buf), static_cast<std::size_t>(count));
  return WriteBlock(stream, buf, false, count, crcWidth);
}

std::int64_t TZipCommon::CopyStoredData(TStream& source, TStream* dest, std::int64_t packedSize,
                                        std::int64_t unpackedSize, const std::string&, bool decrypt,
                                        int crcWidth) {
  constexpr std::int64_t kChunk = 32768;
  std::vector<std::uint8_t> buf(kChunk);
  std::int64_t left = packedSize;
  std::int64_t done = 0;
  while (left > 0 && !GetCancel()) {
    std::int64_t want = std::min(left, kChunk);
    std::int64_t n = ReadBlock(source, buf.data(), want, crcWidth, decrypt);
    if (n <= 0) break;
    std::int64_t w = WriteBlock(dest, buf.data(), false, n, crcWidth);
    left -= n;
    done += n;
    FBytesToDo -= n;
    UpdateProgress(FTotalUnpacked, unpackedSize, done);
    if (w < n) break;
  }
  return left;
}

// ------------------------------------------------------------------ volumes

std::string TZipCommon::GetVolumeName(const std::string& name, int N) const {
  if (N < 0) return {};
  std::string dir = ExtractFilePath(name);
  std::string file = ExtractFileName(name);
  std::size_t dot = FirstDotPos(file);
  std::string base = file.substr(0, dot);
  std::string rest = dot < file.size() ? file.substr(dot) : std::string();
  bool rar = FArcType == atRar || FArcType == atRarExe;
  if (rar) {
    std::string oldExt = rest.substr(0, rest.find('.', 1));
    if (oldExt.size() >= 6 && oldExt.size() <= 8 && oldExt.compare(0, 5, ".part") == 0) {
      std::size_t width = oldExt.size() - 5;
      std::string num = std::to_string(N + 2);
      if (num.size() < width) num.insert(0, width - num.size(), '0');
      return dir + base + ".part" + num + ".rar";
    }
  }
  char letter = FVolumeLetter ? FVolumeLetter : 'z';
  int n = N;
  if (rar) {
    letter = static_cast<char>(letter + N / 100);
    n = N % 100;
  }
  std::string ext = n < 100 ? std::string(1, letter) + TwoDigits(n) : std::to_string(n);
  return dir + base + "." + ext;
}

bool TZipCommon::AskForVolume(std::string& name, int volumeNumber) {
  if (!OnNextVolume) {
    SetCancel(true);
    ReportMissingEvent("OnNextVolume", FVolumeName);
    return false;
  }
  bool cancel = GetCancel();
  for (;;) {
    const bool exists = FileExists(name);
    OnNextVolume(*this, name, volumeNumber, exists, cancel);
    if (cancel || FileExists(name)) break;
  }
  if (cancel) {
    *FCancelRef = true;
    ReportError(FFileName, "", FVolumeName, E_USER_CANCELED);
    return false;
  }
  return true;
}

bool TZipCommon::OpenNextVolume(std::unique_ptr<TFileStream32>& stream, int& volumeNumber,
                                int lastVolume) {
  ++volumeNumber;
  std::string name = volumeNumber >= lastVolume
                         ? FArchiveFile
                         : ChangeFileExt(FArchiveFile, ".z" + TwoDigits(volumeNumber));
  stream.reset();
  if (!AskForVolume(name, volumeNumber)) return false;
  auto next = std::make_unique<TFileStream32>(name, fmOpenRead);
  if (next->Handle() < 0) {
    ReportError(FFileName, "", name, E_OPEN_FILE);
    return false;
  }
  FVolumeName = name;
  FArchiveSize = next->Size();
  stream = std::move(next);
  return true;
}

// -------------------------------------------------------- temporary archive

void TZipCommon::DoTmpFileMoveBegin(const std::string& Archive, const std::string& TempFileName,
                                    bool& Cancel) {
  if (OnTmpFileMoveBegin) OnTmpFileMoveBegin(*this, Archive, TempFileName, Cancel);
}

void TZipCommon::DoTmpFileMoveEnd() {
  if (OnTmpFileMoveEnd) OnTmpFileMoveEnd(*this);
}

void TZipCommon::DoTmpFileProgress(TStream32& Sender) {
  if (!OnProgress && !OnTmpFileProgress) return;
  std::int64_t size = Sender.Size();
  UpdateProgress(FArchiveSize, size, Sender.Position());
}

void TZipCommon::ReportDiskFull() {
  ReportError(FArchiveFile, FFileName, "0", E_DISK_FULL);
}

void TZipCommon::MoveTempFile(TStream32& Sender, const std::string& ArchiveName, bool SameDrive,
                              const std::string& TempName) {
  // rename() replaces the old archive in one step, so a failure never leaves
  // the user without both files.
  if (SameDrive && FileExists(TempName) && RenameFile(TempName, ArchiveName)) return;

  // An in-memory archive arrives as the sender itself, under the name "NoName".
  std::unique_ptr<TFileStream32> fromFile;
  TStream32* from = &Sender;
  if (TempName != "NoName" && FileExists(TempName)) {
    fromFile = std::make_unique<TFileStream32>(TempName, fmOpenRead);
    if (fromFile->Handle() < 0) RaiseError(TempName, "", FVolumeName, E_OPEN_FILE);
    from = fromFile.get();
  }
  std::int64_t size = from->Size();
  FArchiveSize = size;
  FBytesToDo = size;
  from->OwnerCancel = Sender.OwnerCancel ? Sender.OwnerCancel : FCancelRef;
  from->CopyCancel = from->OwnerCancel;
  from->BytesToDo = &FBytesToDo;
  from->ReadHook = [this](TStream32& s) { DoTmpFileProgress(s); };
  TProgressHandler saved = ProgressHandler;
  ProgressHandler = [this](std::uint8_t f, std::uint8_t a) {
    ProcessMessages();
    if (OnTmpFileProgress)
      OnTmpFileProgress(*this, f, a);
    else if (OnProgress)
      OnProgress(*this, f, a);
  };
  struct Restore {
    TZipCommon* self;
    TProgressHandler handler;
    ~Restore() { self->ProgressHandler = std::move(handler); }
  } restore{this, std::move(saved)};

  TFileStream32 to(ArchiveName, fmCreate);
  if (to.Handle() < 0) RaiseError(ArchiveName, "", FVolumeName, E_OPEN_FILE);
  from->Seek(0, soFromBeginning);
  to.CopyFrom(*from, size);
  if (fromFile) {
    fromFile.reset();
    DeleteFile(TempName);
  }
}

// --------------------------------------------------------------- operations

void TZipCommon::ResetOperationState() {
  FFilesProcessed = 0;
  FBytesToDo = 0;
  FTotalUnpacked = 0;
  FTotalPacked = 0;
  FMaxFileDate = 0;
  FByFile = FByArchive = 0;
  *FCancelRef = false;
  FVolumeName = FArchiveFile;
  FEntryCrc = TEntryCrc{};
  ProgressHandler = [this](std::uint8_t f, std::uint8_t a) { DoProgressEvent(f, a); };
}

int TZipCommon::RunOperation(TOperationKind kind, const std::function<void()>& work) {
  ResetOperationState();
  const bool timed = static_cast<bool>(OnElapsedTime);
  auto guarded = [](const std::function<void()>& f) {
    try {
      f();
    } catch (...) {
    }
  };
  auto fireElapsed = [&] {
    if (!timed) return;
    FTimer.Stop();
    guarded([&] { OnElapsedTime(*this, FTimer.ElapsedTime()); });
  };
  if (kind == TOperationKind::Extraction) {
    guarded([&] {
      if (OnActivate) OnActivate(*this);
    });
    if (timed) FTimer.Start();
    guarded(work);
    fireElapsed();
    guarded([&] {
      if (OnDeactivate) OnDeactivate(*this);
    });
  } else {
    if (timed) FTimer.Start();
    guarded([&] {
      if (OnActivate) OnActivate(*this);
    });
    guarded(work);
    guarded([&] {
      if (OnDeactivate) OnDeactivate(*this);
    });
    fireElapsed();
  }
  return FFilesProcessed;
}

}  // namespace qmx

namespace qmx {

bool TZipCommon::CheckDriveOf(const std::string& path, bool forWriting) {
  auto handler = [this](const TOnDiskError& event) -> TDiskManager::THandler {
    if (!event) return {};
    return [this, &event](bool& abort) { event(*this, abort); };
  };
  return FDiskManager.CheckDrive(
      path, handler(OnDiskInDrvErr), handler(OnDiskWriteProtectErr),
      [this](const std::string& file, const std::string& msg, const std::string& volume, int code) {
        ReportError(file, msg, volume, code);
      },
      forWriting);
}

}  // namespace qmx
