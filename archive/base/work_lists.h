// Work lists of the readers and writers: the entries a reader selected for
// extraction and the entries a writer will put into the new archive. Every
// Add stores its own copy of what it is given, so callers may reuse their
// buffers at once.
//
// References returned by Get and the other accessors stay valid until the
// next Add or Clear, except the record pointers of THeaderObj, which stay
// valid until Clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/base/types.h"

namespace qmx {

using TByteBlock = std::vector<std::uint8_t>;

// List of fixed-size records, each an owned copy.
class THeaderObj {
 public:
  explicit THeaderObj(std::size_t recordSize) : record_size_(recordSize) {}

  std::size_t RecordSize() const { return record_size_; }
  // Copies RecordSize() bytes from record (zeroes when record is null);
  // returns the new index.
  std::size_t Add(const void* record);
  // Throws std::out_of_range for a bad index.
  std::uint8_t* Get(std::size_t index);
  const std::uint8_t* Get(std::size_t index) const;
  void Clear() { records_.clear(); }
  std::size_t Count() const { return records_.size(); }

 private:
  std::size_t record_size_;
  // One allocation per record keeps Get's pointers stable across Add.
  std::vector<TByteBlock> records_;
};

// One entry a reader selected: where its header is, on which volume, and a
// value of the reader's choosing.
struct TUnBaseHeader {
  std::uint32_t OffsetLo = 0;
  std::uint32_t OffsetHi = 0;
  std::uint32_t VolumeNum = 0;
  std::uint32_t Value = 0;

  std::int64_t Offset() const {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(OffsetHi) << 32) | OffsetLo);
  }
  void SetOffset(std::int64_t offset) {
    auto u = static_cast<std::uint64_t>(offset);
    OffsetLo = static_cast<std::uint32_t>(u);
    OffsetHi = static_cast<std::uint32_t>(u >> 32);
  }
};
static_assert(sizeof(TUnBaseHeader) == 16);

// The reader's list of selected entries, each with an optional extra block
// of at most 65535 bytes.
class TUnBaseHeaderObj {
 public:
  // Copies the record and extraLen bytes of extra (none when extra is null).
  std::size_t Add(const TUnBaseHeader& record, const void* extra = nullptr,
                  std::uint16_t extraLen = 0);
  // Throw std::out_of_range for a bad index.
  TUnBaseHeader& Get(std::size_t index) { return records_.at(index); }
  const TUnBaseHeader& Get(std::size_t index) const { return records_.at(index); }
  const TByteBlock& Extra(std::size_t index) const { return extras_.at(index); }
  std::uint16_t ExtraLen(std::size_t index) const {
    return static_cast<std::uint16_t>(extras_.at(index).size());
  }
  void Clear();
  std::size_t Count() const { return records_.size(); }

 private:
  std::vector<TUnBaseHeader> records_;
  std::vector<TByteBlock> extras_;
};

// What the entry loop of a writer does with an entry.
enum TCompEntryState : std::uint8_t {
  ceCompress,  // new: compress from disk
  ceKeep,      // copy from the old archive
  ceDelete,    // leave out
  ceNewName    // copy from the old archive under a new name
};

// A writer's record for one entry.
struct TCompHeader {
  std::uint32_t WriterData = 0;  // left to the writer
  TCompEntryState State = ceCompress;
  // Old position while listed, position in the new archive once written.
  std::int64_t Position = 0;
  std::uint16_t UnpackedSizeHi = 0;  // size bits 32-47
  std::uint16_t PackedSizeHi = 0;    // compressed size bits 32-47
  bool EncryptHeaders = false;
  TEncryptionMethod EncryptionMethod = emNone;
  std::string Comment;  // file comment
  TByteBlock Extra;     // extra field of the directory record, at most 65535 bytes

  std::uint16_t ExtraLen() const { return static_cast<std::uint16_t>(Extra.size()); }
};

// Bits 32-47 of a 64-bit size, as the record keeps them.
constexpr std::uint16_t SizeBits32To47(std::uint64_t size) {
  return static_cast<std::uint16_t>(size >> 32);
}
constexpr std::uint64_t JoinSize(std::uint32_t low, std::uint16_t bits32To47) {
  return (static_cast<std::uint64_t>(bits32To47) << 32) | low;
}

// The writer's work list: per entry a record, a name (disk path of a file to
// add until it is written, then its stored name), a 32-bit tag (scan root
// length of a file to add) and a block (the writer's header record).
class TCompHeaderObj {
 public:
  // Copies everything; throws std::length_error when record.Extra is longer
  // than its 16-bit length allows.
  std::size_t Add(const TCompHeader& record, const std::string& name, std::uint32_t tag,
                  const void* block = nullptr, std::size_t blockLen = 0);

  // All accessors throw std::out_of_range for a bad index.
  TCompHeader& Get(std::size_t index) { return records_.at(index); }
  const TCompHeader& Get(std::size_t index) const { return records_.at(index); }

  const std::string& Name(std::size_t index) const { return names_.at(index); }
  void SetName(std::size_t index, const std::string& name) { names_.at(index) = name; }
  const TStrings& Names() const { return names_; }
  // First entry with that name, -1 when none. Names compare ignoring ASCII
  // case by default, as stored names do on the systems archives come from.
  std::ptrdiff_t IndexOfName(const std::string& name, bool ignoreCase = true) const;

  std::uint32_t Tag(std::size_t index) const { return tags_.at(index); }
  void SetTag(std::size_t index, std::uint32_t tag) { tags_.at(index) = tag; }

  TByteBlock& Block(std::size_t index) { return blocks_.at(index); }
  const TByteBlock& Block(std::size_t index) const { return blocks_.at(index); }
  void SetBlock(std::size_t index, const void* block, std::size_t blockLen);

  // Moves the entry at from to position to; the ones between shift by one.
  void Move(std::size_t from, std::size_t to);

  void Clear();
  std::size_t Count() const { return records_.size(); }

 private:
  std::vector<TCompHeader> records_;
  TStrings names_;
  std::vector<std::uint32_t> tags_;
  std::vector<TByteBlock> blocks_;
};

}  // namespace qmx
