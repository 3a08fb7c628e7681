// Byte source and byte sink for the decoders of old compression methods
// (ZIP Shrink, Reduce, Implode, Deflate64; LHA and compress later): they
// only see these, so a reader can route reads through its decrypting block
// reads and writes through its CRC-updating block writes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "archive/codec/buffer_pool.h"
#include "archive/codec/streams.h"

namespace qmx {

// Reads up to Count bytes of Source into Buffer; returns the bytes read (0 or
// less: nothing more to read).
using TLegacyReadFunc =
    std::function<std::int64_t(TStream& Source, void* Buffer, std::int64_t Count)>;
// Writes Count bytes; returns the bytes written (anything short is a failure).
using TLegacyWriteFunc = std::function<std::int64_t(const void* Buffer, std::int64_t Count)>;

// Byte source over the packed data of one entry: refills a 32768-byte buffer
// and counts the packed size down. The cancel flag is polled before every
// refill.
class TLegacyInput {
 public:
  static constexpr std::int64_t kBufferSize = 32768;

  // An empty Read reads Source directly.
  TLegacyInput(TStream& Source, std::int64_t PackedSize, TLegacyReadFunc Read = {},
               const bool* Cancel = nullptr);

  // False once the packed size is consumed, the source runs dry or the
  // operation is cancelled.
  bool GetByte(std::uint8_t& b) {
    if (pos_ == len_ && !Refill()) return false;
    b = buf_[pos_++];
    return true;
  }

  // For decoders that take input in blocks: the buffered bytes not yet
  // handed out (refilled when none are left; 0 at the end), of which they
  // then Consume what they used.
  std::int64_t Peek(const std::uint8_t*& p) {
    if (pos_ == len_ && !Refill()) return 0;
    p = buf_.get() + pos_;
    return len_ - pos_;
  }
  void Consume(std::int64_t n) { pos_ += n; }

  bool Canceled() const { return canceled_; }
  // The source ended before the packed size was consumed.
  bool SourceShort() const { return short_; }
  // Packed bytes not yet handed out.
  std::int64_t Remaining() const { return remaining_ + (len_ - pos_); }

 private:
  bool Refill();

  TStream& source_;
  TLegacyReadFunc read_;
  const bool* cancel_;
  std::int64_t remaining_;  // packed bytes not yet read into the buffer
  TPoolBuffer buf_;
  std::int64_t pos_ = 0;
  std::int64_t len_ = 0;
  bool canceled_ = false;
  bool short_ = false;
};

// Delivers the low bits of each byte first.
class TLegacyBitReader {
 public:
  explicit TLegacyBitReader(TLegacyInput& In) : in_(In) {}

  // Count is 1..24. False when the input ends before Count bits are there.
  bool ReadBits(int Count, std::uint32_t& Value) {
    while (count_ < Count) {
      std::uint8_t b;
      if (!in_.GetByte(b)) return false;
      bits_ |= static_cast<std::uint32_t>(b) << count_;
      count_ += 8;
    }
    Value = bits_ & ((1u << Count) - 1);
    bits_ >>= Count;
    count_ -= Count;
    return true;
  }

 private:
  TLegacyInput& in_;
  std::uint32_t bits_ = 0;
  int count_ = 0;
};

// Byte sink: a 32768-byte buffer written out through Write when full and on
// Flush. Limit (when not negative) caps the bytes accepted, so trailing
// bits of the packed data cannot add garbage past the known size.
class TLegacyOutput {
 public:
  static constexpr std::int64_t kBufferSize = 32768;

  explicit TLegacyOutput(TLegacyWriteFunc Write, std::int64_t Limit = -1,
                         const bool* Cancel = nullptr);

  // False when the limit is reached, a write failed or the operation was
  // cancelled at a flush; the byte is not taken then.
  bool Put(std::uint8_t b) {
    if (!AtLimit() && (len_ < kBufferSize || FlushBuffer())) {
      buf_[len_++] = b;
      ++total_;
      return true;
    }
    return false;
  }
  bool Flush() { return FlushBuffer(); }

  bool AtLimit() const { return limit_ >= 0 && total_ >= limit_; }
  bool WriteFailed() const { return failed_; }
  bool Canceled() const { return canceled_; }
  // Bytes accepted so far (written or still buffered).
  std::int64_t Total() const { return total_; }

 private:
  bool FlushBuffer();

  TLegacyWriteFunc write_;
  std::int64_t limit_;
  const bool* cancel_;
  TPoolBuffer buf_;
  std::int64_t len_ = 0;
  std::int64_t total_ = 0;
  bool failed_ = false;
  bool canceled_ = false;
};

}  // namespace qmx
