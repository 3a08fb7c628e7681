#include "archive/codec/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <system_error>

#include "archive/platform/ui_hooks.h"

namespace qmx {

// ---------------------------------------------------------------- TStream

std::int64_t TStream::GetSize() {
  const std::int64_t pos = Seek(0, soFromCurrent);
  const std::int64_t size = Seek(0, soFromEnd);
  Seek(pos, soFromBeginning);
  return size;
}

void TStream::ReadBuffer(void* Buffer, std::int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, std::int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EStreamError("Stream write error");
}

// ---------------------------------------------------------------- TStream32

bool* TStream32::BindCopyCancel() {
  if (OwnerCancel)
    CopyCancel = OwnerCancel;
  else if (!CopyCancel)
    CopyCancel = &no_cancel_;
  return CopyCancel;
}

std::int64_t TStream32::CopyInChunks(TStream32& Source, std::int64_t Count, std::int64_t Chunk,
                                     const bool* Cancel) {
  if (Count == 0) {
    Source.SetPosition(0);
    Count = Source.Size();
  }
  if (Count <= 0) return 0;
  auto buf = std::make_unique_for_overwrite<std::uint8_t[]>(
      static_cast<std::size_t>(std::min(Count, Chunk)));
  std::int64_t done = 0;
  while (Count > 0) {
    const std::int64_t n = std::min(Count, Chunk);
    ProcessMessages();
    if (Cancel && *Cancel) break;
    Source.ReadBuffer(buf.get(), n);
    WriteBuffer(buf.get(), n);
    Count -= n;
    done += n;
  }
  return done;
}

std::int64_t TStream32::CopyFrom(TStream32& Source, std::int64_t Count) {
  ActiveProgress = OwnerProgress;
  return CopyInChunks(Source, Count, kCopyChunk, BindCopyCancel());
}

void TStream32::DoProgress(TStream32& Sender) {
  if (Sender.ActiveProgress) Sender.ActiveProgress(Sender);
}

// ---------------------------------------------------------------- THandleStream32

std::int64_t THandleStream32::RawRead(void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<std::uint8_t*>(Buffer);
  std::int64_t done = 0;
  // A regular file may still return short counts (signals, pipes); keep going
  // until the end of the data so callers see whole buffers.
  while (done < Count) {
    const std::int64_t n = FileRead(handle_, p + done, Count - done);
    if (n < 0) return done;
    if (n == 0) break;
    done += n;
  }
  return done;
}

std::int64_t THandleStream32::Read(void* Buffer, std::int64_t Count) {
  const std::int64_t n = RawRead(Buffer, Count);
  if (n > 0 && ReadHook) {
    if (BytesToDo) *BytesToDo -= Count;
    ReadHook(*this);
  }
  return n;
}

std::int64_t THandleStream32::Write(const void* Buffer, std::int64_t Count) {
  if (Count <= 0) return 0;
  const auto* p = static_cast<const std::uint8_t*>(Buffer);
  std::int64_t done = 0;
  while (done < Count) {
    const std::int64_t n = FileWrite(handle_, p + done, Count - done);
    if (n <= 0) return done;
    done += n;
  }
  return done;
}

std::int64_t THandleStream32::Seek(std::int64_t Offset, int Origin) {
  return FileSeek(handle_, Offset, Origin);
}

std::int64_t THandleStream32::GetSize() {
  return handle_ < 0 ? -1 : FileSizeOf(handle_);
}

void THandleStream32::SetSize(std::int64_t NewSize) {
  Seek(NewSize, soFromBeginning);
  if (!FileTruncate(handle_, NewSize)) {
    const int err = LastOsError();
    throw std::system_error(err, std::generic_category(), "Stream size error");
  }
}

// ---------------------------------------------------------------- TFileStream32

TFileStream32::TFileStream32(const std::string& FileName, std::uint16_t Mode)
    : THandleStream32(-1), file_name_(FileName) {
  if (FileName.empty()) return;
  if (Mode == kCreateMode)
    handle_ = FileCreate(FileName);
  else
    handle_ = FileOpen(FileName, static_cast<std::uint16_t>(Mode & 0x0003));
  buffered_ = handle_ >= 0 && Mode != kCreateMode && (Mode & 0x0003) == fmOpenRead;
}

std::int64_t TFileStream32::FillAt(std::int64_t pos) {
  if (rbuf_.empty()) rbuf_.resize(kReadBuffer);
  const std::int64_t n = FileReadAt(handle_, rbuf_.data(), kReadBuffer, pos);
  rstart_ = pos;
  rlen_ = n > 0 ? n : 0;
  return rlen_;
}

std::int64_t TFileStream32::Read(void* Buffer, std::int64_t Count) {
  if (!buffered_) return THandleStream32::Read(Buffer, Count);
  if (Count <= 0) return 0;
  auto* p = static_cast<std::uint8_t*>(Buffer);
  std::int64_t done = 0;
  while (done < Count) {
    if (pos_ >= rstart_ && pos_ < rstart_ + rlen_) {
      const std::int64_t n = std::min(Count - done, rstart_ + rlen_ - pos_);
      std::memcpy(p + done, rbuf_.data() + (pos_ - rstart_), static_cast<std::size_t>(n));
      done += n;
      pos_ += n;
      continue;
    }
    if (Count - done >= kReadBuffer) {  // large reads go straight to the caller
      const std::int64_t n = FileReadAt(handle_, p + done, Count - done, pos_);
      if (n <= 0) break;
      done += n;
      pos_ += n;
      continue;
    }
    if (FillAt(pos_) == 0) break;
  }
  if (done > 0 && ReadHook) {
    if (BytesToDo) *BytesToDo -= Count;
    ReadHook(*this);
  }
  return done;
}

std::int64_t TFileStream32::Write(const void* Buffer, std::int64_t Count) {
  if (!buffered_) return THandleStream32::Write(Buffer, Count);
  rlen_ = 0;
  if (FileSeek(handle_, pos_, soFromBeginning) < 0) return 0;
  const std::int64_t n = THandleStream32::Write(Buffer, Count);
  if (n > 0) pos_ += n;
  return n;
}

std::int64_t TFileStream32::Seek(std::int64_t Offset, int Origin) {
  if (!buffered_) return THandleStream32::Seek(Offset, Origin);
  std::int64_t np;
  switch (Origin) {
    case soFromBeginning:
      np = Offset;
      break;
    case soFromCurrent:
      np = pos_ + Offset;
      break;
    case soFromEnd:
      np = GetSize() + Offset;
      break;
    default:
      return -1;
  }
  if (np < 0) return -1;
  pos_ = np;
  return pos_;
}

TFileStream32::~TFileStream32() {
  CloseHandle();
}

void TFileStream32::CloseHandle() {
  if (handle_ >= 0) FileClose(handle_);
  handle_ = -1;
}

// ---------------------------------------------------------------- memory streams

void TCustomMemoryStream32::SetPointer(void* Ptr, std::int64_t ASize) {
  memory_ = Ptr;
  size_ = ASize;
}

std::int64_t TCustomMemoryStream32::Read(void* Buffer, std::int64_t Count) {
  if (position_ < 0 || Count <= 0) return 0;
  std::int64_t n = size_ - position_;
  if (n <= 0) return 0;
  n = std::min(n, Count);
  std::memcpy(Buffer, static_cast<std::uint8_t*>(memory_) + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

std::int64_t TCustomMemoryStream32::Seek(std::int64_t Offset, int Origin) {
  switch (Origin) {
    case soFromBeginning:
      position_ = Offset;
      break;
    case soFromCurrent:
      position_ += Offset;
      break;
    case soFromEnd:
      position_ = size_ + Offset;
      break;
    default:
      break;
  }
  return position_;
}

void TCustomMemoryStream32::SaveToStream(TStream& Dest) {
  if (size_ > 0) Dest.WriteBuffer(memory_, size_);
}

bool TCustomMemoryStream32::SaveToFile(const std::string& FileName) {
  TFileStream32 f(FileName, TFileStream32::kCreateMode);
  if (f.Handle() < 0) return false;
  SaveToStream(f);
  return true;
}

TMemoryStream32::~TMemoryStream32() {
  std::free(memory_);
}

void TMemoryStream32::Clear() {
  SetCapacity(0);
  size_ = 0;
  position_ = 0;
}

void* TMemoryStream32::Realloc(std::int64_t& NewCapacity) {
  static const char kOutOfMemory[] = "Out of memory while expanding memory stream";
  if (NewCapacity < 0 ||
      NewCapacity > std::numeric_limits<std::int64_t>::max() - (kMemoryDelta - 1) ||
      static_cast<std::uint64_t>(NewCapacity) > std::numeric_limits<std::size_t>::max() / 2)
    throw EStreamError(kOutOfMemory);
  if (NewCapacity > 0 && NewCapacity != size_)
    NewCapacity = (NewCapacity + (kMemoryDelta - 1)) & ~(kMemoryDelta - 1);
  if (NewCapacity == capacity_) return memory_;
  if (NewCapacity == 0) {
    std::free(memory_);
    return nullptr;
  }
  void* p = std::realloc(memory_, static_cast<std::size_t>(NewCapacity));
  if (!p) throw EStreamError(kOutOfMemory);
  return p;
}

void TMemoryStream32::SetCapacity(std::int64_t NewCapacity) {
  memory_ = Realloc(NewCapacity);
  capacity_ = NewCapacity;
}

void TMemoryStream32::SetSize(std::int64_t NewSize) {
  const std::int64_t old_pos = position_;
  const std::int64_t old_size = size_;
  SetCapacity(NewSize);
  size_ = NewSize;
  // Grown bytes are defined, never left over from the heap.
  if (NewSize > old_size)
    std::memset(static_cast<std::uint8_t*>(memory_) + old_size, 0,
                static_cast<std::size_t>(NewSize - old_size));
  if (old_pos > NewSize) Seek(0, soFromEnd);
}

std::int64_t TMemoryStream32::Write(const void* Buffer, std::int64_t Count) {
  if (position_ < 0 || Count <= 0) return 0;
  if (position_ > std::numeric_limits<std::int64_t>::max() - Count)
    throw EStreamError("Out of memory while expanding memory stream");
  const std::int64_t end = position_ + Count;
  if (end > size_) {
    if (end > capacity_) SetCapacity(end);
    if (position_ > size_)
      std::memset(static_cast<std::uint8_t*>(memory_) + size_, 0,
                  static_cast<std::size_t>(position_ - size_));
    size_ = end;
  }
  std::memcpy(static_cast<std::uint8_t*>(memory_) + position_, Buffer,
              static_cast<std::size_t>(Count));
  position_ = end;
  return Count;
}

void TMemoryStream32::LoadFromStream(TStream& Source) {
  Source.SetPosition(0);
  const std::int64_t n = Source.Size();
  SetSize(n);
  if (n > 0) Source.ReadBuffer(memory_, n);
  position_ = 0;
}

bool TMemoryStream32::LoadFromFile(const std::string& FileName) {
  TFileStream32 f(FileName, fmOpenRead);
  if (f.Handle() < 0) return false;
  LoadFromStream(f);
  return true;
}

std::int64_t ReadStreamAt(TStream& s, std::int64_t pos, void* buf, std::int64_t n) {
  if (pos < 0 || n <= 0) return 0;
  try {
    if (s.Seek(pos, soFromBeginning) != pos) return 0;
    auto* p = static_cast<std::uint8_t*>(buf);
    std::int64_t got = 0;
    while (got < n) {
      std::int64_t r = s.Read(p + got, n - got);
      if (r <= 0) break;
      got += r;
    }
    return got;
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace qmx
