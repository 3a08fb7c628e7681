// Event signatures of the archive components. An event is a std::function;
// an empty one is unassigned and skipped. Sender is the raising component.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "archive/base/types.h"

namespace qmx {

class TZipCommon;

// Parameters of the cabinet writer's next-cabinet question.
struct TCabParameters {
  std::int64_t MaxCabSize = 0;
  std::int32_t CabNumber = 0;
  std::string CabName;
  std::string CabPath;
  std::string DiskName;
};

using TNotifyEvent = std::function<void(TZipCommon& Sender)>;
using TOnBegin =
    std::function<void(TZipCommon& Sender, const std::string& FileName, int Count, bool& Extract)>;
using TOnEnd = std::function<void(TZipCommon& Sender, const std::string& FileName, bool CRC_PASS)>;
using TOnError =
    std::function<void(TZipCommon& Sender, const std::string& FileName,
                       const std::string& ExtendedMsg, const std::string& VolumeID, int ECode)>;
using TOnProgress =
    std::function<void(TZipCommon& Sender, std::uint8_t ByFile, std::uint8_t ByArchive)>;
using TOnElapsedTime = std::function<void(TZipCommon& Sender, float ElapsedTime)>;
using TOnGetPassword = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                          std::string& Password, bool& TryAgain)>;
// Writer form.
using TOnFileExists = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                         TDateTime FileDate, TOverwriteMode& OverwriteMode)>;
// Reader form.
using TUnBase_OnFileExists =
    std::function<void(TZipCommon& Sender, const std::string& FileName, std::string& NewFileName,
                       TOverwriteMode& OverwriteMode)>;
using TOnRenameFile =
    std::function<void(TZipCommon& Sender, const std::string& FileName, std::string& NewFileName)>;
using TOnRenameDupeFile = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                             std::string& NewFileName, bool& Rename)>;
using TOnReplaceFile = std::function<void(
    TZipCommon& Sender, const std::string& FileName, const std::string& NewFileName, TDateTime Date,
    TDateTime NewDate, std::int64_t FileSize, std::int64_t NewFileSize, int Attr, int NewAttr,
    bool& Replace)>;
using TOnDeleteFile =
    std::function<void(TZipCommon& Sender, const std::string& FileName, int Count, int MaxCount)>;
using TOnExcludeFile = std::function<void(TZipCommon& Sender, const std::string& FileName)>;
using TOnNextVolume = std::function<void(TZipCommon& Sender, std::string& VolumeName, int VolumeID,
                                         bool FExists, bool& Cancel)>;
using TOnInsertDisk =
    std::function<void(TZipCommon& Sender, const std::string& VolumeName, bool& Cancel)>;
using TOnClearDisk =
    std::function<void(TZipCommon& Sender, const std::string& Drive, std::int64_t RequiredSpace,
                       std::int64_t FreeSpace, std::int64_t TotalSpace, bool& Cancel)>;
using TOnDiskError = std::function<void(TZipCommon& Sender, bool& Abort)>;
using TOnGetZipFirstDisk = std::function<void(TZipCommon& Sender, bool& Cancel)>;
using TOnGetZipNextDisk =
    std::function<void(TZipCommon& Sender, const std::string& VolumeName, bool& Cancel)>;
using TOnGetZipLastDisk = std::function<void(TZipCommon& Sender, bool& Cancel)>;
using TOnCorruptZipHeader =
    std::function<void(TZipCommon& Sender, THeaderTypeState HeadFlag, bool& Cancel)>;
using TOnNestedTarFile =
    std::function<void(TZipCommon& Sender, const std::string& FileName, bool& DoUnTar)>;
using TOnNonWriteableArchive =
    std::function<void(TZipCommon& Sender, const std::string& ArchiveFile, bool& WriteToFile)>;
using TOnRead = std::function<void(TZipCommon& Sender, int Offset, int Filenum)>;
using TOnRecurseDir = std::function<void(TZipCommon& Sender, const std::string& Directory)>;
using TOnScanFileEvent = std::function<void(TZipCommon& Sender, const std::string& FileName,
                                            int FilesCount, std::int64_t FilesSize)>;
using TOnRemoveTempfile = std::function<void(TZipCommon& Sender, const std::string& FileName)>;
using TOnChangeArchive =
    std::function<void(TZipCommon& Sender, const std::string& ArchiveName, TArcType ArcType)>;
using TTempFileMoveBegin = std::function<void(TZipCommon& Sender, const std::string& Archive,
                                              const std::string& TempFileName, bool& Cancel)>;
using TOnIntegrityBegin = std::function<void(TZipCommon& Sender, const std::string& FileName)>;
using TOnIntegrityEnd = std::function<void(TZipCommon& Sender, const std::string& FileName)>;
using TOnIntegrityStatus =
    std::function<void(TZipCommon& Sender, const std::string& FileName, bool PassFail)>;
using TGetNextCabinetEvent = std::function<void(TZipCommon& Sender, TCabParameters& CabParameters,
                                                std::string& NewCabFileName,
                                                int PreviousCabEstimatedSize, bool& AbortCreation)>;

}  // namespace qmx
