#include "archive/codec/window_decoder.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qmx {

bool TPeekBitReader::Byte(std::uint8_t& b) {
  Align();
  if (count_ - pad_ >= 8) {
    b = static_cast<std::uint8_t>(bits_);
    Drop(8);
    return true;
  }
  if (count_ > 0) return false;  // only padding left: the input is gone
  return in_.GetByte(b);
}

// --- code tables

namespace {

std::uint32_t Reverse(std::uint32_t code, int len) {
  std::uint32_t r = 0;
  for (int i = 0; i < len; ++i, code >>= 1) r = (r << 1) | (code & 1);
  return r;
}

}  // namespace

bool TCodeTable::Build(const std::uint8_t* Lengths, int Count, int Width, bool Invert) {
  width_ = Width;
  invert_ = Invert ? 1u : 0u;
  std::fill(std::begin(counts_), std::end(counts_), 0);
  for (int i = 0; i < Count; ++i) {
    if (Lengths[i] > kMaxBits) return false;
    ++counts_[Lengths[i]];
  }
  counts_[0] = 0;
  // Over-subscribed lengths describe no prefix code; incomplete ones are
  // allowed (a lone distance code is legal) and fail only when an unused
  // pattern turns up.
  int left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left = (left << 1) - counts_[len];
    if (left < 0) return false;
  }

  std::uint16_t offs[kMaxBits + 2] = {};
  for (int len = 1; len <= kMaxBits; ++len) offs[len + 1] = offs[len] + counts_[len];
  symbols_.assign(offs[kMaxBits + 1], 0);
  for (int i = 0; i < Count; ++i)
    if (Lengths[i]) symbols_[offs[Lengths[i]]++] = static_cast<std::uint16_t>(i);

  // Lookup for the short codes: canonical code values, bit-reversed because
  // the stream delivers a code's first bit in the lowest position.
  fast_.assign(std::size_t{1} << Width, 0);
  std::uint32_t code = 0;
  std::size_t index = 0;
  for (int len = 1; len <= Width; ++len) {
    for (int k = 0; k < counts_[len]; ++k, ++code) {
      std::uint32_t pattern = Reverse(code, len);
      if (Invert) pattern ^= (1u << len) - 1;
      const std::uint32_t entry = static_cast<std::uint32_t>(symbols_[index + k]) << 5 | len;
      for (std::size_t p = pattern; p < fast_.size(); p += std::size_t{1} << len) fast_[p] = entry;
    }
    index += counts_[len];
    code <<= 1;
  }
  return true;
}

// Longer code (or none): walk the canonical code one bit at a time.
int TCodeTable::DecodeLong(TPeekBitReader& Bits) const {
  const std::uint32_t bits = Bits.Peek(kMaxBits);
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    code |= static_cast<int>(((bits >> (len - 1)) & 1) ^ invert_);
    const int count = counts_[len];
    if (code - first < count) {
      Bits.Drop(len);
      return symbols_[index + (code - first)];
    }
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return -1;
}

// --- output window

TWindowWriter::TWindowWriter(std::size_t Size, TLegacyWriteFunc Write, std::int64_t Limit)
    : win_(MakePoolBuffer(Size)), mask_(Size - 1), write_(std::move(Write)), limit_(Limit) {
  std::memset(win_.get(), 0, Size);
}

bool TWindowWriter::Flush() {
  if (pos_ > start_) {
    const auto n = static_cast<std::int64_t>(pos_ - start_);
    if (write_(win_.get() + start_, n) != n) return false;
  }
  if (pos_ > mask_) pos_ = 0;
  start_ = pos_;
  return true;
}

bool TWindowWriter::Copy(std::uint32_t Distance, std::uint32_t Length) {
  // Common case: source and target lie inside the window without wrapping,
  // the run neither fills the window nor reaches the limit.
  if (Distance != 0 && Distance <= pos_ && static_cast<std::int64_t>(Distance) <= total_ &&
      pos_ + Length <= mask_ && (limit_ < 0 || total_ + Length <= limit_)) {
    std::uint8_t* to = win_.get() + pos_;
    const std::uint8_t* from = to - Distance;
    if (Distance >= Length) {
      std::memcpy(to, from, Length);
    } else {
      // Overlapping runs repeat the last Distance bytes.
      for (std::uint32_t i = 0; i < Length; ++i) to[i] = from[i];
    }
    pos_ += Length;
    total_ += Length;
    return true;
  }
  for (std::uint32_t i = 0; i < Length && !Full(); ++i) {
    const std::uint8_t b =
        static_cast<std::int64_t>(Distance) > total_ ? 0 : win_[(pos_ - Distance) & mask_];
    if (!Put(b)) return false;
  }
  return true;
}

}  // namespace qmx
