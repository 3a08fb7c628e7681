#include "archive/formats/gzip/gzip_writer.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/codec/byte_order.h"
#include "archive/codec/codec_streams.h"
#include "archive/platform/files.h"
#include "archive/platform/guarded.h"
#include "archive/platform/ui_hooks.h"
#include "archive/scan/file_scan.h"

namespace qmx {

namespace {

bool WriteAll(TStream32& s, const void* buf, std::int64_t n) {
  return n == 0 || s.Write(buf, n) == n;
}

}  // namespace

std::array<std::uint8_t, 10> GZipMemberHeader(std::uint32_t mtime) {
  std::array<std::uint8_t, 10> h{0x1F, 0x8B, 8, 8};
  PutLE32(&h[4], mtime);
  return h;
}

TGZip::TGZip() {
  SetWriterDefaults(".gz", {cmDeflate}, cmDeflate);
  FArcType = atGZip;
  ConfirmOverwrites = true;
  DeleteOptions = doAllowUndo;
}

TGZip::~TGZip() = default;

void TGZip::SetArchiveFile(const std::string& name) {
  std::string n = SlashToDelim(name);
  if (!n.empty() && ExtractFileExt(n).empty()) n += DefaultExt();
  FArchiveFile = n;
  FArchivePosition = 0;
  *FCancelRef = false;
}

bool TGZip::WriteEntry(TStream32&, std::size_t, TWorkList&) {
  // Members are written by Compress itself.
  return false;
}

std::string TGZip::OutputNameFor(const std::string& dir, const std::string& s) const {
  const std::string name = ExtractFileName(s);
  if (FNameAfterArchive) return dir + name + DefaultExt();
  std::string o = dir + name;
  switch (Extension) {
    case exAppendGZ:
      return ChangeFileExt(o, DefaultExt());
    case exUnderScore:
      if (!o.empty()) o.back() = '_';
      return o;
    case exNone:
      if (SameFilePath(o, s)) return ChangeFileExt(o, DefaultExt());
      return o;
  }
  return o;
}

int TGZip::Compress() {
  int count = 0;
  if ((FArchiveFile.empty() && DefaultDir().empty()) || FFileSpec.empty()) return 0;
  if (Switch == swDelete) {
    ReportError(FArchiveFile, "", "0", E_UNSUPPORTED_TYPE);
    return 0;
  }
  if (Switch == swRead) return 0;
  ResetOperationState();
  if (!CheckArchiveDrive()) return 0;

  Guarded([&] {
    if (OnActivate) OnActivate(*this);
  });
  const bool timed = static_cast<bool>(OnElapsedTime);
  if (timed) FTimer.Start();
  const bool savedConfirm = ConfirmOverwrites;
  try {
    std::vector<TSource> sources;
    TqmxFileScan scan;
    scan.SetFileSpec(FFileSpec);
    scan.Attributes = Attributes;
    scan.AttributesEx = AttributesEx;
    scan.RecurseDirs = RecurseDirs;
    scan.IncludeHiddenDirs = IncludeHiddenDirs;
    scan.SkipDotNames = !IncludeDotNames;
    scan.ShareCancel(FCancelRef);
    if (OnFileScanStatus)
      scan.OnScanFile = [this](TqmxFileScan&, const std::string& n, int c, std::int64_t s) {
        OnFileScanStatus(*this, n, c, s);
      };
    if (OnRecurseDir)
      scan.OnRecurseDir = [this](TqmxFileScan&, const std::string& d) { OnRecurseDir(*this, d); };
    std::string root;
    scan.OnRootDirChange = [&root](TqmxFileScan&, const std::string& d) { root = d; };
    scan.AddFileProc = [&](const std::string& dir, void*, const TSearchRec& rec) {
      if (rec.Attr & faDirectory) return false;
      sources.push_back({AppendSlash(dir) + rec.Name, root, rec});
      return true;
    };
    scan.Activate();
    FScanTotal = scan.FilesSize();
    FTotalUnpacked = FBytesToDo = FScanTotal;
    for (const TSource& s : sources) FMaxFileDate = std::max(FMaxFileDate, s.Rec.DosTime);

    std::string outDir = DefaultDir();
    if (outDir.empty()) outDir = ExtractFilePath(FArchiveFile);
    if (outDir.empty()) outDir = GetCurrentDir();
    outDir = AppendSlash(outDir);

    TWorkList list;
    for (std::size_t i = 0; i < sources.size(); ++i) {
      ProcessMessages();
      if (GetCancel()) break;
      const TSource& s = sources[i];
      const std::string output = OutputNameFor(outDir, s.Path);
      FScanRoot = s.Root;
      FFileName = s.Path;
      FFilesProcessed = static_cast<int>(i) + 1;
      const std::size_t index =
          list.Add(TCompHeader{}, s.Path, static_cast<std::uint32_t>(s.Root.size()));
      if (!BeginFile(index, list)) {
        if (OnEnd) OnEnd(*this, output, true);
        continue;
      }
      if (!ConfirmOverwrites) OverwriteMode = omOverwrite;
      if (FileExists(output) && ConfirmOverwrites) {
        if (!OnFileExists) {
          ReportError(output, "OnFileExists", "0", E_EVENT_NOT_ASSIGNED);
          break;
        }
        {
          TPauseGuard pause(FTimer);
          OnFileExists(*this, output, qmx::DosDateToDateTime(s.Rec.DosTime), OverwriteMode);
        }
        if (OverwriteMode == omOverwrite && !CheckWriteable(output)) break;
      } else if (!FileExists(output)) {
        OverwriteMode = omOverwrite;
      }
      bool pass = true;
      if (OverwriteMode == omOverwrite) {
        // The source itself is never the output (exNone on its own name).
        if (SameFilePath(output, s.Path)) {
          ReportError(output, "", "0", E_SAME_FILES);
          pass = false;
        } else {
          if (FileExists(output)) DeleteFileWithOptions(output, DeleteOptions);
          std::uint32_t crc = 0;
          pass = CompressOne(s, output, crc);
          if (pass) ++count;
        }
      }
      if (OnEnd) OnEnd(*this, output, pass);
    }
  } catch (...) {
  }
  if (timed) {
    FTimer.Stop();
    Guarded([&] { OnElapsedTime(*this, FTimer.ElapsedTime()); });
  }
  ConfirmOverwrites = savedConfirm;
  Guarded([&] {
    if (OnDeactivate) OnDeactivate(*this);
  });
  return GetCancel() ? 0 : count;
}

bool TGZip::CompressOne(const TSource& s, const std::string& output, std::uint32_t& crc) {
  TFileStream32 source(s.Path, fmOpenRead);
  if (source.Handle() < 0) {
    ReportError(s.Path, "", "0", E_OPEN_FILE);
    return false;
  }
  auto out = std::make_unique<TFileStream32>(output, TFileStream32::kCreateMode);
  if (out->Handle() < 0) {
    ReportError(output, "", "0", E_OPEN_FILE);
    return false;
  }
  bool written = false;
  // A member cut short by a cancel or a failure is not left behind.
  struct TDropOutput {
    std::unique_ptr<TFileStream32>& out;
    const std::string& name;
    bool& written;
    ~TDropOutput() {
      if (written) return;
      out.reset();
      DeleteFile(name);
    }
  } drop{out, output, written};

  // The file's own time to the second; a fixed date choice goes through
  // ResolveFileDate.
  std::time_t mtime = s.Rec.MTime;
  if (DateAttribute != daFileDate) {
    const std::time_t t = DosDateTimeToUnix(ResolveFileDate(s.Rec.DosTime));
    if (t >= 0) mtime = t;
  }
  const std::int64_t size = source.Size();

  std::unique_ptr<TStream32> staging;
  std::string stagingName;
  if (CompressionMethod == cmInMemory) {
    staging = std::make_unique<TMemoryStream32>();
  } else {
    stagingName = CreateUniqueTempFile(RemoveSlash(TempDir()), "qmx");
    if (stagingName.empty()) {
      ReportError(output, "", "0", E_OPEN_FILE);
      return false;
    }
    staging = std::make_unique<TFileStream32>(stagingName, TFileStream32::kCreateMode);
  }
  struct TDropStaging {
    std::unique_ptr<TStream32>& s;
    const std::string& name;
    ~TDropStaging() {
      s.reset();
      if (!name.empty()) DeleteFile(name);
    }
  } dropStaging{staging, stagingName};

  const TStreamProgress progress = EntryProgress(size);
  TCodecParams params = EntryCodecParams();
  crc = 0;
  if (!DeflateFile(source, *staging, params, progress, static_cast<int>(DeflateType), -15, crc) ||
      GetCancel())
    return false;
  if (size == 0) crc = 0;
  FEntryCrc.Crc32 = crc;

  // The stored name is the system's bytes, as gzip writes it.
  const std::string name = NameToArchive(FFileName, false);
  const auto header = GZipMemberHeader(static_cast<std::uint32_t>(std::max<std::time_t>(mtime, 0)));
  std::array<std::uint8_t, 8> trailer{};
  PutLE32(&trailer[0], crc);
  PutLE32(&trailer[4], static_cast<std::uint32_t>(size));
  const std::int64_t packed = staging->Size();
  out->Seek(0, soFromBeginning);
  staging->Seek(0, soFromBeginning);
  if (!WriteAll(*out, header.data(), 10) ||
      !WriteAll(*out, name.c_str(), static_cast<std::int64_t>(name.size()) + 1) ||
      (packed > 0 && out->CopyFrom(*staging, packed) != packed) ||
      !WriteAll(*out, trailer.data(), 8)) {
    if (!GetCancel()) ReportError(output, "", "0", E_WRITE_FILE);
    return false;
  }
  out.reset();
  written = true;
  FileSetDate(output, UnixToDosDateTime(mtime));

  if (OnRead) {
    FListed = TGZipListedEntry{};
    FListed.FileName = name;
    FListed.DosDate = UnixToDosDateTime(mtime);
    FListed.PackedSize = packed;
    FListed.UnpackedSize = size;
    FListed.Crc = crc;
    FListed.MethodName = qmx::MethodName(atGZip, 8, 0);
    FListed.Ratio = Ratio(size, packed);
    OnRead(*this, 0, 1);
  }
  if (Switch == swMove) DeleteFileWithOptions(s.Path, DeleteOptions);
  return true;
}

}  // namespace qmx
