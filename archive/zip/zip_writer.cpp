#include "archive/zip/zip_writer.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "archive/base/names.h"
#include "archive/codec/codec_streams.h"
#include "archive/codec/temp_streams.h"
#include "archive/platform/ascii.h"
#include "archive/platform/codepage.h"
#include "archive/zip/zip_aes.h"
#include "archive/zip/zip_component.h"
#include "archive/zip/zip_locate.h"

namespace qmx {

namespace {

constexpr std::int64_t k4G = std::int64_t{1} << 32;
constexpr std::uint16_t kDeflateFlagsFast = 0x0004;
constexpr std::uint16_t kDeflateFlagsMax = 0x0002;
constexpr std::uint32_t kDescriptorSig = 0x08074B50;
constexpr std::size_t kMaxField = 0xFFFF;
constexpr const char* kManifestName = "META-INF/MANIFEST.MF";
constexpr std::int64_t kAesExtraSize = 11;

std::uint16_t ToU16(std::size_t v) {
  return static_cast<std::uint16_t>(std::min<std::size_t>(v, kMaxField));
}

TByteBlock Bytes(const std::string& s) {
  return TByteBlock(s.begin(), s.end());
}

// Points the local header offset of an old directory record at its new
// place: through its Zip64 block when the record defers to one, else
// through a large-file block (added, replaced or dropped as needed).
void RelocateOffset(TZipCentralHeader& c, TByteBlock& extra, std::int64_t pos,
                    std::uint16_t packedHi, std::uint16_t unpackedHi) {
  if (c.LocalHeaderOffset == 0xFFFFFFFFu) {
    std::size_t p = 0;
    while (extra.size() - p >= 4) {
      const std::uint16_t tag = GetLE16(&extra[p]);
      const std::size_t size = GetLE16(&extra[p + 2]);
      if (size > extra.size() - p - 4) break;
      if (tag == kExtraZip64) {
        std::size_t at = p + 4;
        if (c.UnpackedSize == 0xFFFFFFFFu) at += 8;
        if (c.PackedSize == 0xFFFFFFFFu) at += 8;
        if (at + 8 <= p + 4 + size) {
          PutLE64(&extra[at], static_cast<std::uint64_t>(pos));
          return;
        }
      }
      p += 4 + size;
    }
  }
  c.LocalHeaderOffset = static_cast<std::uint32_t>(pos);
  // Drop an old large-file block; a new one follows when the values need it.
  TByteBlock kept;
  std::size_t p = 0;
  bool hadLarge = false;
  while (extra.size() - p >= 4) {
    const std::uint16_t tag = GetLE16(&extra[p]);
    const std::size_t size = GetLE16(&extra[p + 2]);
    if (size > extra.size() - p - 4) {
      kept.insert(kept.end(), extra.begin() + static_cast<std::ptrdiff_t>(p), extra.end());
      p = extra.size();
      break;
    }
    if (tag == kExtraLargeFile)
      hadLarge = true;
    else
      kept.insert(kept.end(), extra.begin() + static_cast<std::ptrdiff_t>(p),
                  extra.begin() + static_cast<std::ptrdiff_t>(p + 4 + size));
    p += 4 + size;
  }
  kept.insert(kept.end(), extra.begin() + static_cast<std::ptrdiff_t>(p), extra.end());
  const std::int64_t packed = static_cast<std::int64_t>(JoinSize(c.PackedSize, packedHi));
  const std::int64_t unpacked = static_cast<std::int64_t>(JoinSize(c.UnpackedSize, unpackedHi));
  const TLargeFileExtra large = MakeLargeFileExtra(packed, unpacked, pos, true);
  if (!hadLarge && large.Length == 0) return;
  kept.insert(kept.end(), large.Bytes.begin(), large.Bytes.begin() + large.Length);
  if (kept.size() <= kMaxField) extra = std::move(kept);
}

}  // namespace

// ---------------------------------------------------------------- components

TZipBase::TZipBase() {
  SetWriterDefaults(".ZIP", {cmStore, cmDeflate}, cmDeflate);
  FArcType = atZip;
  FOwnType = atZip;
}

TZipBase::~TZipBase() = default;

void TZipBase::SetArcType(TArcType) {
  FArcType = FOwnType;
}

TZip::TZip() = default;

TJar::TJar() {
  SetWriterDefaults(".JAR", {cmStore, cmDeflate}, cmDeflate);
  FArcType = atJar;
  FOwnType = atJar;
}

int TZipBase::Compress() {
  FRawNames.clear();
  FOldLength.clear();
  FLargeArchive = false;
  FEmptyWritten = false;
  FManifestPlaced = false;
  FDeletedCount = 0;
  FNewNameCount = 0;
  const int result = TCompBase::Compress();
  if (FArchiveReplaced) {
    // What was pending is in the archive now.
    FCommentChanged = false;
    FPendingFileComments.clear();
  }
  return result;
}

// ---------------------------------------------------------------- names

std::string TZipBase::PlatformName(const std::string& raw, std::uint16_t flags) const {
  return NameToWindows(raw, TranslateOemChar && !(flags & kZipFlagUtf8) && !LooksLikeUtf8Name(raw));
}

std::string TZipBase::ArchiveName(const std::string& stored, bool& utf8) const {
  utf8 = false;
  if (HasNonAscii(stored) && SystemIsUtf8() && IsValidUtf8(stored)) {
    // Our entries name Unix as their host, and Unix readers (unzip, 7-Zip,
    // bsdtar) never decode OEM bytes for such entries: every name beyond
    // ASCII goes in UTF-8, marked as such.
    utf8 = true;
    return DelimToSlash(stored);
  }
  return NameToArchive(stored, TranslateOemChar);
}

// ---------------------------------------------------------------- I/O helpers

bool TZipBase::WriteAll(TStream32& s, const void* buf, std::int64_t n) {
  if (n <= 0) return true;
  try {
    return s.Write(buf, n) == n;
  } catch (const EStreamError&) {
    return false;
  }
}

void TZipBase::WriteLocalRecord(TStream32& s, const TZipLocalHeader& h, const std::string& name,
                                bool encipher) {
  TZipLocalHeader copy = h;
  copy.Signature = encipher ? kZipLocalSigX : kZipLocalSig;
  auto bytes = copy.Serialize();
  TByteBlock nameBytes = Bytes(name);
  if (encipher) EncipherRecord(bytes, nameBytes);
  if (!WriteAll(s, bytes.data(), static_cast<std::int64_t>(bytes.size())) ||
      !WriteAll(s, nameBytes.data(), static_cast<std::int64_t>(nameBytes.size())))
    RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
}

// ---------------------------------------------------------------- header record

namespace {

TZipCentralHeader BlockCentral(const TByteBlock& b) {
  if (b.size() < kZipCentralSize) return TZipCentralHeader{};
  return TZipCentralHeader::Parse(
      std::span<const std::uint8_t, kZipCentralSize>(b.data(), kZipCentralSize));
}

std::uint16_t BlockWord(const TByteBlock& b, std::size_t at) {
  return b.size() >= at + 2 ? GetLE16(&b[at]) : 0;
}

void PutBlock(TByteBlock& b, const TZipCentralHeader& c, std::uint16_t unpackedHi,
              std::uint16_t packedHi) {
  b.assign(TZipBase::kHeadSize, 0);
  const auto bytes = c.Serialize();
  std::copy(bytes.begin(), bytes.end(), b.begin());
  PutLE16(&b[kZipCentralSize], unpackedHi);
  PutLE16(&b[kZipCentralSize + 2], packedHi);
}

}  // namespace

void TZipBase::InitLocalHeader(TByteBlock& header, const TSearchRec& info) {
  TZipCentralHeader c;
  c.DosTime = info.DosTime;
  c.UnpackedSize = static_cast<std::uint32_t>(info.Size);
  c.ExternalAttributes = UnixExternalAttributes(info.Attr, info.Mode, info.Attr & faDirectory);
  PutBlock(header, c, SizeBits32To47(static_cast<std::uint64_t>(info.Size)), 0);

  if (!IsJarWriter() || FManifestPlaced || !FList || FList->Count() == 0) return;
  const std::size_t last = FList->Count() - 1;
  if (&header != &FList->Block(last) || last < FFirstNewIndex) return;
  if (!SameTextAscii(DelimToSlash(FFileName), kManifestName)) return;
  FManifestPlaced = true;
  PlaceManifestFirst(last, *FList);
}

void TZipBase::PlaceManifestFirst(std::size_t index, TWorkList& list) {
  if (index > FFirstNewIndex) MoveListEntry(list, index, FFirstNewIndex);
}

void TZipBase::ArrangeEntries(TWorkList& list) {
  // Streaming readers (JarInputStream) look for the manifest among the
  // first entries only: unless the old archive keeps one, a new manifest
  // goes before the old entries as well.
  if (!FManifestPlaced || FFirstNewIndex == 0 || FFirstNewIndex >= list.Count()) return;
  for (std::size_t k = 0; k < FFirstNewIndex; ++k)
    if (list.Get(k).State != ceDelete && SameTextAscii(DelimToSlash(list.Name(k)), kManifestName))
      return;
  MoveListEntry(list, FFirstNewIndex, 0);
  auto follow = [&](auto& v, auto blank) {
    if (v.size() < FFirstNewIndex + 1) v.resize(FFirstNewIndex + 1, blank);
    std::rotate(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(FFirstNewIndex),
                v.begin() + static_cast<std::ptrdiff_t>(FFirstNewIndex) + 1);
  };
  follow(FRawNames, std::string());
  follow(FOldLength, std::int64_t{0});
  ++FFirstNewIndex;
}

void TZipBase::LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) {
  (void)index;
  info = TEntryHeaderInfo{};
  if (block.size() < kHeadSize) return;
  std::copy_n(block.begin(), kHeadSize, FHeadRecord.begin());
  const TZipCentralHeader c = BlockCentral(block);
  info.DosDate = c.DosTime;
  info.Size =
      static_cast<std::int64_t>(JoinSize(c.UnpackedSize, BlockWord(block, kZipCentralSize)));
  info.PackedSize =
      static_cast<std::int64_t>(JoinSize(c.PackedSize, BlockWord(block, kZipCentralSize + 2)));
  info.Attributes = c.ExternalAttributes;
}

void TZipBase::CompressEntries(TWorkList& list) {
  FList = &list;
  FFirstNewIndex = 0;
  try {
    TCompBase::CompressEntries(list);
  } catch (...) {
    FList = nullptr;
    throw;
  }
  FList = nullptr;
}

// ---------------------------------------------------------------- new entries

void TZipBase::ResetLocalHeader(std::size_t index) {
  (void)index;
  FLocal = TZipLocalHeader{};
  FLocal.Signature = FEntryEncipher ? kZipLocalSigX : kZipLocalSig;
  FLocal.VersionNeeded = 20;
  FLocal.Method = 8;
  if (DateAttribute == daMaxFileDate && FNewestDate != 0) FMaxFileDate = FNewestDate;
  FLocal.DosTime = ResolveFileDate(FEntryDosDate);
  FLocal.UnpackedSize = static_cast<std::uint32_t>(FEntryFileSize);
}

int TZipBase::WriteLargeFileField(TStream32& archive, std::size_t index, bool rewrite) {
  (void)index;
  if (!FEntryLargeReserved) return 0;
  std::array<std::uint8_t, 8> b{};
  PutLE16(b.data(), kExtraLargeFile);
  PutLE16(b.data() + 2, 4);
  PutLE16(b.data() + 4, rewrite ? SizeBits32To47(static_cast<std::uint64_t>(FEntryPacked)) : 0);
  PutLE16(b.data() + 6, SizeBits32To47(static_cast<std::uint64_t>(FEntryFileSize)));
  if (!WriteAll(archive, b.data(), 8))
    RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
  return 8;
}

void TZipBase::FinishLocalHeader(std::int64_t packedSize, std::int64_t unpackedSize) {
  const std::uint32_t crc = unpackedSize == 0 ? 0 : FEntryCrcValue;
  if (FEntryLargeReserved) {
    FLocal.ExtraLength = 8;
    packedSize -= 8;
  } else {
    FLocal.ExtraLength = 0;
  }
  FLocal.NameLength = ToU16(FEntryStoredName.size());
  FLocal.UnpackedSize = static_cast<std::uint32_t>(unpackedSize);
  FLocal.Crc32 = crc;
  FLocal.Flags = FEntryUtf8 ? kZipFlagUtf8 : 0;
  if (FEntryEncrypted) FLocal.Flags |= kZipFlagEncrypted;
  if (FEntryStored) {
    FLocal.Method = 0;
  } else {
    FLocal.Method = 8;
    if (DeflateType == dtDeflateF) FLocal.Flags |= kDeflateFlagsFast;
    if (DeflateType == dtDeflateX) FLocal.Flags |= kDeflateFlagsMax;
  }
  if (FEntryAes != emNone) {
    // The real method moves into the AES field; the code replaces the CRC.
    FLocal.Method = kMethodAes;
    FLocal.Crc32 = 0;
    FLocal.ExtraLength = static_cast<std::uint16_t>(FLocal.ExtraLength + kAesExtraSize);
  }
  FEntryPacked = std::max<std::int64_t>(packedSize, 0);
  FLocal.PackedSize = static_cast<std::uint32_t>(FEntryPacked);
}

void TZipBase::MakeCentralHeader(std::size_t index, std::uint32_t attributes, TWorkList& list) {
  TCompHeader& rec = list.Get(index);
  TZipCentralHeader c = TZipCentralHeader::FromLocal(FLocal);
  c.VersionMadeBy = kZipMadeByUnix;
  c.VersionNeeded = 20;
  const TLargeFileExtra large =
      MakeLargeFileExtra(FEntryPacked, FEntryFileSize, FEntryHeadPos, true);
  rec.Extra.assign(large.Bytes.begin(), large.Bytes.begin() + large.Length);
  if (FEntryAes != emNone) {
    // Last, where readers look for it.
    const auto aes = MakeAesExtra(FEntryAes, FEntryStored ? 0 : 8);
    rec.Extra.insert(rec.Extra.end(), aes.begin(), aes.end());
  }
  c.ExtraLength = static_cast<std::uint16_t>(rec.Extra.size());
  c.InternalAttributes = 1;
  // A Unix host with mode 0 would give readers files nobody may open.
  if ((attributes >> 16) == 0) attributes = UnixExternalAttributes(attributes, 0, FEntryIsDir);
  c.ExternalAttributes = attributes;
  c.LocalHeaderOffset = static_cast<std::uint32_t>(FEntryHeadPos);
  rec.Position = FEntryHeadPos;
  rec.UnpackedSizeHi = SizeBits32To47(static_cast<std::uint64_t>(FEntryFileSize));
  rec.PackedSizeHi = SizeBits32To47(static_cast<std::uint64_t>(FEntryPacked));
  PutBlock(list.Block(index), c, rec.UnpackedSizeHi, rec.PackedSizeHi);
  if (FRawNames.size() <= index) FRawNames.resize(index + 1);
  FRawNames[index] = FEntryStoredName;
  FCentral = c;
}

bool TZipBase::WriteEntry(TStream32& out, std::size_t index, TWorkList& list) {
  FEntryIndex = index;
  const std::string path = list.Name(index);
  const TZipCentralHeader listed = BlockCentral(list.Block(index));
  FEntryAttr = listed.ExternalAttributes;
  if (FEntryAttr == 0) {
    const std::int32_t a = FileGetAttr(path);
    if (a >= 0)
      FEntryAttr = UnixExternalAttributes(static_cast<std::uint32_t>(a), FileGetMode(path),
                                          (a & faDirectory) != 0);
  }
  FEntryDosDate = listed.DosTime != 0 ? listed.DosTime : FileGetDate(path);
  FEntryIsDir = (!path.empty() && path.back() == kPathDelim) || (FEntryAttr & faDirectory) != 0;
  std::string stored = FFileName;
  if (FEntryIsDir && (stored.empty() || stored.back() != kPathDelim)) stored += kPathDelim;
  FEntryStoredName = ArchiveName(stored, FEntryUtf8);
  FEntryEncipher = list.Get(index).EncryptHeaders;
  FEntryEncrypted = false;
  FEntryLargeReserved = false;
  FEntryFileSize = 0;
  FEntryPacked = 0;
  FEntryCrcValue = 0;
  FCrypt.reset();
  FAes.reset();
  FEntryAes = emNone;
  out.Seek(0, soFromEnd);
  FEntryHeadPos = out.Position();
  if (FEntryStoredName.empty() || FEntryStoredName.size() > kMaxField) {
    ReportError(path, "", FVolumeName, E_INVALID_NAME);
    return false;
  }

  if (FEntryIsDir) {
    FEntryStored = true;
    ResetLocalHeader(index);
    FinishLocalHeader(0, 0);
    WriteLocalRecord(out, FLocal, FEntryStoredName, FEntryEncipher);
    FEntryDataPos = out.Position();
    MakeCentralHeader(index, FEntryAttr, list);
    return true;
  }

  if (CompressMethod() == cmStore) DeflateType = dtDeflateS;
  FEntryStored = DeflateType == dtDeflateS || IsStoredType(path);
  TFileStream32 source(path, fmOpenRead);
  if (source.Handle() < 0) {
    ReportError(path, "", FVolumeName, E_OPEN_FILE);
    return false;
  }
  FEntryFileSize = source.Size();
  TEncryptionMethod kind = list.Get(index).EncryptionMethod;
  if (FEntryFileSize == 0) {
    FEntryStored = true;
    kind = emNone;
  }
  const bool aes = kind == emAES2_128 || kind == emAES2_192 || kind == emAES2_256;
  if (kind != emNone && kind != emZIP_v2 && !aes) {
    // Never written in plain text in place of the encryption asked for.
    ReportError(path, "", FVolumeName, E_UNSUPPORTED_TYPE);
    return false;
  }
  if (aes && !TqmxAES::PasswordUsable(Password)) {
    ReportError(path, "AES needs a password of 1 to 128 bytes", FVolumeName, E_INVALID_PASSWORD);
    return false;
  }
  FEntryEncrypted = kind != emNone;
  if (aes) FEntryAes = kind;
  ResetLocalHeader(index);
  // A deflated size can outgrow a file just under 4 GiB, so the field is
  // reserved for those too.
  FEntryLargeReserved = SizeBits32To47(static_cast<std::uint64_t>(FEntryFileSize)) != 0 ||
                        FEntryHeadPos >= k4G || FEntryFileSize > 0xF0000000LL;
  // The large-file field belongs right after the name: it is part of the
  // header, whatever encryption data follows.
  WriteLocalRecord(out, FLocal, FEntryStoredName, FEntryEncipher);
  WriteLargeFileField(out, index, false);
  if (aes && !WriteAesExtra(out)) RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);

  const TStreamProgress progress = EntryProgress(FEntryFileSize);
  TCodecParams params = EntryCodecParams();
  if (aes) {
    FAes = std::make_unique<TqmxAES>(nullptr, &out);
    if (!FAes->BeginEncrypt(Password, kind))
      RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
    params.Encryption = static_cast<std::uint8_t>(kind);
    params.Cipher = FAes.get();
  } else if (FEntryEncrypted) {
    // The header's check byte is the CRC's high byte: the CRC comes first.
    const std::uint32_t raw = CalcFileCrc32(source, params, FCancelRef, progress, 0);
    if (GetCancel()) return false;
    FEntryCrcValue = raw ^ 0xFFFFFFFFu;
    FCrypt = std::make_unique<TZipCrypt>();
    const TZipEncryptionHeader header = FCrypt->MakeEncryptionHeader(Password, FEntryCrcValue);
    if (!WriteAll(out, header.data(), kZipEncryptionHeaderSize))
      RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
    params.Encryption = emZIP_v2;
    params.Cipher = FCrypt.get();
  }
  FEntryDataPos = out.Position();

  const int level = static_cast<int>(DeflateType);
  bool ok = false;
  std::uint32_t crc = 0;
  if (FEntryStored) {
    ok = StoreFile(progress, source, params, 32, out);
  } else if (FEntryFileSize < kSmallFile) {
    // A small file may grow when deflated; try it in memory first.
    TMemoryStream32 packed;
    TCodecParams trial = params;
    trial.Encryption = 0;
    trial.Cipher = nullptr;
    trial.BytesToDo = nullptr;
    trial.EntryCrc = nullptr;
    ok = DeflateFile(source, packed, trial, progress, level, -15, crc);
    if (ok && packed.Size() > FEntryFileSize) {
      FEntryStored = true;
      source.Seek(0, soFromBeginning);
      out.Seek(0, soFromEnd);
      // A fresh salt: the stored bytes start a new key stream.
      if (FAes && !FAes->RestartEncrypt())
        RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
      ok = StoreFile(progress, source, params, 32, out);
    } else if (ok) {
      FBytesToDo -= FEntryFileSize;
      FEntryCrc.Crc32 = crc;
      std::vector<std::uint8_t> buf(static_cast<std::size_t>(packed.Size()));
      if (!buf.empty()) std::memcpy(buf.data(), packed.Memory(), buf.size());
      if (FCrypt) FCrypt->EncryptBuffer(buf.data(), buf.size());
      if (FAes) FAes->EncryptBuffer(buf.data(), buf.size());
      if (!WriteAll(out, buf.data(), static_cast<std::int64_t>(buf.size())))
        RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
    }
  } else {
    ok = DeflateFile(source, out, params, progress, level, -15, crc);
    if (ok && !FEntryEncrypted) FEntryCrc.Crc32 = crc;
  }
  if (!ok || GetCancel()) return false;
  if (!FEntryEncrypted) FEntryCrcValue = FEntryCrc.Crc32;

  out.Seek(0, soFromEnd);
  std::int64_t packedSize =
      out.Position() - (FEntryHeadPos + static_cast<std::int64_t>(kZipLocalSize) +
                        static_cast<std::int64_t>(FEntryStoredName.size()));
  // The AES field is header, the code still to come is data.
  if (FAes) packedSize += static_cast<std::int64_t>(TqmxAES::kCodeLength) - kAesExtraSize;
  FinishLocalHeader(packedSize, FEntryFileSize);
  if (FAes) {
    const bool coded = FAes->EndEncrypt();
    FAes.reset();
    if (!coded) RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
  }
  out.Seek(FEntryHeadPos, soFromBeginning);
  WriteLocalRecord(out, FLocal, FEntryStoredName, FEntryEncipher);
  WriteLargeFileField(out, index, true);
  if (aes && !WriteAesExtra(out)) RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
  out.Seek(0, soFromEnd);
  MakeCentralHeader(index, FEntryAttr, list);
  FCrypt.reset();
  return true;
}

bool TZipBase::WriteAesExtra(TStream32& out) {
  const auto b = MakeAesExtra(FEntryAes, FEntryStored ? 0 : 8);
  return WriteAll(out, b.data(), static_cast<std::int64_t>(b.size()));
}

void TZipBase::AfterEntry(std::size_t index, bool success, TWorkList& list) {
  (void)index;
  (void)list;
  if (OnEnd) OnEnd(*this, FFileName, success);
}

// ---------------------------------------------------------------- existing archive

std::int64_t TZipBase::MeasureEntry(TStream& archive, TOldEntry& e, std::int64_t fileSize) {
  std::array<std::uint8_t, kZipLocalSize> b{};
  if (e.Position < 0 || ReadStreamAt(archive, e.Position, b.data(), kZipLocalSize) != kZipLocalSize)
    return 0;
  bool enciphered = false;
  if (ClassifyHeader(GetLE32(b.data()), htLocal, enciphered) != htLocal) return 0;
  if (enciphered) DecipherRecord(b);
  const TZipLocalHeader l = TZipLocalHeader::Parse(b);
  std::int64_t length = static_cast<std::int64_t>(kZipLocalSize) + l.NameLength + l.ExtraLength +
                        e.Info.PackedSize64();
  if (e.Central.Flags & kZipFlagDescriptor) {
    std::array<std::uint8_t, 4> d{};
    if (ReadStreamAt(archive, e.Position + length, d.data(), 4) == 4 &&
        GetLE32(d.data()) == kDescriptorSig) {
      const bool zip64 =
          e.Central.PackedSize == 0xFFFFFFFFu || e.Central.UnpackedSize == 0xFFFFFFFFu;
      length += zip64 ? 24 : 16;
    } else {
      length += 12;
    }
  }
  if (e.Position > fileSize - length) return 0;
  return length;
}

bool TZipBase::LoadCentral(TStream& archive, const TZipLocation& loc,
                           std::vector<TOldEntry>& entries) {
  const std::int64_t size = archive.Size();
  std::int64_t pos = loc.Position;
  // Each record takes at least 46 bytes: no more can be there.
  const std::int64_t maxRecords = size / static_cast<std::int64_t>(kZipCentralSize) + 1;
  for (std::int64_t n = 0; n < maxRecords && !GetCancel(); ++n) {
    std::array<std::uint8_t, kZipCentralSize> b{};
    if (ReadStreamAt(archive, pos, b.data(), kZipCentralSize) != kZipCentralSize) break;
    bool enciphered = false;
    if (ClassifyHeader(GetLE32(b.data()), htCentral, enciphered) != htCentral) break;
    auto plain = b;
    if (enciphered) DecipherRecord(plain);
    TOldEntry e;
    e.Central = TZipCentralHeader::Parse(plain);
    e.Enciphered = enciphered;
    std::int64_t at = pos + static_cast<std::int64_t>(kZipCentralSize);
    std::string name(e.Central.NameLength, '\0');
    e.Extra.resize(e.Central.ExtraLength);
    e.Comment.assign(e.Central.CommentLength, '\0');
    if (ReadStreamAt(archive, at, name.data(), e.Central.NameLength) != e.Central.NameLength) break;
    at += e.Central.NameLength;
    if (ReadStreamAt(archive, at, e.Extra.data(), e.Central.ExtraLength) != e.Central.ExtraLength)
      break;
    at += e.Central.ExtraLength;
    if (ReadStreamAt(archive, at, e.Comment.data(), e.Central.CommentLength) !=
        e.Central.CommentLength)
      break;
    at += e.Central.CommentLength;
    if (enciphered) {
      // The name continues the record's cipher stream.
      auto again = b;
      TByteBlock nameBytes = Bytes(name);
      DecipherRecord(again, nameBytes);
      name.assign(nameBytes.begin(), nameBytes.end());
    }
    e.Central.Signature = kZipCentralSig;
    e.RawName = std::move(name);
    e.Info.PackedSize = e.Central.PackedSize;
    e.Info.UnpackedSize = e.Central.UnpackedSize;
    e.Info.LocalOffset = e.Central.LocalHeaderOffset;
    ParseExtraField(e.Extra, true, e.Info);
    e.Position = e.Info.LocalOffset64() + loc.PrefixShift;
    e.Length = MeasureEntry(archive, e, size);
    pos = at;
    if (e.Length <= 0) {
      ReportError(FArchiveFile, PlatformName(e.RawName, e.Central.Flags), FVolumeName,
                  E_BAD_LOCAL_OFFSET);
      continue;
    }
    entries.push_back(std::move(e));
  }
  return !entries.empty();
}

void TZipBase::LoadLocals(TStream& archive, std::int64_t start, std::vector<TOldEntry>& entries) {
  const std::int64_t size = archive.Size();
  std::int64_t pos = start;
  const std::int64_t maxRecords = size / static_cast<std::int64_t>(kZipLocalSize) + 1;
  for (std::int64_t n = 0; n < maxRecords && !GetCancel(); ++n) {
    std::array<std::uint8_t, kZipLocalSize> b{};
    if (ReadStreamAt(archive, pos, b.data(), kZipLocalSize) != kZipLocalSize) break;
    bool enciphered = false;
    if (ClassifyHeader(GetLE32(b.data()), htLocal, enciphered) != htLocal) break;
    auto plain = b;
    if (enciphered) DecipherRecord(plain);
    const TZipLocalHeader l = TZipLocalHeader::Parse(plain);
    // Without sizes in the header the end of the data cannot be known.
    if ((l.Flags & kZipFlagDescriptor) && l.PackedSize == 0) break;
    TOldEntry e;
    std::string name(l.NameLength, '\0');
    e.Extra.resize(l.ExtraLength);
    if (ReadStreamAt(archive, pos + 30, name.data(), l.NameLength) != l.NameLength) break;
    if (ReadStreamAt(archive, pos + 30 + l.NameLength, e.Extra.data(), l.ExtraLength) !=
        l.ExtraLength)
      break;
    if (enciphered) {
      TByteBlock nameBytes = Bytes(name);
      DecipherRecord(b, nameBytes);
      name.assign(nameBytes.begin(), nameBytes.end());
    }
    e.Central.VersionMadeBy = 20;
    e.Central.VersionNeeded = l.VersionNeeded;
    e.Central.Flags = l.Flags;
    e.Central.Method = l.Method;
    e.Central.DosTime = l.DosTime;
    e.Central.Crc32 = l.Crc32;
    e.Central.PackedSize = l.PackedSize;
    e.Central.UnpackedSize = l.UnpackedSize;
    e.Central.NameLength = l.NameLength;
    e.Central.ExtraLength = l.ExtraLength;
    e.Enciphered = enciphered;
    e.RawName = std::move(name);
    e.Info.PackedSize = l.PackedSize;
    e.Info.UnpackedSize = l.UnpackedSize;
    ParseExtraField(e.Extra, false, e.Info);
    e.Info.LocalOffset = static_cast<std::uint32_t>(pos);
    e.Info.OffsetHigh = SizeBits32To47(static_cast<std::uint64_t>(pos));
    e.Position = pos;
    e.Length = static_cast<std::int64_t>(kZipLocalSize) + l.NameLength + l.ExtraLength +
               e.Info.PackedSize64();
    if (pos > size - e.Length) break;
    pos += e.Length;
    entries.push_back(std::move(e));
  }
}

bool TZipBase::LoadDirectory(TStream& archive, std::vector<TOldEntry>& entries, TZipLocation& loc) {
  entries.clear();
  LocateCentralDirectory(archive, loc);
  if (loc.HeaderFlags.Has(htCentral)) return LoadCentral(archive, loc, entries);
  std::int64_t start = -1;
  if (loc.HeaderFlags.Has(htLocal)) {
    start = loc.Position;
  } else {
    // No end record at all: an archive cut short still starts with entries.
    std::array<std::uint8_t, 4> sig{};
    if (ReadStreamAt(archive, 0, sig.data(), 4) == 4 &&
        ClassifyHeader(GetLE32(sig.data()), htLocal) == htLocal)
      start = 0;
  }
  if (start >= 0) LoadLocals(archive, start, entries);
  return !entries.empty();
}

std::int64_t TZipBase::SelfExtractorStubLength() {
  if (!FOldArchive) {
    const TZipLocation& found = ZipLocationOf(*this);
    if ((FArcType == atZipExe || FArcType == atJarExe) && found.PrefixShift > 0)
      return found.PrefixShift;
    return TCompBase::SelfExtractorStubLength();
  }
  std::vector<TOldEntry> entries;
  TZipLocation loc;
  if (!LoadDirectory(*FOldArchive, entries, loc)) return 0;
  std::int64_t first = entries.front().Position;
  for (const auto& e : entries) first = std::min(first, e.Position);
  return std::max<std::int64_t>(first, 0);
}

void TZipBase::ReadDirectory(TStream32& oldArchive, TWorkList& list) {
  std::vector<TOldEntry> entries;
  TZipLocation loc;
  LoadDirectory(oldArchive, entries, loc);
  if (!FCommentChanged) {
    FArchiveComment.clear();
    if (loc.HeaderFlags.Has(htEnding) && loc.CommentLength > 0) {
      FArchiveComment.resize(
          static_cast<std::size_t>(std::min<std::int64_t>(loc.CommentLength, kMaxField)));
      const std::int64_t got = ReadStreamAt(oldArchive, loc.CommentPosition, FArchiveComment.data(),
                                            static_cast<std::int64_t>(FArchiveComment.size()));
      FArchiveComment.resize(static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
    }
  }
  for (std::size_t k = 0; k < entries.size(); ++k) {
    TOldEntry& e = entries[k];
    TCompHeader h;
    h.State = ceKeep;
    h.Position = e.Position;
    h.UnpackedSizeHi = e.Info.UnpackedHigh;
    h.PackedSizeHi = e.Info.PackedHigh;
    h.EncryptHeaders = e.Enciphered;
    h.EncryptionMethod =
        (e.Central.Flags & kZipFlagEncrypted) ? EncryptionFromExtra(e.Extra) : emNone;
    auto pending = FPendingFileComments.find(k);
    h.Comment = pending != FPendingFileComments.end() ? pending->second : e.Comment;
    h.Extra = e.Extra;
    const std::string name = PlatformName(e.RawName, e.Central.Flags);
    if (Switch == swDelete && IsEntryInSpec(name, FFileSpec, FExcludeSpec)) {
      h.State = ceDelete;
      ++FDeletedCount;
    }
    TByteBlock block;
    PutBlock(block, e.Central, e.Info.UnpackedHigh, e.Info.PackedHigh);
    const std::size_t index = list.Add(h, name, 0, block.data(), block.size());
    if (FRawNames.size() <= index) FRawNames.resize(index + 1);
    if (FOldLength.size() <= index) FOldLength.resize(index + 1, 0);
    FRawNames[index] = e.RawName;
    FOldLength[index] = e.Length;
  }
  FFirstNewIndex = list.Count();
}

std::int64_t TZipBase::GetEntryLength(std::size_t index) {
  return index < FOldLength.size() ? FOldLength[index] : 0;
}

void TZipBase::CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                                std::size_t index) {
  const std::int64_t start = list.Get(index).Position;
  const std::int64_t length = GetEntryLength(index);
  std::array<std::uint8_t, kZipLocalSize> b{};
  bool enciphered = false;
  if (length < static_cast<std::int64_t>(kZipLocalSize) ||
      ReadStreamAt(oldArchive, start, b.data(), kZipLocalSize) != kZipLocalSize ||
      ClassifyHeader(GetLE32(b.data()), htLocal, enciphered) != htLocal)
    RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_BAD_LOCAL_OFFSET);
  if (enciphered) DecipherRecord(b);
  TZipLocalHeader l = TZipLocalHeader::Parse(b);
  const std::int64_t rest = length - static_cast<std::int64_t>(kZipLocalSize) - l.NameLength;
  if (rest < 0) RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_BAD_LOCAL_OFFSET);

  const std::int64_t dataStart = start + static_cast<std::int64_t>(kZipLocalSize) + l.NameLength;
  bool utf8 = false;
  std::string name = ArchiveName(list.Name(index), utf8);
  if (name.size() > kMaxField) name.resize(kMaxField);
  l.NameLength = static_cast<std::uint16_t>(name.size());
  l.Flags = static_cast<std::uint16_t>((l.Flags & ~kZipFlagUtf8) | (utf8 ? kZipFlagUtf8 : 0));
  WriteLocalRecord(newArchive, l, name, enciphered);
  if (rest > 0) {
    oldArchive.Seek(dataStart, soFromBeginning);
    if (newArchive.CopyFrom(oldArchive, rest) != rest && !GetCancel())
      RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_READ_FILE);
  }

  TByteBlock& block = list.Block(index);
  TZipCentralHeader c = BlockCentral(block);
  c.NameLength = l.NameLength;
  c.Flags = static_cast<std::uint16_t>((c.Flags & ~kZipFlagUtf8) | (utf8 ? kZipFlagUtf8 : 0));
  PutBlock(block, c, BlockWord(block, kZipCentralSize), BlockWord(block, kZipCentralSize + 2));
  if (FRawNames.size() <= index) FRawNames.resize(index + 1);
  FRawNames[index] = name;
  ++FNewNameCount;
}

// ---------------------------------------------------------------- directory and end

void TZipBase::WriteEmptyArchive(TStream32& newArchive) {
  // Nothing is left: a bare end record, every field but the signature 0.
  TZipEndRecord end;
  const auto bytes = end.Serialize();
  newArchive.Seek(0, soFromEnd);
  if (!WriteAll(newArchive, bytes.data(), static_cast<std::int64_t>(bytes.size())))
    RaiseError(FArchiveFile, "", FVolumeName, E_WRITE_FILE);
  FEmptyWritten = true;
}

bool TZipBase::WriteDirectoryRecords(TStream32& out, TWorkList& list) {
  out.Seek(0, soFromEnd);
  const std::int64_t offset = out.Position();
  FLargeArchive = offset >= k4G;
  // Records are gathered and written in large pieces: a directory of many
  // small records must not cost four writes each.
  std::vector<std::uint8_t> pending;
  std::int64_t size = 0;
  auto put = [&](const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    pending.insert(pending.end(), b, b + n);
  };
  auto flush = [&] {
    const bool ok = WriteAll(out, pending.data(), static_cast<std::int64_t>(pending.size()));
    size += static_cast<std::int64_t>(pending.size());
    pending.clear();
    return ok;
  };
  std::uint64_t count = 0;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    TCompHeader& rec = list.Get(i);
    if (rec.State == ceDelete) continue;
    TByteBlock& block = list.Block(i);
    TZipCentralHeader c = BlockCentral(block);
    std::string name = i < FRawNames.size() && !FRawNames[i].empty()
                           ? FRawNames[i]
                           : NameToArchive(list.Name(i), TranslateOemChar);
    if (name.size() > kMaxField) name.resize(kMaxField);
    if (rec.State != ceCompress)
      RelocateOffset(c, rec.Extra, rec.Position, rec.PackedSizeHi, rec.UnpackedSizeHi);
    else
      c.LocalHeaderOffset = static_cast<std::uint32_t>(rec.Position);
    if (rec.Comment.size() > kMaxField) rec.Comment.resize(kMaxField);
    c.NameLength = static_cast<std::uint16_t>(name.size());
    c.ExtraLength = rec.ExtraLen();
    c.CommentLength = static_cast<std::uint16_t>(rec.Comment.size());
    c.Signature = rec.EncryptHeaders ? kZipCentralSigX : kZipCentralSig;
    auto bytes = c.Serialize();
    TByteBlock nameBytes = Bytes(name);
    if (rec.EncryptHeaders) EncipherRecord(bytes, nameBytes);
    put(bytes.data(), bytes.size());
    put(nameBytes.data(), nameBytes.size());
    put(rec.Extra.data(), rec.Extra.size());
    put(rec.Comment.data(), rec.Comment.size());
    if (pending.size() >= (1u << 20) && !flush()) {
      ReportError(FArchiveFile, "", FVolumeName, E_WRITE_FILE);
      return false;
    }
    ++count;
  }
  if (!flush()) {
    ReportError(FArchiveFile, "", FVolumeName, E_WRITE_FILE);
    return false;
  }
  const std::string comment = FArchiveComment.substr(0, kMaxField);
  // More entries than the end record's 16-bit counts hold: the standard
  // Zip64 end record and locator carry the true count (readers otherwise
  // see the count wrapped).
  const bool manyEntries = count > 0xFFFF && !FLargeArchive;
  const std::uint16_t count16 = manyEntries ? 0xFFFF : static_cast<std::uint16_t>(count);
  if (manyEntries) {
    std::array<std::uint8_t, kZip64EndSize + kZip64LocatorSize> z{};
    std::uint8_t* e = z.data();
    PutLE32(e, kZip64EndSig);
    PutLE64(e + 4, kZip64EndSize - 12);
    PutLE16(e + 12, static_cast<std::uint16_t>(kZipHostUnix << 8 | 45));
    PutLE16(e + 14, 45);
    PutLE64(e + 24, count);
    PutLE64(e + 32, count);
    PutLE64(e + 40, static_cast<std::uint64_t>(size));
    PutLE64(e + 48, static_cast<std::uint64_t>(offset));
    std::uint8_t* l = e + kZip64EndSize;
    PutLE32(l, kZip64LocatorSig);
    PutLE64(l + 8, static_cast<std::uint64_t>(offset + size));
    PutLE32(l + 16, 1);
    if (!WriteAll(out, z.data(), static_cast<std::int64_t>(z.size()))) {
      ReportError(FArchiveFile, "", FVolumeName, E_WRITE_FILE);
      return false;
    }
  }
  bool ok = false;
  if (FLargeArchive) {
    TZipEndRecord64 end;
    end.EntriesThisDisk = end.TotalEntries = count16;
    end.CentralSize = static_cast<std::uint32_t>(size);
    end.CentralOffset = static_cast<std::uint64_t>(offset);
    end.CommentLength = static_cast<std::uint16_t>(comment.size());
    const auto bytes = end.Serialize();
    ok = WriteAll(out, bytes.data(), static_cast<std::int64_t>(bytes.size()));
  } else {
    TZipEndRecord end;
    end.EntriesThisDisk = end.TotalEntries = count16;
    end.CentralSize = static_cast<std::uint32_t>(size);
    end.CentralOffset = static_cast<std::uint32_t>(offset);
    end.CommentLength = static_cast<std::uint16_t>(comment.size());
    const auto bytes = end.Serialize();
    ok = WriteAll(out, bytes.data(), static_cast<std::int64_t>(bytes.size()));
  }
  ok = ok && WriteAll(out, comment.data(), static_cast<std::int64_t>(comment.size()));
  if (!ok) ReportError(FArchiveFile, "", FVolumeName, E_WRITE_FILE);
  return ok;
}

bool TZipBase::WriteCentralDirectory(TStream32& newArchive, TWorkList& list) {
  if (FEmptyWritten) return true;
  return WriteDirectoryRecords(newArchive, list);
}

// ---------------------------------------------------------------- listings

void TZipBase::FillListed(const TZipCentralHeader& c, const TCompHeader& rec,
                          const std::string& name) {
  FListed = TZipListedEntry{};
  FListed.FileName = name;
  FListed.VersionMadeBy = c.VersionMadeBy;
  FListed.VersionNeeded = c.VersionNeeded;
  FListed.Encrypted = (c.Flags & kZipFlagEncrypted) != 0;
  FListed.Encryption = FListed.Encrypted
                           ? (rec.EncryptionMethod != emNone ? rec.EncryptionMethod : emZIP_v2)
                           : emNone;
  FListed.PackedSize = static_cast<std::int64_t>(JoinSize(c.PackedSize, rec.PackedSizeHi));
  if (FListed.Encryption == emZIP_v2 && FListed.PackedSize >= 12) FListed.PackedSize -= 12;
  FListed.UnpackedSize = static_cast<std::int64_t>(JoinSize(c.UnpackedSize, rec.UnpackedSizeHi));
  FListed.Crc = c.Crc32;
  const bool isDir = !name.empty() && (name.back() == '/' || name.back() == kPathDelim);
  FListed.MethodName = MethodName(c.Method, c.Flags, isDir);
  FListed.Attributes = c.ExternalAttributes;
  FListed.Ratio = Ratio(FListed.UnpackedSize, FListed.PackedSize);
  FListed.DosDate = c.DosTime;
  FListed.Position = rec.Position;
}

void TZipBase::AfterUpdate(TWorkList& list) {
  if (Switch == swDelete || !OnRead || !FArchiveReplaced) return;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    const TCompHeader& rec = list.Get(i);
    if (rec.State != ceCompress) continue;
    FFileName = list.Name(i);
    FillListed(BlockCentral(list.Block(i)), rec, FFileName);
    OnRead(*this, static_cast<int>(rec.Position), static_cast<int>(i));
  }
}

bool TZipBase::FirstListedEntry(std::string& name, TStream32& archive, TWorkList& list) {
  (void)list;
  TZipLocation loc;
  LoadDirectory(archive, FListing, loc);
  FListingNext = 0;
  return NextListedEntry(name, archive);
}

bool TZipBase::NextListedEntry(std::string& name, TStream32& archive) {
  if (FListingNext >= FListing.size()) return false;
  const TOldEntry& e = FListing[FListingNext++];
  TCompHeader rec;
  rec.Position = e.Position;
  rec.PackedSizeHi = e.Info.PackedHigh;
  rec.UnpackedSizeHi = e.Info.UnpackedHigh;
  rec.EncryptionMethod =
      (e.Central.Flags & kZipFlagEncrypted) ? EncryptionFromExtra(e.Extra) : emNone;
  name = PlatformName(e.RawName, e.Central.Flags);
  FListName = name;
  FFileName = name;
  FillListed(e.Central, rec, name);
  archive.Seek(e.Position + static_cast<std::int64_t>(kZipLocalSize) +
                   static_cast<std::int64_t>(e.RawName.size()),
               soFromBeginning);
  return true;
}

// ---------------------------------------------------------------- comments

void TZipBase::SetArchiveComment(const std::string& comment) {
  const std::string c = comment.substr(0, kMaxField);
  if (c == FArchiveComment) return;
  FArchiveComment = c;
  FCommentChanged = true;
}

void TZipBase::SetFileComment(std::size_t index, const std::string& comment) {
  const std::string c = comment.substr(0, kMaxField);
  if (index < FCommentTexts.size()) {
    if (FCommentTexts[index] == c) return;
    FCommentTexts[index] = c;
  }
  FPendingFileComments[index] = c;
}

std::string TZipBase::FileComment(std::size_t index) const {
  auto it = FPendingFileComments.find(index);
  if (it != FPendingFileComments.end()) return it->second;
  return index < FCommentTexts.size() ? FCommentTexts[index] : std::string();
}

void TZipBase::ReadComments() {
  FCommentNames.clear();
  FCommentTexts.clear();
  TFileStream32 archive(FArchiveFile, fmOpenRead);
  if (archive.Handle() < 0) {
    ReportError(FArchiveFile, "", FVolumeName, E_OPEN_FILE);
    return;
  }
  std::vector<TOldEntry> entries;
  TZipLocation loc;
  LoadDirectory(archive, entries, loc);
  for (const auto& e : entries) {
    FCommentNames.push_back(PlatformName(e.RawName, e.Central.Flags));
    FCommentTexts.push_back(e.Comment);
  }
  for (const auto& [k, text] : FPendingFileComments)
    if (k < FCommentTexts.size()) FCommentTexts[k] = text;
  if (!FCommentChanged) {
    FArchiveComment.clear();
    if (loc.HeaderFlags.Has(htEnding) && loc.CommentLength > 0) {
      FArchiveComment.resize(
          static_cast<std::size_t>(std::min<std::int64_t>(loc.CommentLength, kMaxField)));
      const std::int64_t got = ReadStreamAt(archive, loc.CommentPosition, FArchiveComment.data(),
                                            static_cast<std::int64_t>(FArchiveComment.size()));
      FArchiveComment.resize(static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
    }
  }
}

void TZipBase::WriteComments() {
  UpdateComments();
}

int TZipBase::UpdateComments() {
  if (!FCommentChanged && FPendingFileComments.empty()) return 0;
  ResetOperationState();
  FArchiveReplaced = false;
  int written = 0;
  try {
    auto old = std::make_unique<TFileStream32>(FArchiveFile, fmOpenRead);
    if (old->Handle() < 0) {
      ReportError(FArchiveFile, "", FVolumeName, E_OPEN_FILE);
      return 0;
    }
    std::vector<TOldEntry> entries;
    TZipLocation loc;
    if (!LoadDirectory(*old, entries, loc) || !loc.HeaderFlags.Has(htCentral)) {
      ReportError(FArchiveFile, "", FVolumeName, E_BAD_LOCAL_OFFSET);
      return 0;
    }
    // Everything before the directory stays as it is.
    TWorkList list;
    FRawNames.clear();
    FOldLength.clear();
    FEmptyWritten = false;
    const TSwitch saved = Switch;
    Switch = swAdd;
    ReadDirectory(*old, list);
    Switch = saved;
    auto temp = std::make_unique<TTempFileStream>(*this, TFileStream32::kCreateMode, FArchiveFile,
                                                  TempDir());
    if (temp->Handle() < 0) {
      ReportError(FArchiveFile, "", FVolumeName, E_OPEN_FILE);
      return 0;
    }
    bool ok = true;
    const std::int64_t keep = loc.Position;
    if (keep > 0) {
      old->Seek(0, soFromBeginning);
      ok = temp->CopyFrom(*old, keep) == keep;
    }
    ok = ok && WriteDirectoryRecords(*temp, list);
    if (!ok || GetCancel()) temp->Discard();
    old.reset();
    temp.reset();
    if (ok && FArchiveReplaced) {
      written = static_cast<int>(list.Count());
      FCommentChanged = false;
      FPendingFileComments.clear();
    }
  } catch (...) {
    return 0;
  }
  return written;
}

}  // namespace qmx
