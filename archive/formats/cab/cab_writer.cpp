#include "archive/formats/cab/cab_writer.h"

#include <libgcab.h>
#include <mspack.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "archive/base/names.h"
#include "archive/formats/cab/cab_library.h"
#include "archive/formats/cab/cab_reader.h"
#include "archive/platform/files.h"

namespace qmx {

namespace {

constexpr int kErrTooLarge = 25299;  // "FileSize not support for this format"
constexpr std::uint32_t kKeptAttributes = GCAB_FILE_ATTRIBUTE_RDONLY | GCAB_FILE_ATTRIBUTE_HIDDEN |
                                          GCAB_FILE_ATTRIBUTE_SYSTEM | GCAB_FILE_ATTRIBUTE_ARCH;

// Owns one GObject reference.
template <typename T>
struct TGRef {
  T* p = nullptr;
  TGRef() = default;
  explicit TGRef(T* v) : p(v) {}
  ~TGRef() {
    if (p) g_object_unref(p);
  }
  TGRef(const TGRef&) = delete;
  TGRef& operator=(const TGRef&) = delete;
};

struct TGError {
  GError* e = nullptr;
  ~TGError() {
    if (e) g_error_free(e);
  }
  std::string Text() const { return e && e->message ? e->message : "cabinet library error"; }
};

bool IsAscii(const std::string& s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

GDateTime* DateTimeOf(std::uint32_t dos) {
  // The cabinet keeps the DOS fields as they are: local time, no zone.
  const int year = static_cast<int>((dos >> 25) & 0x7F) + 1980;
  const int month = std::clamp(static_cast<int>((dos >> 21) & 0x0F), 1, 12);
  const int day = std::clamp(static_cast<int>((dos >> 16) & 0x1F), 1, 31);
  const int hour = std::min(static_cast<int>((dos >> 11) & 0x1F), 23);
  const int minute = std::min(static_cast<int>((dos >> 5) & 0x3F), 59);
  const int second = std::min(static_cast<int>(dos & 0x1F) * 2, 59);
  GDateTime* dt = g_date_time_new_utc(year, month, day, hour, minute, second);
  return dt ? dt : g_date_time_new_utc(1980, 1, 1, 0, 0, 0);
}

// libgcab names each file as it takes it up and reports progress within it.
struct TProgressContext {
  std::function<void()> NextFile;
  std::function<void(goffset, goffset)> Report;
};

gboolean OnWriteFile(GCabFile*, gpointer user) {
  static_cast<TProgressContext*>(user)->NextFile();
  return TRUE;
}

void OnWriteProgress(goffset current, goffset total, gpointer user) {
  static_cast<TProgressContext*>(user)->Report(current, total);
}

}  // namespace

std::string CabStoredName(const std::string& platformName) {
  std::string name = platformName;
  std::replace(name.begin(), name.end(), '/', '\\');
  const std::size_t first = name.find_first_not_of('\\');
  return first == std::string::npos ? std::string() : name.substr(first);
}

TMakeCab::TMakeCab() {
  SetWriterDefaults(".CAB", {cmStore, cmMsZip}, cmMsZip);
  FArcType = atCab;
}

TMakeCab::~TMakeCab() {
  RemoveTemporaries();
}

void TMakeCab::SetArcType(TArcType) {
  FArcType = atCab;
}

int TMakeCab::Compress() {
  // Nothing of a run that ended by an error may leak into this one.
  Reset();
  return TCompBase::Compress();
}

int TMakeCab::GetHeadSize() {
  return static_cast<int>(sizeof(TCabRecord));
}

std::uint8_t* TMakeCab::GetHeadPtr() {
  return reinterpret_cast<std::uint8_t*>(&FHead);
}

void TMakeCab::InitLocalHeader(TByteBlock& header, const TSearchRec& info) {
  TCabRecord r;
  r.DosDate = info.DosTime;
  r.Attributes = info.Attr & kKeptAttributes;
  if ((info.Mode & 0170000) == 0100000 && (info.Mode & 0100))
    r.Attributes |= GCAB_FILE_ATTRIBUTE_EXEC;
  r.Size = info.Size;
  header.resize(sizeof r);
  std::memcpy(header.data(), &r, sizeof r);
}

// ---------------------------------------------------------------- old cabinet

void TMakeCab::ReadDirectory(TStream32& oldArchive, TWorkList& list) {
  (void)oldArchive;  // the library reads the cabinet by its name
  FOld = std::make_unique<TCabLibrary>();
  FOldFiles.clear();
  FOld->Canceled = [this] { return GetCancel(); };
  int error = 0;
  mscabd_cabinet* cab = FOld->Open(FArchiveFile, std::max<std::int64_t>(FDataStart, 0), error);
  if (!cab) {
    // Rewriting would lose whatever the damaged cabinet still holds.
    RaiseError(FArchiveFile, TCabLibrary::ErrorText(error), FVolumeName, E_HEADER_NOT_FOUND);
    return;
  }
  if (cab->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB))
    RaiseError(FArchiveFile, "a cabinet of a set cannot be updated", FVolumeName,
               E_UNSUPPORTED_TYPE);
  for (mscabd_file* f = cab->files; f && !GetCancel(); f = f->next) {
    const std::string name = CabPlatformName(*f, TranslateOemChar);
    TCompHeader rec;
    rec.State = ceKeep;
    if (Switch == swDelete && IsEntryInSpec(name, FFileSpec, FExcludeSpec)) rec.State = ceDelete;
    TCabRecord r;
    r.DosDate = CabEntryDosDate(*f);
    r.Attributes =
        static_cast<std::uint32_t>(f->attribs) & (kKeptAttributes | GCAB_FILE_ATTRIBUTE_EXEC);
    r.Size = f->length;
    r.OldIndex = static_cast<std::int64_t>(FOldFiles.size());
    FOldFiles.push_back(f);
    list.Add(rec, name, 0, &r, sizeof r);
  }
}

void TMakeCab::LoadEntryHeader(TByteBlock& block, std::size_t index, TEntryHeaderInfo& info) {
  (void)index;
  info = TEntryHeaderInfo{};
  if (block.size() < sizeof(TCabRecord)) return;
  std::memcpy(&FHead, block.data(), sizeof FHead);
  info.DosDate = FHead.DosDate;
  info.Size = info.PackedSize = FHead.Size;
  info.Attributes = FHead.Attributes & kKeptAttributes;
}

std::int64_t TMakeCab::GetEntryLength(std::size_t index) {
  if (!FWorkList || index >= FWorkList->Count()) return 0;
  const TByteBlock& block = FWorkList->Block(index);
  if (block.size() < sizeof(TCabRecord)) return 0;
  TCabRecord r;
  std::memcpy(&r, block.data(), sizeof r);
  return r.Size;
}

void TMakeCab::KeepOldEntry(TWorkList& list, std::size_t index, const std::string& name) {
  TCabRecord r;
  const TByteBlock& block = list.Block(index);
  if (block.size() >= sizeof r) std::memcpy(&r, block.data(), sizeof r);
  if (!FOld || r.OldIndex < 0 || r.OldIndex >= static_cast<std::int64_t>(FOldFiles.size()))
    RaiseError(FArchiveFile, name, FVolumeName, E_READ_FILE);
  const std::string temp = CreateUniqueTempFile(TempDir());
  if (temp.empty()) RaiseError(TempDir(), name, FVolumeName, E_OPEN_FILE);
  FTemporaries.push_back(temp);
  auto out = std::make_unique<TFileStream32>(temp, TFileStream32::kCreateMode);
  bool writeFailed = out->Handle() < 0;
  std::int64_t done = 0;
  const TCabSink sink = [&](const void* data, std::int64_t n) {
    if (writeFailed || out->Write(data, n) != n) {
      writeFailed = true;
      return false;
    }
    done += n;
    return !GetCancel();
  };
  const int result = writeFailed ? MSPACK_ERR_OPEN : FOld->Extract(FOldFiles[r.OldIndex], sink);
  out.reset();
  if (GetCancel()) RaiseError(FArchiveFile, name, FVolumeName, E_USER_CANCELED);
  if (writeFailed) RaiseError(temp, name, FVolumeName, E_WRITE_FILE);
  // An entry that no longer decodes would be lost: the old cabinet stays.
  if (result != MSPACK_ERR_OK || done != r.Size)
    RaiseError(FArchiveFile, name + ": " + TCabLibrary::ErrorText(result), FVolumeName,
               E_CORRUPT_INPUT);
  FPending.push_back({temp, CabStoredName(name), r.DosDate, r.Attributes, r.Size});
  FPendingSize += r.Size;
}

void TMakeCab::CopyEntry(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                         std::size_t index) {
  (void)oldArchive;
  (void)newArchive;
  KeepOldEntry(list, index, list.Name(index));
}

void TMakeCab::CopyEntryNewName(TStream32& oldArchive, TStream32& newArchive, TWorkList& list,
                                std::size_t index) {
  (void)oldArchive;
  (void)newArchive;
  // The framework gives the new name in archive form.
  const std::string name = NameToWindows(list.Name(index), TranslateOemChar);
  KeepOldEntry(list, index, name);
  list.SetName(index, name);
}

// ---------------------------------------------------------------- new entries

bool TMakeCab::WriteEntry(TStream32& newArchive, std::size_t index, TWorkList& list) {
  (void)newArchive;
  FEntryOk = false;
  const std::string path = list.Name(index);
  // A cabinet has no directory entries.
  if (!path.empty() && path.back() == kPathDelim) return false;
  const std::string stored = CabStoredName(FFileName);
  if (stored.empty() || stored.size() > 255) {
    ReportError(path, "", FVolumeName, E_INVALID_NAME);
    return false;
  }
  TCabRecord r;
  const TByteBlock& block = list.Block(index);
  if (block.size() >= sizeof r) std::memcpy(&r, block.data(), sizeof r);
  TFileStream32 source(path, fmOpenRead);
  if (source.Handle() < 0) {
    ReportError(path, "", FVolumeName, E_OPEN_FILE);
    return false;
  }
  r.Size = source.Size();
  if (r.Size > kMaxFolderSize - FPendingSize) {
    ReportError(path, "a cabinet holds up to 2 GiB", FVolumeName, kErrTooLarge);
    return false;
  }
  if (r.DosDate == 0) r.DosDate = FileGetDate(path);
  FEntryDosDate = r.DosDate;
  FEntryAttr = r.Attributes;
  FEntryFileSize = r.Size;
  // daMaxFileDate stamps every new entry with the newest file of the run.
  if (DateAttribute == daMaxFileDate && FNewestDate != 0) FMaxFileDate = FNewestDate;
  FPending.push_back({path, stored, ResolveFileDate(r.DosDate), r.Attributes, r.Size});
  FPendingSize += r.Size;
  FEntryOk = true;
  return true;
}

void TMakeCab::AfterEntry(std::size_t index, bool success, TWorkList& list) {
  (void)index;
  (void)list;
  if (OnEnd) OnEnd(*this, FFileName, success && FEntryOk && !GetCancel());
}

// ---------------------------------------------------------------- the cabinet

bool TMakeCab::WriteCentralDirectory(TStream32& newArchive, TWorkList& list) {
  (void)list;
  if (GetCancel()) return false;
  WriteCabinet(newArchive);
  RemoveTemporaries();
  return !GetCancel();
}

void TMakeCab::WriteCabinet(TStream32& out) {
  const GCabCompression comp =
      CompressMethod() == cmStore ? GCAB_COMPRESSION_NONE : GCAB_COMPRESSION_MSZIP;
  TGRef<GCabCabinet> cabinet(gcab_cabinet_new());
  TGRef<GCancellable> cancellable(g_cancellable_new());
  TGRef<GCabFolder> folder(gcab_folder_new(comp));
  {
    TGError err;
    if (!gcab_cabinet_add_folder(cabinet.p, folder.p, &err.e))
      RaiseError(FArchiveFile, err.Text(), FVolumeName, E_WRITE_FILE);
  }
  for (const TPending& p : FPending) {
    TGRef<GFile> source(g_file_new_for_path(p.Source.c_str()));
    TGRef<GCabFile> file(gcab_file_new_with_file(p.Name.c_str(), source.p));
    TGError err;
    if (!gcab_folder_add_file(folder.p, file.p, FALSE, cancellable.p, &err.e))
      RaiseError(p.Source, err.Text(), FVolumeName, E_OPEN_FILE);
    std::uint32_t attr = p.Attributes;
    if (!IsAscii(p.Name)) attr |= GCAB_FILE_ATTRIBUTE_NAME_IS_UTF;
    gcab_file_set_attributes(file.p, attr);
    GDateTime* dt = DateTimeOf(p.DosDate);
    gcab_file_set_date_time(file.p, dt);
    g_date_time_unref(dt);
  }

  const std::string temp = CreateUniqueTempFile(TempDir());
  if (temp.empty()) RaiseError(TempDir(), "", FVolumeName, E_OPEN_FILE);
  FTemporaries.push_back(temp);
  {
    TGRef<GFile> target(g_file_new_for_path(temp.c_str()));
    TGError err;
    TGRef<GFileOutputStream> stream(
        g_file_replace(target.p, nullptr, FALSE, G_FILE_CREATE_NONE, cancellable.p, &err.e));
    if (!stream.p) RaiseError(temp, err.Text(), FVolumeName, E_OPEN_FILE);
    // The archive's share is counted by whole files, the file's by libgcab.
    std::size_t next = 0;
    FBytesToDo = FPendingSize;
    TProgressContext ctx;
    ctx.NextFile = [&] {
      if (next > 0 && next <= FPending.size()) FBytesToDo -= FPending[next - 1].Size;
      ++next;
      UpdateProgress(FPendingSize, 1, 0);
      if (GetCancel()) g_cancellable_cancel(cancellable.p);
    };
    ctx.Report = [&](goffset current, goffset all) {
      if (GetCancel()) g_cancellable_cancel(cancellable.p);
      if (all > 0) UpdateProgress(FPendingSize, all, std::min(current, all));
    };
    const gboolean ok = gcab_cabinet_write(cabinet.p, G_OUTPUT_STREAM(stream.p), OnWriteFile,
                                           OnWriteProgress, &ctx, cancellable.p, &err.e);
    FBytesToDo = 0;
    TGError closeErr;
    const gboolean closed = g_output_stream_close(G_OUTPUT_STREAM(stream.p), nullptr, &closeErr.e);
    if (GetCancel()) return;
    if (!ok) RaiseError(FArchiveFile, err.Text(), FVolumeName, E_WRITE_FILE);
    if (!closed) RaiseError(FArchiveFile, closeErr.Text(), FVolumeName, E_WRITE_FILE);
  }
  TFileStream32 made(temp, fmOpenRead);
  const std::int64_t size = made.Size();
  out.Seek(0, soFromEnd);
  if (made.Handle() < 0 || out.CopyFrom(made, size) != size)
    RaiseError(FArchiveFile, "", FVolumeName, E_WRITE_FILE);
}

void TMakeCab::RemoveTemporaries() {
  for (const std::string& t : FTemporaries) DeleteFile(t);
  FTemporaries.clear();
}

void TMakeCab::AfterUpdate(TWorkList& list) {
  (void)list;
  Reset();
}

void TMakeCab::Reset() {
  RemoveTemporaries();
  FPending.clear();
  FPendingSize = 0;
  FOldFiles.clear();
  FOld.reset();
}

}  // namespace qmx
