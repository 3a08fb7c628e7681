#include "archive/codec/sevenzip_coders.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>

#include "archive/codec/branch_filters.h"
#include "archive/codec/byte_order.h"
#include "archive/codec/inflate64.h"
#include "archive/codec/legacy_io.h"
#include "archive/codec/raw_inflate.h"
#include "archive/codec/streams.h"

namespace qmx {
namespace {

enum : std::uint64_t {
  kCopy = 0x00,
  kDelta = 0x03,
  kX86 = 0x03030103,
  kPowerPc = 0x03030205,
  kIa64 = 0x03030401,
  kArm = 0x03030501,
  kArmThumb = 0x03030701,
  kSparc = 0x03030805,
  kArm64 = 0x0A,
  kRiscV = 0x0B,
  kLzma = 0x030101,
  kLzma2 = 0x21,
  kDeflate = 0x040108,
  kDeflate64 = 0x040109,
  kBZip2 = 0x040202,
  kZstd = 0x04F71101,
  kPpmd = 0x030401,
  kBcj2 = 0x0303011B,
  kAes = 0x06F10701,
};

constexpr std::int64_t kCopyChunk = 1 << 16;

// The branch converters in TBranchArch order, with their names.
struct TBranchMethod {
  std::uint64_t Id;
  const char* Name;
};
constexpr TBranchMethod kBranches[] = {{kX86, "BCJ"},     {kPowerPc, "PPC"},   {kIa64, "IA64"},
                                       {kArm, "ARM"},     {kArmThumb, "ARMT"}, {kSparc, "SPARC"},
                                       {kArm64, "ARM64"}, {kRiscV, "RISCV"}};

bool IsBranch(std::uint64_t id, TBranchArch& arch) {
  for (std::size_t i = 0; i < std::size(kBranches); ++i) {
    if (kBranches[i].Id == id) {
      arch = static_cast<TBranchArch>(i);
      return true;
    }
  }
  return false;
}

bool IsFilter(const T7zCoder& c) {
  TBranchArch arch;
  if (IsBranch(c.MethodId, arch)) return c.Props.empty() || c.Props.size() == 4;
  return c.MethodId == kDelta && c.Props.size() == 1;
}

bool IsMainDecoder(const T7zCoder& c) {
  switch (c.MethodId) {
    case kCopy:
    case kDeflate:
    case kDeflate64:
    case kBZip2:
    case kZstd:
      return true;
    case kLzma:
      return c.Props.size() == 5;
    case kLzma2:
      return c.Props.size() == 1 && c.Props[0] <= 40;
    default:
      return false;
  }
}

std::unique_ptr<TByteFilter> MakeFilter(const T7zCoder& c) {
  TBranchArch arch = baX86;
  if (!IsBranch(c.MethodId, arch)) return MakeDeltaDecoder(c.Props[0] + 1u);
  return MakeBranchDecoder(arch, c.Props.size() == 4 ? GetLE32(c.Props.data()) : 0);
}

// A dictionary or memory size as 7-Zip shows it: the power of two, or a
// whole number of MiB, KiB or bytes.
std::string SizeName(std::uint32_t v) {
  if (std::has_single_bit(v)) return std::to_string(std::countr_zero(v));
  if (v % (1u << 20) == 0) return std::to_string(v >> 20) + "m";
  if (v % (1u << 10) == 0) return std::to_string(v >> 10) + "k";
  return std::to_string(v) + "b";
}

std::string HexId(std::uint64_t id) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[id & 0xF]);
    s.insert(s.begin(), kDigits[(id >> 4) & 0xF]);
    id >>= 8;
  } while (id != 0);
  return s;
}

TLibraryResult FromWindowResult(int r) {
  switch (r) {
    case wrOk:
      return lrDone;
    case wrInputShort:
      return lrShort;
    case wrWriteError:
    case wrCanceled:
      return lrStopped;
    default:
      return lrBadData;
  }
}

// The project's inflaters read a TLegacyInput; this one draws on read.
TLibraryResult Inflate(bool deflate64, const TLibraryRead& read, const TLibraryWrite& write,
                       const bool* cancel) {
  TMemoryStream32 unused;
  TLegacyInput in(
      unused, std::numeric_limits<std::int64_t>::max(),
      [&](TStream&, void* buf, std::int64_t n) { return read(buf, n); }, cancel);
  TLegacyWriteFunc put = [&](const void* p, std::int64_t n) -> std::int64_t {
    return write(p, n) ? n : 0;
  };
  if (deflate64) return FromWindowResult(InflateEntry(in, put, true, -1, cancel));
  TRawInflater inflater(in, put, cancel);
  return FromWindowResult(inflater.Run());
}

TLibraryResult CopyStored(const TLibraryRead& read, const TLibraryWrite& write,
                          const bool* cancel) {
  std::vector<std::uint8_t> buf(kCopyChunk);
  for (;;) {
    if (cancel && *cancel) return lrStopped;
    const std::int64_t got = read(buf.data(), kCopyChunk);
    if (got <= 0) return lrDone;
    if (!write(buf.data(), std::min(got, kCopyChunk))) return lrStopped;
  }
}

TLibraryResult RunMain(const T7zCoder& c, std::uint64_t size, const TLibraryRead& read,
                       const TLibraryWrite& write, const bool* cancel) {
  switch (c.MethodId) {
    case kCopy:
      return CopyStored(read, write, cancel);
    case kLzma:
    case kLzma2:
      return DecodeRawLzma(c.MethodId == kLzma2, c.Props.data(), c.Props.size(), size, read, write,
                           cancel);
    case kDeflate:
    case kDeflate64:
      return Inflate(c.MethodId == kDeflate64, read, write, cancel);
    case kBZip2:
      return DecodeLibraryMethod(kZipMethodBZip2, size, read, write, cancel);
    case kZstd:
      return DecodeLibraryMethod(kZipMethodZstd, size, read, write, cancel);
    default:
      return lrBadData;
  }
}

// The filters between the main decoder and the caller, and the cap on
// what reaches the caller.
class TChainOutput {
 public:
  TChainOutput(const std::vector<T7zCoder>& chain, std::uint64_t limit, const TLibraryWrite& write)
      : limit_(limit), write_(write) {
    // The filter next to the main decoder sees its output first.
    for (std::size_t i = chain.size() - 1; i-- > 0;) stages_.emplace_back(MakeFilter(chain[i]));
  }

  // The main decoder's output; false stops it (the caller refused, or the
  // declared size is reached).
  bool Take(const void* p, std::int64_t n) {
    if (refused_ || n <= 0) return !refused_;
    const std::uint64_t room = limit_ - taken_;
    const std::uint64_t use = std::min<std::uint64_t>(room, static_cast<std::uint64_t>(n));
    taken_ += use;
    if (use > 0) Pass(0, static_cast<const std::uint8_t*>(p), static_cast<std::size_t>(use));
    return !refused_ && taken_ < limit_;
  }

  // Hands on the tails the filters kept back.
  void Finish() {
    for (std::size_t i = 0; i < stages_.size() && !refused_; ++i) {
      const std::uint8_t* out = nullptr;
      std::size_t size = 0;
      stages_[i].Finish(out, size);
      if (size > 0) Pass(i + 1, out, size);
    }
  }

  bool Full() const { return taken_ >= limit_; }
  bool Refused() const { return refused_; }

 private:
  void Pass(std::size_t stage, const std::uint8_t* p, std::size_t n) {
    for (; stage < stages_.size() && n > 0; ++stage) stages_[stage].Push(p, n, p, n);
    if (n > 0 && !refused_ && !write_(p, static_cast<std::int64_t>(n))) refused_ = true;
  }

  std::uint64_t limit_;
  std::uint64_t taken_ = 0;
  const TLibraryWrite& write_;
  std::vector<TFilterStage> stages_;
  bool refused_ = false;
};

}  // namespace

bool Is7zCoderSupported(const T7zCoder& coder) {
  return IsMainDecoder(coder) || IsFilter(coder);
}

bool Is7zChainSupported(const std::vector<T7zCoder>& chain) {
  if (chain.empty() || !IsMainDecoder(chain.back())) return false;
  return std::all_of(chain.begin(), chain.end() - 1, IsFilter);
}

std::string SevenZipCoderName(const T7zCoder& c) {
  const auto& p = c.Props;
  TBranchArch arch;
  if (IsBranch(c.MethodId, arch)) {
    // A start offset shows as its value, even 0.
    return kBranches[arch].Name + (p.size() == 4 ? ":" + std::to_string(GetLE32(p.data())) : "");
  }
  switch (c.MethodId) {
    case kCopy:
      return "Copy";
    case kDelta:
      return p.size() == 1 ? "Delta:" + std::to_string(p[0] + 1) : "Delta";
    case kDeflate:
      return "Deflate";
    case kDeflate64:
      return "Deflate64";
    case kBZip2:
      return "BZip2";
    case kBcj2:
      return "BCJ2";
    case kLzma: {
      if (p.size() != 5) return "LZMA";
      std::string s = "LZMA:" + SizeName(GetLE32(p.data() + 1));
      const unsigned lc = p[0] % 9, lp = p[0] / 9 % 5, pb = p[0] / 45;
      if (lc != 3) s += ":lc" + std::to_string(lc);
      if (lp != 0) s += ":lp" + std::to_string(lp);
      if (pb != 2) s += ":pb" + std::to_string(pb);
      return s;
    }
    case kLzma2: {
      if (p.size() != 1 || p[0] > 40) return "LZMA2";
      const std::uint32_t dict = p[0] == 40 ? 0xFFFFFFFFu : (2u | (p[0] & 1u)) << (p[0] / 2 + 11);
      return "LZMA2:" + SizeName(dict);
    }
    case kPpmd:
      if (p.size() != 5) return "PPMD";
      return "PPMD:o" + std::to_string(p[0]) + ":mem" + SizeName(GetLE32(p.data() + 1));
    case kAes:
      return p.empty() ? "7zAES" : "7zAES:" + std::to_string(p[0] & 0x3F);
    default:
      return HexId(c.MethodId);
  }
}

TLibraryResult Decode7zChain(const std::vector<T7zCoder>& chain,
                             const std::vector<std::uint64_t>& unpackSizes,
                             const TLibraryRead& read, const TLibraryWrite& write,
                             const bool* cancel) {
  if (!Is7zChainSupported(chain) || unpackSizes.size() != chain.size()) return lrBadData;
  // Filters keep the size; a chain that claims otherwise is damaged.
  if (std::adjacent_find(unpackSizes.begin(), unpackSizes.end(), std::not_equal_to<>()) !=
      unpackSizes.end())
    return lrBadData;
  const std::uint64_t size = unpackSizes[0];
  if (size == 0) return lrDone;
  TChainOutput out(chain, size, write);
  const TLibraryResult r = RunMain(
      chain.back(), size, read, [&](const void* p, std::int64_t n) { return out.Take(p, n); },
      cancel);
  if (out.Refused() || (cancel && *cancel)) return lrStopped;
  // Reaching the declared size ends the folder, whatever follows in the
  // packed data; the folder's CRC is the judge of that.
  if (!out.Full()) {
    if (r != lrDone) return r;
    // A stream that ends before its declared size.
    return chain.back().MethodId == kCopy ? lrShort : lrBadData;
  }
  out.Finish();
  return out.Refused() ? lrStopped : lrDone;
}

}  // namespace qmx
