#include "archive/codec/arc_decoders.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "archive/codec/lzw.h"
#include "archive/codec/window_decoder.h"

namespace qmx {
namespace {

constexpr std::uint8_t kRepeat = 0x90;
constexpr int kSqueezeEnd = 256;
constexpr int kMaxSqueezeNodes = 256;

// Undoes ARC's run packing: "c 0x90 n" stands for c repeated n times in
// all, "0x90 0" for a literal 0x90.
class TUnpackRuns {
 public:
  explicit TUnpackRuns(TLegacyOutput& Out) : out_(Out) {}

  // False once the output takes no more (limit or failure).
  bool Put(std::uint8_t b) {
    if (!marker_) {
      if (b == kRepeat) {
        marker_ = true;
        return true;
      }
      last_ = b;
      return out_.Put(b);
    }
    marker_ = false;
    if (b == 0) return out_.Put(kRepeat);
    for (int i = 1; i < b; ++i)
      if (!out_.Put(last_)) return false;
    return true;
  }

 private:
  TLegacyOutput& out_;
  std::uint8_t last_ = 0;
  bool marker_ = false;
};

int Finish(TLegacyInput& in, TLegacyOutput& out, std::int64_t originalSize) {
  if (!out.Flush() || out.WriteFailed()) return out.Canceled() ? wrCanceled : wrWriteError;
  if (in.Canceled()) return wrCanceled;
  if (out.Total() < originalSize && in.SourceShort()) return wrInputShort;
  return wrOk;
}

int Copy(TLegacyInput& in, TLegacyOutput& out, std::int64_t originalSize) {
  std::uint8_t b;
  while (!out.AtLimit() && in.GetByte(b))
    if (!out.Put(b)) break;
  return Finish(in, out, originalSize);
}

int Unpack(TLegacyInput& in, TLegacyOutput& out, std::int64_t originalSize) {
  TUnpackRuns runs(out);
  std::uint8_t b;
  while (in.GetByte(b))
    if (!runs.Put(b)) break;
  return Finish(in, out, originalSize);
}

// The tree comes first: a 16-bit node count, then per node the left and
// right child, each a node index or -(symbol + 1). Bits are read low first.
int Unsqueeze(TLegacyInput& in, TLegacyOutput& out, std::int64_t originalSize) {
  auto read16 = [&](std::uint16_t& v) {
    std::uint8_t lo, hi;
    if (!in.GetByte(lo) || !in.GetByte(hi)) return false;
    v = static_cast<std::uint16_t>(lo | hi << 8);
    return true;
  };
  std::uint16_t count;
  if (!read16(count)) return originalSize == 0 ? wrOk : wrInputShort;
  if (count > kMaxSqueezeNodes) return wrBadData;
  std::vector<std::int16_t> child(static_cast<std::size_t>(count) * 2);
  for (std::int16_t& c : child) {
    std::uint16_t v;
    if (!read16(v)) return wrInputShort;
    c = static_cast<std::int16_t>(v);
    if (c >= static_cast<int>(count) || c < -(kSqueezeEnd + 1)) return wrBadData;
  }
  TUnpackRuns runs(out);
  if (count == 0) return Finish(in, out, originalSize);
  TLegacyBitReader bits(in);
  int node = 0;
  std::uint32_t bit;
  while (bits.ReadBits(1, bit)) {
    const int c = child[static_cast<std::size_t>(node) * 2 + bit];
    if (c >= 0) {
      node = c;
      continue;
    }
    const int symbol = -(c + 1);
    if (symbol == kSqueezeEnd) break;
    if (!runs.Put(static_cast<std::uint8_t>(symbol))) break;
    node = 0;
  }
  return Finish(in, out, originalSize);
}

// LZW as Unix compress writes it in block mode (CLEAR is 256), without its
// header; crunched data names its widest code in a first byte.
int Uncrunch(TLegacyInput& in, TLegacyOutput& out, std::int64_t originalSize, int maxBits,
             const bool* cancel) {
  TUnpackRuns unpack(out);
  bool full = false;
  auto write = [&](const void* buf, std::int64_t n) -> std::int64_t {
    const auto* p = static_cast<const std::uint8_t*>(buf);
    for (std::int64_t i = 0; i < n; ++i) {
      if (!unpack.Put(p[i])) {
        // A full output ends the decoding early; it is no failure.
        full = !out.WriteFailed() && !out.Canceled();
        return 0;
      }
    }
    return n;
  };
  const TLzwResult r = UnLzwDecode(in, write, static_cast<std::uint8_t>(0x80 | maxBits), cancel);
  switch (r) {
    case lzwOk:
      break;
    case lzwWriteError:
      if (!full) return out.Canceled() ? wrCanceled : wrWriteError;
      break;
    case lzwCanceled:
      return wrCanceled;
    default:
      return wrBadData;
  }
  return Finish(in, out, originalSize);
}

// Squashed data needs no run unpacking: blocks go straight to Write, cut
// at the original size.
int Unsquash(TLegacyInput& in, const TLegacyWriteFunc& write, std::int64_t originalSize,
             const bool* cancel) {
  std::int64_t total = 0;
  bool full = false, failed = false;
  auto capped = [&](const void* buf, std::int64_t n) -> std::int64_t {
    const std::int64_t take = std::min(n, originalSize - total);
    if (take > 0 && write(buf, take) != take) {
      failed = true;
      return 0;
    }
    total += take;
    if (take < n) {
      full = true;
      return 0;
    }
    return n;
  };
  const TLzwResult r = UnLzwDecode(in, capped, 0x80 | 13, cancel);
  if (r == lzwCanceled || in.Canceled()) return wrCanceled;
  if (failed) return wrWriteError;
  if (r != lzwOk && !(r == lzwWriteError && full)) return wrBadData;
  if (total < originalSize && in.SourceShort()) return wrInputShort;
  return wrOk;
}

}  // namespace

bool ArcMethodKnown(int method) {
  return (method >= 1 && method <= 4) || method == 8 || method == 9;
}

int ArcDecode(TLegacyInput& In, TLegacyWriteFunc Write, int Method, std::int64_t OriginalSize,
              const bool* Cancel) {
  if (Method == 9) return Unsquash(In, Write, OriginalSize < 0 ? 0 : OriginalSize, Cancel);
  TLegacyOutput out(std::move(Write), OriginalSize < 0 ? 0 : OriginalSize, Cancel);
  switch (Method) {
    case 1:
    case 2:
      return Copy(In, out, OriginalSize);
    case 3:
      return Unpack(In, out, OriginalSize);
    case 4:
      return Unsqueeze(In, out, OriginalSize);
    case 8: {
      std::uint8_t maxBits;
      if (!In.GetByte(maxBits)) return OriginalSize == 0 ? wrOk : wrInputShort;
      if (maxBits < 9 || maxBits > 12) return wrBadData;
      return Uncrunch(In, out, OriginalSize, maxBits, Cancel);
    }
    default:
      return wrBadData;
  }
}

}  // namespace qmx
