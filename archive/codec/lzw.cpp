#include "archive/codec/lzw.h"

#include <algorithm>
#include <vector>

namespace qmx {
namespace {

constexpr int kInitBits = 9;
constexpr int kMaxBits = 16;
constexpr std::uint32_t kClear = 256;
constexpr std::size_t kOutSize = 16384;
constexpr std::size_t kTableSize = 1u << kMaxBits;

// Low-bit-first codes that also counts the codes of the current width, so
// the padding of a group of eight can be skipped.
class TCodeReader {
 public:
  explicit TCodeReader(TLegacyInput& In) : in_(In) {}

  bool Read(int bits, std::uint32_t& code) {
    while (count_ < bits) {
      std::uint8_t b;
      if (!in_.GetByte(b)) return false;
      buf_ |= static_cast<std::uint32_t>(b) << count_;
      count_ += 8;
    }
    code = buf_ & ((1u << bits) - 1);
    buf_ >>= bits;
    count_ -= bits;
    ++inGroup_;
    return true;
  }
  // compress reads codes eight at a time: a width change or a CLEAR
  // discards the rest of the group of eight at the old width.
  void SkipGroup(int bits) {
    const int rest = (8 - inGroup_ % 8) % 8;
    for (int i = 0; i < rest; ++i) {
      std::uint32_t unused;
      if (!Read(bits, unused)) break;
    }
    inGroup_ = 0;
  }

 private:
  TLegacyInput& in_;
  std::uint32_t buf_ = 0;
  int count_ = 0;
  int inGroup_ = 0;
};

}  // namespace

TLzwResult UnLzwDecode(TLegacyInput& In, TLegacyWriteFunc Write, std::uint8_t Flags,
                       const bool* Cancel) {
  if (Flags & 0x60) return lzwBadFlags;
  const bool blockMode = (Flags & 0x80) != 0;
  const int maxBits = Flags & 0x1F;
  if (maxBits > kMaxBits) return lzwBadFlags;
  const std::uint32_t maxMaxCode = 1u << maxBits;

  std::vector<std::uint16_t> prefix(kTableSize, 0);
  std::vector<std::uint8_t> suffix(kTableSize, 0);
  for (std::uint32_t i = 0; i < 256; ++i) suffix[i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint8_t> stack(kTableSize);
  std::vector<std::uint8_t> out;
  out.reserve(kOutSize);
  auto emit = [&](const std::uint8_t* p, std::size_t n) -> bool {
    while (n > 0) {
      const std::size_t take = std::min(n, kOutSize - out.size());
      out.insert(out.end(), p, p + take);
      p += take;
      n -= take;
      if (out.size() == kOutSize) {
        const auto len = static_cast<std::int64_t>(out.size());
        if (Write(out.data(), len) != len) return false;
        out.clear();
      }
    }
    return true;
  };
  auto finish = [&](TLzwResult r) {
    if (!out.empty()) {
      const auto len = static_cast<std::int64_t>(out.size());
      if (Write(out.data(), len) != len && r == lzwOk) r = lzwWriteError;
      out.clear();
    }
    return r;
  };

  TCodeReader codes(In);
  int bits = kInitBits;
  std::uint32_t maxCode = (1u << bits) - 1;
  std::uint32_t freeEnt = blockMode ? 257 : 256;
  std::uint32_t oldCode = 0;
  bool first = true;
  std::uint8_t finChar = 0;

  for (;;) {
    if (Cancel && *Cancel) return finish(lzwCanceled);
    if (freeEnt > maxCode && bits < kMaxBits) {
      codes.SkipGroup(bits);
      ++bits;
      maxCode = bits == maxBits ? maxMaxCode : (1u << bits) - 1;
    }
    std::uint32_t code;
    if (!codes.Read(bits, code)) break;
    if (first) {
      if (code >= 256) return finish(lzwBadFirst);
      first = false;
      oldCode = code;
      finChar = static_cast<std::uint8_t>(code);
      if (!emit(&finChar, 1)) return finish(lzwWriteError);
      continue;
    }
    if (code == kClear && blockMode) {
      for (std::uint32_t i = 0; i < 256; ++i) prefix[i] = 0;
      freeEnt = 256;
      codes.SkipGroup(bits);
      bits = kInitBits;
      maxCode = (1u << bits) - 1;
      continue;
    }
    const std::uint32_t inCode = code;
    std::size_t sp = stack.size();
    if (code >= freeEnt) {
      if (code > freeEnt) return finish(lzwBadCode);
      stack[--sp] = finChar;
      code = oldCode;
    }
    // Every chain ends at a literal; one that runs longer than the table
    // can only come from a damaged stream.
    while (code >= 256) {
      if (sp == 0) return finish(lzwBadCode);
      stack[--sp] = suffix[code];
      code = prefix[code];
    }
    if (sp == 0) return finish(lzwBadCode);
    finChar = suffix[code];
    stack[--sp] = finChar;
    if (!emit(stack.data() + sp, stack.size() - sp)) return finish(lzwWriteError);
    if (freeEnt < maxMaxCode && freeEnt < kTableSize) {
      prefix[freeEnt] = static_cast<std::uint16_t>(oldCode);
      suffix[freeEnt] = finChar;
      ++freeEnt;
    }
    oldCode = inCode;
  }
  if (In.Canceled()) return finish(lzwCanceled);
  return finish(lzwOk);
}

}  // namespace qmx
