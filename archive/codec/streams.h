// The stream family every component reads and writes through: an abstract
// byte stream, the 64-bit stream with the owner hooks (progress, cancel,
// bytes-to-do, read hook, move callbacks), file-handle streams and memory
// streams.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/platform/files.h"

namespace qmx {

class TStream32;
class TStreamOwner;

// Raised by ReadBuffer/WriteBuffer on short I/O and by memory streams that
// cannot grow.
class EStreamError : public std::runtime_error {
 public:
  explicit EStreamError(const std::string& msg) : std::runtime_error(msg) {}
};

using TStreamProgress = std::function<void(TStream32&)>;

class TStream {
 public:
  virtual ~TStream() = default;

  virtual std::int64_t GetSize();
  // A stream that cannot change its size ignores the request.
  virtual void SetSize(std::int64_t NewSize) { (void)NewSize; }
  // Both return the number of bytes moved; 0 or less means nothing moved.
  virtual std::int64_t Read(void* Buffer, std::int64_t Count) = 0;
  virtual std::int64_t Write(const void* Buffer, std::int64_t Count) = 0;
  // Origin is soFromBeginning, soFromCurrent or soFromEnd; returns the new
  // position (or a class-specific value, see the codec streams).
  virtual std::int64_t Seek(std::int64_t Offset, int Origin) = 0;

  std::int64_t Position() { return Seek(0, soFromCurrent); }
  void SetPosition(std::int64_t Pos) { Seek(Pos, soFromBeginning); }
  std::int64_t Size() { return GetSize(); }

  // Throw EStreamError unless exactly Count bytes move.
  void ReadBuffer(void* Buffer, std::int64_t Count);
  void WriteBuffer(const void* Buffer, std::int64_t Count);
};

class TStream32 : public TStream {
 public:
  static constexpr std::int64_t kCopyChunk = 131072;

  // Copies Count bytes of Source into this stream (0: rewind Source and copy
  // all of it). Pumps messages and polls the cancel flag before each chunk;
  // returns the bytes copied.
  virtual std::int64_t CopyFrom(TStream32& Source, std::int64_t Count);

  // Calls Sender's active progress handler, if any.
  virtual void DoProgress(TStream32& Sender);

  TStreamProgress OwnerProgress;      // copied into ActiveProgress by CopyFrom
  bool* CopyCancel = nullptr;         // the flag CopyFrom polls
  TStreamProgress ActiveProgress;     // what DoProgress calls
  bool* OwnerCancel = nullptr;        // the owner's cancel flag
  std::int64_t* BytesToDo = nullptr;  // the owner's bytes-to-do counter
  TStreamProgress ReadHook;           // after reads on handle and temp streams
  TStreamOwner* Owner = nullptr;      // move callbacks of the temp streams

 protected:
  // The cancel flag CopyFrom should poll: the owner's, else one that is
  // never set.
  bool* BindCopyCancel();
  // The copy loop shared by the CopyFrom variants: Count 0 rewinds Source
  // and takes all of it; messages are pumped and Cancel polled before each
  // chunk.
  std::int64_t CopyInChunks(TStream32& Source, std::int64_t Count, std::int64_t Chunk,
                            const bool* Cancel);

 private:
  bool no_cancel_ = false;
};

class THandleStream32 : public TStream32 {
 public:
  explicit THandleStream32(int AHandle) : handle_(AHandle) {}

  std::int64_t GetSize() override;
  void SetSize(std::int64_t NewSize) override;
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, int Origin) override;

  int Handle() const { return handle_; }

 protected:
  // OS read without the hook; 0 on failure.
  std::int64_t RawRead(void* Buffer, std::int64_t Count);
  int handle_;
};

class TFileStream32 : public THandleStream32 {
 public:
  static constexpr std::uint16_t kCreateMode = 0xFFFF;

  // Mode 0xFFFF creates (truncates) the file, anything else opens it with
  // that access mode (sharing bits are ignored). Failure leaves Handle() < 0.
  TFileStream32(const std::string& FileName, std::uint16_t Mode);
  ~TFileStream32() override;
  TFileStream32(const TFileStream32&) = delete;
  TFileStream32& operator=(const TFileStream32&) = delete;

  const std::string& FileName() const { return file_name_; }

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, int Origin) override;

 protected:
  void CloseHandle();
  std::string file_name_;

 private:
  // Archives are read in many small pieces (headers, names, extra fields);
  // a stream opened for reading serves them from one buffer filled by
  // positioned reads, so a seek costs no system call.
  static constexpr std::int64_t kReadBuffer = 65536;
  std::int64_t FillAt(std::int64_t pos);
  bool buffered_ = false;
  std::vector<std::uint8_t> rbuf_;
  std::int64_t rstart_ = 0;  // file offset of rbuf_[0]
  std::int64_t rlen_ = 0;    // valid bytes in rbuf_
  std::int64_t pos_ = 0;     // logical position
};

class TCustomMemoryStream32 : public TStream32 {
 public:
  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t Seek(std::int64_t Offset, int Origin) override;
  // The block is not owned here, so nothing can be written into it.
  std::int64_t Write(const void*, std::int64_t) override { return 0; }

  void* Memory() const { return memory_; }
  void SaveToStream(TStream& Dest);
  bool SaveToFile(const std::string& FileName);

 protected:
  void SetPointer(void* Ptr, std::int64_t ASize);
  void* memory_ = nullptr;
  std::int64_t size_ = 0;
  std::int64_t position_ = 0;
};

class TMemoryStream32 : public TCustomMemoryStream32 {
 public:
  static constexpr std::int64_t kMemoryDelta = 8192;

  TMemoryStream32() = default;
  ~TMemoryStream32() override;
  TMemoryStream32(const TMemoryStream32&) = delete;
  TMemoryStream32& operator=(const TMemoryStream32&) = delete;

  void SetSize(std::int64_t NewSize) override;
  std::int64_t Write(const void* Buffer, std::int64_t Count) override;

  void Clear();
  std::int64_t Capacity() const { return capacity_; }
  void LoadFromStream(TStream& Source);
  bool LoadFromFile(const std::string& FileName);

 protected:
  // Returns the block for NewCapacity bytes (nullptr for 0); throws
  // EStreamError when memory runs out.
  virtual void* Realloc(std::int64_t& NewCapacity);
  void SetCapacity(std::int64_t NewCapacity);

 private:
  std::int64_t capacity_ = 0;
};

// Reads up to n bytes at pos into buf and returns how many arrived: 0 for a
// position outside the stream or a stream that fails. Never throws.
std::int64_t ReadStreamAt(TStream& s, std::int64_t pos, void* buf, std::int64_t n);

}  // namespace qmx
