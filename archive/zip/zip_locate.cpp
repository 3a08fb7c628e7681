#include "archive/zip/zip_locate.h"

#include <algorithm>
#include <array>
#include <exception>
#include <vector>

namespace qmx {
namespace {

// Offsets from the file are clamped here: nothing real lies beyond 2^62, and
// the differences below can then never overflow.
constexpr std::int64_t kFar = std::int64_t{1} << 62;

std::int64_t Clamp(std::uint64_t v) {
  return v > static_cast<std::uint64_t>(kFar) ? kFar : static_cast<std::int64_t>(v);
}

}  // namespace

namespace {

std::int64_t ReadAt(TStream& s, std::int64_t pos, void* buf, std::int64_t n) {
  return ReadStreamAt(s, pos, buf, n);
}

class TPositionGuard {
 public:
  explicit TPositionGuard(TStream& s) : s_(s) {
    try {
      pos_ = s.Position();
    } catch (const std::exception&) {
      pos_ = -1;
    }
  }
  ~TPositionGuard() {
    if (pos_ < 0) return;
    try {
      s_.Seek(pos_, soFromBeginning);
    } catch (...) {
    }
  }
  TPositionGuard(const TPositionGuard&) = delete;
  TPositionGuard& operator=(const TPositionGuard&) = delete;

 private:
  TStream& s_;
  std::int64_t pos_;
};

// First position of a local header signature in the first 4 windows of the
// file, or -1.
std::int64_t FindFirstLocalHeader(TStream& s, std::int64_t fileSize, std::int64_t window) {
  const std::int64_t limit = std::min(fileSize, 4 * window);
  std::vector<std::uint8_t> buf(static_cast<std::size_t>(window) + 3);
  std::int64_t chunkStart = 0;
  while (chunkStart < limit) {
    // Three bytes more than the chunk, so a signature across the seam is seen.
    std::int64_t want = std::min<std::int64_t>(window + 3, fileSize - chunkStart);
    std::int64_t got = ReadAt(s, chunkStart, buf.data(), want);
    for (std::int64_t i = 0; i + 4 <= got && chunkStart + i < limit; ++i) {
      if (ClassifyHeader(GetLE32(&buf[static_cast<std::size_t>(i)]), htLocal) == htLocal)
        return chunkStart + i;
    }
    if (got < want) break;
    chunkStart += window;
  }
  return -1;
}

// How far the end records found are tried; a window full of signatures
// must not turn into thousands of reads.
constexpr std::size_t kMaxEndRecords = 32;

struct TEndCandidate {
  std::int64_t At;  // in the tail window
  std::size_t Size;
  bool Enciphered;
};

enum TEndTrial { etFound, etEmpty, etDamaged };

// Reads the end record c (tail holds the window starting at windowStart) and
// looks for the directory it describes, filling z.
TEndTrial TryEndRecord(TStream& s, std::int64_t size, std::vector<std::uint8_t>& tail,
                       std::int64_t windowStart, const TEndCandidate& c, TZipLocation& z) {
  z = TZipLocation{};
  z.HeaderFlags.Include(htEnding);
  std::array<std::uint8_t, kZipEnd64Size> copy{};
  std::copy_n(&tail[static_cast<std::size_t>(c.At)], c.Size, copy.begin());
  std::span<std::uint8_t> record(copy.data(), c.Size);
  z.EndEnciphered = c.Enciphered;
  if (c.Enciphered) DecipherRecord(record);
  z.Is64 = c.Size == kZipEnd64Size;
  if (z.Is64) {
    z.End = TZipEndRecord64::Parse(record.first<kZipEnd64Size>());
  } else {
    TZipEndRecord e = TZipEndRecord::Parse(record.first<kZipEndSize>());
    z.End = {e.Signature,    e.ThisDisk,    e.CentralDisk,   e.EntriesThisDisk,
             e.TotalEntries, e.CentralSize, e.CentralOffset, e.CommentLength};
  }
  const std::int64_t E = windowStart + c.At;
  z.EndPosition = E;
  z.CommentPosition = E + static_cast<std::int64_t>(c.Size);
  z.CommentLength = std::max<std::int64_t>(0, size - z.CommentPosition);

  TZip64Locator locator;
  TZip64EndRecord zip64;
  {
    std::array<std::uint8_t, kZip64LocatorSize> lb;
    if (ReadAt(s, E - 20, lb.data(), 20) == 20 && GetLE32(lb.data()) == kZip64LocatorSig) {
      z.HeaderFlags.Include(htLocator);
      locator = TZip64Locator::Parse(lb);
      std::array<std::uint8_t, kZip64EndSize> zb;
      if (ReadAt(s, E - 76, zb.data(), 56) == 56 && GetLE32(zb.data()) == kZip64EndSig) {
        z.HeaderFlags.Include(htEnding64);
        zip64 = TZip64EndRecord::Parse(zb);
        z.Zip64CentralSize = Clamp(zip64.CentralSize);
        z.Zip64CentralOffset = Clamp(zip64.CentralOffset);
      }
    }
  }

  // Where the directory should be, what its own record says, and where it
  // must be when the offsets are off by a prefix: right before the record
  // that follows it.
  std::int64_t P, stored, fallback;
  if (z.Is64) {
    P = stored = Clamp(z.End.CentralOffset);
    fallback = E - z.End.CentralSize;
  } else if (z.HeaderFlags.Has(htEnding64)) {
    P = Clamp(locator.EndRecordOffset) - z.Zip64CentralSize;
    stored = z.Zip64CentralOffset;
    fallback = (E - 76) - z.Zip64CentralSize;
  } else {
    P = E - static_cast<std::int64_t>(z.End.CentralSize);
    stored = static_cast<std::int64_t>(z.End.CentralOffset);
    fallback = P;
  }

  // In a single file the directory, as declared, must fit in front of the
  // record that follows it, with room for every entry's fixed part. A set
  // of volumes spreads it; those values are checked where they are read.
  const bool wide = !z.Is64 && z.HeaderFlags.Has(htEnding64);
  const std::uint64_t entries = wide ? zip64.TotalEntries : z.End.TotalEntries;
  const std::uint64_t dirSize = wide ? zip64.CentralSize : z.End.CentralSize;
  const std::uint64_t dirOffset = wide ? zip64.CentralOffset : z.End.CentralOffset;
  const bool single = wide ? zip64.ThisDisk == 0 && zip64.CentralDisk == 0
                           : z.End.ThisDisk == 0 && z.End.CentralDisk == 0;
  const auto dirEnd = static_cast<std::uint64_t>(std::max<std::int64_t>(0, wide ? E - 76 : E));
  if (single && (dirSize > dirEnd || entries > dirSize / kZipCentralSize)) return etDamaged;
  // An offset past that point was written for another layout (the last
  // volume of a set, cut out): the directory can only be where its size
  // puts it, and no prefix follows from the offset.
  const bool offsetWrong = single && dirOffset > dirEnd - dirSize;
  if (offsetWrong) P = stored = fallback;
  const bool declared = entries > 0 || dirSize > 0;

  bool enciphered = false;
  std::array<std::uint8_t, kZipCentralSize> cb;
  bool found = false;
  if (ReadAt(s, P, cb.data(), 46) == 46) {
    found = ClassifyHeader(GetLE32(cb.data()), htCentral, enciphered) == htCentral;
  }
  if (!found && ReadAt(s, fallback, cb.data(), 46) == 46) {
    found = ClassifyHeader(GetLE32(cb.data()), htCentral, enciphered) == htCentral;
    if (found) {
      P = fallback;
      z.PrefixShift = P - stored;
    }
  }
  if (!found) {
    // An empty archive has nothing in front of its end record but perhaps
    // a stub; local headers there belong to entries it does not list.
    if (declared || FindFirstLocalHeader(s, E, kZipEndWindow) >= 0) return etDamaged;
    return etEmpty;
  }

  z.HeaderFlags.Include(htCentral);
  z.CentralOffsetWrong = offsetWrong;
  z.CentralEnciphered = enciphered;
  if (enciphered) DecipherRecord(cb);
  z.FirstCentral = TZipCentralHeader::Parse(cb);
  std::int64_t offset = z.FirstCentral.LocalHeaderOffset;
  if (z.FirstCentral.ExtraLength > 0) {
    // A large offset lives in the extra field, behind the name.
    std::vector<std::uint8_t> extra(z.FirstCentral.ExtraLength);
    std::int64_t n = ReadAt(s, P + 46 + z.FirstCentral.NameLength, extra.data(),
                            static_cast<std::int64_t>(extra.size()));
    TZipExtraInfo info;
    info.PackedSize = z.FirstCentral.PackedSize;
    info.UnpackedSize = z.FirstCentral.UnpackedSize;
    info.LocalOffset = z.FirstCentral.LocalHeaderOffset;
    ParseExtraField(std::span<const std::uint8_t>(extra.data(), static_cast<std::size_t>(n)), true,
                    info);
    offset = info.LocalOffset64();
  }
  auto isLocalAt = [&](std::int64_t pos) {
    std::array<std::uint8_t, kZipLocalSize> lb;
    return ReadAt(s, pos, lb.data(), 30) == 30 &&
           ClassifyHeader(GetLE32(lb.data()), htLocal) == htLocal;
  };
  if (isLocalAt(offset + z.PrefixShift)) {
    z.HeaderFlags.Include(htLocal);
  } else if (P != stored && isLocalAt(offset + P - stored)) {
    // A stub was put in front without adjusting the offsets: they are all
    // off by the distance between where the directory is and where its
    // record says it is.
    z.PrefixShift = P - stored;
    z.HeaderFlags.Include(htLocal);
  }
  z.Position = P;
  return etFound;
}

}  // namespace

std::int64_t LocateCentralDirectory(TStream& s, TZipLocation& z) {
  z = TZipLocation{};
  TPositionGuard guard(s);

  std::int64_t size = 0;
  try {
    size = s.Size();
  } catch (const std::exception&) {
    return 0;
  }
  if (size <= 1) return 0;
  // A short file is searched from its second byte: a file that is nothing
  // but an end record is no archive.
  const std::int64_t window = size > kZipEndWindow ? kZipEndWindow : size - 1;
  const std::int64_t windowStart = size - window;
  std::vector<std::uint8_t> tail(static_cast<std::size_t>(window));
  const std::int64_t got = ReadAt(s, windowStart, tail.data(), window);

  // The end records whose bytes fit the file. One whose comment ends
  // exactly at the end of the file is the real thing; the first of those
  // wins, since a later one lies inside its comment. Records followed by
  // junk come after them, the last first.
  std::vector<TEndCandidate> exact, loose;
  for (std::int64_t i = got - 4; i >= 0; --i) {
    bool enciphered = false;
    std::uint32_t w = GetLE32(&tail[static_cast<std::size_t>(i)]);
    if (ClassifyHeader(w, htEnding, enciphered) != htEnding) continue;
    std::size_t need = IsEnd64Signature(w) ? kZipEnd64Size : kZipEndSize;
    if (i + static_cast<std::int64_t>(need) > got) continue;
    std::array<std::uint8_t, kZipEnd64Size> rec{};
    std::copy_n(&tail[static_cast<std::size_t>(i)], need, rec.begin());
    if (enciphered) DecipherRecord(std::span<std::uint8_t>(rec.data(), need));
    const std::int64_t commentEnd =
        windowStart + i + static_cast<std::int64_t>(need) + GetLE16(&rec[need - 2]);
    (commentEnd == size ? exact : loose).push_back({i, need, enciphered});
    if (exact.size() + loose.size() >= kMaxEndRecords) break;
  }
  if (exact.empty() && loose.empty()) return 0;
  std::reverse(exact.begin(), exact.end());
  exact.insert(exact.end(), loose.begin(), loose.end());

  TZipLocation first;
  TEndTrial firstTrial = etDamaged;
  for (std::size_t k = 0; k < exact.size(); ++k) {
    TEndTrial t = TryEndRecord(s, size, tail, windowStart, exact[k], z);
    if (t == etFound) return z.Position;
    if (k == 0) {
      first = z;
      firstTrial = t;
    }
  }
  z = first;
  if (firstTrial == etEmpty) return z.Position;

  z.CentralDamaged = true;
  std::int64_t local = FindFirstLocalHeader(s, size, window);
  if (local >= 0) {
    z.HeaderFlags = THeaderTypeState{htLocal};
    z.Position = local;
  } else {
    z.Position = -1;
  }
  return z.Position;
}

}  // namespace qmx
