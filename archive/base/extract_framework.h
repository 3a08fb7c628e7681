// TCustomDClass, the extraction framework, and TUnBase, the base of every
// reader. The framework owns what is the same for all formats: the run
// frame, opening the archive, entry selection, output paths, overwrite and
// rename questions, passwords, output files with date and attributes, CRC
// verdicts and progress. A reader walks its entries in ReadArchive and
// calls the services below in the per-entry order:
//
//   poll Cancel -> BeginEntry -> ConfirmExtract -> ObtainPassword (encrypted
//   files) -> directory: create it / file: OpenOutput -> decode through
//   WriteBlock -> CloseOutput -> CheckCrc
//
// StartFileEntry/FinishFileEntry and ExtractDirectoryEntry bundle that
// order for readers that need nothing in between.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/base/zip_common.h"

namespace qmx {

// An entry as a listing or a checker sees it, whatever the format: the
// reader fills it before it offers the entry to OnBegin, and before OnEnd
// for an entry it never offers (directories, refused entries).
struct TEntryInfo {
  // False until the reader has described an entry in this run.
  bool Known = false;
  // As the archive's directory records it (the local name may differ).
  std::string Name;
  std::uint64_t PackedSize = 0;
  std::uint64_t UnpackedSize = 0;
  std::uint32_t DosDate = 0;
  // DOS attribute bits.
  std::uint32_t Attributes = 0;
  std::uint32_t Crc = 0;
  std::string MethodName;
  bool Encrypted = false;
  bool IsDirectory = false;
  // Extracted as a plain file that holds the link's target.
  bool IsSymLink = false;
};

// Processor hint for the cabinet library.
enum TCpuType : std::uint8_t { cptAuto, cpt80286, cpt80386, cpt80486 };

class TCustomDClass : public TZipCommon {
 public:
  TCustomDClass();

  // --- properties
  TCpuType CpuType = cptAuto;
  // The value the cabinet library expects: -1 auto, 0 for 80286, 1 for 80386.
  int CpuTypeHint() const;
  bool CreateStoredDirs = false;
  bool RestoreFileAttr = true;
  // Keeps the output file of an entry that failed (CRC, data or size error,
  // cancelled); by default such a file is removed.
  bool KeepBrokenFiles = false;

  // --- events (the reader form of OnFileExists hides the writer form)
  TUnBase_OnFileExists OnFileExists;
  TOnChangeArchive OnChangeArchive;

  // --- current entry
  // Name as stored, after NameToWindows.
  const std::string& StoredName() const { return FStoredName; }
  bool EntryEncrypted() const { return FEntryEncrypted; }
  void SetEntryEncrypted(bool v) { FEntryEncrypted = v; }
  bool PasswordFailed() const { return FPasswordFailed; }
  const TEntryInfo& EntryInfo() const { return FEntryInfo; }

  // --- operations; no exception leaves them
  // Extracts the selected entries; returns how many were extracted.
  int Extract();
  // Decodes and verifies the selected entries without writing anything;
  // returns how many were processed.
  int Test();

  // Entry selection by FileSpec and ExcludeSpec. A FileSpec entry without a
  // "." may get one appended (written back into fileSpec) so that "*"-style
  // masks also cover names without an extension.
  bool IsFileInSpec(const std::string& storedName, TStrings& fileSpec, bool recurse,
                    const TStrings& excludeSpec);
  bool IsFileInSpec(const std::string& storedName) {
    return IsFileInSpec(storedName, FFileSpec, RecurseDirs, FExcludeSpec);
  }

 protected:
  // --- what a reader supplies
  // Walks the archive's entries (archive is empty for types read by an
  // external library).
  virtual void ReadArchive(std::unique_ptr<TFileStream32>& archive) { (void)archive; }
  // Verdict of a decoded file entry: the stored CRC against the running
  // CRC of crcWidth (16 or 32), either as is or inverted. Fires OnEnd, or
  // reports 25151 on a failure when OnEnd is unassigned.
  virtual bool CheckCrc(int crcWidth, std::uint32_t storedCrc);
  // Whether Password deciphers the traditional 12-byte encryption header.
  // The header is a fresh copy on each call and may be changed in place.
  virtual bool VerifyPassword(const std::uint8_t header[12]) {
    (void)header;
    return false;
  }
  // Whether Password fits the AES entry at the archive's position. On a
  // failure the archive must be back where it was.
  virtual bool VerifyAesPassword(TStream& archive) {
    (void)archive;
    return false;
  }
  // Drive check for spanned and multi-volume ZIP archives before the archive
  // is opened; false refuses the run.
  virtual bool CheckArchiveDrive() { return CheckDriveOf(FArchiveFile, false); }

  // --- services
  // Opens ArchiveFile for reading; reports 25192 (no name) or 25235.
  bool OpenArchive(std::unique_ptr<TFileStream32>& archive);
  // The run frame around ReadArchive; frees archive afterwards and returns
  // the count of files processed.
  int RunExtraction(std::unique_ptr<TFileStream32>& archive);

  // Step one of every entry: StoredName and FileName from the name as
  // stored; clears the entry flags and the running CRC.
  void BeginEntry(const std::string& nameAsStored);
  // Accounts a selected entry in the totals the progress is based on.
  void NoteSelectedEntry(std::int64_t packedSize, std::int64_t unpackedSize, std::uint32_t dosDate);

  // OnRenameFile, OnBegin, the overwrite questions. Counts a confirmed file.
  bool ConfirmExtract(bool isDir);
  // Finds a password for the encrypted entry at the archive's position:
  // Password, then Passwords, then OnGetPassword. For the traditional cipher
  // the 12-byte header is read from archive.
  bool ObtainPassword(TStream& archive);
  // After an entry under the traditional cipher failed its check: the next
  // listed password whose header check passes as well (the one-byte check
  // lets about one wrong password in 256 through). The 12-byte header is
  // read again from archive. False when no candidate is left.
  bool ObtainNextPassword(TStream& archive);
  // Creates the output file (nothing for a test run). Refuses, with 25245, a
  // path that would pass through a symbolic link below ExtractDir.
  bool OpenOutput(std::unique_ptr<TFileStream32>& out, const std::string& fileName,
                  const std::string& storedName);
  // Date, close (25138 on failure) and attributes of an output file.
  void CloseOutput(std::unique_ptr<TFileStream32>& out, const std::string& fileName,
                   std::uint32_t attributes, std::uint32_t dosDate);
  // Progress for an entry that is not decoded.
  void SkipEntry(std::int64_t unpackedSize);
  // Takes back the count of a confirmed entry that was not extracted.
  void UncountEntry();
  // Fires OnEnd with the verdict, or reports failCode when OnEnd is
  // unassigned and the verdict failed. A cancelled entry always fails, and
  // a failed entry's output file goes (DiscardBrokenOutput).
  bool ReportVerdict(bool pass, int failCode = E_CRC_FAIL);
  // Removes the output file created for the current entry unless
  // KeepBrokenFiles; for a failure reported without ReportVerdict.
  void DiscardBrokenOutput();
  // An entry given up before or while it is decoded: reason reported with
  // code, its bytes skipped for the progress, a failed verdict (or, without
  // OnEnd, its output removed).
  void RefuseCurrentEntry(int code, const std::string& reason, std::int64_t unpackedSize);
  // BeginEntry for a name already in the system's form (no OEM translation).
  void BeginEntryAsIs(const std::string& name);

  // --- the per-entry order, bundled
  // Confirm, password, output. True: decode into out (empty for a test
  // run). False: the entry was skipped and accounted for.
  bool StartFileEntry(std::unique_ptr<TFileStream32>& out, TStream* archive,
                      std::int64_t unpackedSize, bool encrypted);
  // CloseOutput, then CheckCrc.
  bool FinishFileEntry(std::unique_ptr<TFileStream32>& out, std::uint32_t attributes,
                       std::uint32_t dosDate, int crcWidth, std::uint32_t storedCrc);
  // A directory entry: created when extracting with CreateStoredDirs; the
  // verdict goes to OnEnd.
  bool ExtractDirectoryEntry();

  // False when an existing component of path below ExtractDir is a symbolic
  // link (the last component only with includeLast). Paths outside
  // ExtractDir were chosen by the application and are not checked.
  bool PathStaysInside(const std::string& path, bool includeLast) const;
  // ForceDirs that never creates through a symbolic link below ExtractDir.
  bool SafeForceDirs(const std::string& dir);

  // The entry being reported; see TEntryInfo.
  TEntryInfo FEntryInfo;
  // Where Extract sends data: files, or appended to existing files.
  TOutputTarget FExtractTarget = otFile;
  std::string FStoredName;
  bool FEntryEncrypted = false;
  bool FPasswordFailed = false;
  // Unix mode of the entry (type and permission bits) where its archive
  // records one; 0 otherwise. BeginEntry clears it.
  std::uint32_t FEntryUnixMode = 0;
  // Volume counter for OpenNextVolume; -1 before the first volume switch.
  int FVolumeIndex = -1;
  // The file OpenOutput created for the current entry, until its verdict.
  std::string FCreatedOutput;
  // Passwords that passed the current entry's header check, and where in
  // Passwords the search for another goes on.
  std::vector<std::string> FPasswordsTried;
  std::size_t FNextPassword = 0;

 private:
  int Run(TOutputTarget target);
  std::string AbsoluteExtractDir() const;
  bool ConfirmOverwrite();
  bool TryPassword(TStream& archive, bool aes, const std::uint8_t header[12]);
};

// The base of every reader component.
class TUnBase : public TCustomDClass {};

}  // namespace qmx
