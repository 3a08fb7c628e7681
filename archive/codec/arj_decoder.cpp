#include "archive/codec/arj_decoder.h"

#include <utility>

#include "archive/codec/lha_bits.h"
#include "archive/codec/lha_decoder.h"

namespace qmx {
namespace {

// Method 4: a literal is a 0 bit and 8 bits; a match is its length and its
// distance, each a run of 1 bits (at most Stop - Start) that selects a
// range and then that many plus Start bits within it.
constexpr int kLenStart = 0, kLenStop = 7;
constexpr int kPosStart = 9, kPosStop = 13;
constexpr int kThreshold = 3;
// Distances reach 2^9 + ... + 2^12 + 2^13 - 1; a power-of-two window over them.
constexpr std::size_t kFastWindow = std::size_t{1} << 15;

int ReadRange(lha::TBitReader& Bits, int Start, int Stop) {
  int plus = 0, width = Start;
  int power = 1 << Start;
  while (width < Stop && Bits.Bits(1)) {
    plus += power;
    power <<= 1;
    ++width;
  }
  return plus + (width ? static_cast<int>(Bits.Bits(width)) : 0);
}

int DecodeFastest(TLegacyInput& In, TLegacyWriteFunc Write, std::int64_t OriginalSize,
                  const bool* Cancel) {
  lha::TWindow out(kFastWindow, 0, std::move(Write), OriginalSize, Cancel);
  lha::TBitReader bits(In);
  int r = wrOk;
  for (;;) {
    const int len = ReadRange(bits, kLenStart, kLenStop);
    bool more;
    if (len == 0) {
      more = out.Put(static_cast<std::uint8_t>(bits.Bits(8)));
    } else {
      const int distance = ReadRange(bits, kPosStart, kPosStop) + 1;
      more = out.Copy(static_cast<std::size_t>(distance), len - 1 + kThreshold);
    }
    if (!more || bits.Exhausted()) {
      r = lha::Outcome(out, &bits);
      break;
    }
  }
  if (!out.Flush() && r == wrOk) r = lha::Outcome(out, nullptr);
  return r;
}

}  // namespace

bool ArjMethodKnown(int Method) {
  return Method >= 0 && Method <= 4;
}

int ArjDecode(TLegacyInput& In, TLegacyWriteFunc Write, int Method, std::int64_t OriginalSize,
              const bool* Cancel) {
  if (OriginalSize <= 0) return wrOk;
  switch (Method) {
    case 0:
      return LhaDecode(In, std::move(Write), lmStored, OriginalSize, Cancel);
    case 1:
    case 2:
    case 3:
      // ARJ's blocks are LHA's with 17 position codes; its 26 KiB window
      // fits inside the one that decoder keeps.
      return LhaDecode(In, std::move(Write), lmLh7, OriginalSize, Cancel);
    case 4:
      return DecodeFastest(In, std::move(Write), OriginalSize, Cancel);
    default:
      return wrBadData;
  }
}

}  // namespace qmx
