#include "archive/scan/file_scan.h"

#include <algorithm>
#include <exception>
#include <memory>

#include "archive/platform/ascii.h"
#include "archive/platform/ui_hooks.h"

namespace qmx {

namespace {

bool IsBlank(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= ' '; });
}

// Two spellings of a group directory that differ only in case name one
// directory, unless the file system holds two distinct directories under
// them (it is case-sensitive); merging those would lose one's files.
bool SameGroupDir(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (!SameTextAscii(a, b)) return false;
  if (!IsDirectory(a) || !IsDirectory(b)) return true;
  return SameFile(a, b);
}

// Adds name to a group's names unless one of them already covers it; a name
// that covers others takes the place of the first and drops the rest.
void MergeGroupName(TStrings& names, const std::string& name) {
  for (const std::string& have : names)
    if (TInternalMask(have).Matches(name)) return;
  const TInternalMask wider(name);
  bool placed = false;
  for (auto it = names.begin(); it != names.end();) {
    if (wider.Matches(*it)) {
      if (!placed) {
        *it = name;
        placed = true;
        ++it;
      } else {
        it = names.erase(it);
      }
    } else {
      ++it;
    }
  }
  if (!placed) names.push_back(name);
}

}  // namespace

TqmxFileScan::TqmxFileScan() {
  FRootDir = AppendSlash(GetCurrentDir());
  AddFileProc = [this](const std::string& Directory, void* List, const TSearchRec& Rec) {
    return AddFile(Directory, List, Rec);
  };
  DriveRoots = [] { return TStrings{std::string(1, kPathDelim)}; };
}

void TqmxFileScan::SetFileSpec(const TStrings& masks) {
  FFileSpec = masks;
  FMaskString.clear();
}

void TqmxFileScan::SetRootDir(const std::string& dir) {
  FRootDir = AppendSlash(dir);
}

void TqmxFileScan::SetSorted(TqmxSortOptions option) {
  FList.SetSortOption(option);
  if (FList.Count() > 0 && OnFinished) OnFinished(*this, FFilesCount, FFilesSize);
}

void TqmxFileScan::CancelScan() {
  SetCancel(true);
}

std::string TqmxFileScan::DefaultDir() const {
  return FRootDir.empty() ? AppendSlash(GetCurrentDir()) : FRootDir;
}

void TqmxFileScan::Activate() {
  FList.Clear();
  FFilesCount = 0;
  FFilesSize = 0;
  SetCancel(false);
  FLastError.clear();
  try {
    if (!RecurseDirs) {
      ScanDispatch(std::string(), AttributesToWindows(Attributes), TMaskCollection());
    } else if (!FMaskString.empty()) {
      if (!FRootDir.empty() && IsDirectory(FRootDir)) {
        TMaskCollection masks;
        masks.AddMaskString(FMaskString);
        ScanDispatch(FRootDir, AttributesToWindows(Attributes), masks);
      }
    } else {
      ScanGroups();
    }
  } catch (const std::exception& e) {
    FLastError = e.what();
    if (FLastError.empty()) FLastError = "scan aborted";
  } catch (...) {
    FLastError = "scan aborted";
  }
  try {
    if (OnFinished) OnFinished(*this, FFilesCount, FFilesSize);
  } catch (const std::exception& e) {
    if (FLastError.empty()) FLastError = e.what();
  } catch (...) {
    if (FLastError.empty()) FLastError = "scan aborted";
  }
}

void TqmxFileScan::ScanGroups() {
  FFileSpec.erase(std::remove_if(FFileSpec.begin(), FFileSpec.end(), IsBlank), FFileSpec.end());
  // Entries without a path belong to the RootDir the caller set, not to
  // whichever group happened to be scanned before them.
  const std::string baseDir = DefaultDir();
  auto groupDir = [&](const std::string& entry) {
    const std::string p = ExtractFilePath(entry);
    return p.empty() ? baseDir : p;
  };
  while (!FFileSpec.empty() && !GetCancel()) {
    const std::string dir = groupDir(FFileSpec.front());
    TStrings names{ExtractFileName(FFileSpec.front())};
    for (std::size_t i = 1; i < FFileSpec.size();) {
      if (SameGroupDir(groupDir(FFileSpec[i]), dir)) {
        MergeGroupName(names, ExtractFileName(FFileSpec[i]));
        FFileSpec.erase(FFileSpec.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    TMaskCollection masks;
    for (const std::string& n : names) masks.Add(n.empty() || n == "*.*" ? "*" : n);
    SetRootDir(dir);
    if (OnRootDirChange) OnRootDirChange(*this, dir);
    FFileSpec.erase(FFileSpec.begin());
    ScanDispatch(dir, AttributesToWindows(Attributes), masks);
  }
}

void TqmxFileScan::ScanDispatch(const std::string& Directory, std::uint32_t AttrMask,
                                const TMaskCollection& Masks) {
  (void)AttrMask;
  if (ScanOptions == soScanDrvs)
    ScanDrives(Masks);
  else
    ScanDir(Directory, Masks);
}

void TqmxFileScan::ScanDrives(const TMaskCollection& Masks) {
  if (!DriveRoots) return;
  for (const std::string& root : DriveRoots()) {
    if (GetCancel()) return;
    ScanDir(root, Masks);
  }
}

void TqmxFileScan::ScanDir(const std::string& Directory, const TMaskCollection& Masks) {
  if (RecurseDirs)
    ScanTree(Directory, Masks);
  else
    ScanPatterns();
}

bool TqmxFileScan::FindEntries(const std::string& Directory, std::vector<TSearchRec>& Entries) {
  return ListDirectory(Directory, Entries);
}

void TqmxFileScan::ScanTree(const std::string& Directory, const TMaskCollection& Masks) {
  if (OnRecurseDir) OnRecurseDir(*this, Directory);
  const std::string base = AppendSlash(Directory);
  std::vector<TSearchRec> entries;
  if (!FindEntries(base, entries)) return;  // unreadable: skipped silently
  for (const TSearchRec& rec : entries) {
    if (GetCancel()) return;
    if (rec.Name.empty() || rec.Name == "." || rec.Name == "..") continue;
    if (SkipDotNames && rec.Name[0] == '.') continue;
    CheckEntry(base, rec, &Masks);
    // A link to a directory is never followed: a link loop would never end.
    if ((rec.Attr & faDirectory) && !rec.IsLink && (IncludeHiddenDirs || !(rec.Attr & faHidden)))
      ScanTree(base + rec.Name + kPathDelim, Masks);
    ProcessMessages();
  }
}

void TqmxFileScan::ScanPatterns() {
  const TStrings patterns = FFileSpec;  // handlers may assign FileSpec meanwhile
  for (const std::string& pattern : patterns) {
    if (GetCancel()) return;
    if (IsBlank(pattern)) continue;
    const std::string path = ExtractFilePath(pattern);
    const std::string dir = path.empty() ? AppendSlash(GetCurrentDir()) : path;
    const std::string name = ExtractFileName(pattern);
    // The system search takes "*.*" for every name, with or without a dot.
    const TInternalMask mask(name == "*.*" ? "*" : name);
    std::vector<TSearchRec> entries;
    if (!FindEntries(dir, entries)) continue;
    bool found = false;
    for (const TSearchRec& rec : entries) {
      if (GetCancel()) return;
      if (!mask.Matches(rec.Name)) continue;
      if (!found) {
        found = true;
        if (OnRootDirChange) OnRootDirChange(*this, dir);
      }
      if (rec.Name != "." && rec.Name != ".." && !(SkipDotNames && rec.Name[0] == '.'))
        CheckEntry(dir, rec, nullptr);
      ProcessMessages();
    }
  }
}

void TqmxFileScan::CheckEntry(const std::string& Directory, const TSearchRec& Rec,
                              const TMaskCollection* Masks) {
  if (!AttributeTest(Attributes, Rec.Attr, true) || AttributeTest(AttributesEx, Rec.Attr, false))
    return;
  if (Rec.Attr & faDirectory) {
    // Directories are recorded (for empty-directory entries) but not counted.
    if (UpdateList && AddFileProc) AddFileProc(Directory + Rec.Name + kPathDelim, ListRef, Rec);
    return;
  }
  if (Masks && !Masks->Matches(Rec.Name)) return;
  if (UpdateList) {
    if (!AddFileProc || !AddFileProc(Directory, ListRef, Rec)) return;
    ++FFilesCount;
    FFilesSize += Rec.Size;
    if (OnScanFile) OnScanFile(*this, Rec.Name, FFilesCount, FFilesSize);
  } else {
    ++FFilesCount;
    FFilesSize += Rec.Size;
  }
}

bool TqmxFileScan::AddFile(const std::string& Directory, void* List, const TSearchRec& Rec) {
  (void)List;
  auto item = std::make_unique<TFileObject>();
  if (Rec.Attr & faDirectory) {
    item->Dir = Directory;
  } else {
    item->FileName = Rec.Name;
    item->Dir = AppendSlash(Directory);
  }
  item->SetSize(Rec.Size);
  item->Attr = Rec.Attr;
  item->DosDateTime = Rec.DosTime;  // already local time
  FList.Add(std::move(item));
  return true;
}

std::uint32_t TqmxFileScan::AttributesToWindows(TqmxFileAttributes set) {
  std::uint32_t w = 0;
  if (set.Has(fsReadOnly)) w |= faReadOnly;
  if (set.Has(fsHidden)) w |= faHidden;
  if (set.Has(fsSysFile)) w |= faSysFile;
  if (set.Has(fsVolumeID)) w |= faVolumeID;
  if (set.Has(fsDirectory)) w |= faDirectory;
  if (set.Has(fsArchive)) w |= faArchive;
  if (set.Has(fsCompressed)) w |= faCompressed;
  if (set.Has(fsEncrypted)) w |= faEncrypted;
  return w;
}

bool TqmxFileScan::AttributeTest(TqmxFileAttributes set, std::uint32_t attr, bool include) {
  if (include && (attr & faNotContentIndexed)) return true;
  return (set.Has(fsEncrypted) && (attr & faEncrypted)) ||
         (set.Has(fsArchive) && (attr & faArchive)) ||
         (set.Has(fsZeroAttr) && (attr == 0 || attr == faNormal)) ||
         (set.Has(fsDirectory) && (attr & faDirectory)) ||
         (set.Has(fsReadOnly) && (attr & faReadOnly)) || (set.Has(fsHidden) && (attr & faHidden)) ||
         (set.Has(fsSysFile) && (attr & faSysFile)) ||
         (set.Has(fsCompressed) && (attr & faCompressed));
}

}  // namespace qmx
