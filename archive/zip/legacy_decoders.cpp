#include "archive/zip/legacy_decoders.h"

#include <algorithm>
#include <utility>

#include "archive/base/errors.h"

namespace qmx {

int LegacyErrorCode(TLegacyResult r) {
  switch (r) {
    case lrOk:
      return 0;
    case lrBadBlock:
      return E_BAD_BLOCK;
    case lrStackOverflow:
      return E_STACK_OVERFLOW;
    case lrWriteError:
      return E_WRITE_FILE;
    case lrCanceled:
      return E_USER_CANCELED;
  }
  return E_BAD_BLOCK;
}

namespace {

// Ending a decode once the sink refused a byte: at the limit that is the
// normal end.
TLegacyResult OutputStop(TLegacyOutput& Out) {
  if (Out.WriteFailed()) return lrWriteError;
  if (Out.Canceled()) return lrCanceled;
  if (Out.Flush()) return lrOk;
  return Out.Canceled() ? lrCanceled : lrWriteError;
}

// Ending a decode once the packed data ran out.
TLegacyResult InputEnd(TLegacyInput& In, TLegacyOutput& Out) {
  if (In.Canceled()) return lrCanceled;
  if (Out.Flush()) return lrOk;
  return Out.Canceled() ? lrCanceled : lrWriteError;
}

// --- Shrink

constexpr int kShrinkCodes = 8192;
constexpr std::uint32_t kShrinkControl = 256;
constexpr int kShrinkFirstFree = 257;
constexpr int kShrinkMinBits = 9;
constexpr int kShrinkMaxBits = 13;
constexpr std::int16_t kRoot = -1;    // literal: the string is its byte
constexpr std::int16_t kUnused = -2;  // free, or the control code

struct TShrinkTables {
  std::int16_t Parent[kShrinkCodes];
  std::uint8_t Value[kShrinkCodes];
  // Entries in use whose parent is this code; kept exact so the partial
  // clear can never underflow it, even for a hostile code sequence.
  std::uint16_t Children[kShrinkCodes];
  std::uint16_t FreeList[kShrinkCodes];
  int FreeHead;
  int FreeCount;
  std::uint8_t Stack[kShrinkCodes];

  void Init() {
    for (int c = 0; c < kShrinkCodes; ++c) {
      Parent[c] = c < 256 ? kRoot : kUnused;
      Value[c] = static_cast<std::uint8_t>(c);
      Children[c] = 0;
    }
    RebuildFreeList();
  }

  // The free codes in increasing order, so the lowest is handed out next.
  void RebuildFreeList() {
    FreeHead = 0;
    FreeCount = 0;
    for (int c = kShrinkFirstFree; c < kShrinkCodes; ++c)
      if (Parent[c] == kUnused) FreeList[FreeCount++] = static_cast<std::uint16_t>(c);
  }

  // Frees every code that was a leaf when the clear began; a parent that
  // loses its last child here stays until the next clear.
  void PartialClear() {
    bool leaf[kShrinkCodes];
    for (int c = kShrinkFirstFree; c < kShrinkCodes; ++c)
      leaf[c] = Parent[c] != kUnused && Children[c] == 0;
    for (int c = kShrinkFirstFree; c < kShrinkCodes; ++c) {
      if (!leaf[c]) continue;
      --Children[Parent[c]];
      Parent[c] = kUnused;
    }
    RebuildFreeList();
  }
};

}  // namespace

TLegacyResult UnShrink(TLegacyInput& In, TLegacyOutput& Out) {
  if (Out.AtLimit()) return OutputStop(Out);
  auto t = std::make_unique<TShrinkTables>();
  t->Init();
  TLegacyBitReader bits(In);
  int codeSize = kShrinkMinBits;

  std::uint32_t code;
  if (!bits.ReadBits(codeSize, code)) return In.Canceled() ? lrCanceled : lrBadBlock;
  if (code > 255) return lrBadBlock;
  if (!Out.Put(static_cast<std::uint8_t>(code))) return OutputStop(Out);
  int prev = static_cast<int>(code);

  for (;;) {
    if (!bits.ReadBits(codeSize, code)) return InputEnd(In, Out);
    if (code == kShrinkControl) {
      if (!bits.ReadBits(codeSize, code)) return InputEnd(In, Out);
      if (code == 1 && codeSize < kShrinkMaxBits) {
        ++codeSize;
      } else if (code == 2) {
        t->PartialClear();
      } else {
        return lrBadBlock;
      }
      continue;
    }
    if (code >= static_cast<std::uint32_t>(kShrinkCodes)) return lrBadBlock;

    // Unwind the string backwards from the top of the stack. An undefined
    // code is the previous string plus that string's first byte, which is
    // only known once the previous string is unwound: keep its slot.
    int sp = kShrinkCodes;
    int c = static_cast<int>(code);
    const bool kwkwk = t->Parent[c] == kUnused;
    if (kwkwk) {
      --sp;
      c = prev;
    }
    for (;;) {
      // A chain through an empty entry has no string; only hostile data
      // builds one.
      if (t->Parent[c] == kUnused) return lrBadBlock;
      if (sp == 0) {
        // A cycle in the table: keep what was decoded.
        Out.Flush();
        return lrStackOverflow;
      }
      t->Stack[--sp] = t->Value[c];
      if (t->Parent[c] == kRoot) break;
      c = t->Parent[c];
    }
    const std::uint8_t first = t->Stack[sp];
    if (kwkwk) t->Stack[kShrinkCodes - 1] = first;
    for (int i = sp; i < kShrinkCodes; ++i)
      if (!Out.Put(t->Stack[i])) return OutputStop(Out);

    if (t->FreeHead < t->FreeCount) {
      const int n = t->FreeList[t->FreeHead++];
      t->Parent[n] = static_cast<std::int16_t>(prev);
      t->Value[n] = first;
      ++t->Children[prev];
    }
    prev = static_cast<int>(code);
  }
}

// --- Reduce

namespace {

constexpr int kFollowersMax = 64;  // a 6-bit count
constexpr int kReduceWindow = 4096;
constexpr std::uint8_t kReduceEscape = 144;

struct TReduceTables {
  std::uint8_t Followers[256][kFollowersMax];
  std::uint8_t Count[256];
  std::uint8_t Window[kReduceWindow];
};

// Bits of a follower index for a set of n bytes.
int FollowerBits(int n) {
  if (n <= 2) return 1;
  if (n <= 4) return 2;
  if (n <= 8) return 3;
  if (n <= 16) return 4;
  if (n <= 32) return 5;
  return 6;
}

}  // namespace

TLegacyResult UnReduce(TLegacyInput& In, TLegacyOutput& Out, int Factor) {
  if (Factor < 1 || Factor > 4) return lrBadBlock;
  if (Out.AtLimit()) return OutputStop(Out);
  auto t = std::make_unique<TReduceTables>();
  TLegacyBitReader bits(In);

  std::uint32_t v;
  for (int j = 255; j >= 0; --j) {
    if (!bits.ReadBits(6, v)) return InputEnd(In, Out);
    t->Count[j] = static_cast<std::uint8_t>(v);
    for (std::uint32_t i = 0; i < t->Count[j]; ++i) {
      if (!bits.ReadBits(8, v)) return InputEnd(In, Out);
      t->Followers[j][i] = static_cast<std::uint8_t>(v);
    }
  }

  const std::uint32_t mask = 0xFFu >> Factor;  // 127, 63, 31, 15
  const int distShift = 8 - Factor;
  std::fill(std::begin(t->Window), std::end(t->Window), std::uint8_t{0});
  int wpos = 0;
  auto emit = [&](std::uint8_t b) {
    t->Window[wpos] = b;
    wpos = (wpos + 1) & (kReduceWindow - 1);
    return Out.Put(b);
  };

  enum { kLiteral, kEscaped, kExtraLength, kDistance } state = kLiteral;
  std::uint32_t escV = 0;
  std::uint32_t length = 0;
  std::uint8_t last = 0;
  for (;;) {
    const int n = t->Count[last];
    std::uint32_t bit = 1;
    if (n > 0 && !bits.ReadBits(1, bit)) return InputEnd(In, Out);
    std::uint8_t c;
    if (bit) {
      if (!bits.ReadBits(8, v)) return InputEnd(In, Out);
      c = static_cast<std::uint8_t>(v);
    } else {
      if (!bits.ReadBits(FollowerBits(n), v)) return InputEnd(In, Out);
      // The index width rounds up to a power of two; what lies past the set
      // was never written.
      if (v >= static_cast<std::uint32_t>(n)) return lrBadBlock;
      c = t->Followers[last][v];
    }
    last = c;

    switch (state) {
      case kLiteral:
        if (c == kReduceEscape) {
          state = kEscaped;
        } else if (!emit(c)) {
          return OutputStop(Out);
        }
        break;
      case kEscaped:
        if (c == 0) {
          if (!emit(kReduceEscape)) return OutputStop(Out);
          state = kLiteral;
        } else {
          escV = c;
          length = c & mask;
          state = length == mask ? kExtraLength : kDistance;
        }
        break;
      case kExtraLength:
        length += c;
        state = kDistance;
        break;
      case kDistance: {
        const int dist = static_cast<int>(((escV >> distShift) << 8) + c + 1);  // 1..4096
        int src = (wpos - dist) & (kReduceWindow - 1);
        for (std::uint32_t k = 0; k < length + 3; ++k) {
          const std::uint8_t b = t->Window[src];
          src = (src + 1) & (kReduceWindow - 1);
          if (!emit(b)) return OutputStop(Out);
        }
        state = kLiteral;
        break;
      }
    }
  }
}

}  // namespace qmx
