#include "archive/codec/lha_old_decoders.h"

#include <cstring>
#include <memory>

#include "archive/codec/lha_bits.h"
#include "archive/codec/window_decoder.h"

namespace qmx {

namespace {

using lha::TBitReader;
using lha::TTable;
using lha::TWindow;

// --- "-lh1-": LZ77 over 4 KiB, lengths 3..60, literals and lengths under
// one adaptive Huffman code; the upper 6 position bits use a fixed code.

constexpr int kNChar = 256 + 60 - 2;  // 314 leaves
constexpr int kT = 2 * kNChar - 1;    // nodes
constexpr int kRoot = kT - 1;
constexpr std::uint32_t kMaxFreq = 0x8000;

class TAdaptiveTree {
 public:
  TAdaptiveTree() {
    for (int i = 0; i < kNChar; ++i) {
      freq_[i] = 1;
      son_[i] = i + kT;
      prnt_[i + kT] = i;
    }
    for (int i = 0, j = kNChar; j <= kRoot; i += 2, ++j) {
      freq_[j] = freq_[i] + freq_[i + 1];
      son_[j] = i;
      prnt_[i] = prnt_[i + 1] = j;
    }
    freq_[kT] = 0xFFFF;  // stops the search for a swap partner
    prnt_[kRoot] = 0;
  }

  int Decode(TBitReader& Bits) {
    int c = son_[kRoot];
    // Depth is bounded by the node count; the tree stays valid whatever
    // the bits are.
    while (c < kT) c = son_[c + static_cast<int>(Bits.Bits(1))];
    c -= kT;
    Update(c);
    return c;
  }

 private:
  void Rebuild() {
    int j = 0;
    for (int i = 0; i < kT; ++i) {
      if (son_[i] >= kT) {
        freq_[j] = (freq_[i] + 1) / 2;
        son_[j] = son_[i];
        ++j;
      }
    }
    for (int i = 0, j2 = kNChar; j2 < kT; i += 2, ++j2) {
      const std::uint32_t f = freq_[i] + freq_[i + 1];
      int k = j2 - 1;
      while (f < freq_[k]) --k;
      ++k;
      const auto n = static_cast<std::size_t>(j2 - k);
      std::memmove(&freq_[k + 1], &freq_[k], n * sizeof freq_[0]);
      freq_[k] = f;
      std::memmove(&son_[k + 1], &son_[k], n * sizeof son_[0]);
      son_[k] = i;
    }
    for (int i = 0; i < kT; ++i) {
      const int k = son_[i];
      if (k >= kT) {
        prnt_[k] = i;
      } else {
        prnt_[k] = prnt_[k + 1] = i;
      }
    }
  }

  void Update(int c) {
    if (freq_[kRoot] == kMaxFreq) Rebuild();
    c = prnt_[c + kT];
    do {
      const std::uint32_t k = ++freq_[c];
      int l = c + 1;
      if (k > freq_[l]) {
        while (k > freq_[++l]) {
        }
        --l;
        freq_[c] = freq_[l];
        freq_[l] = k;
        const int i = son_[c];
        prnt_[i] = l;
        if (i < kT) prnt_[i + 1] = l;
        const int j = son_[l];
        son_[l] = i;
        prnt_[j] = c;
        if (j < kT) prnt_[j + 1] = c;
        son_[c] = j;
        c = l;
      }
      c = prnt_[c];
    } while (c != 0);
  }

  std::uint32_t freq_[kT + 1];
  int prnt_[kT + kNChar];
  int son_[kT];
};

}  // namespace

int DecodeLh1(TLegacyInput& In, TLegacyWriteFunc Write, std::int64_t OriginalSize,
              const bool* Cancel) {
  constexpr std::size_t kWin = 4096;
  TWindow out(kWin, kWin - 60, std::move(Write), OriginalSize, Cancel);
  std::memset(out.Data(), ' ', kWin - 60);
  TBitReader bits(In);
  // Lengths of the upper position bits: 1 code of 3 bits, 3 of 4, 8 of 5,
  // 12 of 6, 24 of 7 and 16 of 8.
  std::uint8_t plen[64];
  static const int kCounts[][2] = {{1, 3}, {3, 4}, {8, 5}, {12, 6}, {24, 7}, {16, 8}};
  for (int i = 0; const auto& [count, len] : kCounts)
    for (int k = 0; k < count; ++k) plen[i++] = static_cast<std::uint8_t>(len);
  TTable pos;
  pos.Build(plen, 64, 8);
  auto tree = std::make_unique<TAdaptiveTree>();
  bool more = true;
  while (more) {
    const int c = tree->Decode(bits);
    if (c < 256) {
      more = out.Put(static_cast<std::uint8_t>(c));
    } else {
      const int hi = pos.Decode(bits);
      const std::uint32_t p = static_cast<std::uint32_t>(hi) << 6 | bits.Bits(6);
      more = out.Copy(p + 1, c - 253);
    }
    if (bits.Exhausted()) break;
  }
  int r = lha::Outcome(out, &bits);
  if (!out.Flush() && r == wrOk) r = lha::Outcome(out, nullptr);
  return r;
}

// --- LArc: "-lzs-" (bit flags, 11-bit positions, lengths 2..17) and
// "-lz5-" (flag bytes, 12-bit positions, lengths 3..18). Positions are
// absolute in a ring buffer that starts filling one maximum match before
// its end.

int DecodeLzs(TLegacyInput& In, TLegacyWriteFunc Write, std::int64_t OriginalSize,
              const bool* Cancel) {
  constexpr std::size_t kWin = 2048;
  TWindow out(kWin, kWin - 17, std::move(Write), OriginalSize, Cancel);
  std::memset(out.Data(), ' ', kWin - 17);
  TBitReader bits(In);
  bool more = true;
  while (more) {
    if (bits.Bits(1)) {
      more = out.Put(static_cast<std::uint8_t>(bits.Bits(8)));
    } else {
      const std::uint32_t from = bits.Bits(11);
      more = out.CopyFrom(from, bits.Bits(4) + 2);
    }
    if (bits.Exhausted()) break;
  }
  int r = lha::Outcome(out, &bits);
  if (!out.Flush() && r == wrOk) r = lha::Outcome(out, nullptr);
  return r;
}

int DecodeLz5(TLegacyInput& In, TLegacyWriteFunc Write, std::int64_t OriginalSize,
              const bool* Cancel) {
  constexpr std::size_t kWin = 4096;
  TWindow out(kWin, kWin - 18, std::move(Write), OriginalSize, Cancel);
  // LArc's initial history: each byte value 13 times, then the values
  // rising, falling, 128 zeros and spaces.
  std::uint8_t* w = out.Data();
  for (int i = 0; i < 256; ++i) std::memset(w + i * 13, i, 13);
  for (int i = 0; i < 256; ++i) w[256 * 13 + i] = static_cast<std::uint8_t>(i);
  for (int i = 0; i < 256; ++i) w[256 * 13 + 256 + i] = static_cast<std::uint8_t>(255 - i);
  std::memset(w + 256 * 13 + 512, 0, 128);
  std::memset(w + 256 * 13 + 640, ' ', kWin - 18 - (256 * 13 + 640));
  bool more = true;
  bool ended = false;
  unsigned flags = 0;
  int nflags = 0;
  while (more) {
    std::uint8_t b0, b1;
    if (nflags == 0) {
      if (!In.GetByte(b0)) {
        ended = true;
        break;
      }
      flags = b0;
      nflags = 8;
    }
    --nflags;
    if (!In.GetByte(b0)) {
      ended = true;
      break;
    }
    if (flags & 1) {
      more = out.Put(b0);
    } else {
      if (!In.GetByte(b1)) {
        ended = true;
        break;
      }
      more = out.CopyFrom(b0 | (b1 & 0xF0u) << 4, (b1 & 0x0F) + 3);
    }
    flags >>= 1;
  }
  int r = ended && In.Canceled() ? wrCanceled : lha::Outcome(out, nullptr);
  if (!out.Flush() && r == wrOk) r = lha::Outcome(out, nullptr);
  return r;
}

}  // namespace qmx
