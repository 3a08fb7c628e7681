#include "archive/convert/arc_morph.h"

#include <exception>
#include <vector>

#include "archive/base/errors.h"
#include "archive/base/names.h"
#include "archive/platform/ascii.h"
#include "archive/platform/files.h"
#include "archive/platform/guarded.h"
#include "archive/platform/ui_hooks.h"
#include "archive/zip/zip_check.h"

namespace qmx {
namespace {

// A list-file line is deleted only when it names something inside the work
// directory: an entry name holding a line break must not steer the
// clean-up to a file elsewhere.
bool InsideDir(const std::string& path, const std::string& dir) {
  const std::string prefix = AppendSlash(dir);
  if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string rest = path.substr(prefix.size());
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = rest.find(kPathDelim, start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    if (part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

// Deletes everything below dir without following links; dir itself stays.
void EmptyDirectory(const std::string& dir) {
  std::vector<TSearchRec> entries;
  if (!ListDirectory(dir, entries)) return;
  for (const TSearchRec& e : entries) {
    const std::string path = JoinPath(dir, e.Name);
    if ((e.Attr & faDirectory) && !e.IsLink) {
      EmptyDirectory(path);
      RemoveDir(path);
    } else {
      DeleteFile(path);
    }
  }
}

}  // namespace

TArcMorph::TArcMorph() {
  Attributes = TqmxFileAttributes{fsReadOnly, fsHidden, fsSysFile, fsArchive};
  AttributesEx = TqmxFileAttributes{};
  ConfirmOverwrites = true;
  DateAttribute = daFileDate;
  PasswordAttempts = 3;
  TranslateOemChar = true;
}

TArcMorph::~TArcMorph() = default;

// ---------------------------------------------------------------- tables

std::unique_ptr<TUnBase> TArcMorph::CreateReader(TArcType t) {
  return CreateConvertReader(t);
}

std::unique_ptr<TCompBase> TArcMorph::CreateWriter(TOutArcType t) {
  return ::qmx::CreateWriter(t);
}

// ---------------------------------------------------------------- names

std::string TArcMorph::OutputArchiveName() const {
  if (FOutArcType != tyTarGzip) return FNewArchive;
  const std::string ext = LowerAscii(ExtractFileExt(FNewArchive));
  if (ext == ".tgz") return FNewArchive.substr(0, FNewArchive.size() - 4) + ".tar";
  if (ext != ".gz") return FNewArchive;
  if (FNewArchive.size() <= 7) return FNewArchive;
  if (EndsTextAscii(FNewArchive, ".tar.gz")) return FNewArchive.substr(0, FNewArchive.size() - 3);
  return FNewArchive;
}

// ---------------------------------------------------------------- the run

void TArcMorph::Activate() {
  if (FArchiveFile.empty() || !IsRealArchive(FArcType)) return;
  FListFile.clear();
  FWorkDir.clear();
  FWorkDirName.clear();
  FWrittenArchive.clear();
  FTimed = false;
  std::string backup, output;
  try {
    *FCancelRef = false;
    ProgressHandler = [this](std::uint8_t f, std::uint8_t a) { DoProgressEvent(f, a); };
    CreateListFile();

    output = OutputArchiveName();
    if (FOutArcType == tyTarGzip) FNewArchive = output + ".gz";

    // The destination must never be the source, whatever the method: the
    // source is read while the new archive is built.
    bool proceed = true;
    if (SameFilePath(output, FArchiveFile)) {
      RaiseError(FArchiveFile, "", "0", E_SAME_FILES);
      proceed = false;  // a handler cancelled instead
    }
    // Refused before anything is extracted or an old destination touched.
    if (proceed && !CreateWriter(FOutArcType)) {
      RaiseError(FNewArchive, "", "0", E_UNSUPPORTED_TYPE);
      proceed = false;
    }
    // So is a destination on a missing or read-only drive (the writer would
    // find out only after the whole extraction).
    if (proceed && !CheckDriveOf(output)) proceed = false;

    if (proceed && FOutArcMethod == amCreateNew && FileExists(output)) {
      if (ConfirmOverwrites) {
        if (OnFileExists) {
          FTimer.Pause();
          Guarded([&] { OnFileExists(*this, output, OverwriteMode); });
          FTimer.Resume();
        } else {
          proceed = false;
        }
      }
      if (proceed && (GetCancel() || OverwriteMode == omSkip)) proceed = false;
      if (proceed) {
        // The old destination is kept aside until a new one is in place, so
        // a failed or cancelled run does not lose it.
        const std::string dir = ExtractFilePath(ExpandFileName(output));
        backup = CreateUniqueTempFile(RemoveSlash(dir.empty() ? "." : dir), "qmx");
        if (backup.empty() || !RenameFile(output, backup)) {
          if (!backup.empty()) DeleteFile(backup);
          backup.clear();
          DeleteFile(output);
        }
      }
    }

    if (proceed) {
      FTimed = static_cast<bool>(OnElapsedTime);
      if (FTimed) FTimer.Start();
      if (ExtractArchive() && !GetCancel()) {
        CompressFiles();
        if (!GetCancel()) TestNewArchive();
      }
    }
  } catch (const std::exception& e) {
    ShowException(e.what());
  } catch (...) {
    ShowException("Unknown error");
  }
  Guarded([&] { CleanUp(); });
  if (!backup.empty()) {
    const bool produced =
        FileExists(output) || (FOutArcType == tyTarGzip && FileExists(FNewArchive));
    if (produced || !RenameFile(backup, output)) DeleteFile(backup);
  }
}

void TArcMorph::ShowException(const std::string& text) {
  FTimer.Pause();
  Guarded([&] { UserPrompt().ShowMessage("", text); });
  FTimer.Resume();
}

void TArcMorph::CreateListFile() {
  std::string dir = TempDir();
  if (!DirectoryExists(dir)) ForceDirs(dir);
  // Absolute, so the clean-up does not depend on the current directory.
  dir = RemoveSlash(ExpandFileName(dir));
  // The work directory takes the list file's name without extension; a
  // name whose directory already exists belongs to someone else.
  std::vector<std::string> taken;
  for (int attempt = 0; attempt < 100 && FListFile.empty(); ++attempt) {
    std::string name = CreateUniqueTempFile(dir, "qmx");
    if (name.empty()) break;
    if (PathExists(ChangeFileExt(name, "")))
      taken.push_back(name);
    else
      FListFile = name;
  }
  for (const std::string& t : taken) DeleteFile(t);
  if (FListFile.empty()) RaiseError(dir, "", "0", E_OPEN_FILE);
}

void TArcMorph::CleanUp() {
  if (FListStream.is_open()) FListStream.close();
  if (FListFile.empty()) return;

  if (!FWorkDir.empty()) {
    std::ifstream list(FListFile, std::ios::binary);
    std::string line;
    while (std::getline(list, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.empty() || !InsideDir(line, FWorkDir)) continue;
      Guarded([&] {
        if (OnRemoveTempfile) OnRemoveTempfile(*this, line);
      });
      DeleteFile(line);
    }
    list.close();
    RemoveSubDirs(FWorkDir);
  }

  if (FTimed) {
    FTimer.Stop();
    FTimed = false;
    Guarded([&] { OnElapsedTime(*this, FTimer.ElapsedTime()); });
  }

  if (!FWorkDir.empty() && IsDirectory(FWorkDir) && !IsSymLink(FWorkDir)) {
    EmptyDirectory(FWorkDir);
    if (RemoveDir(FWorkDir)) {
      Guarded([&] {
        if (OnRemoveTempfile) OnRemoveTempfile(*this, FWorkDirName);
      });
    }
  }
  DeleteFile(FListFile);
}

void TArcMorph::RemoveSubDirs(const std::string& dir) {
  // Never a file system root.
  if (dir.empty() || RemoveSlash(dir).empty() || RemoveSlash(dir) == "/") return;
  std::vector<TSearchRec> entries;
  if (!ListDirectory(dir, entries)) return;
  for (const TSearchRec& e : entries) {
    if (!(e.Attr & faDirectory) || e.IsLink) continue;
    const std::string sub = JoinPath(dir, e.Name);
    RemoveSubDirs(sub);
    // The work directory is private to this run: what the list missed
    // (names the reader changed, directories it made) goes as well.
    EmptyDirectory(sub);
    RemoveDir(sub);
  }
}

// ---------------------------------------------------------------- extraction

bool TArcMorph::ExtractArchive() {
  std::unique_ptr<TUnBase> reader = CreateReader(FArcType);
  if (!reader) {
    if (GetCancel()) return false;
    RaiseError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
    return false;
  }
  reader->ShareCancel(FCancelRef);
  *FCancelRef = false;

  // Made fresh here: the clean-up empties it as a whole.
  const std::string workDir = ChangeFileExt(FListFile, "");
  if (!CreateDir(workDir)) RaiseError(workDir, "", "0", E_INVALID_DIR);
  FWorkDir = workDir;
  FWorkDirName = ExtractFileName(FWorkDir) + kPathDelim;

  TUnBase* r = reader.get();
  r->SetExtractDir(FWorkDir);
  r->SetArchiveFile(FArchiveFile);
  r->UseStoredDirs = true;
  r->SetPasswords(FPasswords);
  r->PasswordAttempts = PasswordAttempts;
  r->DateAttribute = daFileDate;
  r->TranslateOemChar = TranslateOemChar;
  if (!FTempDir.empty()) r->SetTempDir(TempDir());
  r->OnError = OnError;
  r->OnGetPassword = OnGetPassword;
  r->OnNextVolume = OnNextVolume;
  r->OnProgress = OnProgress;
  r->OnActivate = [this](TZipCommon& sender) { DoExtractActivate(sender); };
  r->OnDeactivate = [this](TZipCommon& sender) { DoExtractDeactivate(sender); };
  r->OnBegin = [this, r](TZipCommon& sender, const std::string& fileName, int count,
                         bool& extract) {
    if (FListStream.is_open()) FListStream << fileName << "\r\n";
    if (OnExtractBegin) OnExtractBegin(sender, r->StoredName(), count, extract);
  };
  r->TZipCommon::OnEnd = [this](TZipCommon& sender, const std::string& fileName, bool pass) {
    DoExtractEnd(sender, fileName, pass);
  };
  r->TCustomDClass::OnFileExists = [this](TZipCommon& sender, const std::string& fileName,
                                          std::string&, TOverwriteMode& mode) {
    if (OnFileExists) OnFileExists(sender, fileName, mode);
  };
  if (FArcType == atGZip) {
    FNestedTarFound = false;
    r->OnNestedTarFile = [this](TZipCommon& sender, const std::string& fileName, bool& doUnTar) {
      if (OnNestedTarFile) OnNestedTarFile(sender, fileName, doUnTar);
      FNestedTarFound = doUnTar;
    };
  }
  r->SetFileSpec(FFileSpec.empty() ? TStrings{"*.*"} : FFileSpec);

  bool ran = false;
  try {
    if (CanExtractType(r->ArcType())) {
      // The gzip reader removes the intermediate tar of a nested tar itself;
      // the file of that name in the work directory, if any, is one of the
      // tar's own entries and stays.
      r->Extract();
      ran = true;
    } else {
      ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
      *FCancelRef = true;
    }
  } catch (...) {
    FPasswords = r->Passwords();
    if (FListStream.is_open()) FListStream.close();
    throw;
  }
  // Passwords typed in during the extraction serve the test as well.
  FPasswords = r->Passwords();
  if (FListStream.is_open()) FListStream.close();
  return ran;
}

void TArcMorph::DoExtractActivate(TZipCommon& Sender) {
  if (FListStream.is_open()) FListStream.close();
  FListStream.open(FListFile, std::ios::binary | std::ios::trunc);
  if (!FListStream.is_open()) throw E_RAISE(ErrorMessage(E_OPEN_FILE) + ": " + FListFile);
  if (OnExtractActivate) OnExtractActivate(Sender);
}

void TArcMorph::DoExtractEnd(TZipCommon& Sender, const std::string& FileName, bool CRC_PASS) {
  if (OnExtractEnd) OnExtractEnd(Sender, FileName, CRC_PASS);
}

void TArcMorph::DoExtractDeactivate(TZipCommon& Sender) {
  if (FListStream.is_open()) {
    FListStream.flush();
    FListStream.close();
  }
  if (OnExtractDeactivate) OnExtractDeactivate(Sender);
}

// ---------------------------------------------------------------- compression

void TArcMorph::CompressFiles() {
  std::unique_ptr<TCompBase> writer = CreateWriter(FOutArcType);
  if (!writer) return;
  TCompBase* w = writer.get();

  const std::string saved = FNewArchive;
  try {
    w->ShareCancel(FCancelRef);
    w->SetArchiveFile(OutputArchiveName());
    w->SetArcType(FArcType);
    // Handlers see the name actually written (with a default extension).
    FNewArchive = w->ArchiveFile();

    w->DateAttribute = DateAttribute;
    w->RecurseDirs = true;
    w->Switch = swAdd;
    w->StoredDirNames = sdRelative;
    w->TranslateOemChar = TranslateOemChar;
    w->SetExcludeSpec({});
    // Every extracted file is taken, dot-files and their directories too.
    w->Attributes = TqmxFileAttributes{fsZeroAttr, fsReadOnly,   fsHidden,   fsSysFile,
                                       fsArchive,  fsCompressed, fsEncrypted};
    w->IncludeHiddenDirs = true;
    w->IncludeDotNames = true;
    w->SetFileSpec({FWorkDir + kPathDelim + "*.*"});
    if (!FTempDir.empty()) w->SetTempDir(TempDir());
    w->OnError = OnError;
    w->OnProgress = OnProgress;
    w->OnActivate = OnCompressActivate;
    w->OnBegin = [this](TZipCommon& sender, const std::string& fileName, int count, bool& extract) {
      if (OnCompressBegin) OnCompressBegin(sender, fileName, count, extract);
    };
    w->OnEnd = [this](TZipCommon& sender, const std::string& fileName, bool pass) {
      if (OnCompressEnd) OnCompressEnd(sender, fileName, pass);
    };
    w->OnFileExists = [this](TZipCommon& sender, const std::string& fileName, TDateTime,
                             TOverwriteMode& mode) {
      if (OnFileExists) OnFileExists(sender, fileName, mode);
    };
    // The tar's gzip step raises this too (its Sender is the gzip writer):
    // only the tar's own end tests the tar.
    w->OnDeactivate = [this](TZipCommon& sender) {
      if (OnCompressDeactivate) OnCompressDeactivate(sender);
      if (sender.ArcType() == atTar && FOutArcType == tyTarGzip) {
        FOutArcType = tyTar;
        try {
          TestNewArchive();
        } catch (...) {
          FOutArcType = tyTarGzip;
          throw;
        }
        FOutArcType = tyTarGzip;
      }
    };

    w->Compress();
    // The test reads what was written, default extension and ".gz" included.
    FWrittenArchive = w->ArchiveFile();
  } catch (...) {
    FNewArchive = saved;
    throw;
  }
  FNewArchive = saved;
}

// ---------------------------------------------------------------- test

void TArcMorph::TestNewArchive() {
  if (!IntegrityCheck || !OnIntegrityStatus) return;
  try {
    TZipCheck check;
    check.UseStoredDirs = true;
    check.SetArchiveFile(FWrittenArchive.empty() ? FNewArchive : FWrittenArchive);
    check.SetPasswords(FPasswords);
    check.SetFileSpec({"*.*"});
    check.OnError = OnError;
    check.OnEnd = OnIntegrityEnd;
    check.OnActivate = OnIntegrityActivate;
    check.OnDeactivate = OnIntegrityDeactivate;
    check.OnGetPassword = OnGetPassword;
    check.OnProgress = OnProgress;
    check.OnStatus = OnIntegrityStatus;
    check.OnNextVolume = OnNextVolume;
    check.OnBegin = [this](TZipCommon& sender, const std::string& fileName, int, bool&) {
      if (OnIntegrityBegin) OnIntegrityBegin(sender, fileName);
    };
    if (FOutArcType == tyTarGzip) {
      check.OnNestedTarFile = [this](TZipCommon& sender, const std::string& fileName,
                                     bool& doUnTar) {
        if (OnNestedTarFile) OnNestedTarFile(sender, fileName, doUnTar);
        FNestedTarFound = doUnTar;
      };
    }
    if (CanExtractType(check.ArcType())) {
      check.ShareCancel(FCancelRef);
      check.Activate();
    } else {
      ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
    }
  } catch (...) {
    // A failed test must not stop the clean-up.
  }
}

}  // namespace qmx
