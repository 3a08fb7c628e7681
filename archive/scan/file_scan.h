// TqmxFileScan: finds the files a writer is to compress. It walks
// directories (or looks patterns up directly), filters entries by their
// Windows-style attributes and by wildcard masks, and hands every accepted
// entry to an add-file hook, keeping a running count and total size.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/platform/file_attributes.h"
#include "archive/platform/files.h"
#include "archive/scan/file_mask.h"
#include "archive/scan/files_list.h"
#include "archive/scan/string_list.h"

namespace qmx {

enum TfsScanOptions : std::uint8_t { soScanDir, soScanDrvs };

class TqmxFileScan {
 public:
  using TOnScanFileEvent = std::function<void(TqmxFileScan& Sender, const std::string& FileName,
                                              int FilesCount, std::int64_t FilesSize)>;
  using TOnFinishedEvent =
      std::function<void(TqmxFileScan& Sender, int FilesCount, std::int64_t FilesSize)>;
  using TOnRootDirChange = std::function<void(TqmxFileScan& Sender, const std::string& Dir)>;
  using TOnRecurseDir = std::function<void(TqmxFileScan& Sender, const std::string& Directory)>;
  // (directory with trailing delimiter, opaque list, found entry) -> taken.
  using TAddFileHook =
      std::function<bool(const std::string& Directory, void* List, const TSearchRec& Rec)>;
  // Roots scanned by soScanDrvs.
  using TDriveRootsHook = std::function<TStrings()>;

  TqmxFileScan();
  virtual ~TqmxFileScan() = default;
  TqmxFileScan(const TqmxFileScan&) = delete;
  TqmxFileScan& operator=(const TqmxFileScan&) = delete;

  // Runs one scan. OnFinished is raised at its end in every case; no
  // exception leaves it (see LastError).
  virtual void Activate();
  // Sets the cancel flag; the scan stops at the next entry or group.
  virtual void CancelScan();
  // AttrMask is the Windows form of Attributes; it is passed along only.
  virtual void ScanDispatch(const std::string& Directory, std::uint32_t AttrMask,
                            const TMaskCollection& Masks);
  // Default add-file hook: records the entry in the internal list.
  virtual bool AddFile(const std::string& Directory, void* List, const TSearchRec& Rec);

  // --- properties
  // Assigning copies the list and empties MaskString.
  const TStrings& FileSpec() const { return FFileSpec; }
  void SetFileSpec(const TStrings& masks);
  // Always ends with the delimiter unless empty. Defaults to the current
  // directory at construction; each FileSpec group overwrites it.
  const std::string& RootDir() const { return FRootDir; }
  void SetRootDir(const std::string& dir);
  // Comma-separated masks used with RootDir; "*" by default.
  const std::string& MaskString() const { return FMaskString; }
  void SetMaskString(const std::string& masks) { FMaskString = masks; }
  TqmxSortOptions Sorted() const { return FList.SortOption(); }
  // Re-sorts the list when the option changed; raises OnFinished whenever
  // the list is not empty.
  void SetSorted(TqmxSortOptions option);

  bool RecurseDirs = true;
  bool IncludeHiddenDirs = false;
  // Names starting with "." are passed over; a caller that must keep every
  // file (the converter's work directory) turns this off.
  bool SkipDotNames = true;
  TqmxFileAttributes Attributes{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted};
  TqmxFileAttributes AttributesEx{};
  TfsScanOptions ScanOptions = soScanDir;
  bool UpdateList = true;

  // --- events
  TOnScanFileEvent OnScanFile;
  TOnFinishedEvent OnFinished;
  TOnRootDirChange OnRootDirChange;
  TOnRecurseDir OnRecurseDir;

  // --- hooks set by an owning component
  // Starts out calling AddFile; an empty hook records nothing.
  TAddFileHook AddFileProc;
  void* ListRef = nullptr;  // passed to AddFileProc untouched
  // Starts out returning {"/"}.
  TDriveRootsHook DriveRoots;

  // --- cancel
  bool GetCancel() const { return *FCancelRef; }
  void SetCancel(bool value) { *FCancelRef = value; }
  // Points the cancel flag at a flag shared with other objects (nullptr: own flag).
  void ShareCancel(bool* flag) { FCancelRef = flag ? flag : &FCancel; }
  bool* CancelFlagPtr() const { return FCancelRef; }

  // --- results of the last scan
  int FilesCount() const { return FFilesCount; }
  std::int64_t FilesSize() const { return FFilesSize; }
  const TFilesList& FilesList() const { return FList; }
  TFilesList& FilesList() { return FList; }
  // Message of the exception that ended the last scan; empty when none did.
  const std::string& LastError() const { return FLastError; }

  // Windows attribute word of an attribute set (read-only 1 ... encrypted 0x4000).
  static std::uint32_t AttributesToWindows(TqmxFileAttributes set);
  // Whether attr satisfies set. The include form also accepts every entry
  // marked not-content-indexed (0x2000).
  static bool AttributeTest(TqmxFileAttributes set, std::uint32_t attr, bool include);

 protected:
  void ScanDir(const std::string& Directory, const TMaskCollection& Masks);
  void ScanDrives(const TMaskCollection& Masks);
  // Entries of a directory as find-first/next gives them, sorted by name.
  virtual bool FindEntries(const std::string& Directory, std::vector<TSearchRec>& Entries);

 private:
  void ScanGroups();
  void ScanTree(const std::string& Directory, const TMaskCollection& Masks);
  void ScanPatterns();
  // Attribute filter, masks, hook and counters for one found entry.
  void CheckEntry(const std::string& Directory, const TSearchRec& Rec,
                  const TMaskCollection* Masks);
  std::string DefaultDir() const;

  TStrings FFileSpec;
  std::string FRootDir;
  std::string FMaskString = "*";
  TFilesList FList;
  int FFilesCount = 0;
  std::int64_t FFilesSize = 0;
  bool FCancel = false;
  bool* FCancelRef = &FCancel;
  std::string FLastError;
};

}  // namespace qmx
