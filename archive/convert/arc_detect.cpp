#include "archive/convert/arc_detect.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <memory>

#include "archive/base/names.h"
#include "archive/codec/crc.h"
#include "archive/convert/pe_resources.h"
#include "archive/platform/ascii.h"
#include "archive/platform/disk_service.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr std::int64_t kHeadRead = 32767;
constexpr std::int64_t kHeadBuffer = 32768;
constexpr std::int64_t kScanBlock = 32768;
constexpr int kScanBlocks = 11;
constexpr std::int64_t kUueRead = 5000;
constexpr std::int64_t kArcSfxOffset = 7716;
constexpr std::int64_t kExeScanStart = 17000;
constexpr std::uint32_t kNoDosDate = 0x00210020;

constexpr std::uint32_t Word(char a, char b, char c, char d) {
  return static_cast<std::uint8_t>(a) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 8) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)) << 24);
}

bool Match(const std::uint8_t* p, std::int64_t avail, const char* pattern, std::size_t n) {
  return avail >= static_cast<std::int64_t>(n) && std::memcmp(p, pattern, n) == 0;
}

bool IsLocalHeaderWord(const std::uint8_t* p) {
  return p[0] == 'P' && p[1] == 'K' && p[2] == 3 && p[3] == 4;
}

// Switches a stream's progress hooks off for the lifetime of the guard.
class TQuietStream {
 public:
  explicit TQuietStream(TStream32& s)
      : s_(s), read_(std::move(s.ReadHook)), active_(std::move(s.ActiveProgress)) {
    s.ReadHook = nullptr;
    s.ActiveProgress = nullptr;
  }
  ~TQuietStream() {
    s_.ReadHook = std::move(read_);
    s_.ActiveProgress = std::move(active_);
  }
  TQuietStream(const TQuietStream&) = delete;
  TQuietStream& operator=(const TQuietStream&) = delete;

 private:
  TStream32& s_;
  TStreamProgress read_, active_;
};

}  // namespace

bool IsValidArcType(TArcType t) {
  return t != atNA && t != atUnsupported && t != atFileOpenErr && t != atUnknown;
}

bool IsZipLikeArcType(TArcType t) {
  return t == atJar || t == atJarExe || t == atZip || t == atZipExe;
}

std::uint64_t ParseOctal(std::span<const std::uint8_t> field) {
  std::uint64_t v = 0;
  for (std::uint8_t c : field) {
    if (c == 0) break;
    if (c >= '0' && c <= '7') v = v * 8 + (c - '0');
  }
  return v;
}

bool IsUUEncodedText(std::span<const std::uint8_t> text) {
  const std::int64_t n = static_cast<std::int64_t>(text.size());
  bool beginSeen = false;
  for (std::int64_t i = 0; i < n; ++i) {
    if (i > 0 && text[i - 1] != '\n') continue;
    if (n - i - 1 < 3) break;
    const std::uint8_t* p = text.data() + i;
    if (Match(p, n - i, "begin 6", 7) || Match(p, n - i, "begin 7", 7)) return true;
    // The reader decodes Base64 bodies too.
    if (Match(p, n - i, "begin-base64 ", 13)) return true;
    if (Match(p, n - i, "begin", 5))
      beginSeen = true;
    else if (beginSeen && p[0] == 'M')
      return true;
  }
  return false;
}

TArcType DetectArcType(TStream32& stream, const std::string& archiveFile, TDetectResult& result) {
  const TArcType t = TArcDetector(stream, archiveFile, result).Detect();
  result.HeaderFlags = result.Zip.HeaderFlags;
  return t;
}

namespace {

// The components' view of a detection: the common facts, with the ZIP
// location as the format's own.
TArcType DetectForComponent(TStream32& stream, const std::string& archiveFile,
                            TDetectFacts& facts) {
  TDetectResult r;
  const TArcType t = DetectArcType(stream, archiveFile, r);
  facts = r;
  facts.Format = std::make_shared<const TZipLocation>(r.Zip);
  return t;
}

}  // namespace

void InstallArcTypeDetector() {
  SetArcTypeDetector(&DetectForComponent);
}

// ------------------------------------------------------------ TArcDetector

TArcDetector::TArcDetector(TStream32& stream, std::string archiveFile, TDetectResult& result)
    : stream_(stream), archive_file_(std::move(archiveFile)), r_(result) {}

std::int64_t TArcDetector::ReadAt(std::int64_t pos, void* buf, std::int64_t n) {
  if (pos >= size_) return 0;
  return ReadStreamAt(stream_, pos, buf, n);
}

std::int64_t TArcDetector::LocateCentralDirectory() {
  return ::qmx::LocateCentralDirectory(stream_, r_.Zip);
}

std::int64_t TArcDetector::ZipPositionOr(std::int64_t fallback) {
  std::int64_t pos = LocateCentralDirectory();
  return pos > 0 ? pos : fallback;
}

bool TArcDetector::AceAt7() const {
  return head_len_ >= 14 && std::memcmp(head_.data() + 7, "**ACE**", 7) == 0;
}

TArcType TArcDetector::Detect() {
  TQuietStream quiet(stream_);
  r_ = TDetectResult{};
  try {
    size_ = stream_.Size();
  } catch (const std::exception&) {
    size_ = 0;
  }
  r_.ArchiveSize = size_;

  TArcType t = atNA;
  if (size_ > 19) {
    head_.assign(kHeadBuffer, 0);
    head_len_ = std::max<std::int64_t>(0, ReadAt(0, head_.data(), kHeadRead));
    if (head_len_ >= 2 && head_[0] == 'M' && head_[1] == 'Z')
      t = DetectExecutable();
    else
      t = DetectPlain();
  } else if (size_ >= 3) {
    // compress makes files this small from a few bytes; nothing else here
    // is an archive.
    std::uint8_t h[2] = {};
    if (ReadAt(0, h, 2) == 2 && h[0] == 0x1F && h[1] == 0x9D) t = atGZip;
  }
  head_.clear();
  head_.shrink_to_fit();
  if (t == atNA) t = Find7zBehindStub();

  if (IsValidArcType(t) && r_.ArchivePosition == -1) r_.ArchivePosition = 0;
  if (t == atZip && SameTextAscii(ExtractFileExt(archive_file_), ".jar")) t = atJar;
  std::uint32_t date = archive_file_.empty() ? 0 : FileGetDate(archive_file_);
  r_.ArchiveDate = date ? date : kNoDosDate;
  r_.Type = t;
  return t;
}

TArcType TArcDetector::DetectExecutable() {
  TArcType t = ProbeSfxStub();
  if (IsValidArcType(t)) {
    // Only a ZIP stub has a directory to find; the others keep the offset
    // the stub told us.
    if (IsZipLikeArcType(t)) r_.ArchivePosition = ZipPositionOr(r_.ArchivePosition);
    return t;
  }

  // Self-extractors that keep their archive offset in their string table.
  TPeStringTable strings;
  if (strings.Open(stream_)) {
    for (std::uint32_t id = 1; id <= 7; ++id) {
      std::string s = strings.LoadString(id, 5);
      if (s.empty() ||
          !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        break;
      const std::int64_t offset = std::stoll(s);
      if (offset >= size_) break;
      r_.ArchivePosition = offset;
      std::array<std::uint8_t, 14> b{};
      if (ReadAt(offset, b.data(), 14) != 14) continue;
      if (std::memcmp(b.data() + 7, "**ACE**", 7) == 0) return atAceExe;
      t = ClassifySignature(smBehindStub, GetLE32(b.data()));
      if (t != atNA) {
        if (IsZipLikeArcType(t)) r_.ArchivePosition = ZipPositionOr(offset);
        return t;
      }
    }
  }

  // Behind the image as its DOS header measures it.
  std::int64_t d =
      (static_cast<std::int64_t>(GetLE16(head_.data() + 4)) - 1) * 512 + GetLE16(head_.data() + 2);
  std::array<std::uint8_t, 4> b{};
  if (d > 0 && d + 4 < size_ && ReadAt(d, b.data(), 4) == 4 && b[2] == 0x60 && b[3] == 0xEA) d += 2;
  r_.ArchivePosition = d;
  bool unsupported = false;
  const std::int64_t stubEnd = d;
  if (d >= 0 && d + 4 < size_ && ReadAt(d, b.data(), 4) == 4 && !IsLocalHeaderWord(b.data())) {
    t = ClassifySignature(smBehindStub, GetLE32(b.data()));
    if (IsValidArcType(t)) return t;
    unsupported = t == atUnsupported;
  }

  r_.ArchivePosition = LocateCentralDirectory();
  if (r_.ArchivePosition > 0) return atZipExe;

  t = ScanForSignature(kExeScanStart);
  if (t == atNA && unsupported) {
    // A known signature where we cannot read it says more than "unknown".
    r_.ArchivePosition = stubEnd;
    return atUnsupported;
  }
  return t;
}

TArcType TArcDetector::DetectPlain() {
  std::int64_t p = 0;
  if (head_[0] == 0) {
    while (p < head_len_ && head_[static_cast<std::size_t>(p)] == 0) ++p;
    if (size_ - p > 132 && head_len_ > 131 && head_[130] == '-' && head_[131] == 'l') {
      r_.ArchivePosition = 128;
      return atLha;
    }
  }
  const std::uint32_t word = p + 4 <= kHeadBuffer ? GetLE32(head_.data() + p) : 0;
  TArcType t = ClassifySignature(smFileStart, word);
  THeaderTypeState& flags = r_.Zip.HeaderFlags;
  if (IsZipLikeArcType(t)) {
    r_.ArchivePosition = LocateCentralDirectory();
    if (!flags.Has(htLocal) && r_.ArchivePosition == 0) {
      r_.ArchivePosition = p;
      flags.Include(htLocal);
    }
    // The last volume of a split set may begin with a local header too.
    if (t == atZip && r_.Zip.End.ThisDisk != 0) t = ClassifySpannedZip();
  } else if (t == atZipDS || t == atZipMV) {
    r_.ArchivePosition = LocateCentralDirectory();
    if (flags.Empty()) flags.Include(htLocal);
  } else if (t == atFileOpenErr || t == atUnknown) {
    return t;
  } else if (t != atNA && AceAt7()) {
    t = atAce;
  }
  if (IsValidArcType(t)) return t;

  if (AceAt7()) return atAce;
  if (IsUUEncoded()) return atUUE;
  if (IsTarArchive()) return atTar;
  r_.ArchivePosition = LocateCentralDirectory();
  if (r_.ArchivePosition > 0) return r_.Zip.End.ThisDisk == 0 ? atZip : ClassifySpannedZip();
  return ScanForSignature(0);
}

TArcType TArcDetector::ClassifySignature(TSignatureMode mode, std::uint32_t word) {
  const bool start = mode == smFileStart;
  const std::uint8_t b0 = word & 0xFF, b1 = (word >> 8) & 0xFF, b2 = (word >> 16) & 0xFF,
                     b3 = word >> 24;
  const std::uint16_t first2 = word & 0xFFFF;
  auto two = [](char a, char b) {
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(a) |
                                      (static_cast<std::uint8_t>(b) << 8));
  };

  if (word == Word('B', 'H', 5, 7)) return start ? atBh : atBhExe;
  if (word == Word('R', 'a', 'r', '!')) return start ? atRar : atRarExe;
  if (word == Word('7', 'z', '\xBC', '\xAF') && start && head_len_ >= 6 && head_[4] == 0x27 &&
      head_[5] == 0x1C)
    return at7z;
  if (word == Word('P', 'K', 'G', '5')) return atUnknown;
  if (word == Word('M', 'S', 'C', 'F')) return start ? atCab : atCabExe;
  if (word == Word('\xB7', '\xDF', 'T', 'W')) {
    if (start) return atArc;
    r_.ArchivePosition = kArcSfxOffset;
    return atArcExe;
  }
  if (word == Word('\x13', ']', 'e', '\x8C')) return start ? atMsGZ : atUnsupported;
  if (b2 == '-' && b3 == 'l') return start ? atLha : atLhaExe;
  if (b0 == 0x1A) {
    if (b1 == 0x02 || b1 == 0x1E) return start ? atArc : atUnsupported;
    if (b1 == 0x08 || b1 == 0x09) return start ? atArc : atArcExe;
    if (b1 == 0x0A || b1 == 0x0B) return start ? atPak : atPakExe;
  }
  if ((b0 == 0x1F && (b1 == 0x1E || b1 == 0x8B || b1 == 0x9D || b1 == 0x9E || b1 == 0xA0)) ||
      (b0 == 0x25 && b1 == 0x21))
    return start ? atGZip : atUnsupported;
  if (first2 == two('H', 'A')) return start ? atHA : atUnsupported;
  if (first2 == two('P', 'K') || first2 == two('P', 'L')) {
    if (b2 == 1 && b3 == 2) {
      TArcType t = ClassifySpannedZip();
      LocateCentralDirectory();
      return t;
    }
    if (b2 == 7 && b3 == 8) return ClassifySpannedZip();
    if ((b2 == 'G' && b3 == '4') || (b2 == 'C' && b3 == 'I')) return atNA;
    return start ? atZip : atZipExe;
  }
  if (first2 == two('Z', 'O')) return start ? atZoo : atUnsupported;
  if (b0 == 0xB7 && (b1 == 0x92 || b1 == 0xDF)) {
    r_.ArchivePosition = kArcSfxOffset;
    return atArcExe;
  }
  if (b0 == 0x60 && b1 == 0xEA) return start ? atArj : atArjExe;
  return atNA;
}

TArcType TArcDetector::Find7zBehindStub() {
  // 7z has no self-extracting type: an archive behind a stub (PE, ELF) is
  // read from where it starts. A start header whose CRC holds tells it
  // from the same six bytes inside the stub's code.
  constexpr std::int64_t kLimit = 4 << 20;
  constexpr std::int64_t kBlock = 65536;
  std::vector<std::uint8_t> buf(kBlock + 32);
  for (std::int64_t at = 1; at < std::min(size_, kLimit); at += kBlock) {
    const std::int64_t n = ReadAt(at, buf.data(), kBlock + 32);
    for (std::int64_t i = 0; i + 32 <= n && i < kBlock; ++i) {
      const std::uint8_t* p = buf.data() + i;
      if (!Match(p, n - i, "7z\xBC\xAF\x27\x1C", 6)) continue;
      if (Crc32(p + 12, 20) != GetLE32(p + 8)) continue;
      r_.ArchivePosition = at + i;
      return at7z;
    }
    if (n < kBlock + 32) break;
  }
  return atNA;
}

TArcType TArcDetector::ClassifySpannedZip() {
  TDriveInfo drive;
  if (!DiskService().DriveOf(archive_file_, drive)) return atNA;
  if (drive.Type != drvRemovable) return atZipMV;
  const std::string label = drive.Label.substr(0, drive.Label.find(' '));
  return SameTextAscii(label, "PKBACK#") ? atZipDS : atZipMV;
}

TArcType TArcDetector::ProbeSfxStub() {
  const std::uint8_t* h = head_.data();
  for (std::int64_t off : {6674, 6867, 7716, 8601, 13138}) {
    if (size_ < off + 3) break;
    if (h[off] != 0x1A) continue;
    std::uint8_t k = h[off + 1];
    if (k == 0x08 || k == 0x09 || k == 0x0A || k == 0x0B) {
      r_.ArchivePosition = off;
      return (k == 0x08 || k == 0x09) ? atArcExe : atPakExe;
    }
  }
  if (head_len_ > 1951 && h[1947] == '-' && h[1948] == 'l' && h[1949] == 'h' && h[1951] == '-') {
    r_.ArchivePosition = 1945;
    return atLhaExe;
  }
  for (std::int64_t off : {7612, 25661}) {
    if (size_ > off + 4 && head_len_ >= off + 4 && IsLocalHeaderWord(h + off)) {
      r_.ArchivePosition = off;
      return atZipExe;
    }
  }
  return atNA;
}

TArcType TArcDetector::ScanForSignature(std::int64_t start) {
  r_.ArchivePosition = 0;
  if (start < 0 || start >= size_) return atNA;
  std::vector<std::uint8_t> buf(kScanBlock);
  for (int block = 0; block < kScanBlocks; ++block) {
    const std::int64_t blockStart = start + block * kScanBlock;
    if (blockStart >= size_) break;
    const std::int64_t n = ReadAt(blockStart, buf.data(), kScanBlock);
    if (n <= 0) break;
    for (std::int64_t i = 0; i < n; ++i) {
      const std::uint8_t* p = buf.data() + i;
      const std::int64_t avail = n - i;
      const std::int64_t b = blockStart + i;
      if (b >= 7 && Match(p, avail, "**ACE", 5)) {
        r_.ArchivePosition = b - 7;
        return b == 7 ? atAce : atAceExe;
      }
      if (b >= 2 && Match(p, avail, "-lh", 3) && avail >= 5 && p[4] == '-') {
        r_.ArchivePosition = b - 2;
        return b == 2 ? atLha : atLhaExe;
      }
      if (Match(p, avail, "BH\x05\x07", 4) && !Match(p + 4, avail - 4, "\x0F\x94\xC3\x84", 4)) {
        r_.ArchivePosition = b;
        return b == 0 ? atBh : atBhExe;
      }
      if (Match(p, avail, "MSCF\0\0\0\0", 8)) {
        // At the very start a cabinet would have been recognised already;
        // this one is data inside something else.
        if (start == 0) break;
        r_.ArchivePosition = b;
        return b == 0 ? atCab : atCabExe;
      }
      if (Match(p, avail, "PK\x03\x04", 4) && !Match(p + 4, avail - 4, "\x74\x0B\x3D\x00", 4)) {
        TArcType t = start == 0 ? atZip : atZipExe;
        r_.ArchivePosition = ZipPositionOr(b);
        return t;
      }
      if (Match(p, avail, "Rar!", 4)) {
        r_.ArchivePosition = b;
        return b == 0 ? atRar : atRarExe;
      }
      if (avail >= 4 && p[0] == 0x60 && p[1] == 0xEA) {
        // An ARJ header is confirmed by the next header id right after it.
        const std::int64_t next = i + GetLE16(p + 2) + 10;
        if (next < kScanBlock && next + 2 <= n && buf[next] == 0x60 && buf[next + 1] == 0xEA) {
          r_.ArchivePosition = b;
          return b == 0 ? atArj : atArjExe;
        }
      }
    }
    if (n < kScanBlock) break;
  }
  r_.ArchivePosition = 0;
  return atNA;
}

bool TArcDetector::IsUUEncoded() {
  const std::int64_t n = std::min(head_len_, kUueRead);
  return IsUUEncodedText(std::span<const std::uint8_t>(head_.data(), static_cast<std::size_t>(n)));
}

bool TArcDetector::IsTarArchive() {
  if (size_ <= 512 || head_len_ < 512) return false;
  const std::uint8_t* h = head_.data();
  if (h[156] == 'V') {
    r_.ArchivePosition = 512;
    if (size_ > 1024 && head_len_ >= 1024) h += 512;
  }
  std::uint64_t sum = 0;
  for (int i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? 32 : h[i];
  if (ParseOctal(std::span<const std::uint8_t>(h + 148, 8)) == sum) return true;
  r_.ArchivePosition = -1;
  return false;
}

}  // namespace qmx
