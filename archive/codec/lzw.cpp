#include "archive/codec/lzw.h"

#include <cstring>
#include <vector>

#include "archive/codec/buffer_pool.h"

namespace qmx {
namespace {

constexpr int kInitBits = 9;
constexpr int kMaxBits = 16;
constexpr std::uint32_t kClear = 256;
constexpr std::uint32_t kTableSize = 1u << kMaxBits;
constexpr std::size_t kOutSize = 65536;
// A string is never longer than the table, so one always fits behind a
// buffer that is flushed once it holds kOutSize bytes.
constexpr std::size_t kOutRoom = kOutSize + kTableSize;

// compress writes its codes in groups of eight, each group a whole number
// of bytes (eight codes of n bits are n bytes), and starts a new group at
// every width change or CLEAR, dropping the rest of the old one. So codes
// are read a group at a time.
class TCodeGroups {
 public:
  explicit TCodeGroups(TLegacyInput& In) : in_(In) {}

  bool Next(int bits, std::uint32_t& code) {
    if (index_ == count_ && !Load(bits)) return false;
    const int bit = index_ * bits;
    const std::uint8_t* g = group_ + (bit >> 3);
    const std::uint32_t v = g[0] | (g[1] << 8) | (static_cast<std::uint32_t>(g[2]) << 16);
    code = (v >> (bit & 7)) & ((1u << bits) - 1);
    ++index_;
    return true;
  }
  // Drops what is left of the current group.
  void Restart() { index_ = count_ = 0; }

 private:
  bool Load(int bits) {
    int got = 0;
    const std::uint8_t* p;
    while (got < bits) {
      const std::int64_t avail = in_.Peek(p);
      if (avail == 0) break;
      const int take = static_cast<int>(avail < bits - got ? avail : bits - got);
      std::memcpy(group_ + got, p, static_cast<std::size_t>(take));
      in_.Consume(take);
      got += take;
    }
    // The last group may be short: only the codes it holds in full count.
    std::memset(group_ + got, 0, sizeof group_ - static_cast<std::size_t>(got));
    index_ = 0;
    count_ = got * 8 / bits;
    return count_ > 0;
  }

  TLegacyInput& in_;
  // 16 bytes of codes and room for the 3-byte read of the last one.
  std::uint8_t group_[kMaxBits + 2] = {};
  int index_ = 0;
  int count_ = 0;
};

}  // namespace

TLzwResult UnLzwDecode(TLegacyInput& In, TLegacyWriteFunc Write, std::uint8_t Flags,
                       const bool* Cancel) {
  if (Flags & 0x60) return lzwBadFlags;
  const bool blockMode = (Flags & 0x80) != 0;
  const int maxBits = Flags & 0x1F;
  if (maxBits > kMaxBits) return lzwBadFlags;
  const std::uint32_t maxMaxCode = 1u << maxBits;

  // Each code's entry: the code it extends (low 16 bits) and its last
  // byte (the next 8), one load per step of a chain; and its length. Every
  // entry extends a lower code, so a chain ends at a literal within its
  // length (at most the table size less the literals).
  std::vector<std::uint32_t> entry(kTableSize, 0);
  std::vector<std::uint16_t> length(kTableSize, 1);
  for (std::uint32_t i = 0; i < 256; ++i) entry[i] = i << 16;
  TPoolBuffer out = MakePoolBuffer(kOutRoom);
  std::size_t used = 0;
  auto flush = [&]() {
    const auto len = static_cast<std::int64_t>(used);
    used = 0;
    return len == 0 || Write(out.get(), len) == len;
  };
  auto finish = [&](TLzwResult r) {
    if (!flush() && r == lzwOk) r = lzwWriteError;
    return r;
  };

  TCodeGroups codes(In);
  int bits = kInitBits;
  std::uint32_t maxCode = (1u << bits) - 1;
  std::uint32_t freeEnt = blockMode ? 257 : 256;
  std::uint32_t oldCode = 0;
  std::uint8_t finChar = 0;
  std::uint32_t code;
  if (!codes.Next(bits, code)) return finish(lzwOk);
  if (code >= 256) return finish(lzwBadFirst);
  oldCode = code;
  finChar = static_cast<std::uint8_t>(code);
  out[used++] = finChar;

  std::uint32_t polled = 0;
  for (;;) {
    if ((++polled & 0xFFF) == 0 && Cancel && *Cancel) return finish(lzwCanceled);
    if (freeEnt > maxCode && bits < kMaxBits) {
      codes.Restart();
      ++bits;
      maxCode = bits == maxBits ? maxMaxCode : (1u << bits) - 1;
    }
    if (!codes.Next(bits, code)) break;
    if (code == kClear && blockMode) {
      freeEnt = 256;
      codes.Restart();
      bits = kInitBits;
      maxCode = (1u << bits) - 1;
      continue;
    }
    if (used >= kOutSize && !flush()) return finish(lzwWriteError);
    const std::uint32_t inCode = code;
    std::uint8_t* const start = out.get() + used;
    std::uint32_t n;
    if (code >= freeEnt) {
      // The code being defined: the previous string and its first byte.
      if (code > freeEnt) return finish(lzwBadCode);
      n = length[oldCode] + 1;
      start[n - 1] = finChar;
      code = oldCode;
    } else {
      n = length[code];
    }
    // Written back to front along the chain; the length bounds the walk
    // whatever the table holds.
    std::uint8_t* p = start + length[code] - 1;
    while (p > start) {
      const std::uint32_t e = entry[code];
      *p-- = static_cast<std::uint8_t>(e >> 16);
      code = e & 0xFFFF;
    }
    finChar = static_cast<std::uint8_t>(entry[code] >> 16);
    *start = finChar;
    used += n;
    if (freeEnt < maxMaxCode) {
      entry[freeEnt] = oldCode | static_cast<std::uint32_t>(finChar) << 16;
      length[freeEnt] = static_cast<std::uint16_t>(length[oldCode] + 1);
      ++freeEnt;
    }
    oldCode = inCode;
  }
  if (In.Canceled()) return finish(lzwCanceled);
  return finish(lzwOk);
}

}  // namespace qmx
