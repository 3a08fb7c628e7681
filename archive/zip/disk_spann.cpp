#include "archive/zip/disk_spann.h"

#include <cstdint>

#include "archive/base/disk_manager.h"
#include "archive/base/zip_common.h"
#include "archive/platform/disk_service.h"
#include "archive/platform/files.h"
#include "archive/zip/zip_locate.h"
#include "archive/zip/zip_records.h"

namespace qmx {

bool TDiskSpannObj::LastDiskPresent() {
  TFileStream32 stream(owner_.ArchiveFile(), fmOpenRead);
  if (stream.Handle() < 0) return false;
  TDetectFacts facts;
  DetectWithInstalledDetector(stream, owner_.ArchiveFile(), facts);
  if (!facts.HeaderFlags.Has(htEnding)) return false;
  last_facts_ = std::move(facts);
  return true;
}

bool TDiskSpannObj::DiskMatches(int N, std::int64_t position) {
  TDriveInfo drive;
  const bool haveDrive = DiskService().DriveOf(owner_.ArchiveFile(), drive);
  TFileStream32 stream(owner_.ArchiveFile(), fmOpenRead);
  if (stream.Handle() < 0) {
    owner_.ReportError(owner_.ArchiveFile(), "", owner_.VolumeName(), E_OPEN_FILE);
    return false;
  }
  // A numbered label decides alone: the previous disk may well hold a
  // record at the same position. Without one, a record at the position
  // shows that the disk holds what the reader is after.
  const int labelled = haveDrive ? TDiskManager::VolumeNumberOf(drive.Label) : 0;
  if (labelled > 0) return labelled == N;
  std::uint8_t sig[4];
  if (ReadStreamAt(stream, position, sig, 4) != 4) return false;
  const std::uint32_t w = GetLE32(sig);
  return w == kZipCentralSig || w == kZipLocalSig || (N == 1 && position == 0 && w == kZipSplitSig);
}

bool TDiskSpannObj::AskForDisk(int N) {
  bool cancel = true;
  if (N == 0)
    owner_.OnGetZipLastDisk(owner_, cancel);
  else if (N == 1)
    owner_.OnGetZipFirstDisk(owner_, cancel);
  else
    owner_.OnGetZipNextDisk(owner_, std::to_string(N), cancel);
  return !cancel && !owner_.GetCancel();
}

bool TDiskSpannObj::RequestDisk(std::unique_ptr<TFileStream32>& archive, int N,
                                std::int64_t position) {
  archive.reset();
  const char* eventName = nullptr;
  if (N == 0 && !owner_.OnGetZipLastDisk)
    eventName = "OnGetZipLastDisk";
  else if (N == 1 && !owner_.OnGetZipFirstDisk)
    eventName = "OnGetZipFirstDisk";
  else if (N > 1 && !owner_.OnGetZipNextDisk)
    eventName = "OnGetZipNextDisk";
  bool ok = eventName == nullptr && N >= 0;
  if (eventName)
    owner_.ReportError(owner_.FileName(), eventName, owner_.VolumeName(), E_EVENT_NOT_ASSIGNED);
  while (ok && !(N == 0 ? LastDiskPresent() : DiskMatches(N, position))) ok = AskForDisk(N);
  if (ok) {
    auto stream = std::make_unique<TFileStream32>(owner_.ArchiveFile(), fmOpenRead);
    if (stream->Handle() < 0) {
      owner_.ReportError(owner_.ArchiveFile(), "", owner_.VolumeName(), E_OPEN_FILE);
      ok = false;
    } else {
      ++disk_counter_;
      archive_size_ = stream->Size();
      archive = std::move(stream);
    }
  }
  if (!ok && !owner_.GetCancel()) owner_.SetCancel(true);
  return ok;
}

}  // namespace qmx
