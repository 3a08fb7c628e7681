// Pieces shared by the LHA decoders: an MSB-first bit reader, canonical
// code tables read MSB-first, and the output window that doubles as the
// history for back-references.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/codec/buffer_pool.h"
#include "archive/codec/legacy_io.h"
#include "archive/codec/window_decoder.h"

namespace qmx::lha {

// Most significant bit first. Past the end of the input the bits read as
// zero; Exhausted() tells when any of them was consumed.
class TBitReader {
 public:
  explicit TBitReader(TLegacyInput& In) : in_(In) {}

  // Count is 0..32.
  std::uint32_t Peek(int Count) {
    if (count_ < Count) Fill();
    return Count == 0 ? 0 : static_cast<std::uint32_t>(bits_ >> (64 - Count));
  }
  // Only after a Peek of at least Count bits.
  void Drop(int Count) {
    bits_ <<= Count;
    count_ -= Count;
  }
  std::uint32_t Bits(int Count) {
    const std::uint32_t v = Peek(Count);
    Drop(Count);
    return v;
  }
  bool Exhausted() const { return count_ < pad_; }
  bool Canceled() const { return in_.Canceled(); }

 private:
  void Fill() {
    while (count_ <= 56) {
      std::uint8_t b = 0;
      // The padding sits below the real bits, so consuming any of it shows
      // as count_ < pad_.
      if (!in_.GetByte(b)) pad_ += 8;
      bits_ |= static_cast<std::uint64_t>(b) << (56 - count_);
      count_ += 8;
    }
  }

  TLegacyInput& in_;
  std::uint64_t bits_ = 0;
  int count_ = 0;
  int pad_ = 0;
};

// Canonical prefix code of 1..16-bit codes, numbered in order of length and
// then symbol, read MSB-first.
class TTable {
 public:
  static constexpr int kMaxBits = 16;

  // Only complete codes are accepted: the block format never produces an
  // over-subscribed or incomplete one (a lone code has its own form).
  bool Build(const std::uint8_t* Lengths, int Count, int Width);
  // Every bit pattern decodes as Symbol, taking no bits.
  void BuildSingle(int Symbol);

  int Decode(TBitReader& Bits) const {
    const std::uint32_t e = fast_[Bits.Peek(width_)];
    if (e & kValid) {
      Bits.Drop(static_cast<int>(e & 31));
      return static_cast<int>((e >> 5) & 0xFFFF);
    }
    return DecodeLong(Bits);
  }

 private:
  static constexpr std::uint32_t kValid = 0x80000000u;
  int DecodeLong(TBitReader& Bits) const;

  int width_ = 0;
  std::vector<std::uint32_t> fast_;
  std::uint16_t counts_[kMaxBits + 1] = {};
  std::vector<std::uint16_t> symbols_;
};

// Output window of Size bytes (a power of two), handed to Write whenever it
// wraps and at Flush. Writing starts at Start; Init fills the window first
// (the history that references before the first byte see). Output stops
// at Limit bytes.
class TWindow {
 public:
  TWindow(std::size_t Size, std::size_t Start, TLegacyWriteFunc Write, std::int64_t Limit,
          const bool* Cancel);

  std::uint8_t* Data() { return win_.get(); }
  bool Full() const { return total_ >= limit_; }
  bool Failed() const { return failed_; }
  bool Canceled() const { return canceled_; }
  std::int64_t Total() const { return total_; }

  // False once the output is complete or a write failed.
  bool Put(std::uint8_t b) {
    win_[pos_++] = b;
    ++total_;
    if (pos_ == size_ && !Wrap()) return false;
    return total_ < limit_;
  }
  // Copies Length bytes from Distance (1..Size) back; false as Put.
  bool Copy(std::size_t Distance, std::int64_t Length) {
    if (Length > limit_ - total_) Length = limit_ - total_;
    std::size_t from = (pos_ - Distance) & mask_;
    const auto n = static_cast<std::size_t>(Length);
    if (pos_ + n < size_ && from + n < size_) {
      std::uint8_t* d = win_.get() + pos_;
      const std::uint8_t* s = win_.get() + from;
      if (Distance >= n) {
        std::memmove(d, s, n);  // same spot when Distance is the window size
      } else {
        for (std::size_t i = 0; i < n; ++i) d[i] = s[i];
      }
      pos_ += n;
      total_ += Length;
      return total_ < limit_;
    }
    for (std::size_t i = 0; i < n; ++i) {
      win_[pos_++] = win_[from];
      from = (from + 1) & mask_;
      ++total_;
      if (pos_ == size_ && !Wrap()) return false;
    }
    return total_ < limit_;
  }
  // Same, from an absolute window position (the LArc methods).
  bool CopyFrom(std::size_t From, std::int64_t Length) {
    return Copy(((pos_ - From - 1) & mask_) + 1, Length);
  }
  // Hands the unwritten bytes over; false when a write failed.
  bool Flush();

 private:
  bool Wrap() {
    const bool ok = Flush();
    pos_ = 0;
    start_ = 0;
    return ok;
  }

  TPoolBuffer win_;
  std::size_t size_;
  std::size_t mask_;
  std::size_t pos_;
  std::size_t start_;
  TLegacyWriteFunc write_;
  std::int64_t limit_;
  const bool* cancel_;
  std::int64_t total_ = 0;
  bool failed_ = false;
  bool canceled_ = false;
};

// The TWindowResult of a decoder that stopped: the window's failure, a
// cancel, short input, or wrOk once the output is complete.
int Outcome(const TWindow& Out, const TBitReader* Bits);

}  // namespace qmx::lha
