#include "archive/zip/zip_records.h"

#include <algorithm>

#include "archive/codec/zip_crypt.h"

namespace qmx {

// ------------------------------------------------------------- signatures

THeaderType ClassifyHeader(std::uint32_t word, THeaderType expected, bool& enciphered) {
  enciphered = false;
  bool match = false;
  switch (expected) {
    case htLocal:
      match = word == kZipLocalSig || word == kZipLocalSigX;
      enciphered = word == kZipLocalSigX;
      break;
    case htCentral:
      match = word == kZipCentralSig || word == kZipCentralSigX;
      enciphered = word == kZipCentralSigX;
      break;
    case htEnding:
      match = word == kZipEndSig || word == kZipEndSigX || word == kZipEnd64Sig ||
              word == kZipEnd64SigX;
      enciphered = word == kZipEndSigX || word == kZipEnd64SigX;
      break;
    default:
      break;
  }
  if (!match) {
    enciphered = false;
    return htNone;
  }
  return expected;
}

THeaderType ClassifyHeader(std::uint32_t word, THeaderType expected) {
  bool enciphered;
  return ClassifyHeader(word, expected, enciphered);
}

// ---------------------------------------------------------------- records

TZipLocalHeader TZipLocalHeader::Parse(std::span<const std::uint8_t, kZipLocalSize> b) {
  const std::uint8_t* p = b.data();
  TZipLocalHeader h;
  h.Signature = GetLE32(p);
  h.VersionNeeded = GetLE16(p + 4);
  h.Flags = GetLE16(p + 6);
  h.Method = GetLE16(p + 8);
  h.DosTime = GetLE32(p + 10);
  h.Crc32 = GetLE32(p + 14);
  h.PackedSize = GetLE32(p + 18);
  h.UnpackedSize = GetLE32(p + 22);
  h.NameLength = GetLE16(p + 26);
  h.ExtraLength = GetLE16(p + 28);
  return h;
}

TZipLocalHeader::TBytes TZipLocalHeader::Serialize() const {
  TBytes b{};
  std::uint8_t* p = b.data();
  PutLE32(p, Signature);
  PutLE16(p + 4, VersionNeeded);
  PutLE16(p + 6, Flags);
  PutLE16(p + 8, Method);
  PutLE32(p + 10, DosTime);
  PutLE32(p + 14, Crc32);
  PutLE32(p + 18, PackedSize);
  PutLE32(p + 22, UnpackedSize);
  PutLE16(p + 26, NameLength);
  PutLE16(p + 28, ExtraLength);
  return b;
}

TZipCentralHeader TZipCentralHeader::FromLocal(const TZipLocalHeader& l) {
  TZipCentralHeader c;
  c.VersionNeeded = l.VersionNeeded;
  c.Flags = l.Flags;
  c.Method = l.Method;
  c.DosTime = l.DosTime;
  c.Crc32 = l.Crc32;
  c.PackedSize = l.PackedSize;
  c.UnpackedSize = l.UnpackedSize;
  c.NameLength = l.NameLength;
  c.ExtraLength = l.ExtraLength;
  return c;
}

TZipCentralHeader TZipCentralHeader::Parse(std::span<const std::uint8_t, kZipCentralSize> b) {
  const std::uint8_t* p = b.data();
  TZipCentralHeader h;
  h.Signature = GetLE32(p);
  h.VersionMadeBy = GetLE16(p + 4);
  h.VersionNeeded = GetLE16(p + 6);
  h.Flags = GetLE16(p + 8);
  h.Method = GetLE16(p + 10);
  h.DosTime = GetLE32(p + 12);
  h.Crc32 = GetLE32(p + 16);
  h.PackedSize = GetLE32(p + 20);
  h.UnpackedSize = GetLE32(p + 24);
  h.NameLength = GetLE16(p + 28);
  h.ExtraLength = GetLE16(p + 30);
  h.CommentLength = GetLE16(p + 32);
  h.DiskNumberStart = GetLE16(p + 34);
  h.InternalAttributes = GetLE16(p + 36);
  h.ExternalAttributes = GetLE32(p + 38);
  h.LocalHeaderOffset = GetLE32(p + 42);
  return h;
}

TZipCentralHeader::TBytes TZipCentralHeader::Serialize() const {
  TBytes b{};
  std::uint8_t* p = b.data();
  PutLE32(p, Signature);
  PutLE16(p + 4, VersionMadeBy);
  PutLE16(p + 6, VersionNeeded);
  PutLE16(p + 8, Flags);
  PutLE16(p + 10, Method);
  PutLE32(p + 12, DosTime);
  PutLE32(p + 16, Crc32);
  PutLE32(p + 20, PackedSize);
  PutLE32(p + 24, UnpackedSize);
  PutLE16(p + 28, NameLength);
  PutLE16(p + 30, ExtraLength);
  PutLE16(p + 32, CommentLength);
  PutLE16(p + 34, DiskNumberStart);
  PutLE16(p + 36, InternalAttributes);
  PutLE32(p + 38, ExternalAttributes);
  PutLE32(p + 42, LocalHeaderOffset);
  return b;
}

TZipEndRecord TZipEndRecord::Parse(std::span<const std::uint8_t, kZipEndSize> b) {
  const std::uint8_t* p = b.data();
  TZipEndRecord r;
  r.Signature = GetLE32(p);
  r.ThisDisk = GetLE16(p + 4);
  r.CentralDisk = GetLE16(p + 6);
  r.EntriesThisDisk = GetLE16(p + 8);
  r.TotalEntries = GetLE16(p + 10);
  r.CentralSize = GetLE32(p + 12);
  r.CentralOffset = GetLE32(p + 16);
  r.CommentLength = GetLE16(p + 20);
  return r;
}

TZipEndRecord::TBytes TZipEndRecord::Serialize() const {
  TBytes b{};
  std::uint8_t* p = b.data();
  PutLE32(p, Signature);
  PutLE16(p + 4, ThisDisk);
  PutLE16(p + 6, CentralDisk);
  PutLE16(p + 8, EntriesThisDisk);
  PutLE16(p + 10, TotalEntries);
  PutLE32(p + 12, CentralSize);
  PutLE32(p + 16, CentralOffset);
  PutLE16(p + 20, CommentLength);
  return b;
}

TZipEndRecord64 TZipEndRecord64::Parse(std::span<const std::uint8_t, kZipEnd64Size> b) {
  const std::uint8_t* p = b.data();
  TZipEndRecord64 r;
  r.Signature = GetLE32(p);
  r.ThisDisk = GetLE16(p + 4);
  r.CentralDisk = GetLE16(p + 6);
  r.EntriesThisDisk = GetLE16(p + 8);
  r.TotalEntries = GetLE16(p + 10);
  r.CentralSize = GetLE32(p + 12);
  r.CentralOffset = GetLE64(p + 16);
  r.CommentLength = GetLE16(p + 24);
  return r;
}

TZipEndRecord64::TBytes TZipEndRecord64::Serialize() const {
  TBytes b{};
  std::uint8_t* p = b.data();
  PutLE32(p, Signature);
  PutLE16(p + 4, ThisDisk);
  PutLE16(p + 6, CentralDisk);
  PutLE16(p + 8, EntriesThisDisk);
  PutLE16(p + 10, TotalEntries);
  PutLE32(p + 12, CentralSize);
  PutLE64(p + 16, CentralOffset);
  PutLE16(p + 24, CommentLength);
  return b;
}

TZip64EndRecord TZip64EndRecord::Parse(std::span<const std::uint8_t, kZip64EndSize> b) {
  const std::uint8_t* p = b.data();
  TZip64EndRecord r;
  r.Signature = GetLE32(p);
  r.RecordSize = GetLE64(p + 4);
  r.VersionMadeBy = GetLE16(p + 12);
  r.VersionNeeded = GetLE16(p + 14);
  r.ThisDisk = GetLE32(p + 16);
  r.CentralDisk = GetLE32(p + 20);
  r.EntriesThisDisk = GetLE64(p + 24);
  r.TotalEntries = GetLE64(p + 32);
  r.CentralSize = GetLE64(p + 40);
  r.CentralOffset = GetLE64(p + 48);
  return r;
}

TZip64Locator TZip64Locator::Parse(std::span<const std::uint8_t, kZip64LocatorSize> b) {
  const std::uint8_t* p = b.data();
  TZip64Locator r;
  r.Signature = GetLE32(p);
  r.EndRecordDisk = GetLE32(p + 4);
  r.EndRecordOffset = GetLE64(p + 8);
  r.TotalDisks = GetLE32(p + 16);
  return r;
}

// ------------------------------------------------------ enciphered headers

void DecipherRecord(std::span<std::uint8_t> record, std::span<std::uint8_t> name) {
  TZipCrypt crypt;
  crypt.LoadHeaderKey();
  if (record.size() > 4) crypt.DecryptBuffer(record.data() + 4, record.size() - 4);
  if (!name.empty()) crypt.DecryptBuffer(name.data(), name.size());
}

void EncipherRecord(std::span<std::uint8_t> record, std::span<std::uint8_t> name) {
  TZipCrypt crypt;
  crypt.LoadHeaderKey();
  if (record.size() > 4) crypt.EncryptBuffer(record.data() + 4, record.size() - 4);
  if (!name.empty()) crypt.EncryptBuffer(name.data(), name.size());
}

// ------------------------------------------------------------ extra field

namespace {

// Calls visit(tag, data) for every whole block, in order.
template <class F>
void WalkExtra(std::span<const std::uint8_t> extra, F&& visit) {
  std::size_t pos = 0;
  while (extra.size() - pos >= 4) {
    std::uint16_t tag = GetLE16(extra.data() + pos);
    std::size_t size = GetLE16(extra.data() + pos + 2);
    pos += 4;
    if (size > extra.size() - pos) return;
    visit(tag, extra.subspan(pos, size));
    pos += size;
  }
}

// Takes the next 8-byte Zip64 value for a field that is 0xFFFFFFFF.
void TakeZip64(std::span<const std::uint8_t> data, std::size_t& pos, std::uint32_t& low,
               std::uint16_t& high, std::uint16_t* top = nullptr) {
  if (low != 0xFFFFFFFFu || data.size() - pos < 8) return;
  std::uint64_t v = GetLE64(data.data() + pos);
  pos += 8;
  low = static_cast<std::uint32_t>(v);
  high = static_cast<std::uint16_t>(v >> 32);
  if (top) *top = static_cast<std::uint16_t>(v >> 48);
}

}  // namespace

void ParseExtraField(std::span<const std::uint8_t> extra, bool central, TZipExtraInfo& info) {
  info.PackedHigh = info.UnpackedHigh = info.OffsetHigh = 0;
  info.PackedTop = info.UnpackedTop = 0;
  info.HasStrong = false;
  info.StrongLength = 0;
  info.StrongData.fill(0);
  info.HasAes = false;
  info.AesData.fill(0);

  WalkExtra(extra, [&](std::uint16_t tag, std::span<const std::uint8_t> data) {
    switch (tag) {
      case kExtraZip64: {
        std::size_t pos = 0;
        TakeZip64(data, pos, info.UnpackedSize, info.UnpackedHigh, &info.UnpackedTop);
        TakeZip64(data, pos, info.PackedSize, info.PackedHigh, &info.PackedTop);
        if (central) TakeZip64(data, pos, info.LocalOffset, info.OffsetHigh);
        break;
      }
      case kExtraStrongEncryption: {
        std::size_t n = std::min(data.size(), kStrongExtraKept);
        info.HasStrong = true;
        info.StrongLength = static_cast<std::uint8_t>(n);
        std::copy_n(data.begin(), n, info.StrongData.begin());
        break;
      }
      case kExtraLargeFile:
        if (data.size() >= 2) info.PackedHigh = GetLE16(data.data());
        if (data.size() >= 4) info.UnpackedHigh = GetLE16(data.data() + 2);
        if (central && data.size() >= 6) info.OffsetHigh = GetLE16(data.data() + 4);
        break;
      case kExtraAes:
        if (data.size() >= kAesExtraDataSize) {
          info.HasAes = true;
          std::copy_n(data.begin(), kAesExtraDataSize, info.AesData.begin());
        }
        break;
      default:
        break;
    }
  });
}

TEncryptionMethod EncryptionFromExtra(std::span<const std::uint8_t> extra) {
  std::uint16_t lastTag = 0;
  std::span<const std::uint8_t> lastData;
  bool any = false;
  WalkExtra(extra, [&](std::uint16_t tag, std::span<const std::uint8_t> data) {
    any = true;
    lastTag = tag;
    lastData = data;
  });
  if (!any) return emZIP_v2;
  if (lastTag == kExtraStrongEncryption) {
    // The algorithm id is the second word; 0x660E..0x6610 are AES-128..256.
    if (lastData.size() < 4) return emUnsupported;
    int kind = static_cast<int>(lastData[2]) - 13;
    return (kind >= emAES2_128 && kind <= emAES2_256) ? static_cast<TEncryptionMethod>(kind)
                                                      : emUnsupported;
  }
  if (lastTag == kExtraAes) {
    if (lastData.size() < 5) return emUnsupported;
    int strength = lastData[4];
    return (strength >= emAES2_128 && strength <= emAES2_256)
               ? static_cast<TEncryptionMethod>(strength)
               : emUnsupported;
  }
  return emZIP_v2;
}

TLargeFileExtra MakeLargeFileExtra(std::int64_t packedSize, std::int64_t unpackedSize,
                                   std::int64_t localOffset, bool central) {
  TLargeFileExtra x;
  auto high = [](std::int64_t v) { return static_cast<std::uint16_t>(v >> 32); };
  // A packed size can outgrow its unpacked size (incompressible data), so
  // it counts too; without the block that size would be cut.
  bool needed =
      high(unpackedSize) != 0 || high(packedSize) != 0 || localOffset >= (std::int64_t{1} << 32);
  if (!needed) return x;
  std::uint8_t* p = x.Bytes.data();
  PutLE16(p, kExtraLargeFile);
  PutLE16(p + 2, central ? 6 : 4);
  PutLE16(p + 4, high(packedSize));
  PutLE16(p + 6, high(unpackedSize));
  if (central) PutLE16(p + 8, high(localOffset));
  x.Length = central ? 10 : 8;
  return x;
}

std::array<std::uint8_t, 11> MakeAesExtra(TEncryptionMethod strength, std::uint16_t realMethod) {
  std::array<std::uint8_t, 11> b{};
  PutLE16(b.data(), kExtraAes);
  PutLE16(b.data() + 2, 7);
  PutLE16(b.data() + 4, 2);
  PutLE16(b.data() + 6, 0x4541);
  b[8] = static_cast<std::uint8_t>(strength);
  PutLE16(b.data() + 9, realMethod);
  return b;
}

}  // namespace qmx
