#include "archive/codec/explode.h"

#include <algorithm>
#include <utility>

namespace qmx {

namespace {

// A tree is stored as a byte n and n + 1 bytes, each giving (high nibble + 1)
// codes of bit length (low nibble + 1). It must describe exactly Count codes.
int ReadTree(TPeekBitReader& bits, TCodeTable& table, int Count, int Width) {
  std::uint8_t lengths[256];
  std::uint8_t n;
  if (!bits.Byte(n)) return bits.Canceled() ? wrCanceled : wrInputShort;
  int k = 0;
  for (int i = 0; i <= n; ++i) {
    std::uint8_t b;
    if (!bits.Byte(b)) return bits.Canceled() ? wrCanceled : wrInputShort;
    const int run = (b >> 4) + 1;
    if (k + run > Count) return wrBadData;
    for (int j = 0; j < run; ++j) lengths[k++] = static_cast<std::uint8_t>((b & 15) + 1);
  }
  return k == Count && table.Build(lengths, Count, Width, true) ? wrOk : wrBadData;
}

}  // namespace

int ExplodeEntry(TLegacyInput& In, TLegacyWriteFunc Write, const TImplodeEntry& Entry,
                 const bool* Cancel) {
  TPeekBitReader bits(In);
  TWindowWriter out(32768, std::move(Write), std::max<std::int64_t>(Entry.UnpackedSize, 0));
  const bool big = (Entry.Flags & kImplodeFlag8K) != 0;
  const bool literals = (Entry.Flags & kImplodeFlagLiteralTree) != 0;
  const int lowBits = big ? 7 : 6;
  const std::uint32_t minLength = literals ? 3 : 2;

  TCodeTable lit, len, dist;
  int r = literals ? ReadTree(bits, lit, 256, 9) : wrOk;
  if (r == wrOk) r = ReadTree(bits, len, 64, 7);
  if (r == wrOk) r = ReadTree(bits, dist, 64, Entry.PackedSize > 200000 ? 8 : 7);
  while (r == wrOk && !out.Full()) {
    if ((Cancel && *Cancel) || bits.Canceled()) {
      r = wrCanceled;
      break;
    }
    if (bits.Exhausted()) {
      r = wrInputShort;
      break;
    }
    if (bits.Bits(1)) {
      int b;
      if (literals) {
        b = lit.Decode(bits);
        if (b < 0) {
          r = wrBadData;
          break;
        }
      } else {
        b = static_cast<int>(bits.Bits(8));
      }
      if (bits.Exhausted()) {  // made up of padding past the end
        r = wrInputShort;
        break;
      }
      if (!out.Put(static_cast<std::uint8_t>(b))) r = wrWriteError;
      continue;
    }
    const std::uint32_t low = bits.Bits(lowBits);
    const int high = dist.Decode(bits);
    const int code = high < 0 ? -1 : len.Decode(bits);
    if (code < 0) {
      r = wrBadData;
      break;
    }
    std::uint32_t length = static_cast<std::uint32_t>(code) + minLength;
    if (code == 63) length += bits.Bits(8);
    if (bits.Exhausted()) {
      r = wrInputShort;
      break;
    }
    const std::uint32_t distance = (static_cast<std::uint32_t>(high) << lowBits | low) + 1;
    if (!out.Copy(distance, length)) r = wrWriteError;
  }
  // Garbage decoded from the zero padding past the end is a short input.
  if (r == wrBadData && bits.Exhausted()) r = wrInputShort;
  if (r != wrWriteError && !out.Flush() && r != wrCanceled) r = wrWriteError;
  return r;
}

}  // namespace qmx
