// What the codec and temporary streams need from the component that owns
// them. TZipCommon implements it; tests may supply their own.
#pragma once

#include <cstdint>
#include <string>

namespace qmx {

class TStream32;

class TStreamOwner {
 public:
  virtual ~TStreamOwner() = default;
  virtual bool& CancelRef() = 0;
  virtual std::int64_t& BytesToDoRef() = 0;
  virtual std::int64_t OwnerArchiveSize() const = 0;
  virtual std::string OwnerTempDir() = 0;
  virtual void DoTmpFileMoveBegin(const std::string& Archive, const std::string& TempFileName,
                                  bool& Cancel) = 0;
  // Moves (same file system) or copies the temporary archive to its final
  // name. A TempName that names no file means the data is Sender itself.
  virtual void MoveTempFile(TStream32& Sender, const std::string& ArchiveName, bool SameDrive,
                            const std::string& TempName) = 0;
  virtual void DoTmpFileMoveEnd() = 0;
  virtual void DoTmpFileProgress(TStream32& Sender) = 0;
  // Reports 25160 "Disk full" for the owner's archive file.
  virtual void ReportDiskFull() = 0;
};

}  // namespace qmx
