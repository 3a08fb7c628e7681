#include "archive/base/compress_framework.h"

#include <algorithm>
#include <cstring>

#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/codec/temp_streams.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"
#include "archive/platform/guarded.h"
#include "archive/platform/ui_hooks.h"
#include "archive/scan/file_mask.h"
#include "archive/scan/file_scan.h"

namespace qmx {
namespace {

// A handler that keeps proposing a taken name must not hang the run.
constexpr int kMaxRenameQuestions = 1000;
// Attribute bits an entry and a file are compared by.
constexpr std::uint32_t kCompareAttrMask = 0x01 | 0x02 | 0x04 | 0x08 | 0x10 | 0x20 | 0x80 | 0x4000;

}  // namespace

// ---------------------------------------------------------------- properties

const TStrings& TCustomCClass::DefaultStoreFilesOfType() {
  static const TStrings kTypes{".ACE", ".ARC", ".ARJ", ".BH",  ".CAB", ".ENC", ".GZ",  ".HA",
                               ".JAR", ".LHA", ".LZH", ".PAK", ".PK3", ".PK_", ".RAR", ".TAR",
                               ".TGZ", ".UUE", ".UU",  ".WAR", ".XXE", ".Z",   ".ZIP", ".ZOO"};
  return kTypes;
}

TCustomCClass::TCustomCClass()
    : FCompressMethod(cmDeflate),
      FSupportedMethods{cmStore, cmDeflate},
      FStoreFilesOfType(DefaultStoreFilesOfType()) {
  RecurseDirs = true;
  DeleteOptions = doAllowUndo;
}

TCustomCClass::~TCustomCClass() = default;

void TCustomCClass::SetWriterDefaults(const std::string& ext, TCompressMethods methods,
                                      TCompressMethod method) {
  FWriterExt = ext;
  FDefaultExt = ext;
  FSupportedMethods = methods;
  FCompressMethod = method;
}

void TCustomCClass::SetCompressMethod(TCompressMethod value) {
  if (FSupportedMethods.Has(value)) FCompressMethod = value;
}

bool TCustomCClass::IsStoredType(const std::string& fileName) const {
  const std::string ext = ExtractFileExt(fileName);
  if (ext.empty()) return false;
  return std::any_of(FStoreFilesOfType.begin(), FStoreFilesOfType.end(),
                     [&](const std::string& t) { return SameTextAscii(t, ext); });
}

void TCustomCClass::SetDefaultExt(const std::string& value) {
  const std::string previous = FDefaultExt;
  std::string ext;
  if (!value.empty() && value != ".") {
    ext = value[0] == '.' ? value : "." + value;
    ext = LowerAscii(ext.substr(0, 4));
  } else {
    ext = FWriterExt;
  }
  FDefaultExt = ext;
  if (FArchiveFile.empty()) return;
  const std::string current = ExtractFileExt(FArchiveFile);
  if (current.empty())
    FArchiveFile += ext;
  else if (SameTextAscii(current, previous))
    FArchiveFile = ChangeFileExt(FArchiveFile, ext);
}

void TCustomCClass::SetArchiveFile(const std::string& name) {
  std::string n = name;
  if (FCompressMethod == cmTarGzip) {
    if (SameTextAscii(ExtractFileExt(n), ".gz")) n = ChangeFileExt(n, "");
    if (FileExists(n)) DeleteFileWithOptions(n, doAllowUndo);
    FArcType = atTarGZip;
  }
  if (!n.empty() && ExtractFileExt(n).empty()) n += FDefaultExt;
  // Checked on the name that will be written; each run checks again.
  FArchiveIsNew = !FileExists(n);
  FArchiveFile = n;
  FDataStart = -1;
  *FCancelRef = false;
}

void TCustomCClass::SetFileName(const std::string& path) {
  FFileName = StoredNameFor(path, FScanRoot);
}

// ---------------------------------------------------------------- names

std::string TCustomCClass::StoredNameFor(const std::string& path,
                                         const std::string& scanRoot) const {
  auto noDrive = [](const std::string& p) {
    if (IsDrivePath(p)) return p.substr(p.find(':') + 1);
    if (IsUncPath(p)) {
      // "//server/share/rest" keeps "/rest".
      std::size_t server = p.find(kPathDelim, 2);
      if (server == std::string::npos) return std::string();
      std::size_t share = p.find(kPathDelim, server + 1);
      return share == std::string::npos ? std::string() : p.substr(share);
    }
    return p;
  };
  switch (StoredDirNames) {
    case sdNone:
      return ExtractFileName(path);
    case sdAbsolute:
      return path;
    case sdAbsoluteNoDrv:
      return noDrive(path);
    case sdAbsoluteNoRoot: {
      std::string s = noDrive(path);
      if (!s.empty() && s[0] == kPathDelim) s.erase(0, 1);
      return s;
    }
    case sdRelative:
      if (!scanRoot.empty() && StartsTextAscii(path, scanRoot)) return path.substr(scanRoot.size());
      return path;
    case sdRelativeStoreStart: {
      const std::string parent = ExtractFilePath(RemoveSlash(scanRoot));
      if (!parent.empty() && StartsTextAscii(path, parent)) return path.substr(parent.size());
      return path;
    }
    case sdExplorer_Auto:
    case sdExplorer_UserDefineDefaultDir: {
      const std::string root = AppendSlash(scanRoot);
      const std::string dir = FDefaultDir.empty() ? std::string() : AppendSlash(FDefaultDir);
      if (!scanRoot.empty() && !dir.empty() && SameTextAscii(root, dir) &&
          StartsTextAscii(path, root))
        return path.substr(root.size());
      if (!dir.empty() && StartsTextAscii(path, dir)) return path.substr(dir.size());
      return path;
    }
  }
  return path;
}

std::string TCustomCClass::CommonDirectory(const TStrings& fileSpec) {
  if (fileSpec.empty()) return std::string();
  std::string common = ExtractFilePath(fileSpec.front());
  for (std::size_t i = 1; i < fileSpec.size(); ++i) {
    const std::string dir = ExtractFilePath(fileSpec[i]);
    std::size_t n = 0;
    while (n < common.size() && n < dir.size() && LowerAscii(common[n]) == LowerAscii(dir[n])) ++n;
    common.resize(n);
  }
  const std::size_t last = common.rfind(kPathDelim);
  return last == std::string::npos ? std::string() : common.substr(0, last + 1);
}

bool TCustomCClass::IsExcluded(const std::string& directory, const std::string& name,
                               const std::string& scanRoot) const {
  const std::string dir = LowerAscii(AppendSlash(directory));
  for (const std::string& entry : FExcludeSpec) {
    const std::size_t cut = entry.rfind(kPathDelim);
    if (cut == std::string::npos) {
      if (TInternalMask(entry).Matches(name)) return true;
      continue;
    }
    std::string maskDir = AppendSlash(entry.substr(0, cut));
    // An absolute mask directory (drive or root) is used as given; there is
    // no drive to borrow from the file on this platform.
    if (!IsDrivePath(maskDir) && maskDir[0] != kPathDelim)
      maskDir = AppendSlash(scanRoot) + maskDir;
    maskDir = LowerAscii(maskDir);
    if (dir.compare(0, maskDir.size(), maskDir) == 0 &&
        TInternalMask(entry.substr(cut + 1)).Matches(name))
      return true;
  }
  return false;
}

bool TCustomCClass::IsEntryInSpec(const std::string& storedName, const TStrings& fileSpec,
                                  const TStrings& excludeSpec) {
  if (storedName.empty()) return false;
  for (const std::string& mask : fileSpec) {
    const bool addDot =
        mask.find('.') != std::string::npos && storedName.find('.') == std::string::npos;
    const std::string candidate = addDot ? storedName + "." : storedName;
    if (!TInternalMask(mask).Matches(candidate)) continue;
    for (const std::string& x : excludeSpec) {
      if (TInternalMask(x).Matches(candidate)) {
        if (OnExcludeFile) OnExcludeFile(*this, candidate);
        return false;
      }
    }
    return true;
  }
  return false;
}

bool TCustomCClass::DeleteFileWithOptions(const std::string& path, TDeleteOptions option) {
  if (option == doFinal) return DeleteFile(path);
  return FileExists(path) && MoveToTrash(path);
}

bool TCustomCClass::CheckWriteable(const std::string& archive) {
  if (GetCancel() || OverwriteMode == omSkip) return false;
  const std::int32_t attr = FileGetAttr(archive);
  // Hidden and system are derived from the name here and protect nothing.
  constexpr std::uint32_t kBlocking = faDirectory | faReadOnly;
  if (attr < 0 || (static_cast<std::uint32_t>(attr) & kBlocking) == 0) return true;
  if (!OnNonWriteableArchive) {
    ReportError(archive, "OnNonWriteableArchive", FVolumeName, E_EVENT_NOT_ASSIGNED);
    return false;
  }
  bool writeToFile = false;
  {
    TPauseGuard pause(FTimer);
    OnNonWriteableArchive(*this, FArchiveFile, writeToFile);
  }
  if (!writeToFile) return false;
  if (static_cast<std::uint32_t>(attr) & faDirectory) return false;
  FileSetAttr(archive, faNormal);
  const std::int32_t now = FileGetAttr(archive);
  return now >= 0 && (static_cast<std::uint32_t>(now) & kBlocking) == 0;
}

// ---------------------------------------------------------------- optional operations

void TCustomCClass::SetArchiveComment(const std::string&) {
  ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
}
void TCustomCClass::SetFileComment(std::size_t, const std::string&) {
  ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
}
void TCustomCClass::ReadComments() {
  ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
}
void TCustomCClass::WriteComments() {
  ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
}
int TCustomCClass::UpdateComments() {
  ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
  return 0;
}
int TCustomCClass::ProcessFile(const std::string& fileName) {
  ReportError(fileName, "", "0", E_UNSUPPORTED_TYPE);
  return 0;
}

// ---------------------------------------------------------------- writer defaults

int TCustomCClass::GetHeadSize() {
  UserPrompt().ShowMessage("Internal error", "The writer supplies no header size.");
  return 0;
}

std::uint8_t* TCustomCClass::GetHeadPtr() {
  UserPrompt().ShowMessage("Internal error", "The writer supplies no header record.");
  return nullptr;
}

TCodecParams TCustomCClass::EntryCodecParams() {
  TCodecParams params;
  params.BytesToDo = &FBytesToDo;
  params.Cancel = FCancelRef;
  params.EntryCrc = &FEntryCrc;
  FEntryCrc.Crc32 = 0xFFFFFFFFu;
  return params;
}

TStreamProgress TCustomCClass::EntryProgress(std::int64_t fileSize) {
  return [this, fileSize](TStream32& s) { UpdateProgress(FScanTotal, fileSize, s.Position()); };
}

std::int64_t TCustomCClass::SelfExtractorStubLength() {
  if (!FormatOf(FArcType).SelfExtractor) return 0;
  return std::max<std::int64_t>(FArchivePosition, 0);
}

void TCustomCClass::MoveTempFile(TStream32& Sender, const std::string& ArchiveName, bool SameDrive,
                                 const std::string& TempName) {
  if (SameDrive && FileExists(TempName) && RenameFile(TempName, ArchiveName)) {
    FArchiveReplaced = true;
    return;
  }
  // A copy is made beside the archive and renamed over it only when it is
  // complete: a copy cut short by a full disk or a cancel must not leave a
  // truncated archive in place of the old one.
  const std::string dir = ExtractFilePath(ArchiveName);
  const std::string side = CreateUniqueTempFile(dir.empty() ? std::string(".") : dir, "qmx");
  if (side.empty()) RaiseError(ArchiveName, "", FVolumeName, E_OPEN_FILE);
  const bool fromFile = TempName != TTempMemStream::kTempName && FileExists(TempName);
  const std::int64_t expected = fromFile ? FileSizeByName(TempName) : Sender.Size();
  try {
    TZipCommon::MoveTempFile(Sender, side, false, TempName);
  } catch (...) {
    DeleteFile(side);
    throw;
  }
  if (GetCancel() || FileSizeByName(side) != expected || !RenameFile(side, ArchiveName)) {
    DeleteFile(side);
    if (!GetCancel()) ReportError(ArchiveName, "", FVolumeName, E_WRITE_FILE);
    return;
  }
  FArchiveReplaced = true;
}

// ---------------------------------------------------------------- Compress

bool TCustomCClass::PrepareDefaultDir() {
  if (Switch == swDelete) {
    FDefaultDir.clear();
    return true;
  }
  if (StoredDirNames == sdExplorer_Auto) {
    FDefaultDir = CommonDirectory(FFileSpec);
  } else if (StoredDirNames == sdExplorer_UserDefineDefaultDir && FDefaultDir.empty()) {
    ReportError("", "DefaultDir", FVolumeName, E_PROPERTY_NOT_ASSIGNED);
    return false;
  }
  return true;
}

int TCustomCClass::Compress() {
  SetOutputTarget(otFile);
  ResetOperationState();
  FFilesCompressed = 0;
  FEntriesDeleted = 0;
  FDeleteMarked = 0;
  FSomethingToWrite = false;
  FArchiveReplaced = false;
  FScanRoot.clear();
  FMovedFiles.clear();
  FMovedNames.clear();
  FNameIndex.clear();
  FTakenOver.clear();
  FTempArchiveName.clear();
  FNewestDate = 0;
  FScanTotal = 0;
  try {
    FHeadSize = GetHeadSize();
    if (FHeadSize > 0) {
      if (std::uint8_t* head = GetHeadPtr())
        std::memset(head, 0, static_cast<std::size_t>(FHeadSize));
    }
    if (!CheckArchiveDrive()) return 0;
    if (!FFileSpec.empty() && !PrepareDefaultDir()) return 0;
    const std::string dir = ExtractFilePath(FArchiveFile);
    if (!dir.empty() && !DirectoryExists(dir)) {
      ReportError(FFileName, dir, FVolumeName, E_INVALID_DIR);
      return 0;
    }
    if (FArchiveFile.empty() || GetCancel()) return 0;

    TWorkList list;
    if (Switch == swRead) {
      ListArchive();
      return GetCancel() ? 0 : FFilesProcessed;
    }
    CompressEntries(list);
    if (Switch == swMove && FArchiveReplaced && FileExists(FArchiveFile)) DeleteMovedFiles(list);
  } catch (...) {
    FFilesCompressed = 0;
    FEntriesDeleted = 0;
    return 0;
  }
  if (GetCancel()) return 0;
  return Switch == swDelete ? FEntriesDeleted : FFilesCompressed;
}

void TCustomCClass::DeleteMovedFiles(TWorkList& list) {
  FByFile = FByArchive = 0;
  Guarded([&] {
    if (ProgressHandler) ProgressHandler(0, 0);
  });
  const int count = static_cast<int>(FMovedFiles.size());
  for (int i = 0; i < count; ++i) {
    if (GetCancel()) break;
    const std::string& path = FMovedFiles[static_cast<std::size_t>(i)];
    if (VerifyBeforeDelete) {
      // The stored name recorded when the file was taken, so a later scan
      // root cannot change it.
      const std::string& stored = FMovedNames[static_cast<std::size_t>(i)];
      bool inArchive = false;
      for (std::size_t k = 0; k < list.Count() && !inArchive; ++k)
        inArchive = list.Get(k).State != ceDelete && SameTextAscii(list.Name(k), stored);
      if (!inArchive) continue;
    }
    if (DeleteFileWithOptions(path, DeleteOptions) && OnDeleteFile)
      OnDeleteFile(*this, path, i + 1, count);
  }
}

void TCustomCClass::ListArchive() {
  if (!OnRead) {
    ReportError("", "OnRead", FArchiveFile, E_EVENT_NOT_ASSIGNED);
    return;
  }
  TFileStream32 archive(FArchiveFile, fmOpenRead);
  if (archive.Handle() < 0) {
    ReportError(FFileName, "", FArchiveFile, E_OPEN_FILE);
    return;
  }
  const TArcType writerType = FArcType;
  if (FArcType == atZip || FArcType == atJar) FArcType = DetectArcType(archive);
  FArchiveSize = archive.Size();
  FDataStart = SelfExtractorStubLength();
  FListIndex = 0;
  TWorkList list;
  FWorkList = &list;
  std::string name;
  try {
    bool found = FirstListedEntry(name, archive, list);
    while (found && !GetCancel()) {
      ListEntryHook(name);
      ++FFilesProcessed;
      OnRead(*this, static_cast<int>(archive.Position()), FFilesProcessed);
      found = NextListedEntry(name, archive);
    }
  } catch (...) {
    FArcType = writerType;
    FWorkList = nullptr;
    throw;
  }
  FArcType = writerType;
  FWorkList = nullptr;
}

bool TCustomCClass::FirstListedEntry(std::string& name, TStream32& archive, TWorkList& list) {
  (void)list;
  if (FDataStart < 0) FDataStart = 0;
  archive.Seek(FDataStart, soFromBeginning);
  FListIndex = 0;
  if (!ReadEntryHeader(archive, FListIndex, true)) return false;
  name = FListName;
  return true;
}

bool TCustomCClass::NextListedEntry(std::string& name, TStream32& archive) {
  if (FDataStart < 0) return false;
  ++FListIndex;
  if (!ReadEntryHeader(archive, FListIndex, false)) return false;
  name = FListName;
  return true;
}

// ---------------------------------------------------------------- the run

void TCustomCClass::CompressEntries(TWorkList& list) {
  // Checked now rather than when ArchiveFile was set: an earlier run may have
  // created the file since, and treating it as new would lose its entries.
  const std::string oldPath = SourceArchive.empty() ? FArchiveFile : SourceArchive;
  FArchiveIsNew = !FileExists(oldPath);
  if (FArchiveIsNew) {
    if (Switch == swDelete || Switch == swRefresh) {
      ReportError("", "", oldPath, E_NOTHING_TO_DO_2);
      return;
    }
  }
  if (FileExists(FArchiveFile) && !CheckWriteable(FArchiveFile)) return;

  const bool timed = static_cast<bool>(OnElapsedTime);
  if (timed) FTimer.Start();
  Guarded([&] {
    if (OnActivate) OnActivate(*this);
  });

  const TArcType writerType = FArcType;
  const TStrings savedExclude = FExcludeSpec;
  FWorkList = &list;
  std::unique_ptr<TTempFileStream> tempFile;
  std::unique_ptr<TTempMemStream> tempMem;
  std::unique_ptr<TFileStream32> oldArchive;
  auto discard = [&] {
    if (tempFile) tempFile->Discard();
    if (tempMem) tempMem->Discard();
  };
  // Frees the old archive, then the new one, which moves it over
  // ArchiveFile unless it was discarded or the run cancelled.
  auto closeArchives = [&] {
    FOldArchive = nullptr;
    FNewArchive = nullptr;
    oldArchive.reset();
    tempFile.reset();
    tempMem.reset();
  };

  try {
    if (CompressionMethod == cmInMemory) {
      tempMem = std::make_unique<TTempMemStream>(*this, TFileStream32::kCreateMode, FArchiveFile);
      FNewArchive = tempMem.get();
    } else {
      tempFile = std::make_unique<TTempFileStream>(*this, TFileStream32::kCreateMode, FArchiveFile,
                                                   TempDir());
      if (tempFile->Handle() < 0) RaiseError(FArchiveFile, "", FVolumeName, E_OPEN_FILE);
      FTempArchiveName = tempFile->TempName();
      FNewArchive = tempFile.get();
    }
    TStream32& newArchive = *FNewArchive;

    if (!FArchiveIsNew) {
      oldArchive = std::make_unique<TFileStream32>(oldPath, fmOpenRead);
      if (oldArchive->Handle() < 0) RaiseError(oldPath, "", FVolumeName, E_OPEN_FILE);
      FOldArchive = oldArchive.get();
      if (FArcType == atZip || FArcType == atJar) FArcType = DetectArcType(*oldArchive);
      FArchiveSize = oldArchive->Size();
      if (FArchiveSize > 0) {
        FDataStart = SelfExtractorStubLength();
        if (FDataStart > 0) {
          oldArchive->Seek(0, soFromBeginning);
          if (newArchive.CopyFrom(*oldArchive, FDataStart) != FDataStart)
            RaiseError(oldPath, "", FVolumeName, E_READ_FILE);
        }
        if (Switch == swDelete) FExcludeSpec.clear();
        oldArchive->Seek(FDataStart, soFromBeginning);
        ReadDirectory(*oldArchive, list);
        if (DropOldEntry)
          for (std::size_t i = 0; i < list.Count(); ++i)
            if (list.Get(i).State == ceKeep && DropOldEntry(list.Name(i)))
              list.Get(i).State = ceDelete;
        // A dropped entry's name is free for a new file.
        for (std::size_t i = 0; i < list.Count(); ++i)
          if (list.Get(i).State != ceDelete) NoteName(list.Name(i), i);
      }
    }
    if (FDataStart < 0) FDataStart = 0;
    if (list.Count() == 0) FArchiveSize = 0;

    if (Switch != swDelete) ScanFiles(list);

    if (GetCancel() || (Switch != swDelete && !FSomethingToWrite)) {
      if (!FSomethingToWrite && !GetCancel()) ReportError("", "", FVolumeName, E_NOTHING_TO_DO);
      if (Switch != swMove) list.Clear();
    } else {
      ArrangeEntries(list);
      RunEntries(newArchive, list);
    }

    bool written = false;
    if ((FFilesCompressed > 0 || FEntriesDeleted > 0) && !GetCancel()) {
      bool allDeleted = true;
      for (std::size_t i = 0; i < list.Count() && allDeleted; ++i)
        allDeleted = list.Get(i).State == ceDelete;
      if (Switch == swDelete && allDeleted) WriteEmptyArchive(newArchive);
      written = WriteCentralDirectory(newArchive, list);
    }
    if (!written) discard();
    closeArchives();
    // The move itself can fail (the destination cannot be written): then
    // nothing was compressed into ArchiveFile.
    if (written && !FArchiveReplaced) {
      FFilesCompressed = 0;
      FEntriesDeleted = 0;
    }
    AfterUpdate(list);
    if (FCompressMethod == cmTarGzip && FArchiveReplaced) {
      PostProcess(FArchiveFile + ".gz");
      FArchiveFile += ".gz";
    }
  } catch (...) {
    FFilesCompressed = 0;
    FEntriesDeleted = 0;
    // A failed update never replaces the old archive.
    discard();
    Guarded(closeArchives);
    Guarded([&] { AfterUpdate(list); });
  }
  FExcludeSpec = savedExclude;
  FArcType = writerType;
  FWorkList = nullptr;
  Guarded([&] {
    if (OnDeactivate) OnDeactivate(*this);
  });
  if (timed) {
    FTimer.Stop();
    Guarded([&] { OnElapsedTime(*this, FTimer.ElapsedTime()); });
  }
}

void TCustomCClass::ScanFiles(TWorkList& list) {
  // Without masks the scanner would take the current directory: nothing is
  // asked for, so nothing is found.
  if (FFileSpec.empty()) return;
  TqmxFileScan scan;
  scan.SetFileSpec(FFileSpec);
  scan.Attributes = Attributes;
  if (StoreEmptySubDirs) scan.Attributes.Include(fsDirectory);
  scan.AttributesEx = AttributesEx;
  scan.ScanOptions = soScanDir;
  scan.RecurseDirs = RecurseDirs;
  scan.IncludeHiddenDirs = IncludeHiddenDirs;
  scan.SkipDotNames = !IncludeDotNames;
  scan.ShareCancel(FCancelRef);
  if (OnFileScanStatus)
    scan.OnScanFile = [this](TqmxFileScan&, const std::string& name, int count, std::int64_t size) {
      OnFileScanStatus(*this, name, count, size);
    };
  if (OnRecurseDir)
    scan.OnRecurseDir = [this](TqmxFileScan&, const std::string& dir) { OnRecurseDir(*this, dir); };
  scan.OnRootDirChange = [this](TqmxFileScan&, const std::string& dir) { FScanRoot = dir; };
  scan.ListRef = &list;
  scan.AddFileProc = [this](const std::string& directory, void* ref, const TSearchRec& rec) {
    return AddScannedFile(directory, ref, rec);
  };
  scan.Activate();
  FScanTotal = scan.FilesSize();
  FTotalUnpacked = FScanTotal;
  FBytesToDo = FScanTotal;
  FMaxFileDate = FNewestDate;
}

bool TCustomCClass::AddScannedFile(const std::string& directory, void* listRef,
                                   const TSearchRec& rec) {
  auto& list = *static_cast<TWorkList*>(listRef);
  const bool isDir = (rec.Attr & faDirectory) != 0;
  const std::string path = isDir ? AppendSlash(directory) : AppendSlash(directory) + rec.Name;
  if (isDir && (!StoreEmptySubDirs || rec.IsLink || !DirHoldsNoFiles(path))) return false;
  // The archive never takes itself or its own temporary archive.
  if (!isDir && (SameFile(path, FArchiveFile) || SameFile(path, FTempArchiveName))) return false;
  SetFileName(path);
  if (!isDir && IsExcluded(directory, rec.Name, FScanRoot)) return false;
  return AddFileToList(path, rec, list);
}

void TCustomCClass::NoteName(const std::string& name, std::size_t index) {
  FNameIndex.emplace(LowerAscii(name), index);
}

std::ptrdiff_t TCustomCClass::FindName(const std::string& name) const {
  auto it = FNameIndex.find(LowerAscii(name));
  return it == FNameIndex.end() ? -1 : static_cast<std::ptrdiff_t>(it->second);
}

std::size_t TCustomCClass::AppendNewEntry(const std::string& path, const TSearchRec& rec,
                                          TWorkList& list) {
  FSomethingToWrite = true;
  TCompHeader h;
  h.State = ceCompress;
  h.EncryptHeaders = EncryptHeaders;
  h.UnpackedSizeHi = SizeBits32To47(static_cast<std::uint64_t>(rec.Size));
  h.EncryptionMethod = EncryptionMethod;
  const std::uint8_t* head = FHeadSize > 0 ? GetHeadPtr() : nullptr;
  const std::size_t headLen = head ? static_cast<std::size_t>(FHeadSize) : 0;
  const std::size_t index =
      list.Add(h, path, static_cast<std::uint32_t>(FScanRoot.size()), head, headLen);
  InitLocalHeader(list.Block(index), rec);
  // Stored under the name SetFileName just computed.
  NoteName(FFileName, index);
  return index;
}

bool TCustomCClass::AddFileToList(const std::string& path, const TSearchRec& rec, TWorkList& list) {
  const bool isDir = (rec.Attr & faDirectory) != 0;
  if (!isDir) FNewestDate = std::max(FNewestDate, rec.DosTime);
  const std::string stored = FFileName;
  const std::ptrdiff_t found = (!FArchiveIsNew && list.Count() > 0) ? FindName(stored) : -1;
  if (found < 0) {
    if (Switch == swRefresh) return false;
    AppendNewEntry(path, rec, list);
    return true;
  }
  const auto index = static_cast<std::size_t>(found);
  if (list.Get(index).State == ceCompress) return false;  // taken already in this run

  TEntryHeaderInfo info;
  LoadEntryHeader(list.Block(index), index, info);
  std::uint32_t entryAttr = info.Attributes & kCompareAttrMask;
  if (FArcType == atTar) entryAttr = rec.Attr;
  const bool same = info.DosDate == rec.DosTime && info.Size == rec.Size && entryAttr == rec.Attr;

  if (Switch == swRefresh) {
    const bool newer = rec.DosTime > info.DosDate;
    if (!same && !newer) return false;
    if (!same) FSomethingToWrite = true;
    TakeOverEntry(index, path, rec, list);
    return true;
  }

  // The new version takes the old entry's place, so the old one is still at
  // hand should the new one fail.
  if (!same && AskReplace(index, path, rec, info, entryAttr)) {
    FSomethingToWrite = true;
    TakeOverEntry(index, path, rec, list);
    return true;
  }
  // The file's content is in the archive already: a move may delete it.
  if (same && Switch == swMove) AddMoved(path, stored);
  if (AskRenameDupe(index, list)) {
    AppendNewEntry(path, rec, list);
    return true;
  }
  return false;
}

void TCustomCClass::TakeOverEntry(std::size_t index, const std::string& path, const TSearchRec& rec,
                                  TWorkList& list) {
  FTakenOver.emplace(
      index, TOldEntry{list.Get(index), list.Name(index), list.Tag(index), list.Block(index)});
  // Compressed from the file under the same stored name: the scan root
  // stays the one that name was computed with.
  TCompHeader& h = list.Get(index);
  h.State = ceCompress;
  h.EncryptHeaders = EncryptHeaders;
  h.EncryptionMethod = EncryptionMethod;
  h.UnpackedSizeHi = SizeBits32To47(static_cast<std::uint64_t>(rec.Size));
  list.SetName(index, path);
  list.SetTag(index, static_cast<std::uint32_t>(FScanRoot.size()));
  const std::uint8_t* head = FHeadSize > 0 ? GetHeadPtr() : nullptr;
  list.SetBlock(index, head, head ? static_cast<std::size_t>(FHeadSize) : 0);
  InitLocalHeader(list.Block(index), rec);
}

void TCustomCClass::MoveListEntry(TWorkList& list, std::size_t from, std::size_t to) {
  if (from >= list.Count() || to >= list.Count() || from == to) return;
  list.Move(from, to);
  // Taken-over entries are keyed by index: those between shift with it.
  std::unordered_map<std::size_t, TOldEntry> moved;
  for (auto& [index, old] : FTakenOver) {
    std::size_t k = index;
    if (k == from)
      k = to;
    else if (from > to && k >= to && k < from)
      ++k;
    else if (from < to && k > from && k <= to)
      --k;
    moved.emplace(k, std::move(old));
  }
  FTakenOver = std::move(moved);
}

bool TCustomCClass::KeepOldVersion(std::size_t index, TStream32& newArchive, TWorkList& list) {
  auto it = FTakenOver.find(index);
  if (it == FTakenOver.end() || !FOldArchive) return false;
  TOldEntry old = std::move(it->second);
  FTakenOver.erase(it);
  list.Get(index) = old.Record;
  list.SetName(index, old.Name);
  list.SetTag(index, old.Tag);
  list.SetBlock(index, old.Block.data(), old.Block.size());
  TEntryHeaderInfo info;
  LoadEntryHeader(list.Block(index), index, info);
  const std::int64_t at = newArchive.Size();
  FOldArchive->Seek(old.Record.Position, soFromBeginning);
  CopyEntry(*FOldArchive, newArchive, list, index);
  list.Get(index).Position = at;
  return true;
}

void TCustomCClass::AddMoved(const std::string& path, const std::string& stored) {
  if (std::find(FMovedFiles.begin(), FMovedFiles.end(), path) != FMovedFiles.end()) return;
  FMovedFiles.push_back(path);
  FMovedNames.push_back(stored);
}

bool TCustomCClass::AskReplace(std::size_t index, const std::string& path, const TSearchRec& rec,
                               const TEntryHeaderInfo& info, std::uint32_t entryAttr) {
  (void)index;
  if (!OnReplaceFile) {
    ReportError(FFileName, "OnReplaceFile", FVolumeName, E_EVENT_NOT_ASSIGNED);
    return false;
  }
  bool replace = false;
  TPauseGuard pause(FTimer);
  OnReplaceFile(*this, FFileName, path, DosDateToDateTime(info.DosDate),
                DosDateToDateTime(rec.DosTime), info.Size, rec.Size, static_cast<int>(entryAttr),
                static_cast<int>(rec.Attr), replace);
  return replace;
}

bool TCustomCClass::AskRenameDupe(std::size_t index, TWorkList& list) {
  if (!OnRenameDupeFile) return false;
  const std::string name = list.Name(index);
  std::string candidate = name;
  TPauseGuard pause(FTimer);
  for (int asked = 0; asked < kMaxRenameQuestions; ++asked) {
    bool rename = true;
    std::string newName = candidate;
    OnRenameDupeFile(*this, name, newName, rename);
    if (!rename) return false;
    if (!ExtractFileName(newName).empty()) candidate = newName;
    if (SameTextAscii(candidate, name)) return false;
    if (FindName(candidate) >= 0) continue;
    list.SetName(index, candidate);
    list.Get(index).State = ceNewName;
    NoteName(candidate, index);
    return true;
  }
  return false;
}

// ---------------------------------------------------------------- entry loop

void TCustomCClass::RunEntries(TStream32& newArchive, TWorkList& list) {
  FDeleteMarked = 0;
  for (std::size_t i = 0; i < list.Count(); ++i)
    if (list.Get(i).State == ceDelete) ++FDeleteMarked;

  for (std::size_t i = 0; i < list.Count(); ++i) {
    if (GetCancel()) break;
    FFilesProcessed = static_cast<int>(i) + 1;
    TEntryHeaderInfo info;
    LoadEntryHeader(list.Block(i), i, info);
    const std::int64_t sizeBefore = newArchive.Size();
    newArchive.Seek(0, soFromEnd);
    TCompHeader& rec = list.Get(i);
    switch (rec.State) {
      case ceKeep:
        FOldArchive->Seek(rec.Position, soFromBeginning);
        CopyEntry(*FOldArchive, newArchive, list, i);
        list.Get(i).Position = sizeBefore;
        break;
      case ceDelete:
        ++FEntriesDeleted;
        if (OnDeleteFile) OnDeleteFile(*this, list.Name(i), FEntriesDeleted, FDeleteMarked);
        break;
      case ceNewName:
        list.SetName(i, NameToArchive(list.Name(i), TranslateOemChar));
        FOldArchive->Seek(rec.Position, soFromBeginning);
        CopyEntryNewName(*FOldArchive, newArchive, list, i);
        list.Get(i).Position = sizeBefore;
        break;
      case ceCompress: {
        const std::string path = list.Name(i);
        const bool isDir = !path.empty() && path.back() == kPathDelim;
        if (isDir && !StoreEmptySubDirs) {
          rec.State = ceDelete;
          break;
        }
        bool success = false;
        CompressFile(newArchive, i, success, list);
        if (success) {
          ++FFilesCompressed;
          if (Switch == swMove && !isDir) AddMoved(path, FFileName);
          list.SetName(i, FFileName);
          break;
        }
        if (GetCancel()) {
          --FFilesProcessed;
          for (std::size_t k = i; k < list.Count(); ++k) list.Get(k).State = ceDelete;
        }
        // What a failed entry left behind is cut off.
        newArchive.SetSize(sizeBefore);
        newArchive.Seek(0, soFromEnd);
        // A file that was to replace an entry failed: the old version stays.
        if (!GetCancel() && KeepOldVersion(i, newArchive, list)) break;
        list.Get(i).State = ceDelete;
        break;
      }
    }
  }
}

void TCustomCClass::CopyEntry(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                              std::size_t index) {
  (void)list;
  const std::int64_t length = GetEntryLength(index);
  if (length <= 0) return;
  if (newArchive.CopyFrom(oldArchive, length) != length && !GetCancel())
    RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_READ_FILE);
}

void TCustomCClass::CompressFile(TStream32& newArchive, std::size_t index, bool& success,
                                 TWorkList& list) {
  success = false;
  const std::string path = list.Name(index);
  if (CompressionMethod == cmTempFile && SameFile(path, FTempArchiveName)) return;
  FFileName = path;
  FScanRoot = path.substr(0, std::min<std::size_t>(list.Tag(index), path.size()));
  if (!BeginFile(index, list)) return;
  list.Get(index).Position = newArchive.Size();
  try {
    success = WriteEntry(newArchive, index, list);
  } catch (...) {
    AfterEntry(index, false, list);
    throw;
  }
  AfterEntry(index, success, list);
}

bool TCustomCClass::BeginFile(std::size_t index, TWorkList& list) {
  bool extract = true;
  if (OnBegin) {
    TPauseGuard pause(FTimer);
    OnBegin(*this, FFileName, FFilesProcessed, extract);
  }
  SetFileName(FFileName);
  if (!extract) return false;
  if (list.Get(index).State == ceNewName || !OnRenameFile) return true;
  TPauseGuard pause(FTimer);
  const std::string dir = ExtractFilePath(FFileName);
  for (int asked = 0; asked < kMaxRenameQuestions; ++asked) {
    std::string newName;
    OnRenameFile(*this, FFileName, newName);
    const std::string part = ExtractFileName(newName);
    if (part.empty()) break;
    const std::string candidate = dir + part;
    if (SameTextAscii(candidate, FFileName)) break;
    if (FindName(candidate) >= 0) continue;
    FFileName = candidate;
    NoteName(candidate, index);
    break;
  }
  return true;
}

}  // namespace qmx
