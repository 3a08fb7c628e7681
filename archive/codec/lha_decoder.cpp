#include "archive/codec/lha_decoder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "archive/codec/lha_bits.h"
#include "archive/codec/lha_old_decoders.h"

namespace qmx {

namespace lha {

bool TTable::Build(const std::uint8_t* Lengths, int Count, int Width) {
  width_ = Width;
  std::fill(std::begin(counts_), std::end(counts_), 0);
  for (int i = 0; i < Count; ++i) {
    if (Lengths[i] > kMaxBits) return false;
    ++counts_[Lengths[i]];
  }
  counts_[0] = 0;
  int left = 1;
  for (int len = 1; len <= kMaxBits; ++len) {
    left = (left << 1) - counts_[len];
    if (left < 0) return false;
  }
  if (left != 0) return false;

  std::uint16_t offs[kMaxBits + 2] = {};
  for (int len = 1; len <= kMaxBits; ++len) offs[len + 1] = offs[len] + counts_[len];
  symbols_.assign(offs[kMaxBits + 1], 0);
  for (int i = 0; i < Count; ++i)
    if (Lengths[i]) symbols_[offs[Lengths[i]]++] = static_cast<std::uint16_t>(i);

  fast_.assign(std::size_t{1} << Width, 0);
  std::uint32_t code = 0;
  std::size_t index = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    for (int k = 0; k < counts_[len]; ++k, ++code, ++index) {
      if (len > Width) continue;
      const std::uint32_t e = kValid | static_cast<std::uint32_t>(symbols_[index]) << 5 |
                              static_cast<std::uint32_t>(len);
      const std::size_t first = static_cast<std::size_t>(code) << (Width - len);
      std::fill_n(fast_.begin() + static_cast<std::ptrdiff_t>(first),
                  std::size_t{1} << (Width - len), e);
    }
    code <<= 1;
  }
  return true;
}

void TTable::BuildSingle(int Symbol) {
  width_ = 0;
  fast_.assign(1, kValid | static_cast<std::uint32_t>(Symbol) << 5);
}

int TTable::DecodeLong(TBitReader& Bits) const {
  const std::uint32_t v = Bits.Peek(kMaxBits);
  int code = 0, first = 0, index = 0;
  for (int len = 1; len <= kMaxBits; ++len) {
    code |= static_cast<int>((v >> (kMaxBits - len)) & 1);
    const int count = counts_[len];
    if (code - first < count) {
      Bits.Drop(len);
      return symbols_[static_cast<std::size_t>(index + code - first)];
    }
    index += count;
    first = (first + count) << 1;
    code <<= 1;
  }
  return -1;
}

TWindow::TWindow(std::size_t Size, std::size_t Start, TLegacyWriteFunc Write, std::int64_t Limit,
                 const bool* Cancel)
    : win_(MakePoolBuffer(Size)),
      size_(Size),
      mask_(Size - 1),
      pos_(Start),
      start_(Start),
      write_(std::move(Write)),
      limit_(Limit),
      cancel_(Cancel) {
  std::memset(win_.get(), 0, Size);
}

bool TWindow::Flush() {
  if (failed_ || canceled_) return false;
  if (pos_ > start_) {
    const auto n = static_cast<std::int64_t>(pos_ - start_);
    if (write_(win_.get() + start_, n) != n) {
      failed_ = true;
      return false;
    }
    start_ = pos_;
  }
  if (cancel_ && *cancel_) {
    canceled_ = true;
    return false;
  }
  return true;
}

int Outcome(const TWindow& Out, const TBitReader* Bits) {
  if (Out.Failed()) return wrWriteError;
  if (Out.Canceled()) return wrCanceled;
  if (Out.Full()) return wrOk;
  return Bits && Bits->Canceled() ? wrCanceled : wrInputShort;
}

}  // namespace lha

namespace {

using lha::TBitReader;
using lha::TTable;
using lha::TWindow;

constexpr int kNC = 510;  // literals and match lengths 3..256
constexpr int kNT = 19;   // code-length codes
constexpr int kTBit = 5;
constexpr int kCBit = 9;
constexpr int kMaxNP = 17;

class TStaticDecoder {
 public:
  TStaticDecoder(TLegacyInput& In, int NP, int PBit) : bits_(In), np_(NP), pbit_(PBit) {}

  int Run(TWindow& Out, const bool* Cancel) {
    std::uint32_t left = 0;  // symbols left in the block
    for (;;) {
      if (left == 0) {
        if (Cancel && *Cancel) return wrCanceled;
        left = bits_.Bits(16);
        if (bits_.Exhausted()) return lha::Outcome(Out, &bits_);
        // A block without symbols would never end the stream; no coder
        // writes one.
        if (left == 0) return wrBadData;
        if (!ReadLengths(pt_, kNT, kTBit, 3) || !ReadCodeLengths() ||
            !ReadLengths(pt_, np_, pbit_, -1))
          return bits_.Exhausted() ? lha::Outcome(Out, &bits_) : wrBadData;
      }
      --left;
      const int c = c_.Decode(bits_);
      bool more;
      if (c < 0) return wrBadData;
      if (c < 256) {
        more = Out.Put(static_cast<std::uint8_t>(c));
      } else {
        const int p = pt_.Decode(bits_);
        if (p < 0) return wrBadData;
        std::uint32_t offset = static_cast<std::uint32_t>(p);
        if (p > 1) offset = (1u << (p - 1)) | bits_.Bits(p - 1);
        more = Out.Copy(offset + 1, c - 253);
      }
      if (!more || bits_.Exhausted()) return lha::Outcome(Out, &bits_);
    }
  }

 private:
  // Lengths of the code-length code (Special 3: a 2-bit count of zero
  // lengths follows the third) or of the position code.
  bool ReadLengths(TTable& Table, int N, int NBit, int Special) {
    std::uint8_t len[kNT] = {};
    const int n = static_cast<int>(bits_.Bits(NBit));
    if (n == 0) {
      const int c = static_cast<int>(bits_.Bits(NBit));
      if (c >= N) return false;
      Table.BuildSingle(c);
      return true;
    }
    if (n > N) return false;
    int i = 0;
    while (i < n) {
      int c = static_cast<int>(bits_.Bits(3));
      if (c == 7) {
        while (bits_.Bits(1)) {
          if (++c > TTable::kMaxBits) return false;
        }
      }
      len[i++] = static_cast<std::uint8_t>(c);
      if (i == Special) {
        int zeros = static_cast<int>(bits_.Bits(2));
        while (zeros-- > 0 && i < n) len[i++] = 0;
      }
    }
    return Table.Build(len, N, 8);
  }

  bool ReadCodeLengths() {
    std::uint8_t len[kNC] = {};
    const int n = static_cast<int>(bits_.Bits(kCBit));
    if (n == 0) {
      const int c = static_cast<int>(bits_.Bits(kCBit));
      if (c >= kNC) return false;
      c_.BuildSingle(c);
      return true;
    }
    if (n > kNC) return false;
    int i = 0;
    while (i < n) {
      const int c = pt_.Decode(bits_);
      if (c < 0 || bits_.Exhausted()) return false;
      if (c <= 2) {
        int run = c == 0   ? 1
                  : c == 1 ? static_cast<int>(bits_.Bits(4)) + 3
                           : static_cast<int>(bits_.Bits(kCBit)) + 20;
        // A run past the count would write past the table.
        run = std::min(run, n - i);
        while (run-- > 0) len[i++] = 0;
      } else {
        len[i++] = static_cast<std::uint8_t>(c - 2);
      }
    }
    return c_.Build(len, kNC, 12);
  }

  TBitReader bits_;
  int np_;
  int pbit_;
  TTable pt_;
  TTable c_;
};

int DecodeStatic(TLegacyInput& In, TLegacyWriteFunc Write, int NP, int PBit,
                 std::int64_t OriginalSize, const bool* Cancel) {
  // One window size for all: every distance the position codes can give
  // (up to 64 KiB) stays inside it.
  TWindow out(std::size_t{1} << (kMaxNP - 1), 0, std::move(Write), OriginalSize, Cancel);
  TStaticDecoder dec(In, NP, PBit);
  int r = dec.Run(out, Cancel);
  if (!out.Flush() && r == wrOk) r = lha::Outcome(out, nullptr);
  return r;
}

int CopyStored(TLegacyInput& In, const TLegacyWriteFunc& Write, std::int64_t OriginalSize,
               const bool* Cancel) {
  std::int64_t left = OriginalSize;
  while (left > 0) {
    if (Cancel && *Cancel) return wrCanceled;
    const std::uint8_t* p = nullptr;
    const std::int64_t n = std::min(In.Peek(p), left);
    if (n <= 0) return In.Canceled() ? wrCanceled : wrInputShort;
    if (Write(p, n) != n) return wrWriteError;
    In.Consume(n);
    left -= n;
  }
  return wrOk;
}

}  // namespace

bool LhaMethodOf(const char* Id, TLhaMethod& Method) {
  static const struct {
    const char* Id;
    TLhaMethod Method;
  } kMethods[] = {{"-lh0-", lmStored}, {"-lz4-", lmStored}, {"-lh1-", lmLh1},
                  {"-lh4-", lmLh4},    {"-lh5-", lmLh5},    {"-lh6-", lmLh6},
                  {"-lh7-", lmLh7},    {"-lzs-", lmLzs},    {"-lz5-", lmLz5}};
  for (const auto& m : kMethods) {
    if (std::memcmp(Id, m.Id, 5) == 0) {
      Method = m.Method;
      return true;
    }
  }
  return false;
}

int LhaDecode(TLegacyInput& In, TLegacyWriteFunc Write, TLhaMethod Method,
              std::int64_t OriginalSize, const bool* Cancel) {
  if (OriginalSize <= 0) return wrOk;
  switch (Method) {
    case lmStored:
      return CopyStored(In, Write, OriginalSize, Cancel);
    case lmLh1:
      return DecodeLh1(In, std::move(Write), OriginalSize, Cancel);
    case lmLh4:
      return DecodeStatic(In, std::move(Write), 14, 4, OriginalSize, Cancel);
    case lmLh5:
      return DecodeStatic(In, std::move(Write), 14, 4, OriginalSize, Cancel);
    case lmLh6:
      return DecodeStatic(In, std::move(Write), 16, 5, OriginalSize, Cancel);
    case lmLh7:
      return DecodeStatic(In, std::move(Write), 17, 5, OriginalSize, Cancel);
    case lmLzs:
      return DecodeLzs(In, std::move(Write), OriginalSize, Cancel);
    case lmLz5:
      return DecodeLz5(In, std::move(Write), OriginalSize, Cancel);
  }
  return wrBadData;
}

}  // namespace qmx
