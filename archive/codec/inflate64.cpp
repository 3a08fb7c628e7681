#include "archive/codec/inflate64.h"

#include <utility>

namespace qmx {

namespace {

constexpr std::uint16_t kLenBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                        15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                        67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint32_t kDistBase[32] = {1,    2,    3,    4,     5,     7,     9,     13,
                                         17,   25,   33,   49,    65,    97,    129,   193,
                                         257,  385,  513,  769,   1025,  1537,  2049,  3073,
                                         4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr std::uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                         7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
constexpr std::uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr int kLitWidth = 9;
constexpr int kDistWidth = 6;

}  // namespace

TInflater::TInflater(TLegacyInput& In, TLegacyWriteFunc Write, bool Deflate64, std::int64_t Limit,
                     const bool* Cancel)
    : bits_(In),
      out_(Deflate64 ? 65536 : 32768, std::move(Write), Limit),
      deflate64_(Deflate64),
      cancel_(Cancel) {}

// Checked before every symbol: cancel first, then missing input.
bool TInflater::Stop(int& r) {
  if ((cancel_ && *cancel_) || bits_.Canceled()) {
    r = wrCanceled;
    return true;
  }
  if (bits_.Exhausted()) {
    r = wrInputShort;
    return true;
  }
  return false;
}

int TInflater::Run() {
  int r = wrOk;
  bool last = false;
  while (!last && !out_.Full()) {
    if (Stop(r)) break;
    last = bits_.Bits(1) != 0;
    r = Block();
    if (r != wrOk) break;
  }
  // Garbage decoded from the zero padding past the end is a short input.
  if ((r == wrOk || r == wrBadData) && bits_.Exhausted()) r = wrInputShort;
  // Whatever was decoded is handed over, also after an error, so a partial
  // file shows how far the data was good.
  if (r != wrWriteError && !out_.Flush() && r != wrCanceled) r = wrWriteError;
  return r;
}

int TInflater::Block() {
  switch (bits_.Bits(2)) {
    case 0:
      return Stored();
    case 1: {
      if (!fixedBuilt_) {
        std::uint8_t len[288];
        for (int i = 0; i < 288; ++i) len[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
        fixedLit_.Build(len, 288, kLitWidth);
        for (int i = 0; i < 32; ++i) len[i] = 5;
        // Codes 30 and 31 exist only in Deflate64; plain mode rejects them
        // when decoding.
        fixedDist_.Build(len, 32, kDistWidth);
        fixedBuilt_ = true;
      }
      return Codes(fixedLit_, fixedDist_);
    }
    case 2:
      return Dynamic();
    default:
      return wrBadData;
  }
}

int TInflater::Stored() {
  bits_.Align();
  std::uint8_t h[4];
  for (auto& b : h)
    if (!bits_.Byte(b)) return wrInputShort;
  const unsigned len = h[0] | h[1] << 8;
  const unsigned nlen = h[2] | h[3] << 8;
  if (len != (~nlen & 0xFFFF)) return wrBadData;
  for (unsigned i = 0; i < len && !out_.Full(); ++i) {
    if ((i & 0xFFF) == 0 && cancel_ && *cancel_) return wrCanceled;
    std::uint8_t b;
    if (!bits_.Byte(b)) return bits_.Canceled() ? wrCanceled : wrInputShort;
    if (!out_.Put(b)) return wrWriteError;
  }
  return wrOk;
}

int TInflater::Dynamic() {
  const int nlit = static_cast<int>(bits_.Bits(5)) + 257;
  const int ndist = static_cast<int>(bits_.Bits(5)) + 1;
  const int ncode = static_cast<int>(bits_.Bits(4)) + 4;
  if (nlit > 288 || ndist > 32) return wrBadCounts;
  std::uint8_t lengths[288 + 32] = {};
  for (int i = 0; i < ncode; ++i) lengths[kOrder[i]] = static_cast<std::uint8_t>(bits_.Bits(3));
  TCodeTable lencode;
  if (!lencode.Build(lengths, 19, 7)) return wrBadData;

  int r = wrOk;
  for (int i = 0; i < nlit + ndist;) {
    if (Stop(r)) return r;
    const int sym = lencode.Decode(bits_);
    if (sym < 0) return wrBadData;
    if (sym < 16) {
      lengths[i++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    std::uint8_t value = 0;
    int repeat;
    if (sym == 16) {
      if (i == 0) return wrBadData;
      value = lengths[i - 1];
      repeat = 3 + static_cast<int>(bits_.Bits(2));
    } else if (sym == 17) {
      repeat = 3 + static_cast<int>(bits_.Bits(3));
    } else {
      repeat = 11 + static_cast<int>(bits_.Bits(7));
    }
    if (i + repeat > nlit + ndist) return wrBadData;
    while (repeat--) lengths[i++] = value;
  }
  if (lengths[256] == 0) return wrBadData;  // no end-of-block code
  TCodeTable lit, dist;
  if (!lit.Build(lengths, nlit, kLitWidth) || !dist.Build(lengths + nlit, ndist, kDistWidth))
    return wrBadData;
  return Codes(lit, dist);
}

int TInflater::Codes(const TCodeTable& Lit, const TCodeTable& Dist) {
  const int maxDist = deflate64_ ? 32 : 30;
  int r = wrOk;
  for (;;) {
    if (Stop(r)) return r;
    int sym = Lit.Decode(bits_);
    if (sym < 0) return wrBadData;
    // Nothing decoded from the padding past the end reaches the output.
    if (bits_.Exhausted()) return wrInputShort;
    if (sym < 256) {
      if (!out_.Put(static_cast<std::uint8_t>(sym))) return wrWriteError;
      if (out_.Full()) return wrOk;
      continue;
    }
    if (sym == 256) return wrOk;
    sym -= 257;
    if (sym >= 29) return wrBadData;
    std::uint32_t len;
    if (sym == 28 && deflate64_)
      len = 3 + bits_.Bits(16);
    else
      len = kLenBase[sym] + bits_.Bits(kLenExtra[sym]);
    const int dsym = Dist.Decode(bits_);
    if (dsym < 0 || dsym >= maxDist) return wrBadData;
    const std::uint32_t dist = kDistBase[dsym] + bits_.Bits(kDistExtra[dsym]);
    // A reference before the start of the output is corrupt data here.
    if (static_cast<std::int64_t>(dist) > out_.Total()) return wrBadData;
    if (bits_.Exhausted()) return wrInputShort;
    if (!out_.Copy(dist, len)) return wrWriteError;
    if (out_.Full()) return wrOk;
  }
}

int InflateEntry(TLegacyInput& In, TLegacyWriteFunc Write, bool Deflate64, std::int64_t Limit,
                 const bool* Cancel) {
  TInflater inflater(In, std::move(Write), Deflate64, Limit, Cancel);
  return inflater.Run();
}

}  // namespace qmx
