// TCustomCClass, the compression framework, and TCompBase, the base of every
// writer. The framework builds a new archive from files on disk and, when
// the archive exists, from the entries of the old one: it scans for files,
// decides per file and per old entry what happens according to Switch, asks
// the application about replacements, duplicates and renames, writes the new
// archive into a temporary file or memory and moves it over ArchiveFile.
//
// A writer supplies the format through the virtual hooks below: its header
// record, how a new entry is written (layout, compression, encryption: all
// the format's own), how old entries are read and copied, and how the
// directory and the end of the archive are written.
//
// A run that ends by a raised error or by Cancel never replaces the old
// archive, and sources of a swMove are deleted only once the new archive is
// in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "archive/base/work_lists.h"
#include "archive/base/zip_common.h"
#include "archive/platform/files.h"

namespace qmx {

class TqmxFileScan;

enum TSwitch : std::uint8_t { swAdd, swRefresh, swMove, swDelete, swRead };

enum TCompressMethod : std::uint8_t {
  cmStore,
  cmDeflate,
  cmFuse,
  cmFrozen5,
  cmFrozen6,
  cmMsZip,
  cmTarred,
  cmTarGzip
};

// Set of TCompressMethod values, bit n for ordinal n.
class TCompressMethods {
 public:
  constexpr TCompressMethods() = default;
  constexpr TCompressMethods(std::initializer_list<TCompressMethod> items) {
    for (auto m : items) bits_ |= static_cast<std::uint16_t>(1u << m);
  }
  constexpr bool Has(TCompressMethod m) const { return (bits_ >> m) & 1u; }
  constexpr bool Empty() const { return bits_ == 0; }

 private:
  std::uint16_t bits_ = 0;
};

// Date, sizes and attributes of an entry, as LoadEntryHeader reports them
// (the 24 bytes the framework keeps of the writer's buffer).
struct TEntryHeaderInfo {
  std::uint32_t DosDate = 0;
  std::int64_t Size = 0;        // uncompressed
  std::int64_t PackedSize = 0;  // compressed
  std::uint32_t Attributes = 0;
};

using TWorkList = TCompHeaderObj;

class TCustomCClass : public TZipCommon {
 public:
  // Extensions stored rather than compressed, in their documented order.
  static const TStrings& DefaultStoreFilesOfType();

  TCustomCClass();
  ~TCustomCClass() override;

  // --- properties
  TSwitch Switch = swAdd;
  TCompressMethod CompressMethod() const { return FCompressMethod; }
  // Values outside SupportedMethods() are ignored.
  virtual void SetCompressMethod(TCompressMethod value);
  TCompressMethods SupportedMethods() const { return FSupportedMethods; }
  TDeflateType DeflateType = dtDeflateN;
  const TStrings& StoreFilesOfType() const { return FStoreFilesOfType; }
  virtual void SetStoreFilesOfType(const TStrings& v) { FStoreFilesOfType = v; }
  // Whether a file of that name is stored (its extension, with the dot, is
  // listed; case ignored).
  bool IsStoredType(const std::string& fileName) const;
  const std::string& DefaultExt() const { return FDefaultExt; }
  // ".zipx" style values are cut to a dot and three characters and
  // lower-cased; empty or "." restores the writer's own extension. An
  // ArchiveFile that carried the previous extension gets the new one.
  virtual void SetDefaultExt(const std::string& value);
  const std::string& WriterExt() const { return FWriterExt; }
  const std::string& DefaultDir() const { return FDefaultDir; }
  void SetDefaultDir(const std::string& dir) { FDefaultDir = dir; }
  bool StoreEmptySubDirs = false;
  // Also take files and directories whose names start with "." (skipped by
  // default, as the scanner does).
  bool IncludeDotNames = false;
  bool VerifyBeforeDelete = false;
  // An update that starts from another archive: its entries are read and
  // kept as an old archive's are, and ArchiveFile is written anew (a file
  // already there is replaced). Empty: ArchiveFile itself.
  std::string SourceArchive;
  // Old entries for which this is true (given the stored name) are left
  // out of the new archive, whatever Switch is.
  std::function<bool(const std::string&)> DropOldEntry;

  // Writers: no type detection. With cmTarGzip a ".gz" is dropped and an old
  // tar of that name goes to the trash; a name without extension gets
  // DefaultExt.
  void SetArchiveFile(const std::string& name) override;

  // --- events added by the writers
  TOnScanFileEvent OnFileScanStatus;
  TOnClearDisk OnClearDisk;
  TOnNonWriteableArchive OnNonWriteableArchive;
  TOnRecurseDir OnRecurseDir;
  TOnRenameDupeFile OnRenameDupeFile;
  TOnReplaceFile OnReplaceFile;

  // --- operations; no exception leaves them
  // Runs what Switch selects; the number of files compressed (swDelete: of
  // entries deleted), 0 when cancelled or failed.
  virtual int Compress();

  // --- naming and selection
  // Stored name of path by StoredDirNames (platform delimiters kept; the
  // name is converted with NameToArchive when written).
  std::string StoredNameFor(const std::string& path, const std::string& scanRoot) const;
  // Longest leading directory (ending in the delimiter) the FileSpec
  // entries share, compared ignoring case; empty when none.
  static std::string CommonDirectory(const TStrings& fileSpec);
  // Whether ExcludeSpec rules the file out (directory with delimiter).
  bool IsExcluded(const std::string& directory, const std::string& name,
                  const std::string& scanRoot) const;
  // Selection writers apply to old entries; fires OnExcludeFile.
  bool IsEntryInSpec(const std::string& storedName, const TStrings& fileSpec,
                     const TStrings& excludeSpec);
  // doFinal deletes, doAllowUndo moves to the trash; true when it is gone.
  static bool DeleteFileWithOptions(const std::string& path, TDeleteOptions option);
  // Whether an existing archive may be rewritten (omSkip: never).
  bool CheckWriteable(const std::string& archive);

  // --- run state
  int FilesCompressed() const { return FFilesCompressed; }
  int EntriesDeleted() const { return FEntriesDeleted; }
  bool ArchiveIsNew() const { return FArchiveIsNew; }
  std::int64_t DataStart() const { return FDataStart; }
  const std::string& ScanRoot() const { return FScanRoot; }
  const TStrings& MovedFiles() const { return FMovedFiles; }
  // The new archive was moved over ArchiveFile by the last run.
  bool ArchiveReplaced() const { return FArchiveReplaced; }
  // The writer's temporary archive of the running update (empty with
  // cmInMemory or outside a run).
  const std::string& TempArchiveName() const { return FTempArchiveName; }

  // Stored name of a disk path with the current scan root (FileName := it).
  void SetFileName(const std::string& path) override;

  // --- optional operations (25244 unless the writer implements them)
  virtual void SetArchiveComment(const std::string& comment);
  virtual void SetFileComment(std::size_t index, const std::string& comment);
  virtual void ReadComments();
  virtual void WriteComments();
  virtual int UpdateComments();
  virtual int ProcessFile(const std::string& fileName);
  // The codec settings and progress of one entry's data: the run's bytes to
  // do, cancel flag and a fresh running CRC; progress by the file's bytes.
  TCodecParams EntryCodecParams();
  TStreamProgress EntryProgress(std::int64_t fileSize);

  // --- temporary archive: moved, or copied beside ArchiveFile and renamed
  // over it once complete; ArchiveReplaced() tells whether it got there.
  void MoveTempFile(TStream32& Sender, const std::string& ArchiveName, bool SameDrive,
                    const std::string& TempName) override;

 protected:
  // --- the run; a writer may replace CompressEntries as a whole
  virtual void CompressEntries(TWorkList& list);
  // Drive check of ArchiveFile before a run (disk manager); false refuses.
  virtual bool CheckArchiveDrive() { return CheckDriveOf(FArchiveFile); }
  // Bytes of a self-extractor stub in front of the old archive's data
  // (0 for a plain archive); they are copied unchanged.
  virtual std::int64_t SelfExtractorStubLength();

  // --- what a writer supplies
  // Size and address of the writer's current header record.
  virtual int GetHeadSize();
  virtual std::uint8_t* GetHeadPtr();
  // Prepares the header record (a copy of GetHeadPtr) of a newly listed
  // file: time stamp, size, signature.
  virtual void InitLocalHeader(TByteBlock& header, const TSearchRec& info) {
    (void)header;
    (void)info;
  }
  // Clears the current header record and fills its fixed fields; called by
  // a writer's own CompressFile before each new entry.
  virtual void ResetLocalHeader(std::size_t index) { (void)index; }
  // Final header values of the entry just written.
  virtual void FinishLocalHeader(std::int64_t packedSize, std::int64_t unpackedSize) {
    (void)packedSize;
    (void)unpackedSize;
  }
  // Directory record of a new entry after it was written.
  virtual void MakeCentralHeader(std::size_t index, std::uint32_t attributes, TWorkList& list) {
    (void)index;
    (void)attributes;
    (void)list;
  }
  // Enters every old entry into the list: state ceKeep, or ceDelete when
  // swDelete selects it (IsEntryInSpec). The old archive is at DataStart();
  // a self-extractor stub before it was already copied to the new archive.
  virtual void ReadDirectory(TStream32& oldArchive, TWorkList& list) {
    (void)oldArchive;
    (void)list;
  }
  // Loads the entry's block into the current header record and reports the
  // entry's date, sizes and attributes.
  virtual void LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) {
    (void)block;
    (void)index;
    (void)info;
  }
  // Byte length of a kept entry in the old archive.
  virtual std::int64_t GetEntryLength(std::size_t index) {
    (void)index;
    return 0;
  }
  // Copies a kept entry; the old archive is at the entry. Default: copies
  // GetEntryLength bytes unchanged.
  virtual void CopyEntry(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                         std::size_t index);
  // Copies an old entry under its new name (list.Name(index), already in
  // archive form); the old archive is at the entry. The framework records
  // the new position afterwards.
  virtual void CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                                std::size_t index) {
    (void)oldArchive;
    (void)newArchive;
    (void)list;
    (void)index;
  }
  // One new entry from disk: BeginFile, then WriteEntry, then AfterEntry.
  virtual void CompressFile(TStream32& newArchive, std::size_t index, bool& success,
                            TWorkList& list);
  // Asks OnBegin and OnRenameFile; false when the file is not to be taken.
  virtual bool BeginFile(std::size_t index, TWorkList& list);
  // Writes the new entry list.Name(index) (FileName: its stored name) at the
  // end of newArchive and makes its directory record; false when the entry
  // was not written.
  virtual bool WriteEntry(TStream32& newArchive, std::size_t index, TWorkList& list) = 0;
  // Runs after every WriteEntry, also a failed one; writers fire OnEnd here.
  virtual void AfterEntry(std::size_t index, bool success, TWorkList& list) {
    (void)index;
    (void)success;
    (void)list;
  }
  // What swDelete writes when it removed every entry.
  virtual void WriteEmptyArchive(TStream32& newArchive) { (void)newArchive; }
  // Directory and end records; false when they could not be written.
  virtual bool WriteCentralDirectory(TStream32& newArchive, TWorkList& list) {
    (void)newArchive;
    (void)list;
    return true;
  }
  // Runs once the new archive is in place (or was discarded).
  virtual void AfterUpdate(TWorkList& list) { (void)list; }
  // Runs after the scan, before any entry is written: a writer may reorder
  // the list here with MoveListEntry (names no longer count by index).
  virtual void ArrangeEntries(TWorkList& list) { (void)list; }
  // Moves a list entry; the framework's own per-entry state follows it.
  void MoveListEntry(TWorkList& list, std::size_t from, std::size_t to);

  // --- listing (swRead)
  // Positions at the data start and reads the first entry; false when none.
  virtual bool FirstListedEntry(std::string& name, TStream32& archive, TWorkList& list);
  virtual bool NextListedEntry(std::string& name, TStream32& archive);
  // Reads one entry's header for a listing (name into FListName).
  virtual bool ReadEntryHeader(TStream32& archive, std::size_t index, bool first) {
    (void)archive;
    (void)index;
    (void)first;
    return false;
  }
  // Fills the current-entry fields before each OnRead of a listing.
  virtual void ListEntryHook(const std::string& name) { (void)name; }

  // --- services for writers
  // The writer's own extension (".ZIP") and supported methods; constructors.
  void SetWriterDefaults(const std::string& ext, TCompressMethods methods, TCompressMethod method);
  // The scanner's add-file hook.
  bool AddScannedFile(const std::string& directory, void* list, const TSearchRec& rec);
  // Enters a found file into the list (replace and duplicate questions);
  // true when it will be compressed.
  bool AddFileToList(const std::string& path, const TSearchRec& rec, TWorkList& list);
  // Appends a new entry (state ceCompress) for a disk path.
  std::size_t AppendNewEntry(const std::string& path, const TSearchRec& rec, TWorkList& list);

  // --- per-run state
  int FFilesCompressed = 0;
  int FEntriesDeleted = 0;
  bool FSomethingToWrite = false;
  std::string FScanRoot;
  TStrings FMovedFiles;
  bool FArchiveIsNew = true;
  std::int64_t FDataStart = -1;
  int FHeadSize = 0;
  bool FArchiveReplaced = false;
  std::string FTempArchiveName;
  // Old entries marked for deletion when the entry loop starts.
  int FDeleteMarked = 0;
  std::uint32_t FNewestDate = 0;
  // Total size of the files found by the scan (the archive total).
  std::int64_t FScanTotal = 0;

  // --- the entry being written (kept by the writer's WriteEntry)
  std::int64_t FEntryHeadPos = 0;   // where its header record starts
  std::int64_t FEntryDataPos = 0;   // where its data starts
  std::int64_t FEntryFileSize = 0;  // uncompressed
  std::uint32_t FEntryAttr = 0;     // Windows-style attributes of the file
  std::uint32_t FEntryDosDate = 0;
  std::string FEntryStoredName;  // in archive form (NameToArchive)
  bool FEntryStored = false;     // stored rather than deflated
  bool FEntryEncrypted = false;
  bool FEntryIsDir = false;
  std::string FListName;  // name of the entry a listing read

  // The work list of the running update (nullptr outside a run), for the
  // hooks that are given only an index.
  TWorkList* FWorkList = nullptr;
  // The archives of the running update.
  TStream32* FNewArchive = nullptr;
  TFileStream32* FOldArchive = nullptr;

 private:
  bool PrepareDefaultDir();
  void ListArchive();
  void RunEntries(TStream32& newArchive, TWorkList& list);
  void DeleteMovedFiles(TWorkList& list);
  void ScanFiles(TWorkList& list);
  bool AskReplace(std::size_t index, const std::string& path, const TSearchRec& rec,
                  const TEntryHeaderInfo& info, std::uint32_t entryAttr);
  bool AskRenameDupe(std::size_t index, TWorkList& list);
  // Stored names of the list (old entries, new files under their stored
  // name), case ignored: the first index of each.
  void NoteName(const std::string& name, std::size_t index);
  std::ptrdiff_t FindName(const std::string& name) const;
  void AddMoved(const std::string& path, const std::string& stored);
  // An old entry that a file replaces (refresh or OnReplaceFile) becomes
  // that file's entry; its old form is kept until the file is written.
  void TakeOverEntry(std::size_t index, const std::string& path, const TSearchRec& rec,
                     TWorkList& list);
  // Puts a taken-over entry back and copies it; false when there is none.
  bool KeepOldVersion(std::size_t index, TStream32& newArchive, TWorkList& list);

  struct TOldEntry {
    TCompHeader Record;
    std::string Name;
    std::uint32_t Tag = 0;
    TByteBlock Block;
  };
  std::unordered_map<std::size_t, TOldEntry> FTakenOver;

  std::unordered_map<std::string, std::size_t> FNameIndex;
  TStrings FMovedNames;  // stored name of each moved file
  std::size_t FListIndex = 0;

  TCompressMethod FCompressMethod = cmStore;
  TCompressMethods FSupportedMethods;
  TStrings FStoreFilesOfType;
  std::string FDefaultExt;
  std::string FWriterExt;
  std::string FDefaultDir;
};

// The base of every writer component.
class TCompBase : public TCustomCClass {};

}  // namespace qmx
