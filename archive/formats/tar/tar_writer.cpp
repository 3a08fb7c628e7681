#include "archive/formats/tar/tar_writer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "archive/base/names.h"
#include "archive/codec/codec_streams.h"
#include "archive/formats/gzip/gzip_writer.h"
#include "archive/formats/tar/tar_walk.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"

namespace qmx {

namespace {

constexpr std::size_t kModeAt = 100, kUidAt = 108, kGidAt = 116, kSizeAt = 124, kTimeAt = 136,
                      kSumAt = 148, kTypeAt = 156, kMagicAt = 257, kUNameAt = 265, kGNameAt = 297,
                      kPrefixAt = 345;
constexpr std::size_t kUserField = 32;
constexpr char kGnuMagic[8] = {'u', 's', 't', 'a', 'r', ' ', ' ', '\0'};
constexpr const char* kLongLinkName = "././@LongLink";

std::int64_t PadTo(std::int64_t n, std::int64_t unit) {
  return (unit - n % unit) % unit;
}

void PutText(std::uint8_t* field, std::size_t width, const std::string& s) {
  std::memcpy(field, s.data(), std::min(width, s.size()));
}

// A long name needs a zero byte after it; a name of exactly 100 bytes fills
// the field, which every reader accepts.
bool NeedsLongName(const std::string& name) {
  return name.size() > kTarNameField;
}

// Old archives from Windows writers carry OEM names; ours are UTF-8 already.
std::string TarPlatformName(const std::string& raw, bool translate) {
  if (!translate || !HasNonAscii(raw) || LooksLikeUtf8Name(raw)) return SlashToDelim(raw);
  return NameToWindows(raw, translate);
}

}  // namespace

// ---------------------------------------------------------------- fields

std::string TarEntryName(const std::string& storedName, bool isDir, bool translate) {
  std::string name = DelimToSlash(storedName);
  // Names in a tar are relative: a reader would otherwise write outside its
  // target.
  const std::size_t first = name.find_first_not_of('/');
  name.erase(0, first == std::string::npos ? name.size() : first);
  // Tar names are the system's bytes (UTF-8 here); OEM bytes would reach
  // every Unix reader as another name.
  if (translate && !SystemIsUtf8()) name = AnsiToOem(name, translate);
  if (isDir && !name.empty() && name.back() != '/') name += '/';
  return name;
}

// ---------------------------------------------------------------- component

TTar::TTar() {
  SetWriterDefaults(".TAR", {cmTarred, cmTarGzip}, cmTarred);
  FArcType = atTar;
}

TTar::~TTar() = default;

void TTar::SetArcType(TArcType) {
  FArcType = atTar;
}

void TTar::FillHeader(TTarHeader& h, const std::string& name, bool isDir, std::int64_t size,
                      std::time_t mtime) const {
  h.fill(0);
  PutText(&h[0], kTarNameField, name);
  PutText(&h[kModeAt], 8, isDir ? "0040555" : "0100444");
  PutTarNumber(&h[kUidAt], 8, UnixUID);
  PutTarNumber(&h[kGidAt], 8, UnixGID);
  PutTarNumber(&h[kSizeAt], 12, static_cast<std::uint64_t>(std::max<std::int64_t>(size, 0)));
  PutTarNumber(&h[kTimeAt], 12, static_cast<std::uint64_t>(std::max<std::time_t>(mtime, 0)));
  h[kTypeAt] = isDir ? '5' : '0';
  std::memcpy(&h[kMagicAt], kGnuMagic, sizeof kGnuMagic);
  PutText(&h[kUNameAt], kUserField, UnixUName.substr(0, kUserField));
  PutText(&h[kGNameAt], kUserField, UnixGName.substr(0, kUserField));
  char sum[9];
  std::snprintf(sum, sizeof sum, "%07o", TarChecksum(h.data()) & 07777777u);
  std::memcpy(&h[kSumAt], sum, 8);
}

void TTar::InitLocalHeader(TByteBlock& header, const TSearchRec& info) {
  const bool isDir = (info.Attr & faDirectory) != 0;
  TTarHeader h{};
  FillHeader(h, {}, isDir, isDir ? 0 : info.Size, info.MTime);
  header.assign(h.begin(), h.end());
}

void TTar::MakeCentralHeader(std::size_t index, std::uint32_t attributes, TWorkList& list) {
  (void)attributes;
  list.SetBlock(index, FHeader.data(), kTarBlock);
  TCompHeader& rec = list.Get(index);
  rec.Position = FEntryHeadPos;
  rec.WriterData = static_cast<std::uint32_t>(FEntryDataPos - FEntryHeadPos - kTarBlock);
  rec.UnpackedSizeHi = SizeBits32To47(static_cast<std::uint64_t>(FEntryFileSize));
}

void TTar::WriteZeros(TStream32& out, std::int64_t count) {
  static const std::uint8_t kZeros[1024] = {};
  while (count > 0) {
    const std::int64_t n = std::min<std::int64_t>(count, sizeof kZeros);
    if (out.Write(kZeros, n) != n) RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
    count -= n;
  }
}

void TTar::WriteHeaderWithName(TStream32& out, TTarHeader& h, const std::string& name) {
  if (NeedsLongName(name)) {
    // GNU long name: an entry of type "L" whose data is the name and a zero.
    TTarHeader l{};
    FillHeader(l, kLongLinkName, false, static_cast<std::int64_t>(name.size()) + 1, 0);
    l[kTypeAt] = 'L';
    PutText(&l[kModeAt], 8, "0000644");
    char sum[9];
    std::snprintf(sum, sizeof sum, "%07o", TarChecksum(l.data()) & 07777777u);
    std::memcpy(&l[kSumAt], sum, 8);
    if (out.Write(l.data(), kTarBlock) != static_cast<std::int64_t>(kTarBlock) ||
        out.Write(name.data(), static_cast<std::int64_t>(name.size())) !=
            static_cast<std::int64_t>(name.size()))
      RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
    WriteZeros(out, 1 + PadTo(static_cast<std::int64_t>(name.size()) + 1, kTarBlock));
  }
  if (out.Write(h.data(), kTarBlock) != static_cast<std::int64_t>(kTarBlock))
    RaiseError(FArchiveFile, FFileName, FVolumeName, E_WRITE_FILE);
}

bool TTar::WriteEntry(TStream32& out, std::size_t index, TWorkList& list) {
  FEntryChecksum = 0;
  const std::string path = list.Name(index);
  FEntryIsDir = !path.empty() && path.back() == kPathDelim;
  // Names go in as the system's bytes, as every Unix tar writes them.
  const std::string name = TarEntryName(FFileName, FEntryIsDir, false);
  if (name.empty()) {
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

  // The listed date of a directory, the file's own time (to the second) for a
  // file; a fixed date choice goes through ResolveFileDate.
  const TByteBlock& block = list.Block(index);
  std::time_t mtime = 0;
  if (block.size() >= kTarBlock)
    mtime = static_cast<std::time_t>(TarNumber(&block[kTimeAt], 12));
  if (!FEntryIsDir) {
    const std::time_t own = FileGetMTime(path);
    if (own >= 0) mtime = own;
  }
  if (DateAttribute != daFileDate) {
    if (DateAttribute == daMaxFileDate && FNewestDate != 0) FMaxFileDate = FNewestDate;
    const std::time_t t = DosDateTimeToUnix(ResolveFileDate(UnixToDosDateTime(mtime)));
    if (t >= 0) mtime = t;
  }
  FEntryFileSize = source ? source->Size() : 0;
  FillHeader(FHeader, name, FEntryIsDir, FEntryFileSize, mtime);
  FEntryChecksum = TarChecksum(FHeader.data());

  out.Seek(0, soFromEnd);
  FEntryHeadPos = out.Position();
  WriteHeaderWithName(out, FHeader, name);
  FEntryDataPos = out.Position();

  if (source) {
    const TStreamProgress progress = EntryProgress(FEntryFileSize);
    TCodecParams params = EntryCodecParams();
    const bool ok = StoreFile(progress, *source, params, 32, out);
    if (!ok || GetCancel()) return false;
    out.Seek(0, soFromEnd);
    // The file may have changed size while it was read: the header must
    // state what is there.
    if (out.Position() - FEntryDataPos != FEntryFileSize) {
      ReportError(path, "", "0", E_READ_FILE);
      return false;
    }
    WriteZeros(out, PadTo(out.Position() - FDataStart, kTarBlock));
  }
  MakeCentralHeader(index, FEntryIsDir ? faDirectory : faArchive, list);
  return true;
}

void TTar::AfterEntry(std::size_t index, bool success, TWorkList& list) {
  (void)index;
  (void)success;
  (void)list;
  if (OnEnd) OnEnd(*this, FFileName, FEntryChecksum > 0 && !GetCancel());
}

bool TTar::WriteCentralDirectory(TStream32& newArchive, TWorkList& list) {
  (void)list;
  if (FCancel) return false;
  newArchive.Seek(0, soFromEnd);
  // Two zero blocks end a tar; without them 7-Zip calls an archive that
  // fills its last record exactly damaged, and GNU tar warns of a lone
  // zero block when only one fits. Then whole records.
  const std::int64_t end = newArchive.Position() + 2 * static_cast<std::int64_t>(kTarBlock);
  WriteZeros(newArchive, end - newArchive.Position() + PadTo(end, kTarRecord));
  return true;
}

// ---------------------------------------------------------------- existing archive

void TTar::ReadDirectory(TStream32& oldArchive, TWorkList& list) {
  std::int64_t pos = std::max<std::int64_t>(FDataStart, 0);
  TTarEntryHead e;
  std::string why;
  while (!GetCancel()) {
    const TTarStep step = ReadTarEntry(oldArchive, pos, e, why);
    // Rewriting would drop every entry after the damage: the archive is
    // left as it is.
    if (step == tsDamaged) RaiseError(FArchiveFile, why, FVolumeName, E_HEADER_NOT_FOUND);
    if (step != tsEntry) break;
    pos = e.Next;
    const std::string name = TarPlatformName(e.Name, false);
    TCompHeader rec;
    rec.State = ceKeep;
    if (Switch == swDelete && IsEntryInSpec(name, FFileSpec, FExcludeSpec)) rec.State = ceDelete;
    rec.Position = e.Start;
    rec.WriterData = static_cast<std::uint32_t>(e.HeaderAt - e.Start);
    rec.UnpackedSizeHi = SizeBits32To47(static_cast<std::uint64_t>(e.Size));
    list.Add(rec, name, 0, e.Header.data(), kTarBlock);
    FBytesToDo += e.Next - e.Start;
  }
}

bool TTar::ReadEntryHeader(TStream32& archive, std::size_t index, bool first) {
  (void)index;
  const std::int64_t pos = first ? std::max<std::int64_t>(FDataStart, 0) : FNextHeader;
  TTarEntryHead e;
  std::string why;
  if (ReadTarEntry(archive, pos, e, why) != tsEntry) return false;
  FNextHeader = e.Next;
  FListName = TarPlatformName(e.Name, false);
  FillListed(e.Header, FListName, e.Start);
  return true;
}

void TTar::LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) {
  (void)index;
  info = TEntryHeaderInfo{};
  if (block.size() < kTarBlock) return;
  std::copy_n(block.begin(), kTarBlock, FHeader.begin());
  const std::int64_t t = TarNumber(&FHeader[kTimeAt], 12);
  info.DosDate = UnixToDosDateTime(static_cast<std::time_t>(std::max<std::int64_t>(t, 0)));
  info.Attributes = FHeader[kTypeAt] == '5' ? faDirectory : faArchive;
  info.Size = info.PackedSize = std::max<std::int64_t>(TarNumber(&FHeader[kSizeAt], 12), 0);
}

void TTar::CopyEntry(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                     std::size_t index) {
  // The whole entry as it stands: extended records, header, sparse maps
  // and data.
  TTarEntryHead e;
  std::string why;
  if (ReadTarEntry(oldArchive, oldArchive.Position(), e, why) != tsEntry)
    RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_READ_FILE);
  const std::int64_t length = std::min(e.Next, oldArchive.Size()) - e.Start;
  oldArchive.Seek(e.Start, soFromBeginning);
  if (newArchive.CopyFrom(oldArchive, length) != length && !GetCancel())
    RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_READ_FILE);
}

void TTar::CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                            std::size_t index) {
  const TCompHeader rec = list.Get(index);
  TTarEntryHead e;
  std::string why;
  if (ReadTarEntry(oldArchive, rec.Position, e, why) != tsEntry)
    RaiseError(FArchiveFile, list.Name(index), FVolumeName, E_READ_FILE);
  TTarHeader h = e.Header;

  std::string name = list.Name(index);
  std::replace(name.begin(), name.end(), '\\', '/');
  FFileName = name;
  std::memset(h.data(), 0, kTarNameField);
  PutText(&h[0], kTarNameField, name);
  // The new name is all of it: no old directories from the ustar prefix.
  // The old pax records are not carried over, so what they said goes into
  // the header itself.
  if (e.UstarMagic) std::memset(&h[kPrefixAt], 0, 155);
  PutTarNumber(&h[kSizeAt], 12, static_cast<std::uint64_t>(e.Size));
  if (e.MTime >= 0) PutTarNumber(&h[kTimeAt], 12, static_cast<std::uint64_t>(e.MTime));
  char sum[9];
  std::snprintf(sum, sizeof sum, "%06o", TarChecksum(h.data()) & 0777777u);
  std::memcpy(&h[kSumAt], sum, 7);
  h[kSumAt + 7] = ' ';

  newArchive.Seek(0, soFromEnd);
  const std::int64_t at = newArchive.Position();
  WriteHeaderWithName(newArchive, h, name);
  const std::int64_t prefix = newArchive.Position() - at - static_cast<std::int64_t>(kTarBlock);
  // Sparse extension blocks, data and padding as they are.
  const std::int64_t from = e.HeaderAt + static_cast<std::int64_t>(kTarBlock);
  const std::int64_t length = std::min(e.Next, oldArchive.Size()) - from;
  oldArchive.Seek(from, soFromBeginning);
  if (length > 0 && newArchive.CopyFrom(oldArchive, length) != length && !GetCancel())
    RaiseError(FArchiveFile, name, FVolumeName, E_READ_FILE);
  list.SetBlock(index, h.data(), kTarBlock);
  list.Get(index).WriterData = static_cast<std::uint32_t>(prefix);
}

// ---------------------------------------------------------------- after the run

void TTar::FillListed(const TTarHeader& h, const std::string& name, std::int64_t position) {
  FListed = TTarListedEntry{};
  FListed.FileName = name;
  const std::int64_t t = TarNumber(&h[kTimeAt], 12);
  FListed.DosDate = UnixToDosDateTime(static_cast<std::time_t>(std::max<std::int64_t>(t, 0)));
  FListed.UnpackedSize = FListed.PackedSize =
      std::max<std::int64_t>(TarNumber(&h[kSizeAt], 12), 0);
  FListed.Crc = TarChecksum(h.data());
  FListed.MethodName = "Tarred";
  FListed.Position = position;
}

void TTar::AfterUpdate(TWorkList& list) {
  if (FCancel) return;
  FTotalUnpacked = FTotalPacked = 0;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    if (list.Get(i).State == ceDelete || list.Block(i).size() < kTarBlock) continue;
    const std::int64_t size = std::max<std::int64_t>(TarNumber(&list.Block(i)[kSizeAt], 12), 0);
    FTotalUnpacked += size;
    FTotalPacked += size;
  }
  if (!OnRead || Switch == swDelete) return;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    if (list.Get(i).State != ceCompress || list.Block(i).size() < kTarBlock) continue;
    TTarHeader h{};
    std::copy_n(list.Block(i).begin(), kTarBlock, h.begin());
    FillListed(h, SlashToDelim(list.Name(i)), list.Get(i).Position);
    OnRead(*this, static_cast<int>(list.Get(i).Position), static_cast<int>(i));
  }
}

void TTar::PostProcess(const std::string& name) {
  if (CompressMethod() != cmTarGzip) return;
  try {
    TGZip gz;
    gz.ShareCancel(FCancelRef);
    gz.SetArchiveFile(name);
    gz.SetNameAfterArchive(true);
    gz.SetFileSpec({FArchiveFile});
    gz.Switch = swAdd;
    gz.Extension = exNone;
    gz.RecurseDirs = false;
    gz.StoredDirNames = sdNone;
    gz.OnBegin = OnBegin;
    gz.OnEnd = OnEnd;
    gz.OnRead = OnRead;
    gz.OnProgress = OnProgress;
    gz.OnError = OnError;
    gz.OnActivate = OnActivate;
    gz.OnDeactivate = OnDeactivate;
    gz.OnFileExists = OnFileExists;
    gz.TranslateOemChar = TranslateOemChar;
    gz.DateAttribute = DateAttribute;
    gz.DeflateType = DeflateType;
    gz.SetDefaultDir("");
    gz.Compress();
  } catch (...) {
  }
}

}  // namespace qmx
