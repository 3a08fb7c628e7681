#include "archive/zip/zip_reader.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <exception>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive/base/names.h"
#include "archive/codec/codec_streams.h"
#include "archive/codec/crc.h"
#include "archive/codec/explode.h"
#include "archive/codec/inflate64.h"
#include "archive/codec/library_decoders.h"
#include "archive/codec/zip_crypt.h"
#include "archive/platform/codepage.h"
#include "archive/platform/ui_hooks.h"
#include "archive/zip/disk_spann.h"
#include "archive/zip/legacy_decoders.h"
#include "archive/zip/zip_aes.h"
#include "archive/zip/zip_component.h"
#include "archive/zip/zip_locate.h"

namespace qmx {
namespace {

constexpr std::int64_t kChunk = 32768;
// Names are kept up to one byte past the longest path the file system
// takes, so a longer one is known to be too long rather than cut.
constexpr std::size_t kNameKept = PATH_MAX;
constexpr std::size_t kComponentMax = NAME_MAX;
constexpr std::uint32_t kDirectoryAttr = 0x10;

// The number, and the name of a method we know of but do not decode, so a
// user learns which tool can read the entry.
std::string MethodText(int method) {
  static const std::pair<int, const char*> kKnown[] = {
      {7, "Tokenizing"}, {12, "BZip2"}, {14, "LZMA"}, {18, "IBM TERSE"}, {19, "IBM LZ77"},
      {93, "Zstandard"}, {95, "XZ"},    {96, "JPEG"}, {97, "WavPack"},   {98, "PPMd"}};
  for (const auto& [number, name] : kKnown)
    if (number == method) return std::to_string(method) + ", " + name;
  return std::to_string(method);
}

// The packed data of one entry seen as a stream. Reads go through the
// reader, which deciphers, stops at the packed size and moves on to the
// next volume; seeks only report the position, since every decoder reads
// forward.
class TEntryDataStream : public TStream32 {
 public:
  using TReadFunc = std::function<std::int64_t(void*, std::int64_t)>;
  explicit TEntryDataStream(TReadFunc read) : read_(std::move(read)) {}

  std::int64_t Read(void* buffer, std::int64_t count) override {
    if (count <= 0) return 0;
    std::int64_t got = read_(buffer, count);
    if (got > 0) pos_ += got;
    return got;
  }
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  std::int64_t Seek(std::int64_t, int) override { return pos_; }
  std::int64_t GetSize() override { return pos_; }

 private:
  TReadFunc read_;
  std::int64_t pos_ = 0;
};

// Why a stored name cannot become a file here, or "": a NUL would end it
// early and the file system takes no longer component or path, so such a
// name is refused rather than cut.
std::string NameRefusal(const std::string& stored, std::size_t storedLength,
                        const std::string& output) {
  if (stored.find('\0') != std::string::npos) return "the name contains a NUL byte";
  if (storedLength >= kNameKept || output.size() >= kNameKept)
    return "the path is longer than " + std::to_string(kNameKept - 1) + " bytes";
  std::size_t start = 0;
  while (start < stored.size()) {
    std::size_t end = stored.find_first_of("/\\", start);
    if (end == std::string::npos) end = stored.size();
    if (end - start > kComponentMax)
      return "a part of the name is longer than " + std::to_string(kComponentMax) + " bytes";
    start = end + 1;
  }
  return {};
}

// Reads a record's name, keeping at most kNameKept bytes (the rest is skipped).
std::string ReadName(TStream& s, std::int64_t pos, std::uint16_t length) {
  std::array<std::uint8_t, kNameKept> buf{};
  const std::int64_t want = std::min<std::int64_t>(length, kNameKept);
  const std::int64_t got = ReadStreamAt(s, pos, buf.data(), want);
  return std::string(reinterpret_cast<const char*>(buf.data()),
                     static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
}

// Reads the name after a local or central header record and, for an
// enciphered record, deciphers record and name as one cipher stream. The
// name length is only readable once the record is deciphered.
template <std::size_t N>
std::string ReadRecordName(TStream& s, std::int64_t pos, std::array<std::uint8_t, N>& rec,
                           bool enciphered) {
  constexpr std::size_t kLengthAt = N == kZipLocalSize ? 26 : 28;
  std::array<std::uint8_t, N> plain = rec;
  if (enciphered) DecipherRecord(plain);
  std::string name =
      ReadName(s, pos + static_cast<std::int64_t>(N), GetLE16(plain.data() + kLengthAt));
  if (enciphered)
    DecipherRecord(
        rec, std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(name.data()), name.size()));
  return name;
}

std::vector<std::uint8_t> ReadExtra(TStream& s, std::int64_t pos, std::uint16_t length) {
  std::vector<std::uint8_t> extra(length);
  const std::int64_t got = length ? ReadStreamAt(s, pos, extra.data(), length) : 0;
  extra.resize(static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
  return extra;
}

// Info-ZIP's Unicode Path block (0x7075): the UTF-8 spelling of a name
// whose name field holds another spelling, valid while the CRC of that
// field still matches. Empty when absent or stale.
std::string UnicodePath(std::span<const std::uint8_t> extra, const std::string& rawName,
                        std::uint16_t rawLength) {
  constexpr std::uint16_t kExtraUnicodePath = 0x7075;
  std::size_t p = 0;
  while (p + 4 <= extra.size()) {
    const std::uint16_t tag = GetLE16(extra.data() + p);
    const std::size_t size = GetLE16(extra.data() + p + 2);
    if (p + 4 + size > extra.size()) break;
    const std::uint8_t* d = extra.data() + p + 4;
    // A kept name shorter than the field cannot be checked against its CRC.
    if (tag == kExtraUnicodePath && size > 5 && d[0] == 1 && rawName.size() == rawLength &&
        GetLE32(d + 1) == Crc32(rawName.data(), rawName.size()))
      return std::string(reinterpret_cast<const char*>(d + 5),
                         std::min<std::size_t>(size - 5, kNameKept));
    p += 4 + size;
  }
  return {};
}

// A file that is one end record listing nothing, with its comment: an
// empty archive (the end record search never sees a record at byte 0).
bool IsEmptyArchiveAt(TStream& s, std::int64_t pos) {
  std::array<std::uint8_t, kZipEndSize> b;
  if (pos != 0 || ReadStreamAt(s, pos, b.data(), kZipEndSize) != kZipEndSize) return false;
  const TZipEndRecord e = TZipEndRecord::Parse(b);
  try {
    return e.Signature == kZipEndSig && e.TotalEntries == 0 && e.CentralSize == 0 &&
           static_cast<std::int64_t>(kZipEndSize) + e.CommentLength == s.Size();
  } catch (const std::exception&) {
    return false;
  }
}

bool IsAes(TEncryptionMethod m) {
  return m == emAES2_128 || m == emAES2_192 || m == emAES2_256;
}

// Bytes in front of an encrypted entry's data (and an AES entry's trailer)
// that the packed size counts.
std::int64_t EncryptionOverhead(TEncryptionMethod m) {
  if (m == emZIP_v2) return kZipEncryptionHeaderSize;
  if (IsAes(m)) return AesSaltLength(m) + 2;
  return 0;
}

// The encryption kind of an encrypted entry decided from its extra field:
// an AES block gives its strength, anything else the traditional cipher.
TEncryptionMethod EntryEncryption(std::uint16_t flags, std::span<const std::uint8_t> extra) {
  if (!(flags & kZipFlagEncrypted)) return emNone;
  return EncryptionFromExtra(extra);
}

// a + b for b >= 0, held at the int64 maximum.
std::int64_t AddClamped(std::int64_t a, std::int64_t b) {
  return a > INT64_MAX - b ? INT64_MAX : a + b;
}

std::int64_t PackedOf(const TZipEntryItem& e) {
  return e.Extra.PackedSize64();
}
std::int64_t UnpackedOf(const TZipEntryItem& e) {
  return e.Extra.UnpackedSize64();
}

}  // namespace

TUnZip::TUnZip()
    : FCrypt(std::make_unique<TZipCrypt>()), FDiskSpann(std::make_unique<TDiskSpannObj>(*this)) {}

TUnZip::~TUnZip() = default;

bool TUnZip::VerifyPassword(const std::uint8_t header[12]) {
  std::span<const std::uint8_t, kZipEncryptionHeaderSize> h(header, kZipEncryptionHeaderSize);
  return FCrypt->CheckEncryptionHeader(h, FFlags, FExpectedCrc, Password,
                                       static_cast<std::uint16_t>(FLocal.DosTime & 0xFFFF));
}

void TUnZip::PrepareAes(TEncryptionMethod encryption, TStream* archive) {
  FAes.reset();
  FAesHeaderBytes = 0;
  if (IsAes(encryption)) FAes = std::make_unique<TqmxAES>(archive, nullptr);
}

bool TUnZip::VerifyAesPassword(TStream& archive) {
  if (!FAes) return false;
  if (Password.size() > TqmxAES::kMaxPasswordLength) {
    ReportError(FFileName, "Password longer than 128 bytes", FVolumeName, E_INVALID_PASSWORD);
    return false;
  }
  FAes->SetSource(&archive);
  FAesHeaderBytes = 0;
  return FAes->BeginDecrypt(Password, FAesHeaderBytes, EncryptionMethod);
}

void TUnZip::FinishAesEntry(std::unique_ptr<TFileStream32>& archive,
                            std::unique_ptr<TFileStream32>& out) {
  // Data the decoder left unread is still covered by the code.
  SetEntryCipher(FAes.get());
  std::vector<std::uint8_t> sink(kChunk);
  while (FPackedLeft > 0 && !GetCancel())
    if (ReadEntryData(archive, sink.data(), kChunk) <= 0) break;
  SetEntryCipher(nullptr);
  const bool complete = FPackedLeft == 0;
  std::array<std::uint8_t, TqmxAES::kCodeLength> code{};
  FPackedLeft = static_cast<std::int64_t>(code.size());
  const std::int64_t got = complete ? ReadEntryData(archive, code.data(), FPackedLeft) : 0;
  bool pass = complete && !FDecodeFailed && !(FEntryEncrypted && FPasswordFailed) &&
              FAes->EndDecrypt(std::span<const std::uint8_t>(
                  code.data(), static_cast<std::size_t>(std::max<std::int64_t>(got, 0))));
  // Version 1 entries keep their CRC as well.
  if (pass && FItem.Extra.AesVersion() == 1) pass = FExpectedCrc == (FEntryCrc.Crc32 ^ 0xFFFFFFFFu);
  FAes.reset();
  CloseOutput(out, FFileName, FItem.Attributes & 0xFF, FDosTime);
  if (!SizeMismatch(pass)) ReportVerdict(pass);
}

// ------------------------------------------------------------- the archive

void TUnZip::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  FEntries.clear();
  FLocalScan = false;
  FOpenVolume = -1;
  const TEncryptionMethod savedEncryption = EncryptionMethod;
  struct TRestore {
    TUnZip& z;
    TEncryptionMethod e;
    ~TRestore() {
      z.EncryptionMethod = e;
      z.SetEntryCipher(nullptr);
      z.FEntries.clear();
      z.FEntries.shrink_to_fit();
    }
  } restore{*this, savedEncryption};

  FZipLocation = ZipLocationOf(*this);
  if (FArcType == atZipDS) {
    if (!FDiskSpann->RequestDisk(archive, 0, 0)) return;
    const TDetectFacts& facts = FDiskSpann->LastDiskFacts();
    FZipLocation = ZipLocationOf(facts);
    FHeaderFlags = facts.HeaderFlags;
    FArchiveSize = FDiskSpann->ArchiveSize();
    SetFormatFacts(std::make_shared<const TZipLocation>(FZipLocation));
  }
  if (!archive) return;
  // A component that was given a type but no detection facts searches itself.
  if (FZipLocation.HeaderFlags.Empty()) {
    LocateCentralDirectory(*archive, FZipLocation);
    FHeaderFlags = FZipLocation.HeaderFlags;
  }
  // No end record at all: the entries can only come from the local headers,
  // from where detection saw the first one.
  if (FHeaderFlags.Empty() && !IsSpanned()) {
    FZipLocation.Position = std::max<std::int64_t>(FArchivePosition, 0);
    FZipLocation.HeaderFlags = FHeaderFlags = THeaderTypeState{htLocal};
  }
  // What was found here holds for the next run as well.
  SetFormatFacts(std::make_shared<const TZipLocation>(FZipLocation));
  FLastVolume = FZipLocation.End.ThisDisk + 1;
  if (IsSpanned()) FOpenVolume = FLastVolume;

  bool any;
  if (FHeaderFlags == THeaderTypeState{htLocal}) {
    FLocalScan = true;
    any = ScanLocalHeaders(*archive);
  } else {
    any = ReadCentralDirectory(archive);
    // A directory was declared, but neither it nor a local header is there.
    if (!any && FZipLocation.CentralDamaged)
      ReportError(FArchiveFile, "", FVolumeName, E_HEADER_NOT_FOUND);
    if (any && FZipLocation.CentralOffsetWrong && !IsSpanned())
      ReportError(FArchiveFile, "", FVolumeName, E_CENTRAL_OFFSET);
  }
  if (!any) return;
  for (std::size_t i = 0; i < FEntries.size(); ++i)
    if (!ExtractEntry(archive, i)) break;
}

bool TUnZip::ReadCentralDirectory(std::unique_ptr<TFileStream32>& archive) {
  const TZipLocation& loc = FZipLocation;
  if (!loc.HeaderFlags.Has(htCentral) && !loc.HeaderFlags.Has(htEnding)) return false;
  int disk = loc.End.ThisDisk;
  std::int64_t pos = loc.Position;
  // A directory that starts on an earlier volume is read from there on.
  if (IsSpanned() && loc.End.CentralDisk < loc.End.ThisDisk) {
    disk = loc.End.CentralDisk;
    pos = static_cast<std::int64_t>(loc.End.CentralOffset);
    if (!OpenVolume(archive, disk + 1, pos)) return false;
  }
  const std::int64_t prefixShift = loc.PrefixShift;
  std::int64_t recoveryShift = 0;
  bool firstVerify = true;
  const int directoryDisk = disk;
  const std::int64_t directoryStart = pos;
  std::int64_t directoryEnd = pos;

  for (;;) {
    while (archive && !GetCancel()) {
      std::array<std::uint8_t, kZipCentralSize> rec;
      if (pos < 0 || ReadStreamAt(*archive, pos, rec.data(), rec.size()) != kZipCentralSize) break;
      bool enciphered = false;
      if (ClassifyHeader(GetLE32(rec.data()), htCentral, enciphered) != htCentral) break;
      std::string name = ReadRecordName(*archive, pos, rec, enciphered);
      TZipCentralHeader ch = TZipCentralHeader::Parse(rec);
      const std::int64_t next = pos + static_cast<std::int64_t>(kZipCentralSize) + ch.NameLength +
                                ch.ExtraLength + ch.CommentLength;
      std::vector<std::uint8_t> extra =
          ReadExtra(*archive, pos + kZipCentralSize + ch.NameLength, ch.ExtraLength);
      TZipEntryItem item;
      item.Extra.PackedSize = ch.PackedSize;
      item.Extra.UnpackedSize = ch.UnpackedSize;
      item.Extra.LocalOffset = ch.LocalHeaderOffset;
      ParseExtraField(extra, true, item.Extra);
      ch.PackedSize = item.Extra.PackedSize;
      ch.UnpackedSize = item.Extra.UnpackedSize;
      ch.LocalHeaderOffset = item.Extra.LocalOffset;
      item.Central = ch;
      const std::string unicode = UnicodePath(extra, name, ch.NameLength);
      item.Name =
          unicode.empty() ? StoredNameOf(name, ch.Flags) : StoredNameOf(unicode, kZipFlagUtf8);
      pos = next;
      if (!IsFileInSpec(item.Name)) continue;

      item.Volume = static_cast<std::uint16_t>(ch.DiskNumberStart + (FArcType == atZipDS ? 1 : 0));
      item.Position = item.Extra.LocalOffset64() + prefixShift + recoveryShift;
      item.Attributes = ch.ExternalAttributes;
      if (!IsSpanned()) {
        bool ok = IsLocalHeaderAt(*archive, item.Position);
        if (!ok && firstVerify) {
          std::int64_t k = RecoverLocalHeader(*archive, item.Position);
          if (k >= 0) {
            recoveryShift = k + 1;
            item.Position += recoveryShift;
            ok = true;
          }
        }
        firstVerify = false;
        if (!ok) {
          ReportError(item.Name, "", FVolumeName, E_BAD_LOCAL_OFFSET);
          continue;
        }
      }
      item.Encryption = EntryEncryption(ch.Flags, extra);
      NoteSelectedEntry(PackedOf(item) - EncryptionOverhead(item.Encryption), UnpackedOf(item),
                        ch.DosTime);
      FEntries.push_back(std::move(item));
    }
    if (disk == directoryDisk) directoryEnd = pos;
    if (!IsSpanned() || GetCancel() || disk >= loc.End.ThisDisk) break;
    // The directory goes on at the start of the next volume.
    ++disk;
    pos = 0;
    if (!OpenVolume(archive, disk + 1, pos)) break;
  }
  MarkOverlaps(directoryDisk, directoryStart, directoryEnd);
  return !FEntries.empty();
}

void TUnZip::MarkOverlaps(int directoryDisk, std::int64_t directoryStart,
                          std::int64_t directoryEnd) {
  // Entries that share data multiply it: a small archive of overlapping
  // entries can fill a disk. Volumes of a set are separate files; a single
  // file is one range whatever disk numbers its entries claim.
  const bool perDisk = IsSpanned();
  const int dsBase = FArcType == atZipDS ? 1 : 0;
  auto diskOf = [&](const TZipEntryItem& e) { return perDisk ? static_cast<int>(e.Volume) : 0; };
  const int cdDisk = perDisk ? directoryDisk + dsBase : 0;
  // The local extra field is unknown yet; its length is checked against
  // DataLimit once the local header is read.
  auto endOf = [](const TZipEntryItem& e) {
    return AddClamped(AddClamped(e.Position, kZipLocalSize + e.Central.NameLength),
                      e.Extra.PackedSizeFull());
  };
  std::vector<std::size_t> order(FEntries.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const TZipEntryItem &x = FEntries[a], &y = FEntries[b];
    return diskOf(x) != diskOf(y) ? diskOf(x) < diskOf(y) : x.Position < y.Position;
  });
  std::int64_t reach = INT64_MIN;
  for (std::size_t k = 0; k < order.size(); ++k) {
    TZipEntryItem& e = FEntries[order[k]];
    if (k > 0 && diskOf(FEntries[order[k - 1]]) != diskOf(e)) reach = INT64_MIN;
    const std::int64_t end = endOf(e);
    if (e.Position < reach) e.Overlaps = true;
    reach = std::max(reach, end);
    if (k + 1 < order.size() && diskOf(FEntries[order[k + 1]]) == diskOf(e)) {
      e.DataLimit = FEntries[order[k + 1]].Position;
      if (end > e.DataLimit) e.Overlaps = true;
    }
    if (diskOf(e) != cdDisk) continue;
    if (e.Position < directoryEnd && end > directoryStart) e.Overlaps = true;
    if (e.Position < directoryStart) e.DataLimit = std::min(e.DataLimit, directoryStart);
  }
}

bool TUnZip::ScanLocalHeaders(TFileStream32& archive) {
  if (OnCorruptZipHeader) {
    bool cancel = true;
    OnCorruptZipHeader(*this, FHeaderFlags, cancel);
    if (cancel) return false;
  }
  std::int64_t pos = FZipLocation.Position;
  if (pos < 0) {
    ReportError(FArchiveFile, "", FVolumeName, E_HEADER_NOT_FOUND);
    return false;
  }
  std::uint8_t sig[4];
  if (ReadStreamAt(archive, pos, sig, 4) == 4 && GetLE32(sig) == kZipSplitSig) pos += 4;

  int headers = 0;
  while (!GetCancel()) {
    std::array<std::uint8_t, kZipLocalSize> rec;
    if (ReadStreamAt(archive, pos, rec.data(), rec.size()) != kZipLocalSize) break;
    bool enciphered = false;
    if (ClassifyHeader(GetLE32(rec.data()), htLocal, enciphered) != htLocal) break;
    ++headers;
    std::string name = ReadRecordName(archive, pos, rec, enciphered);
    TZipLocalHeader lh = TZipLocalHeader::Parse(rec);
    const std::int64_t dataPos =
        pos + static_cast<std::int64_t>(kZipLocalSize) + lh.NameLength + lh.ExtraLength;
    std::vector<std::uint8_t> extra =
        ReadExtra(archive, pos + kZipLocalSize + lh.NameLength, lh.ExtraLength);
    TZipEntryItem item;
    item.Extra.PackedSize = lh.PackedSize;
    item.Extra.UnpackedSize = lh.UnpackedSize;
    ParseExtraField(extra, false, item.Extra);
    lh.PackedSize = item.Extra.PackedSize;
    lh.UnpackedSize = item.Extra.UnpackedSize;
    item.Central = TZipCentralHeader::FromLocal(lh);
    const std::string unicode = UnicodePath(extra, name, lh.NameLength);
    item.Name =
        unicode.empty() ? StoredNameOf(name, lh.Flags) : StoredNameOf(unicode, kZipFlagUtf8);
    item.Volume = 1;
    item.Position = pos;
    item.Attributes = 0;
    item.Encryption = EntryEncryption(lh.Flags, extra);
    std::int64_t next = dataPos + PackedOf(item);
    // Sizes that follow the data: find where the data ends.
    if ((lh.Flags & kZipFlagDescriptor) && PackedOf(item) == 0 && !item.Name.empty()) {
      next = ResolveDescriptor(archive, dataPos, item);
      item.SizeUnknown = next < 0;
    }
    if (!item.Name.empty() && IsFileInSpec(item.Name)) {
      NoteSelectedEntry(PackedOf(item) - EncryptionOverhead(item.Encryption), UnpackedOf(item),
                        lh.DosTime);
      FEntries.push_back(std::move(item));
    }
    if (next <= pos) break;
    pos = next;
  }
  // Never a silent empty result: the file holds no archive we can find, or
  // a single file was read without its directory.
  if (headers == 0) {
    if (!IsEmptyArchiveAt(archive, FZipLocation.Position))
      ReportError(FArchiveFile, "", FVolumeName, E_HEADER_NOT_FOUND);
  } else if (!IsSpanned() && !GetCancel()) {
    ReportError(FArchiveFile, "", FVolumeName, E_CENTRAL_DAMAGED);
  }
  return !FEntries.empty();
}

std::int64_t TUnZip::ResolveDescriptor(TFileStream32& archive, std::int64_t dataPos,
                                       TZipEntryItem& item) {
  std::uint8_t sig[4];
  const bool sigThere = ReadStreamAt(archive, dataPos, sig, 4) == 4;
  // An empty entry: the next header follows at once.
  if (sigThere && GetLE32(sig) == kZipLocalSig) return dataPos;
  // Only deflated plain data tells where it ends; anything else ends the walk.
  if (item.Central.Method != 8 || (item.Central.Flags & kZipFlagEncrypted)) return -1;
  std::int64_t consumed = 0;
  {
    archive.Seek(dataPos, soFromBeginning);
    TDecompressStream z(archive, -15);
    std::vector<std::uint8_t> sink(kChunk);
    while (!GetCancel()) {
      if (z.ReadChunk(sink.data(), kChunk, kChunk) < 0 || z.EndOfData()) break;
    }
    if (!z.EndOfData()) return -1;
    consumed = static_cast<std::int64_t>(z.CodecRec().TotalIn);
  }
  std::int64_t p = dataPos + consumed;
  std::array<std::uint8_t, 24> d{};
  const std::int64_t got = ReadStreamAt(archive, p, d.data(), d.size());
  std::size_t o = 0;
  if (got >= 4 && GetLE32(d.data()) == kZipSplitSig) o = 4;
  if (got < static_cast<std::int64_t>(o + 12)) return -1;
  item.Central.Crc32 = GetLE32(d.data() + o);
  item.Central.PackedSize = static_cast<std::uint32_t>(consumed);
  item.Extra.PackedSize = static_cast<std::uint32_t>(consumed);
  item.Extra.PackedHigh = static_cast<std::uint16_t>(consumed >> 32);
  // The descriptor holds 32-bit sizes unless they did not fit.
  const bool wide = GetLE32(d.data() + o + 4) != static_cast<std::uint32_t>(consumed) &&
                    got >= static_cast<std::int64_t>(o + 20) &&
                    GetLE64(d.data() + o + 4) == static_cast<std::uint64_t>(consumed);
  const std::uint64_t unpacked = wide ? GetLE64(d.data() + o + 12) : GetLE32(d.data() + o + 8);
  item.Central.UnpackedSize = static_cast<std::uint32_t>(unpacked);
  item.Extra.UnpackedSize = static_cast<std::uint32_t>(unpacked);
  item.Extra.UnpackedHigh = static_cast<std::uint16_t>(unpacked >> 32);
  return p + static_cast<std::int64_t>(o) + (wide ? 20 : 12);
}

std::string TUnZip::StoredNameOf(const std::string& raw, std::uint16_t flags) const {
  // Names flagged as UTF-8 are already in the system code page, and so
  // are unflagged ones that are plainly UTF-8.
  return NameToWindows(raw, TranslateOemChar && !(flags & kZipFlagUtf8) && !LooksLikeUtf8Name(raw));
}

bool TUnZip::IsLocalHeaderAt(TStream& archive, std::int64_t pos) {
  std::array<std::uint8_t, kZipLocalSize> rec;
  if (pos < 0 || ReadStreamAt(archive, pos, rec.data(), rec.size()) != kZipLocalSize) return false;
  return ClassifyHeader(GetLE32(rec.data()), htLocal) == htLocal;
}

std::int64_t TUnZip::RecoverLocalHeader(TStream& archive, std::int64_t pos) {
  const std::int64_t from = std::max<std::int64_t>(pos + 1, 0);
  std::vector<std::uint8_t> buf(kChunk);
  const std::int64_t got = ReadStreamAt(archive, from, buf.data(), kChunk);
  for (std::int64_t k = 0; k + 4 <= got; ++k) {
    if (ClassifyHeader(GetLE32(buf.data() + k), htLocal) != htLocal) continue;
    if (IsLocalHeaderAt(archive, from + k)) return from + k - pos - 1;
  }
  return -1;
}

// ----------------------------------------------------------------- volumes

bool TUnZip::OpenVolume(std::unique_ptr<TFileStream32>& archive, int fileIndex,
                        std::int64_t position) {
  if (fileIndex == FOpenVolume && archive) return true;
  if (FArcType == atZipDS) {
    if (!FDiskSpann->RequestDisk(archive, fileIndex, position)) return false;
    FArchiveSize = FDiskSpann->ArchiveSize();
    FOpenVolume = fileIndex;
    return true;
  }
  int n = fileIndex - 1;
  if (!OpenNextVolume(archive, n, FLastVolume)) return false;
  FOpenVolume = n;
  return true;
}

bool TUnZip::ContinueOnNextVolume(std::unique_ptr<TFileStream32>& archive) {
  if (FOpenVolume < 0 || FOpenVolume >= FLastVolume || GetCancel()) return false;
  if (!OpenVolume(archive, FOpenVolume + 1, 0)) return false;
  archive->Seek(0, soFromBeginning);
  return true;
}

std::int64_t TUnZip::ReadEntryData(std::unique_ptr<TFileStream32>& archive, void* buf,
                                   std::int64_t count) {
  const std::int64_t want = std::min(count, FPackedLeft);
  auto* p = static_cast<std::uint8_t*>(buf);
  std::int64_t done = 0;
  while (done < want && !GetCancel()) {
    std::int64_t got =
        archive ? ReadBlock(*archive, p + done, want - done, 0, FEntryCipher != nullptr) : 0;
    if (got > 0) {
      done += got;
      FPackedLeft -= got;
      continue;
    }
    if (!IsSpanned() || FLocalScan || !ContinueOnNextVolume(archive)) break;
  }
  return done;
}

// ------------------------------------------------------------------ entries

bool TUnZip::CanDecode(int method, TEncryptionMethod encryption) const {
  (void)encryption;  // AES data decodes like plain data once deciphered
  return (method >= 0 && method <= 6) || method == 8 || method == 9 || IsLibraryMethod(method);
}

bool TUnZip::ExtractEntry(std::unique_ptr<TFileStream32>& archive, std::size_t index) {
  if (GetCancel()) return false;
  FItem = FEntries[index];
  DescribeEntry();
  if (IsSpanned() && !FLocalScan) {
    if (!OpenVolume(archive, FItem.Volume + (FArcType == atZipDS ? 0 : 1), FItem.Position))
      return false;
  }
  if (!archive) return false;
  if (FItem.SizeUnknown) {
    // The data's end is unknown: extracting it would give an empty file
    // that passes its check.
    BeginEntry(DelimToSlash(FItem.Name));
    SkipEntry(0);
    ReportVerdict(false);
    return true;
  }
  if (FItem.Overlaps) {
    BeginEntry(DelimToSlash(FItem.Name));
    RefuseEntry(E_ENTRY_OVERLAP);
    return true;
  }

  std::array<std::uint8_t, kZipLocalSize> rec;
  bool enciphered = false;
  if (ReadStreamAt(*archive, FItem.Position, rec.data(), rec.size()) != kZipLocalSize ||
      ClassifyHeader(GetLE32(rec.data()), htLocal, enciphered) != htLocal) {
    BeginEntry(FItem.Name);
    ReportError(FItem.Name, "", FVolumeName, E_BAD_LOCAL_OFFSET);
    SkipEntry(UnpackedOf(FItem));
    return true;
  }
  std::string rawName = ReadRecordName(*archive, FItem.Position, rec, enciphered);
  FLocal = TZipLocalHeader::Parse(rec);
  const std::int64_t dataPos = FItem.Position + static_cast<std::int64_t>(kZipLocalSize) +
                               FLocal.NameLength + FLocal.ExtraLength;

  const TZipCentralHeader& c = FItem.Central;
  FFlags = c.Flags;
  FMethod = c.Method;
  FDosTime = c.DosTime;
  FPackedSize = PackedOf(FItem);
  FUnpackedSize = UnpackedOf(FItem);
  FDeclaredSize = FItem.Extra.UnpackedSizeFull();
  FExpectedCrc = (FLocal.Crc32 == 0 && c.PackedSize != 0) ? c.Crc32 : FLocal.Crc32;
  if (FLocalScan) FExpectedCrc = c.Crc32;

  // The output name is the local header's, converted like the central one.
  bool utf8 = (FLocal.Flags | FFlags) & kZipFlagUtf8;
  {
    const std::vector<std::uint8_t> localExtra =
        ReadExtra(*archive, FItem.Position + kZipLocalSize + FLocal.NameLength, FLocal.ExtraLength);
    std::string unicode = UnicodePath(localExtra, rawName, FLocal.NameLength);
    if (!unicode.empty()) {
      rawName = unicode;
      utf8 = true;
    }
  }
  const bool savedTranslate = TranslateOemChar;
  TranslateOemChar = TranslateOemChar && !utf8 && !LooksLikeUtf8Name(rawName);
  BeginEntry(rawName.empty() ? DelimToSlash(FItem.Name) : rawName);
  TranslateOemChar = savedTranslate;
  FEntryUnixMode = UnixModeOf(FItem.Central.VersionMadeBy, FItem.Attributes);
  if (const std::string why = NameRefusal(FStoredName, FLocal.NameLength, FFileName);
      !why.empty()) {
    RefuseEntry(E_INVALID_NAME, why);
    return true;
  }
  // The local name is the one used; a reader that lists the central one
  // would show something else, so the user is told.
  if (!rawName.empty() && FStoredName != FItem.Name)
    ReportError(FFileName, "the central directory names it " + FItem.Name, FVolumeName,
                E_NAME_MISMATCH);
  // The local lengths may place the data where another entry lies.
  if (FItem.Extra.PackedSizeFull() > FItem.DataLimit - dataPos) {
    RefuseEntry(E_ENTRY_OVERLAP);
    return true;
  }

  if (IsDirectoryEntry(FItem, FStoredName)) {
    ExtractDirectoryEntry();
    return true;
  }

  TEncryptionMethod encryption = emNone;
  if (FFlags & kZipFlagEncrypted)
    encryption = (FFlags & kZipFlagStrongEncryption) ? emUnsupported : FItem.Encryption;
  const int method =
      (FMethod == kMethodAes && FItem.Extra.HasAes) ? FItem.Extra.AesMethod() : FMethod;
  if (encryption != emUnsupported && !CanDecode(method, encryption)) {
    ReportError(FFileName, MethodText(method), FVolumeName, E_UNSUPPORTED_METHOD);
    SkipEntry(FUnpackedSize);
    if (OnEnd) ReportVerdict(false);
    return true;
  }

  archive->Seek(dataPos, soFromBeginning);
  EncryptionMethod = encryption;
  SetEntryCipher(nullptr);
  PrepareAes(encryption, archive.get());
  std::unique_ptr<TFileStream32> out;
  if (!StartFileEntry(out, archive.get(), FUnpackedSize, encryption != emNone)) return true;
  const TFileStream32* source = archive.get();
  const std::int64_t outStart = out ? out->Seek(0, soFromCurrent) : 0;
  bool crcOk = false;
  for (;;) {
    FPackedLeft = FPackedSize;
    if (encryption == emZIP_v2) {
      FPackedLeft -= static_cast<std::int64_t>(kZipEncryptionHeaderSize);
      SetEntryCipher(FCrypt.get());
    }
    if (FAes) {
      FPackedLeft -= FAesHeaderBytes;
      SetEntryCipher(FAes.get());
    }
    FPackedLeft = std::max<std::int64_t>(FPackedLeft, 0);
    FDecodeFailed = false;
    FDecoded = 0;
    FSizeExceeded = false;
    std::string message;
    try {
      DecodeEntry(archive, out.get());
    } catch (const E_RAISE& e) {
      FDecodeFailed = true;
      // Running past the declared size is reported with the verdict.
      if (!FSizeExceeded) message = e.what();
    }
    SetEntryCipher(nullptr);
    if (FAes) {
      if (!message.empty()) UserPrompt().ShowMessage("", message);
      FinishAesEntry(archive, out);
      return true;
    }
    const std::uint32_t running = FEntryCrc.Crc32;
    crcOk = !(FEntryEncrypted && FPasswordFailed) &&
            (FExpectedCrc == running || FExpectedCrc == ~running);
    // Another listed password may be the right one; the output starts over.
    const bool again = !crcOk && encryption == emZIP_v2 && !GetCancel() &&
                       archive.get() == source && !TestDataSink &&
                       archive->Seek(dataPos, soFromBeginning) == dataPos &&
                       ObtainNextPassword(*archive);
    if (!again) {
      if (!message.empty()) UserPrompt().ShowMessage("", message);
      break;
    }
    FBytesToDo += FDecoded;
    if (out) {
      out->SetSize(outStart);
      out->Seek(outStart, soFromBeginning);
    }
  }
  CloseOutput(out, FFileName, FItem.Attributes & 0xFF, FDosTime);
  if (SizeMismatch(crcOk)) return true;
  CheckCrc(32, FExpectedCrc);
  return true;
}

bool TUnZip::SizeMismatch(bool verdictPassed) {
  // A short entry whose check failed anyway is reported as the damage it is.
  if (GetCancel() || (!FSizeExceeded && (FDecoded == FDeclaredSize || !verdictPassed)))
    return false;
  const std::string detail =
      FSizeExceeded ? "more than " + std::to_string(FDeclaredSize) + " bytes"
                    : std::to_string(FDecoded) + " of " + std::to_string(FDeclaredSize) + " bytes";
  ReportError(FFileName, detail, FVolumeName, E_SIZE_DIFFERENT);
  if (OnEnd)
    ReportVerdict(false);
  else
    DiscardBrokenOutput();
  return true;
}

void TUnZip::RefuseEntry(int code, const std::string& reason) {
  RefuseCurrentEntry(code, reason, UnpackedOf(FItem));
}

void TUnZip::DescribeEntry() {
  const TZipCentralHeader& c = FItem.Central;
  TEntryInfo& e = FEntryInfo;
  e.Known = true;
  e.Name = FItem.Name;
  e.PackedSize = FItem.Extra.PackedSizeDeclared();
  e.UnpackedSize = FItem.Extra.UnpackedSizeDeclared();
  e.DosDate = c.DosTime;
  e.Attributes = FItem.Attributes & 0xFF;
  e.Crc = c.Crc32;
  e.Encrypted = (c.Flags & kZipFlagEncrypted) != 0;
  e.IsDirectory = IsDirectoryEntry(FItem, FItem.Name);
  e.IsSymLink = FItem.IsSymLink();
  e.MethodName = MethodName(c.Method, c.Flags, e.IsDirectory,
                            FItem.Extra.HasAes ? FItem.Extra.AesMethod() : -1);
}

bool TUnZip::IsDirectoryEntry(const TZipEntryItem& item, const std::string& storedName) const {
  const char last = storedName.empty() ? '\0' : storedName.back();
  const bool slash = last == '/' || last == '\\';
  if (IsJar()) return slash;
  return (item.Attributes & kDirectoryAttr) != 0 ||
         (item.UnixMode() & kUnixTypeMask) == kUnixTypeDir ||
         (slash && item.Extra.UnpackedSize64() == 0);
}

void TUnZip::DecodeEntry(std::unique_ptr<TFileStream32>& archive, TFileStream32* out) {
  const int method =
      (FMethod == kMethodAes && FItem.Extra.HasAes) ? FItem.Extra.AesMethod() : FMethod;
  switch (method) {
    case 0:
      DecodeStored(archive, out);
      break;
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
      DecodeLegacy(archive, out, method);
      break;
    case 8:
      DecodeDeflated(archive, out);
      break;
    case 6:
    case 9: {
      // The CRC verdict judges the result; a failed write raises in WriteDecoded.
      TEntryDataStream source(
          [&](void* b, std::int64_t n) { return ReadEntryData(archive, b, n); });
      TLegacyInput in(source, FPackedLeft, {}, FCancelRef);
      std::int64_t done = 0;
      auto write = [&](const void* b, std::int64_t n) -> std::int64_t {
        WriteDecoded(out, b, n, done);
        return n;
      };
      if (method == 6)
        ExplodeEntry(in, write, {FFlags, FPackedLeft, FUnpackedSize}, FCancelRef);
      else
        InflateEntry(in, write, true, FUnpackedSize, FCancelRef);
      break;
    }
    default:
      if (IsLibraryMethod(method)) {
        // The CRC verdict judges what came out; bad data ends it early.
        std::int64_t done = 0;
        DecodeLibraryMethod(
            method, static_cast<std::uint64_t>(FDeclaredSize),
            [&](void* b, std::int64_t n) { return ReadEntryData(archive, b, n); },
            [&](const void* b, std::int64_t n) {
              WriteDecoded(out, b, n, done);
              return true;
            },
            FCancelRef);
        break;
      }
      ReportError(FFileName, MethodText(method), FVolumeName, E_UNSUPPORTED_METHOD);
      break;
  }
}

void TUnZip::WriteDecoded(TFileStream32* out, const void* buf, std::int64_t count,
                          std::int64_t& done) {
  if (count <= 0) return;
  // Every decoder writes through here, so the declared size bounds them
  // all: a lying entry must not fill the disk.
  const std::int64_t room = FDeclaredSize - FDecoded;
  const bool over = count > room;
  if (over) count = std::max<std::int64_t>(room, 0);
  // WriteBlock reports a failed write itself; the entry stops here.
  if (count > 0 && WriteBlock(out, buf, true, count, 32) < count)
    throw E_RAISE(ErrorMessage(E_WRITE_FILE));
  done += count;
  FDecoded += count;
  FBytesToDo -= count;
  UpdateProgress(FTotalUnpacked, FUnpackedSize, done);
  if (over) {
    FSizeExceeded = true;
    throw E_RAISE(ErrorMessage(E_SIZE_DIFFERENT));
  }
}

void TUnZip::DecodeStored(std::unique_ptr<TFileStream32>& archive, TFileStream32* out) {
  std::vector<std::uint8_t> buf(kChunk);
  std::int64_t done = 0;
  // Data that ends early (a truncated archive) fails the size check.
  while (FPackedLeft > 0 && !GetCancel()) {
    const std::int64_t got = ReadEntryData(archive, buf.data(), kChunk);
    if (got <= 0) break;
    WriteDecoded(out, buf.data(), got, done);
  }
}

void TUnZip::DecodeDeflated(std::unique_ptr<TFileStream32>& archive, TFileStream32* out) {
  TEntryDataStream source([&](void* b, std::int64_t n) { return ReadEntryData(archive, b, n); });
  TDecompressStream inflater(source, -15);
  std::vector<std::uint8_t> buf(kChunk);
  std::int64_t done = 0;
  while (!GetCancel()) {
    const std::int64_t r = inflater.ReadChunk(buf.data(), kChunk, kChunk);
    WriteDecoded(out, buf.data(), kChunk - inflater.AvailOut(), done);
    // Any other end (corrupt or missing data) leaves the CRC verdict to fail.
    if (r < 0 || inflater.EndOfData()) break;
  }
}

void TUnZip::DecodeLegacy(std::unique_ptr<TFileStream32>& archive, TFileStream32* out, int method) {
  TEntryDataStream source([&](void* b, std::int64_t n) { return ReadEntryData(archive, b, n); });
  TLegacyInput in(source, FPackedLeft, {}, FCancelRef);
  std::int64_t done = 0;
  bool writeFailed = false;
  TLegacyOutput sink(
      [&](const void* b, std::int64_t n) -> std::int64_t {
        try {
          WriteDecoded(out, b, n, done);
        } catch (const E_RAISE&) {
          writeFailed = true;
          return 0;
        }
        return n;
      },
      FUnpackedSize, FCancelRef);
  const TLegacyResult r = method == 1 ? UnShrink(in, sink) : UnReduce(in, sink, method - 1);
  if (r == lrOk || r == lrCanceled) return;
  if (r == lrWriteError || writeFailed) throw E_RAISE(ErrorMessage(E_WRITE_FILE));
  RaiseError(FFileName, "", FVolumeName, LegacyErrorCode(r));
}

}  // namespace qmx
