#include "archive/formats/bh/bh_reader.h"

#include <algorithm>
#include <array>
#include <span>

#include "archive/base/names.h"
#include "archive/codec/legacy_io.h"
#include "archive/codec/lha_decoder.h"
#include "archive/codec/raw_inflate.h"
#include "archive/codec/window_decoder.h"
#include "archive/platform/codepage.h"
#include "archive/platform/files.h"

namespace qmx {
namespace {

constexpr std::uint32_t kDirectoryAttr = 0x10;
// Attribute bits an extracted file may get back.
constexpr std::uint32_t kRestoredAttr = 0x27;

std::string BhReadName(const std::string& raw, bool translate) {
  if (!translate || LooksLikeUtf8Name(raw)) return SlashToDelim(raw);
  return NameToWindows(raw, translate);
}

bool KnownMethod(std::uint8_t m) {
  return m == kBhMethodStored || m == kBhMethodFused1 || m == kBhMethodDeflate2 ||
         m == kBhMethodFused3 || m == kBhMethodDeflate;
}

}  // namespace

bool TBhEntryItem::IsDirectory() const {
  const char last = RawName.empty() ? '\0' : RawName.back();
  return (Head.Attributes & kDirectoryAttr) != 0 ||
         ((last == '/' || last == '\\') && Head.UnpackedSize == 0);
}

TUnBh::TUnBh() : FCrypt(std::make_unique<TZipCrypt>()) {}

TUnBh::~TUnBh() = default;

bool TUnBh::VerifyPassword(const std::uint8_t header[12]) {
  if (!FItem) return false;
  std::span<const std::uint8_t, kZipEncryptionHeaderSize> h(header, kZipEncryptionHeaderSize);
  return FCrypt->CheckEncryptionHeader(h, 0, FItem->Head.Crc32, Password,
                                       static_cast<std::uint16_t>(FItem->Head.DosTime & 0xFFFF));
}

void TUnBh::ReadArchive(std::unique_ptr<TFileStream32>& archive) {
  FEntries.clear();
  struct TClear {
    std::vector<TBhEntryItem>& e;
    const TBhEntryItem*& item;
    ~TClear() {
      e.clear();
      e.shrink_to_fit();
      item = nullptr;
    }
  } clear{FEntries, FItem};
  if (!archive) return;
  if (ListBh(*archive) == 0) return;
  for (const TBhEntryItem& item : FEntries) {
    if (GetCancel()) break;
    ExtractEntry(*archive, item);
  }
}

int TUnBh::ListBh(TStream& archive) {
  const std::int64_t size = archive.Size();
  std::int64_t pos = std::max<std::int64_t>(FArchivePosition, 0);
  TBhHeadBytes b{};
  // Every entry takes at least a header: no more can be there.
  const std::int64_t maxEntries = size / static_cast<std::int64_t>(kBhHeadSize) + 1;
  for (std::int64_t n = 0; n < maxEntries && !GetCancel() && pos < size; ++n) {
    if (ReadStreamAt(archive, pos, b.data(), kBhHeadSize) !=
        static_cast<std::int64_t>(kBhHeadSize)) {
      ReportError(FArchiveFile, "the archive ends inside a header at byte " + std::to_string(pos),
                  FVolumeName, E_HEADER_NOT_FOUND);
      break;
    }
    TBhEntryItem item;
    item.Head = TBhHeader::Parse(b.data());
    if (item.Head.Signature != kBhSignature) {
      ReportError(FArchiveFile, "no entry header at byte " + std::to_string(pos), FVolumeName,
                  E_HEADER_NOT_FOUND);
      break;
    }
    if (item.Head.HeaderLength == 0) break;
    item.Header = pos;
    item.RawName.assign(item.Head.NameLength, '\0');
    const std::int64_t namePos = pos + static_cast<std::int64_t>(kBhHeadSize);
    if (ReadStreamAt(archive, namePos, item.RawName.data(), item.Head.NameLength) !=
        item.Head.NameLength) {
      ReportError(FArchiveFile, "the archive ends inside a name at byte " + std::to_string(pos),
                  FVolumeName, E_HEADER_NOT_FOUND);
      break;
    }
    item.Data = namePos + item.Head.NameLength + item.Head.ExtraLength;
    item.Truncated = item.Data > size || item.Head.PackedSize > size - item.Data;
    item.Name = BhReadName(item.RawName, TranslateOemChar);
    // An unnamed entry is kept whatever the selection, to fail in its turn.
    if (item.Name.empty() || IsFileInSpec(item.Name)) {
      NoteSelectedEntry(item.Head.PackedSize, item.Head.UnpackedSize, item.Head.DosTime);
      FEntries.push_back(item);
    } else if (item.Truncated) {
      ReportError(FArchiveFile, "the archive ends inside " + item.Name, FVolumeName, E_READ_FILE);
    }
    if (item.Truncated) break;
    pos = item.Data + item.Head.PackedSize;
  }
  return static_cast<int>(FEntries.size());
}

void TUnBh::DescribeEntry(const TBhEntryItem& item) {
  TEntryInfo& e = FEntryInfo;
  e = TEntryInfo{};
  e.Known = true;
  e.Name = item.Name;
  e.PackedSize = item.Head.PackedSize;
  if (item.Head.Encrypted() && item.Head.PackedSize >= kZipEncryptionHeaderSize)
    e.PackedSize -= kZipEncryptionHeaderSize;
  e.UnpackedSize = item.Head.UnpackedSize;
  e.DosDate = item.Head.DosTime;
  e.Attributes = item.Head.Attributes;
  e.Crc = item.Head.Crc32;
  e.Encrypted = item.Head.Encrypted();
  e.IsDirectory = item.IsDirectory();
  e.MethodName = MethodName(item.Head.Method, item.Head.Flags, e.IsDirectory);
}

void TUnBh::RefuseEntry(const TBhEntryItem& item, int code, const std::string& reason) {
  RefuseCurrentEntry(code, reason, item.Head.UnpackedSize);
}

void TUnBh::ExtractEntry(TStream& archive, const TBhEntryItem& item) {
  FItem = &item;
  DescribeEntry(item);
  {
    const bool translate = TranslateOemChar;
    TranslateOemChar = false;  // the name is the platform's already
    BeginEntry(DelimToSlash(item.Name));
    TranslateOemChar = translate;
  }
  if (item.Name.empty() || item.RawName.find('\0') != std::string::npos) {
    RefuseEntry(item, E_INVALID_NAME,
                "an entry without a usable name at byte " + std::to_string(item.Header));
    return;
  }
  if (item.IsDirectory()) {
    ExtractDirectoryEntry();
    return;
  }
  if (item.Truncated) {
    RefuseEntry(item, E_READ_FILE, "the archive ends inside its data");
    return;
  }
  if (!KnownMethod(item.Head.Method)) {
    RefuseEntry(item, E_UNSUPPORTED_METHOD, "method " + std::to_string(item.Head.Method));
    return;
  }
  const bool encrypted = item.Head.Encrypted();
  if (encrypted && item.Head.PackedSize < kZipEncryptionHeaderSize) {
    RefuseEntry(item, E_READ_FILE, "shorter than its encryption header");
    return;
  }

  EncryptionMethod = encrypted ? emZIP_v2 : emNone;
  SetEntryCipher(nullptr);
  archive.Seek(item.Data, soFromBeginning);
  std::unique_ptr<TFileStream32> out;
  if (!StartFileEntry(out, &archive, item.Head.UnpackedSize, encrypted)) return;
  if (encrypted) SetEntryCipher(FCrypt.get());
  FDecoded = 0;
  FOutputFailed = false;
  FSizeExceeded = false;
  const bool intact = DecodeEntry(archive, out.get(), item);
  SetEntryCipher(nullptr);
  CloseOutput(out, FFileName, item.Head.Attributes & kRestoredAttr, item.Head.DosTime);

  if (FOutputFailed) {
    ReportVerdict(false, E_WRITE_FILE);
    return;
  }
  // Data that ends early or runs on is damage, whatever its CRC says.
  if (!GetCancel() && intact && (FSizeExceeded || FDecoded != item.Head.UnpackedSize)) {
    const std::string detail =
        FSizeExceeded
            ? "more than " + std::to_string(item.Head.UnpackedSize) + " bytes"
            : std::to_string(FDecoded) + " of " + std::to_string(item.Head.UnpackedSize) + " bytes";
    ReportError(FFileName, detail, FVolumeName, E_SIZE_DIFFERENT);
    if (OnEnd)
      ReportVerdict(false);
    else
      DiscardBrokenOutput();
    return;
  }
  if (!intact) {
    ReportVerdict(false, E_CORRUPT_INPUT);
    return;
  }
  CheckCrc(32, item.Head.Crc32);
}

bool TUnBh::WriteDecoded(TFileStream32* out, const void* buf, std::int64_t count) {
  if (count <= 0) return true;
  // The header's size bounds every decoder: a lying entry must not fill
  // the disk.
  const std::int64_t room = static_cast<std::int64_t>(FItem->Head.UnpackedSize) - FDecoded;
  const bool over = count > room;
  if (over) count = std::max<std::int64_t>(room, 0);
  if (count > 0 && WriteBlock(out, buf, true, count, 32) < count) {
    FOutputFailed = true;
    return false;
  }
  FDecoded += count;
  FBytesToDo -= count;
  UpdateProgress(FTotalUnpacked, FItem->Head.UnpackedSize, FDecoded);
  if (over) FSizeExceeded = true;
  return !over;
}

bool TUnBh::DecodeEntry(TStream& archive, TFileStream32* out, const TBhEntryItem& item) {
  const bool encrypted = item.Head.Encrypted();
  const std::int64_t packed = static_cast<std::int64_t>(item.Head.PackedSize) -
                              (encrypted ? static_cast<std::int64_t>(kZipEncryptionHeaderSize) : 0);
  TLegacyInput in(
      archive, packed,
      [this, encrypted](TStream& s, void* b, std::int64_t n) {
        return ReadBlock(s, b, n, 0, encrypted);
      },
      FCancelRef);
  TLegacyWriteFunc write = [this, out](const void* b, std::int64_t n) -> std::int64_t {
    return WriteDecoded(out, b, n) ? n : 0;
  };
  switch (item.Head.Method) {
    case kBhMethodStored: {
      const std::uint8_t* p = nullptr;
      std::int64_t n = 0;
      while ((n = in.Peek(p)) > 0) {
        if (write(p, n) != n) return FSizeExceeded;
        in.Consume(n);
      }
      return !in.SourceShort();
    }
    case kBhMethodFused1:
    case kBhMethodFused3: {
      const TLhaMethod m = item.Head.Method == kBhMethodFused1 ? lmLh5 : lmLh6;
      const int r = LhaDecode(in, write, m, item.Head.UnpackedSize, FCancelRef);
      return r == wrOk || r == wrCanceled || (r == wrWriteError && FSizeExceeded);
    }
    case kBhMethodDeflate2:
    case kBhMethodDeflate: {
      TRawInflater inflater(in, write, FCancelRef);
      const int r = inflater.Run();
      return r == wrOk || r == wrCanceled || (r == wrWriteError && FSizeExceeded);
    }
    default:
      return false;
  }
}

}  // namespace qmx
