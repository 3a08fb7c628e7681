// TArcMorph converts one archive into another archive type: it extracts the
// source into a fresh work directory under the temporary directory,
// compresses that directory with the writer of the output type, optionally
// tests the result, and removes every temporary file it made.
//
// The reader, writer and checker live for one run; they share the
// converter's cancel flag and raise the converter's events with themselves
// as Sender. OnCompressBegin receives the real path of each extracted file
// in the work directory, so a handler may change the file before it is
// recompressed.
//
// Unlike the Windows original, a run never changes the current directory:
// the work directory and list file are removed by absolute path.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "archive/base/compress_framework.h"
#include "archive/base/extract_framework.h"
#include "archive/base/format_registry.h"
#include "archive/base/zip_common.h"

namespace qmx {

enum TOutArcMethod : std::uint8_t { amCreateNew, amAddToArc };

// The converter's existence question; no file date, unlike the writer form.
using TArcMorph_OnFileExists = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                                  TOverwriteMode& OverwriteMode)>;

class TArcMorph : public TZipCommon {
 public:
  TArcMorph();
  ~TArcMorph() override;

  // --- properties (ArchiveFile, ArcType, TempDir, Cancel, TranslateOemChar,
  // FileSpec, Passwords, PasswordAttempts, DateAttribute, Attributes and
  // AttributesEx are inherited; the constructor sets the converter's
  // defaults)
  bool IntegrityCheck = true;
  const std::string& NewArchive() const { return FNewArchive; }
  void SetNewArchive(const std::string& v) { FNewArchive = v; }
  TOutArcMethod OutArcMethod() const { return FOutArcMethod; }
  void SetOutArcMethod(TOutArcMethod v) { FOutArcMethod = v; }
  TOutArcType OutArcType() const { return FOutArcType; }
  void SetOutArcType(TOutArcType v) { FOutArcType = v; }

  // --- events (OnError, OnProgress, OnGetPassword, OnNextVolume,
  // OnNestedTarFile, OnRemoveTempfile and OnElapsedTime are inherited)
  TNotifyEvent OnExtractActivate, OnExtractDeactivate;
  TOnBegin OnExtractBegin;
  TOnEnd OnExtractEnd;
  TNotifyEvent OnCompressActivate, OnCompressDeactivate;
  TOnBegin OnCompressBegin;
  TOnEnd OnCompressEnd;
  TNotifyEvent OnIntegrityActivate, OnIntegrityDeactivate;
  TOnIntegrityBegin OnIntegrityBegin;
  TOnIntegrityEnd OnIntegrityEnd;
  TOnIntegrityStatus OnIntegrityStatus;
  // Hides the writer form of TZipCommon.
  TArcMorph_OnFileExists OnFileExists;

  // --- operations
  // Runs the whole conversion; the outcome arrives through the events and
  // Cancel. No exception leaves it.
  void Activate();
  // The name the writer is given: NewArchive, or for tyTarGzip the tar name
  // that a ".tgz" or ".tar.gz" NewArchive implies.
  std::string OutputArchiveName() const;

  // --- run state
  const std::string& ListFile() const { return FListFile; }
  const std::string& WorkDir() const { return FWorkDir; }
  const std::string& WorkDirName() const { return FWorkDirName; }
  bool NestedTarFound() const { return FNestedTarFound; }

  // Reader for a source type, configured as the format table says; nullptr
  // when the converter has none for it.
  static std::unique_ptr<TUnBase> CreateReader(TArcType t);
  // Writer for an output type with its compression method set; nullptr
  // when none is built for it.
  static std::unique_ptr<TCompBase> CreateWriter(TOutArcType t);

 protected:
  // Relays of the reader's OnEnd, OnActivate and OnDeactivate.
  virtual void DoExtractEnd(TZipCommon& Sender, const std::string& FileName, bool CRC_PASS);
  virtual void DoExtractActivate(TZipCommon& Sender);
  virtual void DoExtractDeactivate(TZipCommon& Sender);

  // False unless the reader ran.
  bool ExtractArchive();
  void CompressFiles();
  void TestNewArchive();
  // Removes the directories below dir that the list-file deletions emptied.
  void RemoveSubDirs(const std::string& dir);

 private:
  void Run();
  void CleanUp();
  void CreateListFile();
  void ShowException(const std::string& text);

  std::string FNewArchive;
  TOutArcMethod FOutArcMethod = amCreateNew;
  TOutArcType FOutArcType = tyBh;

  std::string FListFile;
  std::string FWorkDir;
  std::string FWorkDirName;
  std::string FWrittenArchive;
  bool FNestedTarFound = false;
  std::ofstream FListStream;
  bool FTimed = false;
};

}  // namespace qmx
