#include "archive/formats/lha/lha_writer.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "archive/base/names.h"
#include "archive/codec/byte_order.h"
#include "archive/codec/codec_streams.h"
#include "archive/codec/crc.h"
#include "archive/codec/lha_coder.h"
#include "archive/platform/files.h"

namespace qmx {

namespace {

constexpr std::uint8_t kDirAttr = 0x10;
constexpr std::int64_t kMaxLhaSize = 0xFFFFFFFFLL;

// A block of the work list: a whole header (new entries once written, old
// ones as read) or the fixed fields InitLocalHeader put down.
bool ParseBlock(const TByteBlock& block, TLhaHeader& h) {
  if (block.size() < 22 || (block[0] == 0 && block[20] < 2)) return false;
  std::string why;
  h.HeaderAt = 0;
  return ParseLhaHeader(block, h, why);
}

}  // namespace

TLha::TLha() {
  SetWriterDefaults(".LHA", {cmStore, cmFrozen5, cmFrozen6}, cmFrozen6);
  FArcType = atLha;
}

TLha::~TLha() = default;

void TLha::SetArcType(TArcType) {
  FArcType = atLha;
}

// ---------------------------------------------------------------- records

void TLha::InitLocalHeader(TByteBlock& header, const TSearchRec& info) {
  const bool isDir = (info.Attr & faDirectory) != 0;
  header.assign(kHeadSize, 0);
  std::memcpy(&header[2], isDir ? "-lhd-" : "-lh0-", 5);
  PutLE32(&header[11], isDir ? 0 : static_cast<std::uint32_t>(std::min(info.Size, kMaxLhaSize)));
  PutLE32(&header[15], info.DosTime);
  header[19] = isDir ? kDirAttr : static_cast<std::uint8_t>(info.Attr);
}

void TLha::LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) {
  (void)index;
  info = TEntryHeaderInfo{};
  TLhaHeader h;
  if (ParseBlock(block, h)) {
    info.DosDate = h.DosDate;
    info.Size = h.IsDirectory() ? 0 : h.OriginalSize;
    info.PackedSize = h.IsDirectory() ? 0 : h.PackedSize;
    info.Attributes = h.IsDirectory() ? faDirectory : h.Attr;
  } else if (block.size() >= 22) {
    info.DosDate = GetLE32(&block[15]);
    info.Size = GetLE32(&block[11]);
    info.PackedSize = GetLE32(&block[7]);
    info.Attributes = block[19];
  }
  std::copy_n(block.begin(), std::min<std::size_t>(block.size(), kHeadSize), FHead.begin());
}

std::int64_t TLha::GetEntryLength(std::size_t index) {
  if (!FWorkList) return 0;
  TLhaHeader h;
  return ParseBlock(FWorkList->Block(index), h) ? h.EntryLength() : 0;
}

void TLha::MakeCentralHeader(std::size_t index, std::uint32_t attributes, TWorkList& list) {
  (void)attributes;
  list.SetBlock(index, FHeader.data(), FHeader.size());
  list.Get(index).Position = FEntryHeadPos;
}

void TLha::PutHeader(TStream32& out, std::int64_t pos, const std::vector<std::uint8_t>& header) {
  out.Seek(pos, soFromBeginning);
  const auto n = static_cast<std::int64_t>(header.size());
  if (out.Write(header.data(), n) != n)
    RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
}

// ---------------------------------------------------------------- new entries

int TLha::CodeEntry(TStream32& source, TStream32& out, const char* method) {
  const TLhaCoderParams& params = method[3] == '5' ? kLh5Params : kLh6Params;
  const std::int64_t size = FEntryFileSize;
  std::uint16_t crc = 0;
  std::int64_t done = 0;
  auto read = [&](void* buf, std::int64_t count) -> std::int64_t {
    const std::int64_t got = source.Read(buf, count);
    if (got <= 0) return 0;
    UpdateCrc16(buf, got, crc);
    done += got;
    FBytesToDo -= got;
    UpdateProgress(FScanTotal, size, done);
    return got;
  };
  auto write = [&out](const void* buf, std::int64_t count) -> std::int64_t {
    return out.Write(buf, count);
  };
  TLhaCoderResult r = lcCanceled;
  try {
    r = LhaCompress(read, write, size, params, FCancelRef);
  } catch (const std::exception&) {
    // The coder failed: the file is stored instead.
    r = lcStoreForced;
  }
  FEntryCrc.Crc16 = crc;
  // A second pass stores the file: its bytes count again.
  if (r == lcStoreForced) FBytesToDo += done;
  return r;
}

bool TLha::WriteEntry(TStream32& out, std::size_t index, TWorkList& list) {
  FWrittenCrc = 0;
  FEntryCrc = TEntryCrc{};
  const std::string path = list.Name(index);
  FEntryIsDir = !path.empty() && path.back() == kPathDelim;
  std::string name = NameToArchive(FFileName, TranslateOemChar);
  // Names are relative: a reader would otherwise write outside its target.
  name.erase(0, std::min(name.find_first_not_of('/'), name.size()));
  if (FEntryIsDir && !name.empty() && name.back() != '/') name += '/';
  if (name.empty() || name == "/") {
    ReportError(path, "", "0", E_INVALID_NAME);
    return false;
  }
  FEntryStoredName = name;

  std::unique_ptr<TFileStream32> source;
  if (!FEntryIsDir) {
    source = std::make_unique<TFileStream32>(path, fmOpenRead);
    if (source->Handle() < 0) {
      ReportError(path, "", "0", E_OPEN_FILE);
      return false;
    }
  }
  FEntryFileSize = source ? source->Size() : 0;
  if (FEntryFileSize > kMaxLhaSize) {
    ReportError(path, "a file of 4 GiB or more does not fit an LHA header", "0",
                E_UNSUPPORTED_METHOD);
    return false;
  }

  const TByteBlock& block = list.Block(index);
  std::uint32_t dosDate = block.size() >= 22 ? GetLE32(&block[15]) : 0;
  if (dosDate == 0 && !FEntryIsDir) dosDate = FileGetDate(path);
  if (DateAttribute == daMaxFileDate && FNewestDate != 0) FMaxFileDate = FNewestDate;
  dosDate = ResolveFileDate(dosDate);
  FEntryDosDate = dosDate;

  FNew = TLhaNewHeader{};
  FNew.Name = name;
  FNew.OriginalSize = static_cast<std::uint32_t>(FEntryFileSize);
  FNew.DosDate = dosDate;
  FNew.Attr = FEntryIsDir ? kDirAttr : (block.size() >= 22 ? block[19] : 0x20);
  if (!FEntryIsDir) FNew.Attr &= static_cast<std::uint8_t>(~kDirAttr);
  const char* method = "-lh0-";
  if (FEntryIsDir) {
    method = "-lhd-";
  } else if (FEntryFileSize > 0 && !IsStoredType(FFileName)) {
    if (CompressMethod() == cmFrozen5) method = "-lh5-";
    if (CompressMethod() == cmFrozen6) method = "-lh6-";
  }
  std::memcpy(FNew.Method, method, 5);
  std::vector<std::uint8_t> header = BuildLhaHeader(FNew);
  if (header.empty()) {
    ReportError(path, "a name of " + std::to_string(name.size()) + " bytes is too long", "0",
                E_INVALID_NAME);
    return false;
  }

  out.Seek(0, soFromEnd);
  FEntryHeadPos = out.Position();
  PutHeader(out, FEntryHeadPos, header);
  FEntryDataPos = out.Position();

  if (source && FEntryFileSize > 0) {
    bool store = std::memcmp(method, "-lh0-", 5) == 0;
    if (!store) {
      switch (CodeEntry(*source, out, method)) {
        case lcOk:
          out.Seek(0, soFromEnd);
          // Kept only when it saved something.
          store = out.Position() - FEntryDataPos >= FEntryFileSize;
          break;
        case lcStoreForced:
          store = true;
          break;
        case lcWriteError:
          RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
          return false;
        case lcReadError:
          ReportError(path, "", "0", E_READ_FILE);
          return false;
        default:
          return false;
      }
    }
    if (store) {
      std::memcpy(FNew.Method, "-lh0-", 5);
      out.SetSize(FEntryDataPos);
      out.Seek(0, soFromEnd);
      source->Seek(0, soFromBeginning);
      FEntryCrc = TEntryCrc{};
      TCodecParams params = EntryCodecParams();
      if (!StoreFile(EntryProgress(FEntryFileSize), *source, params, 16, out) || GetCancel())
        return false;
      out.Seek(0, soFromEnd);
      // The file may have changed size while it was read: the header must
      // state what is there.
      if (out.Position() - FEntryDataPos != FEntryFileSize) {
        ReportError(path, "", "0", E_READ_FILE);
        return false;
      }
    }
    out.Seek(0, soFromEnd);
    FNew.PackedSize = static_cast<std::uint32_t>(out.Position() - FEntryDataPos);
    FNew.Crc = FEntryCrc.Crc16;
    header = BuildLhaHeader(FNew);
    PutHeader(out, FEntryHeadPos, header);
    out.Seek(0, soFromEnd);
  }
  FEntryStored = std::memcmp(FNew.Method, "-lh0-", 5) == 0;
  FWrittenCrc = FNew.Crc;
  FHeader = header;
  MakeCentralHeader(index, FEntryIsDir ? faDirectory : faArchive, list);
  return true;
}

void TLha::AfterEntry(std::size_t index, bool success, TWorkList& list) {
  (void)index;
  (void)list;
  if (!OnEnd) return;
  // The header must carry the CRC the data was written with.
  bool pass = success && !GetCancel();
  if (pass && !FEntryIsDir && FEntryFileSize > 0) pass = FWrittenCrc == FEntryCrc.Crc16;
  OnEnd(*this, FFileName, pass);
}

bool TLha::WriteCentralDirectory(TStream32& newArchive, TWorkList& list) {
  (void)list;
  if (GetCancel()) return false;
  // A zero byte ends the archive; readers stop there and ignore what
  // follows.
  newArchive.Seek(0, soFromEnd);
  const std::uint8_t end = 0;
  if (newArchive.Write(&end, 1) != 1) RaiseError(FArchiveFile, "", FVolumeName, E_WRITE_FILE);
  return true;
}

// ---------------------------------------------------------------- existing archive

void TLha::ReadDirectory(TStream32& oldArchive, TWorkList& list) {
  const std::int64_t size = oldArchive.Size();
  std::int64_t pos = std::max<std::int64_t>(FDataStart, 0);
  bool any = false;
  while (!GetCancel()) {
    TLhaHeader h;
    std::string why;
    const TLhaStep step = ReadLhaHeader(oldArchive, pos, size, h, why);
    // Rewriting would drop every entry after the damage: the archive is
    // left as it is.
    if (step == lsDamaged) RaiseError(FArchiveFile, why, FVolumeName, E_HEADER_NOT_FOUND);
    if (step != lsEntry) {
      std::uint8_t first = 0;
      // Something that is no LHA archive at all is never replaced by one.
      if (!any && ReadStreamAt(oldArchive, pos, &first, 1) == 1 && first != 0)
        RaiseError(FArchiveFile, "not an LHA archive", FVolumeName, E_HEADER_NOT_FOUND);
      break;
    }
    if (h.Next > size)
      RaiseError(FArchiveFile, "the archive ends inside an entry", FVolumeName, E_READ_FILE);
    any = true;
    const std::string name = SlashToDelim(LhaPlatformName(h, TranslateOemChar));
    TCompHeader rec;
    rec.State = ceKeep;
    if (Switch == swDelete && IsEntryInSpec(name, FFileSpec, FExcludeSpec)) rec.State = ceDelete;
    rec.Position = h.HeaderAt;
    rec.UnpackedSizeHi = SizeBits32To47(static_cast<std::uint64_t>(h.OriginalSize));
    list.Add(rec, name, 0, h.Raw.data(), h.Raw.size());
    FBytesToDo += h.EntryLength();
    pos = h.Next;
  }
}

void TLha::CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                            std::size_t index) {
  TLhaHeader h;
  if (!ParseBlock(list.Block(index), h))
    RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_READ_FILE);
  const std::int64_t dataAt = list.Get(index).Position + (h.DataAt - h.HeaderAt);
  std::string name = list.Name(index);
  std::replace(name.begin(), name.end(), '\\', '/');
  FFileName = name;
  if (h.IsDirectory() && !name.empty() && name.back() != '/') name += '/';
  if (h.PackedSize > kMaxLhaSize || h.OriginalSize > kMaxLhaSize)
    RaiseError(FArchiveFile, name, FVolumeName, E_UNSUPPORTED_METHOD);
  // The header is rebuilt in our form; what the old one said of its
  // system (Unix mode, owner) is not carried over.
  TLhaNewHeader e;
  e.Name = name;
  std::memcpy(e.Method, h.Method, 5);
  e.PackedSize = static_cast<std::uint32_t>(h.PackedSize);
  e.OriginalSize = static_cast<std::uint32_t>(h.OriginalSize);
  e.DosDate = h.DosDate;
  e.Attr = h.IsDirectory() ? kDirAttr : h.Level < 2 ? h.Attr : 0x20;
  e.Crc = h.Crc;
  const std::vector<std::uint8_t> header = BuildLhaHeader(e);
  if (header.empty()) RaiseError(FArchiveFile, name, FVolumeName, E_INVALID_NAME);
  newArchive.Seek(0, soFromEnd);
  PutHeader(newArchive, newArchive.Position(), header);
  oldArchive.Seek(dataAt, soFromBeginning);
  if (h.PackedSize > 0 && newArchive.CopyFrom(oldArchive, h.PackedSize) != h.PackedSize &&
      !GetCancel())
    RaiseError(FArchiveFile, name, FVolumeName, E_READ_FILE);
  list.SetBlock(index, header.data(), header.size());
}

bool TLha::ReadEntryHeader(TStream32& archive, std::size_t index, bool first) {
  (void)index;
  const std::int64_t pos = first ? std::max<std::int64_t>(FDataStart, 0) : FNextHeader;
  TLhaHeader h;
  std::string why;
  if (ReadLhaHeader(archive, pos, archive.Size(), h, why) != lsEntry) return false;
  FNextHeader = h.Next;
  archive.Seek(std::min(h.Next, archive.Size()), soFromBeginning);
  FListName = SlashToDelim(LhaPlatformName(h, TranslateOemChar));
  FillListed(h, FListName);
  FListed.Position = pos;
  return true;
}

// ---------------------------------------------------------------- after the run

void TLha::FillListed(const TLhaHeader& h, const std::string& name) {
  FListed = TLhaListedEntry{};
  FListed.FileName = name;
  FListed.DosDate = h.DosDate;
  FListed.PackedSize = h.IsDirectory() ? 0 : h.PackedSize;
  FListed.UnpackedSize = h.IsDirectory() ? 0 : h.OriginalSize;
  FListed.Crc = h.Crc;
  FListed.Method = static_cast<unsigned char>(h.Method[3]);
  FListed.MethodName = qmx::MethodName(atLha, FListed.Method, 0, h.IsDirectory());
  FListed.Attributes = h.IsDirectory() ? faDirectory : h.Attr;
  FListed.Ratio = Ratio(FListed.UnpackedSize, FListed.PackedSize);
  FListed.Position = h.HeaderAt;
}

void TLha::AfterUpdate(TWorkList& list) {
  if (GetCancel()) return;
  FTotalUnpacked = FTotalPacked = 0;
  bool anyKept = false;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    TLhaHeader h;
    if (list.Get(i).State == ceDelete || !ParseBlock(list.Block(i), h)) continue;
    anyKept = true;
    FTotalUnpacked += h.OriginalSize;
    FTotalPacked += h.PackedSize;
  }
  if (!anyKept || !OnRead || Switch == swDelete) return;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    TLhaHeader h;
    if (list.Get(i).State != ceCompress || !ParseBlock(list.Block(i), h)) continue;
    h.HeaderAt = list.Get(i).Position;
    FillListed(h, SlashToDelim(list.Name(i)));
    OnRead(*this, static_cast<int>(list.Get(i).Position), static_cast<int>(i));
  }
}

}  // namespace qmx
