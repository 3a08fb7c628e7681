#include "archive/formats/libarchive/libarchive_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "archive/base/format_registry.h"
#include "archive/base/names.h"
#include "archive/platform/files.h"

#if defined(__SANITIZE_ADDRESS__)
#define QMX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMX_ASAN 1
#endif
#endif
#ifdef QMX_ASAN
// libarchive (not instrumented) asks for gigabytes on hostile headers and
// copes when it gets nothing; under AddressSanitizer such a request must
// fail rather than abort the program.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}
#endif

namespace qmx {

namespace {

constexpr std::int64_t kChunk = 128 * 1024;
// libarchive asks again after ARCHIVE_RETRY; a header that keeps asking is
// not going to be read.
constexpr int kMaxRetries = 64;
constexpr int kMaxFailedHere = 8;
// Openings after damaged data, at most: a solid archive fails again at
// each following entry.
constexpr int kMaxRestarts = 16;

// libarchive converts names to the thread's character set; ours is UTF-8
// whatever locale the process was started in.
class TUtf8Names {
 public:
  TUtf8Names() : loc_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {
    if (loc_) old_ = ::uselocale(loc_);
  }
  ~TUtf8Names() {
    if (!loc_) return;
    ::uselocale(old_);
    ::freelocale(loc_);
  }
  TUtf8Names(const TUtf8Names&) = delete;
  TUtf8Names& operator=(const TUtf8Names&) = delete;

 private:
  locale_t loc_;
  locale_t old_ = LC_GLOBAL_LOCALE;
};

struct TArchiveFree {
  void operator()(struct archive* a) const { archive_read_free(a); }
};

la_ssize_t ChainRead(struct archive*, void* data, const void** buf) {
  return static_cast<la_ssize_t>(static_cast<TVolumeChain*>(data)->Read(buf));
}

la_int64_t ChainSeek(struct archive*, void* data, la_int64_t offset, int whence) {
  const std::int64_t r = static_cast<TVolumeChain*>(data)->Seek(offset, whence);
  return r < 0 ? ARCHIVE_FATAL : r;
}

la_int64_t ChainSkip(struct archive*, void* data, la_int64_t count) {
  return static_cast<TVolumeChain*>(data)->Skip(count);
}

std::uint32_t UnixTimeToDosDate(std::int64_t seconds) {
  if (seconds == 0) return 0x00210020;
  // Outside what a DOS date holds: the nearest end of its range.
  constexpr std::int64_t kFirst = 315532800;  // 1980-01-01 UTC
  constexpr std::int64_t kLast = 4354819199;  // 2107-12-31 UTC
  seconds = std::clamp(seconds, kFirst + 86400, kLast - 86400);
  return UnixToDosDateTime(static_cast<std::time_t>(seconds));
}

std::string ErrorText(struct archive* a, const char* fallback) {
  const char* s = archive_error_string(a);
  return s && *s ? s : fallback;
}

bool Mentions(const std::string& text, const char* word) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find(word) != std::string::npos;
}

// A libarchive failure that is about encryption rather than damage.
bool IsEncryptionError(const std::string& text) {
  return Mentions(text, "encrypt") || Mentions(text, "passphrase") || Mentions(text, "password");
}

// A libarchive failure that is a checksum mismatch of decoded data.
bool IsChecksumError(const std::string& text) {
  return Mentions(text, "crc") || Mentions(text, "checksum") || Mentions(text, "blake2");
}

}  // namespace

// ---------------------------------------------------------------- volumes

TVolumeChain::TVolumeChain(std::vector<std::string> files, std::int64_t firstOffset)
    : FFirstOffset(std::max<std::int64_t>(firstOffset, 0)), FBuffer(kChunk) {
  for (std::string& f : files) {
    TPart p;
    p.Name = std::move(f);
    FParts.push_back(std::move(p));
  }
}

TVolumeChain::~TVolumeChain() {
  for (TPart& p : FParts)
    if (p.Fd >= 0) ::close(p.Fd);
}

bool TVolumeChain::Open() {
  FTotal = 0;
  for (std::size_t i = 0; i < FParts.size(); ++i) {
    TPart& p = FParts[i];
    p.Fd = ::open(p.Name.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (p.Fd < 0 || ::fstat(p.Fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      FFailed = p.Name;
      return false;
    }
    p.Offset = i == 0 ? std::min<std::int64_t>(FFirstOffset, st.st_size) : 0;
    p.Size = st.st_size - p.Offset;
    p.Start = FTotal;
    FTotal += p.Size;
  }
  return !FParts.empty();
}

const std::string& TVolumeChain::CurrentFile() const {
  for (const TPart& p : FParts)
    if (FPos < p.Start + p.Size) return p.Name;
  return FParts.back().Name;
}

std::int64_t TVolumeChain::Read(const void** buf) {
  *buf = FBuffer.data();
  for (const TPart& p : FParts) {
    if (FPos >= p.Start + p.Size) continue;
    // One volume at a time: libarchive asks again for the rest.
    const std::int64_t want = std::min<std::int64_t>(kChunk, p.Start + p.Size - FPos);
    ssize_t n;
    do {
      n = ::pread(p.Fd, FBuffer.data(), static_cast<std::size_t>(want),
                  p.Offset + (FPos - p.Start));
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    FPos += n;
    return n;
  }
  return 0;
}

std::int64_t TVolumeChain::Seek(std::int64_t offset, int whence) {
  std::int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? FPos : FTotal;
  if ((offset > 0 && base > INT64_MAX - offset)) return -1;
  const std::int64_t to = base + offset;
  if (to < 0) return -1;
  FPos = std::min(to, FTotal);
  return FPos;
}

std::int64_t TVolumeChain::Skip(std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t step = std::min(count, FTotal - FPos);
  FPos += step;
  return step;
}

// ---------------------------------------------------------------- reader

bool TLibArchiveReader::CollectVolumes(std::vector<std::string>& files) {
  files = {FArchiveFile};
  return true;
}

bool TLibArchiveReader::DataEncrypted(struct archive_entry* entry, const std::string&) const {
  return archive_entry_is_data_encrypted(entry) != 0;
}

void TLibArchiveReader::ReadArchive(std::unique_ptr<TFileStream32>&) {
  FFormatName.clear();
  std::vector<std::string> files;
  if (!CollectVolumes(files)) return;
  TVolumeChain chain(files, FArchivePosition);
  if (!chain.Open()) {
    ReportError("", "", chain.Failed(), E_OPEN_FILE);
    return;
  }
  FChainSize = chain.Size();
  // Progress goes by the archive's bytes: libarchive streams, so the
  // entries' sizes are not known before they come.
  FTotalUnpacked = FChainSize;
  FBytesToDo = FChainSize;

  TUtf8Names names;
  // libarchive cannot go on after damaged data; the entries behind it may
  // still be sound (each of their own stream), so the archive is opened
  // again and read on from the next one.
  int skip = 0;
  for (int restart = 0; restart <= kMaxRestarts && !GetCancel(); ++restart) {
    chain.Seek(0, SEEK_SET);
    std::unique_ptr<struct archive, TArchiveFree> a(archive_read_new());
    if (!a) RaiseError(FArchiveFile, "", FVolumeName, E_OUT_OF_MEMORY_STREAM);
    EnableFormats(a.get());
    archive_read_set_read_callback(a.get(), ChainRead);
    archive_read_set_seek_callback(a.get(), ChainSeek);
    archive_read_set_skip_callback(a.get(), ChainSkip);
    archive_read_set_callback_data(a.get(), &chain);
    if (archive_read_open1(a.get()) != ARCHIVE_OK) {
      const std::string why = ErrorText(a.get(), "not an archive libarchive can read");
      ReportError(FArchiveFile, why, FVolumeName,
                  IsEncryptionError(why) ? E_PASSWORD_PROTECTED : E_HEADER_NOT_FOUND);
      return;
    }
    skip = WalkEntries(a.get(), chain, skip);
    archive_read_close(a.get());
    if (skip < 0) break;
  }
  // What the reader passed over at the end counts as done.
  FBytesToDo = 0;
  UpdateProgress(FTotalUnpacked, 1, 1);
}

void TLibArchiveReader::NoteArchivePosition(struct archive* a) {
  const std::int64_t done = archive_filter_bytes(a, -1);
  FBytesToDo = std::max<std::int64_t>(0, FChainSize - std::max<std::int64_t>(done, 0));
}

int TLibArchiveReader::WalkEntries(struct archive* a, TVolumeChain& chain, int skip) {
  int retries = 0, entries = 0, failedHere = 0;
  std::int64_t failedAt = -1;
  while (!GetCancel()) {
    struct archive_entry* entry = nullptr;
    const int r = archive_read_next_header(a, &entry);
    FVolumeName = chain.CurrentFile();
    if (r == ARCHIVE_EOF) {
      AfterLastEntry(entries);
      return -1;
    }
    if (r == ARCHIVE_RETRY && ++retries < kMaxRetries) continue;
    if (r == ARCHIVE_FATAL || r == ARCHIVE_RETRY || !entry) {
      const std::string why = ErrorText(a, "damaged header");
      ReportError(FArchiveFile, why, FVolumeName,
                  IsEncryptionError(why) ? E_PASSWORD_PROTECTED : E_CORRUPT_INPUT);
      return -1;
    }
    retries = 0;
    // A header that fails is passed over; one that fails again and again
    // where it stands would be read for ever.
    const std::int64_t at = archive_read_header_position(a);
    if (r == ARCHIVE_FAILED) {
      failedHere = at == failedAt ? failedHere + 1 : 1;
      failedAt = at;
      if (failedHere > kMaxFailedHere) {
        ReportError(FArchiveFile, ErrorText(a, "damaged header") + " (again and again)",
                    FVolumeName, E_CORRUPT_INPUT);
        return -1;
      }
    } else {
      failedHere = 0;
    }
    // Entries done before a restart.
    if (++entries <= skip) continue;
    if (FFormatName.empty() && archive_format_name(a)) FFormatName = archive_format_name(a);
    if (!ProcessEntry(a, entry, chain)) return entries;
    NoteArchivePosition(a);
  }
  return -1;
}

void TLibArchiveReader::DescribeEntry(struct archive_entry* entry, const std::string& name) {
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = name;
  const mode_t type = archive_entry_filetype(entry);
  e.IsDirectory = type == AE_IFDIR;
  e.UnpackedSize =
      archive_entry_size_is_set(entry) ? static_cast<std::uint64_t>(archive_entry_size(entry)) : 0;
  e.DosDate = UnixTimeToDosDate(archive_entry_mtime_is_set(entry) ? archive_entry_mtime(entry) : 0);
  const mode_t perm = archive_entry_perm(entry);
  e.Attributes = e.IsDirectory ? faDirectory : faArchive;
  if (perm && !(perm & 0200)) e.Attributes |= faReadOnly;
  const std::string base = ExtractFileName(SlashToDelim(name));
  if (!base.empty() && base[0] == '.') e.Attributes |= faHidden;
  e.Encrypted = DataEncrypted(entry, FRawName);
  if (e.IsDirectory)
    e.MethodName = kMethodDir;
  else if (archive_entry_hardlink(entry))
    e.MethodName = "Hardlink";
  else if (type == AE_IFLNK)
    e.MethodName = "Symlink";
  else if (type != AE_IFREG && type != 0)
    e.MethodName = "Special";
  else
    // libarchive names the format, not each entry's method.
    e.MethodName = FFormatName.empty() ? kMethodUnsupported : FFormatName;
}

void TLibArchiveReader::RefuseEntry(int code, const std::string& reason) {
  RefuseCurrentEntry(code, reason, 0);
}

bool TLibArchiveReader::ProcessEntry(struct archive* a, struct archive_entry* entry,
                                     TVolumeChain& chain) {
  const char* raw = archive_entry_pathname_utf8(entry);
  if (!raw) raw = archive_entry_pathname(entry);
  std::string name = raw ? raw : "";
  FRawName = name;
  while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.pop_back();
  if (name.empty()) {
    ReportError(FArchiveFile, "an entry without a name", FVolumeName, E_INVALID_NAME);
    return true;
  }
  // Entries not chosen: libarchive skips their data at the next header.
  if (!IsFileInSpec(name)) return true;
  {
    const bool translate = TranslateOemChar;
    TranslateOemChar = false;  // libarchive gave the system's characters
    BeginEntry(name);
    TranslateOemChar = translate;
  }
  DescribeEntry(entry, FStoredName);
  const std::uint32_t dosDate = FEntryInfo.DosDate;
  const mode_t type = archive_entry_filetype(entry);
  const mode_t perm = archive_entry_perm(entry);

  if (archive_entry_hardlink(entry) || (type != AE_IFREG && type != AE_IFDIR && type != 0)) {
    // Never created and never followed: a link could point anywhere. A
    // test has nothing to check in it.
    if (FOutputTarget == otNone) {
      SkipEntry(0);
      ReportVerdict(true);
      return true;
    }
    const char* target = archive_entry_hardlink(entry);
    if (!target) target = archive_entry_symlink(entry);
    RefuseEntry(E_SKIPPED_FILE, FEntryInfo.MethodName +
                                    (target ? std::string(" to ") + target : std::string()) +
                                    ", not extracted");
    return true;
  }
  if (type == AE_IFDIR) {
    FEntryUnixMode = 0040000 | (perm & 0777);
    ExtractDirectoryEntry();
    return true;
  }
  const std::int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
  if (FEntryInfo.Encrypted) {
    FEntryEncrypted = true;
    // Offered like any entry, so a listing sees it; refused once chosen.
    if (!ConfirmExtract(false)) {
      SkipEntry(0);
      return true;
    }
    FPasswordFailed = true;
    UncountEntry();
    RefuseEntry(E_PASSWORD_PROTECTED, "encrypted; decryption of this format is not supported");
    return true;
  }
  FEntryUnixMode = perm ? 0100000 | (perm & 0777) : 0;
  std::unique_ptr<TFileStream32> out;
  if (!StartFileEntry(out, nullptr, std::max<std::int64_t>(size, 0), false)) return true;
  std::string error;
  bool fatal = false;
  const bool ok = CopyData(a, out.get(), size, chain, error, fatal);
  CloseOutput(out, FFileName, FEntryInfo.Attributes, dosDate);
  FEntryInfo.Crc = ~FEntryCrc.Crc32;
  if (ok) {
    CheckCrc(32, FEntryCrc.Crc32);
  } else if (GetCancel()) {
    ReportVerdict(false);
  } else if (IsEncryptionError(error)) {
    // Some encrypted entries are known only once their data is asked for.
    FEntryEncrypted = FPasswordFailed = true;
    UncountEntry();
    RefuseEntry(E_PASSWORD_PROTECTED, error);
  } else if (IsChecksumError(error)) {
    ReportVerdict(false, E_CRC_FAIL);
  } else {
    RefuseEntry(E_CORRUPT_INPUT, error);
  }
  return !fatal;
}

bool TLibArchiveReader::CopyData(struct archive* a, TFileStream32* out, std::int64_t size,
                                 TVolumeChain& chain, std::string& error, bool& fatal) {
  std::int64_t written = 0;
  static const std::vector<std::uint8_t> zeros(kChunk);
  for (;;) {
    if (GetCancel()) return false;
    const void* buf = nullptr;
    std::size_t n = 0;
    la_int64_t offset = 0;
    const int r = archive_read_data_block(a, &buf, &n, &offset);
    FVolumeName = chain.CurrentFile();
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      error = ErrorText(a, "damaged data");
      fatal = r == ARCHIVE_FATAL;
      return false;
    }
    // Blocks come in order; a hole (sparse data) is zeros.
    if (offset < written || (size >= 0 && offset > size)) {
      error = "data out of order at offset " + std::to_string(offset);
      return false;
    }
    while (written < offset) {
      const std::int64_t gap = std::min<std::int64_t>(offset - written, kChunk);
      if (WriteBlock(out, zeros.data(), true, gap, 32) < gap) {
        error = "write error";
        return false;
      }
      written += gap;
    }
    const auto count = static_cast<std::int64_t>(n);
    if (count > 0 && WriteBlock(out, buf, true, count, 32) < count) {
      error = "write error";
      return false;
    }
    written += count;
    NoteArchivePosition(a);
    UpdateProgress(FTotalUnpacked, std::max<std::int64_t>(size, written), written);
  }
  if (size >= 0 && written != size) {
    error = std::to_string(written) + " bytes decoded, " + std::to_string(size) + " expected";
    return false;
  }
  return true;
}

}  // namespace qmx
