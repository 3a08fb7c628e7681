// TZipCommon: the root of every archive component. It owns what readers,
// writers, the integrity checker and the converter share: the archive file
// and its detected type, the common properties, the events, the cancel flag,
// progress, elapsed time, the temporary directory, block I/O with CRC and
// ciphers, volume switching, the final move of a temporary archive, and the
// one path by which every error is reported.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "archive/base/detect_facts.h"
#include "archive/base/disk_manager.h"
#include "archive/base/errors.h"
#include "archive/base/events.h"
#include "archive/base/timer.h"
#include "archive/base/types.h"
#include "archive/codec/codec_streams.h"
#include "archive/codec/entry_cipher.h"
#include "archive/codec/stream_owner.h"
#include "archive/codec/streams.h"

namespace qmx {

// Where extracted data goes.
enum TOutputTarget : std::uint8_t { otFile, otNone, otAppend };

using TProgressHandler = std::function<void(std::uint8_t ByFile, std::uint8_t ByArchive)>;

class TZipCommon : public TStreamOwner {
 public:
  TZipCommon();
  ~TZipCommon() override;
  TZipCommon(const TZipCommon&) = delete;
  TZipCommon& operator=(const TZipCommon&) = delete;

  // --- archive file and type
  virtual std::string GetArchiveFile() const { return FArchiveFile; }
  virtual void SetArchiveFile(const std::string& name);
  std::string ArchiveFile() const { return GetArchiveFile(); }
  TArcType ArcType() const { return FArcType; }
  // The value is ignored: the type is detected again from the file.
  virtual void SetArcType(TArcType value);
  std::int64_t ArchivePosition() const { return FArchivePosition; }
  std::int64_t ArchiveSize() const { return FArchiveSize; }
  std::uint32_t ArchiveDate() const { return FArchiveDate; }
  THeaderTypeState HeaderFlags() const { return FHeaderFlags; }
  // What detection learnt in the archive's own format (nullptr when nothing),
  // so its reader need not search again.
  const std::shared_ptr<const TFormatFacts>& FormatFacts() const { return FFormatFacts; }
  char VolumeLetter() const { return FVolumeLetter; }
  int VolumeNumber() const { return FVolumeNumber; }
  // Takes what another component's type detection learnt about the archive
  // (name, size, data position, volume naming, ArcType, the format's own
  // facts and the header flags) instead of detecting again: the integrity
  // checker hands it to its inner reader.
  void AdoptArchiveFacts(const TZipCommon& from);

  // --- common properties
  bool TranslateOemChar = true;
  const TStrings& FileSpec() const { return FFileSpec; }
  void SetFileSpec(const TStrings& v) { FFileSpec = v; }
  TStrings& FileSpecList() { return FFileSpec; }
  const TStrings& ExcludeSpec() const { return FExcludeSpec; }
  void SetExcludeSpec(const TStrings& v) { FExcludeSpec = v; }
  bool RecurseDirs = false;
  TqmxFileAttributes Attributes{fsZeroAttr, fsReadOnly, fsArchive, fsCompressed, fsEncrypted};
  TqmxFileAttributes AttributesEx{};
  bool ConfirmOverwrites = false;
  TOverwriteMode OverwriteMode = omOverwrite;
  TDateAttribute DateAttribute = daFileDate;
  TDeleteOptions DeleteOptions = doAllowUndo;
  const std::string& ExtractDir() const { return FExtractDir; }
  void SetExtractDir(const std::string& dir);
  bool UseStoredDirs = true;
  TStoredDirNames StoredDirNames = sdRelative;
  bool IncludeHiddenDirs = false;
  bool AsciiTranslation = false;
  TCompressionMethod CompressionMethod = cmTempFile;
  TEncryptionMethod EncryptionMethod = emNone;
  std::string Password;
  const TStrings& Passwords() const { return FPasswords; }
  void SetPasswords(const TStrings& v) { FPasswords = v; }
  TStrings& PasswordList() { return FPasswords; }
  int PasswordAttempts = 3;
  std::string TempDir();
  void SetTempDir(const std::string& dir);
  int ZipCmntBufSize() const { return FZipCmntBufSize; }
  void SetZipCmntBufSize(int v);
  bool EncryptHeaders = false;

  // --- events
  TNotifyEvent OnActivate, OnDeactivate, OnTmpFileMoveEnd;
  TOnBegin OnBegin;
  TOnCorruptZipHeader OnCorruptZipHeader;
  TOnDeleteFile OnDeleteFile;
  TOnElapsedTime OnElapsedTime;
  TOnEnd OnEnd;
  TOnError OnError;
  TOnExcludeFile OnExcludeFile;
  TOnFileExists OnFileExists;
  TOnGetPassword OnGetPassword;
  TOnGetZipFirstDisk OnGetZipFirstDisk;
  TOnGetZipLastDisk OnGetZipLastDisk;
  TOnGetZipNextDisk OnGetZipNextDisk;
  TOnInsertDisk OnInsertDisk;
  TOnNestedTarFile OnNestedTarFile;
  TOnNextVolume OnNextVolume;
  TOnProgress OnProgress;
  TOnRenameFile OnRenameFile;
  TOnRead OnRead;
  TOnRemoveTempfile OnRemoveTempfile;
  TOnProgress OnTmpFileProgress;
  TTempFileMoveBegin OnTmpFileMoveBegin;
  TOnDiskError OnDiskInDrvErr, OnDiskWriteProtectErr;

  // --- cancel
  virtual bool GetCancel() const { return *FCancelRef; }
  virtual void SetCancel(bool value);
  bool Cancel() const { return GetCancel(); }
  // Points the cancel flag at a flag shared with other objects (nullptr: own flag).
  void ShareCancel(bool* flag) { FCancelRef = flag ? flag : &FCancel; }
  bool* CancelFlagPtr() { return FCancelRef; }

  // --- errors
  virtual void ReportError(const std::string& FileName, const std::string& ExtendedMsg,
                           const std::string& VolumeID, int ECode);
  // Reports, then throws E_RAISE with the message of ECode unless cancelled.
  virtual void RaiseError(const std::string& FileName, const std::string& ExtendedMsg,
                          const std::string& VolumeID, int ECode);

  // --- names, dates, progress
  virtual TDateTime DosDateToDateTime(std::uint32_t packed) const;
  std::uint32_t ResolveFileDate(std::uint32_t entryDosDate) const;
  std::string MethodName(int method, std::uint16_t flags, bool isDir = false,
                         int aesMethod = -1) const;
  void UpdateProgress(std::int64_t archiveTotal, std::int64_t fileTotal, std::int64_t fileDone);
  void DoProgressEvent(std::uint8_t ByFile, std::uint8_t ByArchive);
  TProgressHandler ProgressHandler;
  std::uint8_t ByFile() const { return FByFile; }
  std::uint8_t ByArchive() const { return FByArchive; }
  const std::string& FileName() const { return FFileName; }
  virtual void SetFileName(const std::string& name);
  const std::string& VolumeName() const { return FVolumeName; }
  int FilesProcessed() const { return FFilesProcessed; }

  // --- archive-type predicates
  virtual bool IsZipType(TArcType t) const;
  static bool IsRealArchive(TArcType t);
  static bool CanExtractType(TArcType t);
  static bool CanTestType(TArcType t);

  // --- block I/O
  bool IsFileOutput() const { return FOutputTarget == otFile; }
  TOutputTarget OutputTarget() const { return FOutputTarget; }
  void SetOutputTarget(TOutputTarget t) { FOutputTarget = t; }
  std::int64_t ReadBlock(TStream& stream, void* buf, std::int64_t count, int crcWidth,
                         bool decrypt);
  std::int64_t WriteBlock(TStream* stream, const void* buf, bool updateCrc, std::int64_t count,
                          int crcWidth);
  // In a test run (nothing written) every block an entry decodes to is
  // also handed here: a caller that wants an entry's bytes in memory.
  std::function<void(const void* buf, std::int64_t count)> TestDataSink;
  virtual std::int64_t WriteDecryptedBlock(TStream* stream, void* buf, bool updateCrc,
                                           std::int64_t count, int crcWidth, bool decrypt);
  virtual std::int64_t WriteEncryptedBlock(TStream* stream, void* buf, bool updateCrc,
                                           std::int64_t count, int crcWidth, bool decrypt);
  // Copies an entry's data unchanged; returns the bytes not copied.
  std::int64_t CopyStoredData(TStream& source, TStream* dest, std::int64_t packedSize,
                              std::int64_t unpackedSize, const std::string& name, bool decrypt,
                              int crcWidth = 32);
  void DecryptBlock(bool decrypt, void* buf, std::int64_t count);
  void UpdateEntryCrc(int crcWidth, const void* buf, std::int64_t count);
  TEntryCrc& EntryCrc() { return FEntryCrc; }
  // The cipher of the current entry (not owned); nullptr when none.
  void SetEntryCipher(TEntryCipher* c) { FEntryCipher = c; }
  TEntryCipher* EntryCipher() const { return FEntryCipher; }

  // --- volumes
  virtual std::string GetVolumeName(const std::string& name, int N) const;
  // Closes the current volume and opens the next one; false when cancelled
  // or missing (both reported).
  virtual bool OpenNextVolume(std::unique_ptr<TFileStream32>& stream, int& volumeNumber,
                              int lastVolume);
  // Asks OnNextVolume for volume volumeNumber until the file name (which
  // the handler may change) exists; false when cancelled or when no handler
  // is assigned (both reported, the run cancelled).
  bool AskForVolume(std::string& name, int volumeNumber);

  // --- temporary archive (TStreamOwner)
  bool& CancelRef() override { return *FCancelRef; }
  std::int64_t& BytesToDoRef() override { return FBytesToDo; }
  std::int64_t OwnerArchiveSize() const override { return FArchiveSize; }
  std::string OwnerTempDir() override { return TempDir(); }
  void DoTmpFileMoveBegin(const std::string& Archive, const std::string& TempFileName,
                          bool& Cancel) override;
  void MoveTempFile(TStream32& Sender, const std::string& ArchiveName, bool SameDrive,
                    const std::string& TempName) override;
  void DoTmpFileMoveEnd() override;
  void DoTmpFileProgress(TStream32& Sender) override;
  void ReportDiskFull() override;

  // Hook for the writers that post-process a finished archive (tar -> .gz).
  virtual void PostProcess(const std::string&) {}

 protected:
  // Classifies the open archive by content through the installed detector
  // and keeps where its data begins and the format's own facts.
  virtual TArcType DetectArcType(TStream32& stream);
  void SetFormatFacts(std::shared_ptr<const TFormatFacts> facts) {
    FFormatFacts = std::move(facts);
  }
  // Derives the multi-volume naming state from the archive's extension.
  void SetVolumeNaming();

  // Resets per-operation state: counters, Cancel, VolumeName, ProgressHandler.
  void ResetOperationState();
  enum class TOperationKind { Extraction, Compression };
  // Runs work inside the operation frame: OnActivate, the timer and
  // OnElapsedTime, OnDeactivate in the documented order; swallows every
  // exception and returns the number of files processed.
  int RunOperation(TOperationKind kind, const std::function<void()>& work);

  // The drive of path present, and writable when forWriting (the disk
  // events may ask for another try); false, reported, refuses the operation.
  bool CheckDriveOf(const std::string& path, bool forWriting = true);
  TDiskManager FDiskManager;

  // Reported as 25270 with the event's name as ExtendedMsg.
  void ReportMissingEvent(const std::string& eventName, const std::string& volume);

  std::string FArchiveFile;
  TArcType FArcType = atNA;
  std::int64_t FArchivePosition = -1;
  std::int64_t FArchiveSize = 0;
  std::uint32_t FArchiveDate = 0x00210020;
  THeaderTypeState FHeaderFlags;
  std::shared_ptr<const TFormatFacts> FFormatFacts;
  char FVolumeLetter = 0;
  int FVolumeNumber = 0;

  TStrings FFileSpec, FExcludeSpec, FPasswords;
  TStrings FExcludedExtensions;
  std::string FExtractDir;
  std::string FTempDir;
  int FZipCmntBufSize = 2000;

  bool FCancel = false;
  bool* FCancelRef = &FCancel;
  std::string FFileName;
  std::string FVolumeName;
  TOutputTarget FOutputTarget = otFile;

  int FFilesProcessed = 0;
  std::int64_t FBytesToDo = 0;
  std::int64_t FTotalUnpacked = 0;
  std::int64_t FTotalPacked = 0;
  std::uint32_t FMaxFileDate = 0;
  std::uint8_t FByFile = 0;
  std::uint8_t FByArchive = 0;

  TEntryCrc FEntryCrc;
  TEntryCipher* FEntryCipher = nullptr;
  TqmxTimer FTimer;
};

}  // namespace qmx
