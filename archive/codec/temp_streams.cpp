#include "archive/codec/temp_streams.h"

#include <system_error>

#include "archive/platform/files.h"

namespace qmx {
namespace {

void WireOwner(TStream32& s, TStreamOwner& owner) {
  s.Owner = &owner;
  s.OwnerCancel = &owner.CancelRef();
  s.BytesToDo = &owner.BytesToDoRef();
  s.ReadHook = [o = &owner](TStream32& sender) { o->DoTmpFileProgress(sender); };
}

// Runs the move-begin event and the move, returning the OS error of an
// exception that left them (0 when none did).
int TryMove(TStreamOwner& owner, TStream32& sender, const std::string& final_name, bool same_drive,
            const std::string& temp_name, bool& failed) {
  failed = false;
  try {
    bool& cancel = owner.CancelRef();
    owner.DoTmpFileMoveBegin(final_name, temp_name, cancel);
    if (!cancel) owner.MoveTempFile(sender, final_name, same_drive, temp_name);
    return 0;
  } catch (const std::system_error& e) {
    failed = true;
    return e.code().value();
  } catch (...) {
    failed = true;
    return LastOsError();
  }
}

void ReportIfDiskFull(TStreamOwner& owner, bool failed, int err) {
  if (!failed || !IsDiskFullError(err)) return;
  try {
    owner.ReportDiskFull();
  } catch (...) {
  }
}

std::string DirectoryOf(const std::string& name) {
  const std::string dir = ExtractFilePath(name);
  return dir.empty() ? std::string(".") : dir;
}

}  // namespace

std::string MakeTempFileName(const std::string& Dir) {
  std::string dir = (!Dir.empty() && IsDirectory(Dir)) ? Dir : SystemTempDir();
  if (dir.empty()) return std::string();
  if (!IsDirectory(dir) && !ForceDirs(dir)) return std::string();
  return CreateUniqueTempFile(dir, "qmx");
}

// ---------------------------------------------------------------- TTempFileStream

TTempFileStream::TTempFileStream(TStreamOwner& AOwner, std::uint16_t Mode,
                                 const std::string& FinalName, const std::string& TempDir)
    : TFileStream32(Mode == kCreateMode ? MakeTempFileName(TempDir) : FinalName,
                    Mode == kCreateMode ? static_cast<std::uint16_t>(fmOpenReadWrite) : Mode),
      owner_(AOwner),
      final_name_(FinalName),
      temporary_(Mode == kCreateMode) {
  if (temporary_) temp_name_ = file_name_;
  WireOwner(*this, owner_);
}

TTempFileStream::~TTempFileStream() {
  if (!temporary_) return;  // a plain file stream: the base closes it
  bool failed = false;
  int err = 0;
  const bool opened = handle_ >= 0;
  if (opened && !discard_ && !owner_.CancelRef() && !final_name_.empty()) {
    bool same_drive = false;
    try {
      same_drive = SameFileSystem(temp_name_, DirectoryOf(final_name_));
    } catch (...) {
    }
    CloseHandle();
    err = TryMove(owner_, *this, final_name_, same_drive, temp_name_, failed);
    try {
      if (owner_.OwnerArchiveSize() > kMoveEndThreshold) owner_.DoTmpFileMoveEnd();
    } catch (...) {
    }
  }
  CloseHandle();
  if (!temp_name_.empty()) DeleteFile(temp_name_);
  ReportIfDiskFull(owner_, failed, err);
}

std::int64_t TTempFileStream::Read(void* Buffer, std::int64_t Count) {
  const std::int64_t n = RawRead(Buffer, Count);
  if (ReadHook && BytesToDo && *BytesToDo > 0) {
    *BytesToDo -= Count;
    ReadHook(*this);
  }
  return n;
}

std::int64_t TTempFileStream::CopyFrom(TStream32& Source, std::int64_t Count) {
  return CopyInChunks(Source, Count, kTempChunk, OwnerCancel);
}

// ---------------------------------------------------------------- TTempMemStream

TTempMemStream::TTempMemStream(TStreamOwner& AOwner, std::uint16_t Mode,
                               const std::string& FinalName)
    : owner_(AOwner), final_name_(FinalName), temporary_(Mode == TFileStream32::kCreateMode) {
  WireOwner(*this, owner_);
}

TTempMemStream::~TTempMemStream() {
  if (!temporary_ || discard_ || owner_.CancelRef() || final_name_.empty()) return;
  bool failed = false;
  // There is no file to rename: the owner writes this stream's contents.
  const int err = TryMove(owner_, *this, final_name_, false, kTempName, failed);
  try {
    owner_.DoTmpFileMoveEnd();
  } catch (...) {
  }
  ReportIfDiskFull(owner_, failed, err);
}

std::int64_t TTempMemStream::Read(void* Buffer, std::int64_t Count) {
  const std::int64_t n = TMemoryStream32::Read(Buffer, Count);
  if (ReadHook) {
    if (BytesToDo) *BytesToDo -= Count;
    ReadHook(*this);
  }
  return n;
}

std::int64_t TTempMemStream::CopyFrom(TStream32& Source, std::int64_t Count) {
  return CopyInChunks(Source, Count, kTempChunk, OwnerCancel);
}

}  // namespace qmx
