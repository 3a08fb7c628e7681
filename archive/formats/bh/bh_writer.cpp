#include "archive/formats/bh/bh_writer.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <vector>

#include "archive/base/names.h"
#include "archive/codec/codec_streams.h"
#include "archive/codec/lha_coder.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"

namespace qmx {

namespace {

constexpr std::uint32_t kDirectoryAttr = 0x10;
constexpr std::size_t kMaxName = 0xFFFF - kBhHeadSize;

// Names written by this system are UTF-8 already when they are not ASCII;
// old DOS archives carry OEM bytes.
std::string BhPlatformName(const std::string& raw, bool translate) {
  if (!translate || LooksLikeUtf8Name(raw)) return SlashToDelim(raw);
  return NameToWindows(raw, translate);
}

}  // namespace

std::uint8_t BhDeflateFlags(TDeflateType type) {
  switch (type) {
    case dtDeflateX:
      return 2;
    case dtDeflateF:
      return 4;
    case dtDeflateS:
      return 6;
    case dtDeflateN:
    default:
      return 0;
  }
}

TBlakHole::TBlakHole() {
  SetWriterDefaults(".BH", {cmStore, cmDeflate, cmFuse}, cmDeflate);
  FArcType = atBh;
}

TBlakHole::~TBlakHole() = default;

void TBlakHole::SetArcType(TArcType) {
  FArcType = atBh;
}

std::uint8_t* TBlakHole::GetHeadPtr() {
  FHead.Put(FHeadBytes.data());
  return FHeadBytes.data();
}

// ---------------------------------------------------------------- header

void TBlakHole::InitLocalHeader(TByteBlock& header, const TSearchRec& info) {
  TBhHeader h;
  h.DosTime = info.DosTime;
  h.PackedSize = h.UnpackedSize = static_cast<std::uint32_t>(info.Size);
  h.Attributes = static_cast<std::uint16_t>(info.Attr);
  header.resize(kBhHeadSize);
  h.Put(header.data());
}

void TBlakHole::ResetLocalHeader(std::size_t index) {
  (void)index;
  FHead = TBhHeader{};
  if (DateAttribute == daMaxFileDate && FNewestDate != 0) FMaxFileDate = FNewestDate;
  FHead.DosTime = ResolveFileDate(FEntryDosDate);
  FHead.Attributes = static_cast<std::uint16_t>(FEntryAttr);
  FHead.UnpackedSize = static_cast<std::uint32_t>(FEntryFileSize);
  FHead.Method = kBhMethodDeflate;
}

void TBlakHole::FinishLocalHeader(std::int64_t packedSize, std::int64_t unpackedSize) {
  FHead.NameLength = static_cast<std::uint16_t>(FEntryStoredName.size());
  FHead.UnpackedSize = static_cast<std::uint32_t>(unpackedSize);
  FHead.ExtraLength = 0;
  FHead.Crc32 = unpackedSize == 0 ? 0 : FEntryCrcValue;
  FHead.Flags = FEntryEncrypted ? kBhFlagEncrypted : 0;
  FHead.HeaderLength = static_cast<std::uint16_t>(kBhHeadSize + FHead.NameLength);
  FHead.PackedSize = static_cast<std::uint32_t>(std::max<std::int64_t>(packedSize, 0));
  FHead.Method = FEntryMethod;
  // The deflate type also marks encrypted fused entries, as BH itself writes them.
  if (FEntryMethod == kBhMethodDeflate || (FEntryMethod == kBhMethodFused3 && FEntryEncrypted))
    FHead.Flags |= BhDeflateFlags(DeflateType);
}

void TBlakHole::MakeCentralHeader(std::size_t index, std::uint32_t attributes, TWorkList& list) {
  (void)attributes;
  list.SetBlock(index, GetHeadPtr(), kBhHeadSize);
  TCompHeader& rec = list.Get(index);
  rec.Position = FEntryHeadPos;
  rec.UnpackedSizeHi = 0;
  rec.PackedSizeHi = 0;
}

// ---------------------------------------------------------------- new entries

void TBlakHole::WriteAll(TStream32& out, const void* buf, std::int64_t n) {
  if (n <= 0) return;
  bool ok = false;
  try {
    ok = out.Write(buf, n) == n;
  } catch (const EStreamError&) {
    ok = false;
  }
  if (!ok) RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
}

void TBlakHole::WriteHeaderAndName(TStream32& out) {
  WriteAll(out, GetHeadPtr(), kBhHeadSize);
  WriteAll(out, FEntryStoredName.data(), static_cast<std::int64_t>(FEntryStoredName.size()));
}

bool TBlakHole::WriteEntry(TStream32& out, std::size_t index, TWorkList& list) {
  FEntryOk = false;
  const std::string path = list.Name(index);
  FEntryIsDir = !path.empty() && path.back() == kPathDelim;
  std::string stored = FFileName;
  if (FEntryIsDir && (stored.empty() || stored.back() != kPathDelim)) stored += kPathDelim;
  FEntryStoredName = NameToArchive(stored, TranslateOemChar);
  // Relative names only: a reader would otherwise write where it was not asked to.
  const std::size_t first = FEntryStoredName.find_first_not_of('/');
  FEntryStoredName.erase(0, first == std::string::npos ? FEntryStoredName.size() : first);
  if (FEntryStoredName.empty() || FEntryStoredName.size() > kMaxName) {
    ReportError(path, "", FVolumeName, E_INVALID_NAME);
    return false;
  }

  const TByteBlock& block = list.Block(index);
  const TBhHeader listed =
      block.size() >= kBhHeadSize ? TBhHeader::Parse(block.data()) : TBhHeader{};
  FEntryAttr = listed.Attributes;
  if (FEntryAttr == 0) {
    const std::int32_t a = FileGetAttr(path);
    if (a >= 0) FEntryAttr = static_cast<std::uint32_t>(a) & 0xFFFF;
  }
  FEntryDosDate = listed.DosTime != 0 ? listed.DosTime : FileGetDate(path);
  FEntryEncrypted = false;
  FEntryFileSize = 0;
  FEntryCrcValue = 0;
  FEntryRead = 0;
  FCrypt.reset();
  out.Seek(0, soFromEnd);
  FEntryHeadPos = out.Position();

  if (FEntryIsDir) {
    FEntryAttr |= kDirectoryAttr;
    ResetLocalHeader(index);
    FEntryMethod = kBhMethodStored;
    FinishLocalHeader(0, 0);
    WriteHeaderAndName(out);
    FEntryDataPos = out.Position();
    MakeCentralHeader(index, FEntryAttr, list);
    FEntryOk = true;
    return true;
  }

  if (CompressMethod() == cmStore) DeflateType = dtDeflateS;
  const bool fuse = CompressMethod() == cmFuse;
  TFileStream32 source(path, fmOpenRead);
  if (source.Handle() < 0) {
    ReportError(path, "", FVolumeName, E_OPEN_FILE);
    return false;
  }
  FEntryFileSize = source.Size();
  // An empty file has nothing to hide or to compress.
  FEntryEncrypted = !Password.empty() && FEntryFileSize > 0;
  bool store = FEntryFileSize == 0 || (!fuse && (DeflateType == dtDeflateS || IsStoredType(path)));

  ResetLocalHeader(index);
  FEntryMethod = store ? kBhMethodStored : fuse ? kBhMethodFused3 : kBhMethodDeflate;
  FinishLocalHeader(0, FEntryFileSize);
  WriteHeaderAndName(out);
  const std::int64_t nameEnd = out.Position();

  const TStreamProgress progress = EntryProgress(FEntryFileSize);
  if (FEntryEncrypted) {
    // The check byte is the CRC's high byte: the CRC comes first.
    TCodecParams params = EntryCodecParams();
    const std::uint32_t raw = CalcFileCrc32(source, params, FCancelRef, progress, 0);
    if (GetCancel()) return false;
    FEntryCrcValue = raw ^ 0xFFFFFFFFu;
    FCrypt = std::make_unique<TZipCrypt>();
    const TZipEncryptionHeader header = FCrypt->MakeEncryptionHeader(Password, FEntryCrcValue);
    WriteAll(out, header.data(), kZipEncryptionHeaderSize);
    FDataKeys = FCrypt->Keys();
    source.Seek(0, soFromBeginning);
  }
  FEntryDataPos = out.Position();
  FBytesToDoAtData = FBytesToDo;

  TBhData how = store ? bdStored : fuse ? WriteFused(source, out) : WriteDeflated(source, out);
  if (how == bdFailed || GetCancel()) return false;
  if (how == bdStored) {
    if (!store) Rewind(source, out);
    if (!WriteStored(source, out)) return false;
    FEntryMethod = kBhMethodStored;
  } else {
    FEntryMethod = how == bdFused ? kBhMethodFused3 : kBhMethodDeflate;
  }

  out.Seek(0, soFromEnd);
  FinishLocalHeader(out.Position() - nameEnd, FEntryFileSize);
  out.Seek(FEntryHeadPos, soFromBeginning);
  WriteAll(out, GetHeadPtr(), kBhHeadSize);
  out.Seek(0, soFromEnd);
  MakeCentralHeader(index, FEntryAttr, list);
  FCrypt.reset();
  FEntryOk = true;
  return true;
}

void TBlakHole::Rewind(TStream32& source, TStream32& out) {
  out.SetSize(FEntryDataPos);
  out.Seek(0, soFromEnd);
  source.Seek(0, soFromBeginning);
  FBytesToDo = FBytesToDoAtData;
  if (FCrypt) FCrypt->SetKeys(FDataKeys);
}

bool TBlakHole::WriteStored(TStream32& source, TStream32& out) {
  TCodecParams params = EntryCodecParams();
  if (FCrypt) {
    params.Encryption = emZIP_v2;
    params.Cipher = FCrypt.get();
  }
  if (!StoreFile(EntryProgress(FEntryFileSize), source, params, 32, out) || GetCancel())
    return false;
  out.Seek(0, soFromEnd);
  const std::int64_t written = out.Position() - FEntryDataPos;
  // A file that changed size while it was read would not match its header.
  if (written != FEntryFileSize) {
    ReportError(FFileName, "", FVolumeName, E_READ_FILE);
    return false;
  }
  if (!FCrypt) FEntryCrcValue = FEntryCrc.Crc32;  // final already
  return true;
}

TBlakHole::TBhData TBlakHole::WriteDeflated(TStream32& source, TStream32& out) {
  TCodecParams params = EntryCodecParams();
  if (FCrypt) {
    params.Encryption = emZIP_v2;
    params.Cipher = FCrypt.get();
  }
  std::uint32_t crc = 0;
  if (!DeflateFile(source, out, params, EntryProgress(FEntryFileSize),
                   static_cast<int>(DeflateType), -15, crc))
    return bdFailed;
  if (!FCrypt) FEntryCrcValue = crc;
  return bdDeflated;
}

TBlakHole::TBhData TBlakHole::WriteFused(TStream32& source, TStream32& out) {
  try {
    FEntryCrc.Crc32 = 0xFFFFFFFFu;
    TLhaReadFunc read = [&](void* buf, std::int64_t n) -> std::int64_t {
      const std::int64_t got = ReadBlock(source, buf, n, 32, false);
      FEntryRead += got;
      FBytesToDo -= got;
      UpdateProgress(FScanTotal, FEntryFileSize, FEntryRead);
      return got;
    };
    std::vector<std::uint8_t> scratch;
    TLegacyWriteFunc write = [&](const void* buf, std::int64_t n) -> std::int64_t {
      if (n <= 0) return 0;
      const auto* p = static_cast<const std::uint8_t*>(buf);
      if (FCrypt) {
        scratch.assign(p, p + n);
        FCrypt->EncryptBuffer(scratch.data(), scratch.size());
        p = scratch.data();
      }
      return out.Write(p, n);
    };
    const TLhaCoderResult r = LhaCompress(read, write, FEntryFileSize, kBhFuseParams, FCancelRef);
    switch (r) {
      case lcOk:
        break;
      case lcStoreForced:
        return bdStored;
      case lcCanceled:
        return bdFailed;
      case lcWriteError:
        ReportError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
        return bdFailed;
      case lcReadError:
      default:
        ReportError(FFileName, "", FVolumeName, E_READ_FILE);
        return bdFailed;
    }
    out.Seek(0, soFromEnd);
    if (FEntryRead != FEntryFileSize) {
      ReportError(FFileName, "", FVolumeName, E_READ_FILE);
      return bdFailed;
    }
    // Not smaller: storing costs nothing to decode.
    if (out.Position() - FEntryDataPos >= FEntryFileSize) return bdStored;
    if (!FCrypt) FEntryCrcValue = FEntryCrc.Crc32 ^ 0xFFFFFFFFu;
    return bdFused;
  } catch (const std::exception&) {
    return bdFailed;
  }
}

void TBlakHole::AfterEntry(std::size_t index, bool success, TWorkList& list) {
  (void)index;
  (void)list;
  if (OnEnd) OnEnd(*this, FFileName, success && FEntryOk && !GetCancel());
}

bool TBlakHole::WriteCentralDirectory(TStream32& newArchive, TWorkList& list) {
  (void)newArchive;
  (void)list;
  // Nothing follows the last entry; the run is written unless cancelled.
  return !GetCancel();
}

// ---------------------------------------------------------------- existing archive

std::int64_t TBlakHole::DataStartOf(TStream32& archive) {
  std::array<std::uint8_t, 4> sig{};
  archive.Seek(0, soFromBeginning);
  if (archive.Read(sig.data(), 4) == 4 && GetLE32(sig.data()) == kBhSignature) return 0;
  // A self-extracting archive: its entries start behind the stub.
  const TArcType found = DetectArcType(archive);
  FArcType = atBh;
  if (found == atBhExe || found == atBh) return std::max<std::int64_t>(FArchivePosition, 0);
  return 0;
}

std::int64_t TBlakHole::SelfExtractorStubLength() {
  if (!FOldArchive) return 0;
  return DataStartOf(*FOldArchive);
}

void TBlakHole::ReadDirectory(TStream32& oldArchive, TWorkList& list) {
  FDeleteCount = 0;
  const std::int64_t size = oldArchive.Size();
  std::int64_t pos = std::max<std::int64_t>(FDataStart, 0);
  TBhHeadBytes b{};
  while (!GetCancel() && pos < size) {
    oldArchive.Seek(pos, soFromBeginning);
    if (oldArchive.Read(b.data(), kBhHeadSize) != static_cast<std::int64_t>(kBhHeadSize)) break;
    const TBhHeader h = TBhHeader::Parse(b.data());
    if (h.Signature != kBhSignature || h.HeaderLength == 0) break;
    std::string raw(h.NameLength, '\0');
    // An entry cut short would be lost by rewriting: the archive is left alone.
    if (oldArchive.Read(raw.data(), h.NameLength) != h.NameLength || h.EntryLength() > size - pos)
      RaiseError(FArchiveFile, "the archive ends inside an entry", FVolumeName, E_HEADER_NOT_FOUND);
    const std::string name = BhPlatformName(raw, TranslateOemChar);
    TCompHeader rec;
    rec.State = ceKeep;
    if (Switch == swDelete && IsEntryInSpec(name, FFileSpec, FExcludeSpec)) {
      rec.State = ceDelete;
      ++FDeleteCount;
    }
    rec.Position = pos;
    rec.EncryptionMethod = h.Encrypted() ? emZIP_v2 : emNone;
    list.Add(rec, name, 0, b.data(), kBhHeadSize);
    FBytesToDo += h.EntryLength();
    pos += h.EntryLength();
  }
}

void TBlakHole::LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) {
  (void)index;
  info = TEntryHeaderInfo{};
  if (block.size() < kBhHeadSize) return;
  FHead = TBhHeader::Parse(block.data());
  info.DosDate = FHead.DosTime;
  info.Size = FHead.UnpackedSize;
  info.PackedSize = FHead.PackedSize;
  info.Attributes = FHead.Attributes;
}

std::int64_t TBlakHole::GetEntryLength(std::size_t index) {
  if (!FWorkList || index >= FWorkList->Count()) return 0;
  const TByteBlock& block = FWorkList->Block(index);
  if (block.size() < kBhHeadSize) return 0;
  return TBhHeader::Parse(block.data()).EntryLength();
}

void TBlakHole::CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                                 std::size_t index) {
  TBhHeadBytes b{};
  if (oldArchive.Read(b.data(), kBhHeadSize) != static_cast<std::int64_t>(kBhHeadSize))
    RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_WRITE_FILE);
  TBhHeader h = TBhHeader::Parse(b.data());
  const std::string name = list.Name(index);
  if (name.empty() || name.size() > kMaxName - h.ExtraLength)
    RaiseError(FArchiveFile, name, FVolumeName, E_INVALID_NAME);
  oldArchive.Seek(h.NameLength, soFromCurrent);
  h.NameLength = static_cast<std::uint16_t>(name.size());
  h.HeaderLength = static_cast<std::uint16_t>(kBhHeadSize + h.NameLength + h.ExtraLength);
  h.Put(b.data());
  newArchive.Seek(0, soFromEnd);
  FFileName = name;
  WriteAll(newArchive, b.data(), kBhHeadSize);
  WriteAll(newArchive, name.data(), static_cast<std::int64_t>(name.size()));
  // The extra bytes and the data as they are.
  const std::int64_t rest = static_cast<std::int64_t>(h.ExtraLength) + h.PackedSize;
  if (rest > 0 && newArchive.CopyFrom(oldArchive, rest) != rest && !GetCancel())
    RaiseError(FArchiveFile, name, FVolumeName, E_WRITE_FILE);
  list.SetBlock(index, b.data(), kBhHeadSize);
  list.SetName(index, BhPlatformName(name, TranslateOemChar));
}

// ---------------------------------------------------------------- listings

void TBlakHole::FillListed(const TBhHeader& h, const std::string& name, std::int64_t position) {
  FListed = TBhListedEntry{};
  FListed.FileName = name;
  FListed.Version = h.Version;
  FListed.Version2 = h.Version2;
  FListed.Encrypted = h.Encrypted();
  FListed.PackedSize = h.PackedSize;
  if (FListed.Encrypted && h.PackedSize > kZipEncryptionHeaderSize - 1)
    FListed.PackedSize -= static_cast<std::int64_t>(kZipEncryptionHeaderSize);
  FListed.UnpackedSize = h.UnpackedSize;
  FListed.Crc = h.Crc32;
  FListed.Method = h.Method;
  FListed.MethodName = MethodName(h.Method, h.Flags, (h.Attributes & kDirectoryAttr) != 0);
  FListed.Attributes = h.Attributes;
  FListed.Ratio = Ratio(FListed.UnpackedSize, FListed.PackedSize);
  FListed.DosDate = h.DosTime;
  FListed.Position = position;
}

bool TBlakHole::FirstListedEntry(std::string& name, TStream32& archive, TWorkList& list) {
  FDataStart = DataStartOf(archive);
  return TCompBase::FirstListedEntry(name, archive, list);
}

bool TBlakHole::ReadEntryHeader(TStream32& archive, std::size_t index, bool first) {
  (void)index;
  const std::int64_t pos = first ? std::max<std::int64_t>(FDataStart, 0) : FNextHeader;
  TBhHeadBytes b{};
  archive.Seek(pos, soFromBeginning);
  if (archive.Read(b.data(), kBhHeadSize) != static_cast<std::int64_t>(kBhHeadSize)) return false;
  const TBhHeader h = TBhHeader::Parse(b.data());
  if (h.Signature != kBhSignature || h.HeaderLength == 0) return false;
  std::string raw(h.NameLength, '\0');
  if (archive.Read(raw.data(), h.NameLength) != h.NameLength) return false;
  FNextHeader = pos + h.EntryLength();
  FListName = BhPlatformName(raw, TranslateOemChar);
  FillListed(h, FListName, pos);
  return true;
}

void TBlakHole::AfterUpdate(TWorkList& list) {
  if (GetCancel()) return;
  bool allDeleted = true;
  for (std::size_t i = 0; i < list.Count() && allDeleted; ++i)
    allDeleted = list.Get(i).State == ceDelete;
  if (allDeleted) return;
  FTotalUnpacked = FTotalPacked = 0;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    if (list.Get(i).State == ceDelete || list.Block(i).size() < kBhHeadSize) continue;
    const TBhHeader h = TBhHeader::Parse(list.Block(i).data());
    FTotalUnpacked += h.UnpackedSize;
    FTotalPacked += h.PackedSize;
  }
  if (Switch == swDelete || !OnRead) return;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    if (list.Get(i).State != ceCompress || list.Block(i).size() < kBhHeadSize) continue;
    FillListed(TBhHeader::Parse(list.Block(i).data()), SlashToDelim(list.Name(i)),
               list.Get(i).Position);
    OnRead(*this, static_cast<int>(list.Get(i).Position), static_cast<int>(i));
  }
}

}  // namespace qmx
