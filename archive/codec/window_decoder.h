// Building blocks shared by the Deflate64 and Implode decoders: a bit
// reader that can look ahead, canonical code tables, and an output window
// that doubles as the history for back-references.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "archive/codec/buffer_pool.h"
#include "archive/codec/legacy_io.h"

namespace qmx {

// Result codes of the window decoders.
enum TWindowResult : int {
  wrOk = 0,
  wrBadCounts = 1,    // dynamic header declares too many codes
  wrWriteError = -2,  // the write function took less than offered
  wrInputShort = -3,  // packed data ended before the end of the stream
  wrBadData = -4,     // invalid block type, code or tree
  wrCanceled = -5,
};

// LSB-first bits over a TLegacyInput. Peeking past the end of the input
// yields zero bits; Exhausted() tells when any of them was consumed.
class TPeekBitReader {
 public:
  explicit TPeekBitReader(TLegacyInput& In) : in_(In) {}

  std::uint32_t Peek(int Count) {
    Fill(Count);
    return static_cast<std::uint32_t>(bits_ & ((std::uint64_t{1} << Count) - 1));
  }
  // Only after a Peek of at least Count bits.
  void Drop(int Count) {
    bits_ >>= Count;
    count_ -= Count;
  }
  // Count is 0..32.
  std::uint32_t Bits(int Count) {
    const std::uint32_t v = Peek(Count);
    Drop(Count);
    return v;
  }
  // Discards the bits up to the next byte boundary.
  void Align() { Drop(count_ & 7); }
  // Next whole byte: first from the bit buffer (after Align), then the input.
  bool Byte(std::uint8_t& b);

  // True once padding bits were consumed: the packed data ran out.
  bool Exhausted() const { return count_ < pad_; }
  bool Canceled() const { return in_.Canceled(); }

 private:
  void Fill(int Count) {
    if (count_ >= Count) return;
    // Topping up to a whole word keeps refills out of most decode steps;
    // bytes taken early are still handed out by Byte().
    while (count_ <= 56) {
      std::uint8_t b = 0;
      // Past the end the missing bits read as zero; they sit at the top of
      // the buffer, so consuming any of them shows as count_ < pad_.
      if (!in_.GetByte(b)) pad_ += 8;
      bits_ |= static_cast<std::uint64_t>(b) << count_;
      count_ += 8;
    }
  }

  TLegacyInput& in_;
  std::uint64_t bits_ = 0;
  int count_ = 0;
  int pad_ = 0;
};

// Canonical prefix code with codes of 1..16 bits.
// Codes of at most Width bits decode through one lookup; longer ones are
// walked bit by bit over the per-length counts.
class TCodeTable {
 public:
  static constexpr int kMaxBits = 16;

  // Lengths of 0 mark unused symbols. False when the lengths over-subscribe
  // the code space. Invert complements every code bit as it is read.
  bool Build(const std::uint8_t* Lengths, int Count, int Width, bool Invert = false);
  // The symbol, or -1 for a bit pattern no symbol has.
  int Decode(TPeekBitReader& Bits) const {
    const std::uint32_t entry = fast_[Bits.Peek(width_)];
    if (entry == 0) return DecodeLong(Bits);
    Bits.Drop(static_cast<int>(entry & 31));
    return static_cast<int>(entry >> 5);
  }

 private:
  int DecodeLong(TPeekBitReader& Bits) const;

  int width_ = 0;
  std::uint32_t invert_ = 0;
  // Entry: symbol << 5 | length; 0 marks "longer code" or unused pattern.
  std::vector<std::uint32_t> fast_;
  std::uint16_t counts_[kMaxBits + 1] = {};
  std::vector<std::uint16_t> symbols_;
};

// Output window of Size bytes (a power of two) handed to Write whenever it
// fills and at Finish. Limit (not negative) caps the bytes accepted.
class TWindowWriter {
 public:
  TWindowWriter(std::size_t Size, TLegacyWriteFunc Write, std::int64_t Limit);

  bool Full() const { return limit_ >= 0 && total_ >= limit_; }
  // False on a write failure.
  bool Put(std::uint8_t b) {
    if (Full()) return true;
    win_[pos_++] = b;
    ++total_;
    return pos_ <= mask_ || Flush();
  }
  // Copies Length bytes from Distance back. Bytes before the start of the
  // output read as zero (the Implode rule); Deflate checks Distance first.
  bool Copy(std::uint32_t Distance, std::uint32_t Length);
  // Hands the buffered bytes over; false when the write came up short.
  bool Flush();

  std::int64_t Total() const { return total_; }

 private:
  TPoolBuffer win_;
  std::size_t mask_;
  std::size_t pos_ = 0;    // next write position in the window
  std::size_t start_ = 0;  // first byte not yet handed over
  TLegacyWriteFunc write_;
  std::int64_t limit_;
  std::int64_t total_ = 0;
};

}  // namespace qmx
