// Output streams for a new archive: written to a unique temporary file (or
// to memory) and moved to the final name by the owner when the stream is
// destroyed, unless the run was cancelled.
#pragma once

#include <cstdint>
#include <string>

#include "archive/codec/stream_owner.h"
#include "archive/codec/streams.h"

namespace qmx {

// Creates an empty "qmx<hex>.tmp" in Dir (when given and existing), else in
// the system temporary directory, creating missing levels; returns its path,
// empty on failure.
std::string MakeTempFileName(const std::string& Dir);

class TTempFileStream : public TFileStream32 {
 public:
  static constexpr std::int64_t kTempChunk = 100000;
  // Smaller archives are moved without a move-end event.
  static constexpr std::int64_t kMoveEndThreshold = 65536;

  // Mode 0xFFFF: a temporary file in TempDir that becomes FinalName on
  // destruction. Any other mode opens FinalName directly.
  TTempFileStream(TStreamOwner& AOwner, std::uint16_t Mode, const std::string& FinalName,
                  const std::string& TempDir);
  ~TTempFileStream() override;

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t CopyFrom(TStream32& Source, std::int64_t Count) override;

  bool IsTemporary() const { return temporary_; }
  const std::string& TempName() const { return temp_name_; }
  const std::string& FinalName() const { return final_name_; }
  // The destructor then deletes the temporary file without moving it: a
  // failed update must not replace the old archive.
  void Discard() { discard_ = true; }

 private:
  TStreamOwner& owner_;
  std::string final_name_;
  std::string temp_name_;
  bool temporary_;
  bool discard_ = false;
};

class TTempMemStream : public TMemoryStream32 {
 public:
  static constexpr std::int64_t kTempChunk = 100000;
  static constexpr const char* kTempName = "NoName";

  // Mode 0xFFFF: the contents are handed to the owner's MoveTempFile, with
  // this stream as Sender and the temporary name "NoName", on destruction.
  TTempMemStream(TStreamOwner& AOwner, std::uint16_t Mode, const std::string& FinalName);
  ~TTempMemStream() override;

  std::int64_t Read(void* Buffer, std::int64_t Count) override;
  std::int64_t CopyFrom(TStream32& Source, std::int64_t Count) override;

  bool IsTemporary() const { return temporary_; }
  const std::string& FinalName() const { return final_name_; }
  void Discard() { discard_ = true; }

 private:
  TStreamOwner& owner_;
  std::string final_name_;
  bool temporary_;
  bool discard_ = false;
};

}  // namespace qmx
